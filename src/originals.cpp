#include "originals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define SLAB_AVX2_REMAP 1
#endif

#include "cpu.h"
#include "parallel.h"

namespace {

// What a layer's colour sample becomes in window lo..hi: its value (slope, intercept) through
// windowByte, inverted where the layer is. The fast paths below give its bytes.
struct LayerMap {
    double slope, intercept, lo, hi;
    Held kind;
    bool invert, copied;

    unsigned char operator()(double stored) const {
        if (copied) return static_cast<unsigned char>(std::clamp(stored, 0.0, 255.0));
        const unsigned char m = hi > lo ? windowByte(slope * stored + intercept, lo, hi) : wholeRangeByte(stored, kind);
        return invert ? static_cast<unsigned char>(255 - m) : m;
    }
    bool sameAs(const LayerMap& o) const {
        return slope == o.slope && intercept == o.intercept && kind == o.kind && invert == o.invert &&
               copied == o.copied;
    }
};

LayerMap mapOf(const OriginalLayer& l, double lo, double hi) {
    return {l.slope, l.intercept, lo, hi, l.kind, l.invert, l.copied};
}

// Layers that share a mapping share one table: for each layer the index of its mapping in
// the list of distinct ones.
std::vector<int> distinctMaps(const Originals& o, double lo, double hi, std::vector<LayerMap>& maps) {
    std::vector<int> which(o.layers.size());
    for (size_t k = 0; k < o.layers.size(); ++k) {
        const LayerMap m = mapOf(o.layers[k], lo, hi);
        size_t n = 0;
        while (n < maps.size() && !maps[n].sameAs(m)) ++n;
        if (n == maps.size()) maps.push_back(m);
        which[k] = static_cast<int>(n);
    }
    return which;
}

// Samples of at most 16 bits are looked up by their bits.
template <class T>
constexpr bool kTabled = sizeof(T) <= 2 && std::is_integral_v<T>;
template <class T>
inline size_t bitsIndex(T s) {
    return static_cast<std::make_unsigned_t<T>>(s);
}
template <class T>
std::vector<unsigned char> tableOf(const LayerMap& m) {
    using U = std::make_unsigned_t<T>;
    std::vector<unsigned char> t(size_t(1) << (8 * sizeof(T)));
    for (size_t u = 0; u < t.size(); ++u) t[u] = m(double(static_cast<T>(static_cast<U>(u))));
    return t;
}

bool isLost(const OriginalLayer& l, int i, int j) {
    return !l.lost.empty() && l.lost[size_t(l.lostAreColumns ? i : j)];
}

// Four bytes stored as the voxel they make, in one store.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a voxel's r, g, b, a are the word's low to high bytes");
inline void put(voxel* out, uint32_t word) { std::memcpy(static_cast<void*>(out), &word, 4); }

// One row of layer k: colour through map (a table lookup or the formula), alpha as kept.
template <class T, class Map>
void remapRow(const T* s, int channels, const unsigned char* a, int w, const Map& map, voxel* out) {
    constexpr uint32_t grey = 0x010101u, opaque = 0xff000000u;
    if (channels == 1 && !a) {
        for (int x = 0; x < w; ++x) put(out + x, map(s[x]) * grey | opaque);
    } else if (channels == 1) {
        for (int x = 0; x < w; ++x) put(out + x, map(s[x]) * grey | uint32_t(a[x]) << 24);
    } else {
        for (int x = 0; x < w; ++x) {
            const uint32_t rgb = map(s[3 * x]) | map(s[3 * x + 1]) << 8 | map(s[3 * x + 2]) << 16;
            put(out + x, rgb | (a ? uint32_t(a[x]) << 24 : opaque));
        }
    }
}

// Doubles as unsigned integers in the same order (NaN aside), and back.
uint64_t orderKey(double v) {
    uint64_t u;
    std::memcpy(&u, &v, 8);
    return u >> 63 ? ~u : u | (uint64_t(1) << 63);
}
double fromKey(uint64_t k) {
    const uint64_t u = k >> 63 ? k & ~(uint64_t(1) << 63) : ~k;
    double v;
    std::memcpy(&v, &u, 8);
    return v;
}

// q brought into 0..255 (NaN: 0) and truncated; without branches where the machine allows,
// as random samples would mispredict them.
inline int estimate(double q) {
#if defined(__x86_64__)
    const __m128d low = _mm_max_sd(_mm_set_sd(q), _mm_setzero_pd());  // NaN gives the second operand, 0
    return _mm_cvttsd_si32(_mm_min_sd(low, _mm_set_sd(255.0)));
#else
    return static_cast<int>(std::min(q > 0 ? q : 0.0, 255.0));
#endif
}

// A window's byte of a value without a division per sample: the formula never falls as the
// value grows, so the byte is found among the least values of each byte (found once, by
// bisecting the doubles with the formula itself), starting from an estimate.
class Thresholds {
public:
    explicit Thresholds(const LayerMap& m) : lo_(m.lo), scale_(255 / (m.hi - m.lo)) {
        LayerMap plain = m;
        plain.slope = 1, plain.intercept = 0, plain.invert = false, plain.copied = false;
        least_[0] = -std::numeric_limits<double>::infinity();
        for (int b = 1; b < 256; ++b) {
            uint64_t below = orderKey(m.lo), atLeast = orderKey(std::numeric_limits<double>::infinity());
            while (atLeast - below > 1) {
                const uint64_t mid = below + (atLeast - below) / 2;
                (plain(fromKey(mid)) >= b ? atLeast : below) = mid;
            }
            least_[b] = fromKey(atLeast);
        }
        least_[256] = std::numeric_limits<double>::quiet_NaN();  // no value reaches it
    }
    // The bytes of n samples s (values slope * s + intercept) into out, est: n ints of scratch.
    // First every estimate (off by one at most, near a step; NaN gives 0), in a loop without
    // branches; then each put right against the least values.
    template <class T>
    void bytes(const T* s, size_t n, double slope, double intercept, int* est, unsigned char* out) const {
        for (size_t i = 0; i < n; ++i) {
            est[i] = estimate((slope * double(s[i]) + intercept - lo_) * scale_);
        }
        for (size_t i = 0; i < n; ++i) {
            const double v = slope * double(s[i]) + intercept;
            int b = est[i];
            while (v >= least_[b + 1]) ++b;
            while (v < least_[b]) --b;
            out[i] = static_cast<unsigned char>(b);
        }
    }

