// Pixel format conversions: in place, whole images, rectangles (including
// 4-bit grey packing and the PNG and JPEG targets) and planar YUV 4:2:0.
#include <cstring>

#include "ZImagePrimitives.h"
#include "ZImage_Internal.h"
#include "ZUtil.h"

namespace {

std::size_t pixels(const ZImageFormat& f) { return static_cast<std::size_t>(f.width) * f.height; }

// The grey level of the 4-bit packing, from bytes R, G, B.
int grey(int r, int g, int b) { return (299 * r + 587 * g + 114 * b) / 1000; }

int greyOf(std::int32_t type, const unsigned char* p) {
    if (type == ZIT_RGB555) {
        const int v = p[0] | (p[1] << 8);
        auto widen = [](int c) { return (c << 3) | (c >> 2); };
        return grey(widen((v >> 10) & 0x1F), widen((v >> 5) & 0x1F), widen(v & 0x1F));
    }
    return grey(p[2], p[1], p[0]);
}

void packGray4(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& rect, std::string& out) {
    const int bpp = ZImageBytesPerPixel(fromFormat.type);
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    const int rowBytes = (w + 1) / 2;
    out.resize(static_cast<std::size_t>(rowBytes) * h);
    unsigned char* dst = _ZImageBytes(out);
    for (int y = rect.top; y < rect.bottom; ++y) {
        const unsigned char* src = fromBuffer + (static_cast<std::size_t>(fromFormat.width) * y + rect.left) * bpp;
        const unsigned char* evenEnd = src + static_cast<std::size_t>(w / 2) * 2 * bpp;
        const unsigned char* oddEnd = src + static_cast<std::size_t>(w) * bpp;
        while (src < evenEnd) {
            const int left = greyOf(fromFormat.type, src) >> 4;
            const int right = greyOf(fromFormat.type, src + bpp) >> 4;
            *dst++ = static_cast<unsigned char>((left << 4) | right);
            src += 2 * bpp;
        }
        ZASSERT(src == evenEnd);
        if (w % 2) {
            *dst++ = static_cast<unsigned char>((greyOf(fromFormat.type, src) >> 4) << 4);
            src += bpp;
        }
        ZASSERT(src == oddEnd);
    }
}

void unpackGray4(const unsigned char* fromBuffer, int w, int h, std::string& out) {
    out.resize(static_cast<std::size_t>(w) * h * 3);
    unsigned char* dst = _ZImageBytes(out);
    const unsigned char* src = fromBuffer;
    for (int y = 0; y < h; ++y) {
        const unsigned char* evenEnd = src + w / 2;
        const unsigned char* oddEnd = src + (w + 1) / 2;
        while (src < evenEnd) {
            std::memset(dst, (*src >> 4) * 17, 3);
            std::memset(dst + 3, (*src & 0x0F) * 17, 3);
            dst += 6;
            ++src;
        }
        ZASSERT(src == evenEnd);
        if (w % 2) {
            std::memset(dst, (*src >> 4) * 17, 3);
            dst += 3;
            ++src;
        }
        ZASSERT(src == oddEnd);
    }
}

bool isEncodable(std::int32_t type) { return type >= ZIT_RGB24 && type <= ZIT_BGRA32; }

}  // namespace

bool _ZImageTooLarge(const ZImageFormat& format) {
    if (std::int64_t{format.width} * format.height <= INT_MAX / 4) return false;
    ZLOG(L"WARNING Image " << format.toString() << L" is too large, ignoring.");
    return true;
}

std::int64_t ZImageByteSize(const ZImageFormat& format) {
    if (format.width <= 0 || format.height <= 0) return -1;
    const std::int64_t w = format.width;
    const std::int64_t h = format.height;
    std::int64_t size;
    if (format.type == ZIT_GRAY4) size = (w + 1) / 2 * h;
    else if (format.type == ZIT_IYUY) size = w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
    else {
        const int bpp = ZImageBytesPerPixel(format.type);
        if (bpp == 0) return -1;
        size = bpp * w * h;
    }
    return size > INT_MAX ? -1 : size;
}

bool ZImageFormatFits(const ZImageFormat& format, std::size_t bufferBytes) {
    const std::int64_t size = ZImageByteSize(format);
    return size > 0 && static_cast<std::uint64_t>(size) <= bufferBytes;
}

