// Dispatch entry points, variant tables and the registration list of the
// image primitives. The copies and the compositing have processor-specific
// variants in entries 2 to 4 (entry 4 shares entry 3's SSE2 code), the
// resize one variant per slot; the other primitives hold their generic
// variant there. The index stays 1 unless
// zpSelectVariant or zpInitDispatch is called, and the program calls neither.
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "ZImagePrimitives.h"
#include "zpGeneric.h"
#include "zpResizeSlots.h"
#include "zpSlots.h"

std::int32_t zpVariantIndex = 1;
zpRegistration* zpRegistrationList = nullptr;

zpRegistration* zpRegisterPrimitive(zpRegistration* record) {
    zpRegistration* previous = zpRegistrationList;
    zpRegistrationList = record;
    return previous;
}

zpStatus zpSelectVariant(std::int32_t cpuClass) {
    // Code -1 would select the empty entry 0: refused like any other code out
    // of range, so a primitive always has a variant to run.
    switch (cpuClass) {
    case 0: case 1: case 2: case 3: case 4: zpVariantIndex = 1; return zpStsNoErr;
    case 5: zpVariantIndex = 2; return zpStsNoErr;
    case 6: case 7: case 9: zpVariantIndex = 3; return zpStsNoErr;
    case 8: zpVariantIndex = 4; return zpStsNoErr;
    default: return zpStsCpuClassErr;
    }
}

namespace {

// Links one record into the list during static initialisation; the records
// below are defined, and therefore registered, in catalogue order.
struct zpRegistrar {
    explicit zpRegistrar(zpRegistration& record) { record.next = zpRegisterPrimitive(&record); }
};

}  // namespace

