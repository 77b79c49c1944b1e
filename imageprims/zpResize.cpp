// The resize entry points of every slot: super-sampling with both factors
// at most 1.0 goes to the slot's super-sampling driver, everything else to
// its resize driver with zero shifts, 8-bit samples, packed pixels and the
// factors scaling the region.
#include "zpGeneric.h"
#include "zpResizeSlots.h"

namespace {

using zpSuperDriver = decltype(&resize_superDriver_gen);
using zpResizeDriver = decltype(&resize_driver_gen);

// The generic and slot-2 variants ask whether both factors are at most 1.0,
// slots 3 and 4 whether neither is above it: a NaN factor takes the resize
// driver in the first and the super-sampling driver in the second, and is
// refused with the factor error on both.
template <zpSuperDriver superDriver, zpResizeDriver resizeDriver, bool nanToSuper, int pixelStep>
zpStatus zpResizeEntry(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect roi, std::uint8_t* dst,
                       int dstStep, zpSize dstSize, double xFactor, double yFactor, std::int32_t interpolation) {
    const bool reduces = nanToSuper ? !(xFactor > 1.0) && !(yFactor > 1.0) : xFactor <= 1.0 && yFactor <= 1.0;
    if (interpolation == zpInterSuper && reduces)
        return superDriver(src, srcSize.width, srcSize.height, srcStep, roi.x, roi.y, roi.width, roi.height, dst,
                           dstStep, dstSize.width, dstSize.height, xFactor, yFactor, pixelStep, pixelStep, zpType8u, 0);
    return resizeDriver(src, srcSize.width, srcSize.height, srcStep, roi.x, roi.y, roi.width, roi.height, dst, dstStep,
                        dstSize.width, dstSize.height, xFactor, yFactor, 0.0, 0.0, pixelStep, pixelStep, zpType8u, 0,
                        interpolation, 1);
}

}  // namespace

#define ZP_RESIZE_ENTRIES(suffix, superDriver, resizeDriver, nanToSuper)                                       \
    zpStatus zpiResize_8u_C1R_##suffix(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,     \
                                       std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,      \
                                       double yFactor, std::int32_t interpolation) {                           \
        return zpResizeEntry<superDriver, resizeDriver, nanToSuper, 1>(src, srcSize, srcStep, srcRoi, dst,      \
                                                                       dstStep, dstRoiSize, xFactor, yFactor,  \
                                                                       interpolation);                         \
    }                                                                                                          \
    zpStatus zpiResize_8u_C3R_##suffix(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,     \
                                       std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,      \
                                       double yFactor, std::int32_t interpolation) {                           \
        return zpResizeEntry<superDriver, resizeDriver, nanToSuper, 3>(src, srcSize, srcStep, srcRoi, dst,      \
                                                                       dstStep, dstRoiSize, xFactor, yFactor,  \
                                                                       interpolation);                         \
    }                                                                                                          \
    zpStatus zpiResize_8u_C4R_##suffix(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,     \
                                       std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,      \
                                       double yFactor, std::int32_t interpolation) {                           \
        return zpResizeEntry<superDriver, resizeDriver, nanToSuper, 4>(src, srcSize, srcStep, srcRoi, dst,      \
                                                                       dstStep, dstRoiSize, xFactor, yFactor,  \
                                                                       interpolation);                         \
    }

ZP_RESIZE_ENTRIES(generic, resize_superDriver_gen, resize_driver_gen, false)
ZP_RESIZE_ENTRIES(sse, resize_superDriver_sse, resize_driver_sse, false)
ZP_RESIZE_ENTRIES(sse2, resize_superDriver_sse2, resize_driver_sse2, true)
ZP_RESIZE_ENTRIES(sse3, resize_superDriver_sse3, resize_driver_sse3, true)
