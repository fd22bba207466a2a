#include "voxelmap.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

namespace {

constexpr size_t kBigPage = size_t(2) << 20;  // bytes in a big page

// trunc(v) lies in [0, n) exactly when n > 0 and v lies in (-1, n). Testing in double
// before converting keeps far-away (or NaN) points from overflowing the conversion.
bool truncInRange(double v, int n) { return n > 0 && v > -1.0 && v < n; }

// A point beyond this bound has only neighbours outside the map (x and y of a map lie
// within 2^30 of 0, z between 100 and 100 + depth, for any depth below about 2e9):
// its interpolated value is (0, 0, 0, 0). The bound also keeps floor() + 1 inside int.
constexpr double kFar = 2.0e9;
bool near(double v) { return v > -kFar && v < kFar; }

}  // namespace

void VoxelArrayDeleter::operator()(voxel* p) const {
    if (mappedLength == 0)
        std::free(p);
    else
        munmap(reinterpret_cast<char*>(p) - mappedOffset, mappedLength);
}

VoxelArray allocateVoxels(int64_t n) {
    if (n < 0 || static_cast<uint64_t>(n) > (SIZE_MAX - 2 * kBigPage) / sizeof(voxel)) return VoxelArray();
    const size_t bytes = static_cast<size_t>(n > 0 ? n : 1) * sizeof(voxel);  // an empty map still owns an array
    if (bytes < 8 * kBigPage) return VoxelArray(static_cast<voxel*>(std::calloc(bytes, 1)));
    // Anonymous mappings are zero-filled. The array starts on a big-page boundary.
    const size_t length = bytes + kBigPage;
    void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return VoxelArray();
    const uintptr_t start = (reinterpret_cast<uintptr_t>(base) + kBigPage - 1) & ~(kBigPage - 1);
    madvise(reinterpret_cast<void*>(start), bytes, MADV_HUGEPAGE);  // a hint: fine if refused
    const size_t offset = start - reinterpret_cast<uintptr_t>(base);
    return VoxelArray(reinterpret_cast<voxel*>(start), VoxelArrayDeleter{length, offset});
}

voxelmap::~voxelmap() { clear(); }

void voxelmap::clear() {
    voxels.reset();
    loaded = false;
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
    origin = originFor(w, h);
    voxels = std::move(array);
    loaded = true;
    return true;
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
    const Vector d = p - origin;
    if (!truncInRange(d.x(), width)) return -1;
    if (!truncInRange(d.y(), height)) return -1;
    if (!truncInRange(d.z(), depth)) return -1;
    return index(static_cast<int64_t>(d.x()), static_cast<int64_t>(d.y()), static_cast<int64_t>(d.z()));
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
    origin = originFor(width, height);
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

voxel voxelmap::getAAVoxelinPlane(Vector p) const {
    if (!near(p.x()) || !near(p.y()) || !near(p.z())) return voxel();
    const int x0 = static_cast<int>(std::floor(p.x()));
    const int y0 = static_cast<int>(std::floor(p.y()));
    const float fx = static_cast<float>(p.x() - x0);
    const float fy = static_cast<float>(p.y() - y0);
    const int z = static_cast<int>(p.z());
    const voxel c00 = getVoxel(x0, y0, z);
    const voxel c01 = getVoxel(x0, y0 + 1, z);
    const voxel c11 = getVoxel(x0 + 1, y0 + 1, z);
    const voxel c10 = getVoxel(x0 + 1, y0, z);
    const voxel lower = voxelLerp(c00, c10, fx);
    const voxel upper = voxelLerp(c01, c11, fx);
    return voxelLerp(lower, upper, fy);
}

voxel voxelmap::getAAVoxel(Vector p) const {
    if (!near(p.x()) || !near(p.y()) || !near(p.z())) return voxel();
    const int z0 = static_cast<int>(std::floor(p.z()));
    const float fz = static_cast<float>(p.z() - z0);
    const voxel below = getAAVoxelinPlane(Vector(p.x(), p.y(), z0));
    const voxel above = getAAVoxelinPlane(Vector(p.x(), p.y(), z0 + 1.0));
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
    voxelSize = from.voxelSize;
    unit = from.unit;
    loaded = from.loaded;
    from.clear();
}
