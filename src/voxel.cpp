#include "voxel.h"

#include <cmath>

namespace {

// The blend in extended (80-bit on x86-64) precision, where the sum of a byte and an
// 8-bit difference times a float is exact down to very small t: a blend from 200
// toward 199 by a t of 1e-16 lies just below 200 and truncates to 199, where a sum
// rounded to double would give 200.
unsigned char lerpExtended(unsigned char a, unsigned char b, float t) {
    const long double v = a + (static_cast<long double>(b) - a) * static_cast<long double>(t);
    // Truncation without switching the x87 rounding mode (which stalls the pipeline):
    // through double, which may round v up to the next integer, then corrected.
    long long k = static_cast<long long>(static_cast<double>(v));
    if (v >= 0 ? static_cast<long double>(k) > v : static_cast<long double>(k) < v) k += v >= 0 ? -1 : 1;
    return static_cast<unsigned char>(k);
}

// The same result, mostly in double. The product p is exact in double. If the sum
// rounded to double is not a whole number, no whole number lies between it and the
// exact sum, nor between the exact sum and its extended rounding (which is closer
// still), so all three truncate alike. Only a whole-number double sum needs the
// extended blend to tell on which side of that number the exact sum lies.
unsigned char lerpChannel(unsigned char a, unsigned char b, float t) {
    const double p = (static_cast<double>(b) - a) * static_cast<double>(t);
    if (p == 0) return a;
    const double s = a + p;
    if (!(std::fabs(s) < 1e15)) return lerpExtended(a, b, t);  // t far outside [0, 1]
    const double k = static_cast<double>(static_cast<long long>(s));
    if (k != s) return static_cast<unsigned char>(static_cast<long long>(k));
    return lerpExtended(a, b, t);
}

}  // namespace

voxel voxelLerp(voxel a, voxel b, float t) {
    return voxel(lerpChannel(a.r, b.r, t), lerpChannel(a.g, b.g, t), lerpChannel(a.b, b.b, t),
                 lerpChannel(a.a, b.a, t));
}
