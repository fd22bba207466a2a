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
uint32_t stripCount(const TiffPage& p) { return uint32_t((p.h + rowsPerStrip(p) - 1) / rowsPerStrip(p)); }
uint32_t rowBytes(const TiffPage& p) { return uint32_t(uint64_t(p.w) * p.samples * (p.bits / 8)); }

struct TiffEntry {
    uint16_t tag, type;
    uint32_t count, value;
};
std::vector<TiffEntry> entriesOf(const TiffPage& p) {
    std::vector<TiffEntry> e = {
        {256, 4, 1, static_cast<uint32_t>(p.w)},
        {257, 4, 1, static_cast<uint32_t>(p.h)},
        {258, 3, static_cast<uint32_t>(p.samples),
         p.samples == 1 ? uint32_t(p.bits) : p.samples == 2 ? uint32_t(p.bits) * 0x10001u : 0},
        {259, 3, 1, 1},
        {262, 3, 1, p.photometric >= 0 ? uint32_t(p.photometric) : p.samples <= 2 ? 1u : 2u},
        {273, 4, stripCount(p), 0},
        {277, 3, 1, static_cast<uint32_t>(p.samples)},
        {278, 4, 1, static_cast<uint32_t>(rowsPerStrip(p))},
        {279, 4, stripCount(p), 0},
        {284, 3, 1, 1},
    };
    if (p.orientation) e.insert(e.begin() + 6, {274, 3, 1, p.orientation});
    if (p.samples == 2 || p.samples == 4) e.push_back({338, 3, 1, p.extra});
    return e;
}
// The arrays a page's directory points at, then the directory (its next link 0).
size_t directorySize(const TiffPage& p) {
    const uint32_t strips = stripCount(p);
    return 2 * p.samples + (strips > 1 ? 8 * strips : 0) + 6 + 12 * entriesOf(p).size();
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
    const uint32_t stripBytes = rowBytes(p) * uint32_t(rowsPerStrip(p));
    const uint32_t lastBytes = rowBytes(p) * uint32_t(p.h - int(strips - 1) * rowsPerStrip(p));
    if (strips == 1) {
        tagged(273).value = dataAt, tagged(279).value = lastBytes;
    } else {
        tagged(273).value = static_cast<uint32_t>(t.size());
        for (uint32_t s = 0; s < strips; ++s) putLE32(t, dataAt + s * stripBytes);
        tagged(279).value = static_cast<uint32_t>(t.size());
        for (uint32_t s = 0; s < strips; ++s) putLE32(t, s + 1 < strips ? stripBytes : lastBytes);
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
Bytes pixelData(const TiffPage& p) {
    Bytes b;
    for (uint16_t v : p.data) p.bits == 16 ? putLE16(b, v) : put8(b, v);
    return b;
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
            if (own) dataAt += static_cast<uint32_t>(p.data.size() * (p.bits / 8));
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