void ZImageConvert(ZImageFormat& format, unsigned char* buffer, std::int32_t toType) {
    ZTRACE();
    ZPRECONDITION(buffer);
    ZPRECONDITION(format.width > 0 && format.height > 0);
    int bpp = 0;
    if ((format.type == ZIT_RGBA32 && toType == ZIT_BGRA32) || (format.type == ZIT_BGRA32 && toType == ZIT_RGBA32))
        bpp = 4;
    else if ((format.type == ZIT_RGB24 && toType == ZIT_BGR24) || (format.type == ZIT_BGR24 && toType == ZIT_RGB24))
        bpp = 3;
    if (!bpp) {
        ZLOG(L"ERROR Attepting unsupported in-place conversion, from #" << format.type << L" to #" << toType
                                                                        << L", aborting.");
        ZAbort();
        return;
    }
    unsigned char* end = buffer + pixels(format) * bpp;
    for (unsigned char* p = buffer; p < end; p += bpp) std::swap(p[0], p[2]);
    format.type = toType;
}

void ZImageConvert(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, std::int32_t toType,
                   std::string& out) {
    ZTRACE();
    ZPRECONDITION(fromBuffer);
    ZPRECONDITION(fromFormat.width > 0 && fromFormat.height > 0);
    out.clear();
    if (_ZImageTooLarge(fromFormat)) return;
    const std::size_t n = pixels(fromFormat);
    const int w = fromFormat.width;
    const zpSize size = {fromFormat.width, fromFormat.height};
    const std::int32_t from = fromFormat.type;
    const unsigned char* s = fromBuffer;
    zpStatus result = zpStsNoErr;
    if (from == ZIT_RGB24 && toType == ZIT_RGBA32) {
        out.resize(n * 4);
        unsigned char* d = _ZImageBytes(out);
        for (std::size_t i = 0; i < n; ++i, s += 3, d += 4) {
            d[0] = s[0], d[1] = s[1], d[2] = s[2], d[3] = 255;
        }
    } else if ((from == ZIT_RGBA32 && toType == ZIT_RGB24) || (from == ZIT_BGRA32 && toType == ZIT_BGR24)) {
        out.resize(n * 3);
        unsigned char* d = _ZImageBytes(out);
        for (std::size_t i = 0; i < n; ++i, s += 4, d += 3) d[0] = s[0], d[1] = s[1], d[2] = s[2];
    } else if ((from == ZIT_BGR24 && toType == ZIT_RGB24) || (from == ZIT_RGB24 && toType == ZIT_BGR24)) {
        out.resize(n * 3);
        unsigned char* d = _ZImageBytes(out);
        for (std::size_t i = 0; i < n; ++i, s += 3, d += 3) d[0] = s[2], d[1] = s[1], d[2] = s[0];
    } else if ((from == ZIT_BGRA32 && toType == ZIT_RGB24) || (from == ZIT_RGBA32 && toType == ZIT_BGR24)) {
        out.resize(n * 3);
        unsigned char* d = _ZImageBytes(out);
        for (std::size_t i = 0; i < n; ++i, s += 4, d += 3) d[0] = s[2], d[1] = s[1], d[2] = s[0];
    } else if (from == ZIT_RGB565 && toType == ZIT_BGR24) {
        out.resize(n * 3);
        unsigned char* d = _ZImageBytes(out);
        for (std::size_t i = 0; i < n; ++i, s += 2, d += 3) {
            const int v = s[0] | (s[1] << 8);
            const int r = (v >> 11) & 0x1F, g = (v >> 5) & 0x3F, b = v & 0x1F;
            d[2] = static_cast<unsigned char>((r << 3) | (r >> 2));
            d[1] = static_cast<unsigned char>((g << 2) | (g >> 4));
            d[0] = static_cast<unsigned char>((b << 3) | (b >> 2));
        }
    } else if (from == ZIT_YUY2 && toType == ZIT_RGB24) {
        out.resize(n * 3);
        result = zpiYUV422ToRGB_8u_C2C3R(s, 2 * w, _ZImageBytes(out), 3 * w, size);
    } else if (from == ZIT_RGB24 && toType == ZIT_GRAY8) {
        out.resize(n);
        result = zpiRGBToGray_8u_C3C1R(s, 3 * w, _ZImageBytes(out), w, size);
    } else if (from == ZIT_RGBA32 && toType == ZIT_GRAY8) {
        out.resize(n);
        result = zpiRGBToGray_8u_AC4C1R(s, 4 * w, _ZImageBytes(out), w, size);
    } else if (from == ZIT_GRAY8 && toType == ZIT_RGBA32) {
        out.resize(n * 4);
        unsigned char* d = _ZImageBytes(out);
        for (std::size_t i = 0; i < n; ++i, ++s, d += 4) d[0] = d[1] = d[2] = *s, d[3] = 255;
    } else {
        ZImageConvert(fromFormat, fromBuffer, ZRect{0, 0, fromFormat.width, fromFormat.height}, toType, out);
        return;
    }
    ZASSERT(result == zpStsNoErr);
}

