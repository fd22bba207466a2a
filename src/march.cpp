// The camera's ray march: front to back compositing or maximum intensity, crossing
// transparent blocks and regions (and, for maximum intensity, blocks that cannot raise a
// ray's maximum) in runs of steps that give the same sums as the steps in turn.
#include "camera.h"

#include <wx/image.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "parallel.h"
#include "voxelmap.h"

namespace {

// a / 255.0 for every byte a: the same doubles as the division, without dividing per sample.
const struct Over255 {
    double v[256];
    Over255() {
        for (int a = 0; a < 256; ++a) v[a] = a / 255.0;
    }
    double operator[](int a) const { return v[a]; }
} kOver255;

// 1 - a / 255.0 for every byte a: the transparency left, the same doubles, one
// subtraction less on the chain from one sample's alpha to the next.
const struct Left255 {
    double v[256];
    Left255() {
        for (int a = 0; a < 256; ++a) v[a] = 1 - a / 255.0;
    }
    double operator[](int a) const { return v[a]; }
} kLeft255;

// The low byte of trunc(v), as the 8-bit channels keep it; 0 for values no integer
// holds (NaN, infinities), which only an opacity outside [0, 1] can produce.
unsigned char lowByte(double v) {
#if defined(__x86_64__)
    // The conversion instruction gives a defined value for any double; the choice after it
    // needs no branch.
    const unsigned char low = static_cast<unsigned char>(_mm_cvttsd_si64(_mm_set_sd(v)));
    return std::fabs(v) < 9.0e18 ? low : 0;
#else
    if (!(std::fabs(v) < 9.0e18)) return 0;
    return static_cast<unsigned char>(static_cast<long long>(v));
#endif
}

// The largest double whose square root is below 1000: `pos.length() < 1000` is
// `pos.length2() <= kInside2`, without a square root per sample.
const double kInside2 = [] {
    double x = 1.0e6;
    while (!(std::sqrt(x) < 1000)) x = std::nextafter(x, 0.0);
    return x;
}();

// Edge of the blocks of the occupancy map, in voxels.
constexpr int kBlock = 8;
constexpr int kBlockShift = 3;
// Edge of the regions of 4 x 4 x 4 blocks, in voxels: a ray crosses an empty region in one
// run of steps instead of one run a block.
constexpr int kRegionShift = 5;

// A block's or region's largest r, g, b as r | g << 8 | b << 16, with kKnown set.
constexpr uint32_t kKnown = 1u << 24;
uint32_t packedMax(voxel v) { return kKnown | v.r | static_cast<uint32_t>(v.g) << 8 | static_cast<uint32_t>(v.b) << 16; }

uint32_t bytewiseMax(uint32_t a, uint32_t b) {
    uint32_t m = 0;
    for (int shift = 0; shift < 32; shift += 8) m |= std::max((a >> shift) & 255, (b >> shift) & 255) << shift;
    return m;
}

// Whether a maximum acc already holds every channel of the packed maximum m: then the
// samples m stands for cannot raise it.
bool covers(uint32_t m, voxel acc) {
    return (m & 255) <= acc.r && ((m >> 8) & 255) <= acc.g && ((m >> 16) & 255) <= acc.b;
}

// What every ray of one march reads: the voxels, the map's placement and extent, the
// opacity, and the occupancy of kBlock^3 blocks (0: not looked at yet, 1: all voxels
// transparent, 2: some voxel visible), filled as rays meet transparent voxels.
struct RayScene {
    const voxel* vox;
    double ox, oy, oz;         // origin
    double ry, rz;             // a voxel's world extent along y and z (1 for cubes)
    double size[3];            // width, height, depth
    int64_t rowLen, layer;     // voxels per row and per layer
    int64_t blocks[3];         // blocks along x, y, z
    std::atomic<unsigned char>* occupancy;  // null: no skipping
    std::atomic<unsigned char>* regions;    // the same states for regions of blocks
    int64_t regionCount[3];                 // regions along x, y, z
    // Maximum intensity instead of the states above: per block, then per region, the largest
    // r, g and b of its visible voxels, packed as in packedMax; 0: not looked at yet.
    std::atomic<uint32_t>* maxima;
    double opacity;
    const unsigned char* alphaSteps;  // composite: see AlphaSteps; null: computed per sample

