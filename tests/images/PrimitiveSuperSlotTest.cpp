// Super-sampling through the drivers of the processor slots: the worked
// examples in every slot, the bounds against the generic driver over every
// mode, type and layout, the orders of evaluation that set the slots apart,
// and the statuses they share. The dispatch index is never changed.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "ZResizeTestSupport.h"

namespace {

class SuperSlotTest : public ::testing::TestWithParam<ResizeSlot> {
protected:
    void SetUp() override {
        const std::string reason = slotUnsupportedReason(GetParam().slot);
        if (!reason.empty()) GTEST_SKIP() << reason;
    }
    void TearDown() override { EXPECT_EQ(zpVariantIndex, 1); }
};

struct Layout {
    const char* name;
    int pixelStep, kind, planes;
};

const Layout kLayouts[] = {{"C1", 1, 1, 0}, {"C3", 3, 3, 0}, {"AC4", 4, 3, 0}, {"C4", 4, 4, 0}, {"P3", 1, 3, 3}};

struct Region {
    int width, height;
    zpRect roi;
    int dstWidth, dstHeight;
};

const Region kRegions[] = {
    {1, 1, {0, 0, 1, 1}, 4, 4},        {1, 9, {0, 0, 1, 9}, 4, 4},          {9, 1, {0, 0, 9, 1}, 4, 4},
    {3, 3, {0, 0, 3, 3}, 4, 4},        {17, 13, {2, 1, 15, 12}, 16, 16},    {101, 67, {3, 5, 98, 62}, 60, 60},
    {64, 48, {37, 29, 27, 19}, 8, 30}, {40, 30, {10, 10, 90, 90}, 40, 40},  {23, 19, {22, 18, 1, 1}, 2, 2},
    {97, 31, {0, 0, 97, 31}, 100, 31},
};

// Factor pairs of modes 0 (both whole), 1 (x whole), 2 (y whole) and 3.
const double kFactors[][2] = {{1.0, 1.0}, {0.5, 0.5}, {1.0 / 3, 0.25}, {0.125, 0.1},  {0.5, 0.4},
                              {0.0625, 0.37}, {0.4, 0.5}, {0.31, 1.0}, {0.4, 0.3}, {0.123, 0.77}};

int modeOf(double fx, double fy) {
    const auto whole = [](double k) { return k - std::trunc(k) == 0.0; };
    return whole(1.0 / fx) ? (whole(1.0 / fy) ? 0 : 1) : (whole(1.0 / fy) ? 2 : 3);
}

TEST_P(SuperSlotTest, KeepsWithinItsBoundsOfTheGenericResult) {
    const ResizeSlot& slot = GetParam();
    std::uint32_t seed = 100;
    for (int type : {zpType8u, zpType16u, zpType32f})
        for (const Layout& layout : kLayouts)
            for (const auto& f : kFactors)
                for (const Region& r : kRegions)
                    for (int dstOffset : {0, sampleBytes(type)}) {
                        ++seed;
                        const int size = sampleBytes(type);
                        const int ps = layout.planes ? 1 : layout.pixelStep;
                        const SlotImage src(type, r.width, r.height, layout.pixelStep, layout.planes, size, seed);
                        const int dstStep = r.dstWidth * ps * size + 3 * size;
                        const std::size_t dstSize = static_cast<std::size_t>(dstStep) * r.dstHeight;
                        SlotDestination initial(dstSize, layout.planes, dstOffset, seed);
                        SlotDestination want(dstSize, layout.planes, dstOffset, seed);
                        SlotDestination got(dstSize, layout.planes, dstOffset, seed);
                        const auto call = [&](SuperDriver driver, void* dst) {
                            return driver(src.source(), r.width, r.height, src.step, r.roi.x, r.roi.y, r.roi.width,
                                          r.roi.height, dst, dstStep, r.dstWidth, r.dstHeight, f[0], f[1], ps,
                                          layout.kind, type, layout.planes != 0);
                        };
                        ASSERT_EQ(call(resize_superDriver_gen, want.target()), zpStsNoErr);
                        ASSERT_EQ(call(slot.superDriver, got.target()), zpStsNoErr);
                        const int mode = modeOf(f[0], f[1]);
                        const auto where = [&] {
                            return std::string("type ") + std::to_string(type) + " " + layout.name + " factors " +
                                   std::to_string(f[0]) + "," + std::to_string(f[1]) + " image " +
                                   std::to_string(r.width) + "x" + std::to_string(r.height) + " offset " +
                                   std::to_string(dstOffset);
                        };
                        ASSERT_TRUE(got.fencesIntact()) << where();
                        for (int p = 0; p < initial.planes(); ++p)
                            for (int y = 0; y < r.dstHeight; ++y)
                                for (int x = 0; x < r.dstWidth * ps; ++x) {
                                    const std::size_t at = static_cast<std::size_t>(y) * dstStep + x * size;
                                    const bool untouchedInGeneric =
                                        std::memcmp(want.plane(p) + at, initial.plane(p) + at, size) == 0;
                                    const bool alpha = layout.kind == 3 && ps == 4 && x % 4 == 3;
                                    if (alpha) {
                                        ASSERT_EQ(std::memcmp(got.plane(p) + at, initial.plane(p) + at, size), 0)
                                            << where() << " alpha written at " << x << "," << y;
                                        continue;
                                    }
                                    const double g = sampleAt(want.plane(p) + at, type);
                                    const double s = sampleAt(got.plane(p) + at, type);
                                    if (untouchedInGeneric) {
                                        // Outside the output, or a sample that kept its value.
                                        if (std::memcmp(got.plane(p) + at, initial.plane(p) + at, size) == 0) continue;
                                    }
                                    const double tolerance =
                                        type == zpType32f ? 1e-3 : (mode == 0 ? 0.0 : 1.0);
                                    ASSERT_LE(std::fabs(s - g), tolerance)
                                        << where() << " at " << x << "," << y << ": slot " << s << " generic " << g;
                                }
                    }
}

TEST_P(SuperSlotTest, WorkedExamplesGiveTheGenericMeans) {
    const ResizeSlot& slot = GetParam();
    // 2 x 2 blocks 1 2 / 3 4, 0 0 / 0 1 and 0 0 / 1 1: 3, 0 and 1.
    const std::uint8_t blocks[12] = {1, 2, 0, 0, 0, 0, 3, 4, 0, 1, 1, 1};
    std::uint8_t halves[3] = {};
    ASSERT_EQ(slot.superDriver(blocks, 6, 2, 6, 0, 0, 6, 2, halves, 3, 3, 1, 0.5, 0.5, 1, 1, zpType8u, 0), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(halves, halves + 3), (std::vector<std::uint8_t>{3, 0, 1}));
    // kx = 2.5 over ten float pixels: c0 + c1 + c2/2, c2/2 + c3 + c4, ...
    const float row[10] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512};
    float four[5] = {-1, -1, -1, -1, -1};
    ASSERT_EQ(slot.superDriver(row, 10, 1, 40, 0, 0, 10, 1, four, 20, 5, 1, 0.4, 1.0, 1, 1, zpType32f, 0), 0);
    const double want[4] = {(1 + 2 + 2) * 0.4, (2 + 8 + 16) * 0.4, (32 + 64 + 64) * 0.4, (64 + 256 + 512) * 0.4};
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(four[i], want[i], want[i] * 1e-6) << i;
    EXPECT_EQ(four[4], -1.0f);
    // ky = 2.5 down five rows of a guarded column: nothing past row 4 read.
    GuardedBytes column(5 * 4);
    const float values[5] = {1, 2, 4, 8, 16};
    std::memcpy(column.data(), values, sizeof values);
    float two[2] = {};
    ASSERT_EQ(slot.superDriver(column.data(), 1, 5, 4, 0, 0, 1, 5, two, 4, 1, 2, 1.0, 0.4, 1, 1, zpType32f, 0), 0);
    EXPECT_NEAR(two[0], (1 + 2 + 2) * 0.4, 1e-5);
    EXPECT_NEAR(two[1], (2 + 8 + 16) * 0.4, 1e-5);
    // 1.0 / 3 is a whole extent of three: the block mean 5 of 1..9.
    const std::uint8_t nine[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::uint8_t one = 0;
    ASSERT_EQ(slot.superDriver(nine, 3, 3, 3, 0, 0, 3, 3, &one, 1, 1, 1, 1.0 / 3, 1.0 / 3, 1, 1, zpType8u, 0), 0);
    EXPECT_EQ(one, 5);
    // Four-sample pixels: all four averaged, or the alpha kept.
    const std::uint8_t px[8] = {10, 20, 30, 40, 30, 40, 50, 60};
    std::uint8_t all[4] = {}, kept[4] = {9, 9, 9, 99};
    ASSERT_EQ(slot.superDriver(px, 2, 1, 8, 0, 0, 2, 1, all, 4, 1, 1, 0.5, 1.0, 4, 4, zpType8u, 0), 0);
    ASSERT_EQ(slot.superDriver(px, 2, 1, 8, 0, 0, 2, 1, kept, 4, 1, 1, 0.5, 1.0, 4, 3, zpType8u, 0), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(all, all + 4), (std::vector<std::uint8_t>{20, 30, 40, 50}));
    EXPECT_EQ(std::vector<std::uint8_t>(kept, kept + 4), (std::vector<std::uint8_t>{20, 30, 40, 99}));
    // A 1-row region halved: its mean, row 1 never read.
    GuardedBytes single(4);
    const std::uint8_t line[4] = {10, 20, 30, 41};
    std::memcpy(single.data(), line, 4);
    std::uint8_t means[2] = {};
    ASSERT_EQ(slot.superDriver(single.data(), 4, 1, 4, 0, 0, 4, 1, means, 2, 2, 1, 0.5, 0.5, 1, 1, zpType8u, 0), 0);
    EXPECT_EQ(std::vector<std::uint8_t>(means, means + 2), (std::vector<std::uint8_t>{15, 36}));
    // Planes of 16-bit samples read from the region of each.
    std::vector<std::uint16_t> planes[3];
    for (int p = 0; p < 3; ++p)
        for (int i = 0; i < 12; ++i) planes[p].push_back(static_cast<std::uint16_t>(1000 * (p + 1) + i * 10));
    const void* srcPlanes[3] = {planes[0].data(), planes[1].data(), planes[2].data()};
    std::uint16_t out[3] = {};
    void* dstPlanes[3] = {&out[0], &out[1], &out[2]};
    ASSERT_EQ(slot.superDriver(srcPlanes, 4, 3, 8, 1, 1, 2, 2, dstPlanes, 2, 1, 1, 0.5, 0.5, 1, 3, zpType16u, 1), 0);
    EXPECT_EQ(std::vector<std::uint16_t>(out, out + 3), (std::vector<std::uint16_t>{1075, 2075, 3075}));
}

TEST(SuperSlots, RefuseBadArgumentsAlikeInEverySlot) {
    std::uint8_t src[64] = {1}, dst[64] = {};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const void* s;
        void* d;
        int w, h, step, dstStep;
        zpRect roi;
        double fx, fy;
        int type;
    } cases[] = {
        {nullptr, dst, 4, 4, 4, 4, {0, 0, 4, 4}, 0.5, 0.5, 0}, {src, dst, 0, 4, 4, 4, {0, 0, 4, 4}, 0.5, 0.5, 0},
        {src, dst, 4, 4, 0, 4, {0, 0, 4, 4}, 0.5, 0.5, 0},     {src, dst, 4, 4, 4, 4, {-1, 0, 4, 4}, -1, 0.5, 0},
        {src, dst, 4, 4, 4, 4, {4, 0, 4, 4}, 0.0, 0.5, 0},     {src, dst, 4, 4, 4, 4, {0, 0, 4, 4}, 0.0, 0.5, 0},
        {src, dst, 4, 4, 4, 4, {0, 0, 4, 4}, nan, 0.5, 0},     {src, dst, 4, 4, 4, 4, {0, 0, 4, 4}, 0.5, nan, 0},
        {src, dst, 4, 4, 4, 4, {0, 0, 4, 4}, 1.5, 0.5, 0},     {src, dst, 2, 2, 5, 4, {0, 0, 2, 2}, 0.5, 0.5, 1},
        {src, dst, 2, 2, 8, 6, {0, 0, 2, 2}, 0.5, 0.5, 2},     {src, dst, 4, 4, 4, 4, {0, 0, 4, 4}, 0.5, 0.5, 3},
    };
    for (const auto& c : cases) {
        const zpStatus want = resize_superDriver_gen(c.s, c.w, c.h, c.step, c.roi.x, c.roi.y, c.roi.width, c.roi.height,
                                                     c.d, c.dstStep, 2, 2, c.fx, c.fy, 1, 1, c.type, 0);
        for (const ResizeSlot& slot : resizeSlots())
            EXPECT_EQ(slot.superDriver(c.s, c.w, c.h, c.step, c.roi.x, c.roi.y, c.roi.width, c.roi.height, c.d,
                                       c.dstStep, 2, 2, c.fx, c.fy, 1, 1, c.type, 0),
                      want)
                << slot.name;
        EXPECT_EQ(dst[0], 0);
    }
}

