// TIFF through libtiff: every page (directory) of a file is one page of the stack, shown as
// its Orientation says. Grey and RGB pages with or without alpha are read at full depth
// (8, 16 and 32 bits, signed and floating-point too), in strips, tiles or planes; other
// kinds through the library's RGBA reader. Strips or tiles that cannot be read leave
// transparent rows and a warning rather than refusing the page.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "format.h"
#include "tiffmeta.h"
#include "tiffpixels.h"

namespace formats {
namespace {

struct TiffReports {
    std::string error, warning;
};
// "module: text", without the module where the library names the file instead (the
// message lists the file already).
std::string tiffWords(TIFF* t, const char* module, const char* fmt, va_list ap) {
    char text[512];
    std::vsnprintf(text, sizeof text, fmt, ap);
    const bool named = module && !(t && std::strcmp(module, TIFFFileName(t)) == 0);
    return std::string(named ? module : "") + (named ? ": " : "") + text;
}
int tiffError(TIFF* t, void* user, const char* module, const char* fmt, va_list ap) {
    auto* r = static_cast<TiffReports*>(user);
    const std::string words = tiffWords(t, module, fmt, ap);
    if (r->error.empty()) r->error = words;
    return 1;
}
int tiffWarning(TIFF* t, void* user, const char* module, const char* fmt, va_list ap) {
    addWarning(static_cast<TiffReports*>(user)->warning, tiffWords(t, module, fmt, ap));
    return 1;
}

struct Tiff {
    TIFF* t = nullptr;
    TiffReports reports;
    bool mapped = true;  // the file mapped into memory (else read into the library's buffers)
    Tiff(const std::string& path, int64_t maxAlloc, bool map = true) : mapped(map) {
        TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
        if (!opts) return;
        TIFFOpenOptionsSetErrorHandlerExtR(opts, tiffError, &reports);
        TIFFOpenOptionsSetWarningHandlerExtR(opts, tiffWarning, &reports);
        if (maxAlloc > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t(maxAlloc));
        t = TIFFOpenExt(path.c_str(), mapped ? "r" : "rm", opts);
        TIFFOpenOptionsFree(opts);
    }
    ~Tiff() {
        if (t) TIFFClose(t);
    }
    Tiff(const Tiff&) = delete;
    Tiff& operator=(const Tiff&) = delete;
};

// The open handles of one file, kept between the decodes of its pages (through
// FileInfo::shared). A fresh handle finds page k by walking every directory of the file
// before decoding, which made a stack of many pages quadratic to load; a kept handle
// steps forward from the page it decoded last. Each handle serves one decode at a time.
class Handles {
public:
    Handles(std::string path, int64_t maxAlloc, size_t pages) : path_(std::move(path)), maxAlloc_(maxAlloc), pages_(pages) {}

    // A handle on page `page` (its directory at `offset`), or null if it cannot be read.
    // Pages read in bands are read unmapped: the mapped pages of a file read through count
    // as the program's memory until its handle closes.
    std::unique_ptr<Tiff> take(int page, uint64_t offset, bool mapped = true) {
        std::unique_ptr<Tiff> tif;
        {
            std::lock_guard<std::mutex> hold(lock_);
            // The one furthest along that is not past the page.
            auto best = idle_.end();
            for (auto it = idle_.begin(); it != idle_.end(); ++it)
                if ((*it)->mapped == mapped && int(TIFFCurrentDirectory((*it)->t)) <= page &&
                    (best == idle_.end() || TIFFCurrentDirectory((*it)->t) > TIFFCurrentDirectory((*best)->t)))
                    best = it;
            if (best != idle_.end()) tif = std::move(*best), idle_.erase(best);
        }
        if (!tif) tif = std::make_unique<Tiff>(path_, maxAlloc_, mapped);
        if (!tif->t) return nullptr;
        while (int(TIFFCurrentDirectory(tif->t)) < page)
            if (!TIFFReadDirectory(tif->t)) break;
        // Where stepping did not land on the page's directory, it is sought directly.
        if (TIFFCurrentDirOffset(tif->t) != offset && !TIFFSetSubDirectory(tif->t, offset)) return nullptr;
        tif->reports = TiffReports();
        return tif;
    }
    // Ends the decode of a page: its handle given back to serve the next (null after a page
    // that failed: it is closed). After the last page of a pass over the file, every handle is.
    void give(std::unique_ptr<Tiff> tif) {
        std::lock_guard<std::mutex> hold(lock_);
        if (++decoded_ % pages_ == 0) {
            idle_.clear();
            return;
        }
        if (tif && idle_.size() < kMostIdle) idle_.push_back(std::move(tif));
    }

