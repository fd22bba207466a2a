// The volume filters: kernel tables, weight, the ramp and the byte blend, and key,
// blur and edges over the kernels module, each telling its progress to a callback.
#include "filters.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <new>
#include <system_error>
#include <utility>

#include "kernels.h"

// ---- Kernel tables: cubes of side N, stored with the first index slowest ----

constexpr float E = 0.125f;  // every blur neighbour weighs 1/8 of the centre

// 3 x 3 x 3, one 3 x 3 slab per line; the centre is entry 13.
constexpr float blur1[27] = {
    E, E, E,  E, E,    E,  E, E, E,
    E, E, E,  E, 1.0f, E,  E, E, E,
    E, E, E,  E, E,    E,  E, E, E,
};

// 5 x 5 x 5, one 5 x 5 slab per line; the centre is entry 62.
constexpr float blur2[125] = {
    E, E, E, E, E,  E, E, E, E, E,  E, E, E,    E, E,  E, E, E, E, E,  E, E, E, E, E,
    E, E, E, E, E,  E, E, E, E, E,  E, E, E,    E, E,  E, E, E, E, E,  E, E, E, E, E,
    E, E, E, E, E,  E, E, E, E, E,  E, E, 1.0f, E, E,  E, E, E, E, E,  E, E, E, E, E,
    E, E, E, E, E,  E, E, E, E, E,  E, E, E,    E, E,  E, E, E, E, E,  E, E, E, E, E,
    E, E, E, E, E,  E, E, E, E, E,  E, E, E,    E, E,  E, E, E, E, E,  E, E, E, E, E,
};

// 7 x 7 x 7, one 7 x 7 slab per paragraph (rows 0-3, then rows 4-6); the centre is entry 171.
constexpr float blur3[343] = {
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, 1.0f, E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,

    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E,    E, E, E,
    E, E, E, E, E, E, E,  E, E, E, E, E, E, E,  E, E, E, E, E, E, E,
};

// Sobel cubes, read as [dx + 1][dy + 1][dz + 1]: three 3 x 3 blocks for dx = -1, 0, +1,
// each with rows dy = -1, 0, +1 and columns dz = -1, 0, +1.
constexpr float sobelX[27] = {
    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,

    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,

    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,
};
constexpr float sobelY[27] = {
     1,  2,  1,
     0,  0,  0,
    -1, -2, -1,

     1,  2,  1,
     0,  0,  0,
    -1, -2, -1,

     1,  2,  1,
     0,  0,  0,
    -1, -2, -1,
};
constexpr float sobelZ[27] = {
     1,  2,  1,
     1,  2,  1,
     1,  2,  1,

     0,  0,  0,
     0,  0,  0,
     0,  0,  0,

    -1, -2, -1,
    -1, -2, -1,
    -1, -2, -1,
};
// Two-dimensional 3 x 3, read as [i + 1][j + 1].
constexpr float sobel2dX[9] = {
    -1, 0, 1,
    -2, 0, 2,
    -1, 0, 1,
};

namespace {

template <std::size_t N>
constexpr float kernelSum(const float (&t)[N]) {
    float s = 0;
    for (std::size_t n = 0; n < N; ++n) s += t[n];
    return s;
}
template <std::size_t N>
constexpr int kernelCount(const float (&t)[N], float v) {
    int c = 0;
    for (std::size_t n = 0; n < N; ++n) c += t[n] == v ? 1 : 0;
    return c;
}
// A blur cube: 1 at the centre, 1/8 everywhere else.
template <std::size_t N>
constexpr bool isBlurKernel(const float (&t)[N]) {
    return t[N / 2] == 1.0f && kernelCount(t, 1.0f) == 1 && kernelCount(t, E) == static_cast<int>(N) - 1;
}

static_assert(isBlurKernel(blur1) && kernelSum(blur1) == 4.25f, "blur1");
static_assert(isBlurKernel(blur2) && kernelSum(blur2) == 16.5f, "blur2");
static_assert(isBlurKernel(blur3) && kernelSum(blur3) == 43.75f, "blur3");
static_assert(kernelSum(sobelX) == 0 && kernelSum(sobelY) == 0 && kernelSum(sobelZ) == 0, "Sobel cubes sum to 0");

// The table of a kernel code and its side; null for an unknown code.
struct KernelTable {
    const float* table;
    int side;
};
KernelTable kernelTable(int code) {
    switch (code) {
        case KERNEL_BLUR1: return {blur1, 3};
        case KERNEL_BLUR2: return {blur2, 5};
        case KERNEL_BLUR3: return {blur3, 7};
        case KERNEL_SOBELX: return {sobelX, 3};
        case KERNEL_SOBELY: return {sobelY, 3};
        case KERNEL_SOBELZ: return {sobelZ, 3};
        case KERNEL_SOBEL2DX: return {sobel2dX, 3};
        default: return {nullptr, 0};
    }
}

bool filterable(const voxelmap* map) { return map && map->loaded && map->numVoxels > 0 && map->voxels; }

// Where the array a filter replaces goes (null: released).
std::deque<VoxelArray>* keptForUndo = nullptr;

// A filter's last step: its result takes the volume's place.
void swapInResult(voxelmap* map, VoxelArray result) {
    VoxelArray replaced = std::exchange(map->voxels, std::move(result));
    if (keptForUndo) keptForUndo->push_back(std::move(replaced));
}

// Runs a kernel from the unfiltered volume into a fresh array (every voxel of which it
// writes, so it is not copied from the volume first) and hands the array over when the
// kernel is done. Progress is told 0 once the array is had, then the layers as the
// kernel tells them; a stop it asks for drops the finished result.
template <class Kernel>
FilterOutcome filterVolume(voxelmap* map, const FilterProgress& progress, Kernel&& kernel) {
    FilterOutcome result;
    const int64_t arrayBytes = map->numVoxels * static_cast<int64_t>(sizeof(voxel));
    VoxelArray out = allocateVoxels(map->numVoxels);
    if (!out) {
        result.result = FilterOutcome::NoMemory;
        result.bytesShort = arrayBytes;
        return result;
    }
    bool goOn = true;
    const auto tell = [&](int done) {
        if (goOn && progress) goOn = progress(done, map->depth);
    };
    kernels::Outcome outcome;
    try {
        tell(0);
        if (goOn) outcome = kernel(out.get(), [&](int layersDone) { tell(layersDone); });
    } catch (const std::bad_alloc&) {
        outcome.done = false;  // the volume's array has not been touched
    } catch (const std::system_error&) {
        outcome.done = false;
    }
    if (!goOn) {
        result.result = FilterOutcome::Cancelled;
    } else if (!outcome.done) {
        result.result = FilterOutcome::NoMemory;
        result.bytesShort = outcome.scratchBytes;
    } else {
        swapInResult(map, std::move(out));
        result.result = FilterOutcome::Done;
    }
    return result;
}

}  // namespace

