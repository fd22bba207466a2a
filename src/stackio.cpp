#include "stackio.h"

#include <jpeglib.h>
#include <jerror.h>
#include <png.h>
#include <sys/stat.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <new>
#include <utility>

#include "parallel.h"
#include "voxelmap.h"

namespace stackio {
namespace {

namespace fs = std::filesystem;

const char* const kDamaged = "is not an image in a supported format, or it is damaged or truncated";
const char* const kNoMemory = "could not be decoded: there is not enough memory";

std::string decimal(unsigned __int128 n) {
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(n % 10)));
        n /= 10;
    } while (n != 0);
    return digits;
}

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

// A file with its own closing.
struct File {
    FILE* f = nullptr;
    explicit File(const std::string& path) : f(std::fopen(path.c_str(), "rb")) {}
    ~File() {
        if (f) std::fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

void addWarning(std::string& to, const std::string& words) {
    if (to.find(words) != std::string::npos) return;  // decoders repeat themselves
    if (!to.empty()) to += "; ";
    to += words;
}

// Colour samples of a premultiplied page back to stored colour, rounded to nearest.
template <class T>
void unpremultiply(std::vector<T>& s, int channels, uint32_t maxValue) {
    for (size_t n = 0; n + channels <= s.size(); n += channels) {
        const uint32_t a = s[n + channels - 1];
        for (int c = 0; c < channels - 1; ++c) {
            const uint32_t v = a == 0 ? 0 : (uint32_t(s[n + c]) * maxValue + a / 2) / a;
            s[n + c] = static_cast<T>(std::min(v, maxValue));
        }
    }
}

// The same for wide integer samples (T: their type, U: how they are held), negative colour
// rounded away from zero as positive; colour with alpha 0 or below is 0.
template <class T, class U>
void unpremultiplyInteger(std::vector<U>& s, int channels) {
    const __int128 top = std::numeric_limits<T>::max(), bottom = std::numeric_limits<T>::min();
    for (size_t n = 0; n + channels <= s.size(); n += channels) {
        const __int128 a = static_cast<T>(s[n + channels - 1]);
        for (int c = 0; c < channels - 1; ++c) {
            const __int128 v = static_cast<T>(s[n + c]);
            const __int128 u = a <= 0 ? 0 : (v * top + (v < 0 ? -a / 2 : a / 2)) / a;
            s[n + c] = static_cast<U>(static_cast<T>(std::clamp(u, bottom, top)));
        }
    }
}
// Floating-point colour divided by alpha (taken as at most 1); alpha 0, below or NaN gives 0.
void unpremultiplyFloat(std::vector<uint32_t>& s, int channels) {
    auto get = [&s](size_t i) {
        float v;
        std::memcpy(&v, &s[i], sizeof v);
        return v;
    };
    for (size_t n = 0; n + channels <= s.size(); n += channels) {
        const float a = get(n + channels - 1);
        for (int c = 0; c < channels - 1; ++c) {
            const float v = a > 0 ? get(n + c) / std::min(a, 1.0f) : 0.0f;
            std::memcpy(&s[n + c], &v, sizeof v);
        }
    }
}
void unpremultiplyWide(Page& pg) {
    switch (pg.samples) {
        case Samples::Signed16: return unpremultiplyInteger<int16_t>(pg.s16, pg.channels);
        case Samples::Unsigned32: return unpremultiplyInteger<uint32_t>(pg.s32, pg.channels);
        case Samples::Signed32: return unpremultiplyInteger<int32_t>(pg.s32, pg.channels);
        case Samples::Float32: return unpremultiplyFloat(pg.s32, pg.channels);
        default: return;
    }
}

// ---- PNG ----

struct PngErrors {
    jmp_buf jump;
    std::string error, warning;
};
void pngError(png_structp png, png_const_charp msg) {
    auto* e = static_cast<PngErrors*>(png_get_error_ptr(png));
    e->error = msg;
    longjmp(e->jump, 1);
}
void pngWarning(png_structp png, png_const_charp msg) {
    addWarning(static_cast<PngErrors*>(png_get_error_ptr(png))->warning, msg);
}

// PNG chunks a decode reads past: each as long as the file says (five bytes a name).
const png_byte kPngUnread[] = "eXIf\0iCCP\0iTXt\0pCAL\0sCAL\0sPLT\0tEXt\0zTXt";

// Reads the header (header only when out is null) or the whole image.
bool png(FILE* f, FileInfo& info, Page* out, std::string& reason) {
    PngErrors errors;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, pngError, pngWarning);
    if (!png) return reason = kNoMemory, false;
    png_infop pinfo = png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (setjmp(errors.jump)) {
        png_destroy_read_struct(&png, &pinfo, nullptr);
        reason = errors.error.find("memory") != std::string::npos ? kNoMemory : kDamaged;
        return false;
    }
    if (!pinfo) png_error(png, "out of memory");
    png_init_io(png, f);
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    // The chunks of text, profiles and metadata the image does not need are passed over
    // unread: the library would allocate what their length says, whatever it says.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kPngUnread, int(sizeof kPngUnread / 5));
    png_read_info(png, pinfo);
    const png_uint_32 w = png_get_image_width(png, pinfo), h = png_get_image_height(png, pinfo);
    const int depth = png_get_bit_depth(png, pinfo), type = png_get_color_type(png, pinfo);
    const bool trns = png_get_valid(png, pinfo, PNG_INFO_tRNS) != 0;
    const int channels = (type & PNG_COLOR_MASK_COLOR ? 3 : 1) + (type & PNG_COLOR_MASK_ALPHA || trns ? 1 : 0);
    const int bits = depth == 16 ? 16 : 8;
    const Samples kind = bits == 16 ? Samples::Unsigned16 : Samples::Unsigned8;
    if (w > INT_MAX || h > INT_MAX) png_error(png, "too large");
    info.format = Format::PNG;
    info.pages = {PageInfo{int(w), int(h), bits, 0, kind}};
    info.decodeBytes = int64_t(w) * h * channels * (bits / 8) + int64_t(w) * 8 * channels + (1 << 20);
    if (out) {
        if (type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
        if (type == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
        if (trns) png_set_tRNS_to_alpha(png);
        if (depth == 16) png_set_swap(png);  // host order (little-endian)
        png_set_interlace_handling(png);
        png_read_update_info(png, pinfo);
        out->width = int(w), out->height = int(h), out->bits = bits, out->samples = kind;
        out->channels = png_get_channels(png, pinfo);
        const size_t n = size_t(w) * h * out->channels;
        rows.resize(h);
        if (bits == 16) {
            out->s16.resize(n);
            for (png_uint_32 y = 0; y < h; ++y) rows[y] = reinterpret_cast<png_bytep>(&out->s16[size_t(y) * w * out->channels]);
        } else {
            out->s8.resize(n);
            for (png_uint_32 y = 0; y < h; ++y) rows[y] = &out->s8[size_t(y) * w * out->channels];
        }
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
        out->warning = errors.warning;
    }
    png_destroy_read_struct(&png, &pinfo, nullptr);
    return true;
}

// ---- JPEG ----

struct JpegErrors {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    std::string error, warning;
};
void jpegError(j_common_ptr c) {
    auto* e = reinterpret_cast<JpegErrors*>(c->err);
    char text[JMSG_LENGTH_MAX];
    c->err->format_message(c, text);
    e->error = text;
    longjmp(e->jump, 1);
}
void jpegMessage(j_common_ptr c, int level) {
    if (level >= 0) return;  // trace output
    auto* e = reinterpret_cast<JpegErrors*>(c->err);
    ++c->err->num_warnings;
    char text[JMSG_LENGTH_MAX];
    c->err->format_message(c, text);
    addWarning(e->warning, text);
}

bool jpeg(FILE* f, FileInfo& info, Page* out, std::string& reason) {
    JpegErrors errors;
    jpeg_decompress_struct cinfo;
    cinfo.err = jpeg_std_error(&errors.mgr);
    errors.mgr.error_exit = jpegError;
    errors.mgr.emit_message = jpegMessage;
    std::vector<uint8_t> row;
    jpeg_create_decompress(&cinfo);
    if (setjmp(errors.jump)) {
        const int code = errors.mgr.msg_code;
        jpeg_destroy_decompress(&cinfo);
        reason = code == JERR_OUT_OF_MEMORY || code == JERR_NO_BACKING_STORE ? kNoMemory : kDamaged;
        return false;
    }
    // The memory the header check allowed; beyond it the decoder stops (it has no backing store).
    if (out) cinfo.mem->max_memory_to_use = long(std::min<int64_t>(info.decodeBytes, LONG_MAX));
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    const int64_t w = cinfo.image_width, h = cinfo.image_height;
    int64_t internal = int64_t(8) << 20;  // tables, pools and the rows of one block row
    internal += w * 16 * cinfo.num_components * 8;
    if (jpeg_has_multiple_scans(&cinfo)) internal += (w + 16) * (h + 16) * cinfo.num_components * 2;
    info.format = Format::JPEG;
    info.pages = {PageInfo{int(w), int(h), 8, 0}};
    info.decodeBytes = w * h * 3 + w * 4 + internal;
    if (out) {
        const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
        cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_RGB;
        jpeg_start_decompress(&cinfo);
        out->width = int(w), out->height = int(h), out->channels = 3, out->bits = 8;
        out->s8.resize(size_t(w) * h * 3);
        row.resize(size_t(w) * cinfo.output_components);
        while (cinfo.output_scanline < cinfo.output_height) {
            const size_t y = cinfo.output_scanline;
            JSAMPROW r = row.data();
            jpeg_read_scanlines(&cinfo, &r, 1);
            uint8_t* dst = &out->s8[y * w * 3];
            if (!cmyk) {
                std::memcpy(dst, row.data(), size_t(w) * 3);
            } else {
                for (int64_t x = 0; x < w; ++x) {
                    const uint8_t* p = &row[4 * x];
                    // Stored CMYK as the toolkit has always shown it: c k / 255, rounded up.
                    for (int c = 0; c < 3; ++c) dst[3 * x + c] = static_cast<uint8_t>((p[c] * p[3] + 254) / 255);
                }
            }
        }
        jpeg_finish_decompress(&cinfo);
        out->warning = errors.warning;
    }
    jpeg_destroy_decompress(&cinfo);
    return true;
}

// ---- TIFF ----

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
    Tiff(const std::string& path, int64_t maxAlloc) {
        TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
        if (!opts) return;
        TIFFOpenOptionsSetErrorHandlerExtR(opts, tiffError, &reports);
        TIFFOpenOptionsSetWarningHandlerExtR(opts, tiffWarning, &reports);
        if (maxAlloc > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t(maxAlloc));
        t = TIFFOpenExt(path.c_str(), "r", opts);
        TIFFOpenOptionsFree(opts);
    }
    ~Tiff() {
        if (t) TIFFClose(t);
    }
    Tiff(const Tiff&) = delete;
    Tiff& operator=(const Tiff&) = delete;
};

// How the current directory is read: at full depth, sample by sample (native), or
// through the library's RGBA reader (8-bit, every other kind of TIFF).
struct TiffLayout {
    uint32_t w = 0, h = 0;  // as stored
    uint16_t bits = 1, samples = 1, photometric = 0, planar = 1, extra = 0, extraKind = 0;
    uint16_t format = SAMPLEFORMAT_UINT;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    bool known = false;  // kind holds the samples' kind (else they are of no kind read natively)
    Samples kind = Samples::Unsigned8;
    bool native = false;
    bool tiled = false;
    bool alpha() const { return extra > 0; }
    bool inScanlines() const { return !tiled && planar == PLANARCONFIG_CONTIG; }
};
// The kind of samples of bits bits in sample format format, if it is one read natively.
// (Signed 8-bit samples are copied as unsigned, as they always were.)
bool sampleKind(uint16_t bits, uint16_t format, Samples& kind) {
    const bool integer = format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID;
    if (bits == 8 && (integer || format == SAMPLEFORMAT_INT)) return kind = Samples::Unsigned8, true;
    if (bits == 16 && integer) return kind = Samples::Unsigned16, true;
    if (bits == 16 && format == SAMPLEFORMAT_INT) return kind = Samples::Signed16, true;
    if (bits == 32 && integer) return kind = Samples::Unsigned32, true;
    if (bits == 32 && format == SAMPLEFORMAT_INT) return kind = Samples::Signed32, true;
    if (bits == 32 && format == SAMPLEFORMAT_IEEEFP) return kind = Samples::Float32, true;
    return false;
}
TiffLayout layoutOf(TIFF* t) {
    TiffLayout l;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &l.w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &l.h);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &l.bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &l.samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &l.planar);
    TIFFGetFieldDefaulted(t, TIFFTAG_ORIENTATION, &l.orientation);
    if (l.orientation < ORIENTATION_TOPLEFT || l.orientation > ORIENTATION_LEFTBOT) l.orientation = ORIENTATION_TOPLEFT;
    if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &l.photometric)) l.photometric = l.samples >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &l.format);
    uint16_t* kinds = nullptr;
    if (TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &l.extra, &kinds) && l.extra > 0 && kinds) l.extraKind = kinds[0];
    const bool grey = l.photometric == PHOTOMETRIC_MINISBLACK && (l.samples == 1 || l.samples == 2);
    const bool rgb = l.photometric == PHOTOMETRIC_RGB && (l.samples == 3 || l.samples == 4);
    if (rgb && l.samples == 4 && l.extra == 0) l.extra = 1;  // a fourth sample is alpha
    if (grey && l.samples == 2 && l.extra == 0) l.extra = 1;
    l.tiled = TIFFIsTiled(t) != 0;
    l.known = sampleKind(l.bits, l.format, l.kind);
    l.native = (grey || rgb) && l.known;
    return l;
}
int64_t tiffDecodeBytes(TIFF* t, const TiffLayout& l) {
    const int64_t pixels = int64_t(l.w) * l.h;
    // RGBA: the library's raster and the page
    if (!l.native) return 8 * pixels + (1 << 20);
    // native: the page and the strip buffer; in tiles or planes the page as stored and as
    // shown, and the library's and our tile (or the library's strip of one plane)
    const int64_t page = pixels * l.samples * (l.bits / 8);
    if (l.inScanlines()) return 2 * page + (1 << 20);
    return 2 * page + (l.tiled ? 2 * int64_t(TIFFTileSize64(t)) : page) + (1 << 20);
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

// Where a stored page's pixels go when it is shown as its Orientation says: stored row r,
// column c lands at pixel base(r) + c * step() of the shown page.
struct Placement {
    uint32_t w = 0, h = 0;  // as stored
    uint16_t orientation = ORIENTATION_TOPLEFT;
    bool transposed() const { return orientation >= ORIENTATION_LEFTTOP; }
    uint32_t shownWidth() const { return transposed() ? h : w; }
    uint32_t shownHeight() const { return transposed() ? w : h; }
    // The shown row (or column, when transposed) that stored row r becomes.
    uint32_t line(uint32_t r) const {
        const bool reversed = orientation == ORIENTATION_BOTRIGHT || orientation == ORIENTATION_BOTLEFT ||
                              orientation == ORIENTATION_RIGHTTOP || orientation == ORIENTATION_RIGHTBOT;
        return reversed ? h - 1 - r : r;
    }
    ptrdiff_t base(uint32_t r) const {
        const ptrdiff_t width = shownWidth(), y = line(r);
        switch (orientation) {
            case ORIENTATION_TOPRIGHT:
            case ORIENTATION_BOTRIGHT: return y * width + (w - 1);  // the row runs right to left
            case ORIENTATION_LEFTTOP:
            case ORIENTATION_RIGHTTOP: return y;  // the row runs down column y
            case ORIENTATION_RIGHTBOT:
            case ORIENTATION_LEFTBOT: return ptrdiff_t(w - 1) * width + y;  // ... up column y
            default: return y * width;
        }
    }
    ptrdiff_t step() const {
        switch (orientation) {
            case ORIENTATION_TOPRIGHT:
            case ORIENTATION_BOTRIGHT: return -1;
            case ORIENTATION_LEFTTOP:
            case ORIENTATION_RIGHTTOP: return ptrdiff_t(shownWidth());
            case ORIENTATION_RIGHTBOT:
            case ORIENTATION_LEFTBOT: return -ptrdiff_t(shownWidth());
            default: return 1;
        }
    }
};

// Copies stored row r (channels samples a pixel) into the shown page.
template <class T>
void place(const T* row, uint32_t r, int channels, const Placement& pl, T* page) {
    const ptrdiff_t base = pl.base(r), step = pl.step();
    if (step == 1) {
        std::memcpy(page + base * channels, row, sizeof(T) * pl.w * channels);
        return;
    }
    for (uint32_t c = 0; c < pl.w; ++c, row += channels)
        std::copy(row, row + channels, page + (base + c * step) * channels);
}

// Reads a native page: row by row (straight into the page when it needs no turning), or
// stored in tiles or in one plane per sample, rows or tiles of a plane at a time. The rows
// of the pieces that cannot be read stay zero and are marked in lostRows. False if the
// pieces are not of the size the page's samples need.
template <class T>
bool readNative(TIFF* t, const TiffLayout& l, const Placement& pl, std::vector<T>& page,
                std::vector<bool>& lostRows) {
    const bool separate = l.planar == PLANARCONFIG_SEPARATE;
    const int planes = separate ? l.samples : 1, perPixel = separate ? 1 : l.samples;
    uint32_t tw = l.w, th = 1;
    if (l.tiled && !(TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw) && TIFFGetField(t, TIFFTAG_TILELENGTH, &th))) return false;
    const int64_t pieceBytes = l.tiled ? int64_t(TIFFTileSize64(t)) : int64_t(TIFFScanlineSize64(t));
    if (tw == 0 || th == 0 || pieceBytes != int64_t(tw) * th * perPixel * int64_t(sizeof(T))) return false;
    const size_t rowSamples = size_t(l.w) * l.samples;
    const bool inPlace = pl.orientation == ORIENTATION_TOPLEFT;
    const bool wholeRows = !l.tiled && !separate;  // each piece is one stored row as it is
    std::vector<T> piece(wholeRows && inPlace ? 0 : size_t(tw) * th * perPixel);
    page.assign(rowSamples * l.h, 0);
    std::vector<T> storedPage;  // pieces gathered before the page is turned
    std::vector<T>& stored = inPlace || wholeRows ? page : storedPage;
    if (&stored != &page) stored.assign(rowSamples * l.h, 0);
    for (int s = 0; s < planes; ++s)
        for (uint32_t y0 = 0; y0 < l.h; y0 += th)
            for (uint32_t x0 = 0; x0 < l.w; x0 += tw) {
                const uint32_t rows = std::min(th, l.h - y0), cols = std::min(tw, l.w - x0);
                T* const into = piece.empty() ? &page[y0 * rowSamples] : piece.data();
                const bool ok = l.tiled ? TIFFReadEncodedTile(t, TIFFComputeTile(t, x0, y0, 0, uint16_t(s)), into,
                                                              tmsize_t(pieceBytes)) == pieceBytes
                                        : TIFFReadScanline(t, into, y0, uint16_t(s)) == 1;
                if (!ok) {
                    std::fill(lostRows.begin() + y0, lostRows.begin() + y0 + rows, true);
                    if (piece.empty()) std::fill(into, into + rowSamples, T(0));  // a failed row may be half written
                    continue;
                }
                if (wholeRows) {
                    if (!inPlace) place(into, y0, l.samples, pl, page.data());
                    continue;
                }
                for (uint32_t r = 0; r < rows; ++r) {
                    const T* src = &piece[size_t(r) * tw * perPixel];
                    T* dst = &stored[(size_t(y0 + r) * l.w + x0) * l.samples + s];
                    if (!separate) {
                        std::copy(src, src + size_t(cols) * perPixel, dst);
                        continue;
                    }
                    for (uint32_t c = 0; c < cols; ++c) dst[size_t(c) * l.samples] = src[c];
                }
            }
    if (&stored == &page) return true;
    for (uint32_t r = 0; r < l.h; ++r) place(&stored[r * rowSamples], r, l.samples, pl, page.data());
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

bool tiffHeader(const std::string& path, FileInfo& info, std::string& reason) {
    Tiff tif(path, 0);
    if (!tif.t) return reason = kDamaged, false;
    info.format = Format::TIFF;
    info.pages.clear();
    info.decodeBytes = 0;
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
        info.pages.push_back(PageInfo{int(pl.shownWidth()), int(pl.shownHeight()), l.native ? int(l.bits) : 8,
                                      TIFFCurrentDirOffset(tif.t), l.native ? l.kind : Samples::Unsigned8});
        info.decodeBytes = std::max(info.decodeBytes, tiffDecodeBytes(tif.t, l));
    } while (TIFFReadDirectory(tif.t));
    if (!tif.reports.error.empty()) {  // the chain of pages broke off
        reason = "has a damaged page " + std::to_string(info.pages.size() + 1);
        return false;
    }
    return true;
}