#define ZP_PRIMITIVE_VARIANTS(name, params, args, slot2, slot3, slot4)                          \
    namespace {                                                                                 \
    const zpVariantTable<decltype(name)> name##_Table = {{nullptr, name##_generic, slot2, slot3, slot4}};  \
    zpRegistration name##_Record = {"s", #name, &name##_Table, nullptr};                        \
    const zpRegistrar name##_Registrar(name##_Record);                                          \
    }                                                                                           \
    zpStatus name params { return name##_Table.entry[zpVariantIndex] args; }

#define ZP_PRIMITIVE(name, params, args) \
    ZP_PRIMITIVE_VARIANTS(name, params, args, name##_generic, name##_generic, name##_generic)
#define ZP_PRIMITIVE_SIMD(name, params, args) \
    ZP_PRIMITIVE_VARIANTS(name, params, args, name##_sse, name##_sse2, name##_sse2)

// The resize has a variant of its own in every slot.
#define ZP_PRIMITIVE_RESIZE(name, params, args) \
    ZP_PRIMITIVE_VARIANTS(name, params, args, name##_sse, name##_sse2, name##_sse3)

#define ZP_COPY_PARAMS (const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize)
#define ZP_COPY_ARGS (src, srcStep, dst, dstStep, roiSize)
#define ZP_RESIZE_PARAMS                                                                        \
    (const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi, std::uint8_t* dst, int dstStep, \
     zpSize dstRoiSize, double xFactor, double yFactor, std::int32_t interpolation)
#define ZP_RESIZE_ARGS (src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor, interpolation)
#define ZP_MIRROR_PARAMS (std::uint8_t* srcDst, int srcDstStep, zpSize roiSize, std::int32_t flip)
#define ZP_MIRROR_ARGS (srcDst, srcDstStep, roiSize, flip)

ZP_PRIMITIVE_SIMD(zpiCopy_8u_C3R, ZP_COPY_PARAMS, ZP_COPY_ARGS)
ZP_PRIMITIVE_SIMD(zpiAlphaComp_8u_AC4R,
             (const std::uint8_t* src1, int src1Step, const std::uint8_t* src2, int src2Step, std::uint8_t* dst,
              int dstStep, zpSize roiSize, std::int32_t alphaType),
             (src1, src1Step, src2, src2Step, dst, dstStep, roiSize, alphaType))
ZP_PRIMITIVE_SIMD(zpiCopy_8u_C4R, ZP_COPY_PARAMS, ZP_COPY_ARGS)
ZP_PRIMITIVE_RESIZE(zpiResize_8u_C1R, ZP_RESIZE_PARAMS, ZP_RESIZE_ARGS)
ZP_PRIMITIVE_RESIZE(zpiResize_8u_C3R, ZP_RESIZE_PARAMS, ZP_RESIZE_ARGS)
ZP_PRIMITIVE_RESIZE(zpiResize_8u_C4R, ZP_RESIZE_PARAMS, ZP_RESIZE_ARGS)
ZP_PRIMITIVE(zpiAlphaPremul_8u_AC4IR, (std::uint8_t * srcDst, int srcDstStep, zpSize roiSize),
             (srcDst, srcDstStep, roiSize))
ZP_PRIMITIVE(zpiRGBToGray_8u_C3C1R, ZP_COPY_PARAMS, ZP_COPY_ARGS)
ZP_PRIMITIVE(zpiYUV420ToRGB_8u_P3C3, (const std::uint8_t* const src[3], std::uint8_t* dst, zpSize imgSize),
             (src, dst, imgSize))
ZP_PRIMITIVE(zpiRGBToYUV420_8u_C3P3, (const std::uint8_t* src, std::uint8_t* const dst[3], zpSize imgSize),
             (src, dst, imgSize))
ZP_PRIMITIVE(zpiMirror_8u_C4IR, ZP_MIRROR_PARAMS, ZP_MIRROR_ARGS)
ZP_PRIMITIVE(zpiMirror_8u_C3IR, ZP_MIRROR_PARAMS, ZP_MIRROR_ARGS)
ZP_PRIMITIVE(zpiRGBToGray_8u_AC4C1R, ZP_COPY_PARAMS, ZP_COPY_ARGS)
ZP_PRIMITIVE(zpiYUV422ToRGB_8u_C2C3R, ZP_COPY_PARAMS, ZP_COPY_ARGS)

// ---- aligned work buffers ---------------------------------------------------
//
// The heap block's whole address is kept in the pointer-sized word just below
// the aligned address.

bool (*zpAlignedMallocGate)(std::size_t bytes) = nullptr;

namespace {

std::atomic<std::int64_t> zpLiveBlocks{0};

void* zpAlignedMalloc(std::ptrdiff_t n, std::size_t elementSize) {
    if (n <= 0) return nullptr;
    const std::size_t bytes = static_cast<std::size_t>(n) * elementSize + 31 + sizeof(void*);
    if (zpAlignedMallocGate && !zpAlignedMallocGate(bytes)) return nullptr;
    void* block = std::malloc(bytes);
    if (!block) return nullptr;
    zpLiveBlocks.fetch_add(1, std::memory_order_relaxed);
    const std::uintptr_t aligned = (reinterpret_cast<std::uintptr_t>(block) + sizeof(void*) + 31) & ~std::uintptr_t{31};
    reinterpret_cast<void**>(aligned)[-1] = block;
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

void* zpAlignedMalloc8(std::ptrdiff_t n) { return zpAlignedMalloc(n, 1); }
void* zpAlignedMalloc32(int n) { return zpAlignedMalloc(n, 4); }
void* zpAlignedMalloc16(int n) { return zpAlignedMalloc(n, 2); }
void* zpAlignedMalloc32_sse3(int n) { return zpAlignedMalloc(n, 4); }

void zpAlignedFree(void* p) {
    if (!p) return;
    zpLiveBlocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(static_cast<void**>(p)[-1]);
}

std::int64_t zpAlignedBlocksLive() { return zpLiveBlocks.load(std::memory_order_relaxed); }
