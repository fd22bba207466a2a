// slicer: the slicing plane, moved, rotated and scaled about its centre and
// sampled into the slice image one voxel lookup per pixel.
#pragma once

#include <memory>

#include "bilinear.h"
#include "matrix.h"
#include "vector3.h"

class voxelmap;
class wxImage;

class slicer {
public:
    std::unique_ptr<BilinearPatch> patch;  // current (transformed) corners; owned
    Vector centre;                         // pivot: (0, 0, z of the constructor's point)
    bool aaLookups = false;                // true: interpolated lookups; false: nearest voxel
    int width;                             // plane width at 100 %, world units = slice pixels
    int height;                            // plane height likewise
    Vector baseP00, baseP01, baseP10, baseP11;  // untransformed corners, fixed at construction
    CMatrix transform{1};                  // rotation * scaling * translation, from applyMatrix
    CMatrix translation{1};                // set by setP
    CMatrix rotation{1};                   // set by setR
    CMatrix scaling{1};                    // identity except inside setS

    // The plane at rest across the layer at position.z, centred on x = y = 0.
    slicer(Vector position, int width, int height);

    void setP(Vector t);                      // translation, world units
    void setR(float rx, float ry, float rz);  // rotation, degrees
    void setS(float sx, float sy, float sz);  // scaling, percent; lasts until the next setP or setR
    void applyMatrix();                       // rebuilds transform and the patch corners
    // The whole pose, in the order that keeps the scale: setP, setR, then setS.
    void pose(Vector t, float rx, float ry, float rz, float sx, float sy, float sz);

    // Samples the plane into the top-left width x height pixels of image (the
    // caller's image itself; only the part that fits is written); the sample's
    // alpha is dropped. A map without voxels gives black.
    void evaluateSlice(voxelmap* map, wxImage& image) const;
};
