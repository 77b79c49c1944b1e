#include "ZFont.h"

#include <algorithm>

#include "ZFontFace.h"
#include "ZImage.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// A rasterised size beyond this is no font a skin means; it would only cost
// memory.
constexpr int kLargestSize = 1024;

std::u32string ZFontCodePoints(const std::wstring& text) {
    std::u32string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::uint32_t unit = static_cast<std::uint32_t>(text[i]) & 0xFFFF;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < text.size()) {
            const std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]) & 0xFFFF;
            if (low >= 0xDC00 && low < 0xE000) {
                out.push_back(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        out.push_back(unit);
    }
    return out;
}

const std::u32string kEllipsis = U"...";

}  // namespace

ZFont::ZFont() : _fontSpec(L"(invalid)") { ZTRACE_KIND("ZFont"); }

ZFont::~ZFont() = default;

bool ZFont::update(const std::wstring& spec) {
    ZTRACE();
    invariantTest();
    if (ZCaseEquals(spec, _fontSpec)) return false;

    std::vector<std::wstring> items;
    ZParseList(items, spec);
    const int size = items.size() > 0 ? static_cast<int>(std::clamp<std::int64_t>(ZToInt64(items[0]), -kLargestSize,
                                                                                    kLargestSize))
                                      : 16;
    const std::wstring style = items.size() > 1 ? ZToLower(items[1]) : L"";
    const std::wstring color = items.size() > 2 ? items[2] : L"#000000FF";
    const std::wstring family = items.size() > 3 ? items[3] : L"Tahoma";
    auto has = [&style](wchar_t letter) { return style.find(letter) != std::wstring::npos; };

    _fontSpec = spec;
    _height = size;
    _color = ZColor(color);
    _underline = has(L'u');
    _strikeOut = has(L's');

    ZFontFaceStyle faceStyle;
    faceStyle.family = family;
    faceStyle.bold = has(L'b');
    faceStyle.italic = has(L'i');
    faceStyle.monochrome = has(L'n');
    faceStyle.size = size;
    _face = std::make_unique<ZFontFace>();
    if (!_face->open(faceStyle)) _face.reset();

    _drawFlags = (has(L'm') ? ZFONT_WORDBREAK : ZFONT_END_ELLIPSIS) |
                 (has(L'c') ? ZFONT_CENTER : (has(L'r') ? ZFONT_RIGHT : 0));
    _rendered = false;
    _renderedText.clear();
    return true;
}

int ZFont::getHeight() {
    invariantTest();
    return _height;
}

int ZFont::_width(const std::u32string& text, std::size_t begin, std::size_t end) {
    int width = 0;
    for (std::size_t i = begin; i < end; ++i) width += _face->advance(text[i]);
    return width;
}

// One line per line break; with word breaking, lines are also broken at
// spaces to stay within wrapWidth, and a word longer than that stays whole.
void ZFont::_layout(const std::u32string& text, int wrapWidth, std::vector<Line>& lines) {
    lines.clear();
    const bool wrap = (_drawFlags & ZFONT_WORDBREAK) != 0;
    std::size_t start = 0;
    while (true) {
        std::size_t end = start;
        while (end < text.size() && text[end] != U'\n' && text[end] != U'\r') ++end;
        if (!wrap) {
            lines.push_back(Line{start, end, _width(text, start, end)});
        } else {
            std::size_t pos = start;
            while (true) {
                Line line{pos, pos, 0};
                bool first = true;
                std::size_t q = pos;
                while (q < end) {
                    std::size_t wordBegin = q;
                    while (wordBegin < end && text[wordBegin] == U' ') ++wordBegin;
                    std::size_t wordEnd = wordBegin;
                    while (wordEnd < end && text[wordEnd] != U' ') ++wordEnd;
                    const int added = _width(text, q, wordEnd);
                    if (!first && line.width + added > wrapWidth) break;
                    line.width += added;
                    line.end = wordEnd;
                    q = wordEnd;
                    first = false;
                }
                lines.push_back(line);
                while (q < end && text[q] == U' ') ++q;
                if (q >= end) break;
                pos = q;
            }
        }
        if (end >= text.size()) break;
        // CR LF is one break.
        start = end + ((text[end] == U'\r' && end + 1 < text.size() && text[end + 1] == U'\n') ? 2 : 1);
    }
}

