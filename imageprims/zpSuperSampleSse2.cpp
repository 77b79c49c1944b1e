// Super-sampling of slot 3: its driver, its nine kernels and the row sums
// slot 4 shares. Horizontal running sums in single precision, runs of whole
// one-channel cells in four SSE lanes joined as (L0 + L2) + (L1 + L3), the
// bulk of a weighted one-channel row and of a float one-channel output row
// in single precision.
#include "zpSuperSlot.h"

void resize8u_superSumC1_sse2(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc) {
    zpSumFlat(src, srcStep, count, nRows, acc);
}
void resize16u_superSumC1_sse2(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc) {
    zpSumFlat(src, srcStep, count, nRows, acc);
}
void resize32f_superSumC1_sse2(const float* src, int srcStep, int count, int nRows, float* acc) {
    zpSumFloatC1Blocks(src, srcStep, count, nRows, acc);
}
void resize8u_superSumC3_sse2(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                              int pixelStep) {
    zpSumC3(src, srcStep, count, nRows, acc, pixelStep);
}
void resize16u_superSumC3_sse2(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                               int pixelStep) {
    zpSumC3(src, srcStep, count, nRows, acc, pixelStep);
}
void resize32f_superSumC3_sse2(const float* src, int srcStep, int count, int nRows, float* acc, int pixelStep) {
    zpSumC3(src, srcStep, count, nRows, acc, pixelStep);
}
void resize8u_superSumC4_sse2(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc) {
    zpSumFlat(src, srcStep, 4 * count, nRows, acc);
}
void resize16u_superSumC4_sse2(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc) {
    zpSumFlat(src, srcStep, 4 * count, nRows, acc);
}
void resize32f_superSumC4_sse2(const float* src, int srcStep, int count, int nRows, float* acc) {
    zpSumFlat(src, srcStep, 4 * count, nRows, acc);
}

namespace {

struct zpSuperSse2 {
    static void* malloc32(int n) { return zpAlignedMalloc32(n); }
    static float runC1(const float* cells, int p, int n, float s) {
        const int lead = zpToBoundary(p);
        return n - lead < 8 ? zpRunSequential(cells, p, n, s) : zpRunLanes(cells, p, lead, n, s, zpJoinPairs);
    }
    template <typename T>
    static int weightedBulk(int n) {
        return n >= 8 ? n & ~7 : 0;
    }
    static bool outputSingle(std::uintptr_t address, int n, int& lead, int& blocks) {
        return zpOutputAfterBoundary(address, n, lead, blocks);
    }
    template <typename T, int kind>
    static void sum(const T* src, int srcStep, int count, int nRows, void* acc, int pixelStep) {
        if constexpr (std::is_same_v<T, float>) {
            auto* cells = static_cast<float*>(acc);
            if constexpr (kind == 1) resize32f_superSumC1_sse2(src, srcStep, count, nRows, cells);
            else if constexpr (kind == 3) resize32f_superSumC3_sse2(src, srcStep, count, nRows, cells, pixelStep);
            else resize32f_superSumC4_sse2(src, srcStep, count, nRows, cells);
        } else {
            auto* cells = static_cast<std::uint32_t*>(acc);
            if constexpr (kind == 1) zpSumFlat(src, srcStep, count, nRows, cells);
            else if constexpr (kind == 3) zpSumC3(src, srcStep, count, nRows, cells, pixelStep);
            else zpSumFlat(src, srcStep, 4 * count, nRows, cells);
        }
    }
};

const zpSuperKernels kSse2 = {
    {resize8u_superC1_sse2, resize16u_superC1_sse2, resize32f_superC1_sse2},
    {resize8u_superC3_sse2, resize16u_superC3_sse2, resize32f_superC3_sse2},
    {resize8u_superC4_sse2, resize16u_superC4_sse2, resize32f_superC4_sse2},
};

}  // namespace

ZP_DEFINE_SUPER_KERNELS_OF(8u, std::uint8_t, sse2, zpSuperSse2)
ZP_DEFINE_SUPER_KERNELS_OF(16u, std::uint16_t, sse2, zpSuperSse2)
ZP_DEFINE_SUPER_KERNELS_OF(32f, float, sse2, zpSuperSse2)
ZP_DEFINE_SUPER_MULTI_OF(8u, std::uint8_t, sse2, zpSuperSse2)
ZP_DEFINE_SUPER_MULTI_OF(16u, std::uint16_t, sse2, zpSuperSse2)
ZP_DEFINE_SUPER_MULTI_OF(32f, float, sse2, zpSuperSse2)

zpStatus resize_superDriver_sse2(const void* src, int srcWidth, int srcHeight, int srcStep, int roiX, int roiY,
                                 int roiWidth, int roiHeight, void* dst, int dstStep, int dstWidth, int dstHeight,
                                 double xFactor, double yFactor, int pixelStep, int channelKind, int type,
                                 int planar) {
    return zpSuperDrive(kSse2, true, src, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, roiHeight, dst, dstStep,
                        dstWidth, dstHeight, xFactor, yFactor, pixelStep, channelKind, type, planar);
}
