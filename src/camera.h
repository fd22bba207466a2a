// camera: the 3D view's viewpoint, the front-to-back ray marcher, and the
// projection of the slicing plane's outline over the marched picture.
#pragma once

#include <functional>
#include <memory>

#include "vector3.h"

class voxelmap;
class slicer;
class wxImage;
class wxWindow;

// How the samples along a ray make a pixel: composited front to back (the default), or
// the largest r, g and b of the visible samples (maximum-intensity projection).
enum class Blend { Composite, Maximum };

// Which blocks of a volume the march found transparent, kept from one march to the next.
struct BlockCache;
std::shared_ptr<BlockCache> makeBlockCache();

class camera {
public:
    Vector eye{0, 0, 0};      // eye position, origin of every ray
    Vector home{0, 0, 0};     // rest position of the eye; set by the load
    Vector lookAt{0, 0, 0};   // the point looked at, centre of the orbit
    Vector dir{0, 0, 1};      // unit view direction; written by march
    Vector up{0, -1, 0};      // vertical axis of the image plane (not normalised); written by march
    Vector right{1, 0, 0};    // horizontal axis of the image plane (not normalised); written by march
    int resolution = 50;      // the view image is resolution x resolution pixels
    double zoom = 2.0;        // distance from eye to the image plane
    double opacity = 1.0;     // factor on every sample's opacity, 0..1
    double stepLength = 2.0;  // distance between samples along a ray, world units
    // Composite: front to back, ending at alpha 250. Maximum: per channel the largest r, g, b
    // of the samples with alpha above 0 on the same rays and steps; no early end, and
    // opacity does not scale it.
    Blend blend = Blend::Composite;
    // Set by the caller for a run of marches over a volume that does not change meanwhile
    // (the preview's frames): they share what they learn of its blocks. Null: each march
    // looks afresh. Whoever changes the volume's voxels in place must drop it.
    std::shared_ptr<BlockCache> blockCache;

    camera() = default;

    // The start pose for a volume of the given depth: the eye at (0, 0, -200) (also its
    // rest position), looking at the volume's centre on the z axis, depth / 2 truncated.
    void startFor(int depth);
    // The start pose for map: the eye at (0, 0, -200), looking at the centre of the
    // volume's box on the z axis (its world depth halved and truncated).
    void startFor(const voxelmap& map);
    // Places the eye from its rest position: moved by truck along the rest line of sight,
    // then swung about lookAt by pitch (about x) after yaw (about y), degrees.
    void orbit(int yaw, int pitch, int truck);

    // Renders map into the top-left resolution x resolution pixels of image (the
    // caller's image itself; only the part that fits is written) and rewrites dir,
    // up and right. A ray with a zero step (zero direction or zero step length)
    // gives a black pixel, as does a map without voxels.
    void march(voxelmap* map, wxImage& image);
    // Told, on the calling thread between bands of rows, how many of the rows are
    // done; returning false stops the march.
    using MarchProgress = std::function<bool(int done, int total)>;
    // The same march, reporting to progress (when set) about every 50 ms. Returns
    // false when progress stopped it: the image then holds only the rows done.
    bool march(voxelmap* map, wxImage& image, const MarchProgress& progress);
    // Whether the ray from eye along rayDir meets the box; *hit receives the entry
    // point, or eye when the eye is inside the box.
    bool rayHitsCube(Vector boxMin, Vector boxMax, Vector rayDir, Vector* hit) const;

    // Window pixel (column, row) that shows point in a width x height view; points
    // behind the eye project mirrored through the centre. A point at depth 0 (or of
    // undefined depth) has no projection and stores the centre (trunc(width / 2),
    // trunc(height / 2)); other results are clamped to [-1000000, 1000000].
    void project(Vector point, int* px, int* py, int width, int height) const;
    // Draws the plane's outline with a circle on each corner onto window; draws
    // nothing when a corner has no projection.
    void drawslicer3d(slicer* s, wxWindow* window, int width, int height) const;
};

// q = p with s added to it k times, coordinate by coordinate, exactly as k additions in
// turn would give it, for as many k <= n (n at most 2^20) as every coordinate's binade
// allows; returns k (0: q untouched). The march crosses transparent space with it.
int addRepeated(const double p[3], const double s[3], int n, double q[3]);

// (1 - t) a + t b, computed as t b + (1 - t) a; t is not clamped.
Vector vectorLerp(Vector a, Vector b, double t);