// One row of float cells summed by a slot as the single output pixel of a
// mode-0 reduction by 1 / n: the sum times 1 / n.
float sumOfRow(SuperDriver driver, const std::vector<float>& cells) {
    const int n = static_cast<int>(cells.size());
    float out = 0;
    EXPECT_EQ(driver(cells.data(), n, 1, 4 * n, 0, 0, n, 1, &out, 4, 1, 1, 1.0 / n, 1.0, 1, 1, zpType32f, 0), 0);
    return out;
}

TEST(SuperSlots, EachSlotAddsWholeCellsInItsOwnOrder) {
    const float e = std::ldexp(1.0f, -24);
    const float f = std::ldexp(1.0f, -23);
    const struct {
        std::vector<float> cells;
        double sse, sse2, sse3, generic;  // the sums each slot forms
    } cases[] = {
        // Eight cells: slots 2 and 3 take four lanes joined (L0 + L2) +
        // (L1 + L3); slot 4 adds one at a time below eleven.
        {{1, e, e, e, e, e, e, e}, 1 + 3 * f, 1 + 3 * f, 1, 1 + 4 * f},
        // Seven: every slot adds one at a time.
        {{1, e, e, e, e, e, e}, 1, 1, 1, 1 + 3 * f},
        // Eleven: slot 4 takes its lanes too, joined (L0 + L1) + (L2 + L3).
        {{1, e, 0, e, 0, 0, 0, 0, 0, 0, 0}, 1 + f, 1 + f, 1, 1 + f},
        {{1, e, 0, 0, 0, e, 0, 0, 0, 0, 0}, 1 + f, 1 + f, 1 + f, 1 + f},
        // Ten: slot 4 adds one at a time again.
        {{1, e, 0, 0, 0, e, 0, 0, 0, 0}, 1 + f, 1 + f, 1, 1 + f},
    };
    for (const auto& c : cases) {
        const double norm = 1.0 / static_cast<double>(c.cells.size());
        const auto scaled = [norm](double sum) { return static_cast<float>(static_cast<float>(sum) * norm); };
        EXPECT_EQ(sumOfRow(resize_superDriver_gen, c.cells), scaled(c.generic)) << c.cells.size();
        for (const ResizeSlot& slot : resizeSlots()) {
            if (!slotUnsupportedReason(slot.slot).empty()) continue;
            const double want = slot.slot == 2 ? c.sse : (slot.slot == 3 ? c.sse2 : c.sse3);
            EXPECT_EQ(sumOfRow(slot.superDriver, c.cells), scaled(want)) << slot.name << " " << c.cells.size();
        }
    }
}

