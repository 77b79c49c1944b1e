// The tables every resize driver builds, seen through the inspection hook:
// the worked examples of the corner-aligned mapping, the nearest steps, the
// fallbacks, clipping and statuses, and the allocations a call makes and
// gives back. Run for the generic driver and each slot's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ZResizeTestSupport.h"

namespace {

// What one row-helper call was given.
struct Seen {
    int calls = 0;
    int entry = -1;
    zpRowJob job{};
    std::vector<std::int32_t> yIdx, xIdx;
    std::vector<std::int16_t> rowQ14, columnQ14;
    std::vector<float> rowT, columnT;
};

class ResizeTables : public ::testing::TestWithParam<int> {
protected:
    // Runs the driver of this slot on `args` up to its row helper.
    Seen inspect(const zpResizeArgs& args, zpStatus want = zpStsNoErr) {
        Seen seen;
        EXPECT_EQ(zpResizeInspect(GetParam(), args,
                                  [&](const zpRowJob& job, int entry) {
                                      ++seen.calls;
                                      seen.entry = entry;
                                      seen.job = job;
                                      seen.yIdx.assign(job.yIdx, job.yIdx + job.height);
                                      seen.xIdx.assign(job.xIdx, job.xIdx + job.width);
                                      const int group = entry / 3;
                                      const bool q14 = (group == 3 || group == 4) && entry % 3 != zpType32f;
                                      if (q14) {
                                          const auto* r = static_cast<const std::int16_t*>(job.rowWeights);
                                          const auto* c = static_cast<const std::int16_t*>(job.columnWeights);
                                          seen.rowQ14.assign(r, r + job.height);
                                          seen.columnQ14.assign(c, c + 2 * job.width);
                                      } else if (group >= 3) {
                                          const auto* r = static_cast<const float*>(job.rowWeights);
                                          const auto* c = static_cast<const float*>(job.columnWeights);
                                          seen.rowT.assign(r, r + job.height);
                                          seen.columnT.assign(c, c + job.width);
                                      }
                                  }),
                  want);
        return seen;
    }

    std::uint8_t image[64 * 64] = {};
    std::uint8_t out[64 * 64] = {};