void ZFont::measureText(ZRect& rect, const std::wstring& text) {
    ZTRACE();
    invariantTest();
    if (text.empty() || !_face) {
        rect.right = rect.left;
        rect.bottom = rect.top;
        return;
    }
    const std::u32string points = ZFontCodePoints(text);
    std::vector<Line> lines;
    _layout(points, rect.right - rect.left, lines);
    int width = 0;
    for (const Line& line : lines) width = std::max(width, line.width);
    rect.right = rect.left + width;
    rect.bottom = rect.top + static_cast<int>(std::min<std::size_t>(lines.size(), 1u << 20)) * _face->lineHeight();
}

void ZFont::_drawLine(const std::u32string& text, const Line& line, int lineTop, int imageWidth, int maxWidth,
                      const ZRect& band, std::vector<std::uint8_t>& coverage) {
    // Without word breaking a line too wide for the rectangle ends in "...".
    std::u32string shown = text.substr(line.begin, line.end - line.begin);
    int shownWidth = line.width;
    if ((_drawFlags & ZFONT_END_ELLIPSIS) && line.width > maxWidth) {
        const int ellipsisWidth = _width(kEllipsis, 0, kEllipsis.size());
        std::size_t keep = 0;
        int kept = 0;
        while (keep < shown.size()) {
            const int next = _face->advance(shown[keep]);
            if (kept + next + ellipsisWidth > maxWidth) break;
            kept += next;
            ++keep;
        }
        shown = shown.substr(0, keep) + kEllipsis;
        shownWidth = kept + ellipsisWidth;
    }
    int x = 0;
    if (_drawFlags & ZFONT_CENTER) x = (imageWidth - shownWidth) / 2;
    else if (_drawFlags & ZFONT_RIGHT) x = imageWidth - shownWidth;

    const int bandWidth = band.right - band.left;
    auto plot = [&](int px, int py, std::uint8_t value) {
        if (px < band.left || px >= band.right || py < band.top || py >= band.bottom) return;
        std::uint8_t& cell = coverage[static_cast<std::size_t>(py - band.top) * bandWidth + (px - band.left)];
        cell = std::max(cell, value);
    };
    const int baseline = lineTop + _face->ascent();
    int pen = x;
    for (char32_t c : shown) {
        if (pen > band.right) break;
        const ZFontGlyph& glyph = _face->glyph(c);
        const int gx = pen + glyph.left;
        const int gy = baseline - glyph.top;
        if (gx + glyph.width > band.left) {
            for (int y = std::max(0, band.top - gy); y < glyph.height && gy + y < band.bottom; ++y) {
                const std::uint8_t* row = glyph.coverage.data() + static_cast<std::size_t>(y) * glyph.width;
                for (int gxi = std::max(0, band.left - gx); gxi < glyph.width && gx + gxi < band.right; ++gxi) {
                    if (row[gxi]) plot(gx + gxi, gy + y, row[gxi]);
                }
            }
        }
        pen += glyph.advance;
    }
    auto rule = [&](int top, int thickness) {
        for (int y = top; y < top + thickness; ++y) {
            if (y < band.top || y >= band.bottom) continue;
            for (int px = std::max(x, band.left); px < std::min(x + shownWidth, band.right); ++px) plot(px, y, 255);
        }
    };
    if (_underline) {
        const int top = std::min(baseline + _face->underlinePosition() - _face->underlineThickness() / 2,
                                 lineTop + _face->lineHeight() - _face->underlineThickness());
        rule(top, _face->underlineThickness());
    }
    if (_strikeOut) rule(baseline - _face->strikePosition(), _face->strikeThickness());
}