    // Gives a handle back without ending a decode (the page is decoded another way).
    void putBack(std::unique_ptr<Tiff> tif) {
        std::lock_guard<std::mutex> hold(lock_);
        if (idle_.size() < kMostIdle) idle_.push_back(std::move(tif));
    }

private:
    static constexpr size_t kMostIdle = 8;  // more than the decoding threads ever hold
    const std::string path_;
    const int64_t maxAlloc_;
    const size_t pages_;
    std::mutex lock_;
    std::vector<std::unique_ptr<Tiff>> idle_;
    size_t decoded_ = 0;
};

// In doubles, held below 9e18: a header may claim more than any machine holds, and the
// memory check refuses it then.
int64_t tiffDecodeBytes(TIFF* t, const TiffLayout& l) {
    const double pixels = double(l.w) * l.h;
    double bytes;
    if (!l.native) {
        bytes = 8 * pixels;  // RGBA: the library's raster and the page
    } else {
        // native: the page and the strip buffer; in tiles or planes the page as stored and as
        // shown, and the library's and our tile (or the library's strip of one plane)
        const double page = pixels * l.samples * (l.bits / 8);
        bytes = 2 * page + (l.inScanlines() ? 0 : l.tiled ? 2 * double(TIFFTileSize64(t)) : page);
    }
    return int64_t(std::min(bytes + (1 << 20), 9e18));
}
// Why a page that neither reader takes cannot be read: a clause after the file (and page).
std::string unreadable(const TiffLayout& l, const std::string& page) {
    const char* what = l.format == SAMPLEFORMAT_INT             ? " signed integer"
                       : l.format == SAMPLEFORMAT_IEEEFP        ? " floating-point"
                       : l.format == SAMPLEFORMAT_COMPLEXINT    ? " complex integer"
                       : l.format == SAMPLEFORMAT_COMPLEXIEEEFP ? " complex floating-point"
                                                                : "";
    const std::string samples = std::to_string(l.bits) + "-bit" + what + " samples";
    if (l.known) return "has " + samples + page + " in a colour model other than grey or RGB, which cannot be read";
    return "has " + samples + page + ", which cannot be read";
}

// How a native page is stored: in pieces (tiles, or the rows of strips), one plane per
// sample or interleaved.
struct Pieces {
    bool separate = false;  // one plane per sample
    int planes = 1, perPixel = 1;
    uint32_t tw = 0, th = 1;  // a piece's width and rows
    uint32_t rowsPerStrip = 1;
    int64_t bytes = 0;  // one piece's
};

// The pieces of the current page; false if they are not of the size samples of sampleBytes
// need.
bool piecesOf(TIFF* t, const TiffLayout& l, size_t sampleBytes, Pieces& p) {
    p.separate = l.planar == PLANARCONFIG_SEPARATE;
    p.planes = p.separate ? l.samples : 1, p.perPixel = p.separate ? 1 : l.samples;
    p.tw = l.w, p.th = 1;
    if (l.tiled && !(TIFFGetField(t, TIFFTAG_TILEWIDTH, &p.tw) && TIFFGetField(t, TIFFTAG_TILELENGTH, &p.th)))
        return false;
    p.rowsPerStrip = l.h;
    if (!l.tiled) TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &p.rowsPerStrip);
    p.rowsPerStrip = std::max<uint32_t>(1, std::min(p.rowsPerStrip, l.h));
    p.bytes = l.tiled ? int64_t(TIFFTileSize64(t)) : int64_t(TIFFScanlineSize64(t));
    return p.tw != 0 && p.th != 0 && p.bytes == int64_t(p.tw) * p.th * p.perPixel * int64_t(sampleBytes);
}

// ---- Pages in bands ----
// A huge page read into a reduced volume is read a band of rows at a time, each band handed
// on as it is read, rather than whole: a band is a row of tiles, or strips of a few MiB.
// The rows, lost rows and samples are those of the whole page read above (the tests hold
// one against the other). Pages turned or flipped upside down are read whole.
bool inBands(const TiffLayout& l) {
    return l.orientation == ORIENTATION_TOPLEFT || l.orientation == ORIENTATION_TOPRIGHT;
}
// Rows a band of the current directory holds: a row of tiles; strips gathered up to
// bandTargetBytes(), whole strips where planes are apart (so none is decoded twice); one strip
// through the RGBA reader (whose lost lines are whole bands).
uint32_t bandRowsOf(TIFF* t, const TiffLayout& l) {
    if (!inBands(l)) return l.h;
    uint32_t rows = 1;
    if (l.tiled) {
        TIFFGetField(t, TIFFTAG_TILELENGTH, &rows);
    } else {
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rows);
        rows = std::max<uint32_t>(1, std::min(rows, l.h));
        if (l.native) {
            const double rowBytes = std::max(1.0, double(l.w) * l.samples * std::max(1, l.bits / 8));
            const uint32_t gathered = uint32_t(std::max(1.0, std::min(double(bandTargetBytes()) / rowBytes, double(l.h))));
            // (Strips larger than a band are read a row at a time.)
            rows = l.planar == PLANARCONFIG_CONTIG && rows > gathered ? gathered : rows * std::max<uint32_t>(1, gathered / rows);
        }
    }
    return std::max<uint32_t>(1, std::min(rows, l.h));
}
// In doubles, as tiffDecodeBytes: the band as read and as shown, the library's and our
// piece (a tile, or a strip the library decodes), or the RGBA reader's raster.
int64_t tiffBandBytes(TIFF* t, const TiffLayout& l, uint32_t rows) {
    const double pixels = double(l.w) * rows;
    double bytes;
    if (!l.native)
        bytes = 8 * pixels;
    else
        bytes = 2 * pixels * l.samples * (l.bits / 8) + (l.tiled ? 2 * double(TIFFTileSize64(t)) : double(TIFFScanlineSize64(t)));
    // The library reads a compressed strip whole (an uncompressed one from the mapped file).
    uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    if (!l.tiled && compression != COMPRESSION_NONE) bytes += double(TIFFStripSize64(t));
    return int64_t(std::min(bytes + (1 << 20), 9e18));
}

