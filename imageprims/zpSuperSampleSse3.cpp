// Super-sampling of slot 4: its driver and its three- and four-channel
// kernels, which evaluate as slot 3's and take their float rows from slot
// 4's own allocator. The one-channel kernels are in zpSuperSampleSse3C1.cpp.
#include "zpSuperSlot.h"

namespace {

struct zpSuperSse3Multi {
    static void* malloc32(int n) { return zpAlignedMalloc32_sse3(n); }
    template <typename T, int kind>
    static void sum(const T* src, int srcStep, int count, int nRows, void* acc, int pixelStep) {
        if constexpr (std::is_same_v<T, float>) {
            auto* cells = static_cast<float*>(acc);
            if constexpr (kind == 3) resize32f_superSumC3_sse2(src, srcStep, count, nRows, cells, pixelStep);
            else resize32f_superSumC4_sse2(src, srcStep, count, nRows, cells);
        } else if constexpr (std::is_same_v<T, std::uint8_t>) {
            auto* cells = static_cast<std::uint32_t*>(acc);
            if constexpr (kind == 3) resize8u_superSumC3_sse2(src, srcStep, count, nRows, cells, pixelStep);
            else resize8u_superSumC4_sse2(src, srcStep, count, nRows, cells);
        } else {
            auto* cells = static_cast<std::uint32_t*>(acc);
            if constexpr (kind == 3) resize16u_superSumC3_sse2(src, srcStep, count, nRows, cells, pixelStep);
            else resize16u_superSumC4_sse2(src, srcStep, count, nRows, cells);
        }
    }
};

const zpSuperKernels kSse3 = {
    {resize8u_superC1_sse3, resize16u_superC1_sse3, resize32f_superC1_sse3},
    {resize8u_superC3_sse3, resize16u_superC3_sse3, resize32f_superC3_sse3},
    {resize8u_superC4_sse3, resize16u_superC4_sse3, resize32f_superC4_sse3},
};

}  // namespace

ZP_DEFINE_SUPER_MULTI_OF(8u, std::uint8_t, sse3, zpSuperSse3Multi)
ZP_DEFINE_SUPER_MULTI_OF(16u, std::uint16_t, sse3, zpSuperSse3Multi)
ZP_DEFINE_SUPER_MULTI_OF(32f, float, sse3, zpSuperSse3Multi)

zpStatus resize_superDriver_sse3(const void* src, int srcWidth, int srcHeight, int srcStep, int roiX, int roiY,
                                 int roiWidth, int roiHeight, void* dst, int dstStep, int dstWidth, int dstHeight,
                                 double xFactor, double yFactor, int pixelStep, int channelKind, int type,
                                 int planar) {
    return zpSuperDrive(kSse3, true, src, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, roiHeight, dst, dstStep,
                        dstWidth, dstHeight, xFactor, yFactor, pixelStep, channelKind, type, planar);
}
