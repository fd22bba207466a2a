#include "kernels.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <new>
#include <vector>

#include "parallel.h"
#include "voxelmap.h"

namespace kernels {

int& scratchAllocationsLeft() {
    static int n = -1;
    return n;
}

namespace {

// n uninitialised elements, or null (no memory, or refused by the test seam).
template <class T>
std::unique_ptr<T[]> scratch(int64_t n) {
    int& left = scratchAllocationsLeft();
    if (left == 0) return nullptr;
    if (left > 0) --left;
    if (n <= 0 || static_cast<uint64_t>(n) > SIZE_MAX / sizeof(T)) return nullptr;
    return std::unique_ptr<T[]>(new (std::nothrow) T[static_cast<size_t>(n)]);
}

// How a filter splits the volume: bands of `rows` rows through the whole depth, one
// task each, on `workers` threads.
struct Plan {
    int workers = 1;
    int rows = 1;
    int bands = 1;
};

// A plan whose workers each need fixed + rows x perRow bytes, within the budget when
// a band of up to 4 rows fits it; about four bands per worker, so that a slow thread
// holds up little.
Plan plan(int height, int64_t fixed, int64_t perRow) {
    Plan p;
    const auto need = [&](int rows) { return fixed + rows * perRow; };
    const int fewRows = std::min(height, 4);
    p.workers = workerCount();
    while (p.workers > 1 && p.workers * need(fewRows) > kScratchBudget) --p.workers;
    const int64_t share = kScratchBudget / p.workers;
    const int64_t fit = share > fixed ? (share - fixed) / perRow : 1;
    const int64_t even = (height + 4 * p.workers - 1) / (4 * static_cast<int64_t>(p.workers));
    p.rows = static_cast<int>(std::clamp<int64_t>(std::min(fit, even), 1, height));
    p.bands = (height + p.rows - 1) / p.rows;
    p.workers = std::min(p.workers, p.bands);
    return p;
}

// Runs task(t, worker) for every t in [0, tasks) on up to `workers` threads; between its
// own tasks the calling thread passes on the progress, in layers of `depth`.
void runWithProgress(int tasks, int workers, int depth, const Progress& progress,
                     const std::function<void(int, int)>& task) {
    using Clock = std::chrono::steady_clock;
    std::atomic<int> finished{0};
    Clock::time_point last = Clock::now();
    runTasks(tasks, workers - 1, [&](int t, int worker) {
        task(t, worker);
        const int done = finished.fetch_add(1) + 1;
        if (worker != 0 || !progress || done >= tasks) return;
        const Clock::time_point now = Clock::now();
        if (now - last < std::chrono::milliseconds(kProgressIntervalMs)) return;
        const int layers = static_cast<int>(static_cast<int64_t>(done) * depth / tasks);
        if (layers < 1) return;
        last = now;
        progress(layers);
    });
    if (progress) progress(depth);
}

const unsigned char* bytes(const voxel* v) { return reinterpret_cast<const unsigned char*>(v); }
unsigned char* bytes(voxel* v) { return reinterpret_cast<unsigned char*>(v); }

// ---- Blur ----

// Sum of v over the window [i - r, i + r] of a line of n values, clipped to the
// line, for every i: out[i * stride] for in[i * stride], 4 channels per element.
template <class In, class Out>
void boxLine(const In* in, Out* out, int n, int stride, int r) {
    int s[4] = {0, 0, 0, 0};
    for (int i = 0; i <= r && i < n; ++i)
        for (int c = 0; c < 4; ++c) s[c] += in[i * stride + c];
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < 4; ++c) out[i * stride + c] = static_cast<Out>(s[c]);
        if (i + r + 1 < n)
            for (int c = 0; c < 4; ++c) s[c] += in[(i + r + 1) * stride + c];
        if (i - r >= 0)
            for (int c = 0; c < 4; ++c) s[c] -= in[(i - r) * stride + c];
    }
}