// Reads stored rows [y0, y1) of a native page into band (w x (y1 - y0) as shown): the rows
// of the pieces that cannot be read stay zero and are marked in lostRows (the page's). y0
// starts a row of tiles, or a strip where planes are apart.
template <class T>
bool readNativeRows(TIFF* t, const TiffLayout& l, uint32_t y0, uint32_t y1, std::vector<T>& band,
                    std::vector<T>& piece, std::vector<T>& stored, std::vector<bool>& lostRows) {
    Pieces pc;
    if (!piecesOf(t, l, sizeof(T), pc)) return false;
    const bool separate = pc.separate;
    const int planes = pc.planes, perPixel = pc.perPixel;
    const uint32_t tw = pc.tw, th = pc.th, rowsPerStrip = pc.rowsPerStrip;
    const int64_t pieceBytes = pc.bytes;
    const size_t rowSamples = size_t(l.w) * l.samples;
    const Placement pl{l.w, y1 - y0, l.orientation};  // the band's rows as a page of their own
    const bool inPlace = pl.orientation == ORIENTATION_TOPLEFT;
    const bool wholeRows = !l.tiled && !separate;
    piece.resize(wholeRows && inPlace ? 0 : size_t(tw) * th * perPixel);
    // Rows read straight into the band fill it, or are zeroed when lost: it need not be zeroed first.
    if (wholeRows && inPlace)
        band.resize(rowSamples * (y1 - y0));
    else
        band.assign(rowSamples * (y1 - y0), 0);
    const bool apart = !(inPlace || wholeRows);
    if (apart) stored.assign(rowSamples * (y1 - y0), 0);
    std::vector<T>& into = apart ? stored : band;
    for (int s = 0; s < planes; ++s)
        for (uint32_t y = y0; y < y1; y += th)
            for (uint32_t x0 = 0; x0 < l.w; x0 += tw) {
                const uint32_t rows = std::min(th, y1 - y), cols = std::min(tw, l.w - x0);
                T* const dst0 = piece.empty() ? &band[(y - y0) * rowSamples] : piece.data();
                const bool ok = l.tiled ? TIFFReadEncodedTile(t, TIFFComputeTile(t, x0, y, 0, uint16_t(s)), dst0,
                                                              tmsize_t(pieceBytes)) == pieceBytes
                                        : TIFFReadScanline(t, dst0, y, uint16_t(s)) == 1;
                if (!ok) {
                    // A row of a strip that does not read (the strip's bytes are not in the file, its count
                    // is 0, its codec refuses it or its data ends) leaves the rest of the strip unreadable
                    // too: those rows are passed over, so a header claiming a million rows with nothing
                    // behind them costs one attempt per strip, not one per row.
                    const bool restOfStrip = !l.tiled;
                    uint32_t next = (y / rowsPerStrip + 1) * rowsPerStrip;  // the next strip's first row
                    // Strips after it that hold no bytes do not read either: passed over with it.
                    while (restOfStrip && next < y1 && TIFFGetStrileByteCount(t, TIFFComputeStrip(t, next, uint16_t(s))) == 0)
                        next += rowsPerStrip;
                    const uint32_t lost = restOfStrip ? std::min(y1, next) - y : rows;
                    std::fill(lostRows.begin() + y, lostRows.begin() + y + lost, true);
                    if (piece.empty()) std::fill(dst0, dst0 + rowSamples * lost, T(0));
                    if (restOfStrip) y += lost - 1;
                    continue;
                }
                if (wholeRows) {
                    if (!inPlace) place(dst0, y - y0, l.samples, pl, band.data());
                    continue;
                }
                for (uint32_t r = 0; r < rows; ++r) {
                    const T* src = &piece[size_t(r) * tw * perPixel];
                    T* dst = &into[(size_t(y - y0 + r) * l.w + x0) * l.samples + s];
                    if (!separate) {
                        std::copy(src, src + size_t(cols) * perPixel, dst);
                        continue;
                    }
                    for (uint32_t c = 0; c < cols; ++c) dst[size_t(c) * l.samples] = src[c];
                }
            }
    if (apart)
        for (uint32_t r = 0; r < y1 - y0; ++r) place(&stored[r * rowSamples], r, l.samples, pl, band.data());
    return true;
}

