// originals: the samples a wide or calibrated stack was loaded from, kept beside the RGBA
// volume so that the volume can be made again with another window (lo..hi in the samples'
// own values) without reading the files.
//
// A layer's value is slope * stored + intercept (CT: Hounsfield units). A window maps each
// colour value v onto 0..255: 0 where v <= lo, 255 where v >= hi, else (v - lo) * 255 /
// (hi - lo) rounded down (in double; NaN 0); an inverted layer (low values bright) gives
// 255 minus that. Over the full range this is exactly what the load made. Alpha is kept
// as the load made it, one byte a voxel, and only when the stack has alpha: it does not
// depend on the window.
//
// What it costs beside the volume, per voxel and colour channel (grey: 1, RGB: 3): 1 byte
// for 8-bit samples, 2 for 16-bit, 4 for 32-bit integer and float, 8 for 64-bit samples
// and stacks that mix wide kinds (held as double); plus 1 byte a voxel when the stack has alpha.
//
// No window code here: the shell owns one Originals and calls remap, autoWindow, valueText.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bigblock.h"
#include "samples.h"
#include "voxel.h"

// How samples are held (and what kind a layer's samples are): the readers' kinds (samples.h).
using Held = Samples;
// Bytes of one held sample.
int bytesOf(Held held);

struct OriginalLayer {
    Held kind = Held::Unsigned16;  // the samples' own kind (a stack of mixed kinds holds them as F64)
    int channels = 1;       // colour samples a voxel: 1 (grey) or 3 (RGB)
    double slope = 1, intercept = 0;
    bool invert = false;    // low values bright
    bool copied = false;    // 8-bit samples of a mixed stack: copied as they are, no window
    // Rows (or columns, when lostAreColumns) that could not be read: transparent black.
    std::vector<bool> lost;
    bool lostAreColumns = false;
    size_t offset = 0;      // first sample in the held array (set by allocate)

    double value(double stored) const { return slope * stored + intercept; }
};

class Originals {
public:
    int width = 0, height = 0, depth = 0;
    Held held = Held::Unsigned16;
    std::vector<OriginalLayer> layers;  // one per z layer
    BigArray<unsigned char> samples;  // layer by layer, interleaved colour samples
    BigArray<unsigned char> alpha;    // one byte a voxel as loaded; null: opaque
    std::string valueUnit;  // "HU", or empty
    double lo = 0, hi = 0;  // the full range of the values: the window a load makes

    // Bytes kept for w x h x d voxels of `channels` colour samples held as held, with
    // an alpha byte a voxel when withAlpha: what the memory check of a load counts.
    static int64_t bytesFor(Held held, int64_t voxels, int channels, bool withAlpha);
    // Sets the size and the layers (their offsets) and allocates the samples (and the
    // alpha bytes when withAlpha); false, leaving it empty, when memory cannot be had.
    bool allocate(int w, int h, Held how, std::vector<OriginalLayer> layerList, bool withAlpha);
    bool empty() const { return !samples; }
    int64_t bytes() const;

    // The held samples of layer k.
    template <class T>
    T* data(int k) { return reinterpret_cast<T*>(samples.get()) + layers[size_t(k)].offset; }
    template <class T>
    const T* data(int k) const { return reinterpret_cast<const T*>(samples.get()) + layers[size_t(k)].offset; }

    // Writes the volume of window lo..hi into out (width * height * depth voxels), on all
    // cores; grey floats and 32-bit integers four at a time where the machine has AVX2 (and
    // cpu.h's vectorUnitsOff() is not set: the same bytes either way). lo == hi is the full range of a stack of one value: each sample read against
    // its kind's whole range, as a load does.
    void remap(double windowLo, double windowHi, voxel* out) const;
    // The window that saturates 0.35 % of the colour samples, half at each end (NaN and
    // infinities, lost rows and copied layers left out); false when the samples do not
    // spread (then lo..hi is the full range).
    bool autoWindow(double& windowLo, double& windowHi) const;
    // Whether voxel (i, j, k) has values (inside, not lost).
    bool hasValue(int i, int j, int k) const;
    // Colour value c of voxel (i, j, k).
    double value(int i, int j, int k, int c) const;
    // The value of voxel (i, j, k) with its unit: "-76 HU", "977", "0.42"; RGB: "12, 40, 7".
    // Empty outside or where nothing was read.
    std::string valueText(int i, int j, int k) const;
};

// The window's formula, its one definition: a value v on 0..255 in window lo..hi (hi > lo):
// 0 where v <= lo, 255 where v >= hi, else (v - lo) * 255 / (hi - lo) rounded down, in
// double; NaN gives 0. For integers of up to 32 bits the double quotient is the integer
// quotient exactly: numerator and divisor stay below 2^41 and 2^33.
inline unsigned char windowByte(double v, double lo, double hi) {
    if (std::isnan(v)) return 0;
    return static_cast<unsigned char>(std::clamp((v - lo) * 255 / (hi - lo), 0.0, 255.0));
}
// A stored sample on 0..255 when the window is a stack of one value (lo == hi): read against
// its kind's whole range, as the load reads it (16 bits: / 257; floating point: 0..1). NaN
// gives 0, infinities 0 and 255.
inline unsigned char wholeRangeByte(double v, Held kind) {
    if (std::isnan(v)) return 0;
    if (std::isinf(v)) return v > 0 ? 255 : 0;
    switch (kind) {
        case Held::Unsigned8: return static_cast<unsigned char>(v);
        case Held::Signed8: return static_cast<unsigned char>(v + 128);
        case Held::Unsigned16: return static_cast<unsigned char>(unsigned(v) / 257);
        case Held::Signed16: return static_cast<unsigned char>(unsigned(v + 32768) / 257);
        case Held::Unsigned32: return static_cast<unsigned char>(uint32_t(v) / 16843009u);
        case Held::Signed32: return static_cast<unsigned char>(uint32_t(int64_t(v) + 2147483648) / 16843009u);
        case Held::Unsigned64: return static_cast<unsigned char>(std::clamp(v / 72340172838076673.0, 0.0, 255.0));
        case Held::Signed64:
            return static_cast<unsigned char>(std::clamp((v + 9223372036854775808.0) / 72340172838076673.0, 0.0, 255.0));
        default: return static_cast<unsigned char>(std::clamp(v, 0.0, 1.0) * 255);
    }
}

// A value as the status bar writes it: whole numbers without a point, others to six digits.
std::string formatValue(double v);
