#include "voxel.h"

namespace {
// Computed in double on every platform. An 8-bit difference times a float is
// exact in double, and so is the sum for t = 0 and for every t >= 2^-22, where
// the result equals the blend in any wider precision. Only for 0 < t < 2^-22
// with b < a can a wider (80-bit) sum fall just below a and truncate to a - 1
// where this gives a.
unsigned char lerpChannel(unsigned char a, unsigned char b, float t) {
    const double v = a + (static_cast<double>(b) - a) * static_cast<double>(t);
    return static_cast<unsigned char>(static_cast<long long>(v));
}
}  // namespace

voxel voxelLerp(voxel a, voxel b, float t) {
    return voxel(lerpChannel(a.r, b.r, t), lerpChannel(a.g, b.g, t), lerpChannel(a.b, b.b, t),
                 lerpChannel(a.a, b.a, t));
}
