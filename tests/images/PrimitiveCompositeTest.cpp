#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "ZImagePrimitives.h"

namespace {

int floorMul(int x, int y) { return (x * y) / 255; }
int sat(int v) { return v > 255 ? 255 : v; }

// The straight formula of one operation for one pixel, written out per code
// from floor(x * y / 255).
std::vector<int> reference(int op, const std::uint8_t* a, const std::uint8_t* b) {
    const int aa = a[3], ab = b[3];
    std::vector<int> out(4);
    for (int c = 0; c < 3; ++c) {
        const int ac = a[c], bc = b[c];
        const int pa = floorMul(ac, aa), pb = floorMul(bc, ab);
        int v = 0;
        switch (op) {
        case 0: v = pa + floorMul(pb, 255 - aa); break;
        case 1: v = floorMul(pa, ab); break;
        case 2: v = floorMul(pa, 255 - ab); break;
        case 3: v = floorMul(pa, ab) + floorMul(pb, 255 - aa); break;
        case 4: v = floorMul(pa, 255 - ab) + floorMul(pb, 255 - aa); break;
        case 5: v = sat(pa + pb); break;
        case 6: v = sat(ac + floorMul(bc, 255 - aa)); break;
        case 7: v = floorMul(ac, ab); break;
        case 8: v = floorMul(ac, 255 - ab); break;
        case 9: v = sat(floorMul(ac, ab) + floorMul(bc, 255 - aa)); break;
        case 10: v = sat(floorMul(ac, 255 - ab) + floorMul(bc, 255 - aa)); break;
        case 11: v = sat(ac + bc); break;
        }
        out[c] = v;
    }
    switch (op % 6) {
    case 0: out[3] = aa + floorMul(ab, 255 - aa); break;
    case 1: out[3] = floorMul(aa, ab); break;
    case 2: out[3] = floorMul(aa, 255 - ab); break;
    case 3: out[3] = ab; break;
    case 4: out[3] = floorMul(aa, 255 - ab) + floorMul(ab, 255 - aa); break;
    case 5: out[3] = sat(aa + ab); break;
    }
    return out;
}

std::vector<std::uint8_t> randomPixels(int count, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> v(count * 4);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng() & 0xFF);
    // Fix a few alphas at the extremes, where the products matter most.
    v[3] = 0;
    v[7] = 255;
    return v;
}

}  // namespace

TEST(zpiAlphaComp, AllTwelveOperationsMatchTheStraightFormulaOnARandomTable) {
    const int w = 13, h = 7;
    const auto a = randomPixels(w * h, 1);
    const auto b = randomPixels(w * h, 2);
    for (int op = 0; op < 12; ++op) {
        std::vector<std::uint8_t> d(w * h * 4, 0xEE);
        ASSERT_EQ(zpiAlphaComp_8u_AC4R(a.data(), w * 4, b.data(), w * 4, d.data(), w * 4, {w, h}, op), zpStsNoErr);
        for (int i = 0; i < w * h; ++i) {
            const auto expected = reference(op, &a[i * 4], &b[i * 4]);
            for (int c = 0; c < 4; ++c) ASSERT_EQ(d[i * 4 + c], expected[c]) << "op " << op << " pixel " << i << " byte " << c;
        }
        // In place, source 2 doubling as the destination, gives the same bytes.
        std::vector<std::uint8_t> inPlace = b;
        ASSERT_EQ(zpiAlphaComp_8u_AC4R(a.data(), w * 4, inPlace.data(), w * 4, inPlace.data(), w * 4, {w, h}, op),
                  zpStsNoErr);
        EXPECT_EQ(inPlace, d) << "op " << op;
    }
}

TEST(zpiAlphaComp, ProductEqualsFloorOfXYOver255ForEveryBytePair) {
    // Premultiplied "in" with an opaque colour reduces to one product per byte.
    for (int x = 0; x < 256; ++x) {
        std::vector<std::uint8_t> a(256 * 4), b(256 * 4), d(256 * 4);
        for (int y = 0; y < 256; ++y) {
            a[y * 4 + 0] = static_cast<std::uint8_t>(x);
            a[y * 4 + 3] = 255;
            b[y * 4 + 3] = static_cast<std::uint8_t>(y);
        }
        ASSERT_EQ(zpiAlphaComp_8u_AC4R(a.data(), 1024, b.data(), 1024, d.data(), 1024, {256, 1}, zpAlphaInPremul), 0);
        for (int y = 0; y < 256; ++y) ASSERT_EQ(d[y * 4], x * y / 255) << x << "*" << y;
    }
}

TEST(zpiAlphaComp, OverWithOpaqueOrTransparentTopPixel) {
    const std::uint8_t opaque[4] = {10, 20, 30, 255};
    const std::uint8_t clear[4] = {10, 20, 30, 0};
    const std::uint8_t below[4] = {200, 100, 50, 128};
    std::uint8_t d[4];
    zpiAlphaComp_8u_AC4R(opaque, 4, below, 4, d, 4, {1, 1}, zpAlphaOver);
    EXPECT_EQ(std::vector<int>(d, d + 4), (std::vector<int>{10, 20, 30, 255}));
    zpiAlphaComp_8u_AC4R(clear, 4, below, 4, d, 4, {1, 1}, zpAlphaOver);
    EXPECT_EQ(std::vector<int>(d, d + 4), (std::vector<int>{100, 50, 25, 128}));
}

