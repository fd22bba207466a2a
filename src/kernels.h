// The loops of the volume filters: keying, the separable blur and the edge planes.
// They read one voxel array and write every voxel of another, on the pool's threads,
// in bands of rows through the whole depth, so that their scratch memory stays within
// kScratchBudget whatever the layer size and the number of cores (beyond it only when
// a band of a few rows of a very wide layer needs more; then on fewer threads).
//
// Each gives exactly the bytes of visiting every voxel and summing its weighted
// neighbours one by one (outside neighbours transparent black, sums in double), but
// computes them separably in integers.
//
// All scratch memory is obtained before the work starts: if it cannot be had, the
// run does not start and nothing is written. Nothing here throws for want of memory
// or threads.
#pragma once

#include <cstdint>
#include <functional>

#include "voxel.h"

class voxelmap;

namespace kernels {

// Told how many layers' worth of the work is done, from 1 up to the depth: on the
// calling thread only, at most every kProgressIntervalMs while the work runs, and
// once at the end with the depth.
using Progress = std::function<void(int layersDone)>;
constexpr int kProgressIntervalMs = 50;

// Scratch memory all workers of one filter share.
constexpr int64_t kScratchBudget = int64_t(8) << 20;

// How a run went: done, or not started because `scratchBytes` of scratch memory could
// not be had (then the output is untouched). When done: the scratch it held and the
// threads it ran on (at most; fewer when the pool has fewer).
struct Outcome {
    bool done = false;
    int64_t scratchBytes = 0;
    int workers = 0;
};

// Keying: every voxel v of map into out (same size) with its alpha, and with premultiply
// != 0 also its colour, times factor(d2), d2 the squared colour distance to keyColour
// (0 to 3 x 255^2; factor is called once for each, on the calling thread).
Outcome keyVolume(const voxelmap& map, voxel* out, voxel keyColour, int premultiply,
                  const std::function<float(int d2)>& factor, const Progress& progress);

// The blur of radius 1 to 3 (side 2 radius + 1; the centre weighs 1, every other voxel
// of the cube 1/8), each sum divided by normaliser and truncated.
Outcome blurVolume(const voxelmap& map, voxel* out, int radius, double normaliser, const Progress& progress);

// The thresholded 3D Sobel edges: each channel 250 where the gradient magnitude of the
// three responses (each divided by 12) exceeds 128, else 1.
Outcome edgeVolume(const voxelmap& map, voxel* out, const Progress& progress);

// Test seam: how many more scratch allocations may succeed (negative: no limit).
int& scratchAllocationsLeft();

}  // namespace kernels
