// The image family: a pixel buffer is a ZImageFormat and a run of bytes,
// rows top first, rows without gaps. These free functions convert, copy,
// scale, mirror, crop, encode, decode, compare and draw such buffers.
//
// Functions that produce a buffer whose size changes write it into a
// caller-owned std::string, which they first empty and then size. Programming
// errors (null buffers, non-positive sizes, unsupported type pairs) are fatal
// checks; formats and rectangles that may come from a peer are validated
// first with ZImageByteSize / ZImageFormatFits, and rectangles are clipped to
// their images before any copy.
//
// Threading: no state; any thread may call any function on buffers it owns.
// Every FreeImage call (JPEG, ZImageLoad of other than plain PNG) is
// serialised by one process-wide mutex; the first such call opens FreeImage.
#pragma once

#include <climits>
#include <cstdint>
#include <list>
#include <string>

#include "ZPortable_Rect.h"

// FreeImage's JPEG file format code, the JPEG target of ZImageConvert.
constexpr std::int32_t ZIT_JPEG = 2;

// Copy flags of ZImageCopy, _ZImageCopy and ZImageResize.
constexpr std::uint32_t ZIC_ALIGN_HCENTER = 0x10;
constexpr std::uint32_t ZIC_ALIGN_RIGHT = 0x20;
constexpr std::uint32_t ZIC_SCALE_X = 0x40;
constexpr std::uint32_t ZIC_TILE_X = 0x80;
constexpr std::uint32_t ZIC_ALIGN_VCENTER = 0x100;
constexpr std::uint32_t ZIC_ALIGN_BOTTOM = 0x200;
constexpr std::uint32_t ZIC_SCALE_Y = 0x400;
constexpr std::uint32_t ZIC_TILE_Y = 0x800;
constexpr std::uint32_t ZIC_ASPECT = 0x1000;
constexpr std::uint32_t ZIC_NOBLEND = 0x10000;
constexpr std::uint32_t ZIC_RESIZE_LINEAR = 0x100000;
constexpr std::uint32_t ZIC_RESIZE_NEAREST = 0x200000;

// What ZImageCopy and ZImageCompare return when nothing was drawn or differs.
constexpr ZRect ZRECT_NOTHING = {INT_MAX, INT_MAX, INT_MIN, INT_MIN};

// ---- sizes and validation ------------------------------------------------------

// Bytes of one image of the format: packed 4-bit grey is ceil(w/2) per row,
// planar YUV 4:2:0 its three planes together. -1 for an unknown type, a
// non-positive side or more than INT_MAX bytes.
std::int64_t ZImageByteSize(const ZImageFormat& format);
// True when the format is valid by ZImageByteSize and bufferBytes holds it.
bool ZImageFormatFits(const ZImageFormat& format, std::size_t bufferBytes);

// ---- conversion and copy ----------------------------------------------------------

// In place: RGBA32 <-> BGRA32 and RGB24 <-> BGR24; sets the format's type.
void ZImageConvert(ZImageFormat& format, unsigned char* buffer, std::int32_t toType);
// A whole image into out.
void ZImageConvert(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, std::int32_t toType,
                   std::string& out);
// One rectangle (clipped to the image) into out, which then holds an image or
// an encoded stream (ZIT_PNG, ZIT_JPEG) of the rectangle's size.
void ZImageConvert(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& rect,
                   std::int32_t toType, std::string& out);

// Same-type copy of the target rectangle's size; 4-byte pixels are
// composited over the target unless ZIC_NOBLEND.
void _ZImageCopy(ZImageFormat fromFormat, const unsigned char* fromBuffer, ZRect fromRect, ZImageFormat toFormat,
                 unsigned char* toBuffer, ZRect toRect, std::uint32_t flags);
// The drawing copy: type conversion, aspect fit, scaling, alignment and
// tiling. Returns the bounding rectangle drawn, or ZRECT_NOTHING.
ZRect ZImageCopy(ZImageFormat fromFormat, const unsigned char* fromBuffer, ZRect fromRect, ZImageFormat toFormat,
                 unsigned char* toBuffer, ZRect toRect, std::uint32_t flags);