// Reads a native page: row by row (straight into the page when it needs no turning), or
// stored in tiles or in one plane per sample, rows or tiles of a plane at a time. The rows
// of the pieces that cannot be read stay zero and are marked in lostRows. False if the
// pieces are not of the size the page's samples need.
template <class T>
bool readNative(TIFF* t, const TiffLayout& l, std::vector<T>& page, std::vector<bool>& lostRows) {
    std::vector<T> piece, stored;
    return readNativeRows(t, l, 0, l.h, page, piece, stored, lostRows);
}

// Reads the strips of stored rows [y0, y1) (whole strips of a contiguous page shown as
// stored) into band a strip at a time, as the plain libtiff read does. A strip that does
// not decode so is read again row by row, as a whole page is read: on a fresh handle (so it
// starts as a strip met for the first time), its words said as that read says them.
template <class T, class Reopen>
bool readStrips(Tiff& tif, const TiffLayout& l, uint32_t y0, uint32_t y1, uint32_t rowsPerStrip, std::vector<T>& band,
                std::vector<bool>& lostRows, const Reopen& reopen) {
    const size_t rowSamples = size_t(l.w) * l.samples;
    band.resize(rowSamples * (y1 - y0));
    for (uint32_t ys = y0; ys < y1; ys += rowsPerStrip) {
        const uint32_t ye = std::min(y1, ys + rowsPerStrip);
        T* into = &band[(ys - y0) * rowSamples];
        const tmsize_t want = tmsize_t(rowSamples * (ye - ys) * sizeof(T));
        const TiffReports before = tif.reports;
        const uint32_t strip = TIFFComputeStrip(tif.t, ys, 0);
        // Strips the library would read without a word though their bytes are not all there
        // (it takes one of no bytes as blank) are read by rows, which miss them.
        uint16_t compression = COMPRESSION_NONE;
        TIFFGetFieldDefaulted(tif.t, TIFFTAG_COMPRESSION, &compression);
        const uint64_t bytes = TIFFGetStrileByteCount(tif.t, strip);
        const bool whole = compression == COMPRESSION_NONE ? bytes >= uint64_t(want) : bytes > 0;
        if (whole && TIFFReadEncodedStrip(tif.t, strip, into, want) == want && tif.reports.error == before.error &&
            tif.reports.warning == before.warning)
            continue;
        tif.reports = before;
        const std::unique_ptr<Tiff> again = reopen();
        std::vector<T> rows, piece, stored;
        if (!again || !readNativeRows(again->t, l, ys, ye, rows, piece, stored, lostRows)) return false;
        std::copy(rows.begin(), rows.end(), into);
        if (tif.reports.error.empty()) tif.reports.error = again->reports.error;
        if (!again->reports.warning.empty()) addWarning(tif.reports.warning, again->reports.warning);
    }
    return true;
}