TEST(zpiAlphaComp, ChecksArgumentsInOrderAndWritesNothingOnError) {
    std::uint8_t p[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    std::uint8_t d[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    const struct {
        const std::uint8_t* s2;
        int width, step, op;
        zpStatus status;
    } cases[] = {
        {nullptr, 0, 0, 99, zpStsNullPtrErr}, {p, 0, 4, 0, zpStsSizeErr}, {p, 1, 0, 12, zpStsStepErr},
        {p, 1, 4, 12, zpStsAlphaTypeErr},    {p, 1, 4, -1, zpStsAlphaTypeErr},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zpiAlphaComp_8u_AC4R(p, 8, c.s2, 8, d, c.step, {c.width, 1}, c.op), c.status);
        EXPECT_EQ(d[0], 9);
    }
}

TEST(zpiCopy, CopiesRowsWithIndependentStepsAndChecksInOrder) {
    // 2 x 2 pixels out of a 3-pixel-wide source into a 4-pixel-wide target.
    std::vector<std::uint8_t> src(3 * 3 * 2);
    for (std::size_t i = 0; i < src.size(); ++i) src[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> dst(4 * 3 * 2, 0);
    ASSERT_EQ(zpiCopy_8u_C3R(src.data(), 9, dst.data(), 12, {2, 2}), zpStsNoErr);
    const std::vector<std::uint8_t> expected = {0, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0,
                                                9, 10, 11, 12, 13, 14, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(dst, expected);

    std::uint8_t four[8] = {};
    EXPECT_EQ(zpiCopy_8u_C4R(nullptr, 0, four, 8, {0, 0}), zpStsNullPtrErr);
    EXPECT_EQ(zpiCopy_8u_C4R(src.data(), 0, four, 8, {0, 1}), zpStsSizeErr);
    EXPECT_EQ(zpiCopy_8u_C4R(src.data(), 0, four, 8, {1, 1}), zpStsStepErr);
    EXPECT_EQ(zpiCopy_8u_C4R(src.data(), 8, four, 8, {2, 1}), zpStsNoErr);
    EXPECT_EQ(four[7], 7);
}

// Rows that are opaque but for scattered translucent pixels, of widths
// around the lengths the rows are worked in, composited into a separate
// row, into source 2 itself, and into source 2 shifted by one pixel either
// way: every byte is what the formula gives taking one pixel after another,
// each read before it is written.
TEST(zpiAlphaComp, OpaqueRunsAndOverlappingRowsMatchTheFormulaPixelByPixel) {
    std::mt19937 rng(7);
    const int widths[] = {1, 31, 32, 33, 64, 65, 97, 200};
    const int ops[] = {zpAlphaOver, zpAlphaOverPremul, zpAlphaATop, zpAlphaPlusPremul};
    // Where source 2 and the destination start in a shared buffer, in pixels.
    const struct {
        const char* label;
        int bottom, dest;
        bool shared;
    } layouts[] = {{"separate", 1, 1, false}, {"in place", 1, 1, true}, {"one before", 1, 0, true}, {"one after", 1, 2, true}};
    for (const int width : widths) {
        std::vector<std::uint8_t> a(static_cast<std::size_t>(width) * 4);
        for (std::size_t i = 0; i < a.size(); ++i) a[i] = static_cast<std::uint8_t>(rng());
        for (int x = 0; x < width; ++x)
            if (x > 2 && rng() % 20 != 0) a[static_cast<std::size_t>(x) * 4 + 3] = 255;
        for (const int op : ops) {
            for (const auto& layout : layouts) {
                std::vector<std::uint8_t> shared(static_cast<std::size_t>(width + 2) * 4);
                for (auto& byte : shared) byte = static_cast<std::uint8_t>(rng());
                std::vector<std::uint8_t> separate(shared.size(), 0xEE);
                std::vector<std::uint8_t>& destBuffer = layout.shared ? shared : separate;

                std::vector<std::uint8_t> wantShared = shared, wantSeparate = separate;
                std::vector<std::uint8_t>& wantDest = layout.shared ? wantShared : wantSeparate;
                for (int x = 0; x < width; ++x) {
                    const auto pixel = reference(op, &a[static_cast<std::size_t>(x) * 4],
                                                 &wantShared[static_cast<std::size_t>(layout.bottom + x) * 4]);
                    for (int c = 0; c < 4; ++c)
                        wantDest[static_cast<std::size_t>(layout.dest + x) * 4 + c] = static_cast<std::uint8_t>(pixel[c]);
                }

                ASSERT_EQ(zpiAlphaComp_8u_AC4R(a.data(), width * 4, shared.data() + layout.bottom * 4, width * 4,
                                               destBuffer.data() + layout.dest * 4, width * 4, {width, 1}, op),
                          zpStsNoErr);
                EXPECT_EQ(shared, wantShared) << "width " << width << " op " << op << " " << layout.label;
                EXPECT_EQ(separate, wantSeparate) << "width " << width << " op " << op << " " << layout.label;
            }
        }
    }
}