// Planar YUV 4:2:0 planes to RGB24 and back.
void ZImageConvertFromIYUY(const ZImageFormat& fromFormat, const unsigned char* fromYBuffer,
                           const unsigned char* fromUBuffer, const unsigned char* fromVBuffer,
                           const ZImageFormat& toFormat, std::string& out);
// Chroma planes are ceil(w/2) x ceil(h/2) bytes.
void ZImageConvertToIYUY(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, std::string& outY,
                         std::string& outU, std::string& outV);

// ---- geometry ---------------------------------------------------------------------

// Scales fromRect to newWidth x newHeight; nearest, linear or (default)
// cubic interpolation by the flags.
void ZImageResize(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& fromRect,
                  int newWidth, int newHeight, std::string& out, std::uint32_t flags);
void ZImageResizeIYUY(const ZImageFormat& fromFormat, const unsigned char* fromYBuffer,
                      const unsigned char* fromUBuffer, const unsigned char* fromVBuffer, int newWidth,
                      int newHeight, std::string& outY, std::string& outU, std::string& outV);
// Turns the image upside down in place (3- and 4-byte types).
void ZImageVertMirror(const ZImageFormat& format, unsigned char* buffer);
void ZImageCrop(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& fromRect,
                std::string& out);
// Changes the frame size in place, keeping the top-left content and filling
// new area with the colour (bytes R, G, B, A in memory order).
void ZImageReframe(ZImageFormat& format, std::string& buffer, int newWidth, int newHeight, std::uint32_t color);

// ---- encoding and decoding ---------------------------------------------------------

// Any common picture format from memory through FreeImage (local files only):
// ZIT_RGB24 or ZIT_RGBA32, rows top first. False, a zero format, an empty
// output and one warning when it cannot be decoded. 8-bit RGB and RGBA PNGs
// without tRNS or gamma (the skin's) are read by libpng alone, to the same
// bytes; FreeImage is opened at the first picture of another kind, and when
// it cannot be opened such pictures are refused after one more warning.
bool ZImageLoad(const unsigned char* data, int size, ZImageFormat& format, std::string& out);
// A PNG from the network: signature checked, decoded by libpng alone, refused
// unless it is exactly expectedWidth x expectedHeight (0 for "any size up to
// the limits"). Gives ZIT_RGB24 or ZIT_RGBA32, rows top first.
bool ZImageDecodePNG(const unsigned char* data, int size, int expectedWidth, int expectedHeight,
                     ZImageFormat& format, std::string& out);

// ---- comparison, fragments, drawing -----------------------------------------------

// Bounding rectangle (relative to the regions) of the samples that differ,
// every downsampleFactor-th pixel; false and ZRECT_NOTHING when none does.
bool ZImageCompare(const ZImageFormat& lhsFormat, const unsigned char* lhsBuffer, const ZRect& lhsRect,
                   const ZImageFormat& rhsFormat, const unsigned char* rhsBuffer, const ZRect& rhsRect,
                   ZRect& diffRect, int downsampleFactor);
// Cuts every fragment larger than the limits into tiles, in place.
void ZFragExplodeList(std::list<ZFrag>& list, int largestWidth, int largestHeight);

// Colours are four bytes R, G, B, A; line ends are inclusive, rectangles
// exclusive at right and bottom; everything is clipped to the image.
void ZImageDrawHorizLine(const ZImageFormat& format, unsigned char* buffer, int x1, int y, int x2,
                         const unsigned char* color);
void ZImageDrawVertLine(const ZImageFormat& format, unsigned char* buffer, int x, int y1, int y2,
                        const unsigned char* color);
void ZImageInvertHorizLine(const ZImageFormat& format, unsigned char* buffer, int x1, int y, int x2);
void ZImageDrawRect(const ZImageFormat& format, unsigned char* buffer, const ZRect& rect, const unsigned char* color);
void ZImageFillRect(const ZImageFormat& format, unsigned char* buffer, const ZRect& rect, const unsigned char* color);
void ZImageInvertRect(const ZImageFormat& format, unsigned char* buffer, const ZRect& rect);
