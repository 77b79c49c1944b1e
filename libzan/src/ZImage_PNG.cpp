// PNG streams through libpng: the encoder behind ZImageConvert's ZIT_PNG
// target, the decoder for pictures that arrive from the network, and the
// reader of the local pictures (the skin's) that FreeImage need not see.
#include <png.h>

#include <csetjmp>
#include <vector>

#include "ZImage_Internal.h"
#include "ZPortable_Bytes.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

void user_write_data(png_struct_def* png_ptr, unsigned char* data, std::size_t length) {
    std::string* buffer = static_cast<std::string*>(png_get_io_ptr(png_ptr));
    ZASSERT(buffer);
    if (!buffer) return;
    ZBufferAppend(*buffer, reinterpret_cast<const char*>(data), static_cast<int>(length));
}

void writepng_error_handler(png_struct_def* png_ptr, const char* message) {
    ZLOG(L"PNG write failed: " << ZFromUTF8(message ? message : "") << L", aborting.");
    ZAbort();
    // Only reached when the abort hook returns: leave libpng by its error exit.
    png_longjmp(png_ptr, 1);
}

namespace {

void flushNothing(png_structp) {}

}  // namespace

void _ZImageEncodePNG(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& rect,
                      std::string& out) {
    ZTRACE();
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    const int bpp = ZImageBytesPerPixel(fromFormat.type);
    // Everything with a destructor lives before the error return point.
    std::vector<unsigned char> wideRow(bpp == 2 ? static_cast<std::size_t>(w) * 3 : 0);
    png_structp png_ptr =
        png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, writepng_error_handler, writepng_error_handler);
    ZASSERT(png_ptr);
    if (!png_ptr) return;
    png_infop info_ptr = png_create_info_struct(png_ptr);
    ZASSERT(info_ptr);
    if (!info_ptr) {
        png_destroy_write_struct(&png_ptr, nullptr);
        return;
    }
    if (setjmp(png_jmpbuf(png_ptr))) {
        ZASSERT_T(false, "!_setjmp( ((png_ptr)->jmpbuf) )");
        png_destroy_write_struct(&png_ptr, &info_ptr);
        out.clear();
        return;
    }
    out.reserve(static_cast<std::size_t>(bpp) * w * h / 3);
    png_set_write_fn(png_ptr, &out, user_write_data, flushNothing);
    png_set_compression_level(png_ptr, 6);
    png_set_IHDR(png_ptr, info_ptr, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png_ptr, info_ptr);
    if (fromFormat.type == ZIT_RGBA32 || fromFormat.type == ZIT_BGRA32) png_set_filler(png_ptr, 0, PNG_FILLER_AFTER);
    if (fromFormat.type == ZIT_BGR24 || fromFormat.type == ZIT_BGRA32) png_set_bgr(png_ptr);
    for (int y = rect.top; y < rect.bottom; ++y) {
        const unsigned char* row = fromBuffer + (static_cast<std::size_t>(fromFormat.width) * y + rect.left) * bpp;
        if (bpp != 2) {
            png_write_row(png_ptr, row);
            continue;
        }
        unsigned char* d = wideRow.data();
        for (int x = 0; x < w; ++x, row += 2, d += 3) {
            const unsigned v = row[0] | (row[1] << 8);
            if (fromFormat.type == ZIT_RGB565) {
                d[0] = static_cast<unsigned char>((v >> 8) & 0xF8);
                d[1] = static_cast<unsigned char>((v >> 3) & 0xF8);
            } else {
                d[0] = static_cast<unsigned char>((v >> 7) & 0xF8);
                d[1] = static_cast<unsigned char>((v >> 2) & 0xF8);
            }
            d[2] = static_cast<unsigned char>((v << 3) & 0xF8);
        }
        png_write_row(png_ptr, wideRow.data());
    }
    png_write_end(png_ptr, nullptr);
    png_destroy_write_struct(&png_ptr, &info_ptr);
}

// ---- decoding untrusted streams ----------------------------------------------------

namespace {

// The bytes being decoded, read only through bounded copies, and the first
// error libpng reported.
struct ZPNGSource {
    const unsigned char* data;
    std::size_t size;
    std::size_t pos;
    std::string error;
    std::vector<png_bytep> rows;
};

void readBounded(png_structp png, png_bytep out, std::size_t length) {
    ZPNGSource* source = static_cast<ZPNGSource*>(png_get_io_ptr(png));
    if (length > source->size - source->pos) png_error(png, "stream truncated");
    std::copy(source->data + source->pos, source->data + source->pos + length, out);
    source->pos += length;
}

void readError(png_structp png, png_const_charp message) {
    ZPNGSource* source = static_cast<ZPNGSource*>(png_get_error_ptr(png));
    if (source->error.empty()) source->error = message ? message : "unknown error";
    png_longjmp(png, 1);
}

void readWarning(png_structp, png_const_charp) {}

constexpr int kLargestSide = 16384;

}  // namespace

