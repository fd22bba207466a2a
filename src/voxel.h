// voxel: one RGBA sample of the volume, and its channel-wise interpolation.
#pragma once

struct voxel {
    unsigned char r = 0;  // red, 0..255
    unsigned char g = 0;  // green, 0..255
    unsigned char b = 0;  // blue, 0..255
    unsigned char a = 0;  // alpha: 255 opaque, 0 fully transparent

    // Transparent black: also the value of every lookup outside the volume.
    voxel() = default;
    voxel(unsigned char r_, unsigned char g_, unsigned char b_, unsigned char a_) : r(r_), g(g_), b(b_), a(a_) {}

    bool operator==(const voxel& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
    bool operator!=(const voxel& o) const { return !(*this == o); }
};

static_assert(sizeof(voxel) == 4, "a voxel is four bytes: the volume is one contiguous RGBA array");

// Channel-wise a + (b - a) * t, truncated toward zero; t is expected in [0, 1].
voxel voxelLerp(voxel a, voxel b, float t);
