#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ZImagePrimitives.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

// One-channel image of w x h from a row pattern repeated down every row.
Bytes rows(const Bytes& row, int h) {
    Bytes b;
    for (int y = 0; y < h; ++y) b.insert(b.end(), row.begin(), row.end());
    return b;
}

Bytes resizeRow(const Bytes& row, int h, double xFactor, int interpolation, int outW, zpRect roi = {0, 0, 0, 0}) {
    const int w = static_cast<int>(row.size());
    const Bytes src = rows(row, h);
    if (roi.width == 0) roi = {0, 0, w, h};
    Bytes dst(outW * h, 0xEE);
    EXPECT_EQ(zpiResize_8u_C1R(src.data(), {w, h}, w, roi, dst.data(), outW, {outW, h}, xFactor, 1.0, interpolation),
              zpStsNoErr);
    return Bytes(dst.begin(), dst.begin() + outW);
}

}  // namespace

TEST(zpiResize, NearestPicksTheSourceColumnsOfEachFactor) {
    const Bytes src = {10, 20, 30, 40};
    const struct {
        double factor;
        int outW;
        Bytes expected;
    } cases[] = {
        {1.5, 6, {10, 20, 20, 30, 30, 40}},  // step 3/5, offset 0.5
        {2.0, 8, {10, 10, 20, 20, 30, 30, 40, 40}},
        {0.5, 2, {10, 30}},
        {1.0, 4, {10, 20, 30, 40}},
    };
    for (const auto& c : cases) EXPECT_EQ(resizeRow(src, 2, c.factor, zpInterNearest, c.outW), c.expected) << c.factor;
}

TEST(zpiResize, NearestFactorTwoRepeatsEveryPixelTwicePerAxis) {
    const Bytes src = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};  // 2 x 2 RGB
    Bytes dst(4 * 4 * 3);
    ASSERT_EQ(zpiResize_8u_C3R(src.data(), {2, 2}, 6, {0, 0, 2, 2}, dst.data(), 12, {4, 4}, 2.0, 2.0, zpInterNearest), 0);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c) EXPECT_EQ(dst[(y * 4 + x) * 3 + c], src[((y / 2) * 2 + x / 2) * 3 + c]);
}

TEST(zpiResize, LinearInterpolatesInFixedPointWithCornerAlignment) {
    // Positions 0, 1/3, 2/3, 1: weights 5461 and 10922 of the right sample,
    // the last column on the image's edge uses the pair (0, 16384).
    EXPECT_EQ(resizeRow({0, 255}, 2, 2.0, zpInterLinear, 4), (Bytes{0, 85, 170, 255}));
    // Factor 1 reproduces the source, the last row and column included.
    const Bytes src = {3, 50, 77, 254, 0, 9, 200, 31, 100, 101, 102, 103, 5, 250, 7, 249};
    Bytes dst(16);
    ASSERT_EQ(zpiResize_8u_C1R(src.data(), {4, 4}, 4, {0, 0, 4, 4}, dst.data(), 4, {4, 4}, 1.0, 1.0, zpInterLinear), 0);
    EXPECT_EQ(dst, src);
}

TEST(zpiResize, LinearWithAnOutputOfOnePixelTakesTheFirstRoiSample) {
    Bytes src(10 * 2);
    for (int i = 0; i < 20; ++i) src[i] = static_cast<std::uint8_t>(i * 10);
    std::uint8_t dst[2] = {0xEE, 0xEE};
    ASSERT_EQ(zpiResize_8u_C1R(src.data(), {10, 2}, 10, {3, 0, 7, 1}, dst, 2, {2, 1}, 0.05, 1.0, zpInterLinear), 0);
    EXPECT_EQ(dst[0], 30);
    EXPECT_EQ(dst[1], 0xEE);  // nothing beyond the computed output is written
}

TEST(zpiResize, CubicFollowsALinearRampExactlyUpToBothBorders) {
    EXPECT_EQ(resizeRow({0, 30, 60, 90}, 4, 2.0, zpInterCubic, 8), (Bytes{0, 12, 25, 38, 51, 64, 77, 90}));
}

TEST(zpiResize, CubicOvershootIsClampedToTheByteRange) {
    // Step 0.5 over an edge: positions 0.5 and 2.5 overshoot to -63.75 and 318.75.
    const Bytes out = resizeRow({0, 0, 255, 255}, 4, 1.75, zpInterCubic, 7);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[3], 127);
    EXPECT_EQ(out[5], 255);
}

