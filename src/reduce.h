// reduce: a stack opened at 1/k of its size, page by page as it streams. Each voxel of the
// reduced volume is the mean of a k x k x k block of the full one (fewer voxels where the
// block meets a face), per channel, alpha included: (sum + n/2) / n rounded down, in
// integers, for integer samples; the mean in double, stored in the samples' own type, for
// floating-point ones. Wide samples are averaged in their stored values (every page of a
// block shares one slope and intercept), before the mapping.
//
// Lines a page could not read are left out of the means; a reduced pixel whose block has
// no readable pixel is zero, and a reduced line of such pixels only is lost.
//
// Memory beyond the reduced page: 8 bytes a reduced pixel and channel for the sums, and 4
// for the counts (see accumulatorBytes).
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "formats/format.h"

namespace reduce {

// The reduced size of n voxels: n / k rounded up.
inline int reducedSize(int n, int k) { return static_cast<int>((int64_t(n) + k - 1) / k); }

// Bytes the sums of one reduced layer of w x h pages need, at most.
int64_t accumulatorBytes(int w, int h, int k);

// Sums the pages of one block of layers (w x h pages, k the factor) into one reduced page.
class Reducer {
public:
    Reducer(int w, int h, int k) : k_(k), rw_(reducedSize(w, k)), rh_(reducedSize(h, k)) {}
    // Adds one page; false, with the reason, when it cannot be averaged with the pages
    // added before it (another kind of samples or another meaning of them).
    bool add(const formats::Page& pg, std::string& reason);
    // The reduced page of the pages added since the last take; starts a new block.
    formats::Page take();

private:
    int k_, rw_, rh_;
    int pages_ = 0;
    formats::Page shape_;  // kind, channels and meaning of this block's pages (no samples)
    std::vector<int64_t> sums_;    // integer samples
    std::vector<double> fsums_;    // floating-point and 64-bit samples
    std::vector<uint32_t> counts_; // readable pixels a reduced pixel
};

// Sums the pages of one block of layers as their bands arrive, each page on a thread of its
// own, into a ring of a few reduced rows; each reduced row, once every page has added to it,
// is handed to `emit` as a one-row page, and its room in the ring taken again. The result is
// byte for byte the Reducer's: each reduced row takes the pages in order and each page's rows
// top first (a page adds to a row only once the page before it is past that row), so even
// sums in double are made in the same order.
//
// Memory: ringBytes (beside the bands the pages' decoders hold), however tall the pages.
class BandReducer {
public:
    // Called on one of the pages' threads, one row at a time, in order; must not throw.
    using Emit = std::function<void(const formats::Page& row, int y)>;
    // bandRows: the most rows a band brings.
    BandReducer(int w, int h, int k, int bandRows);
    // Starts a block of `pages` pages whose rows go to emit. The ring is kept from block to
    // block (each row is zeroed as it is emitted), so its memory is taken once.
    void begin(int pages, Emit emit);
    // Adds band (rows [y0, y0 + band.height) of page j; a page's bands in order, top first).
    // Waits for the page before it and for room in the ring. False when the band cannot be
    // averaged with the pages before it (reason says why), or when the block has stopped.
    bool add(int j, const formats::Page& band, int y0, std::string& reason);
    // Page j adds no more (done, or failed: its rows left out). Every page must finish.
    void finish(int j);
    // Ends the block early: waiting adds return false and no row is emitted any more.
    void stop();
    // The reduced rows the ring holds, and its bytes, for pages of width w read in bands of
    // bandRows rows.
    static int ringRows(int h, int k, int bandRows);
    static int64_t ringBytes(int w, int h, int k, int bandRows);

private:
    bool addRow(int j, const formats::Page& band, int y0, int ry, std::string& reason);
    int readyRows() const;
    template <class Sum>
    void expand(size_t at, Sum* sums);
    // f(the integer sums in use): the 32-bit ones where they fit, else the 64-bit ones.
    template <class F>
    void withSums(F&& f) {
        if (sums32_.empty())
            f(sums_.data());
        else
            f(sums32_.data());
    }
    void emitDone(std::unique_lock<std::mutex>& hold);
    int w_, h_, k_, rw_, rh_, ring_;
    Emit emit_;
    std::mutex lock_;
    std::condition_variable moved_;
    std::vector<int> done_;      // per page: the rows added, top first (h when finished)
    int emitted_ = 0;            // reduced rows emitted; their slots free again
    bool emitting_ = false, stopped_ = false, shaped_ = false;
    formats::Page shape_;        // as Reducer's
    formats::Page row_;          // the row being emitted
    std::vector<int64_t> sums_;  // ring_ reduced rows, as Reducer's
    std::vector<int32_t> sums32_;  // instead of sums_ where they fit (samples of 16 bits or fewer)
    std::vector<double> fsums_;
    // A reduced pixel's count: counts_ (kept only for rows with lost lines beside them, where
    // counted_ says) plus, for each of rows_ rows added whole, its columns.
    std::vector<uint32_t> counts_;
    std::vector<char> counted_;
    std::vector<uint32_t> rows_;
    // Per ring row, for copied pages: whether it holds one grey sum a pixel (at the start of
    // its room) rather than RGBA ones; emitted then as greyRow_.
    std::vector<char> dense_;
    bool rgba_ = false;  // the block's pages are copied: summed as RGBA voxels
    formats::Page greyRow_;
};

}  // namespace reduce