void ZImageConvert(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& rectIn,
                   std::int32_t toType, std::string& out) {
    ZTRACE();
    out.clear();
    if (_ZImageTooLarge(fromFormat)) return;
    const std::int32_t from = fromFormat.type;
    // A rectangle may come from a peer: only its part inside the image is used.
    ZRect rect = rectIn;
    if (from != ZIT_GRAY4) ZRectClip(rect, ZRect{0, 0, fromFormat.width, fromFormat.height});
    if (ZRectEmpty(rect)) {
        ZLOG(L"WARNING Conversion of an empty rectangle " << rectIn.serialize() << L" of "
                                                          << fromFormat.toString() << L", ignoring.");
        return;
    }
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    const int bpp = ZImageBytesPerPixel(from);
    const unsigned char* first =
        fromBuffer + (static_cast<std::size_t>(fromFormat.width) * rect.top + rect.left) * bpp;
    const std::size_t n = static_cast<std::size_t>(w) * h;

    if ((from == ZIT_BGR24 || from == ZIT_BGRA32) && toType == ZIT_RGB565) {
        out.resize(n * 2);
        unsigned char* d = _ZImageBytes(out);
        for (int y = 0; y < h; ++y) {
            const unsigned char* s = first + static_cast<std::size_t>(fromFormat.width) * y * bpp;
            for (int x = 0; x < w; ++x, s += bpp, d += 2) {
                const int v = ((s[2] & 0xF8) << 8) | ((s[1] & 0xF8) << 3) | (s[0] >> 3);
                d[0] = static_cast<unsigned char>(v & 0xFF);
                d[1] = static_cast<unsigned char>(v >> 8);
            }
        }
    } else if (from == ZIT_RGB24 && toType == ZIT_GRAY8) {
        out.resize(n);
        const zpStatus result = zpiRGBToGray_8u_C3C1R(first, fromFormat.width * 3, _ZImageBytes(out), w, {w, h});
        ZASSERT(result == zpStsNoErr);
    } else if (from >= 14 && from <= 20 && toType == ZIT_GRAY4) {
        if (from <= ZIT_RGB565) {
            ZLOG(L"ERROR Unsupported conversion from #" << from << L" to GRAY4");
            ZAbort();
            return;
        }
        packGray4(fromFormat, fromBuffer, rect, out);
    } else if (from == ZIT_GRAY4 && (toType == ZIT_RGB24 || toType == ZIT_BGR24)) {
        unpackGray4(fromBuffer, w, h, out);
    } else if (from == ZIT_BGRA32 && toType == ZIT_BGR24) {
        out.resize(n * 3);
        unsigned char* d = _ZImageBytes(out);
        for (int y = 0; y < h; ++y) {
            const unsigned char* s = first + static_cast<std::size_t>(fromFormat.width) * y * 4;
            for (int x = 0; x < w; ++x, s += 4, d += 3) d[0] = s[0], d[1] = s[1], d[2] = s[2];
        }
    } else if (isEncodable(from) && toType == ZIT_PNG) {
        _ZImageEncodePNG(fromFormat, fromBuffer, rect, out);
    } else if (isEncodable(from) && toType == ZIT_JPEG) {
        _ZImageEncodeJPEG(fromFormat, fromBuffer, rect, out);
    } else if ((from == ZIT_RGB24 && toType == ZIT_BGR24) || (from == ZIT_BGR24 && toType == ZIT_RGB24)) {
        out.resize(n * 3);
        unsigned char* d = _ZImageBytes(out);
        for (int y = 0; y < h; ++y) {
            const unsigned char* s = first + static_cast<std::size_t>(fromFormat.width) * y * 3;
            for (int x = 0; x < w; ++x, s += 3, d += 3) d[0] = s[2], d[1] = s[1], d[2] = s[0];
        }
    } else {
        ZLOG(L"ERROR Unsupported conversion format, from #" << from << L" to #" << toType << L", aborting.");
        ZAbort();
    }
}