// The bands of a native page, each unpremultiplied and handed to take; false if a piece
// is not of the size the samples need, with stopped set when take said to stop.
template <class T, class Reopen>
bool nativeBands(Tiff& tif, const TiffLayout& l, uint32_t bandRows, std::vector<T>& samples, Page& band,
                 std::vector<bool>& lostRows, const BandSink& take, bool& stopped, const Reopen& reopen) {
    TIFF* const t = tif.t;
    std::vector<T> piece, stored;
    uint32_t rowsPerStrip = l.h;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
    rowsPerStrip = std::max<uint32_t>(1, std::min(rowsPerStrip, l.h));
    const bool byStrips = !l.tiled && l.planar == PLANARCONFIG_CONTIG && l.orientation == ORIENTATION_TOPLEFT &&
                          bandRows % rowsPerStrip == 0 &&
                          int64_t(TIFFScanlineSize64(t)) == int64_t(l.w) * l.samples * int64_t(sizeof(T));
    for (uint32_t y0 = 0; y0 < l.h; y0 += bandRows) {
        const uint32_t y1 = std::min(l.h, y0 + bandRows);
        if (byStrips ? !readStrips(tif, l, y0, y1, rowsPerStrip, samples, lostRows, reopen)
                     : !readNativeRows(t, l, y0, y1, samples, piece, stored, lostRows))
            return false;
        band.height = int(y1 - y0);
        if (l.alpha() && l.extraKind == EXTRASAMPLE_ASSOCALPHA) {
            if (l.kind == Samples::Unsigned16)
                unpremultiply(band.s16, l.samples, 65535);
            else if (l.kind == Samples::Unsigned8)
                unpremultiply(band.s8, l.samples, 255);
            else
                unpremultiplyWide(band);
        }
        const auto from = lostRows.begin() + y0, to = lostRows.begin() + y1;
        band.lost.clear();
        if (std::find(from, to, true) != to) band.lost.assign(from, to);
        if (!take(band, int(y0))) return stopped = true, true;
    }
    return true;
}

// Ends an RGBA read however the page's decoding ends.
struct RgbaRead {
    TIFFRGBAImage img{};
    bool begun = false;
    ~RgbaRead() {
        if (begun) TIFFRGBAImageEnd(&img);
    }
};

// Reads the page through the library's RGBA reader, one strip (or row of tiles) at a time,
// so the bands that cannot be read are marked in lostRows and the others keep their pixels.
// False if the reader does not take the page at all.
bool readRgba(TIFF* t, const TiffLayout& l, const Placement& pl, int channels, std::vector<uint8_t>& page,
              std::vector<bool>& lostRows) {
    char emsg[1024] = "";
    RgbaRead read;
    if (!TIFFRGBAImageOK(t, emsg) || !TIFFRGBAImageBegin(&read.img, t, 1, emsg)) return false;
    read.begun = true;
    read.img.req_orientation = read.img.orientation;  // rows in stored order: the placement orients them
    uint32_t band = 0;
    if (TIFFIsTiled(t))
        TIFFGetField(t, TIFFTAG_TILELENGTH, &band);
    else
        TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &band);
    band = std::max<uint32_t>(1, std::min(band, l.h));
    std::vector<uint32_t> raster(size_t(l.w) * band);
    std::vector<uint8_t> row(size_t(l.w) * channels);
    page.assign(size_t(l.w) * l.h * channels, 0);
    for (uint32_t r0 = 0; r0 < l.h; r0 += band) {
        const uint32_t n = std::min(band, l.h - r0);
        read.img.row_offset = int(r0);
        read.img.col_offset = 0;
        if (TIFFRGBAImageGet(&read.img, raster.data(), l.w, n) != 1) {
            std::fill(lostRows.begin() + r0, lostRows.begin() + r0 + n, true);
            continue;
        }
        for (uint32_t r = 0; r < n; ++r) {
            const uint32_t* p = &raster[size_t(r) * l.w];
            for (uint32_t c = 0; c < l.w; ++c) {
                uint8_t* d = &row[size_t(c) * channels];
                d[0] = uint8_t(TIFFGetR(p[c])), d[1] = uint8_t(TIFFGetG(p[c])), d[2] = uint8_t(TIFFGetB(p[c]));
                if (channels == 4) d[3] = uint8_t(TIFFGetA(p[c]));
            }
            place(row.data(), r0 + r, channels, pl, page.data());
        }
    }
    return true;
}