int ZFont::drawText(const ZImageFormat& format, unsigned char* pixels, const std::wstring& text, const ZRect& rect,
                    const ZRect& clipRect) {
    ZTRACE();
    invariantTest();
    if (clipRect.right <= clipRect.left || clipRect.bottom <= clipRect.top) return _textHeight;
    if (clipRect.left >= rect.right || clipRect.right <= rect.left || clipRect.top >= rect.bottom ||
        clipRect.bottom <= rect.top) {
        return _textHeight;
    }
    if (text.empty() || !_face) return _textHeight;

    const int rectWidth = rect.right - rect.left;
    // The same text in a rectangle of the same width lays out as before.
    const bool sameLayout = _rendered && rectWidth == _renderedRectWidth && text == _renderedText;
    std::u32string points;
    std::vector<Line> lines;
    int width = _measuredWidth;
    int height = _textHeight;
    if (!sameLayout) {
        points = ZFontCodePoints(text);
        _layout(points, rectWidth, lines);
        width = 0;
        for (const Line& line : lines) width = std::max(width, line.width);
        const std::int64_t fullHeight = static_cast<std::int64_t>(lines.size()) * _face->lineHeight();
        height = static_cast<int>(std::min<std::int64_t>(fullHeight, INT32_MAX / 2));
    }
    if (width == 0 || height == 0) return _textHeight;
    const int measuredWidth = width;
    if (_drawFlags & (ZFONT_CENTER | ZFONT_RIGHT)) width = rectWidth;

    ZRect inter = rect;
    ZRectClip(inter, clipRect);
    if (inter.right <= inter.left || inter.bottom <= inter.top) {
        ZWARNASSERT_T(false, "interWidth && interHeight");
        return _textHeight;
    }
    // The visible band of the whole text image (width x height).
    ZRect band{inter.left - rect.left, inter.top - rect.top, inter.right - rect.left, inter.bottom - rect.top};
    ZRectClip(band, ZRect{0, 0, width, height});
    if (ZRectEmpty(band)) return height;

    if (!sameLayout || !(band == _renderedBand) || width != _renderedWidth || height != _textHeight) {
        if (points.empty()) {
            points = ZFontCodePoints(text);
            _layout(points, rectWidth, lines);
        }
        const int lineHeight = _face->lineHeight();
        ++_renderCount;
        _renderedRectWidth = rectWidth;
        _measuredWidth = measuredWidth;
        _rendered = true;
        _renderedText = text;
        _renderedBand = band;
        _renderedWidth = width;
        _textHeight = height;
        const int bandWidth = band.right - band.left;
        const int bandHeight = band.bottom - band.top;
        std::vector<std::uint8_t> coverage(static_cast<std::size_t>(bandWidth) * bandHeight, 0);
        const std::size_t firstLine = static_cast<std::size_t>(band.top / lineHeight);
        const std::size_t lastLine = std::min(lines.size() - 1, static_cast<std::size_t>((band.bottom - 1) / lineHeight));
        for (std::size_t i = firstLine; i <= lastLine; ++i) {
            _drawLine(points, lines[i], static_cast<int>(i) * lineHeight, width, rectWidth, band, coverage);
        }
        _textFormat = ZImageFormat{ZIT_RGBA32, bandWidth, bandHeight};
        _textBuffer.resize(coverage.size() * 4);
        unsigned char* out = reinterpret_cast<unsigned char*>(_textBuffer.data());
        for (std::size_t i = 0; i < coverage.size(); ++i) {
            out[i * 4 + 0] = _color.r;
            out[i * 4 + 1] = _color.g;
            out[i * 4 + 2] = _color.b;
            out[i * 4 + 3] = coverage[i];
        }
    }
    if (pixels && format.width > 0 && format.height > 0) {
        const ZRect to{rect.left + band.left, rect.top + band.top, rect.left + band.right, rect.top + band.bottom};
        ZImageCopy(_textFormat, reinterpret_cast<const unsigned char*>(_textBuffer.data()),
                   ZRect{0, 0, _textFormat.width, _textFormat.height}, format, pixels, to, 0);
    }
    return _textHeight;
}