void ZImageConvertFromIYUY(const ZImageFormat& fromFormat, const unsigned char* fromYBuffer,
                           const unsigned char* fromUBuffer, const unsigned char* fromVBuffer,
                           const ZImageFormat& toFormat, std::string& out) {
    ZTRACE();
    ZPRECONDITION(fromFormat.width > 0 && fromFormat.height > 0);
    ZPRECONDITION_PTR(fromYBuffer);
    ZPRECONDITION_PTR(fromUBuffer);
    ZPRECONDITION_PTR(fromVBuffer);
    ZASSERT(toFormat.type == ZIT_RGB24);
    out.clear();
    if (_ZImageTooLarge(fromFormat)) return;
    out.resize(pixels(fromFormat) * 3);
    const unsigned char* planes[3] = {fromYBuffer, fromUBuffer, fromVBuffer};
    const zpStatus result = zpiYUV420ToRGB_8u_P3C3(planes, _ZImageBytes(out), {fromFormat.width, fromFormat.height});
    ZASSERT(result == zpStsNoErr);
}

void ZImageConvertToIYUY(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, std::string& outY,
                         std::string& outU, std::string& outV) {
    ZTRACE();
    ZPRECONDITION(fromFormat.width > 0 && fromFormat.height > 0);
    ZPRECONDITION_PTR(fromBuffer);
    outY.clear();
    outU.clear();
    outV.clear();
    if (_ZImageTooLarge(fromFormat)) return;
    const int w = fromFormat.width;
    const int h = fromFormat.height;
    // Odd sizes round the chroma planes up: the converter writes one sample
    // per started 2 x 2 block.
    const std::size_t chromaWidth = (w + 1) / 2;
    const std::size_t chroma = chromaWidth * ((h + 1) / 2);
    outY.assign(pixels(fromFormat), '\0');
    outU.assign(chroma, '\0');
    outV.assign(chroma, '\0');
    if (fromFormat.type == ZIT_RGB24) {
        unsigned char* planes[3] = {_ZImageBytes(outY), _ZImageBytes(outU), _ZImageBytes(outV)};
        const zpStatus result = zpiRGBToYUV420_8u_C3P3(fromBuffer, planes, {w, h});
        ZASSERT(result == zpStsNoErr);
    } else if (fromFormat.type == ZIT_YUY2) {
        const std::size_t bytes = pixels(fromFormat) * 2;
        int numY = 0;
        for (std::size_t i = 0; i < bytes; i += 2) outY[numY++] = static_cast<char>(fromBuffer[i]);
        ZASSERT(numY == (fromFormat.width * fromFormat.height));
        for (int y = 0; y < h; y += 2) {
            const unsigned char* row = fromBuffer + static_cast<std::size_t>(y) * w * 2;
            for (std::size_t i = 0; i < chromaWidth; ++i) {
                const std::size_t u = 4 * i + 1;
                // A row of odd width ends with Y and U: the V of the group before serves.
                const std::size_t v = 4 * i + 3 < static_cast<std::size_t>(2 * w) ? 4 * i + 3 : (i ? 4 * i - 1 : u);
                outU[(y / 2) * chromaWidth + i] = static_cast<char>(row[u]);
                outV[(y / 2) * chromaWidth + i] = static_cast<char>(row[v]);
            }
        }
    } else {
        ZLOG(L"ERROR Attepting unsupported conversion, from #" << fromFormat.type << L" to IYUV, aborting.");
        ZAbort();
    }
}
