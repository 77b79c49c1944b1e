// Super-sampling resize through its generic driver: worked examples, modes,
// layouts, element types, planes, argument errors and the regions whose
// edges the walk must not read past.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "../../imageprims/zpSuperSample.h"
#include "ZImagePrimitives.h"
#include "ZSlotTestSupport.h"

namespace {

// Samples of T whose last byte lies flush against a guard page, so a read
// past the last row faults.
template <typename T>
struct GuardedImage {
    explicit GuardedImage(const std::vector<T>& values) : bytes(values.size() * sizeof(T)) {
        std::memcpy(bytes.data(), values.data(), values.size() * sizeof(T));
    }
    const void* data() { return bytes.data(); }
    GuardedBytes bytes;
};

zpStatus super8u(const void* src, int w, int h, int step, zpRect roi, void* dst, int dstStep, zpSize dstSize, double fx,
                 double fy, int pixelStep = 1, int kind = 1) {
    return resize_superDriver_gen(src, w, h, step, roi.x, roi.y, roi.width, roi.height, dst, dstStep, dstSize.width,
                                  dstSize.height, fx, fy, pixelStep, kind, zpType8u, 0);
}

TEST(SuperSample, HalvesByMeansOfTwoByTwoBlocksRoundedHalfUp) {
    // Blocks 1 2 / 3 4, 0 0 / 0 1 and 0 0 / 1 1.
    GuardedImage<std::uint8_t> src({1, 2, 0, 0, 0, 0, 3, 4, 0, 1, 1, 1});
    std::uint8_t dst[3] = {};
    ASSERT_EQ(super8u(src.data(), 6, 2, 6, {0, 0, 6, 2}, dst, 3, {3, 1}, 0.5, 0.5), zpStsNoErr);
    EXPECT_EQ(std::vector<std::uint8_t>(dst, dst + 3), (std::vector<std::uint8_t>{3, 0, 1}));
    // The public entry point of the program's primitives takes the same road.
    std::uint8_t viaEntry[3] = {};
    ASSERT_EQ(zpiResize_8u_C1R(static_cast<const std::uint8_t*>(src.data()), {6, 2}, 6, {0, 0, 6, 2}, viaEntry, 3,
                               {3, 1}, 0.5, 0.5, zpInterSuper),
              zpStsNoErr);
    EXPECT_EQ(std::vector<std::uint8_t>(viaEntry, viaEntry + 3), (std::vector<std::uint8_t>{3, 0, 1}));
}

TEST(SuperSample, FactorOneCopiesTheRegionForEveryTypeAndLayout) {
    std::vector<std::uint8_t> img8(5 * 4 * 4);
    fillNoise(img8.data(), img8.size(), 9);
    std::vector<std::uint16_t> img16(5 * 4 * 4);
    std::vector<float> img32(5 * 4 * 4);
    for (std::size_t i = 0; i < img8.size(); ++i) {
        img16[i] = static_cast<std::uint16_t>(img8[i] * 257 + i);
        img32[i] = img8[i] * 0.37f - 11.0f;
    }
    for (int kind : {1, 3, 4}) {
        const int ps = kind == 1 ? 1 : 4;
        const int w = kind == 1 ? 20 : 5;  // the same bytes seen as 20 x 4 C1 or 5 x 4 four-sample pixels
        std::vector<std::uint8_t> d8(img8.size(), 7);
        std::vector<std::uint16_t> d16(img16.size(), 7);
        std::vector<float> d32(img32.size(), 7.0f);
        ASSERT_EQ(resize_superDriver_gen(img8.data(), w, 4, 20, 0, 0, w, 4, d8.data(), 20, w, 4, 1.0, 1.0, ps, kind,
                                         zpType8u, 0),
                  0);
        ASSERT_EQ(resize_superDriver_gen(img16.data(), w, 4, 40, 0, 0, w, 4, d16.data(), 40, w, 4, 1.0, 1.0, ps, kind,
                                         zpType16u, 0),
                  0);
        ASSERT_EQ(resize_superDriver_gen(img32.data(), w, 4, 80, 0, 0, w, 4, d32.data(), 80, w, 4, 1.0, 1.0, ps, kind,
                                         zpType32f, 0),
                  0);
        for (std::size_t i = 0; i < img8.size(); ++i) {
            // Channel kind 3 at pixel step 4 leaves every fourth sample alone.
            const bool kept = kind == 3 && i % 4 == 3;
            EXPECT_EQ(d8[i], kept ? 7 : img8[i]) << kind << " " << i;
            EXPECT_EQ(d16[i], kept ? 7 : img16[i]) << kind << " " << i;
            EXPECT_EQ(d32[i], kept ? 7.0f : img32[i]) << kind << " " << i;
        }
    }
}

TEST(SuperSample, FractionalExtentWeighsTheCutPixelsByTheirShare) {
    // kx = 2.5: pixel 0 = c0 + c1 + 0.5 c2, 1 = 0.5 c2 + c3 + c4, 2 = c5 + c6 + 0.5 c7, 3 = 0.5 c7 + c8 + c9.
    std::vector<float> row = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};
    GuardedImage<float> src(row);
    float dst[5] = {-1, -1, -1, -1, -1};
    ASSERT_EQ(resize_superDriver_gen(src.data(), 10, 1, 40, 0, 0, 10, 1, dst, 20, 5, 1, 0.4, 1.0, 1, 1, zpType32f, 0),
              0);
    const double want[4] = {(1 + 2 + 2) * 0.4, (2 + 8 + 16) * 0.4, (32 + 64 + 64) * 0.4, (64 + 256 + 512) * 0.4};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(dst[i], want[i], want[i] * 1e-6) << i;
    EXPECT_EQ(dst[4], -1.0f);  // only outW = 4 pixels are written

