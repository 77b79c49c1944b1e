// Lines and rectangles drawn, filled and inverted in an image buffer, always
// clipped to the image.
#include <algorithm>

#include "ZImage_Internal.h"
#include "ZUtil.h"

namespace {

// The colour's bytes in the pixel order of the type; 0 bytes for a type
// the drawing routines do not handle.
int pixelOf(std::int32_t type, const unsigned char* color, unsigned char* pixel) {
    switch (type) {
    case ZIT_RGB24: std::copy(color, color + 3, pixel); return 3;
    case ZIT_RGBA32: std::copy(color, color + 4, pixel); return 4;
    case ZIT_BGR24: pixel[0] = color[2], pixel[1] = color[1], pixel[2] = color[0]; return 3;
    case ZIT_BGRA32: pixel[0] = color[2], pixel[1] = color[1], pixel[2] = color[0], pixel[3] = color[3]; return 4;
    default: return 0;
    }
}

int clampTo(int v, int high) { return v < 0 ? 0 : (v > high ? high : v); }

unsigned char* at(const ZImageFormat& format, unsigned char* buffer, int x, int y, int bpp) {
    return buffer + (static_cast<std::size_t>(format.width) * y + x) * bpp;
}

}  // namespace

void ZImageDrawHorizLine(const ZImageFormat& format, unsigned char* buffer, int x1, int y, int x2,
                         const unsigned char* color) {
    ZPRECONDITION(buffer);
    unsigned char pixel[4];
    const int bpp = pixelOf(format.type, color, pixel);
    if (!bpp) {
        ZLOG(L"WARNING Attempting drawHorizLine on unsupported type #" << format.type << L", ignoring.");
        return;
    }
    if (format.width <= 0 || format.height <= 0) return;
    x1 = clampTo(x1, format.width - 1);
    x2 = clampTo(x2, format.width - 1);
    y = clampTo(y, format.height - 1);
    for (unsigned char* p = at(format, buffer, x1, y, bpp); x1 <= x2; ++x1, p += bpp) std::copy(pixel, pixel + bpp, p);
}

void ZImageDrawVertLine(const ZImageFormat& format, unsigned char* buffer, int x, int y1, int y2,
                        const unsigned char* color) {
    ZPRECONDITION(buffer);
    unsigned char pixel[4];
    const int bpp = pixelOf(format.type, color, pixel);
    if (!bpp) {
        ZLOG(L"WARNING Attempting drawVertLine on unsupported type #" << format.type << L", ignoring.");
        return;
    }
    if (format.width <= 0 || format.height <= 0) return;
    x = clampTo(x, format.width - 1);
    y1 = clampTo(y1, format.height - 1);
    y2 = clampTo(y2, format.height - 1);
    for (; y1 <= y2; ++y1) std::copy(pixel, pixel + bpp, at(format, buffer, x, y1, bpp));
}

void ZImageInvertHorizLine(const ZImageFormat& format, unsigned char* buffer, int x1, int y, int x2) {
    ZPRECONDITION(buffer);
    const int bpp = format.type == ZIT_RGB24 ? 3 : (format.type == ZIT_RGBA32 ? 4 : 0);
    if (!bpp) {
        ZLOG(L"WARNING Attempting invertHorizLine on unsupported type #" << format.type << L", ignoring.");
        return;
    }
    if (format.width <= 0 || format.height <= 0) return;
    x1 = clampTo(x1, format.width - 1);
    x2 = clampTo(x2, format.width - 1);
    y = clampTo(y, format.height - 1);
    for (unsigned char* p = at(format, buffer, x1, y, bpp); x1 <= x2; ++x1, p += bpp)
        for (int c = 0; c < 3; ++c) p[c] = static_cast<unsigned char>(255 - p[c]);
}

void ZImageDrawRect(const ZImageFormat& format, unsigned char* buffer, const ZRect& rect, const unsigned char* color) {
    ZPRECONDITION(ZVALIDRECT( rect ));
    ZRect r = rect;
    ZRectClip(r, ZRect{0, 0, format.width, format.height});
    if (ZRectEmpty(r)) return;
    ZImageDrawHorizLine(format, buffer, r.left, r.top, r.right - 1, color);
    ZImageDrawHorizLine(format, buffer, r.left, r.bottom - 1, r.right - 1, color);
    ZImageDrawVertLine(format, buffer, r.left, r.top, r.bottom - 1, color);
    ZImageDrawVertLine(format, buffer, r.right - 1, r.top, r.bottom - 1, color);
}

void ZImageFillRect(const ZImageFormat& format, unsigned char* buffer, const ZRect& rect, const unsigned char* color) {
    ZPRECONDITION(ZVALIDRECT( rect ));
    ZRect r = rect;
    ZRectClip(r, ZRect{0, 0, format.width, format.height});
    if (ZRectEmpty(r)) return;
    for (int y = r.top; y < r.bottom; ++y) ZImageDrawHorizLine(format, buffer, r.left, y, r.right - 1, color);
}

void ZImageInvertRect(const ZImageFormat& format, unsigned char* buffer, const ZRect& rect) {
    ZPRECONDITION(ZVALIDRECT( rect ));
    ZRect r = rect;
    ZRectClip(r, ZRect{0, 0, format.width, format.height});
    if (ZRectEmpty(r)) return;
    for (int y = r.top; y < r.bottom; ++y) ZImageInvertHorizLine(format, buffer, r.left, y, r.right - 1);
}
