#include "ZSkinCanvas.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

ZSkinColor ZSkinParseColor(const char* text) {
    unsigned r = 0, g = 0, b = 0, a = 255;
    const std::size_t length = std::strlen(text);
    const int read = length == 9 ? std::sscanf(text, "#%2x%2x%2x%2x", &r, &g, &b, &a)
                                 : std::sscanf(text, "#%2x%2x%2x", &r, &g, &b);
    if (text[0] != '#' || (length != 7 && length != 9) || read != static_cast<int>(length - 1) / 2) {
        std::fprintf(stderr, "zandrel-skin: bad colour '%s'\n", text);
        std::abort();
    }
    return {static_cast<std::uint8_t>(r), static_cast<std::uint8_t>(g), static_cast<std::uint8_t>(b),
            static_cast<std::uint8_t>(a)};
}

ZSkinColor ZSkinMix(ZSkinColor from, ZSkinColor to, double part) {
    auto mix = [part](std::uint8_t a, std::uint8_t b) {
        return static_cast<std::uint8_t>(std::lround(a + (b - a) * std::clamp(part, 0.0, 1.0)));
    };
    return {mix(from.r, to.r), mix(from.g, to.g), mix(from.b, to.b), mix(from.a, to.a)};
}

ZSkinCanvas::ZSkinCanvas(int width, int height, ZSkinColor fill) {
    _format = {ZIT_RGBA32, width, height};
    _pixels.resize(static_cast<std::size_t>(width) * height * 4);
    this->fill({0, 0, width, height}, fill);
}

ZSkinColor ZSkinCanvas::at(int x, int y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * _format.width + x) * 4;
    return {static_cast<std::uint8_t>(_pixels[i]), static_cast<std::uint8_t>(_pixels[i + 1]),
            static_cast<std::uint8_t>(_pixels[i + 2]), static_cast<std::uint8_t>(_pixels[i + 3])};
}

void ZSkinCanvas::fill(const ZRect& rect, ZSkinColor color) {
    ZRect r = rect;
    ZRectClip(r, {0, 0, _format.width, _format.height});
    for (int y = r.top; y < r.bottom; ++y)
        for (int x = r.left; x < r.right; ++x) {
            const std::size_t i = (static_cast<std::size_t>(y) * _format.width + x) * 4;
            _pixels[i] = static_cast<char>(color.r);
            _pixels[i + 1] = static_cast<char>(color.g);
            _pixels[i + 2] = static_cast<char>(color.b);
            _pixels[i + 3] = static_cast<char>(color.a);
        }
}

void ZSkinCanvas::verticalGradient(const ZRect& rect, ZSkinColor from, ZSkinColor to) {
    const int rows = rect.bottom - rect.top;
    for (int y = rect.top; y < rect.bottom; ++y) {
        const double part = rows > 1 ? static_cast<double>(y - rect.top) / (rows - 1) : 0.0;
        fill({rect.left, y, rect.right, y + 1}, ZSkinMix(from, to, part));
    }
}

void ZSkinCanvas::frame(const ZRect& rect, ZSkinColor color) {
    fill({rect.left, rect.top, rect.right, rect.top + 1}, color);
    fill({rect.left, rect.bottom - 1, rect.right, rect.bottom}, color);
    fill({rect.left, rect.top, rect.left + 1, rect.bottom}, color);
    fill({rect.right - 1, rect.top, rect.right, rect.bottom}, color);
}

void ZSkinCanvas::shape(const std::function<bool(double, double)>& inside, ZSkinColor color) {
    constexpr int kSamples = 4;
    for (int y = 0; y < _format.height; ++y)
        for (int x = 0; x < _format.width; ++x) {
            int hits = 0;
            for (int sy = 0; sy < kSamples; ++sy)
                for (int sx = 0; sx < kSamples; ++sx)
                    if (inside(x + (sx + 0.5) / kSamples, y + (sy + 0.5) / kSamples)) ++hits;
            if (hits) _blend(x, y, color, static_cast<double>(hits) / (kSamples * kSamples));
        }
}

void ZSkinCanvas::paste(const ZSkinCanvas& from, int x0, int y0) {
    for (int y = 0; y < from.height(); ++y)
        for (int x = 0; x < from.width(); ++x) fill({x0 + x, y0 + y, x0 + x + 1, y0 + y + 1}, from.at(x, y));
}

void ZSkinCanvas::toGrey() {
    for (int y = 0; y < _format.height; ++y)
        for (int x = 0; x < _format.width; ++x) {
            ZSkinColor c = at(x, y);
            const auto v = static_cast<std::uint8_t>(std::lround(0.299 * c.r + 0.587 * c.g + 0.114 * c.b));
            fill({x, y, x + 1, y + 1}, {v, v, v, c.a});
        }
}

void ZSkinCanvas::_blend(int x, int y, ZSkinColor color, double coverage) {
    // Source over destination with straight (not premultiplied) alpha.
    const ZSkinColor d = at(x, y);
    const double sa = color.a / 255.0 * coverage;
    const double da = d.a / 255.0;
    const double oa = sa + da * (1 - sa);
    auto channel = [&](std::uint8_t s, std::uint8_t t) {
        if (oa <= 0) return static_cast<std::uint8_t>(0);
        return static_cast<std::uint8_t>(std::lround((s * sa + t * da * (1 - sa)) / oa));
    };
    fill({x, y, x + 1, y + 1},
         {channel(color.r, d.r), channel(color.g, d.g), channel(color.b, d.b),
          static_cast<std::uint8_t>(std::lround(oa * 255))});
}
