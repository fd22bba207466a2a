#include "voxelmap.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// trunc(v) lies in [0, n) exactly when n > 0 and v lies in (-1, n). Testing in double
// before converting keeps far-away (or NaN) points from overflowing the conversion.
bool truncInRange(double v, int n) { return n > 0 && v > -1.0 && v < n; }

// A point beyond this bound has only neighbours outside the map (x and y of a map lie
// within 2^30 of 0, z between 100 and 100 + depth, for any depth below about 2e9):
// its interpolated value is (0, 0, 0, 0). The bound also keeps floor() + 1 inside int.
constexpr double kFar = 2.0e9;
bool near(double v) { return v > -kFar && v < kFar; }

}  // namespace

VoxelArray allocateVoxels(int64_t n) {
    if (n < 0 || static_cast<uint64_t>(n) > (SIZE_MAX >> 2) / sizeof(voxel)) return VoxelArray();
    return allocateBig<voxel>(static_cast<size_t>(n));  // an empty map still owns an array
}

voxelmap::~voxelmap() { clear(); }

void voxelmap::clear() {
    voxels.reset();
    loaded = false;
    orientation::setIdentity(axes);  // an empty map lies nowhere in a patient
    hasAxes = false;
}

bool voxelmap::allocate(int w, int h, int d) {
    clear();
    if (w < 0 || h < 0 || d < 0) return false;
    // w * h fits in 62 bits; the product with d may not, so test before multiplying.
    const int64_t layer = static_cast<int64_t>(w) * h;
    if (d != 0 && layer > INT64_MAX / d) return false;
    const int64_t n = layer * d;
    VoxelArray array = allocateVoxels(n);
    if (!array) return false;
    width = w;
    height = h;
    depth = d;
    numVoxels = n;
    place();
    voxels = std::move(array);
    loaded = true;
    return true;
}

void voxelmap::place() {
    // A ratio of equal sizes is exactly 1: cubic voxels are placed exactly as before.
    const auto ratio = [this](double s) {
        const double r = s / voxelSize.x();
        return std::isfinite(r) && r > 0 ? r : 1.0;
    };
    span = Vector(1, ratio(voxelSize.y()), ratio(voxelSize.z()));
    origin = Vector(-width / 2.0, -(height * span.y()) / 2.0, worldZ);
}

void voxelmap::setVoxelSize(const Vector& size) {
    voxelSize = size;
    place();
}

int voxelmap::planeHeight() const {
    if (span.y() == 1) return height;
    const double h = std::round(height * span.y());
    return h < 1 ? 1 : h > INT_MAX ? INT_MAX : static_cast<int>(h);
}

void voxelmap::steps(const Vector& p, double c[3], int64_t base[3]) const {
    const Vector cubes = originFor(width, height);
    for (int a = 0; a < 3; ++a) {
        const double s = a == 0 ? 1.0 : a == 1 ? span.y() : span.z();
        if (s == 1) {
            c[a] = p[a];
            base[a] = static_cast<int64_t>(origin[a]);
        } else {
            c[a] = cubes[a] + (p[a] - origin[a]) / s;
            base[a] = static_cast<int64_t>(cubes[a]);
        }
    }
}

int64_t voxelmap::indexOf(int x, int y, int z) const {
    const int64_t i = static_cast<int64_t>(x) - static_cast<int64_t>(origin.x());
    const int64_t j = static_cast<int64_t>(y) - static_cast<int64_t>(origin.y());
    const int64_t k = static_cast<int64_t>(z) - static_cast<int64_t>(origin.z());
    if (i < 0 || i >= width) return -1;
    if (j < 0 || j >= height) return -1;
    if (k < 0 || k >= depth) return -1;
    return index(i, j, k);
}

voxel voxelmap::getVoxel(int x, int y, int z) const {
    const int64_t n = indexOf(x, y, z);
    return n < 0 ? voxel() : voxels[n];
}

int64_t voxelmap::indexOf(Vector p) const {
    // World to voxel: divided by the voxel's world size (by 1, exactly, for cubes).
    const Vector d = p - origin;
    const double dy = d.y() / span.y(), dz = d.z() / span.z();
    if (!truncInRange(d.x(), width)) return -1;
    if (!truncInRange(dy, height)) return -1;
    if (!truncInRange(dz, depth)) return -1;
    return index(static_cast<int64_t>(d.x()), static_cast<int64_t>(dy), static_cast<int64_t>(dz));
}

voxel voxelmap::getVoxel(Vector p) const {
    const int64_t n = indexOf(p);
    return n < 0 ? voxel() : voxels[n];
}

void voxelmap::setVoxel(int x, int y, int z, unsigned char r, unsigned char g, unsigned char b, unsigned char a) {
    setVoxel(x, y, z, voxel(r, g, b, a));
}

void voxelmap::setVoxel(int x, int y, int z, voxel v) {
    const int64_t i = static_cast<int64_t>(x) - static_cast<int64_t>(origin.x());
    const int64_t j = static_cast<int64_t>(y) - static_cast<int64_t>(origin.y());
    const int64_t k = static_cast<int64_t>(z) - static_cast<int64_t>(origin.z());
    voxels[index(i, j, k)] = v;
}