float weight(int i, int j, int k, int offset, int kernel) {
    const KernelTable kn = kernelTable(kernel);
    // Shifted offsets outside the cube (or an unknown code) have no entry: weight 0.
    const auto inside = [&](int v) { return v >= -offset && v < kn.side - offset; };
    if (!kn.table || !inside(i) || !inside(j)) return 0.0f;
    if (kernel == KERNEL_SOBEL2DX) return kn.table[(i + offset) * 3 + (j + offset)];
    if (!inside(k)) return 0.0f;
    return kn.table[(i + offset) * kn.side * kn.side + (j + offset) * kn.side + (k + offset)];
}

float smoothstep(float edge0, float edge1, float x) {
    if (edge0 > x) return 0.0f;
    if (x >= edge1) return 1.0f;
    const float t = (x - edge0) / (edge1 - edge0);
    return t * t * (t * -2.0f + 3.0f);
}

unsigned char lerp(unsigned char a, unsigned char b, float t) {
    // An 8-bit difference times a float is exact in double.
    const double v = a + (static_cast<double>(b) - a) * static_cast<double>(t);
    if (!(v > -2147483648.0 && v < 2147483648.0)) return 0;  // t far outside [0, 1]: no meaningful byte
    return static_cast<unsigned char>(static_cast<int>(v));
}

std::string noMemoryText(int64_t bytesShort) {
    const std::string need =
        bytesShort > 0 ? ": another " + std::to_string(static_cast<long long>(bytesShort)) + " bytes are needed" : "";
    return "There is not enough memory to filter this volume" + need + "; the volume is unchanged.";
}

namespace {

// The filters' work; the public forms and runFilter call these.
FilterOutcome keyFilter(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply,
                        const FilterProgress& progress) {
    if (!filterable(map)) return {};
    const float edge0 = static_cast<float>(range);
    const float edge1 = static_cast<float>(static_cast<long long>(range) + falloff);
    const auto factor = [&](int d2) {
        return smoothstep(edge0, edge1, static_cast<float>(std::sqrt(static_cast<double>(d2))));
    };
    return filterVolume(map, progress, [&](voxel* out, const kernels::Progress& layers) {
        return kernels::keyVolume(*map, out, keyColour, premultiply, factor, layers);
    });
}

FilterOutcome blurFilter(voxelmap* map, int radius, const FilterProgress& progress) {
    // The sum of the kernel's weights (4.25, 16.5, 43.75), exact in float.
    double normaliser = kernelSum(blur1);
    if (radius == 2) {
        normaliser = kernelSum(blur2);
    } else if (radius == 3) {
        normaliser = kernelSum(blur3);
    } else {
        radius = 1;  // any other radius is the 3 x 3 x 3 kernel
    }
    if (!filterable(map)) return {};
    return filterVolume(map, progress, [&](voxel* out, const kernels::Progress& layers) {
        return kernels::blurVolume(*map, out, radius, normaliser, layers);
    });
}

FilterOutcome edgesFilter(voxelmap* map, const FilterProgress& progress) {
    if (!filterable(map)) return {};
    return filterVolume(map, progress, [&](voxel* out, const kernels::Progress& layers) {
        return kernels::edgeVolume(*map, out, layers);
    });
}

}  // namespace

FilterOutcome key(voxelmap* map, voxel keyColour, int range, int falloff, int premultiply,
                  const FilterProgress& progress) {
    return keyFilter(map, keyColour, range, falloff, premultiply, progress);
}

FilterOutcome blur(voxelmap* map, int radius, const FilterProgress& progress) {
    return blurFilter(map, radius, progress);
}

FilterOutcome edges(voxelmap* map, const FilterProgress& progress) { return edgesFilter(map, progress); }

FilterOutcome runFilter(voxelmap* map, const FilterStep& step, const FilterProgress& progress) {
    switch (step.kind) {
        case FilterStep::Key: return keyFilter(map, step.keyColour, step.range, step.falloff, step.premultiply, progress);
        case FilterStep::Blur: return blurFilter(map, step.radius, progress);
        case FilterStep::Edges: return edgesFilter(map, progress);
    }
    return {};
}

const char* progressText(const FilterStep& step) {
    switch (step.kind) {
        case FilterStep::Key: return "Keying";
        case FilterStep::Blur: return "Blurring can be slow";
        case FilterStep::Edges: return "Edge detecting can be SUPER slow.";
    }
    return "";
}

KeepReplacedArrays::KeepReplacedArrays(std::deque<VoxelArray>* into) { keptForUndo = into; }
KeepReplacedArrays::~KeepReplacedArrays() { keptForUndo = nullptr; }
