// The walk through a folder of folders (a patient's disc, an export): the DICOM files
// anywhere below it, with a DICOMDIR at its top read as its index. Limits keep a wrong
// folder (a home, a whole disc) from taking minutes: past one the walk says so and keeps
// what it found. No window code.
#pragma once

#include <string>
#include <vector>

namespace stackio {

// How far a walk goes.
struct WalkLimits {
    int depth = 8;            // folders at most this many levels below the top are entered
    size_t files = 100000;    // files looked at, at most
};

// What a walk found.
struct Walk {
    std::vector<std::string> files;  // DICOM files, the index's first in its order, then the rest in natural order
    std::vector<std::string> notes;  // limits reached, folders unreadable, links not followed, the index's problems
    int indexes = 0;                 // further DICOMDIRs (by content, under other names) passed over
};

// Walks the folder top: every DICOM file below it (symbolic links followed only where
// they stay inside top, each folder entered once), and the files a DICOMDIR in top names.
Walk walkFolder(const std::string& top, const WalkLimits& limits = {});

}  // namespace stackio