bool tiffPage(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason) {
    Tiff tif(path, info.decodeBytes);
    if (!tif.t || !TIFFSetSubDirectory(tif.t, info.pages[page].tiffOffset)) return reason = kDamaged, false;
    const TiffLayout l = layoutOf(tif.t);
    const Placement pl{l.w, l.h, l.orientation};
    out.width = int(pl.shownWidth()), out.height = int(pl.shownHeight());
    std::vector<bool> lostRows(l.h, false);  // stored rows
    bool ok = true;
    if (l.native) {
        out.channels = l.samples, out.bits = l.bits, out.samples = l.kind;
        ok = l.bits == 32   ? readNative(tif.t, l, pl, out.s32, lostRows)
             : l.bits == 16 ? readNative(tif.t, l, pl, out.s16, lostRows)
                            : readNative(tif.t, l, pl, out.s8, lostRows);
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
    // Rows lost for want of memory are not damage: the page does not decode, as when none is read.
    const bool someLost = std::find(lostRows.begin(), lostRows.end(), true) != lostRows.end();
    const bool noneRead = std::find(lostRows.begin(), lostRows.end(), false) == lostRows.end();
    const bool noMemory = tif.reports.error.find("emory") != std::string::npos;
    if (!ok || (someLost && (noMemory || noneRead))) {
        out = Page();
        reason = noMemory ? kNoMemory : kDamaged;
        return false;
    }
    out.warning = tif.reports.warning;
    if (someLost) {
        out.lostAreColumns = pl.transposed();
        out.lost.assign(pl.transposed() ? out.width : out.height, false);
        for (uint32_t r = 0; r < l.h; ++r) out.lost[pl.line(r)] = lostRows[r];
        if (!tif.reports.error.empty()) addWarning(out.warning, tif.reports.error);
        const size_t pages = info.pages.size();
        const std::string where =
            pages > 1 ? "page " + std::to_string(page + 1) + " of " + std::to_string(pages) + ": " : "";
        addWarning(out.warning, where + lostLines(out.lost, out.lostAreColumns));
    }
    return true;
}

// Why path cannot be opened as a file, or empty.
std::string notAFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return "does not exist or is not a file";
    if (access(path.c_str(), R_OK) != 0) return "cannot be opened for reading";
    if (st.st_size == 0) return "is empty";
    return {};
}