// The bands of a page through the RGBA reader, as readRgba reads it, each band handed to
// take; false if the reader does not take the page, with stopped set when take said to stop.
bool rgbaBands(TIFF* t, const TiffLayout& l, uint32_t bandRows, Page& band, std::vector<bool>& lostRows,
               const BandSink& take, bool& stopped) {
    char emsg[1024] = "";
    RgbaRead read;
    if (!TIFFRGBAImageOK(t, emsg) || !TIFFRGBAImageBegin(&read.img, t, 1, emsg)) return false;
    read.begun = true;
    read.img.req_orientation = read.img.orientation;
    const int channels = band.channels;
    std::vector<uint32_t> raster(size_t(l.w) * bandRows);
    std::vector<uint8_t> row(size_t(l.w) * channels);
    for (uint32_t y0 = 0; y0 < l.h; y0 += bandRows) {
        const uint32_t n = std::min(bandRows, l.h - y0);
        const Placement pl{l.w, n, l.orientation};
        band.height = int(n);
        band.s8.assign(size_t(l.w) * n * channels, 0);
        read.img.row_offset = int(y0);
        read.img.col_offset = 0;
        if (TIFFRGBAImageGet(&read.img, raster.data(), l.w, n) != 1) {
            std::fill(lostRows.begin() + y0, lostRows.begin() + y0 + n, true);
        } else {
            for (uint32_t r = 0; r < n; ++r) {
                const uint32_t* p = &raster[size_t(r) * l.w];
                for (uint32_t c = 0; c < l.w; ++c) {
                    uint8_t* d = &row[size_t(c) * channels];
                    d[0] = uint8_t(TIFFGetR(p[c])), d[1] = uint8_t(TIFFGetG(p[c])), d[2] = uint8_t(TIFFGetB(p[c]));
                    if (channels == 4) d[3] = uint8_t(TIFFGetA(p[c]));
                }
                place(row.data(), r, channels, pl, band.s8.data());
            }
            if (channels == 4) unpremultiply(band.s8, 4, 255);
        }
        const auto from = lostRows.begin() + y0, to = lostRows.begin() + y0 + n;
        band.lost.clear();
        if (std::find(from, to, true) != to) band.lost.assign(from, to);
        if (!take(band, int(y0))) return stopped = true, true;
    }
    return true;
}

// "rows 4..7, 12" (or columns) of the lost lines.
std::string lostLines(const std::vector<bool>& lost, bool columns) {
    std::string ranges;
    size_t count = 0;
    for (size_t a = 0; a < lost.size(); ++a) {
        if (!lost[a]) continue;
        size_t b = a;
        while (b + 1 < lost.size() && lost[b + 1]) ++b;
        ranges += (ranges.empty() ? "" : ", ") + std::to_string(a) + (b > a ? ".." + std::to_string(b) : "");
        count += b - a + 1;
        a = b;
    }
    const char* what = columns ? (count == 1 ? "column " : "columns ") : (count == 1 ? "row " : "rows ");
    return what + ranges + (count == 1 ? " could not be read and is" : " could not be read and are") + " transparent";
}

