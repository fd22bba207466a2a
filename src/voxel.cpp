#include "voxel.h"

namespace {
// An 8-bit difference times a float is exact in double, so this equals the
// blend computed in any wider precision.
unsigned char lerpChannel(unsigned char a, unsigned char b, float t) {
    const double v = a + (static_cast<double>(b) - a) * static_cast<double>(t);
    return static_cast<unsigned char>(static_cast<long long>(v));
}
}  // namespace

voxel voxelLerp(voxel a, voxel b, float t) {
    return voxel(lerpChannel(a.r, b.r, t), lerpChannel(a.g, b.g, t), lerpChannel(a.b, b.b, t),
                 lerpChannel(a.a, b.a, t));
}