Format sniff(FILE* f) {
    unsigned char b[8] = {};
    const size_t n = std::fread(b, 1, sizeof b, f);
    std::rewind(f);
    if (n >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0) return Format::PNG;
    if (n >= 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff) return Format::JPEG;
    if (n >= 4 && ((b[0] == 'I' && b[1] == 'I' && (b[2] == 42 || b[2] == 43) && b[3] == 0) ||
                   (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && (b[3] == 42 || b[3] == 43))))
        return Format::TIFF;
    return Format::None;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Task {
    int file, page;
};
struct Decoded {
    bool ok = false;
    Page page;
    std::string reason;
};

// Decodes tasks in the background, at most `ahead` past the one taken last; take(i)
// waits for task i. Tasks must be taken in order.
class Pipeline {
public:
    Pipeline(const Plan& p, const std::vector<Task>& tasks, int ahead) : p_(p), tasks_(tasks), ahead_(ahead) {}
    Decoded take(int i) {
        for (; next_ < static_cast<int>(tasks_.size()) && next_ <= i + ahead_; ++next_) pending_.push_back(start(next_));
        Decoded d = pending_.front().get();
        pending_.pop_front();
        return d;
    }

private:
    std::future<Decoded> start(int i) {
        const Task t = tasks_[i];
        const Plan& p = p_;
        return std::async(std::launch::async | std::launch::deferred, [&p, t] {
            Decoded d;
            d.ok = decodePage(p.files[t.file], p.infos[t.file], t.page, d.page, d.reason);
            return d;
        });
    }
    const Plan& p_;
    const std::vector<Task>& tasks_;
    const int ahead_;
    int next_ = 0;
    std::deque<std::future<Decoded>> pending_;
};

std::string who(const Plan& p, const Task& t) {
    const size_t pages = p.infos[t.file].pages.size();
    return quoted(p.files[t.file]) +
           (pages > 1 ? ", page " + std::to_string(t.page + 1) + " of " + std::to_string(pages) + "," : "");
}

// Checks a decoded page against the plan; the refusal message if it does not fit.
std::string misfit(const Plan& p, const Task& t, const Decoded& d) {
    if (!d.ok) return who(p, t) + " " + d.reason + ".";
    if (d.page.width != p.width || d.page.height != p.height)
        return who(p, t) + " is " + std::to_string(d.page.width) + " x " + std::to_string(d.page.height) +
               " pixels, but the stack's first image is " + std::to_string(p.width) + " x " + std::to_string(p.height) +
               ".";
    return {};
}

// Calls f with a function giving sample i of the wide page pg as a number: one instance
// per kind, so that the loops in f choose no kind per sample.
template <class F>
void withValues(const Page& pg, F&& f) {
    switch (pg.samples) {
        case Samples::Unsigned8: return f([&pg](size_t i) { return double(pg.s8[i]); });
        case Samples::Unsigned16: return f([&pg](size_t i) { return double(pg.s16[i]); });
        case Samples::Signed16: return f([&pg](size_t i) { return double(static_cast<int16_t>(pg.s16[i])); });
        case Samples::Unsigned32: return f([&pg](size_t i) { return double(pg.s32[i]); });
        case Samples::Signed32: return f([&pg](size_t i) { return double(static_cast<int32_t>(pg.s32[i])); });
        case Samples::Float32:
            return f([&pg](size_t i) {
                float v;
                std::memcpy(&v, &pg.s32[i], sizeof v);
                return double(v);
            });
    }
}

int colourChannels(int channels) { return channels == 2 || channels == 4 ? channels - 1 : channels; }

// Widens lo..hi to the finite colour samples of the wide page that were read.
void widenRange(const Page& pg, double& lo, double& hi) {
    const int ch = pg.channels, colours = colourChannels(ch);
    const size_t pixels = size_t(pg.width) * pg.height;
    if (pg.samples == Samples::Unsigned16 || pg.samples == Samples::Signed16) {  // in integers: quicker
        const bool signedSamples = pg.samples == Samples::Signed16;
        int least = INT_MAX, most = INT_MIN;
        for (size_t px = 0; px < pixels; ++px)
            for (int c = 0; c < colours && !pg.isLost(px); ++c) {
                const uint16_t u = pg.s16[px * ch + c];
                const int v = signedSamples ? static_cast<int16_t>(u) : u;
                least = std::min(least, v), most = std::max(most, v);
            }
        if (least <= most) lo = std::min(lo, double(least)), hi = std::max(hi, double(most));
        return;
    }
    withValues(pg, [&](auto value) {
        for (size_t px = 0; px < pixels; ++px)
            for (int c = 0; c < colours && !pg.isLost(px); ++c) {
                const double v = value(px * ch + c);
                if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
            }
    });
}

// A wide colour sample on 0..255: (v - lo) * 255 / (hi - lo) rounded down, in double. For
// integers of up to 32 bits this is the integer quotient exactly: numerator and divisor are
// below 2^41 and 2^33, so a quotient that is not a whole number lies at least 2^-33 below
// the next one, while the division's rounding moves it by at most 2^-46. NaN and -inf give 0,
// +inf 255; when hi == lo the value is read against the full range of its kind.
unsigned char mapWide(double v, double lo, double hi, Samples kind) {
    if (std::isnan(v)) return 0;
    if (std::isinf(v)) return v > 0 ? 255 : 0;
    if (hi > lo) return static_cast<unsigned char>(std::clamp((v - lo) * 255 / (hi - lo), 0.0, 255.0));
    switch (kind) {
        case Samples::Unsigned16: return static_cast<unsigned char>(unsigned(v) / 257);
        case Samples::Signed16: return static_cast<unsigned char>(unsigned(v + 32768) / 257);
        case Samples::Unsigned32: return static_cast<unsigned char>(uint32_t(v) / 16843009u);
        case Samples::Signed32: return static_cast<unsigned char>(uint32_t(int64_t(v) + 2147483648) / 16843009u);
        default: return static_cast<unsigned char>(std::clamp(v, 0.0, 1.0) * 255);
    }
}
// 32-bit alpha on 0..255: the high byte of an integer (signed: of the value bits, negative as
// 0; 16-bit alpha alike, in copyLayer), floating-point 0..1 times 255 rounded down.
unsigned char alphaWide(double a, Samples kind) {
    switch (kind) {
        case Samples::Unsigned32: return static_cast<unsigned char>(uint32_t(a) >> 24);
        case Samples::Signed32: return a <= 0 ? 0 : static_cast<unsigned char>(uint32_t(a) >> 23);
        default: return !(a > 0) ? 0 : a >= 1 ? 255 : static_cast<unsigned char>(a * 255);
    }
}

// mapWide of every value of a 16-bit kind, so that its pages are mapped by looking up.
std::vector<unsigned char> table16(Samples kind, double lo, double hi) {
    std::vector<unsigned char> t(65536);
    for (unsigned u = 0; u < t.size(); ++u)
        t[u] = mapWide(kind == Samples::Signed16 ? double(static_cast<int16_t>(u)) : double(u), lo, hi, kind);
    return t;
}

// Copies a page into layer k, wide colour mapped by lo..hi (16-bit kinds by their tables).
void copyLayer(voxelmap& m, int k, const Page& pg, double lo, double hi, const std::vector<unsigned char> (&tables)[2]) {
    voxel* dst = m.voxels.get() + m.index(0, 0, k);
    const size_t pixels = size_t(pg.width) * pg.height;
    const int ch = pg.channels;
    const bool alpha = ch == 2 || ch == 4;
    const bool grey = ch <= 2;
    if (pg.samples == Samples::Unsigned16 || pg.samples == Samples::Signed16) {
        const bool signedSamples = pg.samples == Samples::Signed16;
        const unsigned char* map = tables[signedSamples].data();
        for (size_t n = 0; n < pixels; ++n) {
            const uint16_t* s = &pg.s16[n * ch];
            const unsigned char r = map[s[0]], g = grey ? r : map[s[1]], b = grey ? r : map[s[2]];
            const uint16_t a = alpha ? s[ch - 1] : 0xffff;
            dst[n] = voxel(r, g, b, !alpha ? 255 : signedSamples ? (a & 0x8000 ? 0 : a >> 7) : a >> 8);
        }
    } else if (pg.samples != Samples::Unsigned8) {
        const Samples kind = pg.samples;
        withValues(pg, [&](auto value) {
            auto map = [&](size_t i) { return mapWide(value(i), lo, hi, kind); };
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

}  // namespace

bool hasImageExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    const std::string ext = lower(name.substr(dot + 1));
    return ext == "png" || ext == "jpg" || ext == "jpeg" || ext == "tif" || ext == "tiff";
}

bool naturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && digit(a[ie])) ++ie;
            while (je < b.size() && digit(b[je])) ++je;
            size_t is = i, js = j;  // without leading zeros
            while (is + 1 < ie && a[is] == '0') ++is;
            while (js + 1 < je && b[js] == '0') ++js;
            if (ie - is != je - js) return ie - is < je - js;
            const int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0) return c < 0;
            i = ie, j = je;
        } else {
            if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
            ++i, ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;  // equal but for leading zeros: a fixed order all the same
}

