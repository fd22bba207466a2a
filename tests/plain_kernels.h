// The straightforward kernels: every voxel, pixel and ray computed one lookup at a
// time exactly as the rules read. The fast kernels of the program must give the same
// bytes; tests and benchmarks compare against these.
#pragma once

#include <wx/image.h>

#include "voxel.h"

class voxelmap;
class camera;
class slicer;

namespace plain {

void key(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply);
void blur(voxelmap* map, int radius);
void edges(voxelmap* map);
// The march of c over map into image in c's blend (also rewrites c's dir, up and right).
void march(camera& c, voxelmap* map, wxImage& image);
void evaluateSlice(const slicer& s, voxelmap* map, wxImage& image);

}  // namespace plain
