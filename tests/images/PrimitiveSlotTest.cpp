// The processor-specific variants of the copies and the compositing, taken
// straight from entries 2 to 4 of their tables, against the generic variant
// in entry 1 on the same inputs. The dispatch index is never changed.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>
#include <xmmintrin.h>

#include "ZImagePrimitives.h"
#include "ZImagePrimitivesCpu.h"
#include "ZSlotTestSupport.h"

namespace {

using CopyFn = decltype(zpiCopy_8u_C3R);
using CompFn = decltype(zpiAlphaComp_8u_AC4R);

const std::uint8_t kColours[] = {0, 1, 127, 128, 254, 255};

class PrimitiveSlot : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        const std::string reason = slotUnsupportedReason(GetParam());
        if (!reason.empty()) GTEST_SKIP() << reason;
        copy3 = primitiveEntry<CopyFn>("zpiCopy_8u_C3R", GetParam());
        copy4 = primitiveEntry<CopyFn>("zpiCopy_8u_C4R", GetParam());
        comp = primitiveEntry<CompFn>("zpiAlphaComp_8u_AC4R", GetParam());
        ASSERT_TRUE(copy3 && copy4 && comp);
        ASSERT_NE(copy3, genericCopy3);
        ASSERT_NE(comp, genericComp);
    }
    void TearDown() override { EXPECT_EQ(zpVariantIndex, 1); }

    CopyFn* genericCopy3 = primitiveEntry<CopyFn>("zpiCopy_8u_C3R", 1);
    CopyFn* genericCopy4 = primitiveEntry<CopyFn>("zpiCopy_8u_C4R", 1);
    CompFn* genericComp = primitiveEntry<CompFn>("zpiAlphaComp_8u_AC4R", 1);
    CopyFn* copy3 = nullptr;
    CopyFn* copy4 = nullptr;
    CompFn* comp = nullptr;

    // Composites source rows ending flush against a guard page (the second
    // source `gap2` bytes before its own) into two fenced destinations, one
    // with each variant; both must hold the same bytes, fences included.
    void expectSameComposite(int width, int height, int dstOffset, int gap1, int gap2, std::uint32_t seed) {
        const int row = width * 4;
        const int step1 = row + 3, step2 = row + 5, dstStep = row + 7;
        GuardedBytes a(static_cast<std::size_t>(step1) * (height - 1) + row, gap1);
        GuardedBytes b(static_cast<std::size_t>(step2) * (height - 1) + row, gap2);
        a.fill(seed);
        b.fill(seed + 1);
        const std::size_t dstSize = static_cast<std::size_t>(dstStep) * (height - 1) + row;
        for (std::int32_t op = 0; op < 12; ++op) {
            FencedBytes want(dstSize, dstOffset, seed + 2), got(dstSize, dstOffset, seed + 2);
            ASSERT_EQ(genericComp(a.data(), step1, b.data(), step2, want.data(), dstStep, {width, height}, op), 0);
            ASSERT_EQ(comp(a.data(), step1, b.data(), step2, got.data(), dstStep, {width, height}, op), 0);
            ASSERT_TRUE(got.fencesIntact()) << "op " << op << " width " << width << " offset " << dstOffset;
            ASSERT_EQ(got.span(), want.span()) << "op " << op << " width " << width << " offset " << dstOffset
                                               << " gaps " << gap1 << "," << gap2;
        }
    }

    // Copies with both variants into fenced destinations and compares them.
    void expectSameCopy(int channels, int width, int height, const std::uint8_t* src, int srcStep, int dstStep,
                        int dstOffset, std::uint32_t seed) {
        CopyFn* generic = channels == 3 ? genericCopy3 : genericCopy4;
        CopyFn* slot = channels == 3 ? copy3 : copy4;
        const std::size_t dstSize = static_cast<std::size_t>(dstStep) * (height - 1) + width * channels;
        FencedBytes want(dstSize, dstOffset, seed), got(dstSize, dstOffset, seed);
        ASSERT_EQ(generic(src, srcStep, want.data(), dstStep, {width, height}), 0);
        ASSERT_EQ(slot(src, srcStep, got.data(), dstStep, {width, height}), 0);
        ASSERT_TRUE(got.fencesIntact());
        ASSERT_EQ(got.span(), want.span()) << "C" << channels << " " << width << "x" << height << " steps " << srcStep
                                           << "/" << dstStep << " source at " << (reinterpret_cast<std::uintptr_t>(src) & 63)
                                           << " offset " << dstOffset;
    }

    // A source of `height` rows that ends `gap` bytes before a guard page,
    // for gaps up to 15.
    struct Source {
        Source(int rowBytes, int step, int height)
            : span(static_cast<std::size_t>(step) * (height - 1) + rowBytes), bytes(span + 15) {
            bytes.fill(static_cast<std::uint32_t>(span));
        }
        const std::uint8_t* endingBefore(int gap) { return bytes.data() + 15 - gap; }
        std::size_t span;
        GuardedBytes bytes;
    };
};