// Box sums of side 2r + 1, clipped to the layer, of rows [y0, y1) of one layer, per
// channel, into out (row y0 first); rows holds the row sums of rows y0 - r to y1 + r.
void boxBand(const voxel* layer, int w, int h, int r, int y0, int y1, uint16_t* rows, uint16_t* out) {
    const int64_t rowLen = 4 * static_cast<int64_t>(w);
    const int j0 = std::max(0, y0 - r), j1 = std::min(h, y1 + r);
    for (int j = j0; j < j1; ++j) boxLine(bytes(layer) + j * rowLen, rows + (j - j0) * rowLen, w, 4, r);
    const auto row = [&](int j) { return rows + (j - j0) * rowLen; };
    // Down the columns: each output row is the one above it plus the row entering the
    // window less the row leaving it, so the inner loops run along x.
    std::copy(row(j0), row(j0) + rowLen, out);
    for (int j = j0 + 1; j <= y0 + r && j < h; ++j) {
        const uint16_t* add = row(j);
        for (int64_t e = 0; e < rowLen; ++e) out[e] = static_cast<uint16_t>(out[e] + add[e]);
    }
    for (int y = y0 + 1; y < y1; ++y) {
        uint16_t* o = out + (y - y0) * rowLen;
        const uint16_t* above = o - rowLen;
        const uint16_t* add = y + r < h ? row(y + r) : nullptr;
        const uint16_t* sub = y - r - 1 >= 0 ? row(y - r - 1) : nullptr;
        if (add && sub)
            for (int64_t e = 0; e < rowLen; ++e) o[e] = static_cast<uint16_t>(above[e] + add[e] - sub[e]);
        else if (add)
            for (int64_t e = 0; e < rowLen; ++e) o[e] = static_cast<uint16_t>(above[e] + add[e]);
        else if (sub)
            for (int64_t e = 0; e < rowLen; ++e) o[e] = static_cast<uint16_t>(above[e] - sub[e]);
        else
            std::copy(above, above + rowLen, o);
    }
}

struct BlurScratch {
    std::unique_ptr<uint16_t[]> rows;  // row sums of the band's rows and r rows either side
    std::unique_ptr<uint16_t[]> ring;  // box sums of the band in the layers around the current one
    std::unique_ptr<int32_t[]> acc;    // their sum: the cube's box sum
};

// Blur of rows [y0, y1) through all layers: each output is (cube box sum + 7 x centre) / 8,
// the kernel-weighted sum (exact in double), divided by the normaliser: looked up in
// `out` by that numerator.
void blurBand(const voxelmap& map, voxel* dst, int r, int slots, const unsigned char* out, int y0, int y1,
              BlurScratch& s) {
    const int w = map.width, h = map.height, d = map.depth;
    const int64_t plane = static_cast<int64_t>(w) * h, rowLen = 4 * static_cast<int64_t>(w);
    const int64_t len = (y1 - y0) * rowLen, first = y0 * rowLen;
    const voxel* src = map.voxels.get();
    int32_t* acc = s.acc.get();
    // With fewer layers than the cube's side every layer has its own slot.
    const auto slot = [&](int z) { return s.ring.get() + (z % slots) * len; };
    const auto addLayer = [&](int z) {
        boxBand(src + z * plane, w, h, r, y0, y1, s.rows.get(), slot(z));
        const uint16_t* b = slot(z);
        for (int64_t e = 0; e < len; ++e) acc[e] += b[e];
    };
    std::fill(acc, acc + len, 0);
    for (int z = 0; z <= r && z < d; ++z) addLayer(z);
    for (int k = 0; k < d; ++k) {
        const unsigned char* centre = bytes(src + k * plane) + first;
        unsigned char* o = bytes(dst + k * plane) + first;
        for (int64_t e = 0; e < len; ++e) o[e] = out[acc[e] + 7 * centre[e]];
        if (k + 1 == d) break;
        if (k - r >= 0) {
            const uint16_t* b = slot(k - r);
            for (int64_t e = 0; e < len; ++e) acc[e] -= b[e];
        }
        if (k + r + 1 < d) addLayer(k + r + 1);
    }
}

// ---- Edges ----

