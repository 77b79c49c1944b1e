// A small drawing surface: a 32-bit pixel buffer with a pen that draws
// lines, handed on afterwards as an ordinary image. While it is drawn on
// (ZIT_BGRA32) a pixel's bytes are blue, green, red and 255 minus alpha, so
// that what the pen paints (fourth byte 0) is opaque; convertToRGB turns it
// into ZIT_RGBA32 with a true alpha. Lines follow Bresenham's steps and, as
// the system's line drawing does, leave out their end point.
//
// Threading: one thread; it lives on the stack for one drawing.
#pragma once

#include <cstdint>
#include <string>

#include "ZPortable_Parse.h"
#include "ZPortable_Rect.h"

class ZImageGDI {
public:
    ZImageGDI() = default;

    // To a new width and height (the type must be ZIT_BGRA32); the same
    // width and height keep the type and the pixels. New pixels are unset.
    void resize(const ZImageFormat& toFormat);
    void clear(const ZColor& colour);
    // The pen's colour; its alpha is not used.
    void setColor(const ZColor& colour);
    void drawLine(int x1, int y1, int x2, int y2);
    void convertToRGB();

    const ZImageFormat& getFormat() const { return _format; }
    const unsigned char* getBuffer() const { return reinterpret_cast<const unsigned char*>(_buffer.data()); }

private:
    void _plot(int x, int y);

    std::string _buffer;
    ZImageFormat _format;
    ZColor _pen{0, 0, 0, 255};
};