    // The byte of one value.
    int byteOf(double v) const {
        int b = estimate((v - lo_) * scale_);
        while (v >= least_[b + 1]) ++b;
        while (v < least_[b]) --b;
        return b;
    }

private:
    double lo_, scale_;
    double least_[257];  // least_[b]: the least value whose byte is b or more; -inf and NaN at the ends
};

// Floats by the top 20 bits of their pattern: each bucket of 4096 neighbouring floats is a
// run of values on which the window's formula (monotone) is one byte from end to end, for
// all but the few buckets a step of the window falls in (marked 256, worked out sample by
// sample). A lookup where a division or a search would be; built on every core.
constexpr int kBucketShift = 12;
std::vector<uint16_t> floatBuckets(const LayerMap& m) {
    constexpr uint32_t buckets = uint32_t(1) << (32 - kBucketShift), perBand = 4096;
    std::vector<uint16_t> t(buckets);
    parallelBands(int(buckets / perBand), [&](int b0, int b1) {
        for (uint32_t b = uint32_t(b0) * perBand; b < uint32_t(b1) * perBand; ++b) {
            const uint32_t first = b << kBucketShift, last = first | ((1u << kBucketShift) - 1);
            float a, z;
            std::memcpy(&a, &first, 4), std::memcpy(&z, &last, 4);
            const unsigned char ma = m(a), mz = m(z);
            t[b] = std::isnan(a) || std::isnan(z) || ma != mz ? 256 : ma;
        }
    });
    return t;
}

// The ways a map's samples become bytes: a table by their bits (up to 16 bits), four at a
// time in vectors (grey floats and 32-bit integers), float buckets with the thresholds for
// the buckets a step falls in, the thresholds alone, or the formula sample by sample.
enum class RemapPath { Table, Vectors, Buckets, Thresholds, Formula };

#ifdef SLAB_AVX2_REMAP
// Four samples as doubles.
__attribute__((target("avx2"), always_inline)) inline __m256d load4(const float* p) {
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
}
__attribute__((target("avx2"), always_inline)) inline __m256d load4(const int32_t* p) {
    return _mm256_cvtepi32_pd(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
template <class T>
constexpr bool kVectored = std::is_same_v<T, float> || std::is_same_v<T, int32_t>;

// Grey floats and 32-bit integers through the window four at a time: the same double
// operations as LayerMap in the same order (no fused multiply-add: the target leaves it
// out), so the same bytes. A vector division is cheaper than a table of floats or a search
// among thresholds; 16-bit samples stay with their table, which is faster still. Returns
// how many samples it did (a multiple of four); the caller does the rest.
template <class T>
__attribute__((target("avx2"))) int remapGreyAvx2(const T* s, const unsigned char* a, int w, const LayerMap& m,
                                                  voxel* out) {
    const __m256d slope = _mm256_set1_pd(m.slope), intercept = _mm256_set1_pd(m.intercept),
                  lo = _mm256_set1_pd(m.lo), span = _mm256_set1_pd(m.hi - m.lo), top = _mm256_set1_pd(255),
                  zero = _mm256_setzero_pd();
    const __m128i flip = _mm_set1_epi32(m.invert ? 255 : 0), opaque = _mm_set1_epi32(int(0xff000000u));
    int x = 0;
    for (; x + 4 <= w; x += 4) {
        const __m256d v = _mm256_add_pd(_mm256_mul_pd(load4(s + x), slope), intercept);
        const __m256d q = _mm256_div_pd(_mm256_mul_pd(_mm256_sub_pd(v, lo), top), span);
        // NaN (only where v is NaN) gives max's second operand, 0.
        const __m128i b = _mm_xor_si128(_mm256_cvttpd_epi32(_mm256_min_pd(_mm256_max_pd(q, zero), top)), flip);
        const __m128i grey = _mm_or_si128(b, _mm_or_si128(_mm_slli_epi32(b, 8), _mm_slli_epi32(b, 16)));
        uint32_t a4 = 0;
        if (a) std::memcpy(&a4, a + x, 4);
        const __m128i alpha = a ? _mm_slli_epi32(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(int(a4))), 24) : opaque;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_or_si128(grey, alpha));
    }
    return x;
}
#else
template <class T>
constexpr bool kVectored = false;
#endif

}  // namespace

