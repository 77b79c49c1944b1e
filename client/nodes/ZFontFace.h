// One face of a font family at one pixel size, matched through fontconfig and
// rasterised by FreeType, with the coverage of every glyph it has drawn kept
// for reuse. The font class lays text out and composes lines from these
// glyphs; nothing here talks to a display.
//
// Threading: UI thread only (the process-wide FreeType library and the
// fontconfig match cache are not locked).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

// The coverage of one glyph: 0 (none) to 255 (full), rows top first.
struct ZFontGlyph {
    int advance = 0;
    int left = 0;  // from the pen position to the bitmap's first column
    int top = 0;   // from the baseline up to the bitmap's first row
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> coverage;
};

struct ZFontFaceStyle {
    std::wstring family;
    bool bold = false;
    bool italic = false;
    bool monochrome = false;
    // > 0: the height of one line (cell height); < 0: the em height; 0: 16.
    int size = 0;
};

class ZFontFace {
public:
    ZFontFace();
    ~ZFontFace();
    ZFontFace(const ZFontFace&) = delete;
    ZFontFace& operator=(const ZFontFace&) = delete;

    // False (and one warning line) when no face of any family can be opened.
    bool open(const ZFontFaceStyle& style);

    int lineHeight() const { return _lineHeight; }
    int ascent() const { return _ascent; }
    // Rows below the baseline (positive down) and thickness of the two lines.
    int underlinePosition() const { return _underlinePosition; }
    int underlineThickness() const { return _underlineThickness; }
    int strikePosition() const { return _strikePosition; }
    int strikeThickness() const { return _strikeThickness; }

    const ZFontGlyph& glyph(char32_t codePoint);
    int advance(char32_t codePoint) { return glyph(codePoint).advance; }

private:
    struct Impl;
    std::unique_ptr<Impl> _impl;
    std::unordered_map<char32_t, ZFontGlyph> _glyphs;
    int _lineHeight = 0;
    int _ascent = 0;
    int _underlinePosition = 0;
    int _underlineThickness = 1;
    int _strikePosition = 0;
    int _strikeThickness = 1;
};
