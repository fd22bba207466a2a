#include "reduce.h"

#include <algorithm>
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
// Whether every sum of a reduced pixel's block fits in 32 bits: integer samples of at most
// 16 bits (copied pages sum bytes), k^3 of them.
bool fitsNarrow(Samples s, int k) { return formats::bitsOf(s) <= 16 && k <= 31; }
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

// Adds rows [r0, r1) of pg (channels: as summed; 4 for copied pages, their RGBA voxels) to
// the sums of the reduced pixels from at(y) on, y a row of pg.
template <class Sum, class At>
void sumRows(const Page& pg, int r0, int r1, int k, int channels, At at, Sum* sums, double* fsums,
             uint32_t* counts) {
    const bool asRgba = copied(pg);
    const int w = pg.width;
    formats::withStored(pg, [&](auto stored) {
        // Floating-point and 64-bit samples are summed in double, the rest exactly.
        using V = decltype(stored(0));
        constexpr bool inDouble = std::is_floating_point_v<V> || sizeof(V) == 8;
        for (int y = r0; y < r1; ++y) {
            const size_t ry = at(y);
            for (int x = 0; x < w; ++x) {
                const size_t px = size_t(y) * w + x;
                if (pg.isLost(px)) continue;
                const size_t r = ry + size_t(x / k);
                ++counts[r];
                if (asRgba) {  // grey, grey + alpha, RGB or RGBA as the voxel it becomes
                    const uint8_t* s = &pg.s8[px * pg.channels];
                    const bool grey = pg.channels <= 2, alpha = pg.channels == 2 || pg.channels == 4;
                    Sum* d = &sums[r * 4];
                    d[0] += s[0], d[1] += grey ? s[0] : s[1], d[2] += grey ? s[0] : s[2];
                    d[3] += alpha ? s[pg.channels - 1] : 255;
                    continue;
                }
                for (int c = 0; c < channels; ++c) {
                    const size_t i = px * channels + c;
                    if constexpr (inDouble)
                        fsums[r * channels + c] += double(stored(i));
                    else
                        sums[r * channels + c] += Sum(stored(i));
                }
            }
        }
    });
}

// sumRowsWhole for copied 8-bit pages of ch channels, summed as the RGBA voxels they become;
// blocks of K columns (the factor, known when compiled; 0: k, known when run) unrolled.
template <int ch, int K, class Sum>
void sumRgbaWhole(const Page& pg, int r0, int r1, int k, size_t base, Sum* sums) {
    constexpr bool grey = ch <= 2, alpha = ch == 2 || ch == 4;
    const int w = pg.width, step = K > 0 ? K : k;
    const size_t stride = size_t(w) * ch;
    const uint8_t* const first = &pg.s8[size_t(r0) * stride];
    Sum* d = &sums[base * 4];
    // A reduced pixel at a time, over all its rows: its sums taken from memory once.
    for (int x0 = 0; x0 < w; x0 += step, d += 4) {
        const int n = std::min(w - x0, step);
        uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0;
        const auto add = [&](const uint8_t* q) {
            s0 += q[0];
            if constexpr (!grey) s1 += q[1], s2 += q[2];
            if constexpr (alpha) s3 += q[ch - 1];
        };
        for (const uint8_t* row = first + size_t(x0) * ch; row < first + size_t(r1 - r0) * stride; row += stride) {
            if (K > 0 && n == K) {
                for (int i = 0; i < K; ++i) add(row + i * ch);
            } else {
                for (int i = 0; i < n; ++i) add(row + i * ch);
            }
        }
        if constexpr (!alpha) s3 = 255u * uint32_t(n * (r1 - r0));
        d[0] += Sum(s0), d[1] += Sum(grey ? s0 : s1), d[2] += Sum(grey ? s0 : s2), d[3] += Sum(s3);
    }
}
template <int ch, class Sum>
void sumRgbaWhole(const Page& pg, int r0, int r1, int k, size_t base, Sum* sums) {
    switch (k) {
        case 2: return sumRgbaWhole<ch, 2>(pg, r0, r1, k, base, sums);
        case 4: return sumRgbaWhole<ch, 4>(pg, r0, r1, k, base, sums);
        default: return sumRgbaWhole<ch, 0>(pg, r0, r1, k, base, sums);
    }
}