int bytesOf(Held held) { return bitsOf(held) / 8; }

int64_t Originals::bytesFor(Held how, int64_t voxels, int channels, bool withAlpha) {
    return voxels * channels * bytesOf(how) + (withAlpha ? voxels : 0);
}

bool Originals::allocate(int w, int h, Held how, std::vector<OriginalLayer> layerList, bool withAlpha) {
    *this = Originals();
    const size_t plane = size_t(w) * size_t(h);
    size_t total = 0;
    for (OriginalLayer& l : layerList) {
        l.offset = total;
        total += plane * size_t(l.channels);
    }
    const size_t voxels = plane * layerList.size();
    // Big pages: the load writes every sample once, and fresh small pages cost more than that.
    samples = allocateBig<unsigned char>(total * size_t(bytesOf(how)));
    if (withAlpha) alpha = allocateBig<unsigned char>(voxels);
    if (!samples || (withAlpha && !alpha)) {
        *this = Originals();
        return false;
    }
    width = w, height = h, depth = static_cast<int>(layerList.size());
    held = how;
    layers = std::move(layerList);
    return true;
}

int64_t Originals::bytes() const {
    if (empty()) return 0;
    int64_t n = 0;
    for (const OriginalLayer& l : layers) n += int64_t(width) * height * l.channels;
    return n * bytesOf(held) + (alpha ? int64_t(width) * height * depth : 0);
}

