// The program's globals: the one voxel map, the current plane and camera, and the two
// views' images (declared in appFrame.h).
#include <wx/image.h>

#include <memory>

#include "appFrame.h"
#include "camera.h"
#include "slicer.h"
#include "voxelmap.h"

namespace {

voxelmap theVoxmap;  // the storage behind myVoxmap, alive for the whole process

}  // namespace

voxelmap* const myVoxmap = &theVoxmap;
std::unique_ptr<slicer> theslicer;
std::unique_ptr<camera> cam;
wxImage screenImage;
wxImage viewportImage;

bool volumeReady() { return myVoxmap->loaded && theslicer && cam; }