bool header(const std::string& path, FileInfo& info, std::string& reason) {
    Tiff tif(path, 0);
    if (!tif.t) return reason = kDamaged, false;
    info.pages.clear();
    info.decodeBytes = 0;
    info.bandBytes = 0, info.bandRows = 0;
    double slope = 1, intercept = 0;
    readCalibration(tif.t, info, slope, intercept);
    do {
        const TiffLayout l = layoutOf(tif.t);
        if (l.w == 0 || l.h == 0 || l.w > INT_MAX || l.h > INT_MAX) {
            reason = info.pages.empty() ? kDamaged : "has a damaged page " + std::to_string(info.pages.size() + 1);
            return false;
        }
        char emsg[1024] = "";
        if (!l.native && !TIFFRGBAImageOK(tif.t, emsg) && (!l.known || l.bits > 16)) {
            // Samples neither reader takes; other refusals of the RGBA reader stay damage.
            const bool paged = !info.pages.empty() || !TIFFLastDirectory(tif.t);
            reason = unreadable(l, paged ? " on page " + std::to_string(info.pages.size() + 1) : "");
            return false;
        }
        const Placement pl{l.w, l.h, l.orientation};
        PageInfo page;
        page.width = int(pl.shownWidth()), page.height = int(pl.shownHeight());
        page.bits = l.native ? int(l.bits) : 8;
        page.samples = l.native ? l.kind : Samples::Unsigned8;
        page.offset = TIFFCurrentDirOffset(tif.t);
        page.slope = slope, page.intercept = intercept;
        if (info.pages.empty()) {
            readVoxelSize(tif.t, info);
            // A transposed page shows its rows as columns.
            if (l.orientation >= ORIENTATION_LEFTTOP) std::swap(info.voxelSize[0], info.voxelSize[1]);
        }
        info.pages.push_back(page);
        info.decodeBytes = std::max(info.decodeBytes, tiffDecodeBytes(tif.t, l));
        const uint32_t rows = bandRowsOf(tif.t, l);
        info.bandRows = std::max(info.bandRows, int(rows));
        info.bandBytes = std::max(info.bandBytes, inBands(l) ? tiffBandBytes(tif.t, l, rows) : tiffDecodeBytes(tif.t, l));
    } while (TIFFReadDirectory(tif.t));
    if (!tif.reports.error.empty()) {  // the chain of pages broke off
        reason = "has a damaged page " + std::to_string(info.pages.size() + 1);
        return false;
    }
    info.shared = std::make_shared<Handles>(path, info.decodeBytes, info.pages.size());
    return true;
}

// Ends the decode of a page read whole or in bands: the page fails where it could not be read
// at all, or lost rows for want of memory (which is not damage); else its warnings and lost
// lines are said. The handle is given back either way.
bool finishPage(Handles& handles, std::unique_ptr<Tiff> held, const FileInfo& info, int page, const Placement& pl,
                const std::vector<bool>& lostRows, bool ok, Page& out, std::string& reason) {
    Tiff& tif = *held;
    // Rows lost for want of memory are not damage: the page does not decode, as when none is read.
    const bool someLost = std::find(lostRows.begin(), lostRows.end(), true) != lostRows.end();
    const bool noneRead = std::find(lostRows.begin(), lostRows.end(), false) == lostRows.end();
    const bool noMemory = tif.reports.error.find("emory") != std::string::npos;
    if (!ok || (someLost && (noMemory || noneRead))) {
        handles.give(nullptr);
        out = Page();
        reason = noMemory ? kNoMemory : kDamaged;
        return false;
    }
    out.warning = tif.reports.warning;
    if (someLost) {
        out.lostAreColumns = pl.transposed();
        out.lost.assign(pl.transposed() ? out.width : out.height, false);
        for (uint32_t r = 0; r < pl.h; ++r) out.lost[pl.line(r)] = lostRows[r];
        if (!tif.reports.error.empty()) addWarning(out.warning, tif.reports.error);
        const size_t pages = info.pages.size();
        const std::string where =
            pages > 1 ? "page " + std::to_string(page + 1) + " of " + std::to_string(pages) + ": " : "";
        addWarning(out.warning, where + lostLines(out.lost, out.lostAreColumns));
    }
    handles.give(std::move(held));
    return true;
}