void Originals::remap(double windowLo, double windowHi, voxel* out) const {
    if (empty() || !out) return;
    std::vector<LayerMap> maps;
    const std::vector<int> which = distinctMaps(*this, windowLo, windowHi, maps);
    const int64_t plane = int64_t(width) * height;
    withType(held, [&](auto type) {
        using T = decltype(type);
        const bool vectors = kVectored<T> && haveAvx2();
        std::vector<std::vector<unsigned char>> tables;
        std::vector<std::unique_ptr<Thresholds>> thresholds;  // none for copied layers and lo == hi
        std::vector<std::vector<uint16_t>> buckets;            // floats: one table a map
        for (const LayerMap& m : maps) {
            if constexpr (kTabled<T>)
                tables.push_back(tableOf<T>(m));
            else
                thresholds.push_back(!m.copied && m.hi > m.lo ? std::make_unique<Thresholds>(m) : nullptr);
            // A table costs a few milliseconds and 2 MB: for the few maps of a stack (one, as a
            // rule); the layers of a stack with many go through the thresholds.
            if constexpr (std::is_same_v<T, float>)
                if (!vectors && maps.size() <= 4 && thresholds.back()) buckets.push_back(floatBuckets(m));
        }
        // Each map's way to its bytes, chosen here once: grey rows and colour rows (the vector
        // units take grey rows only). Every way gives the formula's bytes.
        const bool bucketed = !buckets.empty() && buckets.size() == maps.size();
        struct Ways {
            RemapPath grey, colour;
        };
        std::vector<Ways> ways;
        for (size_t n = 0; n < maps.size(); ++n) {
            if constexpr (kTabled<T>) {
                ways.push_back({RemapPath::Table, RemapPath::Table});
            } else {
                const RemapPath scalar =
                    bucketed ? RemapPath::Buckets : thresholds[n] ? RemapPath::Thresholds : RemapPath::Formula;
                ways.push_back({vectors && thresholds[n] ? RemapPath::Vectors : scalar, scalar});
            }
        }
        const int rows = depth * height;
        // Bands of whole rows: a row is a few microseconds of work.
        parallelBands(rows, [&](int r0, int r1) {
            std::vector<int> est;  // the rows of 32- and 64-bit values go through bytes first
            std::vector<unsigned char> row;
            if constexpr (!kTabled<T>) est.resize(size_t(width) * 3), row.resize(size_t(width) * 3);
            for (int r = r0; r < r1; ++r) {
                const int k = r / height, j = r % height;
                const OriginalLayer& l = layers[size_t(k)];
                const int64_t first = int64_t(k) * plane + int64_t(j) * width;
                voxel* o = out + first;
                const T* s = data<T>(k) + int64_t(j) * width * l.channels;
                const unsigned char* a = alpha ? alpha.get() + first : nullptr;
                const size_t map = size_t(which[size_t(k)]);
                const LayerMap& m = maps[map];
                switch (l.channels == 1 ? ways[map].grey : ways[map].colour) {
                    case RemapPath::Table:
                        if constexpr (kTabled<T>) {
                            const unsigned char* t = tables[map].data();
                            remapRow(s, l.channels, a, width, [t](T v) { return uint32_t(t[bitsIndex(v)]); }, o);
                        }
                        break;
                    case RemapPath::Vectors: {
                        int done = 0;
#ifdef SLAB_AVX2_REMAP
                        if constexpr (kVectored<T>) done = remapGreyAvx2(s, a, width, m, o);
#endif
                        remapRow(s + done, 1, a ? a + done : nullptr, width - done,
                                 [&m](T v) { return uint32_t(m(double(v))); }, o + done);
                        break;
                    }
                    case RemapPath::Buckets: {
                        const uint16_t* t = buckets[map].data();
                        const Thresholds* th = thresholds[map].get();
                        const uint32_t flip = m.invert ? 255 : 0;
                        remapRow(s, l.channels, a, width, [t, th, flip, &m](T v) {
                            uint32_t bits = 0;
                            if constexpr (sizeof(T) == 4) std::memcpy(&bits, &v, 4);
                            const uint32_t b = t[bits >> kBucketShift];
                            return b < 256 ? b : uint32_t(th->byteOf(m.slope * double(v) + m.intercept)) ^ flip;
                        }, o);
                        break;
                    }
                    case RemapPath::Thresholds: {
                        thresholds[map]->bytes(s, size_t(width) * l.channels, m.slope, m.intercept, est.data(),
                                               row.data());
                        const uint32_t flip = m.invert ? 255 : 0;
                        remapRow(row.data(), l.channels, a, width, [flip](unsigned char b) { return b ^ flip; }, o);
                        break;
                    }
                    case RemapPath::Formula:
                        remapRow(s, l.channels, a, width, [&m](T v) { return uint32_t(m(double(v))); }, o);
                        break;
                }
                if (!l.lost.empty())
                    for (int i = 0; i < width; ++i)
                        if (isLost(l, i, j)) o[i] = voxel(0, 0, 0, 0);
            }
        }, 16);
    });
}