TEST_P(PrimitiveSlot, CompositesEveryAlphaPairAsTheGenericDoes) {
    constexpr int kPixels = 65536;
    for (std::uint32_t seed : {7u, 1234567u}) {
        std::mt19937 rng(seed);
        GuardedBytes a(kPixels * 4), b(kPixels * 4);
        for (int i = 0; i < kPixels; ++i) {
            for (int c = 0; c < 3; ++c) {
                // Half the colours from the edge values, half at random.
                a.data()[i * 4 + c] = rng() % 2 ? kColours[rng() % 6] : static_cast<std::uint8_t>(rng());
                b.data()[i * 4 + c] = rng() % 2 ? kColours[rng() % 6] : static_cast<std::uint8_t>(rng());
            }
            a.data()[i * 4 + 3] = static_cast<std::uint8_t>(i >> 8);
            b.data()[i * 4 + 3] = static_cast<std::uint8_t>(i & 0xFF);
        }
        for (std::int32_t op = 0; op < 12; ++op) {
            FencedBytes want(kPixels * 4, 0, seed), got(kPixels * 4, 0, seed);
            ASSERT_EQ(genericComp(a.data(), kPixels * 4, b.data(), kPixels * 4, want.data(), kPixels * 4,
                                  {kPixels, 1}, op),
                      0);
            ASSERT_EQ(comp(a.data(), kPixels * 4, b.data(), kPixels * 4, got.data(), kPixels * 4, {kPixels, 1}, op), 0);
            ASSERT_TRUE(got.fencesIntact()) << "op " << op;
            const auto w = want.span(), g = got.span();
            for (std::size_t i = 0; i < w.size(); ++i)
                ASSERT_EQ(g[i], w[i]) << "op " << op << " seed " << seed << " pixel " << (i - FencedBytes::kFence) / 4
                                      << " byte " << (i - FencedBytes::kFence) % 4;
        }
    }
}

TEST_P(PrimitiveSlot, CompositesEveryWidthAndAlignmentAsTheGenericDoes) {
    const int widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100};
    const int gaps[][2] = {{0, 0}, {0, 4}, {1, 8}, {4, 12}, {8, 3}};
    std::uint32_t seed = 1;
    for (int width : widths)
        for (int offset = 0; offset < 16; ++offset)
            for (const auto& gap : gaps) expectSameComposite(width, 3, offset, gap[0], gap[1], seed++);
    // Single pixels and single rows.
    for (int offset = 0; offset < 16; ++offset) expectSameComposite(1, 1, offset, 0, 0, seed++);
    expectSameComposite(100, 1, 0, 0, 0, seed++);
}

TEST_P(PrimitiveSlot, CompositesInPlaceOverEitherSource) {
    for (int width : {1, 3, 4, 7, 16, 33, 100})
        for (int offset : {0, 1, 4, 8, 12})
            for (int target : {1, 2})
                for (std::int32_t op = 0; op < 12; ++op) {
                    const int step = width * 4 + 4;
                    FencedBytes a1(step * 3, offset, 11u + width), b1(step * 3, 16 - offset, 12u + width);
                    FencedBytes a2(step * 3, offset, 11u + width), b2(step * 3, 16 - offset, 12u + width);
                    std::uint8_t* d1 = target == 1 ? a1.data() : b1.data();
                    std::uint8_t* d2 = target == 1 ? a2.data() : b2.data();
                    ASSERT_EQ(genericComp(a1.data(), step, b1.data(), step, d1, step, {width, 3}, op), 0);
                    ASSERT_EQ(comp(a2.data(), step, b2.data(), step, d2, step, {width, 3}, op), 0);
                    ASSERT_EQ(a2.span(), a1.span()) << "width " << width << " op " << op << " into " << target;
                    ASSERT_EQ(b2.span(), b1.span()) << "width " << width << " op " << op << " into " << target;
                }
}

