// What only a DICOM header says, beside the description every format gives (FileInfo): kept
// in the file's shared state with its frame cache, as other formats keep their extras.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "formats/format.h"

namespace formats {

struct DicomInfo {
    std::string modality;           // "CT", "MR", ...
    std::string seriesUid;          // files of one series share it
    std::string seriesDescription;
    // What the series list shows of each series, and sorts it by.
    std::string patientName;        // as stored: "Family^Given"
    std::string studyDate;          // "YYYYMMDD", empty when not said
    std::string studyUid;
    bool hasSeriesNumber = false;
    int seriesNumber = 0;
    bool hasInstanceNumber = false;
    int instanceNumber = 0;
    double spacingBetweenSlices = 0, sliceThickness = 0;  // 0: not said
    std::vector<double> frameOffsets;  // GridFrameOffsetVector of a multi-frame file, if any
    // The first window the file suggests (WindowCenter / WindowWidth), in values.
    bool hasWindow = false;
    double windowCentre = 0, windowWidth = 0;
};

// The DICOM extras of a file's header; null when it has none (a file of another format).
const DicomInfo* dicomInfo(const FileInfo& info);
// The same to fill in, made (and the reader set to DICOM) where there are none yet. The
// extras are shared by copies of the info: a copy that is changed gets its own.
DicomInfo& dicomInfo(FileInfo& info);

}  // namespace formats