voxelmap* voxelmap::copyMap(voxelmap* source) {
    // A map without an array has nothing to copy: the copy is empty as well.
    if (!source->voxels) {
        clear();
        return this;
    }
    VoxelArray array = allocateVoxels(source->numVoxels);
    if (!array) {
        clear();
        return this;
    }
    if (source->numVoxels > 0)
        std::memcpy(array.get(), source->voxels.get(), static_cast<size_t>(source->numVoxels) * sizeof(voxel));
    voxels = std::move(array);
    numVoxels = source->numVoxels;
    width = source->width;
    height = source->height;
    depth = source->depth;
    voxelSize = source->voxelSize;
    unit = source->unit;
    copyAxes(*source);
    place();
    loaded = true;
    return this;
}

unsigned char* voxelmap::getRGB(int layer) {
    if (!loaded) return nullptr;
    if (layer < 0 || layer >= depth) layer = 0;
    const int64_t n = static_cast<int64_t>(width) * height;
    auto* bytes = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(n > 0 ? n * 3 : 1)));
    if (!bytes) return nullptr;
    if (index(0, 0, layer) + n > numVoxels) {
        // A map without layers (depth 0) has no layer 0 to fall back on: black.
        std::memset(bytes, 0, static_cast<size_t>(n * 3));
        return bytes;
    }
    const voxel* src = voxels.get() + index(0, 0, layer);
    for (int64_t i = 0; i < n; ++i) {
        bytes[3 * i] = src[i].r;
        bytes[3 * i + 1] = src[i].g;
        bytes[3 * i + 2] = src[i].b;
    }
    return bytes;
}

namespace {

// The bilinear blend within layer z of voxel steps c (x and y), as the integer lookups
// read: neighbours outside the volume are transparent black.
voxel blendInLayer(const voxelmap& m, const double c[3], const int64_t base[3], int64_t z) {
    const int64_t x0 = static_cast<int64_t>(std::floor(c[0]));
    const int64_t y0 = static_cast<int64_t>(std::floor(c[1]));
    const float fx = static_cast<float>(c[0] - x0);
    const float fy = static_cast<float>(c[1] - y0);
    const auto at = [&](int64_t x, int64_t y) {
        const int64_t i = x - base[0], j = y - base[1], k = z - base[2];
        if (i < 0 || i >= m.width || j < 0 || j >= m.height || k < 0 || k >= m.depth) return voxel();
        return m.voxels[m.index(i, j, k)];
    };
    const voxel c00 = at(x0, y0);
    const voxel c01 = at(x0, y0 + 1);
    const voxel c11 = at(x0 + 1, y0 + 1);
    const voxel c10 = at(x0 + 1, y0);
    const voxel lower = voxelLerp(c00, c10, fx);
    const voxel upper = voxelLerp(c01, c11, fx);
    return voxelLerp(lower, upper, fy);
}

}  // namespace

voxel voxelmap::getAAVoxelinPlane(Vector p) const {
    double c[3];
    int64_t base[3];
    steps(p, c, base);
    if (!near(c[0]) || !near(c[1]) || !near(c[2])) return voxel();
    return blendInLayer(*this, c, base, static_cast<int64_t>(c[2]));
}

voxel voxelmap::getAAVoxel(Vector p) const {
    double c[3];
    int64_t base[3];
    steps(p, c, base);
    if (!near(c[0]) || !near(c[1]) || !near(c[2])) return voxel();
    const int64_t z0 = static_cast<int64_t>(std::floor(c[2]));
    const float fz = static_cast<float>(c[2] - z0);
    const voxel below = blendInLayer(*this, c, base, z0);
    const voxel above = blendInLayer(*this, c, base, z0 + 1);
    return voxelLerp(below, above, fz);
}

void voxelmap::takeVolume(voxelmap& from) {
    if (&from == this) return;
    std::swap(voxels, from.voxels);
    width = from.width;
    height = from.height;
    depth = from.depth;
    numVoxels = from.numVoxels;
    origin = from.origin;
    span = from.span;
    voxelSize = from.voxelSize;
    unit = from.unit;
    copyAxes(from);
    loaded = from.loaded;
    from.clear();
}

void voxelmap::copyAxes(const voxelmap& from) {
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) axes[r][c] = from.axes[r][c];
    hasAxes = from.hasAxes;
}

std::string voxelSizeProblem(const Vector& size) {
    for (int a = 0; a < 3; ++a)
        if (!(std::isfinite(size[a]) && size[a] > 0)) return "The voxel size must be a positive number along x, y and z.";
    const double lo = std::min({size.x(), size.y(), size.z()}), hi = std::max({size.x(), size.y(), size.z()});
    if (hi / lo > 1000) return "The voxel sizes may differ by at most a factor of 1000.";
    return std::string();
}

namespace {

// Two decimals, as a scan's sizes are usually given; smaller sizes keep two digits.
std::string sizeNumber(double v) {
    char text[64];
    std::snprintf(text, sizeof text, v >= 0.095 ? "%.2f" : "%.2g", v);
    return text;
}

}  // namespace

std::string sizeText(const voxelmap& map) {
    std::string text = std::to_string(map.width) + " x " + std::to_string(map.height) + " x " +
                       std::to_string(map.depth) + " voxels";
    const Vector& s = map.voxelSize;
    if (map.unit.empty() && s.x() == s.y() && s.y() == s.z()) return text;
    text += " of " + sizeNumber(s.x()) + " x " + sizeNumber(s.y()) + " x " + sizeNumber(s.z());
    if (!map.unit.empty()) text += " " + map.unit;
    return text;
}
