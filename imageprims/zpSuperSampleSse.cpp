// Super-sampling of slot 2: its driver, its nine kernels and its three- and
// four-channel row sums. Horizontal running sums in single precision, runs
// of whole one-channel cells in four SSE lanes joined as (L0 + L2) +
// (L1 + L3); weighted rows in double precision except the bulk of a float
// one-channel row; float one-channel rows scaled in blocks of eight.
#include "zpSuperSlot.h"

namespace {

struct zpSuperSse {
    static void* malloc32(int n) { return zpAlignedMalloc32(n); }
    static float runC1(const float* cells, int p, int n, float s) {
        const int lead = zpToBoundary(p);
        return n - lead < 8 ? zpRunSequential(cells, p, n, s) : zpRunLanes(cells, p, lead, n, s, zpJoinPairs);
    }
    template <typename T>
    static int weightedBulk(int n) {
        return std::is_same_v<T, float> && n >= 8 ? n & ~7 : 0;
    }
    static bool outputSingle(std::uintptr_t address, int n, int& lead, int& blocks) {
        return zpOutputAfterBoundary(address, n, lead, blocks);
    }
    template <typename T, int kind>
    static void sum(const T* src, int srcStep, int count, int nRows, void* acc, int pixelStep) {
        using Cell = std::conditional_t<std::is_same_v<T, float>, float, std::uint32_t>;
        auto* cells = static_cast<Cell*>(acc);
        if constexpr (kind == 1) {
            // The generic one-channel routines add to the row.
            std::memset(acc, 0, static_cast<std::size_t>(count) * 4);
            if constexpr (std::is_same_v<T, std::uint8_t>) resize8u_superSumC1_gen(src, srcStep, count, nRows, cells);
            else if constexpr (std::is_same_v<T, std::uint16_t>) resize16u_superSumC1_gen(src, srcStep, count, nRows, cells);
            else resize32f_superSumC1_gen(src, srcStep, count, nRows, cells);
        } else if constexpr (kind == 3) {
            zpSumC3(src, srcStep, count, nRows, cells, pixelStep);
        } else {
            zpSumFlat(src, srcStep, 4 * count, nRows, cells);
        }
    }
};

const zpSuperKernels kSse = {
    {resize8u_superC1_sse, resize16u_superC1_sse, resize32f_superC1_sse},
    {resize8u_superC3_sse, resize16u_superC3_sse, resize32f_superC3_sse},
    {resize8u_superC4_sse, resize16u_superC4_sse, resize32f_superC4_sse},
};

}  // namespace

ZP_DEFINE_SUPER_KERNELS_OF(8u, std::uint8_t, sse, zpSuperSse)
ZP_DEFINE_SUPER_KERNELS_OF(16u, std::uint16_t, sse, zpSuperSse)
ZP_DEFINE_SUPER_KERNELS_OF(32f, float, sse, zpSuperSse)
ZP_DEFINE_SUPER_MULTI_OF(8u, std::uint8_t, sse, zpSuperSse)
ZP_DEFINE_SUPER_MULTI_OF(16u, std::uint16_t, sse, zpSuperSse)
ZP_DEFINE_SUPER_MULTI_OF(32f, float, sse, zpSuperSse)

void resize8u_superSumC3_sse(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                             int pixelStep) {
    zpSumC3(src, srcStep, count, nRows, acc, pixelStep);
}
void resize16u_superSumC3_sse(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                              int pixelStep) {
    zpSumC3(src, srcStep, count, nRows, acc, pixelStep);
}
void resize32f_superSumC3_sse(const float* src, int srcStep, int count, int nRows, float* acc, int pixelStep) {
    zpSumC3(src, srcStep, count, nRows, acc, pixelStep);
}
void resize8u_superSumC4_sse(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc) {
    zpSumFlat(src, srcStep, 4 * count, nRows, acc);
}
void resize16u_superSumC4_sse(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc) {
    zpSumFlat(src, srcStep, 4 * count, nRows, acc);
}
void resize32f_superSumC4_sse(const float* src, int srcStep, int count, int nRows, float* acc) {
    zpSumFlat(src, srcStep, 4 * count, nRows, acc);
}

zpStatus resize_superDriver_sse(const void* src, int srcWidth, int srcHeight, int srcStep, int roiX, int roiY,
                                int roiWidth, int roiHeight, void* dst, int dstStep, int dstWidth, int dstHeight,
                                double xFactor, double yFactor, int pixelStep, int channelKind, int type,
                                int planar) {
    return zpSuperDrive(kSse, true, src, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, roiHeight, dst, dstStep,
                        dstWidth, dstHeight, xFactor, yFactor, pixelStep, channelKind, type, planar);
}
