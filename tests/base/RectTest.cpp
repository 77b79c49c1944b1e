#include <gtest/gtest.h>

#include "ZPortable_Rect.h"
#include "ZTestSupport.h"

TEST(ZRect, IntersectsOnlyWithPositiveOverlap) {
    EXPECT_FALSE(ZRectIntersects({0, 0, 10, 10}, {10, 0, 20, 10}));
    EXPECT_TRUE(ZRectIntersects({0, 0, 10, 10}, {9, 9, 20, 20}));
}

TEST(ZRect, ClipsEachEdgeIntoTheBounds) {
    ZRect r{-5, -5, 2000, 2000};
    ZRectClip(r, {0, 0, 1024, 768});
    EXPECT_EQ(r, (ZRect{0, 0, 1024, 768}));
    ZRect right{2000, 10, 3000, 20};
    ZRectClip(right, {0, 0, 1024, 768});
    EXPECT_EQ(right.left, 1024);
    EXPECT_EQ(right.right, 1024);
    EXPECT_TRUE(ZRectWithin({0, 0, 640, 480}, 640, 480));
    EXPECT_FALSE(ZRectWithin({0, 0, 641, 480}, 640, 480));
}

TEST(ZRect, TextFormRoundTripsAndKeepsFieldsMatchedBeforeAFailure) {
    ZRect r{-3, 0, 640, 480};
    EXPECT_EQ(r.serialize(), "(-3,0,640,480)");
    ZRect back;
    EXPECT_TRUE(back.deserialize(r.serialize() + "tail"));
    EXPECT_EQ(back, r);
    struct Case {
        const char* text;
        bool ok;
        ZRect rect;
    } cases[] = {
        {"(1,2,3,4)", true, {1, 2, 3, 4}},
        {"(+1,2,3,4)", true, {1, 2, 3, 4}},
        {"(1,2,3)", false, {1, 2, 3, 0}},
        {" (1,2,3,4)", false, {0, 0, 0, 0}},
        {"(1, 2,3,4)", false, {1, 0, 0, 0}},
        {"(99999999999,2,3,4)", false, {0, 0, 0, 0}},
        {"", false, {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        ZRect got{9, 9, 9, 9};
        EXPECT_EQ(got.deserialize(c.text), c.ok) << c.text;
        EXPECT_EQ(got, c.rect) << c.text;
    }
}

TEST(ZImageFormat, TwelveByteFormRoundTrips) {
    const ZImageFormat f{15, 320, 240};
    const std::string expected("\x0F\x00\x00\x00\x40\x01\x00\x00\xF0\x00\x00\x00", 12);
    EXPECT_EQ(f.serialize(), expected);
    ZImageFormat back;
    EXPECT_TRUE(back.deserialize(expected + "extra"));
    EXPECT_EQ(back, f);
    ZImageFormat untouched{1, 2, 3};
    EXPECT_FALSE(untouched.deserialize(expected.substr(0, 11)));
    EXPECT_EQ(untouched, (ZImageFormat{1, 2, 3}));
    EXPECT_EQ((ZImageFormat{20, 1024, 768}).toString(), L"[20,1024x768]");
}

TEST(ZImageFormat, BufferSizeIsZeroForAnythingOutsideTheTable) {
    struct Case {
        ZImageFormat f;
        int size;
    } cases[] = {
        {{16, 320, 240}, 307200}, {{15, 0, 240}, 0},    {{19, 2, 2}, 12},      {{23, 3, 3}, 9},
        {{25, 10, 10}, 0},        {{-1, 10, 10}, 0},    {{16, -4, 10}, 0},     {{16, 40000, 40000}, 0},
        {{16, -40000, -40000}, 0}, {{13, 100, 100}, 0},   {{24, 3, 2}, 4},       {{22, 4, 2}, 12},
        {{22, 3, 3}, 17},         {{16, 1650614882, 1650614882}, 0}, {{22, INT32_MAX, INT32_MAX}, 0},
        {{24, INT32_MAX, INT32_MAX}, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(c.f.getBufferSize(), c.size) << c.f.type << " " << c.f.width << "x" << c.f.height;
}

TEST(ZFragSubtract, CutsAHoleIntoFourPiecesInOrder) {
    std::list<ZFrag> list{{1, {0, 0, 200, 200}}};
    ZFragSubtract(list, {0, {50, 50, 100, 100}});
    const std::list<ZFrag> expected{
        {1, {0, 0, 200, 50}}, {1, {0, 100, 200, 200}}, {1, {0, 50, 50, 100}}, {1, {100, 50, 200, 100}}};
    EXPECT_EQ(list, expected);
}

TEST(ZFragSubtract, DropsCoveredFragmentsAndKeepsDisjointOnes) {
    std::list<ZFrag> list{{1, {0, 0, 10, 10}}, {2, {20, 20, 30, 30}}, {3, {5, 0, 15, 10}}};
    ZFragSubtract(list, {9, {0, 0, 12, 10}});
    const std::list<ZFrag> expected{{2, {20, 20, 30, 30}}, {3, {12, 0, 15, 10}}};
    EXPECT_EQ(list, expected);
}

TEST(ZFragInsert, NewestCoversOlderAndAContainedRepeatChangesNothing) {
    std::list<ZFrag> list{{1, {0, 0, 10, 10}}};
    ZFragInsert(list, {1, {0, 0, 10, 10}});
    EXPECT_EQ(list.size(), 1u);
    ZFragInsert(list, {1, {0, 0, 20, 20}});
    EXPECT_EQ(list, (std::list<ZFrag>{{1, {0, 0, 20, 20}}}));
    ZFragInsert(list, {2, {10, 0, 30, 20}});
    EXPECT_EQ(list, (std::list<ZFrag>{{1, {0, 0, 10, 20}}, {2, {10, 0, 30, 20}}}));
}

TEST(ZFragMerge, AddsOnlyWhatIsNotYetCovered) {
    std::list<ZFrag> list{{1, {0, 0, 100, 100}}};
    ZFragMerge(list, {2, {10, 10, 20, 20}});
    EXPECT_EQ(list.size(), 1u);
    ZFragMerge(list, {2, {50, 0, 150, 100}});
    EXPECT_EQ(list, (std::list<ZFrag>{{1, {0, 0, 100, 100}}, {2, {100, 0, 150, 100}}}));
}