    // The largest r, g and b of the visible voxels of the block of voxel (i, j, k), packed;
    // looks once.
    uint32_t blockMax(int64_t i, int64_t j, int64_t k) const {
        const int64_t bi = i >> kBlockShift, bj = j >> kBlockShift, bk = k >> kBlockShift;
        std::atomic<uint32_t>& state = maxima[(bk * blocks[1] + bj) * blocks[0] + bi];
        uint32_t m = state.load(std::memory_order_relaxed);
        if (m == 0) {
            voxel top;
            const int64_t i1 = std::min<int64_t>((bi + 1) << kBlockShift, rowLen);
            const int64_t j1 = std::min<int64_t>((bj + 1) << kBlockShift, static_cast<int64_t>(size[1]));
            const int64_t k1 = std::min<int64_t>((bk + 1) << kBlockShift, static_cast<int64_t>(size[2]));
            for (int64_t z = bk << kBlockShift; z < k1; ++z)
                for (int64_t y = bj << kBlockShift; y < j1; ++y) {
                    const voxel* row = vox + z * layer + y * rowLen;
                    for (int64_t x = bi << kBlockShift; x < i1; ++x)
                        if (row[x].a != 0) {
                            top.r = std::max(top.r, row[x].r);
                            top.g = std::max(top.g, row[x].g);
                            top.b = std::max(top.b, row[x].b);
                        }
                }
            m = packedMax(top);
            state.store(m, std::memory_order_relaxed);  // threads that race find the same answer
        }
        return m;
    }

    // The same for the region of the voxel (i, j, k): the largest of its blocks'.
    uint32_t regionMax(int64_t i, int64_t j, int64_t k) const {
        constexpr int up = kRegionShift - kBlockShift;
        const int64_t ri = i >> kRegionShift, rj = j >> kRegionShift, rk = k >> kRegionShift;
        const int64_t nBlocks = blocks[0] * blocks[1] * blocks[2];
        std::atomic<uint32_t>& state = maxima[nBlocks + (rk * regionCount[1] + rj) * regionCount[0] + ri];
        uint32_t m = state.load(std::memory_order_relaxed);
        if (m == 0) {
            m = kKnown;
            for (int64_t bk = rk << up; bk < std::min(blocks[2], (rk + 1) << up); ++bk)
                for (int64_t bj = rj << up; bj < std::min(blocks[1], (rj + 1) << up); ++bj)
                    for (int64_t bi = ri << up; bi < std::min(blocks[0], (ri + 1) << up); ++bi)
                        m = bytewiseMax(m, blockMax(bi << kBlockShift, bj << kBlockShift, bk << kBlockShift));
            state.store(m, std::memory_order_relaxed);
        }
        return m;
    }

    // Whether the region of the voxel (i, j, k) holds only transparent voxels: all its
    // blocks do; looks once (each block as emptyBlock looks).
    bool emptyRegion(int64_t i, int64_t j, int64_t k) const {
        constexpr int up = kRegionShift - kBlockShift;
        const int64_t ri = i >> kRegionShift, rj = j >> kRegionShift, rk = k >> kRegionShift;
        std::atomic<unsigned char>& state = regions[(rk * regionCount[1] + rj) * regionCount[0] + ri];
        unsigned char st = state.load(std::memory_order_relaxed);
        if (st == 0) {
            st = 1;
            for (int64_t bk = rk << up; bk < std::min(blocks[2], (rk + 1) << up) && st == 1; ++bk)
                for (int64_t bj = rj << up; bj < std::min(blocks[1], (rj + 1) << up) && st == 1; ++bj)
                    for (int64_t bi = ri << up; bi < std::min(blocks[0], (ri + 1) << up); ++bi)
                        if (!emptyBlock(bi << kBlockShift, bj << kBlockShift, bk << kBlockShift)) {
                            st = 2;
                            break;
                        }
            state.store(st, std::memory_order_relaxed);
        }
        return st == 1;
    }

