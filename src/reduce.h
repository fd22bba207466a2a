// reduce: a stack opened at 1/k of its size, page by page as it streams. Each voxel of the
// reduced volume is the mean of a k x k x k block of the full one (fewer voxels where the
// block meets a face), per channel, alpha included: (sum + n/2) / n rounded down, in
// integers, for integer samples; the mean in double, stored in the samples' own type, for
// floating-point ones. Wide samples are averaged in their stored values (every page of a
// block shares one slope and intercept), before the mapping.
//
// Lines a page could not read are left out of the means; a reduced pixel whose block has
// no readable pixel is zero, and a reduced line of such pixels only is lost.
//
// Memory beyond the reduced page: 8 bytes a reduced pixel and channel for the sums, and 4
// for the counts (see accumulatorBytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "formats/format.h"

namespace reduce {

// The reduced size of n voxels: n / k rounded up.
inline int reducedSize(int n, int k) { return static_cast<int>((int64_t(n) + k - 1) / k); }

// Bytes the sums of one reduced layer of w x h pages need, at most.
int64_t accumulatorBytes(int w, int h, int k);

// Sums the pages of one block of layers (w x h pages, k the factor) into one reduced page.
class Reducer {
public:
    Reducer(int w, int h, int k) : w_(w), h_(h), k_(k), rw_(reducedSize(w, k)), rh_(reducedSize(h, k)) {}
    // Adds one page; false, with the reason, when it cannot be averaged with the pages
    // added before it (another kind of samples or another meaning of them).
    bool add(const formats::Page& pg, std::string& reason);
    // The reduced page of the pages added since the last take; starts a new block.
    formats::Page take();

private:
    int w_, h_, k_, rw_, rh_;
    int pages_ = 0;
    formats::Page shape_;  // kind, channels and meaning of this block's pages (no samples)
    std::vector<int64_t> sums_;    // integer samples
    std::vector<double> fsums_;    // floating-point and 64-bit samples
    std::vector<uint32_t> counts_; // readable pixels a reduced pixel
};

}  // namespace reduce