bool expandPaths(const std::vector<std::string>& paths, std::vector<std::string>& files, std::string& problem) {
    files.clear();
    for (const std::string& path : paths) {
        std::error_code ec;
        if (!fs::is_directory(fs::u8path(path), ec)) {
            files.push_back(path);
            continue;
        }
        std::vector<std::string> names;
        for (fs::directory_iterator it(fs::u8path(path), ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().u8string();
            std::error_code e2;
            if (hasImageExtension(name) && fs::is_regular_file(it->path(), e2)) names.push_back(name);
        }
        if (names.empty()) {
            problem = quoted(path) + " is a folder without image files (PNG, JPEG or TIFF).";
            return false;
        }
        std::sort(names.begin(), names.end(), naturalLess);
        const std::string base = !path.empty() && path.back() == '/' ? path : path + "/";
        for (const std::string& n : names) files.push_back(base + n);
    }
    return true;
}

int64_t availableMemory() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    int64_t kb = 0;
    std::string unit;
    while (in >> key >> kb) {
        std::getline(in, unit);
        if (key == "MemAvailable:") return kb * 1024;
    }
    return -1;
}

bool readHeader(const std::string& path, FileInfo& info, std::string& reason) {
    info = FileInfo();
    reason = notAFile(path);
    if (!reason.empty()) return false;
    Format format;
    {
        File f(path);
        if (!f.f) return reason = "cannot be opened for reading", false;
        format = sniff(f.f);
        if (format == Format::PNG) return png(f.f, info, nullptr, reason);
        if (format == Format::JPEG) return jpeg(f.f, info, nullptr, reason);
    }
    if (format == Format::TIFF) return tiffHeader(path, info, reason);
    reason = kDamaged;
    return false;
}

