#include <gtest/gtest.h>

#include "ZImage.h"
#include "ZImageTestSupport.h"
#include "ZTestSupport.h"

TEST(ZImageConvert, InPlaceSwapsRedAndBlueAndRefusesOtherPairs) {
    std::string px = S({1, 2, 3, 4, 5, 6, 7, 8});
    ZImageFormat f = {ZIT_RGBA32, 2, 1};
    ZImageConvert(f, U(px), ZIT_BGRA32);
    EXPECT_EQ(f.type, ZIT_BGRA32);
    EXPECT_EQ(B(px), (Bytes{3, 2, 1, 4, 7, 6, 5, 8}));
    ZImageConvert(f, U(px), ZIT_RGBA32);
    EXPECT_EQ(B(px), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));

    ZLogCapture log;
    ZImageFormat rgb = {ZIT_RGB24, 1, 1};
    EXPECT_ZABORT(ZImageConvert(rgb, U(px), ZIT_RGB24));
    EXPECT_EQ(log.count(L"ERROR Attepting unsupported in-place conversion, from #15 to #15, aborting."), 1);
    EXPECT_ZABORT(ZImageConvert(rgb, nullptr, ZIT_BGR24));
    EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. (buffer)"), 1);
}

TEST(ZImageConvert, WholeImagePairsGiveTheirByteLayouts) {
    const struct {
        int from;
        Bytes in;
        int to;
        Bytes out;
    } cases[] = {
        {ZIT_RGB24, {1, 2, 3}, ZIT_RGBA32, {1, 2, 3, 255}},
        {ZIT_RGBA32, {1, 2, 3, 4}, ZIT_RGB24, {1, 2, 3}},
        {ZIT_BGRA32, {1, 2, 3, 4}, ZIT_BGR24, {1, 2, 3}},
        {ZIT_BGR24, {1, 2, 3}, ZIT_RGB24, {3, 2, 1}},
        {ZIT_RGB24, {1, 2, 3}, ZIT_BGR24, {3, 2, 1}},
        {ZIT_BGRA32, {1, 2, 3, 4}, ZIT_RGB24, {3, 2, 1}},
        {ZIT_RGBA32, {1, 2, 3, 4}, ZIT_BGR24, {3, 2, 1}},
        {ZIT_RGB565, {0x00, 0xF8}, ZIT_BGR24, {0, 0, 255}},  // red 0xF800
        {ZIT_RGB565, {0xE0, 0x07}, ZIT_BGR24, {0, 255, 0}},  // green 0x07E0
        {ZIT_RGB565, {0x10, 0x84}, ZIT_BGR24, {132, 130, 132}},  // 0x8410: r 16, g 32, b 16
        {ZIT_RGB24, {255, 0, 0}, ZIT_GRAY8, {76}},
        {ZIT_RGBA32, {0, 0, 255, 9}, ZIT_GRAY8, {29}},
        {ZIT_GRAY8, {77}, ZIT_RGBA32, {77, 77, 77, 255}},
        {ZIT_YUY2, {255, 255, 255, 128}, ZIT_RGB24, {255, 204, 255, 255, 204, 255}},
    };
    for (const auto& c : cases) {
        const int w = c.from == ZIT_YUY2 ? 2 : 1;
        std::string out = "stale";
        ZImageConvert(ZImageFormat{c.from, w, 1}, c.in.data(), c.to, out);
        EXPECT_EQ(B(out), c.out) << c.from << " -> " << c.to;
    }
}

TEST(ZImageConvert, RectangleToRGB565KeepsFiveGreenBits) {
    const Bytes bgra = {0, 0, 255, 255, 0, 255, 0, 255};  // red, green
    std::string out;
    ZImageConvert(ZImageFormat{ZIT_BGRA32, 2, 1}, bgra.data(), ZRect{0, 0, 2, 1}, ZIT_RGB565, out);
    EXPECT_EQ(B(out), (Bytes{0x00, 0xF8, 0xC0, 0x07}));
    std::string back;
    ZImageConvert(ZImageFormat{ZIT_RGB565, 1, 1}, U(out), ZIT_BGR24, back);
    EXPECT_EQ(B(back), (Bytes{0, 0, 255}));
}