TEST(SuperSlots, FourSamplePixelsRoundAfterEveryTerm) {
    // Blocks of four cells holding 1, 2^-24, 2^-24, 0 in a channel: each
    // 2^-24 is a tie that rounds to even in single precision, so the slots'
    // sum stays 1.0 where the generic double-precision sum is 1 + 2^-23.
    const float e = std::ldexp(1.0f, -24);
    const float px[16] = {1, 5, 5, 5, e, 5, 5, 5, e, 5, 5, 5, 0, 5, 5, 5};
    float generic[4] = {}, out[4] = {};
    ASSERT_EQ(resize_superDriver_gen(px, 4, 1, 64, 0, 0, 4, 1, generic, 16, 1, 1, 0.25, 1.0, 4, 4, zpType32f, 0), 0);
    EXPECT_EQ(generic[0], static_cast<float>((1.0 + 2.0 * e) * 0.25));
    for (const ResizeSlot& slot : resizeSlots()) {
        if (!slotUnsupportedReason(slot.slot).empty()) continue;
        ASSERT_EQ(slot.superDriver(px, 4, 1, 64, 0, 0, 4, 1, out, 16, 1, 1, 0.25, 1.0, 4, 4, zpType32f, 0), 0);
        EXPECT_EQ(out[0], 0.25f) << slot.name;
        EXPECT_EQ(out[1], 5.0f) << slot.name;
    }
}