// The edge filter's three Sobel responses are products of 1-D factors: along x
// [1, 1, 1] or [1, 0, -1], along y [1, 2, 1], [1, 0, -1] or [1, 1, 1], along z the
// rest. Per layer it keeps three smoothed-and-differenced planes of the band:
//   p = smooth y (box x),  q = diff y (box x),  s = box y (diff x),
// and the responses of layer k are p(k+1) - p(k-1), q(k-1) + 2 q(k) + q(k+1) and
// s(k-1) + 2 s(k) + s(k+1) (the signs do not matter: only squares are used).
struct EdgePlanes {
    std::unique_ptr<int16_t[]> p, q, s;
};

struct EdgeScratch {
    std::unique_ptr<int16_t[]> bx, dx;  // box and difference along x, the band's rows and one either side
    EdgePlanes layer[3];                // planes of layers k - 1, k, k + 1
};

void edgePlanes(const voxel* layer, int w, int h, int y0, int y1, int16_t* bx, int16_t* dx, EdgePlanes& out) {
    const int64_t rowLen = 4 * static_cast<int64_t>(w);
    const int j0 = std::max(0, y0 - 1), j1 = std::min(h, y1 + 1);
    for (int j = j0; j < j1; ++j) {
        const unsigned char* row = bytes(layer) + j * rowLen;
        int16_t* b = bx + (j - j0) * rowLen;
        int16_t* dd = dx + (j - j0) * rowLen;
        // Element e's neighbours along x are e - 4 and e + 4; outside the row they are 0.
        const auto at = [&](int64_t e) { return e >= 0 && e < rowLen ? int(row[e]) : 0; };
        const auto one = [&](int64_t e) {
            b[e] = static_cast<int16_t>(at(e - 4) + row[e] + at(e + 4));
            dd[e] = static_cast<int16_t>(at(e - 4) - at(e + 4));
        };
        const int64_t inner0 = std::min<int64_t>(4, rowLen), inner1 = std::max(inner0, rowLen - 4);
        for (int64_t e = 0; e < inner0; ++e) one(e);
        for (int64_t e = inner0; e < inner1; ++e) {
            b[e] = static_cast<int16_t>(row[e - 4] + row[e] + row[e + 4]);
            dd[e] = static_cast<int16_t>(row[e - 4] - row[e + 4]);
        }
        for (int64_t e = inner1; e < rowLen; ++e) one(e);
    }
    for (int y = y0; y < y1; ++y) {
        const int64_t at = (y - j0) * rowLen;
        const int16_t* bu = y > 0 ? bx + at - rowLen : nullptr;
        const int16_t* bm = bx + at;
        const int16_t* bd = y + 1 < h ? bx + at + rowLen : nullptr;
        const int16_t* du = y > 0 ? dx + at - rowLen : nullptr;
        const int16_t* dm = dx + at;
        const int16_t* dn = y + 1 < h ? dx + at + rowLen : nullptr;
        int16_t* p = out.p.get() + (y - y0) * rowLen;
        int16_t* q = out.q.get() + (y - y0) * rowLen;
        int16_t* s = out.s.get() + (y - y0) * rowLen;
        for (int64_t e = 0; e < rowLen; ++e) {
            const int up = bu ? bu[e] : 0, down = bd ? bd[e] : 0;
            p[e] = static_cast<int16_t>(up + 2 * bm[e] + down);
            q[e] = static_cast<int16_t>(up - down);
            s[e] = static_cast<int16_t>((du ? du[e] : 0) + dm[e] + (dn ? dn[e] : 0));
        }
    }
}

// 250 where the gradient magnitude exceeds 128, else 1. The plain sums divide the
// integer responses by 12 in double before squaring; the integer sum of squares
// against 128^2 x 144 decides the same way: apart from an exact tie the two differ by
// at least 1/144 in the divided sum, far more than its rounding, and at a tie the
// divided sum never rounds above 128^2 (every tying triple is checked in the tests).
inline unsigned char edgeByte(int sx, int sy, int sz) {
    constexpr int kThreshold = 128 * 128 * 144;
    return sx * sx + sy * sy + sz * sz > kThreshold ? 250 : 1;
}

