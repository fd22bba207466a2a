// tiffmeta: what a TIFF file's first page says beyond its pixels: the voxel size (ImageJ's
// description, OME-XML, or resolutions in centimetres) and ImageJ's calibration of values.
#pragma once

#include <tiffio.h>

#include "format.h"

namespace formats {

// What the first page says of the voxel size: ImageJ's description (its unit and spacing,
// with x and y from the resolutions), OME-XML's physical sizes, or else resolutions in
// centimetres. Resolutions in inches are a print size: nothing is said.
void readVoxelSize(TIFF* t, FileInfo& info);
// ImageJ's calibration of the values (value = intercept + slope * stored, in info.valueUnit)
// and its display range as the window, in values; slope 1 and intercept 0 where none is given.
void readCalibration(TIFF* t, FileInfo& info, double& slope, double& intercept);

}  // namespace formats
