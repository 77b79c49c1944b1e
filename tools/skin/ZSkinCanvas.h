// A small RGBA drawing surface for the skin generator: flat fills,
// gradients, frames and shapes given by a coverage test, which is sampled
// 4 x 4 times per pixel so that curved and slanted edges come out smooth.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ZPortable_Rect.h"

// Four bytes R, G, B, A.
struct ZSkinColor {
    std::uint8_t r = 0;
    std::uint8_t g = 0;
    std::uint8_t b = 0;
    std::uint8_t a = 255;
};

// "#RRGGBB" or "#RRGGBBAA" written in code; a malformed text is a programming error.
ZSkinColor ZSkinParseColor(const char* text);
// The colour part of the way from one colour to another (0 gives from, 1 gives to).
ZSkinColor ZSkinMix(ZSkinColor from, ZSkinColor to, double part);

class ZSkinCanvas {
public:
    ZSkinCanvas(int width, int height, ZSkinColor fill);

    int width() const { return _format.width; }
    int height() const { return _format.height; }
    const ZImageFormat& format() const { return _format; }
    const std::string& pixels() const { return _pixels; }
    ZSkinColor at(int x, int y) const;

    // Everything is clipped to the canvas; right and bottom are exclusive.
    void fill(const ZRect& rect, ZSkinColor color);
    // Top row in from, bottom row in to.
    void verticalGradient(const ZRect& rect, ZSkinColor from, ZSkinColor to);
    // A one-pixel outline inside the rectangle.
    void frame(const ZRect& rect, ZSkinColor color);
    // Composites color over every pixel in proportion to the part of it
    // (sampled 4 x 4) for which inside(x, y) holds; x and y in pixels.
    void shape(const std::function<bool(double, double)>& inside, ZSkinColor color);
    // Copies another canvas in at (x, y), replacing what was there.
    void paste(const ZSkinCanvas& from, int x, int y);
    // Each pixel replaced by its luminance, alpha kept.
    void toGrey();

private:
    void _blend(int x, int y, ZSkinColor color, double coverage);

    ZImageFormat _format;
    std::string _pixels;
};
