// The one-channel super-sampling kernels of slot 4, the only code of the
// image primitives built for SSE3: runs of at least eleven whole cells go
// through four lanes joined by two horizontal adds, (L0 + L1) + (L2 + L3);
// weighted rows and float output rows of at least eleven samples are formed
// in single precision in blocks of eight.
#pragma GCC push_options
#pragma GCC target("sse3")
#include <pmmintrin.h>

#include "zpSuperSlot.h"

namespace {

struct zpSuperSse3 {
    static void* malloc32(int n) { return zpAlignedMalloc32_sse3(n); }
    [[gnu::always_inline]] static float join(__m128 lanes) {
        const __m128 pairs = _mm_hadd_ps(lanes, lanes);
        return _mm_cvtss_f32(_mm_hadd_ps(pairs, pairs));
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

ZP_DEFINE_SUPER_KERNELS_OF(8u, std::uint8_t, sse3, zpSuperSse3)
ZP_DEFINE_SUPER_KERNELS_OF(16u, std::uint16_t, sse3, zpSuperSse3)
ZP_DEFINE_SUPER_KERNELS_OF(32f, float, sse3, zpSuperSse3)

#pragma GCC pop_options
