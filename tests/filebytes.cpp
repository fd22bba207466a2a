// Image files written byte by byte, so the tests control every header field.
#include "filebytes.h"

#include <algorithm>

namespace filebytes {

void put8(Bytes& b, unsigned v) { b.push_back(static_cast<char>(v & 0xff)); }
void putBE16(Bytes& b, unsigned v) { put8(b, v >> 8), put8(b, v); }
void putBE32(Bytes& b, uint32_t v) { putBE16(b, v >> 16), putBE16(b, v & 0xffff); }
void putLE16(Bytes& b, unsigned v) { put8(b, v), put8(b, v >> 8); }
void putLE32(Bytes& b, uint32_t v) { putLE16(b, v & 0xffff), putLE16(b, v >> 16); }

// ---- PNG, written by hand: any colour type and depth, stored (uncompressed) deflate ----

uint32_t crc32(const Bytes& data) {
    static uint32_t table[256];
    static bool made = false;
    if (!made) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        made = true;
    }
    uint32_t c = 0xffffffffu;
    for (unsigned char ch : data) c = table[(c ^ ch) & 0xff] ^ (c >> 8);
    return c ^ 0xffffffffu;
}

Bytes pngChunk(const char* type, const Bytes& data) {
    Bytes body = Bytes(type, 4) + data;
    Bytes out;
    putBE32(out, static_cast<uint32_t>(data.size()));
    out += body;
    putBE32(out, crc32(body));
    return out;
}

// A zlib stream of stored blocks holding raw.
Bytes zlibStored(const Bytes& raw) {
    Bytes out("\x78\x01", 2);
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(65535, raw.size() - pos);
        put8(out, pos + n == raw.size() ? 1 : 0);  // BFINAL, BTYPE 00
        putLE16(out, static_cast<unsigned>(n));
        putLE16(out, static_cast<unsigned>(~n & 0xffff));
        out += raw.substr(pos, n);
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char ch : raw) a = (a + ch) % 65521, b = (b + a) % 65521;
    putBE32(out, (b << 16) | a);
    return out;
}