    // Whether block b of the voxel (i, j, k) holds only transparent voxels; looks once.
    bool emptyBlock(int64_t i, int64_t j, int64_t k) const {
        const int64_t bi = i >> kBlockShift, bj = j >> kBlockShift, bk = k >> kBlockShift;
        std::atomic<unsigned char>& state = occupancy[(bk * blocks[1] + bj) * blocks[0] + bi];
        unsigned char st = state.load(std::memory_order_relaxed);
        if (st == 0) {
            st = 1;
            const int64_t i1 = std::min<int64_t>((bi + 1) << kBlockShift, rowLen);
            const int64_t j1 = std::min<int64_t>((bj + 1) << kBlockShift, static_cast<int64_t>(size[1]));
            const int64_t k1 = std::min<int64_t>((bk + 1) << kBlockShift, static_cast<int64_t>(size[2]));
            for (int64_t z = bk << kBlockShift; z < k1 && st == 1; ++z)
                for (int64_t y = bj << kBlockShift; y < j1 && st == 1; ++y) {
                    const voxel* row = vox + z * layer + y * rowLen;
                    for (int64_t x = bi << kBlockShift; x < i1; ++x)
                        if (row[x].a != 0) {
                            st = 2;
                            break;
                        }
                }
            state.store(st, std::memory_order_relaxed);  // threads that race find the same answer
        }
        return st == 1;
    }
};

// Every block's state at once, layer by layer in memory order, on all cores.
void fillOccupancy(const RayScene& c) {
    const int64_t w = c.rowLen, h = static_cast<int64_t>(c.size[1]), d = static_cast<int64_t>(c.size[2]);
    parallelBands(static_cast<int>(c.blocks[2]), [&](int b0, int b1) {
        std::vector<unsigned char> seen(static_cast<size_t>(c.blocks[0] * c.blocks[1]));
        std::vector<unsigned char> full(static_cast<size_t>(c.blocks[1]));  // a whole row of blocks seen
        for (int64_t bk = b0; bk < b1; ++bk) {
            std::fill(seen.begin(), seen.end(), 0);
            std::fill(full.begin(), full.end(), 0);
            for (int64_t z = bk << kBlockShift; z < std::min(d, (bk + 1) << kBlockShift); ++z)
                for (int64_t y = 0; y < h; ++y) {
                    if (full[y >> kBlockShift]) continue;  // opaque volumes are read a row in eight
                    const voxel* row = c.vox + z * c.layer + y * w;
                    unsigned char* s = seen.data() + (y >> kBlockShift) * c.blocks[0];
                    int64_t x = 0;
                    // Eight voxels at a time: their alpha bytes or'ed together.
                    for (; x + kBlock <= w; x += kBlock) {
                        uint64_t q[4];
                        std::memcpy(q, row + x, sizeof q);
                        s[x >> kBlockShift] |= ((q[0] | q[1] | q[2] | q[3]) & 0xFF000000FF000000ull) != 0;
                    }
                    for (; x < w; ++x) s[x >> kBlockShift] |= row[x].a != 0;
                    full[y >> kBlockShift] = std::all_of(s, s + c.blocks[0], [](unsigned char b) { return b != 0; });
                }
            std::atomic<unsigned char>* out = c.occupancy + bk * c.blocks[1] * c.blocks[0];
            for (size_t b = 0; b < seen.size(); ++b) out[b].store(seen[b] ? 2 : 1, std::memory_order_relaxed);
        }
    });
}

// Every block's maximum at once, layer by layer in memory order, on all cores.
void fillMaxima(const RayScene& c) {
    const int64_t w = c.rowLen, h = static_cast<int64_t>(c.size[1]), d = static_cast<int64_t>(c.size[2]);
    const size_t perLayer = static_cast<size_t>(c.blocks[0] * c.blocks[1]);
    parallelBands(static_cast<int>(c.blocks[2]), [&](int b0, int b1) {
        std::vector<uint32_t> top(perLayer);  // packed as in packedMax
#if defined(__x86_64__)
        // The whole groups of eight voxels of each block: four voxels' bytewise maxima.
        struct Four {
            __m128i v;
        };
        std::vector<Four> four(perLayer);
        const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u)), zero = _mm_setzero_si128();
#endif
        for (int64_t bk = b0; bk < b1; ++bk) {
            std::fill(top.begin(), top.end(), kKnown);
#if defined(__x86_64__)
            std::fill(four.begin(), four.end(), Four{zero});
#endif
            for (int64_t z = bk << kBlockShift; z < std::min(d, (bk + 1) << kBlockShift); ++z)
                for (int64_t y = 0; y < h; ++y) {
                    const voxel* row = c.vox + z * c.layer + y * w;
                    const size_t first = static_cast<size_t>((y >> kBlockShift) * c.blocks[0]);
                    int64_t x = 0;
#if defined(__x86_64__)
                    // The invisible voxels zeroed, then bytewise maxima.
                    Four* f = four.data() + first;
                    for (; x + kBlock <= w; x += kBlock) {
                        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x));
                        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + x + 4));
                        a = _mm_andnot_si128(_mm_cmpeq_epi32(_mm_and_si128(a, alpha), zero), a);
                        b = _mm_andnot_si128(_mm_cmpeq_epi32(_mm_and_si128(b, alpha), zero), b);
                        __m128i& to = f[x >> kBlockShift].v;
                        to = _mm_max_epu8(to, _mm_max_epu8(a, b));
                    }
#endif
                    uint32_t* t = top.data() + first;
                    for (; x < w; ++x)
                        if (row[x].a != 0) t[x >> kBlockShift] = bytewiseMax(t[x >> kBlockShift], packedMax(row[x]));
                }
