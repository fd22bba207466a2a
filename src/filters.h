// The volume filters: colour keying, the cubic blur and the 3D Sobel edges, with
// their kernel tables and the small functions they are defined by.
//
// Each filter reads the unfiltered volume and writes every voxel of a second array,
// which then replaces the volume's array. The loops are in the kernels module; here
// is what a filter is (its tables, its normaliser, its ramp), told progress through a
// callback and saying in its outcome when it cannot have its memory (then the volume is
// unchanged). No window code: the forms that show the "Please wait" dialog and the
// message are the window's (filtering.cpp).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "voxel.h"
#include "voxelmap.h"

// Kernel codes of weight().
enum {
    KERNEL_BLUR1 = 1000,
    KERNEL_BLUR2 = 1001,
    KERNEL_BLUR3 = 1002,
    KERNEL_SOBELX = 1003,
    KERNEL_SOBELY = 1004,
    KERNEL_SOBELZ = 1005,
    KERNEL_SOBEL2DX = 1006,
};

extern const float blur1[27];
extern const float blur2[125];
extern const float blur3[343];
extern const float sobelX[27];
extern const float sobelY[27];
extern const float sobelZ[27];
extern const float sobel2dX[9];

// Entry (i + offset, j + offset, k + offset) of the table selected by kernel.
float weight(int i, int j, int k, int offset, int kernel);
// 0 below edge0, 1 from edge1 on, the cubic ramp between.
float smoothstep(float edge0, float edge1, float x);
// trunc(a + (b - a) t) as a byte.
unsigned char lerp(unsigned char a, unsigned char b, float t);

// Told the layers done (0 before the work starts, then up to the depth) and the depth;
// false cancels: the volume stays as it was (a run already started finishes first).
using FilterProgress = std::function<bool(int done, int total)>;

// How a filter went. Done: the volume's array replaced. Skipped: no volume to filter.
// Cancelled: the progress said stop. NoMemory: `bytesShort` (0: not known) could not be
// had. The volume is unchanged unless Done.
struct FilterOutcome {
    enum Result { Done, Skipped, Cancelled, NoMemory } result = Skipped;
    int64_t bytesShort = 0;
};
// What the user is told of a filter that could not have its memory.
std::string noMemoryText(int64_t bytesShort);

// Makes voxels near keyColour transparent (range, falloff in colour units; premultiply != 0 scales colour too).
FilterOutcome key(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply,
                  const FilterProgress& progress);
// Cubic blur of radius 1, 2 or 3 (anything but 2 or 3 means 1).
FilterOutcome blur(voxelmap* map, int radius, const FilterProgress& progress);
// Thresholded 3D Sobel edges: every channel becomes 250 or 1.
FilterOutcome edges(voxelmap* map, const FilterProgress& progress);

// The same behind the filters' "Please wait" dialog, with a message when memory is
// short; defined with the window code (filtering.cpp).
void key(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply);
void blur(voxelmap* map, int radius);
void edges(voxelmap* map);

// A filter with the parameters it was applied with: what a change of the window applies
// again, in order, to the volume made anew.
struct FilterStep {
    enum Kind { Key, Blur, Edges } kind = Blur;
    voxel keyColour;                              // Key
    int range = 0, falloff = 0, premultiply = 0;  // Key
    int radius = 1;                               // Blur
};
// Runs the step's filter over map.
FilterOutcome runFilter(voxelmap* map, const FilterStep& step, const FilterProgress& progress);
// What the step's progress dialog says while it runs ("Blurring can be slow").
const char* progressText(const FilterStep& step);
// The same behind its progress dialog, with a message when memory is short (filtering.cpp).
void applyFilter(voxelmap* map, const FilterStep& step);

// While one exists, the array each filter replaces is appended to `into` instead of
// being released (what Undo takes back). One at a time.
class KeepReplacedArrays {
public:
    explicit KeepReplacedArrays(std::deque<VoxelArray>* into);
    ~KeepReplacedArrays();
    KeepReplacedArrays(const KeepReplacedArrays&) = delete;
    KeepReplacedArrays& operator=(const KeepReplacedArrays&) = delete;
};
