// PNG through libpng: 1, 2, 4, 8 and 16 bits per sample, grey, grey + alpha, RGB, RGBA,
// paletted with transparency; 16-bit samples are read as they are, in host order.
#include <png.h>

#include <climits>
#include <csetjmp>
#include <cstring>

#include "format.h"
#include "onepass.h"

namespace formats {
namespace {

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

// Chunks a decode reads past, each as long as the file says (five bytes a name).
const png_byte kUnread[] = "eXIf\0iCCP\0iTXt\0pCAL\0sCAL\0sPLT\0tEXt\0zTXt";

// Reads the header into info and, when out is given, the whole image.
bool read(FILE* f, FileInfo& info, Page* out, std::string& reason) {
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
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, kUnread, int(sizeof kUnread / 5));
    png_read_info(png, pinfo);
    const png_uint_32 w = png_get_image_width(png, pinfo), h = png_get_image_height(png, pinfo);
    const int depth = png_get_bit_depth(png, pinfo), type = png_get_color_type(png, pinfo);
    const bool trns = png_get_valid(png, pinfo, PNG_INFO_tRNS) != 0;
    const int channels = (type & PNG_COLOR_MASK_COLOR ? 3 : 1) + (type & PNG_COLOR_MASK_ALPHA || trns ? 1 : 0);
    const int bits = depth == 16 ? 16 : 8;
    const Samples kind = bits == 16 ? Samples::Unsigned16 : Samples::Unsigned8;
    if (w > INT_MAX || h > INT_MAX) png_error(png, "too large");
    PageInfo page;
    page.width = int(w), page.height = int(h), page.bits = bits, page.samples = kind;
    info.pages = {page};
    png_uint_32 perX = 0, perY = 0;
    int perUnit = 0;
    if (png_get_pHYs(png, pinfo, &perX, &perY, &perUnit) && perUnit == PNG_RESOLUTION_METER && perX > 0 && perY > 0)
        sayVoxelSizeInMetres(info, 1.0 / perX, 1.0 / perY, 0);  // pixels per metre; no depth
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


bool recognisePng(const std::string&, const unsigned char* b, size_t n) {
    return n >= 8 && std::memcmp(b, "\x89PNG\r\n\x1a\n", 8) == 0;
}

}  // namespace

const Reader png{"PNG", recognisePng, headerOnePass<read>, decodeOnePass<read>};

}  // namespace formats
