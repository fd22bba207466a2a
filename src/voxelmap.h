// voxelmap: the RGBA volume, its placement in world space and its lookups.
//
// The world unit is one voxel along x. A voxel of size (sx, sy, sz) spans (1, sy/sx, sz/sx)
// world units (`span`), so a loaded map of width W, height H and depth D occupies x from
// -W/2 over W units, y from -H·span.y/2 over H·span.y and z from 100 over D·span.z; for
// cubic voxels (three equal sizes) that is one unit per voxel and every lookup computes
// exactly what it computed before sizes existed. Voxel (i, j, k) is element
// k * (W * H) + j * W + i of `voxels` (x fastest, then y, z). Voxel counts and element
// indices are 64-bit: stacks above 2^31 voxels are real.
//
// The integer lookups count voxel steps from the truncated origin (the filters loop over
// exactly those coordinates); the point and interpolated lookups take world points.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bigblock.h"
#include "orientation.h"
#include "vector3.h"
#include "voxel.h"

class wxImage;

// The voxel array: one contiguous block of zero bytes (transparent black); a large one
// with big pages (see bigblock.h).
using VoxelArrayDeleter = BigBlockDeleter;
using VoxelArray = BigArray<voxel>;
// n transparent-black voxels, or null if they cannot be allocated.
VoxelArray allocateVoxels(int64_t n);

class voxelmap {
public:
    // World z of a loaded volume's first layer; the volume spans z from here to here + depth.
    static constexpr double worldZ = 100;

    bool loaded = false;             // true once the map holds a voxel array
    int width = 0;                   // voxels along x (width of the first image)
    int height = 0;                  // voxels along y (height of the first image)
    int depth = 0;                   // voxels along z (number of images); set by the loader
    int64_t numVoxels = 0;           // width * height * depth
    Vector origin{0, 0, 0};          // world position of voxel (0, 0, 0): (-W/2, -H/2, worldZ)
    VoxelArray voxels;               // the array, owned by the map
    Vector voxelSize{1, 1, 1};       // a voxel's size along x, y and z, in unit
    std::string unit;                // UTF-8: "mm", "µm", "nm", or empty when not known
    Vector span{1, 1, 1};            // a voxel's extent in world units: (1, sy/sx, sz/sx); set by place()
    // Where the volume lies in the patient: columns = the directions of x, y and z in LPS
    // patient coordinates (see orientation.h). Identity, and hasAxes false, where the files
    // say nothing (plain image stacks).
    orientation::Axes axes = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    bool hasAxes = false;

    voxelmap() = default;
    ~voxelmap();
    voxelmap(const voxelmap&) = delete;
    voxelmap& operator=(const voxelmap&) = delete;

    // Sets span and origin from width, height and voxelSize: where the volume lies in the
    // world. A size ratio that is not a positive finite number counts as 1.
    void place();
    // voxelSize = size, then place().
    void setVoxelSize(const Vector& size);
    // Whether a voxel spans one world unit along every axis.
    bool cubic() const { return span.y() == 1 && span.z() == 1; }
    // The volume's extent in world units: (W, H·span.y, D·span.z).
    Vector extent() const { return Vector(width, height * span.y(), depth * span.z()); }
    // The slicing plane's height at rest, in world units and slice pixels: the extent along
    // y rounded to whole units, at least 1 (H for cubic voxels).
    int planeHeight() const;

    // Integer coordinates in voxel steps; (0, 0, 0, 0) outside the volume.
    voxel getVoxel(int x, int y, int z) const;
    // The voxel containing p, indices truncated toward zero; (0, 0, 0, 0) outside.
    voxel getVoxel(Vector p) const;
    // The element index each getVoxel reads, -1 outside the volume; needs the
    // dimensions and origin only, not the array.
    int64_t indexOf(int x, int y, int z) const;
    int64_t indexOf(Vector p) const;
    // Stores a voxel. No bounds test: callers pass only coordinates inside the volume.
    void setVoxel(int x, int y, int z, unsigned char r, unsigned char g, unsigned char b, unsigned char a);
    void setVoxel(int x, int y, int z, voxel v);
    voxel* getVoxels() { return voxels.get(); }

    // Deep copy of source into this map (voxel size, unit and axes included), with the standard
    // origin; returns this map.
    // If source holds no array, or the array cannot be allocated, the map is left
    // empty (loaded false).
    voxelmap* copyMap(voxelmap* source);
    // Packed RGB bytes of one layer (layer 0 when out of range), allocated with
    // malloc: the caller releases them with free. Null if the map is empty; all
    // zero if it has no layers.
    unsigned char* getRGB(int layer);

    // Bilinear lookup in x and y within one layer, of a world point: as the integer lookups
    // count, at floor(c) and floor(c) + 1 along x and y and in the layer trunc(c) along z, for
    // the point's coordinates c in voxel steps (see steps()).
    voxel getAAVoxelinPlane(Vector p) const;
    // Trilinear lookup of a world point.
    voxel getAAVoxel(Vector p) const;
    // p in voxel steps (c) and the step of voxel 0 (base) per axis, as the interpolated
    // lookups count: a cubic axis is p's own coordinate counted from the truncated origin;
    // along an axis of longer or shorter voxels, the step is (p - origin) / span counted
    // from the origin a map of cubes of the same size would have.
    void steps(const Vector& p, double c[3], int64_t base[3]) const;

    // Copies one image into layer `layer`; the first image of a stack (map not yet
    // loaded) fixes width and height and allocates the array, with `depth` set by
    // the caller beforehand. An image of another size is copied only where it
    // overlaps the layer; the rest stays transparent black. An image that failed to
    // decode, and a layer outside the array, are ignored.
    void loadimage(wxImage image, int layer);

    // Sets the dimensions, places the volume (its voxel size kept) and allocates a
    // transparent-black array.
    // Returns false, leaving the map empty, if the array cannot be allocated.
    bool allocate(int w, int h, int d);
    // Releases the array; the map becomes empty, without axes.
    void clear();
    // Copies the axes (and hasAxes) of from.
    void copyAxes(const voxelmap& from);
    // Takes the volume of from, voxel size, unit and axes included (this map stays the same
    // object); from ends up empty and the array this map held before is released.
    void takeVolume(voxelmap& from);

    // The standard origin of a w x h map of cubic voxels, halves in floating point.
    static Vector originFor(int w, int h) { return Vector(-w / 2.0, -h / 2.0, worldZ); }
    // Element index of voxel (i, j, k), in 64 bits.
    int64_t index(int64_t i, int64_t j, int64_t k) const {
        return k * (static_cast<int64_t>(width) * height) + j * width + i;
    }
};

// Why size cannot be a voxel's size, or empty: each component must be a positive finite
// number, and no two more than 1000 times apart.
std::string voxelSizeProblem(const Vector& size);
// What the status bar says of a volume: "512 x 512 x 120 voxels of 0.70 x 0.70 x 2.50 mm";
// without a unit only the voxel counts, unless the sizes differ.
std::string sizeText(const voxelmap& map);
