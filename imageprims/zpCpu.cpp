// Processor classification for the primitive variant slots, and the SSE and
// x87 state operations of the same layer.
#include <cpuid.h>
#include <x86intrin.h>

#include <cstring>

#include "ZImagePrimitivesCpu.h"

namespace {

// Bit 21 of RFLAGS can always be toggled on x86-64; the test is kept so the
// layer reads the same as on processors where it cannot.
int zpRealHasCpuid() {
    std::uint64_t before = 0;
    std::uint64_t after = 0;
    asm volatile(
        "pushfq\n\t"
        "popq %0\n\t"
        "movq %0, %1\n\t"
        "xorq $0x200000, %1\n\t"
        "pushq %1\n\t"
        "popfq\n\t"
        "pushfq\n\t"
        "popq %1\n\t"
        "pushq %0\n\t"
        "popfq"
        : "=&r"(before), "=&r"(after)
        :
        : "cc", "memory");
    return ((before ^ after) & 0x200000) ? 1 : 0;
}

void zpRealCpuid(std::uint32_t leaf, std::uint32_t regs[4]) {
    __cpuid_count(leaf, 0, regs[0], regs[1], regs[2], regs[3]);
}

const zpCpuidSource zpRealSource = {zpRealHasCpuid, zpRealCpuid};
const zpCpuidSource* zpSource = &zpRealSource;

enum : std::uint32_t { kEax = 0, kEbx = 1, kEcx = 2, kEdx = 3 };

// Leaf 1, or zeros when leaf 0 does not reach it: a capped CPUID answers a
// higher leaf with another leaf's data.
void zpLeaf(std::uint32_t leaf, std::uint32_t regs[4]) {
    std::memset(regs, 0, 4 * sizeof(std::uint32_t));
    if (!zpSource->hasCpuid()) return;
    std::uint32_t top[4];
    zpSource->cpuid(0, top);
    if (top[kEax] < leaf) return;
    zpSource->cpuid(leaf, regs);
}

std::uint32_t zpBit(std::uint32_t word, int bit) { return (word >> bit) & 1u; }

}  // namespace

const zpCpuidSource* zpSetCpuidSource(const zpCpuidSource* source) {
    const zpCpuidSource* previous = zpSource;
    zpSource = source ? source : &zpRealSource;
    return previous;
}

int zpHasCpuid() { return zpSource->hasCpuid(); }

int zpIsGenuineIntel() {
    std::uint32_t regs[4];
    zpSource->cpuid(0, regs);
    char vendor[12];
    std::memcpy(vendor, &regs[kEbx], 4);
    std::memcpy(vendor + 4, &regs[kEdx], 4);
    std::memcpy(vendor + 8, &regs[kEcx], 4);
    return std::memcmp(vendor, "GenuineIntel", 12) == 0 ? 1 : 0;
}

void zpReadCpuFeatures(ZpCpuInfo* info) {
    std::uint32_t l1[4];
    std::uint32_t l2[4];
    zpLeaf(1, l1);
    zpLeaf(2, l2);
    info->family = (l1[kEax] >> 8) & 0xF;
    info->stepping = l1[kEax] & 0xF;
    info->model = (l1[kEax] >> 4) & 0xF;
    info->features = l1[kEdx];
    info->cacheEax = l2[kEax];
    info->cacheEdx = l2[kEdx];
    info->mmx = zpBit(l1[kEdx], 23);
    info->sse = zpBit(l1[kEdx], 25);
    info->sse2 = zpBit(l1[kEdx], 26);
    info->multipleLogical = (zpBit(l1[kEdx], 28) && ((l1[kEbx] >> 16) & 0xFF) > 1) ? 1 : 0;
    info->sse3 = zpBit(l1[kEcx], 0);
}

