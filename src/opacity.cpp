#include "opacity.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "originals.h"
#include "parallel.h"

unsigned char OpacityRamp::operator()(double v) const {
    if (std::isnan(v) || v <= lo) return 0;
    if (v >= hi) return 255;
    return static_cast<unsigned char>(std::floor((v - lo) * 255 / (hi - lo)));
}

unsigned char OpacityRamp::scaled(unsigned char a, double v) const {
    return static_cast<unsigned char>(a * (*this)(v) / 255);
}

namespace {

template <class T>
void rampLayers(const OpacityRamp& ramp, const Originals& o, voxel* out) {
    const int64_t plane = int64_t(o.width) * o.height;
    const unsigned char* alpha = o.alpha.get();
    // Bands of whole rows, as the remap takes them.
    parallelBands(o.depth * o.height, [&](int r0, int r1) {
        std::vector<unsigned char> table;  // the ramp of each stored value (integers of up to 16 bits)
        double tableSlope = 0, tableIntercept = 0;
        for (int r = r0; r < r1; ++r) {
            const int k = r / o.height, j = r % o.height;
            const OriginalLayer& l = o.layers[size_t(k)];
            const int ch = l.channels;
            const double slope = l.copied ? 1 : l.slope, intercept = l.copied ? 0 : l.intercept;
            const auto lost = [&](int i) { return !l.lost.empty() && l.lost[size_t(l.lostAreColumns ? i : j)]; };
            const T* s = o.data<T>(k) + int64_t(j) * o.width * ch;
            const int64_t first = k * plane + int64_t(j) * o.width;
            if constexpr (std::is_integral_v<T> && sizeof(T) <= 2) {
                // Grey samples of up to 16 bits: the ramp of every stored value, once a layer's map.
                if (ch == 1) {
                    if (table.empty() || slope != tableSlope || intercept != tableIntercept) {
                        table.resize(size_t(1) << (8 * sizeof(T)));
                        for (size_t u = 0; u < table.size(); ++u)
                            table[u] = ramp(slope * double(static_cast<T>(static_cast<std::make_unsigned_t<T>>(u))) +
                                            intercept);
                        tableSlope = slope, tableIntercept = intercept;
                    }
                    for (int i = 0; i < o.width; ++i) {
                        if (lost(i)) continue;
                        const unsigned char ramped = table[static_cast<std::make_unsigned_t<T>>(s[i])];
                        out[first + i].a = alpha ? static_cast<unsigned char>(alpha[first + i] * ramped / 255) : ramped;
                    }
                    continue;
                }
            }
            for (int i = 0; i < o.width; ++i) {
                if (lost(i)) continue;  // transparent black, as the remap left it
                double v;
                if (ch == 1) {
                    v = slope * double(s[i]) + intercept;
                } else {
                    const T* p = s + int64_t(i) * ch;
                    v = ((slope * double(p[0]) + intercept) + (slope * double(p[1]) + intercept) +
                         (slope * double(p[2]) + intercept)) / 3;
                }
                out[first + i].a = alpha ? ramp.scaled(alpha[first + i], v) : ramp(v);
            }
        }
    }, 16);
}

}  // namespace

void applyRamp(const OpacityRamp& ramp, const Originals& o, voxel* out) {
    if (!ramp.on || o.empty() || !out) return;
    withType(o.held, [&](auto sample) { rampLayers<decltype(sample)>(ramp, o, out); });
}

void applyRamp(const OpacityRamp& ramp, const voxel* loaded, voxel* out, int64_t n) {
    if (!loaded || !out || n <= 0) return;
    if (!ramp.on) {
        if (out != loaded) std::memcpy(static_cast<void*>(out), loaded, size_t(n) * sizeof(voxel));
        return;
    }
    // The grey level has only 256 values: one table.
    unsigned char table[256];
    for (int g = 0; g < 256; ++g) table[g] = ramp(g);
    constexpr int64_t kBand = 1 << 16;
    const int bands = static_cast<int>((n + kBand - 1) / kBand);
    parallelBands(bands, [&](int b0, int b1) {
        const int64_t end = std::min<int64_t>(n, int64_t(b1) * kBand);
        for (int64_t i = int64_t(b0) * kBand; i < end; ++i) {
            voxel v = loaded[i];
            v.a = static_cast<unsigned char>(v.a * table[greyLevel(v)] / 255);
            out[i] = v;
        }
    });
}
