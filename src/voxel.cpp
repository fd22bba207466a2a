#include "voxel.h"

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

}  // namespace

// The same result, mostly in double. The product p is exact in double. If the sum
// rounded to double is not a whole number, no whole number lies between it and the
// exact sum, nor between the exact sum and its extended rounding (which is closer
// still), so all three truncate alike. Only a whole-number double sum with p != 0
// needs the extended blend to tell on which side of that number the exact sum lies.
// The four channels share t and are blended side by side.
voxel voxelLerp(voxel a, voxel b, float t) {
    const unsigned char av[4] = {a.r, a.g, a.b, a.a};
    const unsigned char bv[4] = {b.r, b.g, b.b, b.a};
    const double td = t;
    int out[4];
    bool exact = true;
    for (int c = 0; c < 4; ++c) {
        const double p = (static_cast<double>(bv[c]) - av[c]) * td;
        const double s = av[c] + p;
        const bool inRange = s > -2.0e9 && s < 2.0e9;  // false for t far outside [0, 1] or NaN
        const int k = inRange ? static_cast<int>(s) : 0;
        exact = exact && inRange && (k != s || p == 0);
        out[c] = k;
    }
    if (!exact) {
        return voxel(lerpExtended(a.r, b.r, t), lerpExtended(a.g, b.g, t), lerpExtended(a.b, b.b, t),
                     lerpExtended(a.a, b.a, t));
    }
    return voxel(static_cast<unsigned char>(out[0]), static_cast<unsigned char>(out[1]),
                 static_cast<unsigned char>(out[2]), static_cast<unsigned char>(out[3]));
}