TEST_P(PrimitiveSlot, CompositesRowsThatOverlapAtAnotherOffsetAsTheGenericDoes) {
    // The generic goes pixel by pixel; a destination one or more pixels (or
    // a few bytes) past a source must not see a block's worth of stale reads.
    for (int shift : {1, 4, 8, 12, 20})
        for (std::int32_t op : {0, 3, 6, 11}) {
            FencedBytes s1(400 + shift, 0, 5), s2(400 + shift, 0, 5), top(400, 3, 6);
            ASSERT_EQ(genericComp(top.data(), 400, s1.data(), 400, s1.data() + shift, 400, {100, 1}, op), 0);
            ASSERT_EQ(comp(top.data(), 400, s2.data(), 400, s2.data() + shift, 400, {100, 1}, op), 0);
            ASSERT_EQ(s2.span(), s1.span()) << "shift " << shift << " op " << op;
        }
}

TEST_P(PrimitiveSlot, CompositesTheWorkedPixels) {
    const struct {
        std::int32_t op;
        std::uint8_t a[4], b[4], want[4];
    } cases[] = {
        // Premultiplied plus of two opaque whites saturates every byte.
        {zpAlphaPlusPremul, {255, 255, 255, 255}, {255, 255, 255, 255}, {255, 255, 255, 255}},
        // A clear top pixel leaves the lower one, multiplied by its alpha.
        {zpAlphaOver, {9, 99, 250, 0}, {200, 100, 255, 128}, {100, 50, 128, 128}},
        // An opaque top pixel replaces the lower one.
        {zpAlphaOver, {10, 20, 30, 255}, {200, 100, 255, 128}, {10, 20, 30, 255}},
        // x * 1 / 255 rounds down to 0, and atop keeps the lower alpha.
        {zpAlphaIn, {128, 255, 1, 1}, {0, 0, 0, 255}, {0, 1, 0, 1}},
        {zpAlphaATop, {255, 0, 128, 255}, {77, 77, 77, 200}, {200, 0, 100, 200}},
    };
    for (const auto& c : cases) {
        std::uint8_t out[4] = {};
        ASSERT_EQ(comp(c.a, 4, c.b, 4, out, 4, {1, 1}, c.op), 0);
        EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), std::vector<std::uint8_t>(c.want, c.want + 4))
            << "op " << c.op;
    }
}

TEST_P(PrimitiveSlot, CopiesEveryLengthAndAlignmentAsTheGenericDoes) {
    std::uint32_t seed = 1;
    for (int channels : {3, 4})
        for (int width = 1; width * channels <= 300; ++width) {
            const int row = width * channels;
            Source merged(row, row, 2), padded(row, row + 5, 3);
            for (int srcGap = 0; srcGap < 16; ++srcGap)
                for (int dstOffset = 0; dstOffset < 16; ++dstOffset) {
                    expectSameCopy(channels, width, 2, merged.endingBefore(srcGap), row, row, dstOffset, seed++);
                    if ((srcGap + dstOffset) % 4 == 0)
                        expectSameCopy(channels, width, 3, padded.endingBefore(srcGap), row + 5, row + 9, dstOffset,
                                       seed++);
                }
        }
}

TEST_P(PrimitiveSlot, CopiesLargeFramesEitherSideOfTheStreamingThreshold) {
    const struct {
        int channels, width, height, srcPad, dstPad;
    } cases[] = {
        {4, 256, 128, 0, 0},   {4, 256, 129, 0, 0},  {3, 256, 171, 0, 0},   {3, 256, 170, 0, 0},
        {4, 1920, 1080, 0, 0}, {3, 1920, 1080, 0, 0}, {4, 1920, 1080, 64, 4}, {3, 1920, 1080, 7, 1},
    };
    for (const auto& c : cases) {
        const int row = c.width * c.channels;
        Source src(row, row + c.srcPad, c.height);
        expectSameCopy(c.channels, c.width, c.height, src.endingBefore(0), row + c.srcPad, row + c.dstPad, 0, 42);
        expectSameCopy(c.channels, c.width, c.height, src.endingBefore(5), row + c.srcPad, row + c.dstPad, 3, 43);
    }
}

