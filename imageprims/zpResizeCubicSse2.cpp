// Cubic resize passes of slots 3 and 4 (SSE2 instructions only) and the
// row-helper tables of both slots.
#include <emmintrin.h>

#include "zpResizeCubic.h"
#include "zpResizePasses.h"

namespace {

// SSE2: integer taps widened through 32-bit lanes, results converted by the
// processor's rounding mode and packed with saturation.
struct zpCubicIoSse2 {
    static __m128 taps(const std::uint8_t* p) {
        int v;
        std::memcpy(&v, p, 4);
        const __m128i zero = _mm_setzero_si128();
        return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(v), zero), zero));
    }
    static __m128 taps(const std::uint16_t* p) {
        return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128()));
    }
    static __m128 taps(const float* p) { return _mm_loadu_ps(p); }
    static __m128 pixel4(const std::uint8_t* p) { return taps(p); }
    static __m128 pixel4(const std::uint16_t* p) { return taps(p); }
    static __m128 pixel4(const float* p) { return _mm_loadu_ps(p); }
    static __m128 pixel3(const std::uint8_t* p) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i v = _mm_cvtsi32_si128(p[0] | p[1] << 8 | p[2] << 16);
        return _mm_cvtepi32_ps(_mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero));
    }
    static __m128 pixel3(const std::uint16_t* p) {
        return _mm_cvtepi32_ps(_mm_setr_epi32(p[0], p[1], p[2], 0));
    }
    static __m128 pixel3(const float* p) {
        return _mm_movelh_ps(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)), _mm_load_ss(p + 2));
    }
    static void round8u(__m128 v, std::uint8_t* out) {
        const __m128i i = _mm_cvtps_epi32(v);
        const __m128i w = _mm_packs_epi32(i, i);
        const int bytes = _mm_cvtsi128_si32(_mm_packus_epi16(w, w));
        std::memcpy(out, &bytes, 4);
    }
    static void round16u(__m128 v, std::uint16_t* out) {
        const __m128i i = _mm_sub_epi32(_mm_cvtps_epi32(v), _mm_set1_epi32(32768));
        const __m128i w = _mm_add_epi16(_mm_packs_epi32(i, i), _mm_set1_epi16(-32768));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), w);
    }
    static void done() {}
};

}  // namespace

ZP_DEFINE_CUBIC_PASSES(sse2, zpCubicIoSse2, false, false)
ZP_DEFINE_CUBIC_PASSES(sse3, zpCubicIoSse2, true, true)

namespace {

ZP_LINEAR_PASS_SET(zpLin8uSse2, std::uint8_t, 8u, sse2, std::int16_t, std::int16_t, std::int16_t);
ZP_LINEAR_PASS_SET(zpLin16uSse2, std::uint16_t, 16u, sse2, std::uint16_t, std::int16_t, std::int16_t);
ZP_LINEAR_PASS_SET(zpLin32fSse2, float, 32f, sse2, float, float, float);
ZP_CUBIC_PASS_SET(zpCub8uSse2, std::uint8_t, 8u, sse2);
ZP_CUBIC_PASS_SET(zpCub16uSse2, std::uint16_t, 16u, sse2);
ZP_CUBIC_PASS_SET(zpCub32fSse2, float, 32f, sse2);
ZP_CUBIC_PASS_SET(zpCub8uSse3, std::uint8_t, 8u, sse3);
ZP_CUBIC_PASS_SET(zpCub16uSse3, std::uint16_t, 16u, sse3);
ZP_CUBIC_PASS_SET(zpCub32fSse3, float, 32f, sse3);

}  // namespace

ZP_ROW_HELPER_TABLE(resizeRowHelpers_sse2, zpLin8uSse2, zpLin16uSse2, zpLin32fSse2, zpCub8uSse2, zpCub16uSse2,
                    zpCub32fSse2);
// Slot 4 runs slot 3's linear passes; its cubic passes differ.
ZP_ROW_HELPER_TABLE(resizeRowHelpers_sse3, zpLin8uSse2, zpLin16uSse2, zpLin32fSse2, zpCub8uSse3, zpCub16uSse3,
                    zpCub32fSse3);