TEST(zpiResize, SmallImagesFallBackToSimplerInterpolation) {
    // One row high: cubic becomes nearest, so no value between 10 and 20 appears.
    EXPECT_EQ(resizeRow({10, 20, 30, 40}, 1, 2.0, zpInterCubic, 8), resizeRow({10, 20, 30, 40}, 1, 2.0, zpInterNearest, 8));
    // Three columns: cubic becomes linear.
    EXPECT_EQ(resizeRow({0, 100, 200}, 100, 2.0, zpInterCubic, 6), resizeRow({0, 100, 200}, 100, 2.0, zpInterLinear, 6));
}

TEST(zpiResize, FactorOfTargetOverRoiGivesExactlyTheTargetLength) {
    // 11 * (15.0 / 11) falls just below 15 in double precision.
    ASSERT_LT(11 * (15.0 / 11), 15.0);
    Bytes src(11 * 2, 7);
    Bytes dst(20 * 2, 0xEE);
    ASSERT_EQ(zpiResize_8u_C1R(src.data(), {11, 2}, 11, {0, 0, 11, 2}, dst.data(), 20, {20, 2}, 15.0 / 11, 1.0,
                               zpInterLinear),
              0);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 15), Bytes(15, 7));
    EXPECT_EQ(Bytes(dst.begin() + 15, dst.begin() + 20), Bytes(5, 0xEE));
}

TEST(zpiResize, OutputIsCutToTheDestinationRoi) {
    const Bytes out = resizeRow({10, 20, 30, 40}, 2, 2.0, zpInterNearest, 3);
    EXPECT_EQ(out, (Bytes{10, 10, 20}));
}

TEST(zpiResize, RoiReachingPastTheImageIsClippedToIt) {
    const Bytes src = rows({1, 2, 3, 4}, 2);
    Bytes dst(8, 0xEE);
    // ROI 2..6 of a 4-wide image: columns 2 and 3 only, doubled.
    ASSERT_EQ(zpiResize_8u_C1R(src.data(), {4, 2}, 4, {2, 0, 4, 2}, dst.data(), 8, {8, 1}, 2.0, 0.5, zpInterNearest), 0);
    EXPECT_EQ(Bytes(dst.begin(), dst.begin() + 5), (Bytes{3, 3, 4, 4, 0xEE}));
}

TEST(zpiResize, ChecksArgumentsInOrder) {
    std::uint8_t b[64] = {};
    const struct {
        const std::uint8_t* src;
        zpSize size;
        int step;
        zpRect roi;
        double factor;
        int interpolation;
        zpStatus status;
    } cases[] = {
        {nullptr, {0, 0}, 0, {0, 0, 1, 1}, 1.0, 1, zpStsNullPtrErr},
        {b, {0, 4}, 0, {0, 0, 1, 1}, 1.0, 1, zpStsSizeErr},
        {b, {4, 4}, 0, {0, 0, 1, 1}, 1.0, 1, zpStsStepErr},
        {b, {4, 4}, 4, {-1, 0, 1, 1}, 1.0, 1, zpStsSizeErr},
        {b, {4, 4}, 4, {0, 0, 0, 1}, 1.0, 1, zpStsSizeErr},
        {b, {4, 4}, 4, {4, 0, 1, 1}, 0.0, 3, zpStsResizeNoOperation},
        {b, {4, 4}, 4, {0, 0, 1, 1}, 0.0, 3, zpStsResizeFactorErr},
        {b, {4, 4}, 4, {0, 0, 1, 1}, -2.0, 1, zpStsResizeFactorErr},
        {b, {4, 4}, 4, {0, 0, 1, 1}, 1.0, 3, zpStsInterpolationErr},
        {b, {4, 4}, 4, {0, 0, 1, 1}, 2.0, 8, zpStsInterpolationErr},
    };
    for (const auto& c : cases) {
        std::uint8_t dst[16] = {};
        EXPECT_EQ(zpiResize_8u_C4R(c.src, c.size, c.step, c.roi, dst, 16, {4, 4}, c.factor, c.factor, c.interpolation),
                  c.status);
        EXPECT_EQ(dst[0], 0);
    }
}

TEST(zpiResizeSuperSample, AveragesTheSourcePixelsEachOutputCovers) {
    const Bytes src = {0, 10, 100, 110, 20, 30, 120, 130};  // 4 x 2
    std::uint8_t dst[2] = {};
    ASSERT_EQ(zpiResize_8u_C1R(src.data(), {4, 2}, 4, {0, 0, 4, 2}, dst, 2, {2, 1}, 0.5, 0.5, zpInterSuper), 0);
    EXPECT_EQ(dst[0], 15);
    EXPECT_EQ(dst[1], 115);
}
