// The resize drivers of the processor slots against the generic driver on
// the same inputs: every method, element type and layout over regions that
// touch every edge of images of odd sizes, with the bounds each slot keeps
// to; and the passes' own edge cases. The dispatch index is never changed.
#include <gtest/gtest.h>

#include <cfloat>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>
#include <xmmintrin.h>

#include "../../imageprims/zpResizePasses.h"
#include "ZResizeTestSupport.h"

namespace {

using zpResizeEntryFn = decltype(zpiResize_8u_C1R);

struct Layout {
    const char* name;
    int pixelStep, channels, planes;
};

const Layout kLayouts[] = {{"C1", 1, 1, 0}, {"C3", 3, 3, 0}, {"AC4", 4, 3, 0}, {"C4", 4, 4, 0}, {"P3", 1, 3, 3}};

struct Region {
    int width, height;
    zpRect roi;
    double fx, fy;
    int dstWidth, dstHeight;
};

const Region kRegions[] = {
    {1, 1, {0, 0, 1, 1}, 2.0, 3.0, 8, 8},
    {1, 7, {0, 0, 1, 7}, 3.0, 0.5, 8, 8},
    {7, 1, {0, 0, 7, 1}, 0.6, 2.0, 8, 8},
    {3, 3, {0, 0, 3, 3}, 1.7, 0.6, 8, 8},
    {5, 4, {1, 0, 4, 4}, 2.0, 2.0, 12, 12},
    {17, 9, {2, 1, 13, 7}, 1.37, 2.2, 24, 24},
    {33, 20, {0, 0, 33, 20}, 0.5, 0.5, 20, 12},
    {101, 67, {3, 5, 97, 60}, 0.77, 1.31, 90, 90},
    {64, 48, {40, 30, 24, 18}, 2.5, 1.5, 64, 32},  // against the right and bottom edges, output cut
    {9, 13, {4, 6, 20, 20}, 1.9, 1.1, 16, 16},     // region past the image, clipped
    {40, 30, {39, 29, 1, 1}, 3.0, 3.0, 4, 4},      // the last pixel alone
    {40, 30, {0, 0, 40, 30}, 0.01, 0.02, 4, 4},    // R * f below 1: one pixel
    {23, 19, {0, 0, 23, 19}, 1.0, 1.0, 23, 19},
    {29, 31, {1, 2, 27, 28}, 0.31, 0.45, 8, 9},
};

const char* kMethods[] = {"", "nearest", "linear", "", "cubic"};

// How far a slot's sample may lie from the generic one: [low, high] levels
// for integers, an absolute distance for floats.
struct Bound {
    double low, high;
};

Bound resizeBound(int interpolation, int type) {
    if (interpolation == zpInterNearest) return {0, 0};
    if (type == zpType32f) return interpolation == zpInterLinear ? Bound{-3e-4, 3e-4} : Bound{-4e-3, 4e-3};
    if (interpolation == zpInterLinear) return type == zpType8u ? Bound{-1, 0} : Bound{-4, 0};
    return {-1, 1};
}

class ResizeSlotTest : public ::testing::TestWithParam<ResizeSlot> {
protected:
    void SetUp() override {
        const std::string reason = slotUnsupportedReason(GetParam().slot);
        if (!reason.empty()) GTEST_SKIP() << reason;
    }
    void TearDown() override { EXPECT_EQ(zpVariantIndex, 1); }
};

// Output size of a call as the driver of `slot` works it out.
zpSize outputOf(int slot, const zpResizeArgs& args) {
    zpSize out{0, 0};
    zpResizeInspect(slot, args, [&](const zpRowJob& job, int) { out = {job.width, job.height}; });
    return out;
}

TEST_P(ResizeSlotTest, KeepsWithinItsBoundsOfTheGenericResult) {
    const ResizeSlot& slot = GetParam();
    std::uint32_t seed = 1;
    for (int type : {zpType8u, zpType16u, zpType32f})
        for (const Layout& layout : kLayouts)
            for (int interpolation : {zpInterNearest, zpInterLinear, zpInterCubic})
                for (const Region& r : kRegions)
                    for (int dstOffset : {0, sampleBytes(type)}) {
                        ++seed;
                        const int size = sampleBytes(type);
                        const int ps = layout.planes ? 1 : layout.pixelStep;
                        const SlotImage src(type, r.width, r.height, layout.pixelStep, layout.planes, size * 3, seed);
                        const int dstStep = r.dstWidth * ps * size + 2 * size;
                        const std::size_t dstSize = static_cast<std::size_t>(dstStep) * r.dstHeight;
                        SlotDestination initial(dstSize, layout.planes, dstOffset, seed);
                        SlotDestination want(dstSize, layout.planes, dstOffset, seed);
                        SlotDestination got(dstSize, layout.planes, dstOffset, seed);
                        const zpResizeArgs args = {src.source(), r.width,        r.height,    src.step,
                                                   r.roi.x,      r.roi.y,        r.roi.width, r.roi.height,
                                                   got.target(), dstStep,        r.dstWidth,  r.dstHeight,
                                                   r.fx,         r.fy,           0.0,         0.0,
                                                   ps,           layout.channels, type,       layout.planes != 0,
                                                   interpolation, 1};
                        const auto call = [&](ResizeDriver driver, void* dst) {
                            return driver(args.src, args.srcWidth, args.srcHeight, args.srcStep, args.roiX, args.roiY,
                                          args.roiWidth, args.roiHeight, dst, args.dstStep, args.dstWidth,
                                          args.dstHeight, args.xFactor, args.yFactor, 0.0, 0.0, args.pixelStep,
                                          args.channels, args.type, args.planar, args.interpolation, 1);
                        };
                        ASSERT_EQ(call(resize_driver_gen, want.target()), zpStsNoErr);
                        ASSERT_EQ(call(slot.driver, got.target()), zpStsNoErr);
                        const zpSize out = outputOf(slot.slot, args);
                        const zpSize genOut = outputOf(1, args);
                        ASSERT_EQ(out.width, genOut.width);
                        ASSERT_EQ(out.height, genOut.height);
                        // The bounds of the method the image's size leaves.
                        int method = interpolation;
                        if (r.width < 2 || r.height < 2) method = zpInterNearest;
                        if ((r.width < 4 || r.height < 4) && method == zpInterCubic) method = zpInterLinear;
                        const Bound bound = resizeBound(method, type);
                        const auto where = [&] {
                            return std::string(kMethods[interpolation]) + " type " + std::to_string(type) + " " +
                                   layout.name + " " + std::to_string(r.width) + "x" + std::to_string(r.height) +
                                   " roi " + std::to_string(r.roi.x) + "," + std::to_string(r.roi.y) + " offset " +
                                   std::to_string(dstOffset);
                        };
                        ASSERT_TRUE(got.fencesIntact() && want.fencesIntact()) << where();
                        for (int p = 0; p < initial.planes(); ++p)
                            for (int y = 0; y < r.dstHeight; ++y)
                                for (int x = 0; x < r.dstWidth * ps; ++x) {
                                    const std::size_t at = static_cast<std::size_t>(y) * dstStep + x * size;
                                    const bool alpha = layout.channels == 3 && ps == 4 && x % 4 == 3;
                                    const bool written = x / ps < out.width && y < out.height && !alpha;
                                    if (!written) {
                                        ASSERT_EQ(std::memcmp(got.plane(p) + at, initial.plane(p) + at, size), 0)
                                            << where() << " wrote outside at " << x << "," << y;
                                        ASSERT_EQ(std::memcmp(want.plane(p) + at, initial.plane(p) + at, size), 0)
                                            << where() << " generic wrote outside at " << x << "," << y;
                                        continue;
                                    }
                                    const double g = sampleAt(want.plane(p) + at, type);
                                    const double s = sampleAt(got.plane(p) + at, type);
                                    ASSERT_TRUE(s - g >= bound.low && s - g <= bound.high)
                                        << where() << " at " << x << "," << y << " plane " << p << ": slot " << s
                                        << " generic " << g;
                                }
                    }
}

// ---- the passes' own edge cases ------------------------------------------------------

// The pass of `slot` among its namesakes of slots 2 to 4.
template <typename F>
F bySlot(int slot, F sse, F sse2, F sse3) {
    return slot == 2 ? sse : (slot == 3 ? sse2 : sse3);
}

TEST_P(ResizeSlotTest, LinearEightBitBlendOfNeighboursTruncatesWhereTheGenericRounds) {
    const ResizeSlot& slot = GetParam();
    // 100 and 101 at equal weights: buffer 6432 (100.5 * 64); with wy = 0 the
    // slot gives 100, the generic 101. Widths 1, 3, 8 and 9 run the single
    // column path, the block path and both.
    for (int width : {1, 3, 8, 9}) {
        std::vector<std::uint8_t> src(2 * width + 2);
        for (std::size_t i = 0; i < src.size(); ++i) src[i] = i % 2 ? 101 : 100;
        std::vector<std::int32_t> xIdx(width);
        std::vector<std::int16_t> w(2 * width, 8192);
        for (int i = 0; i < width; ++i) xIdx[i] = 2 * i;
        const std::vector<std::int16_t> weights = {0};
        std::vector<std::int16_t> a(width + 8), b(width + 8);
        std::vector<std::uint8_t> out(width, 0xEE);
        zpRowJob job{};
        job.src = src.data();
        job.dst = out.data();
        job.srcStep = 0;
        job.dstStep = width;
        job.width = width;
        job.height = 1;
        const std::int32_t yIdx[1] = {0};
        job.yIdx = yIdx;
        job.xIdx = xIdx.data();
        job.rowWeights = weights.data();
        job.columnWeights = w.data();
        job.buffers[0] = a.data();
        job.buffers[1] = b.data();
        job.srcStep = static_cast<int>(src.size());  // the lower row is never weighed
        std::vector<std::uint8_t> twoRows(src);
        twoRows.insert(twoRows.end(), src.begin(), src.end());
        job.src = twoRows.data();
        slot.table[3 * 4 + zpType8u](job);
        EXPECT_EQ(out, std::vector<std::uint8_t>(width, 100)) << width;
        std::vector<std::uint8_t> generic(width, 0xEE);
        job.dst = generic.data();
        resizeRowHelpers_gen[3 * 4 + zpType8u](job);
        EXPECT_EQ(generic, std::vector<std::uint8_t>(width, 101)) << width;
    }
}

TEST_P(ResizeSlotTest, LinearSixteenBitFullWeightKeepsOddSamplesExactly) {
    const ResizeSlot& slot = GetParam();
    for (int width : {1, 2, 7, 8, 9, 17}) {
        std::vector<std::uint16_t> row(width + 1);
        for (int i = 0; i <= width; ++i) row[i] = static_cast<std::uint16_t>(65535 - 2 * i * 997 % 65534);
        std::vector<std::int32_t> xIdx(width);
        std::vector<std::int16_t> w(2 * width);
        for (int i = 0; i < width; ++i) xIdx[i] = i, w[2 * i] = 16384, w[2 * i + 1] = 0;
        std::vector<std::uint16_t> upper(width + 8), lower(width + 8, 1), out(width);
        const auto h1 = bySlot(slot.slot, resize16u_linH1_sse, resize16u_linH1_sse2, resize16u_linH1_sse2);
        const auto v = bySlot(slot.slot, resize16u_linV_sse, resize16u_linV_sse2, resize16u_linV_sse2);
        h1(row.data(), width, xIdx.data(), w.data(), upper.data());
        v(out.data(), width, 0, upper.data(), lower.data());
        EXPECT_EQ(out, std::vector<std::uint16_t>(row.begin(), row.begin() + width)) << width;
        // wy = 16384 gives the lower row.
        v(out.data(), width, 16384, lower.data(), upper.data());
        EXPECT_EQ(out, std::vector<std::uint16_t>(row.begin(), row.begin() + width)) << width;
    }
}

// Four window rows of which the second holds `value`, through the cubic
// vertical pass of `slot` for `count` samples with t = 0.
template <typename T>
std::vector<T> cubicVertical(const ResizeSlot& slot, float value, int count) {
    std::vector<float> rows[4];
    for (auto& r : rows) r.assign(count + 8, 0.0f);
    for (int i = 0; i < count; ++i) rows[1][i] = value;
    std::vector<T> out(count);
    if constexpr (std::is_same_v<T, std::uint8_t>)
        bySlot(slot.slot, resize8u_cubV_sse, resize8u_cubV_sse2, resize8u_cubV_sse3)(out.data(), count, 0.0f, rows[0].data(),
                                                                  rows[1].data(), rows[2].data(), rows[3].data());
    else
        bySlot(slot.slot, resize16u_cubV_sse, resize16u_cubV_sse2, resize16u_cubV_sse3)(out.data(), count, 0.0f, rows[0].data(),
                                                                    rows[1].data(), rows[2].data(), rows[3].data());
    return out;
}

TEST_P(ResizeSlotTest, CubicVerticalRoundsInItsVectorPartAndTruncatesInTheRest) {
    const ResizeSlot& slot = GetParam();
    // Five samples: four in the vector part, one in the scalar remainder.
    EXPECT_EQ(cubicVertical<std::uint8_t>(slot, 254.6f, 5), (std::vector<std::uint8_t>{255, 255, 255, 255, 254}));
    EXPECT_EQ(cubicVertical<std::uint8_t>(slot, 127.5f, 5), (std::vector<std::uint8_t>{128, 128, 128, 128, 127}));
    EXPECT_EQ(cubicVertical<std::uint8_t>(slot, -0.3f, 5), std::vector<std::uint8_t>(5, 0));
    EXPECT_EQ(cubicVertical<std::uint8_t>(slot, 300.0f, 5), std::vector<std::uint8_t>(5, 255));
    EXPECT_EQ(cubicVertical<std::uint16_t>(slot, 40000.2f, 5), std::vector<std::uint16_t>(5, 40000));
    EXPECT_EQ(cubicVertical<std::uint16_t>(slot, 70000.0f, 5), std::vector<std::uint16_t>(5, 65535));
    EXPECT_EQ(cubicVertical<std::uint16_t>(slot, -3.0f, 5), std::vector<std::uint16_t>(5, 0));
    // Three samples: the scalar remainder alone.
    EXPECT_EQ(cubicVertical<std::uint8_t>(slot, 254.6f, 3), std::vector<std::uint8_t>(3, 254));
}

TEST_P(ResizeSlotTest, PassesKeepTheirExactValues) {
    const ResizeSlot& slot = GetParam();
    const auto h1 = bySlot(slot.slot, resize8u_linH1_sse, resize8u_linH1_sse2, resize8u_linH1_sse2);
    const auto v = bySlot(slot.slot, resize8u_linV_sse, resize8u_linV_sse2, resize8u_linV_sse2);
    for (int width : {1, 2, 3, 8, 9, 17}) {
        // White neighbours under any weights: 255 * 64 in the buffer, 255 out.
        std::vector<std::uint8_t> white(width + 1, 255), ramp(width + 1);
        for (int i = 0; i <= width; ++i) ramp[i] = static_cast<std::uint8_t>(i % 2);
        std::vector<std::int32_t> xIdx(width);
        std::vector<std::int16_t> w(2 * width);
        for (int i = 0; i < width; ++i) xIdx[i] = i, w[2 * i] = static_cast<std::int16_t>(16384 - 1000 * i % 16384),
                                        w[2 * i + 1] = static_cast<std::int16_t>(1000 * i % 16384);
        std::vector<std::int16_t> a(width + 8), b(width + 8);
        std::vector<std::uint8_t> out(width);
        h1(white.data(), width, xIdx.data(), w.data(), a.data());
        EXPECT_EQ(std::vector<std::int16_t>(a.begin(), a.begin() + width), std::vector<std::int16_t>(width, 16320));
        v(out.data(), width, 5000, a.data(), a.data());
        EXPECT_EQ(out, std::vector<std::uint8_t>(width, 255));
        // 0 and 1 at equal weights: 32 in the buffer, and two such rows give
        // 0 (the generic passes give 1).
        std::fill(w.begin(), w.end(), 8192);
        for (int i = 0; i < width; ++i) xIdx[i] = 2 * (i / 2);
        h1(ramp.data(), width, xIdx.data(), w.data(), b.data());
        EXPECT_EQ(std::vector<std::int16_t>(b.begin(), b.begin() + width), std::vector<std::int16_t>(width, 32));
        v(out.data(), width, 9999, b.data(), b.data());
        EXPECT_EQ(out, std::vector<std::uint8_t>(width, 0));
        // Cubic at t = 0 gives the second tap exactly, vector part and rest.
        std::vector<std::uint8_t> taps(width + 3);
        for (int i = 0; i < width + 3; ++i) taps[i] = static_cast<std::uint8_t>(37 * i + 11);
        std::vector<float> t(width + 4, 0.0f), buffer(width + 8);
        for (int i = 0; i < width; ++i) xIdx[i] = i + 1;
        bySlot(slot.slot, resize8u_cubH1_sse, resize8u_cubH1_sse2, resize8u_cubH1_sse3)(taps.data(), width, xIdx.data(),
                                                                                      t.data(), buffer.data());
        for (int i = 0; i < width; ++i) EXPECT_EQ(buffer[i], taps[i + 1]) << width << " " << i;
    }
}

TEST_P(ResizeSlotTest, LeavesTheProcessorStateAsItFoundIt) {
    const ResizeSlot& slot = GetParam();
    for (int type : {zpType8u, zpType16u, zpType32f})
        for (int interpolation : {zpInterLinear, zpInterCubic})
            for (int channels : {1, 3, 4}) {
                const SlotImage src(type, 37, 29, channels, 0, 0, 5);
                std::vector<std::uint8_t> dst(64 * 48 * 4 * 4);
                const unsigned csr = _mm_getcsr();
                std::uint16_t x87 = 0, x87After = 0;
                asm volatile("fnstcw %0" : "=m"(x87));
                ASSERT_EQ(slot.driver(src.source(), 37, 29, src.step, 0, 0, 37, 29, dst.data(), 64 * 4 * 4, 64, 48,
                                      1.6, 1.4, 0.0, 0.0, channels, channels, type, 0, interpolation, 1),
                          zpStsNoErr);
                asm volatile("fnstcw %0" : "=m"(x87After));
                // Rounding mode, masks, flush-to-zero: all but the sticky flags.
                EXPECT_EQ(_mm_getcsr() & ~0x3Fu, csr & ~0x3Fu);
                EXPECT_EQ(x87After, x87);
                // The x87 registers are free again: extended precision works.
                volatile long double third = 1.0L / 3.0L;
                EXPECT_EQ(third * 3.0L, 1.0L);
                EXPECT_EQ(static_cast<double>(std::sqrt(static_cast<long double>(2.0L))), std::sqrt(2.0));
            }
}

TEST_P(ResizeSlotTest, EntriesRouteSuperSamplingAndRefuseANaNFactor) {
    const ResizeSlot& slot = GetParam();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::uint8_t src[64] = {}, dst[64] = {};
    for (ResizeEntry entry : slot.entries) {
        EXPECT_EQ(entry(src, {4, 4}, 16, {0, 0, 4, 4}, dst, 16, {4, 4}, nan, 0.5, zpInterSuper), zpStsResizeFactorErr);
        EXPECT_EQ(entry(src, {4, 4}, 16, {0, 0, 4, 4}, dst, 16, {4, 4}, 0.5, nan, zpInterLinear), zpStsResizeFactorErr);
        // A factor above 1.0 goes to the resize driver, which has no method 8.
        EXPECT_EQ(entry(src, {4, 4}, 16, {0, 0, 4, 4}, dst, 16, {4, 4}, 1.5, 0.5, zpInterSuper), zpStsInterpolationErr);
    }
    // Halving by super-sampling through the C1 entry: block means.
    const std::uint8_t blocks[8] = {0, 10, 100, 110, 20, 30, 120, 130};
    std::uint8_t two[2] = {};
    ASSERT_EQ(slot.entries[0](blocks, {4, 2}, 4, {0, 0, 4, 2}, two, 2, {2, 1}, 0.5, 0.5, zpInterSuper), zpStsNoErr);
    EXPECT_EQ(two[0], 15);
    EXPECT_EQ(two[1], 115);
}

// Slots 2 and 3 evaluate the same operations on different instruction sets:
// equal bytes, but for the 8u and 16u four-channel cubic rows, which slot 2
// takes in its vector form and slot 3 in the scalar one.
TEST(ResizeSlots, SlotsTwoAndThreeAgreeBitForBit) {
    if (!slotUnsupportedReason(2).empty() || !slotUnsupportedReason(3).empty()) GTEST_SKIP() << "needs slots 2 and 3";
    std::uint32_t seed = 77;
    for (int type : {zpType8u, zpType16u, zpType32f})
        for (const Layout& layout : kLayouts)
            for (int interpolation : {zpInterNearest, zpInterLinear, zpInterCubic}) {
                if (interpolation == zpInterCubic && layout.channels == 4 && type != zpType32f) continue;
                for (const Region& r : kRegions) {
                    const int size = sampleBytes(type);
                    const int ps = layout.planes ? 1 : layout.pixelStep;
                    const SlotImage src(type, r.width, r.height, layout.pixelStep, layout.planes, 0, ++seed);
                    const int dstStep = r.dstWidth * ps * size;
                    const std::size_t dstSize = static_cast<std::size_t>(dstStep) * r.dstHeight;
                    SlotDestination two(dstSize, layout.planes, 0, seed), three(dstSize, layout.planes, 0, seed);
                    for (auto [driver, dst] : {std::pair<ResizeDriver, SlotDestination*>{resize_driver_sse, &two},
                                                std::pair<ResizeDriver, SlotDestination*>{resize_driver_sse2, &three}})
                        ASSERT_EQ(driver(src.source(), r.width, r.height, src.step, r.roi.x, r.roi.y, r.roi.width,
                                         r.roi.height, dst->target(), dstStep, r.dstWidth, r.dstHeight, r.fx, r.fy, 0.0,
                                         0.0, ps, layout.channels, type, layout.planes != 0, interpolation, 1),
                                  zpStsNoErr);
                    for (int p = 0; p < two.planes(); ++p)
                        ASSERT_EQ(std::memcmp(two.plane(p), three.plane(p), dstSize), 0)
                            << kMethods[interpolation] << " type " << type << " " << layout.name << " " << r.width
                            << "x" << r.height;
                }
            }
}

// The program's resize is the generic variant: 100 and 101 blended half and
// half give 101 there and 100 in every processor slot.
TEST(ResizeSlots, TheProgramRunsTheGenericVariant) {
    const std::uint8_t src[4] = {100, 101, 100, 101};
    std::uint8_t dst[6] = {};
    ASSERT_EQ(zpiResize_8u_C1R(src, {2, 2}, 2, {0, 0, 2, 2}, dst, 3, {3, 2}, 1.5, 1.0, zpInterLinear), zpStsNoErr);
    EXPECT_EQ(dst[1], 101);
    for (const ResizeSlot& slot : resizeSlots()) {
        if (!slotUnsupportedReason(slot.slot).empty()) continue;
        std::uint8_t out[6] = {};
        ASSERT_EQ(slot.entries[0](src, {2, 2}, 2, {0, 0, 2, 2}, out, 3, {3, 2}, 1.5, 1.0, zpInterLinear), zpStsNoErr);
        EXPECT_EQ(out[1], 100) << slot.name;
    }
}

// Entries 2 to 4 of the resize tables hold the slot entry functions.
TEST(ResizeSlots, TablesHoldEachSlotsEntries) {
    const char* names[3] = {"zpiResize_8u_C1R", "zpiResize_8u_C3R", "zpiResize_8u_C4R"};
    const std::int32_t classes[5] = {0, 0, 5, 6, 8};  // a processor class selecting each slot
    const std::uint8_t src[4] = {100, 101, 100, 101};
    for (const ResizeSlot& slot : resizeSlots())
        for (int i = 0; i < 3; ++i) EXPECT_EQ(primitiveEntry<zpResizeEntryFn>(names[i], slot.slot), slot.entries[i]);
    // Selected through the dispatch, a slot's variant runs (and the index
    // is put back).
    for (const ResizeSlot& slot : resizeSlots()) {
        if (!slotUnsupportedReason(slot.slot).empty()) continue;
        ASSERT_EQ(zpSelectVariant(classes[slot.slot]), zpStsNoErr);
        std::uint8_t out[6] = {};
        const zpStatus status = zpiResize_8u_C1R(src, {2, 2}, 2, {0, 0, 2, 2}, out, 3, {3, 2}, 1.5, 1.0, zpInterLinear);
        zpVariantIndex = 1;
        ASSERT_EQ(status, zpStsNoErr);
        EXPECT_EQ(out[1], 100) << slot.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Slots, ResizeSlotTest, ::testing::ValuesIn(resizeSlots()), slotName);

}  // namespace
