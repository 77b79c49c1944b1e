// Cubic resize passes of slot 2 and its row-helper table: SSE single
// precision for the arithmetic, MMX to widen integer taps before their
// conversion to float and to pack the results, the MMX state cleared after
// each vector loop.
#include <mmintrin.h>
#include <xmmintrin.h>

#include "zpResizeCubic.h"
#include "zpResizePasses.h"

namespace {

struct zpCubicIoSse {
    static __m64 load32(const void* p) {
        int v;
        std::memcpy(&v, p, 4);
        return _mm_cvtsi32_si64(v);
    }
    static __m128 taps(const std::uint8_t* p) { return _mm_cvtpu8_ps(load32(p)); }
    static __m128 taps(const std::uint16_t* p) {
        __m64 v;
        std::memcpy(&v, p, 8);
        return _mm_cvtpu16_ps(v);
    }
    static __m128 taps(const float* p) {
        return _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)),
                            reinterpret_cast<const __m64*>(p + 2));
    }
    static __m128 pixel4(const std::uint8_t* p) { return taps(p); }
    static __m128 pixel4(const std::uint16_t* p) { return taps(p); }
    static __m128 pixel4(const float* p) { return _mm_loadu_ps(p); }
    static __m128 pixel3(const std::uint8_t* p) { return _mm_cvtpu8_ps(_mm_cvtsi32_si64(p[0] | p[1] << 8 | p[2] << 16)); }
    static __m128 pixel3(const std::uint16_t* p) {
        return _mm_cvtpu16_ps(_mm_setr_pi16(static_cast<short>(p[0]), static_cast<short>(p[1]),
                                            static_cast<short>(p[2]), 0));
    }
    static __m128 pixel3(const float* p) {
        return _mm_movelh_ps(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)), _mm_load_ss(p + 2));
    }
    static void halves(__m128 v, __m64& lo, __m64& hi) {
        lo = _mm_cvtps_pi32(v);
        hi = _mm_cvtps_pi32(_mm_movehl_ps(v, v));
    }
    static void round8u(__m128 v, std::uint8_t* out) {
        __m64 lo, hi;
        halves(v, lo, hi);
        const __m64 words = _mm_packs_pi32(lo, hi);
        const int bytes = _mm_cvtsi64_si32(_mm_packs_pu16(words, words));
        std::memcpy(out, &bytes, 4);
    }
    static void round16u(__m128 v, std::uint16_t* out) {
        __m64 lo, hi;
        halves(v, lo, hi);
        const __m64 bias = _mm_set1_pi32(32768);
        const __m64 words =
            _mm_add_pi16(_mm_packs_pi32(_mm_sub_pi32(lo, bias), _mm_sub_pi32(hi, bias)), _mm_set1_pi16(-32768));
        std::memcpy(out, &words, 8);
    }
    static void done() { _mm_empty(); }
};

}  // namespace

ZP_DEFINE_CUBIC_PASSES(sse, zpCubicIoSse, false, true)

namespace {

ZP_LINEAR_PASS_SET(zpLin8uSse, std::uint8_t, 8u, sse, std::int16_t, std::int16_t, std::int16_t);
ZP_LINEAR_PASS_SET(zpLin16uSse, std::uint16_t, 16u, sse, std::uint16_t, std::int16_t, std::int16_t);
ZP_LINEAR_PASS_SET(zpLin32fSse, float, 32f, sse, float, float, float);
ZP_CUBIC_PASS_SET(zpCub8uSse, std::uint8_t, 8u, sse);
ZP_CUBIC_PASS_SET(zpCub16uSse, std::uint16_t, 16u, sse);
ZP_CUBIC_PASS_SET(zpCub32fSse, float, 32f, sse);

}  // namespace

ZP_ROW_HELPER_TABLE(resizeRowHelpers_sse, zpLin8uSse, zpLin16uSse, zpLin32fSse, zpCub8uSse, zpCub16uSse, zpCub32fSse);
