#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "ZImagePrimitives.h"

using Bytes = std::vector<std::uint8_t>;

TEST(zpiRGBToGray, WeighsRedGreenBlueInQ12AndIgnoresAlpha) {
    const struct {
        std::uint8_t r, g, b;
        int grey;
    } cases[] = {{255, 255, 255, 255}, {255, 0, 0, 76}, {0, 255, 0, 149}, {0, 0, 255, 29}, {0, 0, 0, 0}};
    for (const auto& c : cases) {
        const std::uint8_t rgb[3] = {c.r, c.g, c.b};
        const std::uint8_t rgba[4] = {c.r, c.g, c.b, 77};
        std::uint8_t g3 = 1, g4 = 1;
        ASSERT_EQ(zpiRGBToGray_8u_C3C1R(rgb, 3, &g3, 1, {1, 1}), zpStsNoErr);
        ASSERT_EQ(zpiRGBToGray_8u_AC4C1R(rgba, 4, &g4, 1, {1, 1}), zpStsNoErr);
        EXPECT_EQ(g3, c.grey);
        EXPECT_EQ(g4, c.grey);
    }
}

TEST(zpiRGBToGray, HonoursALongerSourceStep) {
    // Two rows of one pixel each, 6 bytes apart: the bytes between are skipped.
    const std::uint8_t src[9] = {255, 255, 255, 1, 2, 3, 0, 0, 255};
    std::uint8_t dst[2] = {};
    ASSERT_EQ(zpiRGBToGray_8u_C3C1R(src, 6, dst, 1, {1, 2}), zpStsNoErr);
    EXPECT_EQ(dst[0], 255);
    EXPECT_EQ(dst[1], 29);
}

TEST(zpiYUV420ToRGB, ConvertsSamplesWithTheQ16FormulaAndClamps) {
    const struct {
        std::uint8_t y, u, v;
        int r, g, b;
    } cases[] = {
        {0, 128, 128, 0, 0, 0}, {255, 128, 128, 255, 255, 255}, {255, 255, 128, 255, 204, 255}, {100, 128, 200, 182, 58, 100},
    };
    for (const auto& c : cases) {
        const std::uint8_t* planes[3] = {&c.y, &c.u, &c.v};
        std::uint8_t rgb[3] = {};
        ASSERT_EQ(zpiYUV420ToRGB_8u_P3C3(planes, rgb, {1, 1}), zpStsNoErr);
        EXPECT_EQ(Bytes(rgb, rgb + 3), (Bytes{(std::uint8_t)c.r, (std::uint8_t)c.g, (std::uint8_t)c.b}))
            << int(c.y) << "," << int(c.u) << "," << int(c.v);
    }
}

TEST(zpiYUV420ToRGB, EachChromaSampleServesItsTwoByTwoBlockAtOddSizes) {
    // 3 x 3 luma, 2 x 2 chroma: grey chroma everywhere except sample (1, 1),
    // which only the bottom-right pixel uses.
    const Bytes y = {10, 20, 30, 40, 50, 60, 70, 80, 90};
    const Bytes u = {128, 128, 128, 255};
    const Bytes v = {128, 128, 128, 128};
    const std::uint8_t* planes[3] = {y.data(), u.data(), v.data()};
    Bytes rgb(27);
    ASSERT_EQ(zpiYUV420ToRGB_8u_P3C3(planes, rgb.data(), {3, 3}), zpStsNoErr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(Bytes(&rgb[i * 3], &rgb[i * 3 + 3]), Bytes(3, y[i])) << i;
    // Y 90, u 127: G = (90*65536 - 25821*127) >> 16 = 39, B = 90 + 258 clamped.
    EXPECT_EQ(Bytes(&rgb[24], &rgb[27]), (Bytes{90, 39, 255}));
}

TEST(zpiYUV422ToRGB, SharesChromaPerPairAndHandlesOddWidths) {
    // Width 3: the third pixel takes Y and U of the tail and V of the group before.
    const Bytes row3 = {0, 128, 0, 128, 255, 255};
    Bytes out3(9);
    ASSERT_EQ(zpiYUV422ToRGB_8u_C2C3R(row3.data(), 6, out3.data(), 9, {3, 1}), zpStsNoErr);
    EXPECT_EQ(out3, (Bytes{0, 0, 0, 0, 0, 0, 255, 204, 255}));
    // Width 1: byte 1 is both U and V: G = (255*65536 - (38076 + 25821)*127) >> 16 = 131.
    const Bytes row1 = {255, 255};
    Bytes out1(3);
    ASSERT_EQ(zpiYUV422ToRGB_8u_C2C3R(row1.data(), 2, out1.data(), 3, {1, 1}), zpStsNoErr);
    EXPECT_EQ(out1, (Bytes{255, 131, 255}));
}

TEST(zpiRGBToYUV420, UniformColoursGiveTheirValuesPerBlockSize) {
    // 3 x 3: chroma (0,0) from a 2x2 block, (1,0) and (0,1) from pairs,
    // (1,1) from the lone corner pixel.
    const struct {
        std::uint8_t r, g, b;
        int y;
        int u[4];
        int v[4];
    } cases[] = {
        {255, 255, 255, 255, {128, 128, 128, 128}, {128, 128, 128, 128}},
        {0, 0, 0, 0, {128, 128, 128, 128}, {128, 128, 128, 128}},
        {255, 0, 0, 76, {90, 90, 90, 90}, {255, 255, 255, 255}},
        {0, 0, 255, 29, {239, 238, 238, 238}, {102, 102, 102, 101}},
    };
    for (const auto& c : cases) {
        Bytes rgb;
        for (int i = 0; i < 9; ++i) rgb.insert(rgb.end(), {c.r, c.g, c.b});
        Bytes y(9), u(4), v(4);
        std::uint8_t* planes[3] = {y.data(), u.data(), v.data()};
        ASSERT_EQ(zpiRGBToYUV420_8u_C3P3(rgb.data(), planes, {3, 3}), zpStsNoErr);
        EXPECT_EQ(y, Bytes(9, c.y));
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(u[i], c.u[i]) << int(c.b) << " chroma " << i;
            EXPECT_EQ(v[i], c.v[i]) << int(c.b) << " chroma " << i;
        }
    }
}

