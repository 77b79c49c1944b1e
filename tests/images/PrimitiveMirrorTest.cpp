#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "ZImagePrimitives.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

// Appends one pixel byte by byte (GCC 12 misreads insert of a brace list at -O2).
void put(Bytes& b, std::initializer_list<int> bytes) {
    for (int v : bytes) b.push_back(static_cast<std::uint8_t>(v));
}

// A w x h image of 3-byte pixels (id, id, id + 100) with ids 1, 2, 3, ...
Bytes numbered(int w, int h) {
    Bytes b;
    for (int i = 1; i <= w * h; ++i) put(b, {i, i, i + 100});
    return b;
}

}  // namespace

TEST(zpiMirror, EachAxisMovesWholePixelsToTheirMirroredPlaces) {
    const struct {
        int w, h, axis;
        std::vector<int> order;  // pixel ids afterwards, row by row
    } cases[] = {
        {3, 3, 0, {7, 8, 9, 4, 5, 6, 1, 2, 3}},
        {3, 3, 1, {3, 2, 1, 6, 5, 4, 9, 8, 7}},
        {3, 3, 2, {9, 8, 7, 6, 5, 4, 3, 2, 1}},
        {2, 2, 2, {4, 3, 2, 1}},
        {2, 4, 0, {7, 8, 5, 6, 3, 4, 1, 2}},
        {3, 1, 0, {1, 2, 3}},
        {1, 3, 1, {1, 2, 3}},
        {1, 1, 2, {1}},
    };
    for (const auto& c : cases) {
        Bytes img = numbered(c.w, c.h);
        ASSERT_EQ(zpiMirror_8u_C3IR(img.data(), c.w * 3, {c.w, c.h}, c.axis), zpStsNoErr);
        Bytes expected;
        for (int id : c.order) put(expected, {id, id, id + 100});
        EXPECT_EQ(img, expected) << c.w << "x" << c.h << " axis " << c.axis;

        // The 4-byte form moves the same pixels (alpha byte carries the id).
        Bytes four;
        for (int i = 1; i <= c.w * c.h; ++i) put(four, {0, 0, 0, i});
        ASSERT_EQ(zpiMirror_8u_C4IR(four.data(), c.w * 4, {c.w, c.h}, c.axis), zpStsNoErr);
        for (std::size_t i = 0; i < c.order.size(); ++i) EXPECT_EQ(four[i * 4 + 3], c.order[i]);
    }
}

TEST(zpiMirror, ChecksStepBeforeSizeAndRejectsUnknownAxes) {
    Bytes img = numbered(2, 2);
    const Bytes before = img;
    EXPECT_EQ(zpiMirror_8u_C3IR(img.data(), 6, {2, 2}, 3), zpStsMirrorFlipErr);
    EXPECT_EQ(zpiMirror_8u_C3IR(nullptr, 6, {2, 2}, 3), zpStsNullPtrErr);
    EXPECT_EQ(zpiMirror_8u_C4IR(img.data(), 0, {0, 2}, 0), zpStsStepErr);
    EXPECT_EQ(zpiMirror_8u_C4IR(img.data(), 8, {0, 2}, 0), zpStsSizeErr);
    EXPECT_EQ(img, before);
}

TEST(zpiAlphaPremul, MultipliesColourByAlphaAndKeepsAlpha) {
    Bytes px = {200, 100, 7, 255, 200, 100, 7, 0, 128, 128, 128, 128, 255, 255, 255, 1};
    ASSERT_EQ(zpiAlphaPremul_8u_AC4IR(px.data(), 16, {4, 1}), zpStsNoErr);
    EXPECT_EQ(px, (Bytes{200, 100, 7, 255, 0, 0, 0, 0, 64, 64, 64, 128, 1, 1, 1, 1}));
    EXPECT_EQ(zpiAlphaPremul_8u_AC4IR(px.data(), 0, {0, 1}), zpStsSizeErr);
    EXPECT_EQ(zpiAlphaPremul_8u_AC4IR(px.data(), 0, {1, 1}), zpStsStepErr);
}
