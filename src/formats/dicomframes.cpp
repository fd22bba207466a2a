#include "formats/dicomframes.h"

#include <gdcmSequenceOfFragments.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace formats::dicomio {

void ybrToRgb(std::vector<char>& bytes) {
    auto clamp = [](double v) { return char(static_cast<unsigned char>(std::min(255.0, std::max(0.0, std::floor(v + 0.5))))); };
    for (size_t i = 0; i + 2 < bytes.size(); i += 3) {
        const double y = static_cast<unsigned char>(bytes[i]), cb = static_cast<unsigned char>(bytes[i + 1]) - 128.0,
                     cr = static_cast<unsigned char>(bytes[i + 2]) - 128.0;
        bytes[i] = clamp(y + 1.402 * cr);
        bytes[i + 1] = clamp(y - 0.344136 * cb - 0.714136 * cr);
        bytes[i + 2] = clamp(y + 1.772 * cb);
    }
}

bool jpegIsYCbCr(const gdcm::Image& image, bool ybr) {
    const gdcm::SequenceOfFragments* frags = image.GetDataElement().GetSequenceOfFragments();
    if (!frags || frags->GetNumberOfFragments() == 0) return ybr;
    const gdcm::ByteValue* bv = frags->GetFragment(0).GetByteValue();
    if (!bv || !bv->GetPointer()) return ybr;
    const auto* d = reinterpret_cast<const unsigned char*>(bv->GetPointer());
    const size_t n = bv->GetLength();
    bool jfif = false, adobe = false;
    int transform = 1;
    for (size_t i = 2; i + 4 <= n;) {
        if (d[i] != 0xff) return ybr;  // not a marker where one belongs
        const unsigned m = d[i + 1];
        if (m == 0xff) { ++i; continue; }
        const size_t len = size_t(d[i + 2]) << 8 | d[i + 3];
        const unsigned char* p = d + i + 4;
        const size_t have = std::min(len < 2 ? 0 : len - 2, n - (i + 4));
        if (m == 0xe0 && have >= 5 && std::memcmp(p, "JFIF\0", 5) == 0) jfif = true;
        if (m == 0xee && have >= 12 && std::memcmp(p, "Adobe", 5) == 0) adobe = true, transform = p[11];
        if (m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc) {
            if (jfif) return true;
            if (adobe) return transform != 0;
            if (have < 6 + 3 * 3 || p[5] != 3) return ybr;
            if (p[6] == 'R' && p[9] == 'G' && p[12] == 'B') return false;
            if (p[6] == 1 && p[9] == 2 && p[12] == 3) return true;
            return ybr;
        }
        i += 2 + len;
    }
    return ybr;
}

bool isJpeg(const gdcm::TransferSyntax& ts) {
    using TS = gdcm::TransferSyntax;
    return ts == TS::JPEGBaselineProcess1 || ts == TS::JPEGExtendedProcess2_4 || ts == TS::JPEGLosslessProcess14 ||
           ts == TS::JPEGLosslessProcess14_1;
}

bool jpegFrameFits(const gdcm::Image& image, int width, int height, int samples) {
    const gdcm::SequenceOfFragments* frags = image.GetDataElement().GetSequenceOfFragments();
    if (!frags) return false;
    for (size_t f = 0; f < frags->GetNumberOfFragments(); ++f) {
        const gdcm::ByteValue* bv = frags->GetFragment(f).GetByteValue();
        if (!bv || !bv->GetPointer() || bv->GetLength() < 4) continue;
        const auto* d = reinterpret_cast<const unsigned char*>(bv->GetPointer());
        const size_t n = bv->GetLength();
        if (d[0] != 0xff || d[1] != 0xd8) continue;  // not the start of a frame
        for (size_t i = 2; i + 4 <= n;) {
            if (d[i] != 0xff) return false;
            const unsigned m = d[i + 1];
            if (m == 0xff) { ++i; continue; }
            const size_t len = size_t(d[i + 2]) << 8 | d[i + 3];
            if (m >= 0xc0 && m <= 0xcf && m != 0xc4 && m != 0xc8 && m != 0xcc) {
                if (i + 10 > n) return false;
                const unsigned precision = d[i + 4], components = d[i + 9];
                const int rows = d[i + 5] << 8 | d[i + 6], columns = d[i + 7] << 8 | d[i + 8];
                if (precision < 2 || precision > 16 || (components != 1 && components != 3)) return false;
                if (rows != height || columns != width || int(components) != samples) return false;
                break;
            }
            i += 2 + len;
        }
    }
    return true;
}

bool isJpeg2000(const gdcm::TransferSyntax& ts) {
    using TS = gdcm::TransferSyntax;
    return ts == TS::JPEG2000Lossless || ts == TS::JPEG2000 || ts == TS::JPEG2000Part2Lossless || ts == TS::JPEG2000Part2;
}

