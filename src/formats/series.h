// series: how the DICOM files of one load become one stack, from their headers alone.
//
// Files are grouped by SeriesInstanceUID and, within a series, by slice orientation; one
// group loads (several: the caller's choose picks one). The slices of a group are ordered
// by their position along the slice normal (ImagePositionPatient projected on row x
// column), smallest first, never by name; the frames of a multi-frame file by their own
// positions or GridFrameOffsetVector. The voxel size comes from PixelSpacing and the step
// between positions. No window code and no DICOM library here: only FileInfos.
#pragma once

#include <string>
#include <vector>

#include "formats/format.h"

namespace formats {

// Arranges a plan whose files are all DICOM: fills its order (the chosen group's layers,
// bottom first), voxel size and unit, value unit, modality, description (the series'),
// window and notes. Several groups, listed by study and series number: choose(labels)
// picks one (each label a seriesLabel), none given: the first. False with the whole message in problem
// (two slices at one position), or with problem empty when choose answered -1.
bool arrangeSeries(Arrangement& p, const Choose& choose, std::string& problem);

// The line of the series list for the files of one series (indexes into p's files):
// "Doe John, 2001-12-31, series 3: T1 axial, MR, 256 x 256 voxels, 20 slices, axial".
std::string seriesLabel(const Arrangement& p, const std::vector<int>& files);

// The status bar after a DICOM load, e.g. "CT 512 x 512 x 120, -1024..3071 HU mapped to
// 0..255" (without the mapping when nothing was mapped).
std::string seriesStatus(const Arrangement& p, bool mapped, double lo, double hi);

}  // namespace formats
