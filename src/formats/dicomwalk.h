// The structure of a DICOM file, walked before GDCM parses it, and what a file is stored as.
//
// Debian's GDCM is built with its assertions on, and some damaged files (cut inside the
// file meta group, items without their tags, lengths past the end) abort in them. So the
// element structure is walked here first, headers only: every length must fit in what
// holds it, every sequence and fragment list must end as it should. A deflated data set is
// walked as it inflates.
#pragma once

#include <cstdint>
#include <string>

namespace formats::dicomio {

struct Syntax {
    const char* uid;
    const char* name;
    bool decodes;  // by Debian's GDCM
};
// The transfer syntax of that UID, or null when it is not one known here.
const Syntax* syntaxOf(const std::string& uid);

// The size of a regular file; -1 when it is none.
int64_t fileSize(const std::string& path);

// The pixel data element as its own header (tag and length) says.
struct PixelElement {
    bool found = false, encapsulated = false;
    uint64_t length = 0;   // bytes the element says it holds
    uint64_t present = 0;  // bytes after its header up to the end of the file
    uint64_t valueAt = 0;  // where its value starts (the walk's; not set by pixelElement)
};
// The pixel data element read from the file: GDCM stops reading just after its header, at `valueAt`.
PixelElement pixelElement(const std::string& path, uint64_t valueAt, bool bigEndian, bool implicit);

// What the walk found.
struct Structure {
    std::string problem;    // empty when the structure is sound, else what is wrong with it
    PixelElement pixels;    // the pixel data element at the top of the data set (deflated: in the inflated data)
    uint64_t inflatedSize = 0;  // a deflated data set's size, inflated
};
Structure walkStructure(const std::string& path);

}  // namespace formats::dicomio