// rows: the unfiltered scanlines (the filter byte 0 is added here); extra: chunks between IHDR and IDAT.
Bytes png(uint32_t w, uint32_t h, int depth, int colourType, const std::vector<Bytes>& rows, const Bytes& extra) {
    Bytes ihdr;
    putBE32(ihdr, w);
    putBE32(ihdr, h);
    put8(ihdr, depth);
    put8(ihdr, colourType);
    put8(ihdr, 0), put8(ihdr, 0), put8(ihdr, 0);  // deflate, adaptive filtering, no interlace
    Bytes raw;
    for (const Bytes& r : rows) raw += '\0' + r;
    return Bytes("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr) + extra + pngChunk("IDAT", zlibStored(raw)) +
           pngChunk("IEND", "");
}

// ---- JPEG, written by hand: baseline, every 8 x 8 block flat mid-grey (DC 0, no AC) ----

// components: 1 (grey) or 4 (CMYK, with an Adobe marker saying "no transform").
Bytes flatJpeg(int w, int h, int components, bool progressive) {
    Bytes j("\xff\xd8", 2);
    if (components == 4) {
        j += "\xff\xee";
        putBE16(j, 14);
        j += "Adobe";
        putBE16(j, 100), putBE16(j, 0), putBE16(j, 0);
        put8(j, 0);  // transform 0: the samples are CMYK as they stand
    }
    j += "\xff\xdb";
    putBE16(j, 67);
    put8(j, 0);
    for (int i = 0; i < 64; ++i) put8(j, 1);
    j += progressive ? "\xff\xc2" : "\xff\xc0";
    putBE16(j, 8 + 3 * components);
    put8(j, 8);
    putBE16(j, h), putBE16(j, w);
    put8(j, components);
    for (int c = 1; c <= components; ++c) put8(j, c), put8(j, 0x11), put8(j, 0);
    // One-symbol Huffman tables: the 1-bit code 0 means "DC difference 0" and "end of block".
    for (int tableClass : {0x00, 0x10}) {
        j += "\xff\xc4";
        putBE16(j, 2 + 17 + 1);
        put8(j, tableClass);
        put8(j, 1);
        for (int i = 1; i < 16; ++i) put8(j, 0);
        put8(j, 0);
    }
    j += "\xff\xda";
    putBE16(j, 6 + 2 * components);
    put8(j, components);
    for (int c = 1; c <= components; ++c) put8(j, c), put8(j, 0);
    put8(j, 0), put8(j, progressive ? 0 : 63), put8(j, 0);  // a progressive scan of DC only
    if (progressive) return j + "\xff\xd9";                 // the header alone
    const int blocks = ((w + 7) / 8) * ((h + 7) / 8) * components;
    const int bits = 2 * blocks;  // two zero bits per block
    for (int i = 0; i < bits / 8; ++i) put8(j, 0);
    if (bits % 8) put8(j, 0xff >> (bits % 8));  // padded with ones
    j += "\xff\xd9";
    return j;
}

// ---- TIFF, written by hand: uncompressed, little-endian ----

namespace {

int rowsPerStrip(const TiffPage& p) { return p.rowsPerStrip > 0 ? std::min(p.rowsPerStrip, p.h) : p.h; }
int planes(const TiffPage& p) { return p.planes ? p.samples : 1; }
// Strips (or tiles) of one plane, and of the page.
uint32_t piecesPerPlane(const TiffPage& p) {
    if (p.tile > 0) return uint32_t(((p.w + p.tile - 1) / p.tile) * ((p.h + p.tile - 1) / p.tile));
    return uint32_t((p.h + rowsPerStrip(p) - 1) / rowsPerStrip(p));
}
uint32_t stripCount(const TiffPage& p) { return piecesPerPlane(p) * uint32_t(planes(p)); }
uint32_t sampleBytes(const TiffPage& p) { return uint32_t(p.bits / 8); }

// Sample s of pixel (x, y) as stored.
Bytes sampleAt(const TiffPage& p, int x, int y, int s) {
    const size_t i = (size_t(y) * p.w + x) * p.samples + s;
    Bytes b;
    if (p.bits <= 16) {
        p.bits == 16 ? putLE16(b, p.data[i]) : put8(b, p.data[i]);
    } else {
        for (uint32_t k = 0; k < sampleBytes(p) / 4; ++k) putLE32(b, p.data32[i * (sampleBytes(p) / 4) + k]);
    }
    return b;
}
// The page's strips or tiles in file order (plane by plane); tiles past the edge hold zeros.
std::vector<Bytes> piecesOf(const TiffPage& p) {
    std::vector<Bytes> pieces;
    const int perPixel = p.planes ? 1 : p.samples;
    for (int plane = 0; plane < planes(p); ++plane) {
        auto pixel = [&](int x, int y) {
            Bytes b;
            for (int s = 0; s < perPixel; ++s)
                b += x < p.w && y < p.h ? sampleAt(p, x, y, plane + s) : Bytes(sampleBytes(p), '\0');
            return b;
        };
        if (p.tile > 0) {
            for (int y0 = 0; y0 < p.h; y0 += p.tile)
                for (int x0 = 0; x0 < p.w; x0 += p.tile) {
                    Bytes t;
                    for (int y = y0; y < y0 + p.tile; ++y)
                        for (int x = x0; x < x0 + p.tile; ++x) t += pixel(x, y);
                    pieces.push_back(t);
                }
            continue;
        }
        for (int y0 = 0; y0 < p.h; y0 += rowsPerStrip(p)) {
            Bytes strip;
            for (int y = y0; y < std::min(p.h, y0 + rowsPerStrip(p)); ++y)
                for (int x = 0; x < p.w; ++x) strip += pixel(x, y);
            pieces.push_back(strip);
        }
    }
    return pieces;
}
bool plainStrips(const TiffPage& p) { return p.tile <= 0 && !p.planes; }
// Plain strips: the data as given (which may be shorter than the page); otherwise the pieces.
Bytes pixelData(const TiffPage& p) {
    Bytes b;
    if (plainStrips(p)) {
        for (uint16_t v : p.data) p.bits == 16 ? putLE16(b, v) : put8(b, v);
        for (uint32_t v : p.data32) putLE32(b, v);
        return b;
    }
    for (const Bytes& piece : piecesOf(p)) b += piece;
    return b;
}
// The sizes of the pieces as the directory states them.
std::vector<uint32_t> pieceSizes(const TiffPage& p) {
    std::vector<uint32_t> sizes;
    if (!plainStrips(p)) {
        for (const Bytes& piece : piecesOf(p)) sizes.push_back(static_cast<uint32_t>(piece.size()));
        return sizes;
    }
    if (!p.stripBytes.empty()) return p.stripBytes;
    const uint32_t rowBytes = uint32_t(uint64_t(p.w) * p.samples * sampleBytes(p));
    for (int y0 = 0; y0 < p.h; y0 += rowsPerStrip(p)) sizes.push_back(rowBytes * uint32_t(std::min(rowsPerStrip(p), p.h - y0)));
    return sizes;
}

struct TiffEntry {
    uint16_t tag, type;
    uint32_t count, value;
};
uint32_t shorts(const TiffPage& p, unsigned v) {  // a SHORT per sample, held in the entry when they fit
    return p.samples == 1 ? v : p.samples == 2 ? v * 0x10001u : 0;
}
std::vector<TiffEntry> entriesOf(const TiffPage& p) {
    const uint16_t offsets = p.tile > 0 ? 324 : 273, counts = p.tile > 0 ? 325 : 279;
    std::vector<TiffEntry> e = {
        {256, 4, 1, static_cast<uint32_t>(p.w)},
        {257, 4, 1, static_cast<uint32_t>(p.h)},
        {258, 3, static_cast<uint32_t>(p.samples), shorts(p, unsigned(p.bits))},
        {259, 3, 1, 1},
        {262, 3, 1, p.photometric >= 0 ? uint32_t(p.photometric) : p.samples <= 2 ? 1u : 2u},
        {offsets, 4, stripCount(p), 0},
        {277, 3, 1, static_cast<uint32_t>(p.samples)},
        {counts, 4, stripCount(p), 0},
        {284, 3, 1, p.planes ? 2u : 1u},
    };
    if (p.tile > 0)
        e.insert(e.end(), {{322, 4, 1, uint32_t(p.tile)}, {323, 4, 1, uint32_t(p.tile)}});
    else
        e.push_back({278, 4, 1, static_cast<uint32_t>(rowsPerStrip(p))});
    if (p.orientation) e.push_back({274, 3, 1, p.orientation});
    if (p.samples == 2 || p.samples == 4) e.push_back({338, 3, 1, p.extra});
    if (p.sampleFormat) e.push_back({339, 3, static_cast<uint32_t>(p.samples), shorts(p, p.sampleFormat)});
    std::sort(e.begin(), e.end(), [](const TiffEntry& a, const TiffEntry& b) { return a.tag < b.tag; });
    return e;
}
// The arrays a page's directory points at, then the directory (its next link 0).
size_t directorySize(const TiffPage& p) {
    const uint32_t strips = stripCount(p);
    return 2 * p.samples * (p.sampleFormat ? 2 : 1) + (strips > 1 ? 8 * strips : 0) + 6 + 12 * entriesOf(p).size();
}
// Appends the page's directory (its strips from dataAt on) to t; returns where its next link is.
size_t putDirectory(Bytes& t, const TiffPage& p, uint32_t dataAt, size_t link) {
    std::vector<TiffEntry> e = entriesOf(p);
    const uint32_t strips = stripCount(p);
    auto tagged = [&e](uint16_t tag) -> TiffEntry& {
        return *std::find_if(e.begin(), e.end(), [tag](const TiffEntry& x) { return x.tag == tag; });
    };
    if (p.samples > 2) tagged(258).value = static_cast<uint32_t>(t.size());
    for (int s = 0; s < p.samples; ++s) putLE16(t, p.bits);  // (with one or two samples, unused)
    if (p.sampleFormat) {
        if (p.samples > 2) tagged(339).value = static_cast<uint32_t>(t.size());
        for (int s = 0; s < p.samples; ++s) putLE16(t, p.sampleFormat);
    }
    const uint16_t offsets = p.tile > 0 ? 324 : 273, counts = p.tile > 0 ? 325 : 279;
    const std::vector<uint32_t> sizes = pieceSizes(p);
    if (strips == 1) {
        tagged(offsets).value = dataAt, tagged(counts).value = sizes[0];
    } else {
        tagged(offsets).value = static_cast<uint32_t>(t.size());
        for (uint32_t s = 0, at = dataAt; s < strips; at += sizes[s++]) putLE32(t, at);
        tagged(counts).value = static_cast<uint32_t>(t.size());
        for (uint32_t size : sizes) putLE32(t, size);
    }
    const uint32_t ifd = static_cast<uint32_t>(t.size());
    for (int k = 0; k < 4; ++k) t[link + k] = static_cast<char>((ifd >> (8 * k)) & 0xff);
    putLE16(t, static_cast<unsigned>(e.size()));
    for (const TiffEntry& x : e) {
        putLE16(t, x.tag), putLE16(t, x.type), putLE32(t, x.count);
        if (x.type == 3 && x.count == 1)
            putLE16(t, x.value), putLE16(t, 0);
        else
            putLE32(t, x.value);
    }
    putLE32(t, 0);
    return t.size() - 4;
}

}  // namespace

Bytes tiff(const std::vector<TiffPage>& pages, bool shareFirstStrip, bool directoriesFirst) {
    Bytes t("II*\0", 4);
    putLE32(t, 0);    // first IFD, patched by the first directory
    size_t link = 4;  // where the offset of the next IFD goes
    if (directoriesFirst) {
        uint32_t dataAt = 8;
        for (const TiffPage& p : pages) dataAt += static_cast<uint32_t>(directorySize(p));
        const uint32_t firstData = dataAt;
        for (const TiffPage& p : pages) {
            const bool own = !shareFirstStrip || &p == &pages.front();
            link = putDirectory(t, p, own ? dataAt : firstData, link);
            if (own) dataAt += static_cast<uint32_t>(pixelData(p).size());
        }
        for (const TiffPage& p : pages)
            if (!shareFirstStrip || &p == &pages.front()) t += pixelData(p);
        return t;
    }
    uint32_t firstStrip = 0;
    for (const TiffPage& p : pages) {
        const bool own = !shareFirstStrip || &p == &pages.front();
        const uint32_t strip = own ? static_cast<uint32_t>(t.size()) : firstStrip;
        if (own) firstStrip = strip;
        if (own) t += pixelData(p);
        if (t.size() % 2) put8(t, 0);
        link = putDirectory(t, p, strip, link);
    }
    return t;
}

// Rows of a w x h image of n-byte pixels from f(x, y) -> bytes of that pixel.
std::vector<Bytes> rowsOf(int w, int h, const std::function<Bytes(int, int)>& f) {
    std::vector<Bytes> rows;
    for (int y = 0; y < h; ++y) {
        Bytes r;
        for (int x = 0; x < w; ++x) r += f(x, y);
        rows.push_back(r);
    }
    return rows;
}
Bytes be16(unsigned v) {
    Bytes b;
    putBE16(b, v);
    return b;
}
Bytes bytes(std::initializer_list<unsigned> v) {
    Bytes b;
    for (unsigned x : v) put8(b, x);
    return b;
}

}  // namespace filebytes
