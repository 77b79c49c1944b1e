// Processor classification and the SSE and x87 state operations of the
// primitives' processor layer.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <string>

#include "ZImagePrimitivesCpu.h"

namespace {

// A processor described by what its CPUID answers. Leaves above the
// highest one answer with the highest leaf's data, as capped processors do.
struct FakeProcessor {
    bool hasCpuid = true;
    const char* vendor = "GenuineIntel";
    std::uint32_t maxLeaf = 2;
    std::uint32_t leaf1[4] = {};
    std::uint32_t leaf2[4] = {0x665B5001, 0, 0, 0x007A7000};
} fake;

void fakeCpuid(std::uint32_t leaf, std::uint32_t regs[4]) {
    if (leaf > fake.maxLeaf) leaf = fake.maxLeaf;
    if (leaf == 0) {
        regs[0] = fake.maxLeaf;
        std::memcpy(&regs[1], fake.vendor, 4);
        std::memcpy(&regs[3], fake.vendor + 4, 4);
        std::memcpy(&regs[2], fake.vendor + 8, 4);
    } else {
        std::memcpy(regs, leaf == 1 ? fake.leaf1 : fake.leaf2, 4 * sizeof(std::uint32_t));
    }
}

const zpCpuidSource kFakeSource = {[] { return fake.hasCpuid ? 1 : 0; }, fakeCpuid};

// Replaces the processor for one test and restores it and the index.
class FakeCpu : public ::testing::Test {
protected:
    void SetUp() override {
        fake = FakeProcessor{};
        previous_ = zpSetCpuidSource(&kFakeSource);
    }
    void TearDown() override {
        zpSetCpuidSource(previous_);
        zpVariantIndex = savedIndex_;
    }
    // Leaf 1 of a processor with these traits.
    static void describe(std::uint32_t family, bool mmx, bool sse, bool sse2, bool sse3, bool htBit = false,
                         std::uint32_t logical = 1) {
        fake.leaf1[0] = (family << 8) | (0xA << 4) | 0x7;  // model 10, stepping 7
        fake.leaf1[1] = logical << 16;
        fake.leaf1[2] = sse3 ? 1u : 0u;
        fake.leaf1[3] = (mmx ? 1u << 23 : 0) | (sse ? 1u << 25 : 0) | (sse2 ? 1u << 26 : 0) | (htBit ? 1u << 28 : 0) |
                        (1u << 4);
    }

private:
    const zpCpuidSource* previous_ = nullptr;
    std::int32_t savedIndex_ = zpVariantIndex;
};

TEST_F(FakeCpu, ClassifiesEveryListedProcessorAndChoosesItsSlot) {
    const struct {
        std::uint32_t family;
        bool mmx, sse, sse2, sse3, htBit;
        std::uint32_t logical;
        std::int32_t code, slot;
    } cases[] = {
        {5, false, false, false, false, false, 1, 1, 1},  {5, true, false, false, false, false, 1, 2, 1},
        {6, false, false, false, false, false, 1, 3, 1},  {6, true, false, false, false, false, 1, 4, 1},
        {6, true, true, false, false, false, 1, 5, 2},    {15, true, true, true, false, false, 1, 6, 3},
        {15, true, true, true, false, true, 1, 6, 3},     // the bit alone is not two processors
        {15, true, true, true, false, false, 2, 6, 3},    // nor the count alone
        {15, true, true, true, false, true, 2, 7, 3},     {15, true, true, true, true, false, 1, 8, 4},
        {6, true, true, true, false, false, 1, 9, 3},     {7, true, true, true, true, true, 2, 16, 1},
        {15, true, true, false, false, false, 1, 17, 1},  {4, false, false, false, false, false, 1, 0, 1},
        {0, true, true, true, true, false, 1, 0, 1},
        // Within a family the first test that holds decides.
        {15, true, true, true, true, true, 4, 8, 4},      {6, false, false, true, true, true, 2, 9, 3},
        {6, false, true, false, false, false, 1, 5, 2},   {5, true, true, true, true, false, 1, 2, 1},
    };
    for (const auto& c : cases) {
        describe(c.family, c.mmx, c.sse, c.sse2, c.sse3, c.htBit, c.logical);
        EXPECT_EQ(zpDetectProcessorType(), c.code) << "family " << c.family;
        zpVariantIndex = c.slot == 1 ? 4 : 1;  // anything but the slot expected
        EXPECT_EQ(zpInitDispatch(), zpStsNoErr) << "family " << c.family;
        EXPECT_EQ(zpVariantIndex, c.slot) << "code " << c.code;
    }
}

TEST_F(FakeCpu, LeavesSlotOneWithStatus20WithoutCpuidOrForAnotherVendor) {
    describe(15, true, true, true, true);
    for (int row = 0; row < 3; ++row) {
        fake.hasCpuid = row != 0;
        fake.vendor = row == 1 ? "AuthenticAMD" : row == 2 ? "GenuineIntex" : "GenuineIntel";
        EXPECT_EQ(zpDetectProcessorType(), 0) << row;
        zpVariantIndex = 3;
        EXPECT_EQ(zpInitDispatch(), zpStsNoCpuid) << row;
        EXPECT_EQ(zpVariantIndex, 1) << row;
    }
}

TEST_F(FakeCpu, ReadsTheRecordFieldsAndOnlyTheLeavesTheProcessorHas) {
    describe(6, true, true, true, true, true, 2);
    fake.leaf1[0] = 0x0FF3'06A9;  // extended family and model bits are not read
    ZpCpuInfo info;
    zpReadCpuFeatures(&info);
    EXPECT_EQ(info.family, 6u);
    EXPECT_EQ(info.stepping, 9u);
    EXPECT_EQ(info.model, 0xAu);
    EXPECT_EQ(info.features, fake.leaf1[3]);
    EXPECT_EQ(info.cacheEax, 0x665B5001u);
    EXPECT_EQ(info.cacheEdx, 0x007A7000u);
    EXPECT_EQ(info.mmx + info.sse + info.sse2 + info.multipleLogical + info.sse3, 5u);
    EXPECT_EQ(zpMaxCpuidLeaf(), 2u);
    EXPECT_EQ(zpHasTimeStampCounter() + zpHasMmx() + zpHasSse() + zpHasSse2() + zpHasSse3() + zpHasMultipleLogical(), 6);

    // Capped at leaf 1: leaf 2 would answer with leaf 1's data.
    fake.maxLeaf = 1;
    zpReadCpuFeatures(&info);
    EXPECT_EQ(info.family, 6u);
    EXPECT_EQ(info.cacheEax, 0u);
    EXPECT_EQ(info.cacheEdx, 0u);

    // Capped at leaf 0: leaf 1 would answer with the vendor words, which
    // must not pass for feature bits.
    fake.maxLeaf = 0;
    zpReadCpuFeatures(&info);
    EXPECT_EQ(info.features, 0u);
    EXPECT_EQ(info.family, 0u);
    EXPECT_EQ(zpHasSse2(), 0);
    EXPECT_EQ(zpDetectProcessorType(), 0);
}

// /proc/cpuinfo's first processor, field by field.
std::map<std::string, std::string> firstProcessor() {
    std::ifstream in("/proc/cpuinfo");
    std::map<std::string, std::string> fields;
    std::string line;
    while (std::getline(in, line) && !line.empty()) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.pop_back();
        fields[key] = colon + 2 <= line.size() ? line.substr(colon + 2) : "";
    }
    return fields;
}