bool decodePage(const std::string& path, const FileInfo& info, int page, Page& out, std::string& reason) {
    out = Page();
    if (page < 0 || page >= static_cast<int>(info.pages.size())) return reason = kDamaged, false;
    try {
        if (info.format == Format::TIFF) return tiffPage(path, info, page, out, reason);
        File f(path);
        if (!f.f) return reason = "cannot be opened for reading", false;
        FileInfo again = info;  // the decoder's limits come from the planned header
        if (sniff(f.f) != info.format) return reason = kDamaged, false;
        if (info.format == Format::PNG) return png(f.f, again, &out, reason);
        if (info.format == Format::JPEG) return jpeg(f.f, again, &out, reason);
    } catch (const std::bad_alloc&) {
        out = Page();
        reason = kNoMemory;
        return false;
    }
    reason = kDamaged;
    return false;
}

bool plan(const std::vector<std::string>& files, Plan& p, std::string& problem, int64_t memoryAvailable) {
    p = Plan();
    p.files = files;
    std::map<std::string, size_t> seen;  // a file named twice is read once
    int64_t layers = 0;
    for (size_t f = 0; f < files.size(); ++f) {
        const std::string& path = files[f];
        const auto hit = seen.find(path);
        if (hit != seen.end()) {
            p.infos.push_back(p.infos[hit->second]);
            layers += static_cast<int64_t>(p.infos.back().pages.size());
            continue;
        }
        FileInfo info;
        std::string reason;
        if (!readHeader(path, info, reason)) {
            problem = quoted(path) + " " + reason + ".";
            return false;
        }
        const bool paged = info.pages.size() > 1;
        for (size_t k = 0; k < info.pages.size(); ++k) {
            const PageInfo& pg = info.pages[k];
            const std::string who =
                paged ? quoted(path) + ", page " + std::to_string(k + 1) + " of " + std::to_string(info.pages.size()) + ","
                      : quoted(path);
            const std::string size = std::to_string(pg.width) + " x " + std::to_string(pg.height);
            if (int64_t(pg.width) * pg.height > kMaxPixels) {
                problem = who + " is " + size + " pixels, larger than the toolkit's images can hold (" +
                          std::to_string(kMaxPixels) + " pixels).";
                return false;
            }
            if (layers == 0 && k == 0) {
                p.width = pg.width, p.height = pg.height;
            } else if (pg.width != p.width || pg.height != p.height) {
                problem = who + " is " + size + " pixels, but the stack's first image is " + std::to_string(p.width) +
                          " x " + std::to_string(p.height) + ".";
                return false;
            }
            p.has16 = p.has16 || pg.bits == 16;
        }
        layers += static_cast<int64_t>(info.pages.size());
        p.decodeBytes = std::max(p.decodeBytes, info.decodeBytes);
        seen.emplace(path, p.infos.size());
        p.infos.push_back(std::move(info));
    }
    if (layers > INT_MAX) {
        problem = "A stack of " + std::to_string(layers) + " images is more than a volume can hold.";
        return false;
    }
    p.layers = static_cast<int>(layers);
    p.inFlight = std::max(2, workerCount()) + 2;
    const unsigned __int128 volume = static_cast<unsigned __int128>(p.width) * unsigned(p.height) * unsigned(p.layers) * 4;
    const unsigned __int128 buffers = static_cast<unsigned __int128>(p.inFlight) * uint64_t(p.decodeBytes);
    const int64_t available = memoryAvailable >= 0 ? memoryAvailable : availableMemory();
    if (available >= 0 && volume + buffers > static_cast<unsigned __int128>(available)) {
        problem = "There is not enough memory for a " + std::to_string(p.width) + " x " + std::to_string(p.height) +
                  " x " + std::to_string(p.layers) + " volume: it needs " + decimal(volume) + " bytes, and " +
                  decimal(buffers) + " more while decoding, but only " + std::to_string(available) +
                  " bytes are available.";
        return false;
    }
    return true;
}