TEST_P(PrimitiveSlot, CopiesAtEverySourceDistanceModulo64KiB) {
    // The streamed path steps aside when the source sits 16 to 320 bytes
    // below the destination modulo 64 KiB; both sides of each edge.
    constexpr int kWidth = 256, kHeight = 129, kRow = kWidth * 4, kBytes = kRow * kHeight;
    std::vector<std::uint8_t> area(8 * 65536 + 64);
    fillNoise(area.data(), area.size(), 3);
    const std::uintptr_t base = (reinterpret_cast<std::uintptr_t>(area.data()) + 63) & ~std::uintptr_t{63};
    for (std::uint32_t distance : {0u, 65215u, 65216u, 65520u, 65521u})
        for (int dstOffset : {0, 4, 9}) {
            std::uint8_t* dst = reinterpret_cast<std::uint8_t*>(base) + dstOffset;
            const std::uint8_t* src = dst + 3 * 65536 + distance;  // far enough not to overlap
            ASSERT_EQ((reinterpret_cast<std::uintptr_t>(src) - reinterpret_cast<std::uintptr_t>(dst)) & 0xFFFF,
                      distance);
            std::vector<std::uint8_t> before(area);
            ASSERT_EQ(copy4(src, kRow, dst, kRow, {kWidth, kHeight}), 0);
            std::memcpy(before.data() + (dst - area.data()), src, kBytes);
            ASSERT_TRUE(before == area) << "distance " << distance << " offset " << dstOffset;
        }
}

TEST_P(PrimitiveSlot, CopiesOverlappingRegionsAsTheGenericDoes) {
    for (int shift : {-100, -5, -1, 1, 5, 64, 100, 250})
        for (int step : {100, 120}) {
            std::vector<std::uint8_t> want(2000), got;
            fillNoise(want.data(), want.size(), shift + 1000);
            got = want;
            ASSERT_EQ(genericCopy4(want.data() + 700, step, want.data() + 700 + shift, step, {25, 4}), 0);
            ASSERT_EQ(copy4(got.data() + 700, step, got.data() + 700 + shift, step, {25, 4}), 0);
            ASSERT_EQ(got, want) << "shift " << shift << " step " << step;
        }
}

TEST_P(PrimitiveSlot, RefusesBadArgumentsAsTheGenericDoesWritingNothing) {
    std::uint8_t src[64] = {1, 2, 3};
    const struct {
        bool nullSrc, nullDst;
        zpSize size;
        int srcStep, dstStep;
        zpStatus want;
    } copies[] = {
        {true, false, {1, 1}, 4, 4, -8},  {false, true, {1, 1}, 4, 4, -8},  {true, true, {0, 0}, 0, 0, -8},
        {false, false, {0, 1}, 4, 4, -6}, {false, false, {1, 0}, 4, 4, -6}, {false, false, {-1, 1}, 0, 4, -6},
        {false, false, {1, 1}, 0, 4, -14}, {false, false, {1, 1}, 4, -1, -14}, {false, false, {1, 1}, INT_MIN, 4, -14},
    };
    for (CopyFn* fn : {copy3, copy4})
        for (const auto& c : copies) {
            FencedBytes dst(16, 0, 1);
            EXPECT_EQ(fn(c.nullSrc ? nullptr : src, c.srcStep, c.nullDst ? nullptr : dst.data(), c.dstStep, c.size),
                      c.want);
            EXPECT_TRUE(dst.unchanged());
        }
    const struct {
        int nullAt;  // 1, 2, 3: that pointer is null
        zpSize size;
        int step1, step2, dstStep;
        std::int32_t op;
        zpStatus want;
    } comps[] = {
        {1, {1, 1}, 4, 4, 4, 0, -8},   {2, {0, 0}, 4, 4, 4, 99, -8},  {3, {1, 1}, 4, 4, 4, 0, -8},
        {0, {0, 1}, 4, 4, 4, 0, -6},   {0, {1, -5}, 0, 4, 4, 12, -6}, {0, {1, 1}, 4, 0, 4, 0, -14},
        {0, {1, 1}, 4, 4, -4, 12, -14}, {0, {1, 1}, 4, 4, 4, 12, -50}, {0, {1, 1}, 4, 4, 4, -1, -50},
        {0, {1, 1}, 4, 4, 4, INT_MIN, -50},
    };
    for (const auto& c : comps) {
        FencedBytes dst(16, 0, 2);
        EXPECT_EQ(comp(c.nullAt == 1 ? nullptr : src, c.step1, c.nullAt == 2 ? nullptr : src, c.step2,
                       c.nullAt == 3 ? nullptr : dst.data(), c.dstStep, c.size, c.op),
                  c.want);
        EXPECT_EQ(genericComp(c.nullAt == 1 ? nullptr : src, c.step1, c.nullAt == 2 ? nullptr : src, c.step2,
                              c.nullAt == 3 ? nullptr : dst.data(), c.dstStep, c.size, c.op),
                  c.want);
        EXPECT_TRUE(dst.unchanged());
    }
}