TEST(SuperSlots, SlotFourThreeAndFourSampleKernelsEqualSlotThree) {
    if (!slotUnsupportedReason(4).empty()) GTEST_SKIP() << slotUnsupportedReason(4);
    std::uint32_t seed = 900;
    for (int type : {zpType8u, zpType16u, zpType32f})
        for (const Layout& layout : {kLayouts[1], kLayouts[2], kLayouts[3]})
            for (const auto& f : kFactors) {
                const int size = sampleBytes(type);
                const SlotImage src(type, 53, 41, layout.pixelStep, 0, 0, ++seed);
                const int dstStep = 53 * layout.pixelStep * size;
                SlotDestination three(dstStep * 41, 0, 0, seed), four(dstStep * 41, 0, 0, seed);
                ASSERT_EQ(resize_superDriver_sse2(src.source(), 53, 41, src.step, 0, 0, 53, 41, three.target(), dstStep,
                                                  53, 41, f[0], f[1], layout.pixelStep, layout.kind, type, 0),
                          0);
                ASSERT_EQ(resize_superDriver_sse3(src.source(), 53, 41, src.step, 0, 0, 53, 41, four.target(), dstStep,
                                                  53, 41, f[0], f[1], layout.pixelStep, layout.kind, type, 0),
                          0);
                EXPECT_EQ(std::memcmp(three.plane(0), four.plane(0), dstStep * 41), 0)
                    << layout.name << " type " << type << " factors " << f[0] << "," << f[1];
            }
}