    // An 8-bit one-channel call on a w x h image.
    zpResizeArgs args(int w, int h, zpRect roi, int dstW, int dstH, double fx, double fy, int interpolation,
                      int type = zpType8u) {
        return {image, w,  h,   w * sampleBytes(type), roi.x, roi.y, roi.width,     roi.height,
                out,   64, dstW, dstH,                 fx,    fy,    0.0,           0.0,
                1,     1,  type, 0,                    interpolation, 1};
    }
};

TEST_P(ResizeTables, LinearDoublingOfFourPixelsStepsByThreeSevenths) {
    const Seen s = inspect(args(4, 4, {0, 0, 4, 4}, 8, 8, 2.0, 2.0, zpInterLinear));
    EXPECT_EQ(s.entry, 3 * 4 + zpType8u);
    EXPECT_EQ(s.xIdx, (std::vector<std::int32_t>{0, 0, 0, 1, 1, 2, 2, 2}));
    EXPECT_EQ(s.columnQ14, (std::vector<std::int16_t>{16384, 0, 9363, 7021, 2341, 14043, 11703, 4681, 4682, 11702,
                                                      14044, 2340, 7022, 9362, 0, 16384}));
    EXPECT_EQ(s.yIdx, (std::vector<std::int32_t>{0, 0, 0, 4, 4, 8, 8, 8}));  // row index times the step
    EXPECT_EQ(s.rowQ14, (std::vector<std::int16_t>{0, 7021, 14043, 4681, 11702, 2340, 9362, 16384}));
    // Float samples weigh by fractions on the same indices.
    const Seen f = inspect(args(4, 4, {0, 0, 4, 4}, 8, 8, 2.0, 2.0, zpInterLinear, zpType32f));
    EXPECT_EQ(f.entry, 3 * 4 + zpType32f);
    EXPECT_EQ(f.xIdx, s.xIdx);
    EXPECT_EQ(f.columnT, (std::vector<float>{0.0f, 0.42857143f, 0.85714287f, 0.2857143f, 0.71428573f, 0.14285715f,
                                             0.5714286f, 1.0f}));
    // A destination of 3 x 3 receives the top-left part: same step, same
    // first entries.
    const Seen cut = inspect(args(4, 4, {0, 0, 4, 4}, 3, 3, 2.0, 2.0, zpInterLinear));
    EXPECT_EQ(cut.job.width, 3);
    EXPECT_EQ(cut.job.height, 3);
    EXPECT_EQ(cut.xIdx, (std::vector<std::int32_t>{0, 0, 0}));
    EXPECT_EQ(cut.columnQ14, std::vector<std::int16_t>(s.columnQ14.begin(), s.columnQ14.begin() + 6));
}

TEST_P(ResizeTables, CubicHalvingKeepsAllFourTapsInsideTheImage) {
    const Seen s = inspect(args(8, 8, {0, 0, 8, 8}, 8, 8, 0.5, 0.5, zpInterCubic));
    EXPECT_EQ(s.entry, 3 * 6 + zpType8u);
    EXPECT_EQ(s.xIdx, (std::vector<std::int32_t>{1, 2, 4, 5}));
    EXPECT_EQ(s.columnT, (std::vector<float>{-1.0f, 0.33333334f, 0.6666667f, 2.0f}));
    // The first row table entry is one step when the region starts on the
    // image's first row.
    EXPECT_EQ(s.yIdx[0], 8);
}

TEST_P(ResizeTables, NearestTakesThePixelAtOrBeforeWholeRatiosAndRoundsOthers) {
    const struct {
        int width;
        double factor;
        std::vector<std::int32_t> columns;
    } cases[] = {
        {3, 2.0, {0, 0, 1, 1, 2, 2}},
        {4, 1.5, {0, 1, 1, 2, 2, 3}},  // step 0.6, offset 0.5
        {6, 0.5, {0, 2, 4}},
    };
    for (const auto& c : cases) {
        const Seen s = inspect(args(c.width, 2, {0, 0, c.width, 2}, 16, 2, c.factor, 1.0, zpInterNearest));
        EXPECT_EQ(s.entry, 3 * 1 + zpType8u);
        EXPECT_EQ(s.xIdx, c.columns) << c.factor;
    }
}

TEST_P(ResizeTables, SmallImagesFallBackAndRegionsAreClipped) {
    // A one-pixel-wide image: nearest whatever is asked.
    EXPECT_EQ(inspect(args(1, 8, {0, 0, 1, 8}, 4, 4, 2.0, 2.0, zpInterCubic)).entry, 3 * 1);
    // Three rows high: cubic becomes linear.
    EXPECT_EQ(inspect(args(8, 3, {0, 0, 8, 3}, 8, 8, 1.5, 1.5, zpInterCubic)).entry, 3 * 4);
    // A region past the image is clipped to it: 2 columns doubled.
    EXPECT_EQ(inspect(args(4, 4, {2, 0, 9, 4}, 64, 64, 2.0, 1.0, zpInterNearest)).job.width, 4);
    // R * f not above 1: one pixel from the region's first.
    const Seen one = inspect(args(10, 10, {3, 2, 7, 7}, 8, 8, 0.1, 0.1, zpInterLinear));
    EXPECT_EQ(one.job.width, 1);
    EXPECT_EQ(one.xIdx[0], 0);
    EXPECT_EQ(one.columnQ14, (std::vector<std::int16_t>{16384, 0}));
    // A one-pixel region on the image's right edge reads the column to its
    // left with weight 0; one on the last row starts a step above.
    const Seen edge = inspect(args(10, 10, {9, 9, 1, 1}, 8, 8, 3.0, 3.0, zpInterLinear));
    EXPECT_EQ(edge.xIdx[0], -1);
    EXPECT_EQ(edge.columnQ14[0], 0);
    EXPECT_EQ(edge.columnQ14[1], 16384);
    EXPECT_EQ(edge.yIdx[0], -10);
    EXPECT_EQ(edge.rowQ14[0], 16384);
}

TEST_P(ResizeTables, FourSamplePixelsOfThreeChannelsUseThreeValueRows) {
    zpResizeArgs a = args(8, 8, {0, 0, 8, 8}, 8, 8, 0.5, 0.5, zpInterLinear);
    a.srcStep = 32;
    a.pixelStep = 4;
    a.channels = 3;
    const Seen s = inspect(a);
    EXPECT_EQ(s.entry, 3 * 3 + zpType8u);
    EXPECT_EQ(s.job.pixelStep, 4);
    EXPECT_EQ(s.job.channels, 3);
    EXPECT_EQ(s.xIdx[1], 8);  // indices times the pixel step
}

TEST_P(ResizeTables, StatusesComeInTheirOrderBeforeAnythingIsBuilt) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        zpRect roi;
        double fx;
        int interpolation;
        zpStatus want;
    } cases[] = {
        {{8, 0, 4, 4}, 0.0, 3, zpStsResizeNoOperation},  // outside the image, factor and method wrong too
        {{0, 8, 4, 4}, 1.0, 1, zpStsResizeNoOperation},
        {{0, 0, 4, 4}, 0.0, 1, zpStsResizeFactorErr},
        {{0, 0, 4, 4}, -1.0, 1, zpStsResizeFactorErr},
        {{0, 0, 4, 4}, nan, 1, zpStsResizeFactorErr},
        {{0, 0, 4, 4}, 2.0, 8, zpStsInterpolationErr},
        {{0, 0, 4, 4}, 2.0, 3, zpStsInterpolationErr},
        {{-1, 0, 4, 4}, 2.0, 1, zpStsSizeErr},
    };
    for (const auto& c : cases) {
        const Seen s = inspect(args(8, 8, c.roi, 8, 8, c.fx, 1.0, c.interpolation), c.want);
        EXPECT_EQ(s.calls, 0);
    }
    // Arguments only direct callers pass: a null plane, and a 16-bit step
    // that is no whole number of samples.
    zpResizeArgs planar = args(8, 8, {0, 0, 8, 8}, 8, 8, 1.0, 1.0, zpInterLinear);
    const void* planes[3] = {image, image, nullptr};
    void* outs[3] = {out, out, out};
    planar.src = planes;
    planar.dst = outs;
    planar.planar = 1;
    planar.channels = 3;
    inspect(planar, zpStsNullPtrErr);
    zpResizeArgs odd = args(4, 4, {0, 0, 4, 4}, 8, 8, 1.0, 1.0, zpInterLinear, zpType16u);
    odd.srcStep = 9;
    inspect(odd, zpStsStepErr);
}

