#include <gtest/gtest.h>

#include "ZImage.h"
#include "ZImageTestSupport.h"
#include "ZTestSupport.h"

namespace {

std::string filled(int w, int h, const Bytes& px) {
    std::string s;
    for (int i = 0; i < w * h; ++i) s += S(px);
    return s;
}

// Bounding box of the target's pixels that differ from the fill.
ZRect changed(const std::string& img, int w, int h, int bpp, const Bytes& fill) {
    ZRect r = ZRECT_NOTHING;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            if (pixelAt(img, w, bpp, x, y) != fill) {
                r.left = std::min(r.left, x), r.top = std::min(r.top, y);
                r.right = std::max(r.right, x + 1), r.bottom = std::max(r.bottom, y + 1);
            }
    return r;
}

}  // namespace

TEST(ZImageCopy, AspectFitCentresAWideSourceInASquareTarget) {
    const std::string src = filled(100, 50, {9, 9, 9});
    std::string dst = filled(100, 100, {0, 0, 0});
    const ZRect drawn = ZImageCopy(ZImageFormat{ZIT_RGB24, 100, 50}, U(src), ZRect{0, 0, 100, 50},
                                   ZImageFormat{ZIT_RGB24, 100, 100}, U(dst), ZRect{0, 0, 100, 100},
                                   ZIC_ASPECT | ZIC_RESIZE_NEAREST);
    EXPECT_EQ(drawn, (ZRect{0, 25, 100, 75}));
    EXPECT_EQ(changed(dst, 100, 100, 3, {0, 0, 0}), (ZRect{0, 25, 100, 75}));
}

TEST(ZImageCopy, TilesAcrossTheTargetClampingTheLastTile) {
    const std::string src = patterned(ZIT_RGB24, 10, 10);
    for (bool tile : {true, false}) {
        std::string dst = filled(25, 10, {0, 0, 0});
        const ZRect drawn = ZImageCopy(ZImageFormat{ZIT_RGB24, 10, 10}, U(src), ZRect{0, 0, 10, 10},
                                       ZImageFormat{ZIT_RGB24, 25, 10}, U(dst), ZRect{0, 0, 25, 10},
                                       tile ? ZIC_TILE_X : 0);
        EXPECT_EQ(drawn, (ZRect{0, 0, tile ? 25 : 10, 10}));
        EXPECT_EQ(pixelAt(dst, 25, 3, 24, 9), tile ? pixelAt(src, 10, 3, 4, 9) : (Bytes{0, 0, 0}));
        EXPECT_EQ(pixelAt(dst, 25, 3, 13, 2), tile ? pixelAt(src, 10, 3, 3, 2) : (Bytes{0, 0, 0}));
    }
}

TEST(ZImageCopy, AlignmentCropsAWiderSourceAndPlacesANarrowerOne) {
    const std::string src = patterned(ZIT_RGB24, 6, 1);
    const struct {
        std::uint32_t flags;
        int targetWidth;
        int firstSourceColumn;
        int firstTargetColumn;
    } cases[] = {
        {0, 4, 0, 0}, {ZIC_ALIGN_HCENTER, 4, 1, 0}, {ZIC_ALIGN_RIGHT, 4, 2, 0},
        {ZIC_ALIGN_HCENTER, 10, 0, 2}, {ZIC_ALIGN_RIGHT, 10, 0, 4},
    };
    for (const auto& c : cases) {
        std::string dst = filled(c.targetWidth, 1, {0, 0, 0});
        ZImageCopy(ZImageFormat{ZIT_RGB24, 6, 1}, U(src), ZRect{0, 0, 6, 1}, ZImageFormat{ZIT_RGB24, c.targetWidth, 1},
                   U(dst), ZRect{0, 0, c.targetWidth, 1}, c.flags);
        EXPECT_EQ(pixelAt(dst, c.targetWidth, 3, c.firstTargetColumn, 0), pixelAt(src, 6, 3, c.firstSourceColumn, 0))
            << c.flags << " into " << c.targetWidth;
    }
}

TEST(ZImageCopy, FourBytePixelsBlendUnlessToldNotTo) {
    const Bytes clear = {10, 20, 30, 0};
    const std::string src = S(clear);
    std::string dst = S({1, 2, 3, 255});
    ZImageCopy(ZImageFormat{ZIT_RGBA32, 1, 1}, U(src), ZRect{0, 0, 1, 1}, ZImageFormat{ZIT_RGBA32, 1, 1}, U(dst),
               ZRect{0, 0, 1, 1}, 0);
    EXPECT_EQ(B(dst), (Bytes{1, 2, 3, 255}));
    ZImageCopy(ZImageFormat{ZIT_RGBA32, 1, 1}, U(src), ZRect{0, 0, 1, 1}, ZImageFormat{ZIT_RGBA32, 1, 1}, U(dst),
               ZRect{0, 0, 1, 1}, ZIC_NOBLEND);
    EXPECT_EQ(B(dst), clear);
}