bool jpeg2000FrameFits(const gdcm::Image& image, int width, int height, int samples, int bits) {
    const gdcm::SequenceOfFragments* frags = image.GetDataElement().GetSequenceOfFragments();
    if (!frags || frags->GetNumberOfFragments() == 0) return false;
    auto u16 = [](const unsigned char* p) { return unsigned(p[0]) << 8 | p[1]; };
    auto u32 = [](const unsigned char* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; };
    for (size_t f = 0; f < frags->GetNumberOfFragments(); ++f) {
        const gdcm::ByteValue* bv = frags->GetFragment(f).GetByteValue();
        const auto* d = bv && bv->GetPointer() ? reinterpret_cast<const unsigned char*>(bv->GetPointer()) : nullptr;
        size_t n = d ? size_t(bv->GetLength()) : 0;
        // A JP2 file holds its codestream in the box "jp2c"; a bare codestream starts with SOC.
        static const unsigned char jp2[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0d, 0x0a, 0x87, 0x0a};
        if (n >= 12 && std::memcmp(d, jp2, 12) == 0) {
            size_t at = 0;
            while (at + 8 <= n && std::memcmp(d + at + 4, "jp2c", 4) != 0) {
                const uint32_t box = u32(d + at);
                if (box < 8 || box > n - at) return false;
                at += box;
            }
            if (at + 8 > n) return false;
            d += at + 8, n -= at + 8;
        } else if (n < 2 || d[0] != 0xff || d[1] != 0x4f) {
            if (f == 0) return false;  // the first fragment starts a frame
            continue;                  // the rest of a frame
        }
        // SOC, then SIZ: Lsiz Rsiz Xsiz Ysiz XOsiz YOsiz XTsiz YTsiz XTOsiz YTOsiz Csiz, and
        // per component Ssiz XRsiz YRsiz.
        if (n < 4 + 38 || u16(d) != 0xff4f || u16(d + 2) != 0xff51) return false;
        const unsigned char* siz = d + 4;
        const unsigned components = u16(siz + 36);
        if (n < 4 + 38 + 3 * size_t(components) || int(components) != samples) return false;
        if (int64_t(u32(siz + 4)) - int64_t(u32(siz + 12)) != width || int64_t(u32(siz + 8)) - int64_t(u32(siz + 16)) != height)
            return false;
        for (unsigned c = 0; c < components; ++c) {
            const unsigned char* comp = siz + 38 + 3 * c;
            if ((comp[0] & 0x7f) + 1 > bits || comp[1] != 1 || comp[2] != 1) return false;
        }
    }
    return true;
}

bool decodeRle(const gdcm::Image& image, int width, int height, int samples, int bytes, size_t frames, char* to) {
    const gdcm::SequenceOfFragments* frags = image.GetDataElement().GetSequenceOfFragments();
    if (!frags || frags->GetNumberOfFragments() != frames) return false;
    const size_t pixels = size_t(width) * size_t(height);
    const int segments = samples * bytes;
    std::vector<unsigned char> plane(pixels);
    auto u32 = [](const unsigned char* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; };
    for (size_t f = 0; f < frames; ++f) {
        const gdcm::ByteValue* bv = frags->GetFragment(f).GetByteValue();
        if (!bv || !bv->GetPointer() || bv->GetLength() < 64) return false;
        const auto* d = reinterpret_cast<const unsigned char*>(bv->GetPointer());
        const size_t n = bv->GetLength();
        if (u32(d) != uint32_t(segments)) return false;
        for (int sg = 0; sg < segments; ++sg) {
            const size_t begin = u32(d + 4 + 4 * sg), end = sg + 1 < segments ? u32(d + 8 + 4 * sg) : n;
            if (begin < 64 || begin > end || end > n) return false;
            size_t at = begin, made = 0;
            while (made < pixels && at < end) {
                const int c = static_cast<int8_t>(d[at++]);
                if (c >= 0) {  // c + 1 bytes as they are
                    const size_t run = std::min({size_t(c) + 1, end - at, pixels - made});
                    std::memcpy(plane.data() + made, d + at, run);
                    at += size_t(c) + 1, made += run;
                } else if (c != -128 && at < end) {  // the next byte 1 - c times
                    const size_t run = std::min(size_t(1 - c), pixels - made);
                    std::memset(plane.data() + made, d[at++], run);
                    made += run;
                }
            }
            if (made < pixels) return false;
            // Segment sg is byte (sg % bytes) of sample (sg / bytes), the most significant first.
            const int sample = sg / bytes, byte = bytes - 1 - sg % bytes;
            char* frame = to + f * pixels * size_t(samples * bytes);
            for (size_t p = 0; p < pixels; ++p) frame[(p * size_t(samples) + size_t(sample)) * size_t(bytes) + size_t(byte)] = char(plane[p]);
        }
    }
    return true;
}

}  // namespace formats::dicomio