TEST(zpiColourConversions, ReportNullPointersBeforeSizesAndSizesBeforeSteps) {
    std::uint8_t buf[16] = {};
    const std::uint8_t* in[3] = {buf, nullptr, buf};
    std::uint8_t* out[3] = {buf, nullptr, buf};
    EXPECT_EQ(zpiRGBToGray_8u_C3C1R(buf, 3, nullptr, 1, {0, 1}), zpStsNullPtrErr);
    EXPECT_EQ(zpiRGBToGray_8u_C3C1R(buf, 3, buf, 1, {1, 0}), zpStsSizeErr);
    EXPECT_EQ(zpiYUV422ToRGB_8u_C2C3R(buf, 0, buf, 3, {1, 1}), zpStsStepErr);
    EXPECT_EQ(zpiYUV420ToRGB_8u_P3C3(nullptr, buf, {1, 1}), zpStsNullPtrErr);
    EXPECT_EQ(zpiYUV420ToRGB_8u_P3C3(in, buf, {1, 0}), zpStsSizeErr);
    EXPECT_EQ(zpiYUV420ToRGB_8u_P3C3(in, buf, {1, 1}), zpStsNullPtrErr);
    EXPECT_EQ(zpiRGBToYUV420_8u_C3P3(buf, out, {0, 1}), zpStsSizeErr);
    EXPECT_EQ(zpiRGBToYUV420_8u_C3P3(buf, out, {1, 1}), zpStsNullPtrErr);
    EXPECT_EQ(zpiRGBToYUV420_8u_C3P3(nullptr, out, {0, 1}), zpStsNullPtrErr);
}

namespace {

int clamp255(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

}  // namespace

TEST(zpiYUV420, BothDirectionsMatchThePerPixelFormulasOnRandomOddSizedFrames) {
    const int w = 7, h = 5, cw = 4, ch = 3;
    std::uint32_t seed = 12345;
    auto next = [&seed] { return static_cast<std::uint8_t>((seed = seed * 1103515245u + 12345u) >> 16); };
    Bytes rgb(w * h * 3), y(w * h), u(cw * ch), v(cw * ch);
    for (auto& b : rgb) b = next();
    for (auto& b : y) b = next();
    for (auto& b : u) b = next();
    for (auto& b : v) b = next();

    Bytes out(w * h * 3);
    const std::uint8_t* planes[3] = {y.data(), u.data(), v.data()};
    ASSERT_EQ(zpiYUV420ToRGB_8u_P3C3(planes, out.data(), {w, h}), zpStsNoErr);
    for (int py = 0; py < h; ++py)
        for (int px = 0; px < w; ++px) {
            const int L = y[py * w + px] * 65536;
            const int cu = u[(py / 2) * cw + px / 2] - 128, cv = v[(py / 2) * cw + px / 2] - 128;
            const Bytes expected = {static_cast<std::uint8_t>(clamp255((L + 74711 * cv) >> 16)),
                                    static_cast<std::uint8_t>(clamp255((L - 38076 * cv - 25821 * cu) >> 16)),
                                    static_cast<std::uint8_t>(clamp255((L + 133169 * cu) >> 16))};
            EXPECT_EQ(Bytes(&out[(py * w + px) * 3], &out[(py * w + px) * 3 + 3]), expected) << px << "," << py;
        }

    Bytes oy(w * h), ou(cw * ch), ov(cw * ch);
    std::uint8_t* outPlanes[3] = {oy.data(), ou.data(), ov.data()};
    ASSERT_EQ(zpiRGBToYUV420_8u_C3P3(rgb.data(), outPlanes, {w, h}), zpStsNoErr);
    for (int i = 0; i < w * h; ++i)
        EXPECT_EQ(oy[i], (19595 * rgb[i * 3] + 38470 * rgb[i * 3 + 1] + 7471 * rgb[i * 3 + 2]) >> 16);
    for (int j = 0; j < ch; ++j)
        for (int i = 0; i < cw; ++i) {
            int sp = 0, sb = 0, sr = 0, n = 0;
            for (int py = 2 * j; py < std::min(2 * j + 2, h); ++py)
                for (int px = 2 * i; px < std::min(2 * i + 2, w); ++px, ++n) {
                    const std::uint8_t* p = &rgb[(py * w + px) * 3];
                    sp += 19595 * p[0] + 38470 * p[1] + 7471 * p[2];
                    sr += p[0];
                    sb += p[2];
                }
            const int k = n == 4 ? 131071 : 0, s = n == 4 ? 18 : (n == 2 ? 17 : 16);
            const int d = (sb * 65536 - sp + k) >> 16, e = (sr * 65536 - sp + k) >> 16;
            EXPECT_EQ(ou[j * cw + i], ((d * 32244) >> s) + 128) << i << "," << j;
            EXPECT_EQ(ov[j * cw + i], clamp255(((e * 57475) >> s) + 128)) << i << "," << j;
        }
}