TEST(SuperSlots, RowSumsWriteExactlyTheirColumns) {
    // Three float rows of 17 columns: the first 16 summed row by row in
    // single precision, the 17th in double precision and rounded once. With
    // 2^24, 1, 1 the first way loses both ones (each a tie to even), the
    // second keeps them.
    const float big = 16777216.0f;
    std::vector<float> rows(3 * 17, 0.5f);
    for (int r = 0; r < 3; ++r) rows[r * 17 + 0] = rows[r * 17 + 16] = r == 0 ? big : 1.0f;
    std::vector<float> acc(18, -7.0f);
    resize32f_superSumC1_sse2(rows.data(), 17 * 4, 17, 3, acc.data());
    EXPECT_EQ(acc[0], big);
    EXPECT_EQ(acc[1], 1.5f);
    EXPECT_EQ(acc[16], big + 2.0f);
    EXPECT_EQ(acc[17], -7.0f);  // nothing past the count
    // Pixel step 4: the fourth cell of every group is never written.
    std::vector<std::uint8_t> px(2 * 5 * 4);
    for (std::size_t i = 0; i < px.size(); ++i) px[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint32_t> cells(5 * 4, 77);
    resize8u_superSumC3_sse2(px.data(), 20, 5, 2, cells.data(), 4);
    for (int i = 0; i < 5; ++i) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(cells[4 * i + c], px[4 * i + c] + px[20 + 4 * i + c]);
        EXPECT_EQ(cells[4 * i + 3], 77u);
    }
}

INSTANTIATE_TEST_SUITE_P(Slots, SuperSlotTest, ::testing::ValuesIn(resizeSlots()), slotName);

}  // namespace
