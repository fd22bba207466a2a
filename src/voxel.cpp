#include "voxel.h"

namespace {
// Blended in extended (80-bit on x86-64) precision, where the sum of a byte and an
// 8-bit difference times a float is exact down to very small t: a blend from 200
// toward 199 by a t of 1e-16 lies just below 200 and truncates to 199, where a sum
// rounded to double would give 200.
unsigned char lerpChannel(unsigned char a, unsigned char b, float t) {
    const long double v = a + (static_cast<long double>(b) - a) * static_cast<long double>(t);
    return static_cast<unsigned char>(static_cast<long long>(v));
}
}  // namespace

voxel voxelLerp(voxel a, voxel b, float t) {
    return voxel(lerpChannel(a.r, b.r, t), lerpChannel(a.g, b.g, t), lerpChannel(a.b, b.b, t),
                 lerpChannel(a.a, b.a, t));
}
