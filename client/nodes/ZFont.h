// The skin's text renderer: a font specification text ("size, style, colour,
// face") turned into a face, text measured and laid out by the style's rules,
// and drawn as a coloured image whose alpha is the glyph coverage.
//
// Only the part of a text image that lies inside the clip rectangle is ever
// rasterised and kept, so a text of any length costs memory in proportion to
// what is visible. The image last drawn is cached with its text and visible
// band; drawing the same again composites the cached image only.
//
// Threading: UI thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ZObject.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Rect.h"

class ZFontFace;

// Layout flags derived from the style letters.
constexpr std::uint32_t ZFONT_CENTER = 0x1;
constexpr std::uint32_t ZFONT_RIGHT = 0x2;
constexpr std::uint32_t ZFONT_WORDBREAK = 0x10;
constexpr std::uint32_t ZFONT_END_ELLIPSIS = 0x8000;

class ZFont : public ZStackObject {
public:
    ZFont();
    ~ZFont();
    ZFont(const ZFont&) = delete;
    ZFont& operator=(const ZFont&) = delete;

    // Applies a specification; false when it equals the current one apart
    // from letter case (then nothing happens).
    bool update(const std::wstring& spec);
    // The specified size, not a measured one (0 for a size that is no number).
    int getHeight();
    // Right and bottom become what the text needs from the rectangle's left
    // and top (for word-broken text, within its width); empty text or no
    // font empties the rectangle.
    void measureText(ZRect& rect, const std::wstring& text);
    // Draws the text at rect, limited to clipRect, onto an RGBA32 target and
    // answers the height of the text last rendered.
    int drawText(const ZImageFormat& format, unsigned char* pixels, const std::wstring& text, const ZRect& rect,
                 const ZRect& clipRect);

    std::uint32_t getDrawFlags() const { return _drawFlags; }
    const ZColor& getColor() const { return _color; }
    // How many times a text image was rasterised (a cache miss).
    int getRenderCount() const { return _renderCount; }
    // Bytes held by the cached text image.
    std::size_t getCachedBytes() const { return _textBuffer.capacity(); }

private:
    struct Line {
        std::size_t begin = 0;
        std::size_t end = 0;
        int width = 0;
    };
    void _layout(const std::u32string& text, int wrapWidth, std::vector<Line>& lines);
    int _width(const std::u32string& text, std::size_t begin, std::size_t end);
    void _drawLine(const std::u32string& text, const Line& line, int lineTop, int lineX, int maxWidth,
                   const ZRect& band, std::vector<std::uint8_t>& coverage);

    std::wstring _fontSpec;
    std::unique_ptr<ZFontFace> _face;
    int _height = 0;
    ZColor _color;
    std::uint32_t _drawFlags = 0;
    bool _underline = false;
    bool _strikeOut = false;
    // The cached text image: the band {left, top, right, bottom} of the
    // whole text image (width x height) that was rasterised.
    ZImageFormat _textFormat;
    std::string _textBuffer;
    std::wstring _renderedText;
    bool _rendered = false;
    ZRect _renderedBand;
    int _renderedWidth = 0;
    int _renderedRectWidth = 0;
    int _measuredWidth = 0;
    int _textHeight = 0;
    int _renderCount = 0;
};