bool Originals::autoWindow(double& windowLo, double& windowHi) const {
    windowLo = lo, windowHi = hi;
    if (empty() || !(hi > lo)) return false;
    // Whole-numbered values over a range of at most 2^20 are counted one bin a value;
    // others in 65536 bins of equal width over the full range.
    bool whole = held != Held::Float32 && held != Held::Float64 && hi - lo < double(1 << 20);
    for (const OriginalLayer& l : layers)
        whole = whole && l.slope == std::floor(l.slope) && l.intercept == std::floor(l.intercept);
    whole = whole && lo == std::floor(lo);
    const int64_t bins = whole ? int64_t(hi - lo) + 1 : 65536;
    auto binOf = [&](double v) -> int64_t {
        if (!std::isfinite(v)) return -1;
        const double t = whole ? v - lo : (v - lo) / (hi - lo) * double(bins);
        return std::clamp<int64_t>(static_cast<int64_t>(t), 0, bins - 1);
    };
    const int helpers = workerCount() - 1;
    std::vector<std::vector<uint64_t>> counts(size_t(helpers) + 1);
    withType(held, [&](auto type) {
        using T = decltype(type);
        // 8- and 16-bit samples: each layer's bins looked up by the samples' bits.
        std::vector<LayerMap> maps;
        const std::vector<int> which = distinctMaps(*this, lo, hi, maps);
        std::vector<std::vector<int32_t>> binTables;
        if constexpr (kTabled<T>)
            for (const LayerMap& m : maps) {
                using U = std::make_unsigned_t<T>;
                std::vector<int32_t> t(size_t(1) << (8 * sizeof(T)));
                for (size_t u = 0; u < t.size(); ++u)
                    t[u] = static_cast<int32_t>(binOf(m.slope * double(static_cast<T>(static_cast<U>(u))) + m.intercept));
                binTables.push_back(std::move(t));
            }
        runTasks(depth, helpers, [&](int k, int worker) {
            std::vector<uint64_t>& c = counts[size_t(worker)];
            if (c.empty()) c.assign(size_t(bins), 0);
            const OriginalLayer& l = layers[size_t(k)];
            if (l.copied) return;
            const T* s = data<T>(k);
            for (int j = 0; j < height; ++j)
                for (int i = 0; i < width; ++i) {
                    if (isLost(l, i, j)) continue;
                    const T* p = s + (int64_t(j) * width + i) * l.channels;
                    for (int ch = 0; ch < l.channels; ++ch) {
                        int64_t b;
                        if constexpr (kTabled<T>)
                            b = binTables[size_t(which[size_t(k)])][bitsIndex(p[ch])];
                        else
                            b = binOf(l.value(double(p[ch])));
                        if (b >= 0) ++c[size_t(b)];
                    }
                }
        });
    });
    std::vector<uint64_t> all(size_t(bins), 0);
    uint64_t total = 0;
    for (const std::vector<uint64_t>& c : counts)
        for (size_t b = 0; b < c.size(); ++b) all[b] += c[b], total += c[b];
    // Half of 0.35 % at each end, rounded down.
    const uint64_t cut = total * 35 / 20000;
    int64_t low = 0, high = bins - 1;
    for (uint64_t seen = 0; low < bins - 1 && (seen += all[size_t(low)]) <= cut;) ++low;
    for (uint64_t seen = 0; high > 0 && (seen += all[size_t(high)]) <= cut;) --high;
    const double width1 = (hi - lo) / double(bins);
    const double a = whole ? lo + double(low) : lo + double(low) * width1;
    const double b = whole ? lo + double(high) : lo + double(high + 1) * width1;
    if (!(a < b)) return false;
    windowLo = a, windowHi = b;
    return true;
}

bool Originals::hasValue(int i, int j, int k) const {
    if (empty() || i < 0 || j < 0 || k < 0 || i >= width || j >= height || k >= depth) return false;
    return !isLost(layers[size_t(k)], i, j);
}

double Originals::value(int i, int j, int k, int c) const {
    const OriginalLayer& l = layers[size_t(k)];
    const size_t n = (size_t(j) * size_t(width) + size_t(i)) * size_t(l.channels) + size_t(c);
    double stored = 0;
    withType(held, [&](auto type) { stored = double(data<decltype(type)>(k)[n]); });
    return l.copied ? stored : l.value(stored);
}

std::string Originals::valueText(int i, int j, int k) const {
    if (!hasValue(i, j, k)) return {};
    const int channels = layers[size_t(k)].channels;
    std::string text;
    for (int c = 0; c < channels; ++c) text += (c ? ", " : "") + formatValue(value(i, j, k, c));
    return valueUnit.empty() ? text : text + " " + valueUnit;
}

std::string formatValue(double v) {
    if (std::isnan(v)) return "NaN";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char text[32];
    if (v == std::floor(v) && std::fabs(v) < 1e15)
        std::snprintf(text, sizeof text, "%.0f", v == 0 ? 0.0 : v);  // no "-0"
    else
        std::snprintf(text, sizeof text, "%g", v);
    return text;
}