void edgesBand(const voxelmap& map, voxel* dst, int y0, int y1, EdgeScratch& s) {
    const int w = map.width, h = map.height, d = map.depth;
    const int64_t plane = static_cast<int64_t>(w) * h, rowLen = 4 * static_cast<int64_t>(w);
    const int64_t len = (y1 - y0) * rowLen, first = y0 * rowLen;
    const voxel* src = map.voxels.get();
    EdgePlanes* below = &s.layer[0];
    EdgePlanes* mid = &s.layer[1];
    EdgePlanes* above = &s.layer[2];
    // An outside layer is all zeros.
    const auto fill = [&](int z, EdgePlanes* e) {
        if (z < 0 || z >= d) {
            std::fill(e->p.get(), e->p.get() + len, int16_t(0));
            std::fill(e->q.get(), e->q.get() + len, int16_t(0));
            std::fill(e->s.get(), e->s.get() + len, int16_t(0));
        } else {
            edgePlanes(src + z * plane, w, h, y0, y1, s.bx.get(), s.dx.get(), *e);
        }
    };
    fill(-1, below);
    fill(0, mid);
    for (int k = 0; k < d; ++k) {
        fill(k + 1, above);
        unsigned char* o = bytes(dst + k * plane) + first;
        const int16_t *ap = above->p.get(), *bp = below->p.get();
        const int16_t *aq = above->q.get(), *mq = mid->q.get(), *bq = below->q.get();
        const int16_t *as = above->s.get(), *ms = mid->s.get(), *bs = below->s.get();
        for (int64_t e = 0; e < len; ++e) {
            const int sx = ap[e] - bp[e];
            const int sy = bq[e] + 2 * mq[e] + aq[e];
            const int sz = bs[e] + 2 * ms[e] + as[e];
            o[e] = edgeByte(sx, sy, sz);
        }
        std::swap(below, mid);
        std::swap(mid, above);
    }
}

bool usable(const voxelmap& map, const voxel* out) {
    return map.voxels && out && map.width > 0 && map.height > 0 && map.depth > 0;
}

}  // namespace

Outcome keyVolume(const voxelmap& map, voxel* out, voxel keyColour, int premultiply,
                  const std::function<float(int d2)>& factor, const Progress& progress) {
    Outcome result;
    constexpr int kDistances = 3 * 255 * 255 + 1;
    result.scratchBytes = kDistances * static_cast<int64_t>(sizeof(float));
    if (!usable(map, out)) return result;
    std::unique_ptr<float[]> ramp = scratch<float>(kDistances);
    if (!ramp) return result;
    for (int d2 = 0; d2 < kDistances; ++d2) ramp[d2] = factor(d2);

    // Tasks of about 2^16 voxels, layer by layer.
    const int w = map.width, h = map.height, d = map.depth;
    const int rows = static_cast<int>(std::clamp<int64_t>((int64_t(1) << 16) / w, 1, h));
    const int perLayer = (h + rows - 1) / rows;
    const int64_t tasks64 = static_cast<int64_t>(perLayer) * d;
    // Very many layers of few rows: whole layers then, so that the count fits an int.
    const bool wholeLayers = tasks64 > (int64_t(1) << 30);
    const int tasks = wholeLayers ? d : static_cast<int>(tasks64);
    result.workers = std::min(workerCount(), tasks);
    const int64_t plane = static_cast<int64_t>(w) * h;
    const voxel* src = map.voxels.get();
    const float* f = ramp.get();
    runWithProgress(tasks, result.workers, d, progress, [&](int t, int) {
        const int k = wholeLayers ? t : t / perLayer;
        const int y0 = wholeLayers ? 0 : (t % perLayer) * rows;
        const int y1 = wholeLayers ? h : std::min(h, y0 + rows);
        const int64_t end = k * plane + static_cast<int64_t>(y1) * w;
        for (int64_t n = k * plane + static_cast<int64_t>(y0) * w; n < end; ++n) {
            voxel v = src[n];
            const int dr = keyColour.r - v.r, dg = keyColour.g - v.g, db = keyColour.b - v.b;
            const double fv = f[dr * dr + dg * dg + db * db];
            // 8-bit times float is exact in double: truncating it is the exact product truncated.
            if (premultiply != 0) {
                v.r = static_cast<unsigned char>(static_cast<int>(v.r * fv));
                v.g = static_cast<unsigned char>(static_cast<int>(v.g * fv));
                v.b = static_cast<unsigned char>(static_cast<int>(v.b * fv));
            }
            v.a = static_cast<unsigned char>(static_cast<int>(v.a * fv));
            out[n] = v;
        }
    });
    result.done = true;
    return result;
}

