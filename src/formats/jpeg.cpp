// JPEG through libjpeg: grey, RGB, CMYK and YCCK; baseline and progressive. Decoded as RGB.
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>  // needs size_t and FILE first
#include <jerror.h>

#include <algorithm>
#include <climits>
#include <csetjmp>
#include <cstring>

#include "format.h"
#include "onepass.h"

namespace formats {
namespace {

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

// Reads the header into info and, when out is given, the whole image within the memory
// info's header allowed.
bool read(FILE* f, FileInfo& info, Page* out, std::string& reason) {
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
    PageInfo page;
    page.width = int(w), page.height = int(h);
    info.pages = {page};
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


bool recogniseJpeg(const std::string&, const unsigned char* b, size_t n) {
    return n >= 3 && b[0] == 0xff && b[1] == 0xd8 && b[2] == 0xff;
}

}  // namespace

const Reader jpeg{"JPEG", recogniseJpeg, headerOnePass<read>, decodeOnePass<read>};

}  // namespace formats