bool hasFlag(const std::string& flags, const std::string& flag) {
    std::istringstream words(flags);
    std::string word;
    while (words >> word)
        if (word == flag) return true;
    return false;
}

TEST(ProcessorLayer, RealRecordAgreesWithTheKernelsView) {
    const auto cpu = firstProcessor();
    ASSERT_TRUE(cpu.count("vendor_id") && cpu.count("cpu family") && cpu.count("flags"));
    ASSERT_EQ(zpHasCpuid(), 1);
    EXPECT_EQ(zpIsGenuineIntel(), cpu.at("vendor_id") == "GenuineIntel" ? 1 : 0);
    ZpCpuInfo info;
    zpReadCpuFeatures(&info);
    // The kernel adds the extended family to base family 15 and shows the
    // extended model above bits 4-7.
    const unsigned family = std::stoul(cpu.at("cpu family"));
    EXPECT_EQ(info.family, family >= 15 ? 15u : family);
    EXPECT_EQ(info.model, std::stoul(cpu.at("model")) & 0xF);
    EXPECT_EQ(info.stepping, std::stoul(cpu.at("stepping")));
    const std::string& flags = cpu.at("flags");
    EXPECT_EQ(info.mmx, hasFlag(flags, "mmx") ? 1u : 0u);
    EXPECT_EQ(info.sse, hasFlag(flags, "sse") ? 1u : 0u);
    EXPECT_EQ(info.sse2, hasFlag(flags, "sse2") ? 1u : 0u);
    EXPECT_EQ(info.sse3, hasFlag(flags, "pni") ? 1u : 0u);
    EXPECT_EQ((info.features >> 28) & 1u, hasFlag(flags, "ht") ? 1u : 0u);
    EXPECT_EQ(zpHasTimeStampCounter(), hasFlag(flags, "tsc") ? 1 : 0);
    const std::uint64_t t0 = zpReadTimeStampCounter();
    EXPECT_GT(zpReadTimeStampCounter(), t0);
}

