// The skin's font: specification texts, measuring, layout and the cached
// text image, drawn into plain memory buffers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZFont.h"
#include "ZImage.h"

namespace {

// A transparent RGBA32 target.
struct Target {
    ZImageFormat format;
    std::vector<unsigned char> pixels;
    Target(int width, int height) : format{ZIT_RGBA32, width, height}, pixels(static_cast<size_t>(width) * height * 4) {}
    int alpha(int x, int y) const { return pixels[(static_cast<size_t>(y) * format.width + x) * 4 + 3]; }
    // Bounding box of the pixels any text touched; empty when none.
    ZRect inked() const {
        ZRect box{format.width, format.height, 0, 0};
        for (int y = 0; y < format.height; ++y)
            for (int x = 0; x < format.width; ++x)
                if (alpha(x, y)) {
                    box.left = std::min(box.left, x);
                    box.top = std::min(box.top, y);
                    box.right = std::max(box.right, x + 1);
                    box.bottom = std::max(box.bottom, y + 1);
                }
        if (box.right <= box.left) return ZRect{};
        return box;
    }
    int draw(ZFont& font, const std::wstring& text, const ZRect& rect) {
        return font.drawText(format, pixels.data(), text, rect, ZRect{0, 0, format.width, format.height});
    }
};

ZRect measure(ZFont& font, const std::wstring& text, int width = 0) {
    ZRect rect{0, 0, width, 0};
    font.measureText(rect, text);
    return rect;
}

}  // namespace

TEST(ZFont, ReadsSpecificationsByPosition) {
    struct Case {
        const wchar_t* spec;
        int height;
        std::uint32_t flags;
        ZColor color;
    } cases[] = {
        {L"", 16, ZFONT_END_ELLIPSIS, ZColor(0, 0, 0, 255)},
        {L"12,,#FF0000", 12, ZFONT_END_ELLIPSIS, ZColor(0, 0, 0, 255)},  // "#FF0000" is the style
        {L"12,,#0B0C00", 12, ZFONT_END_ELLIPSIS | ZFONT_CENTER, ZColor(0, 0, 0, 255)},  // its c centres
        {L"13,italic", 13, ZFONT_END_ELLIPSIS | ZFONT_CENTER, ZColor(0, 0, 0, 255)},
        {L"big", 0, ZFONT_END_ELLIPSIS, ZColor(0, 0, 0, 255)},
        {L"14; mr; #10203040; DejaVu Sans", 14, ZFONT_WORDBREAK | ZFONT_RIGHT, ZColor(0x10, 0x20, 0x30, 0x40)},
        {L"9,x,red", 9, ZFONT_END_ELLIPSIS, ZColor(255, 0, 0, 255)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "spec '" << std::string(c.spec, c.spec + wcslen(c.spec)) << "'");
        ZFont font;
        EXPECT_TRUE(font.update(c.spec));
        EXPECT_EQ(font.getHeight(), c.height);
        EXPECT_EQ(font.getDrawFlags(), c.flags);
        EXPECT_EQ(font.getColor(), c.color);
        EXPECT_FALSE(font.update(c.spec));
    }
    // A change of letter case alone changes nothing.
    ZFont font;
    ASSERT_TRUE(font.update(L"12,b,#aabbcc,dejavu sans"));
    EXPECT_FALSE(font.update(L"12,B,#AABBCC,DejaVu Sans"));
    EXPECT_EQ(font.getColor(), ZColor(0xAA, 0xBB, 0xCC, 255));
    // A size that is no number still draws at the default size.
    ZFont noSize;
    noSize.update(L"big");
    EXPECT_EQ(measure(noSize, L"x").bottom, 16);
}

TEST(ZFont, MeasuresLinesAndWords) {
    ZFont none;
    EXPECT_EQ(measure(none, L"text", 50), (ZRect{0, 0, 0, 0}));  // no font yet

    ZFont line;
    line.update(L"16");
    ZRect one = measure(line, L"Hello");
    EXPECT_EQ(one.bottom, 16);
    EXPECT_GT(one.right, 20);
    EXPECT_EQ(measure(line, L"").right, 0);
    EXPECT_EQ(measure(line, L"a\nb").bottom, 32);
    EXPECT_EQ(measure(line, L"a\r\nb").bottom, 32);
    // Without word breaking the width never wraps and the measure is never
    // shortened by the ellipsis.
    const ZRect longLine = measure(line, L"one two three four five six", 30);
    EXPECT_EQ(longLine.bottom, 16);
    EXPECT_GT(longLine.right, 100);
    // A negative size is the em height: the line is taller than the em.
    ZFont em;
    em.update(L"-16");
    EXPECT_GT(measure(em, L"x").bottom, 16);

    ZFont wrapped;
    wrapped.update(L"16,m");
    const ZRect words = measure(wrapped, L"one two three four five six", 80);
    EXPECT_GT(words.bottom, 16);
    EXPECT_EQ(words.bottom % 16, 0);
    EXPECT_LE(words.right, 80);
    const ZRect longWord = measure(wrapped, L"a Supercalifragilisticexpialidocious b", 40);
    EXPECT_GT(longWord.right, 40);  // the long word widens the measure
    EXPECT_EQ(longWord.bottom, 48);
}