    // The same extent down the rows (ky = 2.5 over 5 rows), no row past the
    // region read: the source ends at row 4's last byte.
    GuardedImage<float> rows({1, 2, 4, 8, 16});
    float col[2] = {};
    ASSERT_EQ(resize_superDriver_gen(rows.data(), 1, 5, 4, 0, 0, 1, 5, col, 4, 1, 2, 1.0, 0.4, 1, 1, zpType32f, 0), 0);
    EXPECT_NEAR(col[0], (1 + 2 + 2) * 0.4, 1e-5);
    EXPECT_NEAR(col[1], (2 + 8 + 16) * 0.4, 1e-5);
}

TEST(SuperSample, ConstantImagesStayConstantInEveryMode) {
    const double factors[] = {1.0, 0.5, 1.0 / 3, 0.4, 0.3, 0.37, 0.123};
    for (double fx : factors)
        for (double fy : factors) {
            std::vector<std::uint8_t> white(37 * 23, 255);
            std::vector<std::uint16_t> white16(37 * 23, 65535);
            std::vector<float> grey(37 * 23, 0.75f);
            std::vector<std::uint8_t> d8(37 * 23, 1);
            std::vector<std::uint16_t> d16(37 * 23, 1);
            std::vector<float> d32(37 * 23, 1.0f);
            ASSERT_EQ(super8u(white.data(), 37, 23, 37, {0, 0, 37, 23}, d8.data(), 37, {37, 23}, fx, fy), 0);
            ASSERT_EQ(resize_superDriver_gen(white16.data(), 37, 23, 74, 0, 0, 37, 23, d16.data(), 74, 37, 23, fx, fy,
                                             1, 1, zpType16u, 0),
                      0);
            ASSERT_EQ(resize_superDriver_gen(grey.data(), 37, 23, 148, 0, 0, 37, 23, d32.data(), 148, 37, 23, fx, fy,
                                             1, 1, zpType32f, 0),
                      0);
            const int outW = static_cast<int>(std::trunc(37 * fx + 1e-7));
            const int outH = static_cast<int>(std::trunc(23 * fy + 1e-7));
            for (int y = 0; y < 23; ++y)
                for (int x = 0; x < 37; ++x) {
                    const bool written = x < outW && y < outH;
                    ASSERT_EQ(d8[y * 37 + x], written ? 255 : 1) << fx << " " << fy << " " << x << "," << y;
                    ASSERT_EQ(d16[y * 37 + x], written ? 65535 : 1) << fx << " " << fy;
                    if (written) ASSERT_NEAR(d32[y * 37 + x], 0.75f, 1e-6) << fx << " " << fy;
                    else ASSERT_EQ(d32[y * 37 + x], 1.0f);
                }
        }
}

TEST(SuperSample, ThirdAsADoubleIsAWholeExtentOfThree) {
    // 1.0/3 inverts to exactly 3.0: blocks, so the result is the integer
    // block mean rounded, 5 for 1..9.
    std::vector<std::uint8_t> src = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::uint8_t dst = 0;
    ASSERT_EQ(super8u(src.data(), 3, 3, 3, {0, 0, 3, 3}, &dst, 1, {1, 1}, 1.0 / 3, 1.0 / 3), 0);
    EXPECT_EQ(dst, 5);
}