// The sums of one-channel integer rows [r0, r1) (w samples a row from `samples`), one a
// reduced pixel from base on. Copied grey pages use them too: a row of grey sums stands for
// RGBA ones (grey three times, alpha 255 a pixel).
template <class T, class Sum>
void sumGreyWhole(const T* samples, int w, int r0, int r1, int k, size_t base, Sum* sums) {
    const int full = w / k;
    const T* const first = samples + size_t(r0) * w;
    Sum* const d = &sums[base];
    if (k == 2 && r1 - r0 == 2) {  // the usual half size: a loop the compiler vectorises
        const T *a = first, *b = first + w;
        for (int x = 0; x < full; ++x) d[x] += Sum(a[2 * x]) + Sum(a[2 * x + 1]) + Sum(b[2 * x]) + Sum(b[2 * x + 1]);
    } else {
        for (int x = 0; x < full; ++x) {
            Sum sum = 0;
            for (int y = 0; y < r1 - r0; ++y)
                for (int i = 0; i < k; ++i) sum += Sum(first[size_t(y) * w + size_t(x) * k + i]);
            d[x] += sum;
        }
    }
    if (full * k < w) {
        Sum sum = 0;
        for (int y = 0; y < r1 - r0; ++y)
            for (int x = full * k; x < w; ++x) sum += Sum(first[size_t(y) * w + x]);
        d[full] += sum;
    }
}

// The same as sumRows for rows of a band where none is lost, a reduced pixel at a time: no
// division or lost line a pixel, integer samples summed across the block's columns first
// (exact: the same sums), floating-point ones added one by one in the same order (the same
// roundings). Rows [r0, r1) of pg, all in the reduced row whose sums start at base. The
// pixels these rows add are not counted here: every reduced pixel of the row gains its
// columns for each of them (see integerMeans).
template <class Sum>
void sumRowsWhole(const Page& pg, int r0, int r1, int k, int channels, size_t base, Sum* sums, double* fsums) {
    const bool asRgba = copied(pg);
    const int w = pg.width, ch = pg.channels;
    if (asRgba) {
        switch (ch) {
            case 1: return sumRgbaWhole<1>(pg, r0, r1, k, base, sums);
            case 2: return sumRgbaWhole<2>(pg, r0, r1, k, base, sums);
            case 3: return sumRgbaWhole<3>(pg, r0, r1, k, base, sums);
            default: return sumRgbaWhole<4>(pg, r0, r1, k, base, sums);
        }
    }
    if (ch == 1) {  // one channel of at most 16 bits: exact integer sums, in any order
        switch (pg.samples) {
            case Samples::Unsigned8: return sumGreyWhole(pg.s8.data(), w, r0, r1, k, base, sums);
            case Samples::Signed8: return sumGreyWhole(reinterpret_cast<const int8_t*>(pg.s8.data()), w, r0, r1, k, base, sums);
            case Samples::Unsigned16: return sumGreyWhole(pg.s16.data(), w, r0, r1, k, base, sums);
            case Samples::Signed16: return sumGreyWhole(reinterpret_cast<const int16_t*>(pg.s16.data()), w, r0, r1, k, base, sums);
            default: break;
        }
    }
    formats::withStored(pg, [&](auto stored) {
        using V = decltype(stored(0));
        constexpr bool inDouble = std::is_floating_point_v<V> || sizeof(V) == 8;
        // A reduced pixel at a time, over all its rows: each of its sums still takes the rows
        // top first and each row's columns left to right, as sumRows adds them.
        for (int x0 = 0, rx = 0; x0 < w; x0 += k, ++rx) {
            const int x1 = std::min(w, x0 + k);
            const size_t r = (base + size_t(rx)) * channels;
            for (int c = 0; c < channels; ++c) {
                if constexpr (inDouble) {
                    double sum = fsums[r + c];
                    for (int y = r0; y < r1; ++y)
                        for (int x = x0; x < x1; ++x) sum += double(stored((size_t(y) * w + x) * ch + c));
                    fsums[r + c] = sum;
                } else {
                    Sum sum = 0;
                    for (int y = r0; y < r1; ++y)
                        for (int x = x0; x < x1; ++x) sum += Sum(stored((size_t(y) * w + x) * ch + c));
                    sums[r + c] += sum;
                }
            }
        }
    });
}