TEST(ZFont, DrawsLiterallyWithinItsRectangle) {
    ZFont font;
    font.update(L"16,x,#FF000080");
    Target target(200, 40);
    EXPECT_EQ(target.draw(font, L"Q&A", ZRect{10, 5, 190, 35}), 16);
    const ZRect ink = target.inked();
    EXPECT_GE(ink.left, 10);
    EXPECT_GE(ink.top, 5);
    EXPECT_LE(ink.bottom, 5 + 16);
    // The ampersand is drawn, not taken as a mnemonic prefix.
    ZRect measured{0, 0, 0, 0};
    font.measureText(measured, L"Q&A");
    ZRect withoutAmp{0, 0, 0, 0};
    font.measureText(withoutAmp, L"QA");
    EXPECT_GT(measured.right, withoutAmp.right);
    EXPECT_GT(ink.right - ink.left, withoutAmp.right - 4);
    // Coverage is the alpha; the colour's own alpha is unused.
    bool opaque = false;
    for (int y = ink.top; y < ink.bottom; ++y)
        for (int x = ink.left; x < ink.right; ++x)
            if (target.alpha(x, y) == 255) {
                opaque = true;
                EXPECT_EQ(target.pixels[(static_cast<size_t>(y) * 200 + x) * 4], 255);
            }
    EXPECT_TRUE(opaque);
}

TEST(ZFont, AlignsAndEllipsises) {
    ZFont centred;
    centred.update(L"16,c");
    Target target(200, 20);
    target.draw(centred, L"Middle", ZRect{0, 0, 200, 20});
    const ZRect ink = target.inked();
    ZRect size = measure(centred, L"Middle");
    const int left = (200 - size.right) / 2;
    EXPECT_NEAR(ink.left, left, 2);
    EXPECT_NEAR(200 - ink.right, 200 - (left + size.right), 3);

    ZFont right;
    right.update(L"16,r");
    Target r(200, 20);
    r.draw(right, L"Right", ZRect{0, 0, 200, 20});
    EXPECT_GE(r.inked().right, 196);

    // Too long for its rectangle: cut and ended by "...", inside the rectangle.
    ZFont plain;
    plain.update(L"16");
    Target cut(300, 20);
    cut.draw(plain, L"a rather long line of text that does not fit", ZRect{0, 0, 100, 20});
    EXPECT_LE(cut.inked().right, 100);
    EXPECT_GT(cut.inked().right, 80);
}

TEST(ZFont, CachesTheTextImage) {
    ZFont font;
    font.update(L"16,x,#000000");
    Target target(200, 20);
    target.draw(font, L"cached", ZRect{0, 0, 200, 20});
    target.draw(font, L"cached", ZRect{0, 0, 200, 20});
    EXPECT_EQ(font.getRenderCount(), 1);
    font.update(L"16,x,#00FF00");
    target.draw(font, L"cached", ZRect{0, 0, 200, 20});
    EXPECT_EQ(font.getRenderCount(), 2);
    target.draw(font, L"other", ZRect{0, 0, 200, 20});
    EXPECT_EQ(font.getRenderCount(), 3);

    // A clip that only touches the rectangle draws nothing and answers the
    // last height.
    Target clean(200, 40);
    EXPECT_EQ(font.drawText(clean.format, clean.pixels.data(), L"touch", ZRect{0, 20, 200, 40}, ZRect{0, 0, 200, 20}),
              16);
    EXPECT_EQ(clean.inked(), ZRect{});
    EXPECT_EQ(font.getRenderCount(), 3);
}

TEST(ZFont, ButtonCaptionSitsInTheMiddleRows) {
    // A 13-pixel caption centred in a 30-pixel button occupies rows 8 to 21.
    ZFont font;
    font.update(L"13,c");
    Target target(80, 30);
    const int top = (30 - font.getHeight()) / 2;
    target.draw(font, L"OK", ZRect{0, top, 80, top + font.getHeight()});
    const ZRect ink = target.inked();
    EXPECT_GE(ink.top, 8);
    EXPECT_LE(ink.bottom, 21);
}

TEST(ZFont, KeepsOnlyTheVisibleBandOfAHugeText) {
    ZFont font;
    font.update(L"16,m");
    const std::wstring text(65536, L'\n');
    std::wstring words = text + L"last";
    Target target(300, 200);
    const int height = target.draw(font, words, ZRect{0, 0, 300, 65537 * 16});
    EXPECT_EQ(height, 65537 * 16);
    EXPECT_LE(font.getCachedBytes(), 300u * 200 * 4);
    // Scrolled to the end, the last line shows.
    Target end(300, 200);
    font.drawText(end.format, end.pixels.data(), words, ZRect{0, 200 - 65537 * 16, 300, 200}, ZRect{0, 0, 300, 200});
    EXPECT_GT(end.inked().top, 180);
    EXPECT_LE(font.getCachedBytes(), 300u * 200 * 4);
}

TEST(ZFont, StylesChangeTheInk) {
    auto inkOf = [](const wchar_t* spec) {
        ZFont font;
        font.update(spec);
        Target target(200, 30);
        target.draw(font, L"Styled", ZRect{0, 0, 200, 30});
        int sum = 0, partial = 0;
        for (int y = 0; y < 30; ++y)
            for (int x = 0; x < 200; ++x) {
                sum += target.alpha(x, y);
                if (target.alpha(x, y) && target.alpha(x, y) != 255) ++partial;
            }
        return std::make_pair(sum, partial);
    };
    const auto plain = inkOf(L"16");
    EXPECT_GT(inkOf(L"16,b").first, plain.first);
    EXPECT_GT(inkOf(L"16,u").first, plain.first);
    EXPECT_GT(inkOf(L"16,s").first, plain.first);
    EXPECT_GT(plain.second, 0);             // antialiased
    EXPECT_EQ(inkOf(L"16,n").second, 0);    // monochrome
}
