// The volume filters: colour keying, the cubic blur and the 3D Sobel edges, with
// their kernel tables and the small functions they are defined by.
//
// Each filter reads the unfiltered volume and writes every voxel of a second array,
// which then replaces the volume's array. The loops are in the kernels module; here
// is what a filter is (its tables, its normaliser, its ramp), the "Please wait"
// progress it shows while it runs, and the one message when it cannot have its memory
// (then the volume is unchanged). Included by appFrame.h, which the filters belong to.
#pragma once

#include <deque>

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

// Makes voxels near keyColour transparent (range, falloff in colour units; premultiply != 0 scales colour too).
void key(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply);
// Cubic blur of radius 1, 2 or 3 (anything but 2 or 3 means 1).
void blur(voxelmap* map, int radius);
// Thresholded 3D Sobel edges: every channel becomes 250 or 1.
void edges(voxelmap* map);

// A filter with the parameters it was applied with: what a change of the window applies
// again, in order, to the volume made anew.
struct FilterStep {
    enum Kind { Key, Blur, Edges } kind = Blur;
    voxel keyColour;                              // Key
    int range = 0, falloff = 0, premultiply = 0;  // Key
    int radius = 1;                               // Blur
};
// Runs the step's filter over map, with its progress dialog.
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
