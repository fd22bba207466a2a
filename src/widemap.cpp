#include "widemap.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "originals.h"
#include "voxelmap.h"

namespace widemap {
namespace {

// Calls f with a function giving stored sample i of the page as a number.
template <class F>
void withValues(const Page& pg, F&& f) {
    formats::withStored(pg, [&f](auto stored) { f([&stored](size_t i) { return double(stored(i)); }); });
}

bool rescales(const Page& pg) { return pg.slope != 1 || pg.intercept != 0; }

// Wide alpha on 0..255: the high byte of an integer (signed: of the value bits, negative as
// 0), floating-point 0..1 times 255 rounded down.
unsigned char alphaWide(double a, Samples kind) {
    switch (kind) {
        case Samples::Unsigned8: return static_cast<unsigned char>(a);
        case Samples::Signed8: return a <= 0 ? 0 : static_cast<unsigned char>(unsigned(a) << 1);
        case Samples::Unsigned16: return static_cast<unsigned char>(unsigned(a) >> 8);
        case Samples::Signed16: return a <= 0 ? 0 : static_cast<unsigned char>(unsigned(a) >> 7);
        case Samples::Unsigned32: return static_cast<unsigned char>(uint32_t(a) >> 24);
        case Samples::Signed32: return a <= 0 ? 0 : static_cast<unsigned char>(uint32_t(a) >> 23);
        case Samples::Unsigned64: return static_cast<unsigned char>(a >= 18446744073709551615.0 ? 255 : uint64_t(a) >> 56);
        case Samples::Signed64: return a <= 0 ? 0 : a >= 9223372036854775807.0 ? 255 : static_cast<unsigned char>(uint64_t(a) >> 55);
        default: return !(a > 0) ? 0 : a >= 1 ? 255 : static_cast<unsigned char>(a * 255);
    }
}

}  // namespace

void widenRange(const Page& pg, double& lo, double& hi) {
    const int ch = pg.channels, colours = colourChannels(ch);
    const size_t pixels = size_t(pg.width) * pg.height;
    if (pg.samples == Samples::Unsigned16 || pg.samples == Samples::Signed16) {  // in integers: quicker
        const bool signedSamples = pg.samples == Samples::Signed16;
        int least = INT_MAX, most = INT_MIN;
        if (pg.lost.empty() && colours == ch) {  // every sample counts: one run, in the samples' own type
            const size_t n = pixels * size_t(ch);
            if (signedSamples) {
                int16_t l = INT16_MAX, m = INT16_MIN;
                for (size_t i = 0; i < n; ++i) {
                    const auto v = static_cast<int16_t>(pg.s16[i]);
                    l = std::min(l, v), m = std::max(m, v);
                }
                if (n > 0) least = l, most = m;
            } else {
                uint16_t l = UINT16_MAX, m = 0;
                for (size_t i = 0; i < n; ++i) l = std::min(l, pg.s16[i]), m = std::max(m, pg.s16[i]);
                if (n > 0) least = l, most = m;
            }
        } else {
            for (size_t px = 0; px < pixels; ++px)
                for (int c = 0; c < colours && !pg.isLost(px); ++c) {
                    const uint16_t u = pg.s16[px * ch + c];
                    const int v = signedSamples ? static_cast<int16_t>(u) : u;
                    least = std::min(least, v), most = std::max(most, v);
                }
        }
        if (least > most) return;
        // The values are a line through the stored samples: their ends are the ends' values.
        const double a = pg.slope * least + pg.intercept, b = pg.slope * most + pg.intercept;
        if (std::isfinite(a)) lo = std::min(lo, a), hi = std::max(hi, a);
        if (std::isfinite(b)) lo = std::min(lo, b), hi = std::max(hi, b);
        return;
    }
    const bool rescaled = rescales(pg);
    withValues(pg, [&](auto value) {
        for (size_t px = 0; px < pixels; ++px)
            for (int c = 0; c < colours && !pg.isLost(px); ++c) {
                double v = value(px * ch + c);
                if (rescaled) v = pg.slope * v + pg.intercept;
                if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
            }
    });
}

unsigned char mapWide(double v, double lo, double hi, Samples kind) {
    return hi > lo ? windowByte(v, lo, hi) : wholeRangeByte(v, kind);
}

std::vector<unsigned char> table16(const Page& pg, double lo, double hi) {
    std::vector<unsigned char> t(65536);
    const bool rescaled = rescales(pg) && hi > lo;
    for (unsigned u = 0; u < t.size(); ++u) {
        double v = pg.samples == Samples::Signed16 ? double(static_cast<int16_t>(u)) : double(u);
        if (rescaled) v = pg.slope * v + pg.intercept;
        const unsigned char m = mapWide(v, lo, hi, pg.samples);
        t[u] = pg.invert ? static_cast<unsigned char>(255 - m) : m;
    }
    return t;
}

void copyLayer(voxelmap& m, int k, const Page& pg, double lo, double hi, const std::vector<unsigned char>& table,
               int y0) {
    voxel* dst = m.voxels.get() + m.index(0, y0, k);
    const size_t pixels = size_t(pg.width) * pg.height;
    const int ch = pg.channels;
    const bool alpha = hasAlpha(ch);
    const bool grey = ch <= 2;
    const bool wide = pg.samples != Samples::Unsigned8 || rescales(pg) || pg.invert;
    if (pg.samples == Samples::Unsigned16 || pg.samples == Samples::Signed16) {
        const bool signedSamples = pg.samples == Samples::Signed16;
        const unsigned char* map = table.data();
        for (size_t n = 0; n < pixels; ++n) {
            const uint16_t* s = &pg.s16[n * ch];
            const unsigned char r = map[s[0]], g = grey ? r : map[s[1]], b = grey ? r : map[s[2]];
            const uint16_t a = alpha ? s[ch - 1] : 0xffff;
            dst[n] = voxel(r, g, b, !alpha ? 255 : signedSamples ? (a & 0x8000 ? 0 : a >> 7) : a >> 8);
        }
    } else if (wide) {
        const Samples kind = pg.samples;
        const bool rescaled = rescales(pg) && hi > lo;
        withValues(pg, [&](auto value) {
            auto map = [&](size_t i) {
                const double v = rescaled ? pg.slope * value(i) + pg.intercept : value(i);
                const unsigned char b = mapWide(v, lo, hi, kind);
                return pg.invert ? static_cast<unsigned char>(255 - b) : b;
            };
            for (size_t n = 0; n < pixels; ++n) {
                const size_t s = n * ch;
                const unsigned char r = map(s), g = grey ? r : map(s + 1), b = grey ? r : map(s + 2);
                dst[n] = voxel(r, g, b, alpha ? alphaWide(value(s + ch - 1), kind) : 255);
            }
        });
    } else {
        for (size_t n = 0; n < pixels; ++n) {
            const uint8_t* s = &pg.s8[n * ch];
            dst[n] = grey ? voxel(s[0], s[0], s[0], alpha ? s[1] : 255) : voxel(s[0], s[1], s[2], alpha ? s[3] : 255);
        }
    }
    if (!pg.lost.empty())
        for (size_t n = 0; n < pixels; ++n)
            if (pg.isLost(n)) dst[n] = voxel(0, 0, 0, 0);
}

const std::vector<unsigned char>& Tables16::of(const Page& pg, double lo, double hi) {
    if (pg.samples != Samples::Unsigned16 && pg.samples != Samples::Signed16) return none_;
    std::vector<unsigned char>& t = tables_[std::make_tuple(pg.samples, pg.slope, pg.intercept, pg.invert)];
    if (t.empty()) t = table16(pg, lo, hi);
    return t;
}

}  // namespace widemap
