// What the image family's sources share among themselves.
#pragma once

#include <string>

#include "ZImage.h"

// Encoders of the rectangle conversion; rect lies within the image and has
// positive area, the type is one of 15 to 20.
void _ZImageEncodePNG(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& rect,
                      std::string& out);
void _ZImageEncodeJPEG(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& rect,
                       std::string& out);

// ZImageLoad's two readers. The first reads the PNG pictures that come out
// of FreeImage exactly as they are stored (8-bit RGB and RGBA without tRNS
// or gamma: the skin's), so that FreeImage and the many libraries it links
// are opened only for the others. NotMine leaves the stream untouched for
// FreeImage; Refused has logged its one warning.
enum class ZPNGLoad { Loaded, Refused, NotMine };
ZPNGLoad _ZImageLoadPNG(const unsigned char* data, int size, ZImageFormat& format, std::string& out);
// FreeImage's reading of any format it knows, opening it first if needed.
bool _ZImageLoadFreeImage(const unsigned char* data, int size, ZImageFormat& format, std::string& out);
// The shared library the first FreeImage call of the process opens; a test
// names one that cannot serve. Only a call before that first one counts.
void _ZFreeImageSetLibrary(const std::string& library);

// True (with one warning) when width x height pixels of four bytes would not
// fit an int: such a format, perhaps from a peer, is refused before any
// allocation.
bool _ZImageTooLarge(const ZImageFormat& format);

// The string's bytes as pixels.
inline unsigned char* _ZImageBytes(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

// libpng callbacks of the encoder.
struct png_struct_def;
void user_write_data(png_struct_def* png_ptr, unsigned char* data, std::size_t length);
void writepng_error_handler(png_struct_def* png_ptr, const char* message);