TEST(ZImageConvert, PacksFourBitGreyFromTheRectanglesRowsAndUnpacksIt) {
    // 3 x 2 BGR image; the rectangle is the bottom row: red, white, black.
    const Bytes bgr = {9, 9, 9, 9, 9, 9, 9, 9, 9, 0, 0, 255, 255, 255, 255, 0, 0, 0};
    std::string packed;
    ZImageConvert(ZImageFormat{ZIT_BGR24, 3, 2}, bgr.data(), ZRect{0, 1, 3, 2}, ZIT_GRAY4, packed);
    // Red has level 76, nibble 4; white nibble 15; the odd last pixel's low nibble is 0.
    EXPECT_EQ(B(packed), (Bytes{0x4F, 0x00}));
    std::string rgb;
    ZImageConvert(ZImageFormat{ZIT_GRAY4, 3, 1}, U(packed), ZRect{0, 0, 3, 1}, ZIT_RGB24, rgb);
    EXPECT_EQ(B(rgb), (Bytes{68, 68, 68, 255, 255, 255, 0, 0, 0}));

    // RGB555 widens each channel first: 0x7C00 is full red.
    const Bytes r555 = {0x00, 0x7C, 0xFF, 0x7F};
    ZImageConvert(ZImageFormat{ZIT_RGB555, 2, 1}, r555.data(), ZRect{0, 0, 2, 1}, ZIT_GRAY4, packed);
    EXPECT_EQ(B(packed), (Bytes{0x4F}));
}

TEST(ZImageConvert, RefusesGreyPackingOfTypesWithoutAGreyRule) {
    ZLogCapture log;
    const Bytes rgb = {1, 2, 3};
    std::string out;
    EXPECT_ZABORT(ZImageConvert(ZImageFormat{ZIT_RGB24, 1, 1}, rgb.data(), ZRect{0, 0, 1, 1}, ZIT_GRAY4, out));
    EXPECT_EQ(log.count(L"ERROR Unsupported conversion from #15 to GRAY4"), 1);
    EXPECT_ZABORT(ZImageConvert(ZImageFormat{ZIT_GRAY8, 1, 1}, rgb.data(), ZRect{0, 0, 1, 1}, ZIT_BGR24, out));
    EXPECT_EQ(log.count(L"ERROR Unsupported conversion format, from #23 to #19, aborting."), 1);
}

