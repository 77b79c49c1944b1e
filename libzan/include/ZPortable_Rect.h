// Rectangles, image fragments and the image format record shared by every
// image-handling part of the program.
#pragma once

#include <cstdint>
#include <list>
#include <string>

// Left, top, right, bottom; right and bottom are exclusive.
struct ZRect {
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::int32_t right = 0;
    std::int32_t bottom = 0;

    // "(left,top,right,bottom)"
    std::string serialize() const;
    bool deserialize(const std::string& text);
    bool operator==(const ZRect& o) const = default;
};

// The validity test of checks: not inverted (an empty rectangle passes).
#define ZVALIDRECT(r) ((r).right >= (r).left && (r).bottom >= (r).top)

// An identified rectangle of an image: the window a dirty region belongs to.
struct ZFrag {
    std::uint32_t id = 0;
    ZRect rect;
    bool operator==(const ZFrag& o) const = default;
};

enum ZImageType : std::int32_t {
    ZIT_PNG = 13,
    ZIT_RGB24 = 15,
    ZIT_RGBA32 = 16,
    ZIT_RGB565 = 17,
    ZIT_RGB555 = 18,
    ZIT_BGR24 = 19,
    ZIT_BGRA32 = 20,
    ZIT_YUY2 = 21,
    ZIT_IYUY = 22,
    ZIT_GRAY8 = 23,
    ZIT_GRAY4 = 24,
};

// Describes the pixel buffer beside it: type code, width, height.
struct ZImageFormat {
    std::int32_t type = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;

    // Bytes of one image of this format (planar YUV: the three planes; 4-bit
    // grey: rows of whole bytes); 0 for an unknown type, a negative side or a
    // size that does not fit an int.
    int getBufferSize() const;
    // 12 bytes: type, width, height, each 4 bytes little-endian.
    std::string serialize() const;
    bool deserialize(const std::string& bytes);
    // "[type,widthxheight]" for log lines.
    std::wstring toString() const;
    bool operator==(const ZImageFormat& o) const = default;
};

// Bytes per pixel of a type code (0 for codes without a pixel layout).
int ZImageBytesPerPixel(std::int32_t type);

int ZMin(int a, int b);
std::int64_t ZMax(std::int64_t a, std::int64_t b);
void ZRectClip(ZRect& rect, const ZRect& bounds);
bool ZRectWithin(const ZRect& rect, int width, int height);
bool ZRectIntersects(const ZRect& a, const ZRect& b);
// Whether outer holds inner (edges may coincide).
bool ZRectContains(const ZRect& outer, const ZRect& inner);
// No area: width or height not positive.
bool ZRectEmpty(const ZRect& rect);

// Newest covers older: cuts the new rectangle out of the list, then appends it.
void ZFragInsert(std::list<ZFrag>& list, const ZFrag& frag);
// Listed stays on top: appends only the parts of frag not yet covered.
void ZFragMerge(std::list<ZFrag>& list, const ZFrag& frag);
// Replaces every fragment by its parts outside cut (image family).
void ZFragSubtract(std::list<ZFrag>& list, const ZFrag& cut);
