// widemap: wide samples onto 0..255. Over all wide pages of a stack, lo and hi are the
// smallest and largest colour value (alpha excluded, all channels together, NaN and
// infinities left out); a colour value v becomes (v - lo) x 255 / (hi - lo) rounded down.
// A value is the stored sample times the page's slope plus its intercept; a page that
// inverts shows 255 minus the mapped byte. Wide alpha keeps its high byte (floating-point
// alpha: 0..1 onto 0..255). 8-bit pages that neither rescale nor invert are copied.
#pragma once

#include <map>
#include <tuple>
#include <vector>

#include "formats/format.h"

class voxelmap;

namespace widemap {

using formats::Page;
using formats::Samples;

// Whether a page of so many samples a pixel has alpha (grey and alpha, RGBA), and how
// many of them are colour.
inline bool hasAlpha(int channels) { return channels == 2 || channels == 4; }
inline int colourChannels(int channels) { return hasAlpha(channels) ? channels - 1 : channels; }

// Widens lo..hi to the finite colour values of the wide page that were read.
void widenRange(const Page& pg, double& lo, double& hi);

// A wide colour value on 0..255: the window's formula (originals.h's windowByte: (v - lo) *
// 255 / (hi - lo) rounded down, in double; NaN and -inf give 0, +inf 255), or, when hi ==
// lo, v as the stored sample read against the full range of its kind (wholeRangeByte).
unsigned char mapWide(double v, double lo, double hi, Samples kind);

// The mapped byte of every stored value of a 16-bit page (its kind, slope, intercept and
// inversion), so that its samples are mapped by looking up.
std::vector<unsigned char> table16(const Page& pg, double lo, double hi);

// Copies a page into layer k: 8-bit pages as they are, wide ones mapped by lo..hi (16-bit
// ones through table, made by table16 for this page). Lost lines become transparent black.
// A page of fewer rows (a band) goes to rows y0 on.
void copyLayer(voxelmap& m, int k, const Page& pg, double lo, double hi, const std::vector<unsigned char>& table,
               int y0 = 0);

// The tables of a stack's 16-bit pages, one for each kind and meaning of the samples (kind,
// slope, intercept, inversion), each made once, on first use, for the one lo..hi of the stack.
class Tables16 {
public:
    // The table copyLayer takes for pg: empty when pg is not 16-bit.
    const std::vector<unsigned char>& of(const Page& pg, double lo, double hi);

private:
    std::map<std::tuple<Samples, double, double, bool>, std::vector<unsigned char>> tables_;
    std::vector<unsigned char> none_;  // stays empty
};

}  // namespace widemap
