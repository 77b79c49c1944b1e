// The one-channel super-sampling kernels of slot 4, the only code of the
// image primitives built for SSE3: runs of at least eleven whole cells go
// through four lanes joined by two horizontal adds, (L0 + L1) + (L2 + L3);
// weighted rows and float output rows of at least eleven samples are formed
// in single precision in blocks of eight.
//
// The horizontal add is written as the instruction itself: the file needs no
// SSE3 target, so nothing else in it (templates, library code) can come out
// with SSE3 instructions, and the three kernels are marked for SSE3 alone.
#include "zpSuperSlot.h"

namespace {

struct zpSuperSse3 {
    static void* malloc32(int n) { return zpAlignedMalloc32_sse3(n); }
    [[gnu::always_inline]] static float join(__m128 lanes) {
        __m128 pairs = lanes;
        asm("haddps %1, %0" : "+x"(pairs) : "x"(lanes));  // (L0 + L1, L2 + L3, ...)
        __m128 sum = pairs;
        asm("haddps %1, %0" : "+x"(sum) : "x"(pairs));
        return _mm_cvtss_f32(sum);
    }
    static float runC1(const float* cells, int p, int n, float s) {
        return n < 11 ? zpRunSequential(cells, p, n, s) : zpRunLanes(cells, p, zpToBoundary(p), n, s, join);
    }
    template <typename T>
    static int weightedBulk(int n) {
        return n >= 11 ? n & ~7 : 0;
    }
    static bool outputSingle(std::uintptr_t address, int n, int& lead, int& blocks) {
        if (address % 4 || n < 11) return false;
        lead = static_cast<int>((16 - address % 16) % 16 / 4);
        blocks = (n - lead) / 8;
        return true;
    }
    template <typename T, int kind>
    static void sum(const T* src, int srcStep, int count, int nRows, void* acc, int) {
        if constexpr (std::is_same_v<T, float>) resize32f_superSumC1_sse2(src, srcStep, count, nRows, static_cast<float*>(acc));
        else if constexpr (std::is_same_v<T, std::uint8_t>) resize8u_superSumC1_sse2(src, srcStep, count, nRows, static_cast<std::uint32_t*>(acc));
        else resize16u_superSumC1_sse2(src, srcStep, count, nRows, static_cast<std::uint32_t*>(acc));
    }
};

}  // namespace

#define ZP_SUPER_C1_SSE3(type, T)                                                                                  \
    __attribute__((target("sse3"))) bool resize##type##_superC1_sse3(const void* s, void* d, int ss, int ds, int cols, \
                                                                     int rows, int w, int h, double kx, double ky,    \
                                                                     double norm, int mode) {                          \
        return zpSlotSuper<zpSuperSse3, T, 1>(s, d, ss, ds, cols, rows, w, h, kx, ky, norm, 1, mode);                 \
    }
ZP_SUPER_C1_SSE3(8u, std::uint8_t)
ZP_SUPER_C1_SSE3(16u, std::uint16_t)
ZP_SUPER_C1_SSE3(32f, float)