bool ZImageDecodePNG(const unsigned char* data, int size, int expectedWidth, int expectedHeight,
                     ZImageFormat& format, std::string& out) {
    ZTRACE();
    format = ZImageFormat{};
    out.clear();
    if (!data || size < 8 || png_sig_cmp(data, 0, 8) != 0) {
        ZLOG(L"WARNING Not a PNG stream (" << size << L" bytes), ignoring.");
        return false;
    }
    ZPNGSource source{data, static_cast<std::size_t>(size), 0, {}, {}};
    // Only objects in memory cross the jump back: the reader's state is
    // reached through its address, never through a local pointer that may
    // live in a register.
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, readError, readWarning);
    if (!png) {
        ZLOG(L"WARNING Unable to create PNG reader, ignoring.");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        ZLOG(L"WARNING Unable to decode PNG: " << source.error << L", ignoring.");
        format = ZImageFormat{};
        out.clear();
        return false;
    }
    // The header is checked against the limits before anything is allocated
    // for the pixels.
    const int limitWidth = expectedWidth > 0 ? expectedWidth : kLargestSide;
    const int limitHeight = expectedHeight > 0 ? expectedHeight : kLargestSide;
    png_set_user_limits(png, limitWidth, limitHeight);
    png_set_chunk_malloc_max(png, 1 << 20);
    png_set_read_fn(png, &source, readBounded);
    png_read_info(png, info);
    const int width = static_cast<int>(png_get_image_width(png, info));
    const int height = static_cast<int>(png_get_image_height(png, info));
    if ((expectedWidth > 0 && width != expectedWidth) || (expectedHeight > 0 && height != expectedHeight))
        png_error(png, "size differs from the one expected");
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const int channels = png_get_channels(png, info);
    if (channels != 3 && channels != 4) png_error(png, "unexpected channel count");
    const ZImageFormat decoded = {channels == 3 ? ZIT_RGB24 : ZIT_RGBA32, width, height};
    if (ZImageByteSize(decoded) <= 0) png_error(png, "image too large");
    out.resize(static_cast<std::size_t>(ZImageByteSize(decoded)));
    source.rows.resize(height);
    for (int y = 0; y < height; ++y) source.rows[y] = _ZImageBytes(out) + static_cast<std::size_t>(y) * width * channels;
    png_read_image(png, source.rows.data());
    png_destroy_read_struct(&png, &info, nullptr);
    format = decoded;
    return true;
}

// ---- reading local pictures -------------------------------------------------------

ZPNGLoad _ZImageLoadPNG(const unsigned char* data, int size, ZImageFormat& format, std::string& out) {
    ZTRACE();
    if (!data || size < 8 || png_sig_cmp(data, 0, 8) != 0) return ZPNGLoad::NotMine;
    ZPNGSource source{data, static_cast<std::size_t>(size), 0, {}, {}};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &source, readError, readWarning);
    if (!png) return ZPNGLoad::NotMine;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        ZLOG(L"WARNING Unable to load image, ignoring.");
        format = ZImageFormat{};
        out.clear();
        return ZPNGLoad::Refused;
    }
    png_set_read_fn(png, &source, readBounded);
    png_read_info(png, info);
    // Only 8-bit truecolour without a transparent colour or a gamma: these
    // come out of FreeImage byte for byte as they are stored. Palettes, grey,
    // 16-bit samples, tRNS and gamma correction each follow FreeImage's own
    // rules, so such pictures are left to it.
    const int depth = png_get_bit_depth(png, info);
    const int type = png_get_color_type(png, info);
    if (depth != 8 || (type != PNG_COLOR_TYPE_RGB && type != PNG_COLOR_TYPE_RGB_ALPHA) ||
        png_get_valid(png, info, PNG_INFO_tRNS | PNG_INFO_gAMA)) {
        png_destroy_read_struct(&png, &info, nullptr);
        return ZPNGLoad::NotMine;
    }
    const int width = static_cast<int>(png_get_image_width(png, info));
    const int height = static_cast<int>(png_get_image_height(png, info));
    const ZImageFormat decoded = {type == PNG_COLOR_TYPE_RGB ? ZIT_RGB24 : ZIT_RGBA32, width, height};
    if (ZImageByteSize(decoded) <= 0) png_error(png, "image too large");
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    out.resize(static_cast<std::size_t>(ZImageByteSize(decoded)));
    const std::size_t stride = static_cast<std::size_t>(width) * (type == PNG_COLOR_TYPE_RGB ? 3 : 4);
    source.rows.resize(height);
    for (int y = 0; y < height; ++y) source.rows[y] = _ZImageBytes(out) + y * stride;
    // As FreeImage reads: minor faults (a surplus IDAT) are warnings, and the
    // chunks after the pixels up to IEND must be there and intact.
    png_set_benign_errors(png, 1);
    png_read_image(png, source.rows.data());
    png_read_end(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    format = decoded;
    return ZPNGLoad::Loaded;
}
