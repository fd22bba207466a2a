#include "reduce.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace reduce {
namespace {

using formats::Page;
using formats::Samples;

bool floating(Samples s) { return s == Samples::Float32 || s == Samples::Float64; }
bool wideSums(Samples s) { return floating(s) || s == Samples::Unsigned64 || s == Samples::Signed64; }
// 8-bit pages that are copied: averaged as the RGBA voxels they become.
bool copied(const Page& pg) {
    return pg.samples == Samples::Unsigned8 && pg.slope == 1 && pg.intercept == 0 && !pg.invert;
}

// Stores v as sample i of the page's kind.
void store(Page& pg, size_t i, double v) {
    switch (pg.samples) {
        case Samples::Float32: {
            const float f = static_cast<float>(v);
            std::memcpy(&pg.s32[i], &f, sizeof f);
            return;
        }
        case Samples::Float64: std::memcpy(&pg.s64[i], &v, sizeof v); return;
        case Samples::Unsigned64: pg.s64[i] = v <= 0 ? 0 : v >= 18446744073709551615.0 ? ~uint64_t(0) : uint64_t(std::floor(v + 0.5)); return;
        case Samples::Signed64: {
            const double r = std::floor(v + 0.5);
            const int64_t s = r <= -9223372036854775808.0 ? INT64_MIN : r >= 9223372036854775807.0 ? INT64_MAX : int64_t(r);
            pg.s64[i] = static_cast<uint64_t>(s);
            return;
        }
        default: return;
    }
}
void storeInteger(Page& pg, size_t i, int64_t v) {
    switch (pg.samples) {
        case Samples::Unsigned8:
        case Samples::Signed8: pg.s8[i] = static_cast<uint8_t>(v); return;
        case Samples::Unsigned16:
        case Samples::Signed16: pg.s16[i] = static_cast<uint16_t>(v); return;
        case Samples::Unsigned32:
        case Samples::Signed32: pg.s32[i] = static_cast<uint32_t>(v); return;
        default: return;
    }
}

// (sum + n/2) / n rounded down, for sums of either sign.
int64_t roundedMean(int64_t sum, int64_t n) {
    const int64_t t = sum + n / 2;
    return t >= 0 ? t / n : -((-t + n - 1) / n);
}

}  // namespace

int64_t accumulatorBytes(int w, int h, int k) {
    const int64_t pixels = int64_t(reducedSize(w, k)) * reducedSize(h, k);
    return pixels * (4 * 8 + 4);
}

bool Reducer::add(const Page& pg, std::string& reason) {
    const bool asRgba = copied(pg);
    const int channels = asRgba ? 4 : pg.channels;
    if (pages_ == 0) {
        shape_ = Page();
        shape_.samples = pg.samples, shape_.bits = pg.bits, shape_.channels = channels;
        shape_.slope = pg.slope, shape_.intercept = pg.intercept, shape_.invert = pg.invert;
        const size_t n = size_t(rw_) * rh_ * channels;
        if (wideSums(pg.samples))
            fsums_.assign(n, 0.0), sums_.clear();
        else
            sums_.assign(n, 0), fsums_.clear();
        counts_.assign(size_t(rw_) * rh_, 0);
    } else if (pg.samples != shape_.samples || channels != shape_.channels || pg.slope != shape_.slope ||
               pg.intercept != shape_.intercept || pg.invert != shape_.invert) {
        reason = "cannot be averaged with the layers beside it: its samples are of another kind";
        return false;
    }
    ++pages_;
    formats::withStored(pg, [&](auto stored) {
        // Floating-point and 64-bit samples are summed in double, the rest exactly.
        using V = decltype(stored(0));
        constexpr bool inDouble = std::is_floating_point_v<V> || sizeof(V) == 8;
        for (int y = 0; y < h_; ++y) {
            const size_t ry = size_t(y / k_) * rw_;
            for (int x = 0; x < w_; ++x) {
                const size_t px = size_t(y) * w_ + x;
                if (pg.isLost(px)) continue;
                const size_t r = ry + size_t(x / k_);
                ++counts_[r];
                if (asRgba) {  // grey, grey + alpha, RGB or RGBA as the voxel it becomes
                    const uint8_t* s = &pg.s8[px * pg.channels];
                    const bool grey = pg.channels <= 2, alpha = pg.channels == 2 || pg.channels == 4;
                    int64_t* d = &sums_[r * 4];
                    d[0] += s[0], d[1] += grey ? s[0] : s[1], d[2] += grey ? s[0] : s[2];
                    d[3] += alpha ? s[pg.channels - 1] : 255;
                    continue;
                }
                for (int c = 0; c < channels; ++c) {
                    const size_t i = px * channels + c;
                    if constexpr (inDouble)
                        fsums_[r * channels + c] += double(stored(i));
                    else
                        sums_[r * channels + c] += int64_t(stored(i));
                }
            }
        }
    });
    return true;
}

Page Reducer::take() {
    Page out = shape_;
    out.width = rw_, out.height = rh_;
    const size_t n = size_t(rw_) * rh_ * out.channels;
    switch (formats::bitsOf(out.samples)) {
        case 8: out.s8.assign(n, 0); break;
        case 16: out.s16.assign(n, 0); break;
        case 32: out.s32.assign(n, 0); break;
        default: out.s64.assign(n, 0); break;
    }
    std::vector<bool> lostRows(rh_, true);
    for (size_t r = 0; r < counts_.size(); ++r) {
        const uint32_t count = counts_[r];
        if (count == 0) continue;
        lostRows[r / rw_] = false;
        for (int c = 0; c < out.channels; ++c) {
            const size_t i = r * out.channels + c;
            if (!fsums_.empty())
                store(out, i, fsums_[i] / count);
            else
                storeInteger(out, i, roundedMean(sums_[i], count));
        }
    }
    for (bool l : lostRows)
        if (l) {
            out.lost = lostRows;
            break;
        }
    pages_ = 0;
    sums_.clear(), fsums_.clear(), counts_.clear();
    return out;
}

}  // namespace reduce