TEST(ZImageCopy, ConvertsTheSourceToTheTargetType) {
    const std::string src = S({0, 0, 255});  // red in BGR
    std::string dst = S({0, 0, 0});
    ZImageCopy(ZImageFormat{ZIT_BGR24, 1, 1}, U(src), ZRect{0, 0, 1, 1}, ZImageFormat{ZIT_RGB24, 1, 1}, U(dst),
               ZRect{0, 0, 1, 1}, 0);
    EXPECT_EQ(B(dst), (Bytes{255, 0, 0}));
}

TEST(ZImageCopy, EmptyClippedTargetDrawsNothing) {
    const std::string src = filled(4, 4, {1, 1, 1});
    std::string dst = filled(4, 4, {0, 0, 0});
    const std::string before = dst;
    const ZRect drawn = ZImageCopy(ZImageFormat{ZIT_RGB24, 4, 4}, U(src), ZRect{0, 0, 4, 4},
                                   ZImageFormat{ZIT_RGB24, 4, 4}, U(dst), ZRect{10, 0, 20, 4}, 0);
    EXPECT_EQ(drawn, ZRECT_NOTHING);
    EXPECT_EQ(dst, before);
}

TEST(ZImageCopy, TwoBytePixelsCopyRowByRow) {
    const std::string src = S({1, 2, 3, 4, 5, 6, 7, 8});  // 2 x 2 RGB565
    std::string dst(3 * 2 * 2, '\0');
    ZImageCopy(ZImageFormat{ZIT_RGB565, 2, 2}, U(src), ZRect{0, 0, 2, 2}, ZImageFormat{ZIT_RGB565, 3, 2}, U(dst),
               ZRect{1, 0, 3, 2}, 0);
    EXPECT_EQ(B(dst), (Bytes{0, 0, 1, 2, 3, 4, 0, 0, 5, 6, 7, 8}));
}

TEST(_ZImageCopy, RectanglesReachingPastTheImagesCopyOnlyTheOverlap) {
    // A region from a peer may lie partly outside the screen image.
    const std::string src = patterned(ZIT_RGB24, 4, 4);
    std::string dst = filled(4, 4, {0, 0, 0});
    ZLogCapture log;
    _ZImageCopy(ZImageFormat{ZIT_RGB24, 4, 4}, U(src), ZRect{0, 0, 4, 4}, ZImageFormat{ZIT_RGB24, 4, 4}, U(dst),
                ZRect{2, -1, 6, 3}, ZIC_NOBLEND);
    EXPECT_EQ(changed(dst, 4, 4, 3, {0, 0, 0}), (ZRect{2, 0, 4, 3}));
    EXPECT_EQ(pixelAt(dst, 4, 3, 2, 0), pixelAt(src, 4, 3, 0, 1));
    EXPECT_EQ(pixelAt(dst, 4, 3, 3, 2), pixelAt(src, 4, 3, 1, 3));

    _ZImageCopy(ZImageFormat{ZIT_RGB24, 4, 4}, U(src), ZRect{0, 0, 4, 4}, ZImageFormat{ZIT_RGB24, 4, 4}, U(dst),
                ZRect{100, 100, 104, 104}, ZIC_NOBLEND);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(_ZImageCopy, ProgrammingErrorsAreFatalWithTheirCheckTexts) {
    const std::string img = patterned(ZIT_RGB24, 4, 4);
    std::string dst = img;
    const ZImageFormat f = {ZIT_RGB24, 4, 4};
    ZLogCapture log;
    EXPECT_ZABORT(_ZImageCopy(f, U(img), ZRect{0, 0, 2, 2}, ZImageFormat{ZIT_BGR24, 4, 4}, U(dst), ZRect{0, 0, 2, 2}, 0));
    EXPECT_ZABORT(_ZImageCopy(f, U(img), ZRect{0, 0, 1, 1}, f, U(dst), ZRect{0, 0, 2, 2}, 0));
    EXPECT_ZABORT(_ZImageCopy(f, U(img), ZRect{0, 0, 0, 1}, f, U(dst), ZRect{0, 0, 2, 2}, 0));
    const std::string gray = S({1, 2, 3, 4});
    std::string grayOut = gray;
    EXPECT_ZABORT(_ZImageCopy(ZImageFormat{ZIT_GRAY8, 2, 2}, U(gray), ZRect{0, 0, 2, 2}, ZImageFormat{ZIT_GRAY8, 2, 2},
                              U(grayOut), ZRect{0, 0, 2, 2}, 0));
    EXPECT_TRUE(log.contains(L"(fromFormat.type == toFormat.type)"));
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed, aborting. (fromWidth == toWidth && fromHeight == toHeight)"));
    EXPECT_TRUE(log.contains(L"(fromRect.right > fromRect.left && fromRect.bottom > fromRect.top)"));
    EXPECT_TRUE(log.contains(L"ERROR Attempting to copy into unsupported format #23, aborting."));
}
