// tiffpixels: how the TIFF reader reads a page's pixels, whole or in bands: the layout of
// the current directory, premultiplied colour back to stored colour, and stored rows placed
// as the page's Orientation shows them.
#pragma once

#include <tiffio.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "format.h"

namespace formats {

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
inline bool sampleKind(uint16_t bits, uint16_t format, Samples& kind) {
    const bool integer = format == SAMPLEFORMAT_UINT || format == SAMPLEFORMAT_VOID;
    if (bits == 8 && (integer || format == SAMPLEFORMAT_INT)) return kind = Samples::Unsigned8, true;
    if (bits == 16 && integer) return kind = Samples::Unsigned16, true;
    if (bits == 16 && format == SAMPLEFORMAT_INT) return kind = Samples::Signed16, true;
    if (bits == 32 && integer) return kind = Samples::Unsigned32, true;
    if (bits == 32 && format == SAMPLEFORMAT_INT) return kind = Samples::Signed32, true;
    if (bits == 32 && format == SAMPLEFORMAT_IEEEFP) return kind = Samples::Float32, true;
    return false;
}
inline TiffLayout layoutOf(TIFF* t) {
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
inline void unpremultiplyFloat(std::vector<uint32_t>& s, int channels) {
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
inline void unpremultiplyWide(Page& pg) {
    switch (pg.samples) {
        case Samples::Signed16: return unpremultiplyInteger<int16_t>(pg.s16, pg.channels);
        case Samples::Unsigned32: return unpremultiplyInteger<uint32_t>(pg.s32, pg.channels);
        case Samples::Signed32: return unpremultiplyInteger<int32_t>(pg.s32, pg.channels);
        case Samples::Float32: return unpremultiplyFloat(pg.s32, pg.channels);
        default: return;
    }
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

}  // namespace formats