bool decode(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason) {
    // An info not made by header() (no handles) is served by a handle of its own.
    const std::shared_ptr<Handles> handles =
        info.shared ? std::static_pointer_cast<Handles>(info.shared) : std::make_shared<Handles>(path, info.decodeBytes, 1);
    std::unique_ptr<Tiff> held = handles->take(page, info.pages[page].offset);
    if (!held) return handles->give(nullptr), reason = kDamaged, false;
    Tiff& tif = *held;
    const TiffLayout l = layoutOf(tif.t);
    const Placement pl{l.w, l.h, l.orientation};
    out.width = int(pl.shownWidth()), out.height = int(pl.shownHeight());
    std::vector<bool> lostRows(l.h, false);  // stored rows
    bool ok = true;
    if (l.native) {
        out.channels = l.samples, out.bits = l.bits, out.samples = l.kind;
        ok = l.bits == 32   ? readNative(tif.t, l, out.s32, lostRows)
             : l.bits == 16 ? readNative(tif.t, l, out.s16, lostRows)
                            : readNative(tif.t, l, out.s8, lostRows);
        if (ok && l.alpha() && l.extraKind == EXTRASAMPLE_ASSOCALPHA) {
            if (l.kind == Samples::Unsigned16)
                unpremultiply(out.s16, l.samples, 65535);
            else if (l.kind == Samples::Unsigned8)
                unpremultiply(out.s8, l.samples, 255);
            else
                unpremultiplyWide(out);
        }
    } else {
        out.bits = 8;
        out.channels = l.alpha() ? 4 : 3;
        ok = readRgba(tif.t, l, pl, out.channels, out.s8, lostRows);
        // The RGBA reader premultiplies: back to stored colour.
        if (ok && out.channels == 4) unpremultiply(out.s8, 4, 255);
    }
    return finishPage(*handles, std::move(held), info, page, pl, lostRows, ok, out, reason);
}

bool decodeBands(const std::string& path, const FileInfo& info, int page, const BandSink& take, Page& out,
                 std::string& reason) {
    const std::shared_ptr<Handles> handles =
        info.shared ? std::static_pointer_cast<Handles>(info.shared) : std::make_shared<Handles>(path, info.decodeBytes, 1);
    std::unique_ptr<Tiff> held = handles->take(page, info.pages[page].offset, false);
    if (!held) return handles->give(nullptr), reason = kDamaged, false;
    const TiffLayout l = layoutOf(held->t);
    const Placement pl{l.w, l.h, l.orientation};
    if (!inBands(l)) {  // turned or flipped: read whole, and handed on as one band
        handles->putBack(std::move(held));
        if (!decode(path, info, page, out, reason)) return false;
        Page band = out;
        out.s8.clear(), out.s16.clear(), out.s32.clear(), out.s64.clear(), out.lost.clear();
        if (!take(band, 0)) return reason.clear(), false;
        return true;
    }
    out.width = int(l.w), out.height = int(l.h);
    std::vector<bool> lostRows(l.h, false);
    Page band;
    band.width = int(l.w);
    const uint32_t rows = bandRowsOf(held->t, l);
    bool ok = true, stopped = false;
    if (l.native) {
        band.channels = l.samples, band.bits = l.bits, band.samples = l.kind;
        const auto reopen = [&] {
            auto fresh = std::make_unique<Tiff>(path, info.decodeBytes, false);
            if (fresh->t && !TIFFSetSubDirectory(fresh->t, info.pages[page].offset)) fresh.reset();
            return fresh && fresh->t ? std::move(fresh) : nullptr;
        };
        ok = l.bits == 32   ? nativeBands(*held, l, rows, band.s32, band, lostRows, take, stopped, reopen)
             : l.bits == 16 ? nativeBands(*held, l, rows, band.s16, band, lostRows, take, stopped, reopen)
                            : nativeBands(*held, l, rows, band.s8, band, lostRows, take, stopped, reopen);
    } else {
        band.bits = 8;
        band.channels = l.alpha() ? 4 : 3;
        ok = rgbaBands(held->t, l, rows, band, lostRows, take, stopped);
    }
    out.channels = band.channels, out.bits = band.bits, out.samples = band.samples;
    if (stopped) {
        handles->give(std::move(held));
        out = Page();
        reason.clear();
        return false;
    }
    return finishPage(*handles, std::move(held), info, page, pl, lostRows, ok, out, reason);
}

bool recogniseTiff(const std::string&, const unsigned char* b, size_t n) {
    return n >= 4 && ((b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0) ||
                      (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43)));
}

}  // namespace

const Reader tiff = [] {
    Reader r{"TIFF", recogniseTiff, header, decode};
    r.decodeBands = decodeBands;
    return r;
}();

}  // namespace formats