TEST(ProcessorLayer, ProgramStartsOnTheGenericSlotAndDetectionChoosesOnlyForIntel) {
    EXPECT_EQ(zpVariantIndex, 1);  // no start-up step selects a slot
    const std::int32_t saved = zpVariantIndex;
    const zpStatus status = zpInitDispatch();
    const std::int32_t chosen = zpVariantIndex;
    zpVariantIndex = saved;
    if (!zpIsGenuineIntel()) {
        EXPECT_EQ(status, zpStsNoCpuid);
        EXPECT_EQ(chosen, 1);
        EXPECT_EQ(zpDetectProcessorType(), 0);
    } else {
        EXPECT_EQ(status, zpStsNoErr);
        EXPECT_GE(chosen, 1);
        EXPECT_LE(chosen, 4);
    }
}

// Restores MXCSR and the x87 words after a test that changes them.
class FpState : public ::testing::Test {
protected:
    void TearDown() override {
        zpSetMxcsr(mxcsr_, 0xFFFFFFFF);
        zpSetX87Control(control_, 0xFFFF);
        zpClearX87Status();
    }

private:
    std::uint32_t mxcsr_ = zpGetMxcsr();
    std::uint16_t control_ = zpGetX87Control();
};

TEST_F(FpState, MxcsrResetsGetsAndMergesUnderAMask) {
    const std::uint32_t start = zpGetMxcsr();
    EXPECT_EQ(zpSetMxcsr(0x6000, 0x6000), start);  // rounding towards zero
    EXPECT_EQ(zpGetMxcsr(), (start & ~0x6000u) | 0x6000u);
    EXPECT_EQ(zpSetMxcsr(0xFFFF, 0x8000), (start & ~0x6000u) | 0x6000u);  // only flush-to-zero under the mask
    EXPECT_EQ(zpGetMxcsr(), (start & ~0x6000u) | 0xE000u);
    EXPECT_EQ(zpResetMxcsr(), (start & ~0x6000u) | 0xE000u);
    EXPECT_EQ(zpGetMxcsr(), 0x1F80u);
}

TEST_F(FpState, DenormalsAreZeroAgreesWithFxsave) {
    alignas(16) std::uint8_t area[512] = {};
    asm volatile("fxsave %0" : "=m"(area));
    std::uint32_t mask;
    std::memcpy(&mask, area + 28, 4);
    EXPECT_EQ(zpHasDenormalsAreZero(), mask != 0 && (mask & 0x40) ? 1 : 0);
}