Outcome blurVolume(const voxelmap& map, voxel* out, int radius, double normaliser, const Progress& progress) {
    Outcome result;
    const int r = std::clamp(radius, 1, 3);
    // Every output byte by its numerator n8 = box sum + 7 x centre (at most 350 x 255):
    // the plain weighted sum is n8 / 8 exactly, then divided and truncated.
    constexpr int kNumerators = 350 * 255 + 1;
    if (!usable(map, out)) return result;
    const int64_t rowLen = 4 * static_cast<int64_t>(map.width);
    const int slots = std::min(2 * r + 1, map.depth);
    const int64_t fixed = 2 * r * rowLen * 2;                  // the row sums of r rows either side
    const int64_t perRow = rowLen * (2 + 2 * slots + 4);       // row sums, ring, accumulator
    const Plan p = plan(map.height, fixed, perRow);
    result.scratchBytes = kNumerators + fixed + p.rows * perRow;

    std::unique_ptr<unsigned char[]> table = scratch<unsigned char>(kNumerators);
    if (!table) return result;
    for (int n8 = 0; n8 < kNumerators; ++n8)
        table[n8] = static_cast<unsigned char>(static_cast<int>((static_cast<double>(n8) * 0.125) / normaliser));
    std::vector<BlurScratch> workers;
    workers.reserve(p.workers);  // never grows past this: no allocation below can throw
    const int64_t band = p.rows * rowLen;
    for (int t = 0; t < p.workers; ++t) {
        BlurScratch s{scratch<uint16_t>(band + 2 * r * rowLen), scratch<uint16_t>(slots * band),
                      scratch<int32_t>(band)};
        if (!s.rows || !s.ring || !s.acc) break;
        workers.push_back(std::move(s));
    }
    if (workers.empty()) return result;
    result.workers = static_cast<int>(workers.size());
    result.scratchBytes = kNumerators + result.workers * (fixed + p.rows * perRow);
    runWithProgress(p.bands, result.workers, map.depth, progress, [&](int b, int worker) {
        const int y0 = b * p.rows, y1 = std::min(map.height, y0 + p.rows);
        blurBand(map, out, r, slots, table.get(), y0, y1, workers[worker]);
    });
    result.done = true;
    return result;
}

Outcome edgeVolume(const voxelmap& map, voxel* out, const Progress& progress) {
    Outcome result;
    if (!usable(map, out)) return result;
    const int64_t rowLen = 4 * static_cast<int64_t>(map.width);
    const int64_t fixed = 2 * 2 * rowLen * 2;      // bx and dx of one row either side
    const int64_t perRow = rowLen * 2 * (2 + 9);   // bx, dx and nine planes
    const Plan p = plan(map.height, fixed, perRow);
    result.scratchBytes = fixed + p.rows * perRow;
    std::vector<EdgeScratch> workers;
    workers.reserve(p.workers);
    const int64_t band = p.rows * rowLen;
    for (int t = 0; t < p.workers; ++t) {
        EdgeScratch s;
        s.bx = scratch<int16_t>(band + 2 * rowLen);
        s.dx = scratch<int16_t>(band + 2 * rowLen);
        bool ok = s.bx && s.dx;
        for (EdgePlanes& e : s.layer) {
            if (!ok) break;
            e.p = scratch<int16_t>(band);
            e.q = scratch<int16_t>(band);
            e.s = scratch<int16_t>(band);
            ok = e.p && e.q && e.s;
        }
        if (!ok) break;
        workers.push_back(std::move(s));
    }
    if (workers.empty()) return result;
    result.workers = static_cast<int>(workers.size());
    result.scratchBytes = result.workers * (fixed + p.rows * perRow);
    runWithProgress(p.bands, result.workers, map.depth, progress, [&](int b, int worker) {
        const int y0 = b * p.rows, y1 = std::min(map.height, y0 + p.rows);
        edgesBand(map, out, y0, y1, workers[worker]);
    });
    result.done = true;
    return result;
}

}  // namespace kernels
