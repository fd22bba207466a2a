#include "slicer.h"

#include <wx/image.h>

#include "voxelmap.h"

slicer::slicer(Vector position, int w, int h) : centre(0, 0, position.z()), width(w), height(h) {}
void slicer::setP(Vector) {}
void slicer::setR(float, float, float) {}
void slicer::setS(float, float, float) {}
void slicer::applyMatrix() {}
void slicer::evaluateSlice(voxelmap*, wxImage&) const {}