TEST(ZImageConvert, RectangleOutsideTheImageIsClippedBeforeReading) {
    const std::string img = patterned(ZIT_RGB24, 4, 4);
    std::string out;
    ZImageConvert(ZImageFormat{ZIT_RGB24, 4, 4}, U(img), ZRect{2, 2, 400, 400}, ZIT_BGR24, out);
    ASSERT_EQ(out.size(), 2u * 2 * 3);
    const Bytes p = pixelAt(img, 4, 3, 3, 3);
    EXPECT_EQ(pixelAt(out, 2, 3, 1, 1), (Bytes{p[2], p[1], p[0]}));

    ZLogCapture log;
    ZImageConvert(ZImageFormat{ZIT_RGB24, 4, 4}, U(img), ZRect{10, 10, 20, 20}, ZIT_BGR24, out);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(ZImageConvertIYUY, RGBRoundTripStaysCloseAndPlanesHaveTheirSizes) {
    const struct {
        int w, h;
        std::size_t chroma;
    } sizes[] = {{4, 2, 2}, {3, 3, 4}, {1, 1, 1}};
    for (const auto& s : sizes) {
        std::string rgb;
        for (int i = 0; i < s.w * s.h; ++i) rgb += S({200, 120, 40});
        std::string y, u, v;
        ZImageConvertToIYUY(ZImageFormat{ZIT_RGB24, s.w, s.h}, U(rgb), y, u, v);
        EXPECT_EQ(y.size(), static_cast<std::size_t>(s.w * s.h));
        EXPECT_EQ(u.size(), s.chroma);
        EXPECT_EQ(v.size(), s.chroma);
        std::string back;
        ZImageConvertFromIYUY(ZImageFormat{ZIT_IYUY, s.w, s.h}, U(y), U(u), U(v), ZImageFormat{ZIT_RGB24, s.w, s.h}, back);
        ASSERT_EQ(back.size(), rgb.size());
        for (std::size_t i = 0; i < rgb.size(); ++i)
            EXPECT_NEAR(static_cast<unsigned char>(back[i]), static_cast<unsigned char>(rgb[i]), 4) << s.w << "x" << s.h;
    }
}

TEST(ZImageConvertIYUY, PackedYUY2TakesChromaFromEvenRowsOnly) {
    // 4 x 2: row 0 groups (Y U Y V) = (1 10 2 20) (3 30 4 40); row 1 other chroma.
    const Bytes yuy2 = {1, 10, 2, 20, 3, 30, 4, 40, 5, 99, 6, 99, 7, 99, 8, 99};
    std::string y, u, v;
    ZImageConvertToIYUY(ZImageFormat{ZIT_YUY2, 4, 2}, yuy2.data(), y, u, v);
    EXPECT_EQ(B(y), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(B(u), (Bytes{10, 30}));
    EXPECT_EQ(B(v), (Bytes{20, 40}));

    ZLogCapture log;
    EXPECT_ZABORT(ZImageConvertToIYUY(ZImageFormat{ZIT_GRAY8, 4, 2}, yuy2.data(), y, u, v));
    EXPECT_EQ(log.count(L"ERROR Attepting unsupported conversion, from #23 to IYUV, aborting."), 1);
}

TEST(ZImageByteSize, SizesPackedAndPlanarTypesAndRefusesWhatCannotBeAnImage) {
    const struct {
        ZImageFormat f;
        std::int64_t size;
    } cases[] = {
        {{ZIT_RGBA32, 320, 240}, 307200}, {{ZIT_GRAY4, 3, 5}, 10},  {{ZIT_GRAY4, 4, 5}, 10},
        {{ZIT_IYUY, 3, 3}, 17},           {{ZIT_RGB24, 0, 5}, -1},  {{ZIT_PNG, 4, 4}, -1},
        {{ZIT_RGBA32, 65536, 65536}, -1}, {{ZIT_RGB24, -2, -2}, -1}, {{99, 1, 1}, -1},
    };
    for (const auto& c : cases) EXPECT_EQ(ZImageByteSize(c.f), c.size) << c.f.type << " " << c.f.width << "x" << c.f.height;
    EXPECT_TRUE(ZImageFormatFits(ZImageFormat{ZIT_RGB24, 2, 2}, 12));
    EXPECT_FALSE(ZImageFormatFits(ZImageFormat{ZIT_RGB24, 2, 2}, 11));
}

TEST(ZImageConvert, FormatsTooLargeForMemoryAreRefusedBeforeAllocating) {
    // A format read from a peer may announce any size; the buffer is tiny.
    const Bytes tiny(16, 1);
    const ZImageFormat huge = {ZIT_RGB24, 100000, 100000};
    ZLogCapture log;
    std::string out = "stale";
    ZImageConvert(huge, tiny.data(), ZIT_RGBA32, out);
    EXPECT_TRUE(out.empty());
    ZImageConvert(huge, tiny.data(), ZRect{0, 0, 1, 1}, ZIT_BGR24, out);
    EXPECT_TRUE(out.empty());
    std::string y, u, v;
    ZImageConvertToIYUY(huge, tiny.data(), y, u, v);
    EXPECT_TRUE(y.empty() && u.empty() && v.empty());
    EXPECT_EQ(log.count(L"WARNING Image [15,100000x100000] is too large, ignoring."), 3);
    EXPECT_EQ(log.lines().size(), 3u);
}