#if defined(__x86_64__)
            for (size_t b = 0; b < perLayer; ++b) {
                __m128i m = four[b].v;
                m = _mm_max_epu8(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
                m = _mm_max_epu8(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
                top[b] = bytewiseMax(top[b], (static_cast<uint32_t>(_mm_cvtsi128_si32(m)) & 0xFFFFFFu) | kKnown);
            }
#endif
            std::atomic<uint32_t>* out = c.maxima + bk * c.blocks[1] * c.blocks[0];
            for (size_t b = 0; b < perLayer; ++b) out[b].store(top[b], std::memory_order_relaxed);
        }
    });
}

// How many further steps may be taken without looking up their samples, for a ray at d
// (position less origin, in voxels) with step s (in voxels) whose sample is in the block
// of voxel idx and transparent: all but the last certainly keep it inside the block on
// every axis and within the volume (the last sample is looked up as usual). Likewise how
// many samples from this one on lie in the block, to be looked up in one loop.
// Each step moves a world coordinate by at most its step plus the rounding of the sum
// (below 2^-40 while |pos| < 4096; farther samples end the march), slack in voxels;
// perVoxel[a] is 1 / (|s[a]| + slack[a]), the steps a voxel takes (multiplying by it
// errs by far less than the factor below takes off). The margin also covers the rounding
// of d. shift: the block's edge is 1 << shift voxels; size: the volume's, in voxels.
int safeSteps(const double d[3], const int64_t idx[3], const double s[3], const double perVoxel[3], int shift,
              const double size[3]) {
    double n = 1 << 20;
    for (int a = 0; a < 3; ++a) {
        if (s[a] == 0) continue;  // this coordinate never changes
        const int64_t b = idx[a] >> shift;
        double room;
        if (s[a] > 0) {
            // A block at the volume's far side ends with it.
            room = std::min(static_cast<double>((b + 1) << shift), size[a]) - d[a];
        } else {
            // Truncation maps (-1, 1) to voxel 0: the first block reaches down to -1.
            room = d[a] - (b == 0 ? -1.0 : static_cast<double>(b << shift));
        }
        n = std::min(n, (room - 0x1p-20) * perVoxel[a] * (1 - 0x1p-40));
    }
    return n >= 0 ? static_cast<int>(n) + 1 : 0;
}

}  // namespace

// Within the binade of a coordinate (the doubles of its exponent, multiples of one grid
// unit u) x + s rounds to x + m u with m = s / u rounded, the same m for every sum that
// stays a grid unit inside the binade, unless s / u is a half (a tie, which rounds by the
// parity of x): then k additions are x + k m u.
int addRepeated(const double p[3], const double s[3], int n, double q[3]) {
    constexpr int64_t kOne = int64_t(1) << 52;  // the grid units from zero to the binade's foot
    int64_t grid[3] = {0, 0, 0}, delta[3] = {0, 0, 0};
    uint64_t high[3] = {0, 0, 0};  // sign and exponent
    int64_t k = n;
    for (int a = 0; a < 3; ++a) {
        if (s[a] == 0) continue;  // after one addition the coordinate stays as it is
        uint64_t b;
        std::memcpy(&b, &p[a], sizeof b);
        const int e = static_cast<int>((b >> 52) & 0x7FF);
        if (e < 1023 - 60 || e == 0x7FF) return 0;  // near zero (tiny binades), or not finite
        const uint64_t scaleBits = static_cast<uint64_t>(2098 - e) << 52;  // 2^(1075 - e) = 1 / u
        double scale;
        std::memcpy(&scale, &scaleBits, sizeof scale);
        const double t = std::fabs(s[a]) * scale;  // the step in grid units, exactly
        if (!(t < 0x1p52)) return 0;
        const int64_t whole = static_cast<int64_t>(t);  // t >= 0: truncation is floor
        const double part = t - static_cast<double>(whole);
        if (part == 0.5) return 0;
        const int64_t m = whole + (part > 0.5);
        const int64_t x = static_cast<int64_t>(b & (kOne - 1)) | kOne;
        const bool grows = (s[a] > 0) == (p[a] > 0);
        // How far x may move keeping every sum a unit inside [2^52, 2^53).
        const int64_t room = grows ? 2 * kOne - 2 - x : x - 1 - kOne;
        if (room < 0) return 0;
        // k m <= room, in doubles with a margin for their rounding (all below 2^73).
        if (m > 0 && static_cast<double>(m) * static_cast<double>(k) > static_cast<double>(room) * (1 - 0x1p-50))
            k = static_cast<int64_t>(static_cast<double>(room) / static_cast<double>(m) * (1 - 0x1p-50));
        grid[a] = x;
        delta[a] = grows ? m : -m;
        high[a] = b & ~static_cast<uint64_t>(kOne - 1);
    }
    if (k <= 0) return 0;
    for (int a = 0; a < 3; ++a) {
        if (s[a] == 0) {
            q[a] = p[a] + s[a];
        } else {
            const uint64_t b = high[a] | static_cast<uint64_t>(grid[a] + k * delta[a] - kOne);
            std::memcpy(&q[a], &b, sizeof b);
        }
    }
    return static_cast<int>(k);
}