TEST_P(ResizeTables, ShiftsNeverMoveATapOutOfTheImage) {
    // Shifted far either way, every position is held inside the region; the
    // first linear row comes from the first table entry.
    for (double shift : {-50.0, -0.5, 0.25, 3.5, 1e9}) {
        for (int interpolation : {zpInterNearest, zpInterLinear, zpInterCubic}) {
            zpResizeArgs a = args(8, 8, {2, 2, 4, 4}, 8, 8, 1.5, 1.5, interpolation);
            a.xShift = a.yShift = shift;
            const Seen s = inspect(a);
            for (std::int32_t x : s.xIdx) {
                const int absolute = x + 2;
                const int lo = interpolation == zpInterCubic ? 1 : 0;
                const int hi = interpolation == zpInterNearest ? 7 : (interpolation == zpInterLinear ? 6 : 5);
                EXPECT_GE(absolute, lo) << shift;
                EXPECT_LE(absolute, hi) << shift;
            }
        }
    }
}

TEST_P(ResizeTables, AFailedAllocationReturnsMemoryErrorAndLeavesNothingBehind) {
    static int countdown;
    zpAlignedMallocGate = [](std::size_t) { return --countdown != 0; };
    for (int type : {zpType8u, zpType16u, zpType32f})
        for (int interpolation : {zpInterNearest, zpInterLinear, zpInterCubic}) {
            // Count the blocks of a whole call, then fail each in turn.
            countdown = 1 << 30;
            zpResizeArgs a = args(8, 8, {0, 0, 8, 8}, 16, 16, 1.5, 1.5, interpolation, type);
            a.dstStep = 64;
            const auto live = zpAlignedBlocksLive();
            inspect(a);
            const int blocks = (1 << 30) - countdown;
            EXPECT_EQ(blocks, interpolation == zpInterNearest ? 2 : (interpolation == zpInterLinear ? 6 : 8));
            for (int k = 1; k <= blocks; ++k) {
                countdown = k;
                const Seen s = inspect(a, zpStsMemAllocErr);
                EXPECT_EQ(s.calls, 0);
                EXPECT_EQ(zpAlignedBlocksLive(), live) << "allocation " << k;
            }
        }
    zpAlignedMallocGate = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Slots, ResizeTables, ::testing::Values(1, 2, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string("slot") + std::to_string(info.param);
                         });

// The row helper runs the buffers it was given, and slot 4 forms its step
// with one division: the tables of every slot agree on these examples.
TEST(ResizeTables, EveryProcessorSlotDrivesItsOwnTable) {
    for (const ResizeSlot& slot : resizeSlots()) {
        std::uint8_t image[16] = {}, out[64] = {};
        int entry = -1;
        const zpResizeArgs a = {image, 4, 4, 4, 0, 0, 4, 4, out, 8, 8, 8, 2.0, 2.0, 0.0, 0.0, 1, 1, 0, 0, 2, 1};
        zpResizeInspect(slot.slot, a, [&](const zpRowJob&, int e) { entry = e; });
        EXPECT_EQ(entry, 12);
        EXPECT_NE(slot.table[entry], resizeRowHelpers_gen[entry]) << slot.name;
    }
}

}  // namespace