// The rounded means of a reduced row's integer sums (n pixels of channels sums) as samples
// S, as roundedMean and storeInteger give them: by a multiply where the sum allows (the same
// quotient), once for equal sums in a row (grey as RGB). A pixel's count is counts[x] (none
// when counts is null) and, for each of `rows` rows added whole, its columns of the w
// columns in blocks of k. Pixels without a count are zero.
template <class S, class Sum>
void integerMeans(const Sum* sums, const uint32_t* counts, uint32_t rows, int w, int k, int n, int channels, S* out) {
    uint32_t divisor = 0;
    // t / divisor is t * magic >> 64 for every 32-bit t, divisor 2 or more: a multiply
    // instead of a division, exactly (magic = 2^64 / divisor rounded up, with 32 bits to spare).
    uint64_t magic = 0;
    for (int x = 0; x < n; ++x, sums += channels, out += channels) {
        const uint32_t count = (counts ? counts[x] : 0) + rows * uint32_t(std::min(w - x * k, k));
        if (count != divisor && count != 0) divisor = count, magic = UINT64_C(0xFFFFFFFFFFFFFFFF) / count + 1;
        int64_t last = 0, v = 0;
        for (int c = 0; c < channels; ++c) {
            if (count == 0) {
                out[c] = 0;
                continue;
            }
            if (c == 0 || sums[c] != last) {
                const int64_t t = int64_t(sums[c]) + count / 2;
                v = count == 1                                   ? int64_t(sums[c])
                    : t >= 0 && t <= int64_t(UINT32_MAX) ? int64_t((static_cast<unsigned __int128>(magic) * uint64_t(t)) >> 64)
                                                         : roundedMean(sums[c], count);
            }
            last = sums[c];
            out[c] = static_cast<S>(v);
        }
    }
}

// A page of the block's kind, w x h, its samples zero.
Page blank(const Page& shape, int w, int h) {
    Page out = shape;
    out.width = w, out.height = h;
    const size_t n = size_t(w) * h * out.channels;
    switch (formats::bitsOf(out.samples)) {
        case 8: out.s8.assign(n, 0); break;
        case 16: out.s16.assign(n, 0); break;
        case 32: out.s32.assign(n, 0); break;
        default: out.s64.assign(n, 0); break;
    }
    return out;
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
    sumRows(pg, 0, pg.height, k_, channels, [&](int y) { return size_t(y / k_) * rw_; }, sums_.data(), fsums_.data(),
            counts_.data());
    return true;
}

