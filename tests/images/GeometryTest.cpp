#include <gtest/gtest.h>

#include "ZImage.h"
#include "ZImageTestSupport.h"
#include "ZTestSupport.h"

TEST(ZImageResize, ScalesARegionByItsOwnFactorsPerAxis) {
    // 10 x 10 region at (2, 3) of a 14 x 14 grey image to 20 x 5: factors 2.0
    // and 0.5; nearest gives column x / 2 and row 2y of the region.
    const std::string src = patterned(ZIT_GRAY8, 14, 14);
    std::string out;
    ZImageResize(ZImageFormat{ZIT_GRAY8, 14, 14}, U(src), ZRect{2, 3, 12, 13}, 20, 5, out, ZIC_RESIZE_NEAREST);
    ASSERT_EQ(out.size(), 100u);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 20; ++x) ASSERT_EQ(pixelAt(out, 20, 1, x, y), pixelAt(src, 14, 1, 2 + x / 2, 3 + 2 * y));
}

TEST(ZImageResize, InterpolationFollowsTheFlagsNearestWinning) {
    const std::string src = S({0, 255, 0, 255, 0, 255, 0, 255});  // 2 x 4 grey columns 0 and 255
    const struct {
        std::uint32_t flags;
        Bytes row;
    } cases[] = {
        {ZIC_RESIZE_NEAREST, {0, 0, 255, 255}},
        {ZIC_RESIZE_NEAREST | ZIC_RESIZE_LINEAR, {0, 0, 255, 255}},
        {ZIC_RESIZE_LINEAR, {0, 85, 170, 255}},
    };
    for (const auto& c : cases) {
        std::string out;
        ZImageResize(ZImageFormat{ZIT_GRAY8, 2, 4}, U(src), ZRect{0, 0, 2, 4}, 4, 4, out, c.flags);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), c.row) << c.flags;
    }
}

TEST(ZImageResize, UnsupportedTypesAreFatal) {
    ZLogCapture log;
    const std::string src(8, '\0');
    std::string out;
    EXPECT_ZABORT(ZImageResize(ZImageFormat{ZIT_RGB565, 2, 2}, U(src), ZRect{0, 0, 2, 2}, 4, 4, out, 0));
    EXPECT_EQ(log.count(L"ERROR: Attempting to resize unsupported image type #17, aborting."), 1);
}

TEST(ZImageResizeIYUY, ResizesChromaPlanesAtHalfTheSizes) {
    const std::string y(7 * 5, 'y'), u(3 * 2, 'u'), v(3 * 2, 'v');
    std::string oy, ou, ov;
    ZImageResizeIYUY(ZImageFormat{ZIT_IYUY, 7, 5}, U(y), U(u), U(v), 3, 3, oy, ou, ov);
    EXPECT_EQ(oy, std::string(9, 'y'));
    EXPECT_EQ(ou, "u");
    EXPECT_EQ(ov, "v");
}

TEST(ZImageVertMirror, TurnsThreeAndFourByteImagesUpsideDown) {
    for (int type : {ZIT_RGB24, ZIT_BGR24, ZIT_RGBA32, ZIT_BGRA32}) {
        const std::string src = patterned(type, 3, 3);
        std::string img = src;
        ZImageVertMirror(ZImageFormat{type, 3, 3}, U(img));
        const int bpp = ZImageBytesPerPixel(type);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 3; ++x) EXPECT_EQ(pixelAt(img, 3, bpp, x, y), pixelAt(src, 3, bpp, x, 2 - y)) << type;
    }
}

TEST(ZImageVertMirror, WarnsAndLeavesOtherTypesAlone) {
    ZLogCapture log;
    std::string img = S({1, 2, 3, 4});
    ZImageVertMirror(ZImageFormat{ZIT_GRAY8, 2, 2}, U(img));
    EXPECT_EQ(B(img), (Bytes{1, 2, 3, 4}));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find(L"[ZImageVertMirror] WARNING Attempting unsupported vertical mirror on unsupported "
                                  L"type #23, ignoring.\n"),
              std::wstring::npos);
    EXPECT_ZABORT(ZImageVertMirror(ZImageFormat{ZIT_RGB24, 0, 2}, U(img)));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (format.width > 0 && format.height > 0)"));
}

TEST(ZImageCrop, CutsARectangleAndRefusesAnEmptyOne) {
    const std::string src = patterned(ZIT_RGBA32, 5, 5);
    std::string out;
    ZImageCrop(ZImageFormat{ZIT_RGBA32, 5, 5}, U(src), ZRect{1, 2, 4, 5}, out);
    ASSERT_EQ(out.size(), 3u * 3 * 4);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 3; ++x) EXPECT_EQ(pixelAt(out, 3, 4, x, y), pixelAt(src, 5, 4, 1 + x, 2 + y));
    ZImageCrop(ZImageFormat{ZIT_RGBA32, 5, 5}, U(src), ZRect{0, 0, 5, 5}, out);
    EXPECT_EQ(out, src);

    ZLogCapture log;
    EXPECT_ZABORT(ZImageCrop(ZImageFormat{ZIT_RGBA32, 5, 5}, U(src), ZRect{2, 2, 2, 5}, out));
    EXPECT_EQ(log.count(L"ERROR: Assertion failed, aborting. (ZVALIDRECT( fromRect ) && ZRectWithin( fromRect, "
                        L"fromFormat.width, fromFormat.height ) && !ZRectEmpty( fromRect ))"),
              1);
}

TEST(ZImageReframe, KeepsTheTopLeftAndFillsNewArea) {
    const std::string src = patterned(ZIT_RGB24, 4, 4);
    std::string img = src;
    ZImageFormat f = {ZIT_RGB24, 4, 4};
    ZImageReframe(f, img, 6, 3, 0x00332211u);
    EXPECT_EQ(f, (ZImageFormat{ZIT_RGB24, 6, 3}));
    ASSERT_EQ(img.size(), 6u * 3 * 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 4; ++x) EXPECT_EQ(pixelAt(img, 6, 3, x, y), pixelAt(src, 4, 3, x, y));
        for (int x = 4; x < 6; ++x) EXPECT_EQ(pixelAt(img, 6, 3, x, y), (Bytes{0x11, 0x22, 0x33}));
    }
    // Growing downwards fills the new rows.
    ZImageReframe(f, img, 6, 5, 0x00665544u);
    EXPECT_EQ(pixelAt(img, 6, 3, 0, 4), (Bytes{0x44, 0x55, 0x66}));
    EXPECT_EQ(pixelAt(img, 6, 3, 0, 2), pixelAt(src, 4, 3, 0, 2));
}

TEST(ZImageReframe, SameSizeTouchesNothingAndImpossibleSizesAreRefused) {
    std::string img = "abc";
    ZImageFormat f = {ZIT_RGB24, 1, 1};
    ZImageReframe(f, img, 1, 1, 0);
    EXPECT_EQ(img, "abc");
    ZLogCapture log;
    ZImageReframe(f, img, -5, 100000, 0);
    ZImageReframe(f, img, 70000, 70000, 0);
    EXPECT_EQ(img, "abc");
    EXPECT_EQ(f, (ZImageFormat{ZIT_RGB24, 1, 1}));
    EXPECT_EQ(log.lines().size(), 2u);
}