namespace {

// A ray being marched: its sample position, its step, what it has gathered.
struct RayState {
    double p[3];
    double s[3];
    double vs[3];     // the step in voxels along each axis
    double perVoxel[3];  // steps a voxel along each axis, with the rounding of a step
    voxel acc;
    bool skip;  // may take runs of steps through blocks whose samples add nothing
    bool live;  // still marching
};

RayState startRay(const RayScene& c, const Vector& pos, const Vector& step) {
    RayState r{{pos.x(), pos.y(), pos.z()},
               {step.x(), step.y(), step.z()},
               {step.x(), step.y() / c.ry, step.z() / c.rz},
               {1 / (std::fabs(step.x()) + 0x1p-40), 1 / (std::fabs(step.y() / c.ry) + 0x1p-40 / c.ry),
                1 / (std::fabs(step.z() / c.rz) + 0x1p-40 / c.rz)},
               voxel(),
               false,
               true};
    r.skip = (c.occupancy || c.maxima) && std::fabs(r.s[0]) < 1000 && std::fabs(r.s[1]) < 1000 && std::fabs(r.s[2]) < 1000;
    return r;
}

// n steps through transparent space, each position checked against the sphere as the
// plain loop does; false once the ray has left it. Runs of steps are taken at once where
// addRepeated can, the rest one at a time.
inline bool runSteps(RayState& r, int n) {
    constexpr int kWorthJumping = 6;
    constexpr double kSafe = 1 - 0x1p-40;
    double* p = r.p;
    while (n > 0) {
        // Every position between two inside the sphere is inside it too (the squared radius
        // is convex along the line; the margin covers its rounding).
        double q[3];
        const int k = n >= kWorthJumping ? addRepeated(p, r.s, std::min(n, 1 << 20), q) : 0;
        if (k > 0 && p[0] * p[0] + p[1] * p[1] + p[2] * p[2] <= kInside2 * kSafe &&
            q[0] * q[0] + q[1] * q[1] + q[2] * q[2] <= kInside2 * kSafe) {
            std::memcpy(p, q, sizeof q);
            n -= k;
            continue;
        }
        p[0] += r.s[0];
        p[1] += r.s[1];
        p[2] += r.s[2];
        if (!(p[0] * p[0] + p[1] * p[1] + p[2] * p[2] <= kInside2)) return false;
        --n;
    }
    return true;
}

// The position less the map's origin, in voxels, as the nearest lookup divides.
template <bool Cubic>
inline void voxelCoords(const RayScene& c, const double p[3], double d[3]) {
    d[0] = p[0] - c.ox;
    d[1] = p[1] - c.oy;
    d[2] = p[2] - c.oz;
    if (!Cubic) {
        // Both quotients in one instruction.
#if defined(__x86_64__)
        const __m128d q = _mm_div_pd(_mm_set_pd(d[2], d[1]), _mm_set_pd(c.rz, c.ry));
        d[1] = _mm_cvtsd_f64(q);
        d[2] = _mm_cvtsd_f64(_mm_unpackhi_pd(q, q));
#else
        d[1] /= c.ry;
        d[2] /= c.rz;
#endif
    }
}

// Whether the plain loop goes on at the ray's position: inside the sphere and, composite,
// not yet opaque.
template <bool Max>
inline bool goesOn(const RayState& r) {
    return r.p[0] * r.p[0] + r.p[1] * r.p[1] + r.p[2] * r.p[2] <= kInside2 && (Max || r.acc.a <= 249);
}

// A run of samples of the plain loop, or one run of steps through a block whose samples
// add nothing; false once the ray has ended. The same march as the plain loop, with the
// nearest lookup inlined, the radius test squared, an end once the ray has left the
// region where a voxel can be found for good, the samples up to a block's edge looked up
// in one loop, and runs taken without lookups (their positions are the same sums as the
// steps in turn, so every later sample is the same). Cubic: the map's voxels are cubes,
// and world and voxel coordinates agree. Max: the maximum-intensity march, whose
// accumulator keeps alpha 0 and so never ends early.
template <bool Cubic, bool Max>
inline bool advance(const RayScene& c, RayState& r) {
    if (!goesOn<Max>(r)) return false;
    const double* s = r.s;
    double d[3];
    voxelCoords<Cubic>(c, r.p, d);
    if (d[0] > -1.0 && d[0] < c.size[0] && d[1] > -1.0 && d[1] < c.size[1] && d[2] > -1.0 && d[2] < c.size[2]) {
        int64_t idx[3] = {static_cast<int64_t>(d[0]), static_cast<int64_t>(d[1]), static_cast<int64_t>(d[2])};
        // A block known to be transparent is crossed without reading its voxels (each
        // first read of a block is a cache miss); its samples would add nothing.
        // For maximum intensity, likewise a block whose voxels cannot raise the ray's maximum
        // (it stays the same through the run).
        if (r.skip && (Max ? covers(c.blockMax(idx[0], idx[1], idx[2]), r.acc) : c.emptyBlock(idx[0], idx[1], idx[2]))) {
            const bool region = Max ? covers(c.regionMax(idx[0], idx[1], idx[2]), r.acc)
                                    : c.emptyRegion(idx[0], idx[1], idx[2]);
            int n = region ? safeSteps(d, idx, r.vs, r.perVoxel, kRegionShift, c.size) : 0;
            if (n == 0) n = safeSteps(d, idx, r.vs, r.perVoxel, kBlockShift, c.size);
            // The sample at the new position is looked up as usual.
            if (n > 0) return runSteps(r, n);
        } else {
            // This sample and those after it up to the block's edge are in the volume: looked
            // up without the range test.
            const int n = std::max(1, safeSteps(d, idx, r.vs, r.perVoxel, kBlockShift, c.size));
            voxel& acc = r.acc;
            for (int i = 0;;) {
                const voxel v = c.vox[idx[2] * c.layer + idx[1] * c.rowLen + idx[0]];
                // Without branches on the voxel's alpha (in a cloud they go either way): a
                // transparent voxel counts as black for the maximum, and its weight is 0 (or
                // NaN, for an opacity without meaning), so that it adds nothing.
                if (Max) {
                    const unsigned char seen = v.a != 0 ? 255 : 0;
                    acc.r = std::max(acc.r, static_cast<unsigned char>(v.r & seen));
                    acc.g = std::max(acc.g, static_cast<unsigned char>(v.g & seen));
                    acc.b = std::max(acc.b, static_cast<unsigned char>(v.b & seen));
                } else {
                    const double w = kOver255[v.a] * kLeft255[acc.a] * c.opacity;
                    acc.r = static_cast<unsigned char>(acc.r + lowByte(v.r * w));
                    acc.g = static_cast<unsigned char>(acc.g + lowByte(v.g * w));
                    acc.b = static_cast<unsigned char>(acc.b + lowByte(v.b * w));
                    const unsigned char da = c.alphaSteps ? c.alphaSteps[v.a * 256 + acc.a] : lowByte(255 * w);
                    acc.a = static_cast<unsigned char>(acc.a + da);
                }
                r.p[0] += s[0];
                r.p[1] += s[1];
                r.p[2] += s[2];
                if (++i == n) return true;
                if (!goesOn<Max>(r)) return false;
                voxelCoords<Cubic>(c, r.p, d);
                for (int a = 0; a < 3; ++a) idx[a] = static_cast<int64_t>(d[a]);
            }
        }
    } else {
        // Out of the lookup's range: each coordinate moves monotonically, so once one
        // has left its range in the direction of its step no later sample is visible.
        for (int a = 0; a < 3; ++a)
            if ((d[a] <= -1.0 && s[a] <= 0) || (d[a] >= c.size[a] && s[a] >= 0)) return false;
    }
    r.p[0] += s[0];
    r.p[1] += s[1];
    r.p[2] += s[2];
    return true;
}

// Marches a few rays in turns, one sample each: their lookups and compositing chains
// are independent, so the processor overlaps them instead of waiting on each.
template <bool Cubic, bool Max, int N>
void marchTogether(const RayScene& c, RayState (&rays)[N]) {
    int live = 0;
    for (const RayState& r : rays) live += r.live;
    while (live > 0) {
        for (RayState& r : rays)
            if (r.live && !advance<Cubic, Max>(c, r)) {
                r.live = false;
                --live;
            }
    }
}

double nowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

struct BlockCache {
    const voxel* vox = nullptr;  // the array, and the sizes, the states are of
    int w = 0, h = 0, d = 0;
    std::unique_ptr<std::atomic<unsigned char>[]> states;  // composite
    bool filled = false;                                   // every block looked at
    std::unique_ptr<std::atomic<uint32_t>[]> maxima;       // maximum intensity
    bool maximaFilled = false;
};

namespace {

// The alpha a composited sample adds, lowByte(255 w) with w as the march weighs it, for
// every voxel alpha and accumulated alpha at one opacity: one lookup on the chain from a
// sample to the next instead of three products and a conversion (64 KiB).
struct AlphaSteps {
    double opacity;
    unsigned char step[256 * 256];  // [voxel alpha * 256 + accumulated alpha]
};

// The table for opacity, kept for the opacity asked for last; null without the memory.
std::shared_ptr<const AlphaSteps> alphaStepsFor(double opacity) {
    static std::mutex guard;
    static std::shared_ptr<const AlphaSteps> last;
    const std::lock_guard<std::mutex> lock(guard);
    if (last && std::memcmp(&last->opacity, &opacity, sizeof opacity) == 0) return last;
    std::shared_ptr<AlphaSteps> made;
    try {
        made = std::make_shared<AlphaSteps>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    made->opacity = opacity;
    for (int va = 0; va < 256; ++va)
        for (int aa = 0; aa < 256; ++aa) made->step[va * 256 + aa] = lowByte(255 * (kOver255[va] * kLeft255[aa] * opacity));
    last = made;
    return last;
}

// n states started at "not looked at" (0); null when the memory is not there.
template <class T>
std::unique_ptr<std::atomic<T>[]> startedStates(int64_t n) {
    std::unique_ptr<std::atomic<T>[]> states(new (std::nothrow) std::atomic<T>[static_cast<size_t>(n)]);
    if (states)
        for (int64_t b = 0; b < n; ++b) states[b].store(0, std::memory_order_relaxed);
    return states;
}

}  // namespace

std::shared_ptr<BlockCache> makeBlockCache() { return std::make_shared<BlockCache>(); }

Vector vectorLerp(Vector a, Vector b, double t) { return b * t + a * (1 - t); }
void camera::march(voxelmap* map, wxImage& image) { march(map, image, MarchProgress()); }

bool camera::march(voxelmap* map, wxImage& image, const MarchProgress& progress) {
    // Camera frame; right and up are left unnormalised (shorter when dir tilts toward y).
    dir = lookAt - eye;
    dir.normalize();
    const Vector C = eye + dir * zoom;
    right = Vector(0, 1, 0).cross(dir);
    up = right.cross(dir);

    // Image-plane corners: A first row first column, B first row last column,
    // D last row first column, E last row last column.
    const Vector A = C - right + up;
    const Vector B = C + right + up;
    const Vector D = C - right - up;
    const Vector E = C + right - up;

    // The volume's box in world units.
    const Vector extent = map->extent();
    const Vector boxMin(-extent.x() / 2.0, -extent.y() / 2.0, voxelmap::worldZ);
    const Vector boxMax(extent.x() / 2.0, extent.y() / 2.0, extent.z() + voxelmap::worldZ);

    if (!image.IsOk()) return true;
    // A map without voxels (empty, cleared, or of no extent) has nothing for the rays to
    // meet: every pixel is black.
    const bool hasVolume = map->loaded && map->numVoxels > 0 && map->voxels;
    // Only the part of the square that fits into the image is written.
    const int rows = std::min(resolution, image.GetHeight());
    const int cols = std::min(resolution, image.GetWidth());
    if (rows <= 0 || cols <= 0) return true;

    RayScene scene{};
    scene.ry = scene.rz = 1;
    std::unique_ptr<std::atomic<unsigned char>[]> occupancy;  // for this march alone, without a cache
    std::unique_ptr<std::atomic<uint32_t>[]> maxima;
    std::shared_ptr<const AlphaSteps> alphaSteps;
    BlockCache* cache = blockCache.get();
    if (hasVolume) {
        scene.vox = map->voxels.get();
        scene.ox = map->origin.x();
        scene.oy = map->origin.y();
        scene.oz = map->origin.z();
        scene.ry = map->span.y();
        scene.rz = map->span.z();
        scene.size[0] = map->width;
        scene.size[1] = map->height;
        scene.size[2] = map->depth;
        scene.rowLen = map->width;
        scene.layer = static_cast<int64_t>(map->width) * map->height;
        scene.opacity = opacity;
        if (blend == Blend::Composite) {
            alphaSteps = alphaStepsFor(opacity);
            if (alphaSteps) scene.alphaSteps = alphaSteps->step;
        }
        int64_t nBlocks = 1;
        for (int a = 0; a < 3; ++a) {
            scene.blocks[a] = (static_cast<int64_t>(scene.size[a]) + kBlock - 1) >> kBlockShift;
            nBlocks *= scene.blocks[a];
        }
        // One byte per block (1/2048 of the volume) and per region of blocks (1/64 of that),
        // started at "not looked at"; without them the rays simply look up every sample.
        // Maximum intensity keeps maxima instead.
        int64_t nRegions = 1;
        for (int a = 0; a < 3; ++a) {
            scene.regionCount[a] = (static_cast<int64_t>(scene.size[a]) + (1 << kRegionShift) - 1) >> kRegionShift;
            nRegions *= scene.regionCount[a];
        }
        // A cache of another volume's blocks is of no use: start it afresh.
        if (cache && !(cache->vox == scene.vox && cache->w == map->width && cache->h == map->height &&
                       cache->d == map->depth))
            *cache = BlockCache{scene.vox, map->width, map->height, map->depth, nullptr, false, nullptr, false};
        // With about a ray per block the rays meet nearly every block: one pass in memory
        // order costs less than looking at each block where a ray first meets it.
        const bool fill = static_cast<int64_t>(rows) * cols >= nBlocks;
        if (blend == Blend::Maximum) {
            // Four bytes per block (1/512 of the volume) and per region.
            std::unique_ptr<std::atomic<uint32_t>[]> fresh;
            if (!(cache && cache->maxima)) fresh = startedStates<uint32_t>(nBlocks + nRegions);
            scene.maxima = cache && cache->maxima ? cache->maxima.get() : fresh.get();
            if (scene.maxima && fill && !(cache && cache->maximaFilled)) {
                fillMaxima(scene);
                if (cache) cache->maximaFilled = true;
            }
            if (cache && fresh) cache->maxima = std::move(fresh);
            maxima = std::move(fresh);
        } else {
            if (!(cache && cache->states)) occupancy = startedStates<unsigned char>(nBlocks + nRegions);
            if (cache && occupancy) cache->states = std::move(occupancy);
            std::atomic<unsigned char>* const states = cache && cache->states ? cache->states.get() : occupancy.get();
            if (states) {
                scene.occupancy = states;
                scene.regions = states + nBlocks;
                if (fill && !(cache && cache->filled)) {
                    fillOccupancy(scene);
                    if (cache) cache->filled = true;
                }
            }
        }
    }

    // Rows on all cores, straight into the image's own pixels (made exclusive first,
    // so an image sharing them keeps its own).
    image.UnShare();
    unsigned char* const data = image.GetData();
    const int64_t stride = 3 * static_cast<int64_t>(image.GetWidth());
    constexpr int kTogether = 4;
    const bool cubic = map->cubic();
    const bool maximum = blend == Blend::Maximum;
    auto marchRows = [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            const double p = static_cast<double>(y) / resolution;
            const Vector L = vectorLerp(A, D, p);
            const Vector R = vectorLerp(B, E, p);
            unsigned char* out = data + y * stride;
            for (int x0 = 0; x0 < cols; x0 += kTogether) {
                RayState rays[kTogether];
                for (int k = 0; k < kTogether; ++k) {
                    rays[k].live = false;
                    rays[k].acc = voxel();
                    const int x = x0 + k;
                    if (x >= cols) continue;
                    const double q = static_cast<double>(x) / resolution;
                    const Vector P = vectorLerp(L, R, q);
                    Vector rd = P - eye;
                    rd.normalize();
                    const Vector step = rd * stepLength;
                    // A zero step (zero ray direction or zero step length) would never leave
                    // the sphere: such a ray gives a black pixel.
                    Vector pos = eye;
                    if (hasVolume && step.length2() > 0 && rayHitsCube(boxMin, boxMax, rd, &pos))
                        rays[k] = startRay(scene, pos, step);
                }
                if (cubic)
                    maximum ? marchTogether<true, true>(scene, rays) : marchTogether<true, false>(scene, rays);
                else
                    maximum ? marchTogether<false, true>(scene, rays) : marchTogether<false, false>(scene, rays);
                for (int k = 0; k < kTogether && x0 + k < cols; ++k) {
                    unsigned char* o = out + 3 * (x0 + k);
                    o[0] = rays[k].acc.r;  // the accumulated alpha is not shown
                    o[1] = rays[k].acc.g;
                    o[2] = rays[k].acc.b;
                }
            }
        }
    };

    if (!progress) {
        parallelBands(rows, marchRows);
        return true;
    }
    // With a progress report: bands of rows sized to take about 50 ms each, the report
    // made on this thread between them.
    int done = 0;
    int band = std::max(1, rows / 64);
    while (done < rows) {
        const int start = done, end = std::min(rows, done + band);
        const double t0 = nowSeconds();
        parallelBands(end - start, [&](int a, int b) { marchRows(start + a, start + b); });
        const double perRow = (nowSeconds() - t0) / (end - start);
        done = end;
        if (!progress(done, rows)) return false;
        if (perRow > 0) band = static_cast<int>(std::clamp(0.05 / perRow, 1.0, static_cast<double>(rows)));
    }
    return true;
}
