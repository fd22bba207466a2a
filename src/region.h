// region: a box of voxels as the command line and the Load Region dialog write it,
// "x0:x1,y0:y1,z0:z1" (starts inclusive, ends exclusive, in the finest level's voxels).
#pragma once

#include <string>

// Reads text into box (x0, x1, y0, y1, z0, z1); false, with the problem in words, when it is
// not three ranges of whole numbers 0 <= start < end.
bool parseRegion(const std::string& text, int box[6], std::string& problem);
// The box as parseRegion reads it.
std::string regionText(const int box[6]);
