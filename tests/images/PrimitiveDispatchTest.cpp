#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ZImagePrimitives.h"

namespace {

const char* const kCatalogue[] = {
    "zpiCopy_8u_C3R",         "zpiAlphaComp_8u_AC4R",   "zpiCopy_8u_C4R",          "zpiResize_8u_C1R",
    "zpiResize_8u_C3R",       "zpiResize_8u_C4R",       "zpiAlphaPremul_8u_AC4IR", "zpiRGBToGray_8u_C3C1R",
    "zpiYUV420ToRGB_8u_P3C3", "zpiRGBToYUV420_8u_C3P3", "zpiMirror_8u_C4IR",       "zpiMirror_8u_C3IR",
    "zpiRGBToGray_8u_AC4C1R", "zpiYUV422ToRGB_8u_C2C3R",
};

// Restores the index a test changed.
struct VariantIndexGuard {
    std::int32_t saved = zpVariantIndex;
    ~VariantIndexGuard() { zpVariantIndex = saved; }
};

}  // namespace

TEST(zpDispatch, RegistrationListHoldsTheFourteenPrimitivesNewestFirst) {
    std::vector<std::string> names;
    for (const zpRegistration* r = zpRegistrationList; r; r = r->next) {
        EXPECT_STREQ(r->tag, "s");
        ASSERT_NE(r->table, nullptr);
        names.push_back(r->name);
    }
    ASSERT_EQ(names.size(), 14u);
    for (int i = 0; i < 14; ++i) EXPECT_EQ(names[13 - i], kCatalogue[i]);
}

TEST(zpDispatch, EveryTableHasAnEmptyEntryZeroAndAVariantInEntriesOneToFour) {
    for (const zpRegistration* r = zpRegistrationList; r; r = r->next) {
        const auto* table = static_cast<const zpVariantTable<decltype(zpiCopy_8u_C3R)>*>(r->table);
        EXPECT_EQ(table->entry[0], nullptr) << r->name;
        for (int i = 1; i <= 4; ++i) EXPECT_NE(table->entry[i], nullptr) << r->name << " entry " << i;
    }
}

TEST(zpDispatch, StaticIndexSelectsTheGenericVariant) { EXPECT_EQ(zpVariantIndex, 1); }

TEST(zpDispatch, SelectVariantMapsProcessorClassesAndRefusesCodesOutOfRange) {
    VariantIndexGuard guard;
    const struct {
        std::int32_t code;
        zpStatus status;
        std::int32_t index;  // expected index afterwards, starting from 3
    } cases[] = {
        {0, 0, 1}, {4, 0, 1}, {5, 0, 2}, {6, 0, 3}, {7, 0, 3}, {8, 0, 4}, {9, 0, 3},
        // -1 would pick the empty entry 0: refused like any other stray code.
        {-1, 21, 3}, {10, 21, 3}, {-7, 21, 3},
    };
    for (const auto& c : cases) {
        zpVariantIndex = 3;
        EXPECT_EQ(zpSelectVariant(c.code), c.status) << c.code;
        EXPECT_EQ(zpVariantIndex, c.index) << c.code;
    }
}

TEST(zpDispatch, EveryVariantEntryGivesTheSameResult) {
    VariantIndexGuard guard;
    const std::uint8_t src[6] = {1, 2, 3, 4, 5, 6};
    for (std::int32_t index = 1; index <= 4; ++index) {
        zpVariantIndex = index;
        std::uint8_t dst[6] = {};
        EXPECT_EQ(zpiCopy_8u_C3R(src, 6, dst, 6, {2, 1}), zpStsNoErr);
        EXPECT_EQ(std::vector<std::uint8_t>(dst, dst + 6), std::vector<std::uint8_t>(src, src + 6));
    }
}

TEST(zpAlignedMalloc, BlocksAreAlignedTo32BytesAndRefuseEmptyRequests) {
    EXPECT_EQ(zpAlignedMalloc32(0), nullptr);
    EXPECT_EQ(zpAlignedMalloc16(-3), nullptr);
    zpAlignedFree(nullptr);
    for (int n : {1, 7, 1000}) {
        void* a = zpAlignedMalloc32(n);
        void* b = zpAlignedMalloc16(n);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % 32, 0u);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b) % 32, 0u);
        std::fill_n(static_cast<std::int32_t*>(a), n, -1);  // the whole span is writable
        std::fill_n(static_cast<std::uint16_t*>(b), n, 0xFFFF);
        zpAlignedFree(a);
        zpAlignedFree(b);
    }
}