std::int32_t zpDetectProcessorType() {
    if (!zpHasCpuid() || !zpIsGenuineIntel()) return zpCpuUnknown;
    ZpCpuInfo info;
    zpReadCpuFeatures(&info);
    // Inside a family the tests run in this order: a family-15 processor
    // with SSE3 is code 8 whatever its logical processor count.
    switch (info.family) {
    case 7: return zpCpuFamily7;
    case 15:
        if (!info.sse2) return zpCpuFamily15;
        if (info.sse3) return zpCpuFamily15Sse3;
        return info.multipleLogical ? zpCpuFamily15Sse2Ht : zpCpuFamily15Sse2;
    case 5: return info.mmx ? zpCpuFamily5Mmx : zpCpuFamily5;
    case 6:
        if (info.sse2) return zpCpuFamily6Sse2;
        if (info.sse) return zpCpuFamily6Sse;
        return info.mmx ? zpCpuFamily6Mmx : zpCpuFamily6;
    default: return zpCpuUnknown;
    }
}

zpStatus zpInitDispatch() {
    const std::int32_t code = zpDetectProcessorType();
    // zpSelectVariant refuses the codes it has no slot for; they run slot 1.
    if (zpSelectVariant(code) != zpStsNoErr) zpVariantIndex = 1;
    if (!zpHasCpuid() || !zpIsGenuineIntel()) {
        zpVariantIndex = 1;
        return zpStsNoCpuid;
    }
    return zpStsNoErr;
}

// ---- single-feature queries -------------------------------------------------

std::uint32_t zpMaxCpuidLeaf() {
    if (!zpHasCpuid()) return 0;
    std::uint32_t regs[4];
    zpSource->cpuid(0, regs);
    return regs[kEax];
}

namespace {

std::uint32_t zpLeaf1(std::uint32_t reg) {
    std::uint32_t regs[4];
    zpLeaf(1, regs);
    return regs[reg];
}

}  // namespace

int zpHasTimeStampCounter() { return static_cast<int>(zpBit(zpLeaf1(kEdx), 4)); }
int zpHasMmx() { return static_cast<int>(zpBit(zpLeaf1(kEdx), 23)); }
int zpHasSse() { return static_cast<int>(zpBit(zpLeaf1(kEdx), 25)); }
int zpHasSse2() { return static_cast<int>(zpBit(zpLeaf1(kEdx), 26)); }
int zpHasSse3() { return static_cast<int>(zpBit(zpLeaf1(kEcx), 0)); }

int zpHasMultipleLogical() {
    ZpCpuInfo info;
    zpReadCpuFeatures(&info);
    return static_cast<int>(info.multipleLogical);
}

std::uint64_t zpReadTimeStampCounter() { return __rdtsc(); }

// ---- SSE state ----------------------------------------------------------------

std::uint32_t zpResetMxcsr() {
    const std::uint32_t old = _mm_getcsr();
    _mm_setcsr(0x1F80);
    return old;
}

std::uint32_t zpGetMxcsr() { return _mm_getcsr(); }

std::uint32_t zpSetMxcsr(std::uint32_t value, std::uint32_t mask) {
    const std::uint32_t old = _mm_getcsr();
    _mm_setcsr((old & ~mask) | (value & mask));
    return old;
}

int zpHasDenormalsAreZero() {
    alignas(16) std::uint8_t area[512];
    std::memset(area, 0, sizeof area);
    asm volatile("fxsave %0" : "=m"(area) : : "memory");
    std::uint32_t mask;
    std::memcpy(&mask, area + 28, sizeof mask);  // the MXCSR mask word
    return (mask != 0 && (mask & 0x40)) ? 1 : 0;
}

// ---- x87 state ----------------------------------------------------------------

std::uint16_t zpGetX87Control() {
    std::uint16_t control;
    asm volatile("fnstcw %0" : "=m"(control));
    return control;
}

std::uint16_t zpSetX87Control(std::uint16_t value, std::uint16_t mask) {
    const std::uint16_t old = zpGetX87Control();
    const std::uint16_t next = static_cast<std::uint16_t>((old & ~mask) | (value & mask));
    asm volatile("fldcw %0" : : "m"(next));
    return old;
}

