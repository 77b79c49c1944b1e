// The processor layer of the image primitives: CPUID classification into a
// processor-type code, the choice of a variant slot for it (zpInitDispatch),
// single-feature queries and the small SSE and x87 state operations.
//
// Nothing in the program calls zpInitDispatch: zpVariantIndex keeps 1 and
// every primitive runs its generic variant. Only processors that report
// "GenuineIntel" are classified; any other vendor gives code 0 and slot 1.
//
// Threading: no state of its own (each call runs CPUID again). The state
// operations act on the calling thread's SSE and x87 registers. The CPUID
// source is process-wide and meant to be replaced by a test only.
#pragma once

#include <cstdint>

#include "ZImagePrimitives.h"

// Processor-type codes of zpDetectProcessorType.
enum : std::int32_t {
    zpCpuUnknown = 0,         // no CPUID, not "GenuineIntel", or an unlisted family
    zpCpuFamily5 = 1,         // without MMX
    zpCpuFamily5Mmx = 2,
    zpCpuFamily6 = 3,         // without MMX
    zpCpuFamily6Mmx = 4,      // without SSE
    zpCpuFamily6Sse = 5,      // without SSE2
    zpCpuFamily15Sse2 = 6,    // without SSE3, one logical processor
    zpCpuFamily15Sse2Ht = 7,  // without SSE3, several logical processors
    zpCpuFamily15Sse3 = 8,
    zpCpuFamily6Sse2 = 9,
    zpCpuFamily7 = 16,
    zpCpuFamily15 = 17,  // without SSE2
};

enum : zpStatus {
    zpStsNoCpuid = 20,  // zpInitDispatch: no CPUID, or a vendor other than "GenuineIntel"
};

// What CPUID leaves 1 and 2 say, in this order; each flag is 0 or 1.
struct ZpCpuInfo {
    std::uint32_t family;    // leaf 1 EAX bits 8-11 (the extended family is not read)
    std::uint32_t stepping;  // bits 0-3
    std::uint32_t model;     // bits 4-7 (the extended model is not read)
    std::uint32_t features;  // leaf 1 EDX
    std::uint32_t cacheEax;  // leaf 2 EAX, as read
    std::uint32_t cacheEdx;  // leaf 2 EDX, as read
    std::uint32_t mmx;       // EDX bit 23
    std::uint32_t sse;       // EDX bit 25
    std::uint32_t sse2;      // EDX bit 26
    std::uint32_t multipleLogical;  // EDX bit 28 and a logical processor count (leaf 1 EBX 16-23) above 1
    std::uint32_t sse3;             // leaf 1 ECX bit 0
};

// Where the layer gets CPUID from: the processor itself, or a test's stand-in.
struct zpCpuidSource {
    // 1 when the EFLAGS ID bit can be toggled.
    int (*hasCpuid)();
    // EAX, EBX, ECX, EDX of the leaf (sub-leaf 0).
    void (*cpuid)(std::uint32_t leaf, std::uint32_t regs[4]);
};
// Makes source the one every query uses (null: the processor) and returns
// the previous one.
const zpCpuidSource* zpSetCpuidSource(const zpCpuidSource* source);

int zpHasCpuid();
int zpIsGenuineIntel();
// Reads leaf 1 only when leaf 0 reports it, and leaf 2 likewise; fields of a
// leaf not read stay 0.
void zpReadCpuFeatures(ZpCpuInfo* info);
std::int32_t zpDetectProcessorType();
// Sets zpVariantIndex from the processor-type code; zpStsNoCpuid (index 1)
// when there is no CPUID or the vendor is not "GenuineIntel", else zpStsNoErr.
zpStatus zpInitDispatch();

// Single-feature queries, each running CPUID again.
std::uint32_t zpMaxCpuidLeaf();
int zpHasTimeStampCounter();
int zpHasMmx();
int zpHasSse();
int zpHasSse2();
int zpHasMultipleLogical();
int zpHasSse3();
std::uint64_t zpReadTimeStampCounter();

// SSE control and status register.
std::uint32_t zpResetMxcsr();  // loads 0x1F80; returns the previous value
std::uint32_t zpGetMxcsr();
// new = (old & ~mask) | (value & mask); returns old.
std::uint32_t zpSetMxcsr(std::uint32_t value, std::uint32_t mask);
// 1 when the processor can treat denormal SSE inputs as zero (the MXCSR
// mask that FXSAVE stores has bit 6).
int zpHasDenormalsAreZero();

// x87 control and status words.
std::uint16_t zpGetX87Control();
std::uint16_t zpSetX87Control(std::uint16_t value, std::uint16_t mask);  // returns old
std::uint16_t zpGetX87Status();
std::uint16_t zpClearX87Status();  // returns the status, then clears the pending exceptions

// The x87 words in the abstract layout of the C run-time's floating-point
// control: exception bits invalid 0x10, denormal 0x80000, zero divide 0x08,
// overflow 0x04, underflow 0x02, inexact 0x01; rounding 0x300 (0 nearest,
// 0x100 down, 0x200 up, 0x300 towards zero); precision 0x30000 (0x20000 24
// bits, 0x10000 53 bits, 0 64 bits); infinity control 0x40000.
enum : std::uint32_t {
    zpFpInexact = 0x01,
    zpFpUnderflow = 0x02,
    zpFpOverflow = 0x04,
    zpFpZeroDivide = 0x08,
    zpFpInvalid = 0x10,
    zpFpDenormal = 0x80000,
    zpFpRoundMask = 0x300,
    zpFpPrecisionMask = 0x30000,
    zpFpInfinityControl = 0x40000,
};
std::uint32_t zpX87ToAbstractControl(std::uint16_t control);
std::uint16_t zpAbstractToX87Control(std::uint32_t abstract);
std::uint32_t zpX87ToAbstractStatus(std::uint16_t status);
// Merges value under mask into the control word, loads it, returns the new
// abstract word; (0, 0) only reads.
std::uint32_t zpControlFp(std::uint32_t value, std::uint32_t mask);
std::uint32_t zpStatusFp();
std::uint32_t zpClearFp();  // as zpStatusFp, then clears the pending exceptions

int zpIsNan(double x);
int zpIsFinite(double x);
