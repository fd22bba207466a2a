// series: how the DICOM files of one load become one stack, from their headers alone.
//
// Files are grouped by SeriesInstanceUID and, within a series, by slice orientation; one
// group loads (several: the caller's choose picks one). The slices of a group are ordered
// by their position along the slice normal (ImagePositionPatient projected on row x
// column), smallest first, never by name; the frames of a multi-frame file by their own
// positions or GridFrameOffsetVector. The voxel size comes from PixelSpacing and the step
// between positions. No window code and no DICOM library here: only FileInfos.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "formats/format.h"

namespace formats {

// One layer of the stack: page `page` of file `file` (an index into the load's files).
struct Layer {
    int file = 0, page = 0;
};

// What the headers of a DICOM load say of the stack.
struct Arrangement {
    std::vector<Layer> order;               // the layers, bottom first
    double voxelSize[3] = {1, 1, 1};        // x, y, z in unit
    std::string unit;                       // "mm" where PixelSpacing says it
    std::string valueUnit;                  // "HU" for CT, ...
    std::string modality, description;      // of the group loaded
    bool hasWindow = false;                 // the first slice's window, in values
    double windowLo = 0, windowHi = 0;
    std::vector<std::string> notes;         // for the message after the load
};

// Asked when the files hold several groups: returns the index of the label chosen, or -1.
using Choose = std::function<int(const std::vector<std::string>& labels)>;

// Arranges the DICOM files of a load (infos[i] is the header of files[i]). True with the
// arrangement; true with an empty order when no file is DICOM. False with the whole message
// in problem when the files cannot be arranged (DICOM mixed with other files, two slices at
// one position), or with an empty problem when choose was answered -1.
bool arrangeSeries(const std::vector<std::string>& files, const std::vector<FileInfo>& infos, const Choose& choose,
                   Arrangement& out, std::string& problem);

// The status bar after a DICOM load, e.g. "CT 512 x 512 x 120, -1024..3071 HU mapped to
// 0..255" (without the mapping when nothing was mapped).
std::string seriesStatus(const Arrangement& a, int width, int height, int depth, bool mapped, double lo, double hi);

// Whether path is a DICOM slice by its content (a DICOMDIR index is not).
bool isDicomSlice(const std::string& path);
// The DICOM slices directly inside a folder, in name order.
std::vector<std::string> dicomFilesIn(const std::string& folder);

}  // namespace formats