std::uint16_t zpGetX87Status() {
    std::uint16_t status;
    asm volatile("fnstsw %0" : "=m"(status));
    return status;
}

std::uint16_t zpClearX87Status() {
    const std::uint16_t status = zpGetX87Status();
    asm volatile("fnclex");
    return status;
}

namespace {

// The six exception bits, x87 first, in the order of the x87 word.
const struct {
    std::uint16_t x87;
    std::uint32_t abstract;
} kExceptionBits[] = {
    {0x0001, zpFpInvalid}, {0x0002, zpFpDenormal},  {0x0004, zpFpZeroDivide},
    {0x0008, zpFpOverflow}, {0x0010, zpFpUnderflow}, {0x0020, zpFpInexact},
};

std::uint32_t zpExceptionsToAbstract(std::uint16_t word) {
    std::uint32_t abstract = 0;
    for (const auto& bit : kExceptionBits)
        if (word & bit.x87) abstract |= bit.abstract;
    return abstract;
}

}  // namespace

std::uint32_t zpX87ToAbstractControl(std::uint16_t control) {
    std::uint32_t abstract = zpExceptionsToAbstract(control);
    abstract |= static_cast<std::uint32_t>(control & 0x0C00) >> 2;  // rounding
    switch (control & 0x0300) {                                      // precision
    case 0x0000: abstract |= 0x20000; break;
    case 0x0100: abstract |= 0x30000; break;  // the reserved value keeps its own code
    case 0x0200: abstract |= 0x10000; break;
    case 0x0300: break;
    }
    if (control & 0x1000) abstract |= zpFpInfinityControl;
    return abstract;
}

std::uint16_t zpAbstractToX87Control(std::uint32_t abstract) {
    std::uint16_t control = 0;
    for (const auto& bit : kExceptionBits)
        if (abstract & bit.abstract) control |= bit.x87;
    control |= static_cast<std::uint16_t>((abstract & zpFpRoundMask) << 2);
    switch (abstract & zpFpPrecisionMask) {
    case 0x00000: control |= 0x0300; break;
    case 0x10000: control |= 0x0200; break;
    case 0x20000: break;
    case 0x30000: control |= 0x0100; break;
    }
    if (abstract & zpFpInfinityControl) control |= 0x1000;
    return control;
}

std::uint32_t zpX87ToAbstractStatus(std::uint16_t status) { return zpExceptionsToAbstract(status); }

std::uint32_t zpControlFp(std::uint32_t value, std::uint32_t mask) {
    const std::uint16_t old = zpGetX87Control();
    const std::uint32_t next = (zpX87ToAbstractControl(old) & ~mask) | (value & mask);
    // The reserved bits the abstract word has no place for keep their values.
    const std::uint16_t control = static_cast<std::uint16_t>(zpAbstractToX87Control(next) | (old & 0xE0C0));
    asm volatile("fldcw %0" : : "m"(control));
    return zpX87ToAbstractControl(control);
}

std::uint32_t zpStatusFp() { return zpX87ToAbstractStatus(zpGetX87Status()); }

std::uint32_t zpClearFp() { return zpX87ToAbstractStatus(zpClearX87Status()); }

// ---- classification of doubles ------------------------------------------------

namespace {

std::uint64_t zpBits(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return bits;
}

constexpr std::uint64_t kExponent = 0x7FF0000000000000ull;
constexpr std::uint64_t kMantissa = 0x000FFFFFFFFFFFFFull;

}  // namespace

int zpIsNan(double x) {
    const std::uint64_t bits = zpBits(x);
    return ((bits & kExponent) == kExponent && (bits & kMantissa) != 0) ? 1 : 0;
}

int zpIsFinite(double x) { return (zpBits(x) & kExponent) == kExponent ? 0 : 1; }