std::string mappingText(const Outcome& o) {
    if (!o.mappedWide) return {};
    const char* kind = "wide";
    const char* const names[] = {"8-bit", "16-bit", "16-bit signed", "32-bit", "32-bit signed", "32-bit float"};
    for (int k = 0; k < 6; ++k)
        if (o.wideKinds == 1u << k) kind = names[k];
    char range[64];
    if (o.wideKinds & (1u << int(Samples::Float32)))
        std::snprintf(range, sizeof range, "%g..%g", o.wideLo, o.wideHi);
    else
        std::snprintf(range, sizeof range, "%lld..%lld", static_cast<long long>(o.wideLo), static_cast<long long>(o.wideHi));
    return std::string(kind) + " samples " + range + " mapped to 0..255";
}

Outcome build(const Plan& p, voxelmap& into, const std::function<bool(int)>& progress) {
    Outcome o;
    into.clear();
    std::vector<Task> tasks, wide;
    for (size_t f = 0; f < p.files.size(); ++f)
        for (size_t k = 0; k < p.infos[f].pages.size(); ++k) {
            tasks.push_back({int(f), int(k)});
            if (p.infos[f].pages[k].samples != Samples::Unsigned8) wide.push_back({int(f), int(k)});
        }
    const int ahead = p.inFlight - 2;
    // First the range of the wide samples: their pages are decoded once for it alone,
    // so no more than a few pages are held at a time.
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    if (!wide.empty()) {
        Pipeline pipe(p, wide, ahead);
        for (int i = 0; i < static_cast<int>(wide.size()); ++i) {
            const Decoded d = pipe.take(i);
            o.problem = misfit(p, wide[i], d);
            if (!o.problem.empty()) return o;
            if (d.page.samples != Samples::Unsigned8) {
                widenRange(d.page, lo, hi);
                o.wideKinds |= 1u << int(d.page.samples);
            }
            if (!progress(0)) return o.cancelled = true, o;
        }
        if (lo > hi) lo = hi = 0;  // no finite sample
        o.mappedWide = true, o.wideLo = lo, o.wideHi = hi;
        if (o.wideKinds == 1u << int(Samples::Unsigned16)) o.mapped16 = true, o.lo = unsigned(lo), o.hi = unsigned(hi);
    }
    if (!into.allocate(p.width, p.height, p.layers)) {
        const unsigned __int128 bytes = static_cast<unsigned __int128>(p.width) * unsigned(p.height) * unsigned(p.layers) * 4;
        o.problem = "There is not enough memory for a " + std::to_string(p.width) + " x " + std::to_string(p.height) +
                    " x " + std::to_string(p.layers) + " volume: it needs " + decimal(bytes) + " bytes.";
        return o;
    }
    std::vector<unsigned char> tables[2];  // for unsigned and signed 16-bit pages
    for (const Samples kind : {Samples::Unsigned16, Samples::Signed16})
        if (o.wideKinds & (1u << int(kind))) tables[kind == Samples::Signed16] = table16(kind, lo, hi);
    std::vector<std::string> warned(p.files.size());
    Pipeline pipe(p, tasks, ahead);
    for (int i = 0; i < static_cast<int>(tasks.size()); ++i) {
        const Decoded d = pipe.take(i);
        o.problem = misfit(p, tasks[i], d);
        if (!o.problem.empty()) break;
        copyLayer(into, i, d.page, lo, hi, tables);
        if (!d.page.warning.empty()) addWarning(warned[tasks[i].file], d.page.warning);
        if (!progress(i)) {
            o.cancelled = true;
            break;
        }
    }
    if (!o.problem.empty() || o.cancelled) {
        into.clear();
        return o;
    }
    std::map<std::string, bool> listed;
    for (size_t f = 0; f < p.files.size(); ++f)
        if (!warned[f].empty() && !listed[p.files[f]]) {
            listed[p.files[f]] = true;
            o.warnings.push_back(quoted(p.files[f]) + ": " + warned[f]);
        }
    return o;
}

}  // namespace stackio