Page Reducer::take() {
    Page out = blank(shape_, rw_, rh_);
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

int BandReducer::ringRows(int h, int k, int bandRows) {
    // Room for a band of each page and a little more, so that pages need not wait in step.
    const int wanted = std::clamp(reducedSize(bandRows, k) + 2, 8, 128);
    return std::min(wanted, reducedSize(h, k));
}

int64_t BandReducer::ringBytes(int w, int h, int k, int bandRows) {
    return int64_t(ringRows(h, k, bandRows)) * reducedSize(w, k) * (4 * 8 + 4);
}

BandReducer::BandReducer(int w, int h, int k, int bandRows)
    : w_(w), h_(h), k_(k), rw_(reducedSize(w, k)), rh_(reducedSize(h, k)), ring_(ringRows(h, k, bandRows)) {}

void BandReducer::begin(int pages, Emit emit) {
    std::lock_guard<std::mutex> hold(lock_);
    // A block that ended early may leave sums behind: they go with it.
    if (stopped_ || emitted_ < rh_) sums_.clear(), sums32_.clear(), fsums_.clear(), counts_.clear(), rows_.clear();
    emit_ = std::move(emit);
    done_.assign(size_t(pages), 0);
    emitted_ = 0;
    emitting_ = stopped_ = shaped_ = false;
}

bool BandReducer::add(int j, const Page& band, int y0, std::string& reason) {
    const int y1 = std::min(h_, y0 + band.height);
    for (int ry = y0 / k_; ry * k_ < y1; ++ry)
        if (!addRow(j, band, y0, ry, reason)) return false;
    return true;
}

bool BandReducer::addRow(int j, const Page& band, int y0, int ry, std::string& reason) {
    const int a = std::max(y0, ry * k_), b = std::min({y0 + band.height, (ry + 1) * k_, h_});
    const bool asRgba = copied(band);
    const int channels = asRgba ? 4 : band.channels;
    {
        std::unique_lock<std::mutex> hold(lock_);
        // The page before is past this row, and the row has its room in the ring.
        const int need = std::min(h_, (ry + 1) * k_);
        // (A page that waits emits the rows the others completed meanwhile, so that emitting is
        // not all on the last page's thread.)
        while (!stopped_ && !((j == 0 || done_[size_t(j) - 1] >= need) && ry < emitted_ + ring_)) {
            if (shaped_ && !emitting_ && emitted_ < readyRows())
                emitDone(hold);
            else
                moved_.wait(hold);
        }
        if (stopped_) return false;
        if (!shaped_) {  // (shaped only once all is allocated: a page that runs out of memory fails alone)
            shape_ = Page();
            shape_.samples = band.samples, shape_.bits = band.bits, shape_.channels = channels;
            shape_.slope = band.slope, shape_.intercept = band.intercept, shape_.invert = band.invert;
            // (The last block's ring, all zero again, serves when it is of the same size.)
            const size_t n = size_t(ring_) * rw_ * channels;
            const bool wide = wideSums(band.samples), narrow = !wide && fitsNarrow(band.samples, k_);
            if (wide && fsums_.size() != n) fsums_.assign(n, 0.0);
            if (!wide && !narrow && sums_.size() != n) sums_.assign(n, 0);
            if (narrow && sums32_.size() != n) sums32_.assign(n, 0);
            if (!wide) fsums_.clear();
            if (wide || narrow) sums_.clear();
            if (!narrow) sums32_.clear();
            if (counts_.size() != size_t(ring_) * rw_) counts_.assign(size_t(ring_) * rw_, 0), counted_.assign(size_t(ring_), 0);
            if (rows_.size() != size_t(ring_)) rows_.assign(size_t(ring_), 0);
            rgba_ = asRgba;
            dense_.assign(size_t(ring_), asRgba ? 1 : 0);
            row_ = blank(shape_, rw_, 1);
            if (asRgba) {
                Page grey;
                grey.channels = 1;
                greyRow_ = blank(grey, rw_, 1);
            }
            row_.lost.reserve(1);
            shaped_ = true;
        } else if (band.samples != shape_.samples || channels != shape_.channels || band.slope != shape_.slope ||
                   band.intercept != shape_.intercept || band.invert != shape_.invert) {
            reason = "cannot be averaged with the layers beside it: its samples are of another kind";
            return false;
        }
    }
    // This page alone adds to the row now: the pages before are past it, those after wait.
    const size_t at = size_t(ry % ring_), slot = at * rw_;
    const auto lost = band.lost.begin();
    const bool whole = band.lost.empty() || std::find(lost + (a - y0), lost + (b - y0), true) == lost + (b - y0);
    // Copied grey rows keep one sum a pixel while every page adding to them is grey and whole.
    const bool grey = asRgba && band.channels == 1 && whole;
    const auto sum = [&](auto* sums) {
        if (asRgba && dense_[at] && !grey) expand(at, sums);
        if (asRgba && dense_[at])
            sumGreyWhole(band.s8.data(), band.width, a - y0, b - y0, k_, slot * 4, sums);
        else if (whole)
            sumRowsWhole(band, a - y0, b - y0, k_, channels, slot, sums, fsums_.data());
        else
            sumRows(band, a - y0, b - y0, k_, channels, [slot](int) { return slot; }, sums, fsums_.data(), counts_.data());
    };
    withSums(sum);
    if (whole)
        rows_[at] += uint32_t(b - a);
    else
        counted_[at] = 1;
    std::unique_lock<std::mutex> hold(lock_);
    done_[size_t(j)] = b;
    emitDone(hold);
    moved_.notify_all();
    return true;
}

void BandReducer::finish(int j) {
    std::unique_lock<std::mutex> hold(lock_);
    done_[size_t(j)] = h_;
    emitDone(hold);
    moved_.notify_all();
}

void BandReducer::stop() {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
    moved_.notify_all();
}

// Turns ring row `at` from grey sums (one a pixel) into RGBA ones, in place from the right:
// grey three times, alpha 255 for each pixel added (only whole rows add to grey sums).
template <class Sum>
void BandReducer::expand(size_t at, Sum* sums) {
    Sum* const d = &sums[at * rw_ * 4];
    for (int x = rw_ - 1; x >= 0; --x) {
        const Sum g = d[x];
        const Sum count = Sum(rows_[at]) * Sum(std::min(w_ - x * k_, k_));
        d[4 * x] = d[4 * x + 1] = d[4 * x + 2] = g;
        d[4 * x + 3] = Sum(255) * count;
    }
    dense_[at] = 0;
}

// The reduced rows every page is past.
int BandReducer::readyRows() const {
    const int complete = *std::min_element(done_.begin(), done_.end());
    return complete >= h_ ? rh_ : complete / k_;
}

// Emits the rows every page is past, one thread at a time, outside the lock.
void BandReducer::emitDone(std::unique_lock<std::mutex>& hold) {
    if (emitting_) return;  // the thread emitting sees the new rows when it looks again
    emitting_ = true;
    while (!stopped_ && shaped_) {
        if (emitted_ >= readyRows()) break;
        const int ry = emitted_;
        hold.unlock();
        const size_t at = size_t(ry % ring_), slot = at * rw_;
        Page& row = row_;  // (emitting allocates nothing)
        row.lost.clear();
        const uint32_t rows = rows_[at];
        const uint32_t* counts = counted_[at] ? &counts_[slot] : nullptr;
        const bool lost = rows == 0 && (!counts || std::all_of(counts, counts + rw_, [](uint32_t c) { return c == 0; }));
        const auto means = [&](const auto* sums) {
            switch (formats::bitsOf(row.samples)) {
                case 8: return integerMeans(sums, counts, rows, w_, k_, rw_, row.channels, row.s8.data());
                case 16: return integerMeans(sums, counts, rows, w_, k_, rw_, row.channels, row.s16.data());
                default: return integerMeans(sums, counts, rows, w_, k_, rw_, row.channels, row.s32.data());
            }
        };
        const size_t from = slot * row.channels, n = size_t(rw_) * row.channels;
        if (dense_[at]) {  // grey sums: the grey row the RGBA one would stand for
            Page& g = greyRow_;
            g.lost.clear();
            withSums([&](auto* sums) {
                integerMeans(sums + from, nullptr, rows, w_, k_, rw_, 1, g.s8.data());
                std::fill_n(sums + from, rw_, 0);
            });
            if (lost) g.lost.assign(1, true);
            rows_[at] = 0;
            emit_(g, ry);
        } else {
            if (fsums_.empty()) {
                withSums([&](auto* sums) {
                    means(sums + from);
                    std::fill_n(sums + from, n, 0);
                });
            } else {
                std::fill(row.s32.begin(), row.s32.end(), 0), std::fill(row.s64.begin(), row.s64.end(), 0);
                for (int x = 0; x < rw_; ++x) {
                    const uint32_t count = (counts ? counts[x] : 0) + rows * uint32_t(std::min(w_ - x * k_, k_));
                    for (int c = 0; c < row.channels && count != 0; ++c)
                        store(row, size_t(x) * row.channels + c, fsums_[from + size_t(x) * row.channels + c] / count);
                }
                std::fill_n(fsums_.begin() + from, n, 0.0);
            }
            if (lost) row.lost.assign(1, true);
            if (counts) std::fill(counts_.begin() + slot, counts_.begin() + slot + rw_, 0);
            rows_[at] = 0, counted_[at] = 0, dense_[at] = rgba_;
            emit_(row, ry);
        }
        hold.lock();
        ++emitted_;
        moved_.notify_all();
    }
    emitting_ = false;
}

}  // namespace reduce