TEST_P(PrimitiveSlot, LeavesTheFloatingPointStateAsItFoundIt) {
    const std::uint32_t mxcsr = _mm_getcsr();
    const std::uint16_t control = zpGetX87Control();
    std::vector<std::uint8_t> a(4096, 200), b(4096, 100), d(4096);
    ASSERT_EQ(copy3(a.data(), 300, d.data(), 300, {100, 13}), 0);
    ASSERT_EQ(copy4(a.data(), 4096, d.data(), 4096, {1024, 1}), 0);
    for (std::int32_t op = 0; op < 12; ++op) ASSERT_EQ(comp(a.data(), 400, b.data(), 400, d.data(), 400, {99, 10}, op), 0);
    EXPECT_EQ(_mm_getcsr(), mxcsr);
    EXPECT_EQ(zpGetX87Control(), control);
    // x87 arithmetic after the kernels: a stale MMX state would turn it to NaN.
    volatile long double one = 1.0L;
    const long double third = one / 3.0L;
    EXPECT_EQ(static_cast<double>(third * 3.0L), 1.0);
    EXPECT_TRUE(std::isfinite(static_cast<double>(std::sqrt(third))));
}

INSTANTIATE_TEST_SUITE_P(Slots, PrimitiveSlot, ::testing::Values(2, 3, 4),
                         [](const ::testing::TestParamInfo<int>& info) { return "Slot" + std::to_string(info.param); });

TEST(PrimitiveSlots, EntryFourRunsTheSse2CodeOfEntryThree) {
    for (const char* name : {"zpiCopy_8u_C3R", "zpiCopy_8u_C4R", "zpiAlphaComp_8u_AC4R"})
        EXPECT_EQ(primitiveEntry<CopyFn>(name, 4), primitiveEntry<CopyFn>(name, 3)) << name;
}

// A mapping that reads as zeros until written, in huge pages where the
// system has them, so gibibytes cost few page faults.
class LargeMapping {
public:
    explicit LargeMapping(std::size_t bytes) : bytes_(bytes) {
        void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        madvise(p, bytes, MADV_HUGEPAGE);
        data_ = static_cast<std::uint8_t*>(p);
    }
    LargeMapping(const LargeMapping&) = delete;
    LargeMapping& operator=(const LargeMapping&) = delete;
    ~LargeMapping() { munmap(data_, bytes_); }
    std::uint8_t* data() { return data_; }

private:
    std::size_t bytes_;
    std::uint8_t* data_;
};

TEST(PrimitiveSlots, CopiesAFrameAboveTwoGibibytesWhole) {
    // 16384 x 32769 four-byte pixels, contiguous on both sides: 2 GiB and one
    // row, more bytes than a signed 32-bit length can say. The source reads
    // as zeros but for its marked first and last rows.
    constexpr int kWidth = 16384, kHeight = 32769, kRow = kWidth * 4;
    constexpr std::size_t kBytes = std::size_t{kRow} * kHeight;
    LargeMapping src(kBytes), dst(kBytes);
    std::uint8_t* last = src.data() + kBytes - kRow;
    for (int slot : {2, 3}) {
        if (!slotUnsupportedReason(slot).empty()) continue;
        fillNoise(src.data(), kRow, slot);
        fillNoise(last, kRow, slot + 10);
        CopyFn* copy = primitiveEntry<CopyFn>("zpiCopy_8u_C4R", slot);
        ASSERT_EQ(copy(src.data(), kRow, dst.data(), kRow, {kWidth, kHeight}), 0);
        EXPECT_EQ(std::memcmp(dst.data(), src.data(), kRow), 0) << "slot " << slot;
        EXPECT_EQ(std::memcmp(dst.data() + kBytes - kRow, last, kRow), 0) << "slot " << slot;
    }
}

}  // namespace
