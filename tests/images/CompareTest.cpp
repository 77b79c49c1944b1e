#include <gtest/gtest.h>

#include "ZImage.h"
#include "ZImageTestSupport.h"
#include "ZTestSupport.h"

namespace {

const ZImageFormat k16 = {ZIT_RGB24, 16, 16};

bool compareWith(const std::vector<std::pair<int, int>>& changes, int factor, ZRect& diff) {
    const std::string a = patterned(ZIT_RGB24, 16, 16);
    std::string b = a;
    for (auto [x, y] : changes) b[(y * 16 + x) * 3 + 1] ^= 0x40;
    return ZImageCompare(k16, U(a), ZRect{0, 0, 16, 16}, k16, U(b), ZRect{0, 0, 16, 16}, diff, factor);
}

}  // namespace

TEST(ZImageCompare, FindsTheBoundingRectangleOfTheSampledDifferences) {
    const struct {
        std::vector<std::pair<int, int>> changes;
        int factor;
        bool found;
        ZRect diff;
    } cases[] = {
        {{}, 1, false, ZRECT_NOTHING},
        {{{5, 7}}, 1, true, {5, 7, 6, 8}},
        {{{5, 7}}, 4, false, ZRECT_NOTHING},  // off the sampling grid
        {{{4, 8}, {8, 12}}, 4, true, {4, 8, 12, 16}},
        {{{0, 0}, {15, 15}}, 1, true, {0, 0, 16, 16}},
        {{{3, 9}, {12, 2}}, 1, true, {3, 2, 13, 10}},
    };
    for (const auto& c : cases) {
        ZRect diff = {1, 2, 3, 4};
        EXPECT_EQ(compareWith(c.changes, c.factor, diff), c.found);
        EXPECT_EQ(diff, c.diff);
    }
}

TEST(ZImageCompare, ComparesRegionsAtDifferentPlacesOfTwoImages) {
    const std::string big = patterned(ZIT_RGB24, 16, 16);
    std::string small(4 * 4 * 3, '\0');
    ZImageCrop(k16, U(big), ZRect{8, 8, 12, 12}, small);
    small[(2 * 4 + 1) * 3] ^= 1;
    ZRect diff;
    ASSERT_TRUE(ZImageCompare(k16, U(big), ZRect{8, 8, 12, 12}, ZImageFormat{ZIT_RGB24, 4, 4}, U(small),
                              ZRect{0, 0, 4, 4}, diff, 1));
    EXPECT_EQ(diff, (ZRect{1, 2, 2, 3}));
}

TEST(ZImageCompare, RefusesAFactorThatIsNotAPowerOfTwoAndRegionsOutsideTheImages) {
    ZLogCapture log;
    ZRect diff;
    EXPECT_ZABORT(compareWith({}, 3, diff));
    EXPECT_EQ(log.count(L"ERROR: Assertion failed, aborting. ((1 << shift) == downsampleFactor)"), 1);
    const std::string a = patterned(ZIT_RGB24, 16, 16);
    EXPECT_ZABORT(ZImageCompare(k16, U(a), ZRect{8, 0, 24, 16}, k16, U(a), ZRect{0, 0, 16, 16}, diff, 1));
    EXPECT_ZABORT(ZImageCompare(k16, U(a), ZRect{0, 8, 16, 24}, k16, U(a), ZRect{0, 0, 16, 16}, diff, 1));
}

TEST(ZFragExplodeList, CutsLargeFragmentsIntoTilesInPlace) {
    std::list<ZFrag> list = {{1, {0, 0, 100, 100}}, {7, {0, 0, 250, 120}}, {2, {5, 5, 6, 6}}};
    ZFragExplodeList(list, 100, 100);
    const std::list<ZFrag> expected = {
        {1, {0, 0, 100, 100}},   {7, {0, 0, 100, 100}},    {7, {100, 0, 200, 100}}, {7, {200, 0, 250, 100}},
        {7, {0, 100, 100, 120}}, {7, {100, 100, 200, 120}}, {7, {200, 100, 250, 120}}, {2, {5, 5, 6, 6}},
    };
    EXPECT_EQ(list, expected);

    ZLogCapture log;
    EXPECT_ZABORT(ZFragExplodeList(list, 0, 100));
    EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. (largestWidth > 0 && largestHeight > 0)"), 1);
}

TEST(ZFragSubtract, CutsTheRectangleOutOfEveryFragment) {
    std::list<ZFrag> list = {{1, {0, 0, 200, 200}}, {2, {300, 300, 310, 310}}, {3, {60, 60, 70, 70}}};
    ZFragSubtract(list, ZFrag{0, {50, 50, 100, 100}});
    const std::list<ZFrag> expected = {
        {1, {0, 0, 200, 50}}, {1, {0, 100, 200, 200}}, {1, {0, 50, 50, 100}}, {1, {100, 50, 200, 100}},
        {2, {300, 300, 310, 310}},
    };
    EXPECT_EQ(list, expected);
}

TEST(ZImageDraw, LinesAndRectanglesAreClippedToTheImage) {
    const unsigned char red[4] = {255, 0, 0, 255};
    const ZImageFormat f = {ZIT_BGR24, 10, 3};
    std::string img(10 * 3 * 3, '\0');
    ZImageDrawHorizLine(f, U(img), -5, 1, 3, red);
    for (int x = 0; x < 10; ++x) EXPECT_EQ(pixelAt(img, 10, 3, x, 1), x <= 3 ? (Bytes{0, 0, 255}) : (Bytes{0, 0, 0}));

    std::string one(10 * 3 * 3, '\0');
    ZImageDrawRect(f, U(one), ZRect{4, 1, 5, 2}, red);
    int coloured = 0;
    for (char c : one) coloured += c != 0;
    EXPECT_EQ(coloured, 1);
    EXPECT_EQ(pixelAt(one, 10, 3, 4, 1), (Bytes{0, 0, 255}));

    std::string rgba(4 * 4 * 4, '\0');
    ZImageFillRect(ZImageFormat{ZIT_RGBA32, 4, 4}, U(rgba), ZRect{-2, 2, 9, 9}, red);
    ZImageInvertRect(ZImageFormat{ZIT_RGBA32, 4, 4}, U(rgba), ZRect{0, 3, 4, 4});
    EXPECT_EQ(pixelAt(rgba, 4, 4, 0, 1), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(pixelAt(rgba, 4, 4, 3, 2), (Bytes{255, 0, 0, 255}));
    EXPECT_EQ(pixelAt(rgba, 4, 4, 3, 3), (Bytes{0, 255, 255, 255}));
}

TEST(ZImageDraw, OutlineAndUnsupportedTypes) {
    const unsigned char c[4] = {1, 2, 3, 4};
    std::string img(4 * 4 * 3, '\0');
    ZImageDrawRect(ZImageFormat{ZIT_RGB24, 4, 4}, U(img), ZRect{0, 0, 4, 4}, c);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(pixelAt(img, 4, 3, x, y), (x == 0 || y == 0 || x == 3 || y == 3) ? (Bytes{1, 2, 3}) : (Bytes{0, 0, 0}));
    ZLogCapture log;
    ZImageDrawVertLine(ZImageFormat{ZIT_GRAY8, 4, 4}, U(img), 0, 0, 3, c);
    ZImageInvertHorizLine(ZImageFormat{ZIT_BGR24, 4, 4}, U(img), 0, 0, 3);
    EXPECT_EQ(log.count(L"WARNING Attempting drawVertLine on unsupported type #23, ignoring."), 1);
    EXPECT_EQ(log.count(L"WARNING Attempting invertHorizLine on unsupported type #19, ignoring."), 1);
}
