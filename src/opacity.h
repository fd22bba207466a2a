// opacity: a voxel's alpha from its value through a ramp lo..hi, so that the 3D view can
// show what lies inside a scan. The values are those the status bar shows: the original
// samples of a wide or calibrated stack (HU for CT; colour: the mean of the channels), or
// for a stack of 8-bit images the grey level (the mean of r, g, b rounded down).
//
// alpha = 0 at or below lo (and for NaN), 255 at or above hi, between them
// floor((v - lo) * 255 / (hi - lo)) in double, the window's rounding. Where the stack has
// its own alpha the voxel keeps floor(loaded alpha * ramp / 255). The colour is untouched.
//
// No window code here; the shell owns the ramp and calls these after it made the volume.
#pragma once

#include <cstdint>

#include "voxel.h"

class Originals;

struct OpacityRamp {
    bool on = false;  // off: "Opaque", every voxel keeps the alpha the load gave it
    double lo = 0, hi = 0;

    // The ramp's alpha for value v (only meaningful while on).
    unsigned char operator()(double v) const;
    // Loaded alpha a scaled by the ramp at v: floor(a * ramp / 255).
    unsigned char scaled(unsigned char a, double v) const;
    bool operator==(const OpacityRamp& o) const { return on == o.on && (!on || (lo == o.lo && hi == o.hi)); }
    bool operator!=(const OpacityRamp& o) const { return !(*this == o); }
};

// The grey level of an 8-bit voxel: the mean of r, g and b rounded down.
inline int greyLevel(voxel v) { return (v.r + v.g + v.b) / 3; }

// Rewrites the alpha of out, which remap of o just wrote, from o's values through ramp
// (on all cores). Voxels without a value (lost rows) keep theirs. Nothing when the ramp is off.
void applyRamp(const OpacityRamp& ramp, const Originals& o, voxel* out);
// out = loaded (n voxels of an 8-bit stack as loaded) with alpha from its grey level
// through ramp; with the ramp off a plain copy. out may be loaded itself.
void applyRamp(const OpacityRamp& ramp, const voxel* loaded, voxel* out, int64_t n);
