// Image files written byte by byte (PNG, JPEG, TIFF), so the tests control every header
// field and can make files the toolkit's encoders never would.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace filebytes {

using Bytes = std::string;

void put8(Bytes& b, unsigned v);
void putBE16(Bytes& b, unsigned v);
void putBE32(Bytes& b, uint32_t v);
void putLE16(Bytes& b, unsigned v);
void putLE32(Bytes& b, uint32_t v);

// ---- PNG: any colour type and depth, stored (uncompressed) deflate ----
uint32_t crc32(const Bytes& data);
Bytes pngChunk(const char* type, const Bytes& data);
// A zlib stream of stored blocks holding raw.
Bytes zlibStored(const Bytes& raw);
// rows: the unfiltered scanlines (the filter byte 0 is added here); extra: chunks between IHDR and IDAT.
Bytes png(uint32_t w, uint32_t h, int depth, int colourType, const std::vector<Bytes>& rows, const Bytes& extra = "");

// ---- JPEG: baseline, every 8 x 8 block flat mid-grey (DC 0, no AC) ----
// components: 1 (grey) or 4 (CMYK, with an Adobe marker saying "no transform").
// progressive: a progressive header whose scan holds no data (for headers of any size).
Bytes flatJpeg(int w, int h, int components, bool progressive = false);

// ---- TIFF: uncompressed, little-endian ----
struct TiffPage {
    int w, h, samples, bits;     // samples 1 (grey), 2 (grey + alpha), 3 (RGB) or 4 (RGB + alpha); bits 8, 16, 32 or 64
    std::vector<uint16_t> data;  // w * h * samples values, row by row (8 and 16 bits)
    uint16_t extra = 2;          // with 2 or 4 samples, the last one's kind: 1 associated, 2 unassociated alpha
    int rowsPerStrip = 0;        // 0: one strip
    uint16_t orientation = 0;    // 0: no Orientation tag
    int photometric = -1;        // -1: grey (1 or 2 samples) or RGB
    uint16_t sampleFormat = 0;   // 0: no SampleFormat tag; 1 unsigned, 2 signed, 3 floating-point
    std::vector<uint32_t> data32 = {};  // 32 and 64 bits: the samples' bits as data holds them (64: low word first)
    bool planes = false;         // one plane per sample (PlanarConfig 2), each in its own strips
    int tile = 0;                // > 0: in square tiles of this size instead of strips
    std::vector<uint32_t> stripBytes = {};  // plain strips: the byte counts claimed, if not what the rows need
};
// shareFirstStrip: every page points at the first page's strips (only they are written).
// directoriesFirst: all directories, then all pixel data (so a file cut short loses strips,
// not directories); otherwise each page's data comes before its directory.
Bytes tiff(const std::vector<TiffPage>& pages, bool shareFirstStrip = false, bool directoriesFirst = false);

// Rows of a w x h image of n-byte pixels from f(x, y) -> bytes of that pixel.
std::vector<Bytes> rowsOf(int w, int h, const std::function<Bytes(int, int)>& f);
// One big-endian 16-bit sample; a list of bytes.
Bytes be16(unsigned v);
Bytes bytes(std::initializer_list<unsigned> v);

}  // namespace filebytes