TEST_F(FpState, X87ControlSetsUnderAMaskAndReadsBack) {
    const std::uint16_t start = zpGetX87Control();
    EXPECT_EQ(zpSetX87Control(0x0C00, 0x0C00), start);
    EXPECT_EQ(zpGetX87Control(), static_cast<std::uint16_t>(start | 0x0C00));
    EXPECT_EQ(zpSetX87Control(0x0000, 0x0300), static_cast<std::uint16_t>(start | 0x0C00));
    EXPECT_EQ(zpGetX87Control(), static_cast<std::uint16_t>((start | 0x0C00) & ~0x0300));
}

TEST_F(FpState, AbstractControlWordOfLinuxDefaultAndEveryField) {
    zpSetX87Control(0x037F, 0xFFFF);
    EXPECT_EQ(zpControlFp(0, 0), 0x8001Fu);
    EXPECT_EQ(zpGetX87Control(), 0x037F);
    const struct {
        std::uint16_t x87;
        std::uint32_t abstract;
    } bits[] = {
        {0x0001, 0x10},  {0x0002, 0x80000}, {0x0004, 0x08},  {0x0008, 0x04},    {0x0010, 0x02},
        {0x0020, 0x01},  {0x0400, 0x100},   {0x0800, 0x200}, {0x0C00, 0x300},   {0x0000, 0x20000},
        {0x0200, 0x10000}, {0x0300, 0},     {0x1000, 0x40000},
    };
    for (const auto& b : bits) {
        // Precision 64 bits is abstract 0: give the other fields' rows that
        // precision so each row shows one field alone.
        const std::uint16_t word = (b.x87 & 0x0300) || b.abstract & 0x30000 ? b.x87 : static_cast<std::uint16_t>(b.x87 | 0x0300);
        EXPECT_EQ(zpX87ToAbstractControl(word), b.abstract) << std::hex << b.x87;
        EXPECT_EQ(zpAbstractToX87Control(b.abstract), word) << std::hex << b.abstract;
        if (b.x87 & 0x3F) {
            EXPECT_EQ(zpX87ToAbstractStatus(b.x87), b.abstract) << std::hex << b.x87;
        }
    }
    // Setting through the abstract word reaches the processor.
    EXPECT_EQ(zpControlFp(0x300 | 0x10000, 0x300 | 0x30000), 0x8001Fu | 0x300u | 0x10000u);
    EXPECT_EQ(zpGetX87Control(), 0x0E7F);
}

TEST_F(FpState, StatusReportsAnInexactDivisionUntilCleared) {
    zpClearFp();
    EXPECT_EQ(zpStatusFp(), 0u);
    volatile long double one = 1.0L, three = 3.0L;
    volatile long double third = one / three;
    (void)third;
    EXPECT_EQ(zpStatusFp() & zpFpInexact, zpFpInexact);
    EXPECT_EQ(zpGetX87Status() & 0x20, 0x20);
    EXPECT_EQ(zpClearFp() & zpFpInexact, zpFpInexact);
    EXPECT_EQ(zpStatusFp(), 0u);
    volatile long double zero = 0.0L;
    volatile long double inf = one / zero;
    (void)inf;
    EXPECT_EQ(zpClearX87Status() & 0x04, 0x04);
    EXPECT_EQ(zpGetX87Status() & 0x3F, 0);
}

TEST(ProcessorLayer, ClassifiesDoublesByTheirBits) {
    std::uint64_t signalling = 0x7FF0000000000001ull;
    double snan;
    std::memcpy(&snan, &signalling, 8);
    const struct {
        double x;
        int nan, finite;
    } cases[] = {
        {0.0, 0, 1},
        {-0.0, 0, 1},
        {std::numeric_limits<double>::denorm_min(), 0, 1},
        {DBL_MAX, 0, 1},
        {std::numeric_limits<double>::infinity(), 0, 0},
        {-std::numeric_limits<double>::infinity(), 0, 0},
        {std::numeric_limits<double>::quiet_NaN(), 1, 0},
        {snan, 1, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(zpIsNan(c.x), c.nan) << c.x;
        EXPECT_EQ(zpIsFinite(c.x), c.finite) << c.x;
    }
}

}  // namespace