TEST(SuperSample, FourSamplePixelsAverageAllFourOrKeepTheAlpha) {
    const std::vector<std::uint8_t> src = {10, 20, 30, 40, 30, 40, 50, 60};  // two pixels
    std::uint8_t kind4[4] = {}, kind3[4] = {9, 9, 9, 99};
    ASSERT_EQ(super8u(src.data(), 2, 1, 8, {0, 0, 2, 1}, kind4, 4, {1, 1}, 0.5, 1.0, 4, 4), 0);
    ASSERT_EQ(super8u(src.data(), 2, 1, 8, {0, 0, 2, 1}, kind3, 4, {1, 1}, 0.5, 1.0, 4, 3), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(kind4, kind4 + 4), (std::vector<std::uint8_t>{20, 30, 40, 50}));
    EXPECT_EQ(std::vector<std::uint8_t>(kind3, kind3 + 4), (std::vector<std::uint8_t>{20, 30, 40, 99}));
}

TEST(SuperSample, PlanesAreReadFromTheRegionOfEach) {
    // Three 16-bit planes of 4 x 3; region x 1, y 1, 2 x 2, halved.
    std::vector<std::uint16_t> planes[3];
    for (int p = 0; p < 3; ++p)
        for (int i = 0; i < 12; ++i) planes[p].push_back(static_cast<std::uint16_t>(1000 * (p + 1) + i * 10));
    const void* srcPlanes[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
    std::uint16_t out[3] = {};
    void* dstPlanes[3] = {&out[0], &out[1], &out[2]};
    ASSERT_EQ(resize_superDriver_gen(srcPlanes, 4, 3, 8, 1, 1, 2, 2, dstPlanes, 2, 1, 1, 0.5, 0.5, 1, 3, zpType16u, 1),
              0);
    // Samples 5, 6, 9, 10 of each plane: mean 75 above the plane's base.
    EXPECT_EQ(out[0], 1075);
    EXPECT_EQ(out[1], 2075);
    EXPECT_EQ(out[2], 3075);
    // A null plane is refused before anything is read or written.
    srcPlanes[2] = nullptr;
    out[0] = 0;
    EXPECT_EQ(resize_superDriver_gen(srcPlanes, 4, 3, 8, 1, 1, 2, 2, dstPlanes, 2, 1, 1, 0.5, 0.5, 1, 3, zpType16u, 1),
              zpStsNullPtrErr);
    EXPECT_EQ(out[0], 0);
}

TEST(SuperSample, RefusesBadArgumentsInOrderWritingNothing) {
    std::uint8_t src[16] = {1}, dst[16] = {};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const void* s;
        void* d;
        int w, h, step, dstStep;
        zpRect roi;
        zpSize dstSize;
        double fx, fy;
        int type;
        zpStatus want;
    } cases[] = {
        {nullptr, dst, 4, 4, 4, 4, {0, 0, 4, 4}, {2, 2}, 0.5, 0.5, 0, zpStsNullPtrErr},
        {src, nullptr, 0, 4, 4, 4, {0, 0, 4, 4}, {2, 2}, 0.5, 0.5, 0, zpStsNullPtrErr},
        {src, dst, 0, 4, 4, 4, {0, 0, 4, 4}, {2, 2}, 0.5, 0.5, 0, zpStsSizeErr},
        {src, dst, 4, 4, 0, 4, {0, 0, 4, 4}, {2, 2}, 0.5, 0.5, 0, zpStsStepErr},
        {src, dst, 4, 4, 4, 4, {-1, 0, 4, 4}, {2, 2}, -1.0, 0.5, 0, zpStsSizeErr},
        {src, dst, 4, 4, 4, 4, {0, 0, 4, 4}, {0, 2}, 0.5, 0.5, 0, zpStsSizeErr},
        {src, dst, 4, 4, 4, 4, {4, 0, 4, 4}, {2, 2}, 0.5, 0.5, 0, zpStsResizeNoOperation},
        {src, dst, 4, 4, 4, 4, {0, 3, 4, 4}, {2, 2}, 0.0, 0.5, 0, zpStsResizeFactorErr},
        {src, dst, 4, 4, 4, 4, {0, 0, 4, 4}, {2, 2}, 0.5, nan, 0, zpStsResizeFactorErr},
        {src, dst, 4, 4, 4, 4, {0, 0, 4, 4}, {2, 2}, nan, 0.5, 0, zpStsResizeFactorErr},
        // 16-bit rows whose step is not a whole number of samples.
        {src, dst, 2, 2, 5, 4, {0, 0, 2, 2}, {1, 1}, 0.5, 0.5, 1, zpStsStepErr},
        {src, dst, 2, 2, 4, 3, {0, 0, 2, 2}, {1, 1}, 0.5, 0.5, 2, zpStsStepErr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(resize_superDriver_gen(c.s, c.w, c.h, c.step, c.roi.x, c.roi.y, c.roi.width, c.roi.height, c.d,
                                         c.dstStep, c.dstSize.width, c.dstSize.height, c.fx, c.fy, 1, 1, c.type, 0),
                  c.want);
        EXPECT_EQ(dst[0], 0);
    }
    // A factor above 1.0 with super-sampling is the general driver's to refuse.
    EXPECT_EQ(zpiResize_8u_C1R(src, {4, 4}, 4, {0, 0, 4, 4}, dst, 16, {4, 4}, 1.5, 0.5, zpInterSuper),
              zpStsInterpolationErr);
}

TEST(SuperSample, RegionPastTheImageIsClipped) {
    // Region 4 x 4 at (2, 2) of a 4 x 4 image: the 2 x 2 corner remains.
    std::vector<std::uint8_t> src(16);
    for (int i = 0; i < 16; ++i) src[i] = static_cast<std::uint8_t>(i * 10);
    std::uint8_t dst[4] = {1, 1, 1, 1};
    ASSERT_EQ(super8u(src.data(), 4, 4, 4, {2, 2, 4, 4}, dst, 2, {2, 2}, 0.5, 0.5), 0);
    EXPECT_EQ(dst[0], 125);  // (100 + 110 + 140 + 150) / 4
    EXPECT_EQ(dst[1], 1);
    EXPECT_EQ(dst[2], 1);
}

TEST(SuperSample, RegionSmallerThanOnePixelGivesItsMeanAndReadsNothingBeyond) {
    // One row halved vertically: the single output row covers that row only.
    GuardedImage<std::uint8_t> row({10, 20, 30, 41});
    std::uint8_t out[2] = {};
    ASSERT_EQ(super8u(row.data(), 4, 1, 4, {0, 0, 4, 1}, out, 2, {2, 1}, 0.5, 0.5), 0);
    EXPECT_EQ(out[0], 15);
    EXPECT_EQ(out[1], 36);  // 35.5 rounds up
    // One column halved horizontally, likewise.
    GuardedImage<std::uint8_t> column({10, 20, 30, 41});
    std::uint8_t down[2] = {};
    ASSERT_EQ(super8u(column.data(), 1, 4, 1, {0, 0, 1, 4}, down, 1, {1, 2}, 0.5, 0.5), 0);
    EXPECT_EQ(down[0], 15);
    EXPECT_EQ(down[1], 36);
    // Three pixels shrunk by a tenth: one pixel, their mean.
    GuardedImage<float> three({1.0f, 2.0f, 6.0f});
    float mean = 0;
    ASSERT_EQ(resize_superDriver_gen(three.data(), 3, 1, 12, 0, 0, 3, 1, &mean, 4, 1, 1, 0.1, 1.0, 1, 1, zpType32f, 0),
              0);
    EXPECT_NEAR(mean, 3.0f, 1e-6);
}

TEST(SuperSample, ExtentJustAboveAWholeNumberReadsNoRowPastTheRegion) {
    // ky = 10.00000005: the first row's trailing share of row 10 is within
    // the snapping and left out; the source ends with row 9.
    std::vector<std::uint8_t> values(3 * 10);
    for (int i = 0; i < 30; ++i) values[i] = static_cast<std::uint8_t>(i);
    GuardedImage<std::uint8_t> src(values);
    std::uint8_t out[3] = {};
    ASSERT_EQ(super8u(src.data(), 3, 10, 3, {0, 0, 3, 10}, out, 3, {3, 1}, 1.0, 0.0999999995), 0);
    // Column 0 holds 0, 3, ..., 27: 135 times a factor just below 0.1.
    EXPECT_EQ(out[0], 13);
    EXPECT_EQ(out[2], 15);
    // And across: kx = 10.00000005 over 10 columns.
    GuardedImage<std::uint8_t> wide({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    std::uint8_t one = 0;
    ASSERT_EQ(super8u(wide.data(), 10, 1, 10, {0, 0, 10, 1}, &one, 1, {1, 1}, 0.0999999995, 1.0), 0);
    EXPECT_EQ(one, 4);  // 45 times a factor just below 0.1
}

TEST(zpAlignedMalloc8, CountsBytesAndRefusesEmptyRequests) {
    EXPECT_EQ(zpAlignedMalloc8(0), nullptr);
    EXPECT_EQ(zpAlignedMalloc8(-5), nullptr);
    for (std::ptrdiff_t n : {1, 33, 4096}) {
        auto* p = static_cast<std::uint8_t*>(zpAlignedMalloc8(n));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 32, 0u);
        std::memset(p, 0xA5, static_cast<std::size_t>(n));  // the whole span is writable
        zpAlignedFree(p);
    }
}

}  // namespace
