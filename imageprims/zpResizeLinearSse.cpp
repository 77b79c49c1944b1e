// Linear resize passes of slot 2: 8u and 16u through 64-bit MMX registers
// (paired multiply-adds of 16-bit lanes, truncating shifts, 16-bit samples
// split into their upper 15 bits and lowest bit), 32f in SSE single
// precision. Every MMX loop ends by clearing the MMX state. The results
// equal slot 3's.
#include <mmintrin.h>
#include <xmmintrin.h>

#include <cstring>

#include "zpResizePasses.h"

namespace {

[[gnu::always_inline]] inline __m64 zpLoad32(const void* p) {
    int v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si64(v);
}

[[gnu::always_inline]] inline __m64 zpLoad64(const void* p) {
    __m64 v;
    std::memcpy(&v, p, 8);
    return v;
}

[[gnu::always_inline]] inline void zpStore32(void* p, __m64 v) {
    const int x = _mm_cvtsi64_si32(v);
    std::memcpy(p, &x, 4);
}

[[gnu::always_inline]] inline void zpStore64(void* p, __m64 v) { std::memcpy(p, &v, 8); }

// The pair (w0, w1) in both halves of a register.
[[gnu::always_inline]] inline __m64 zpPairs(const std::int16_t* w) {
    std::int32_t v;
    std::memcpy(&v, w, 4);
    return _mm_set1_pi32(v);
}

[[gnu::always_inline]] inline __m64 zpBlend8u(__m64 pairs, __m64 weights) {
    return _mm_srai_pi32(_mm_madd_pi16(pairs, weights), 8);
}

[[gnu::always_inline]] inline __m64 zpBlend16u(__m64 pairs, __m64 weights) {
    const __m64 high = _mm_madd_pi16(_mm_srli_pi16(pairs, 1), weights);
    const __m64 low = _mm_madd_pi16(_mm_and_si64(pairs, _mm_set1_pi16(1)), weights);
    return _mm_add_pi32(_mm_srai_pi32(high, 13), _mm_srai_pi32(low, 14));
}

// Two 32-bit lanes of 0..65535 each to the low two 16-bit lanes, by the
// offset pack: out of the signed range, saturating pack, back.
[[gnu::always_inline]] inline __m64 zpPackU16(__m64 lo, __m64 hi) {
    const __m64 bias = _mm_set1_pi32(32768);
    return _mm_add_pi16(_mm_packs_pi32(_mm_sub_pi32(lo, bias), _mm_sub_pi32(hi, bias)), _mm_set1_pi16(-32768));
}

int zpScalar8u(int w0, int s0, int w1, int s1) { return (w0 * s0 + w1 * s1) >> 8; }
int zpScalar16u(int w0, int s0, int w1, int s1) {
    return ((w0 * (s0 >> 1) + w1 * (s1 >> 1)) >> 13) + ((w0 * (s0 & 1) + w1 * (s1 & 1)) >> 14);
}

// One 8u pixel of up to four samples blended with its right neighbour: four
// 16-bit values.
[[gnu::always_inline]] inline __m64 zpPixel8u(__m64 left, __m64 right, __m64 weights) {
    const __m64 lr = _mm_unpacklo_pi8(left, right);
    const __m64 zero = _mm_setzero_si64();
    return _mm_packs_pi32(zpBlend8u(_mm_unpacklo_pi8(lr, zero), weights), zpBlend8u(_mm_unpackhi_pi8(lr, zero), weights));
}

[[gnu::always_inline]] inline __m64 zpPixel16u(__m64 left, __m64 right, __m64 weights) {
    return zpPackU16(zpBlend16u(_mm_unpacklo_pi16(left, right), weights),
                     zpBlend16u(_mm_unpackhi_pi16(left, right), weights));
}

__m64 zpLoad24(const std::uint8_t* p) { return _mm_cvtsi32_si64(p[0] | p[1] << 8 | p[2] << 16); }
__m64 zpLoad48(const std::uint16_t* p) { return _mm_insert_pi16(zpLoad32(p), p[2], 2); }

}  // namespace

// ---- 8u ------------------------------------------------------------------------------

void resize8u_linH1_sse(const std::uint8_t* row, int width, const std::int32_t* xIdx, const std::int16_t* w,
                        std::int16_t* buffer) {
    int i = 0;
    for (; i + 2 <= width; i += 2) {
        std::uint16_t a, b;
        std::memcpy(&a, row + xIdx[i], 2);
        std::memcpy(&b, row + xIdx[i + 1], 2);
        const __m64 pairs = _mm_unpacklo_pi8(_mm_cvtsi32_si64(a | b << 16), _mm_setzero_si64());
        const __m64 v = zpBlend8u(pairs, zpLoad64(w + 2 * i));
        zpStore32(buffer + i, _mm_packs_pi32(v, v));
    }
    _mm_empty();
    if (i < width) buffer[i] = static_cast<std::int16_t>(zpScalar8u(w[2 * i], row[xIdx[i]], w[2 * i + 1], row[xIdx[i] + 1]));
}

void resize8u_linH4_sse(const std::uint8_t* row, int width, const std::int32_t* xIdx, const std::int16_t* w,
                        std::int16_t* buffer) {
    for (int i = 0; i < width; ++i) {
        const std::uint8_t* s = row + xIdx[i];
        zpStore64(buffer + 4 * i, zpPixel8u(zpLoad32(s), zpLoad32(s + 4), zpPairs(w + 2 * i)));
    }
    _mm_empty();
}

void resize8u_linH3_sse(const std::uint8_t* row, int width, int pixelStep, const std::int32_t* xIdx,
                        const std::int16_t* w, std::int16_t* buffer) {
    for (int i = 0; i < width; ++i) {
        const std::uint8_t* s = row + xIdx[i];
        const __m64 right = pixelStep == 3 ? zpLoad24(s + 3) : zpLoad32(s + 4);
        const __m64 v = zpPixel8u(pixelStep == 3 ? zpLoad24(s) : zpLoad32(s), right, zpPairs(w + 2 * i));
        zpStore32(buffer + 3 * i, v);
        buffer[3 * i + 2] = static_cast<std::int16_t>(_mm_extract_pi16(v, 2));
    }
    _mm_empty();
}

namespace {

// Four 8u results of rows a and b: (a (16384 - wy) + b wy) >> 20, in 0..255.
[[gnu::always_inline]] inline __m64 zpV8u(const std::int16_t* a, const std::int16_t* b, __m64 weights) {
    const __m64 x = zpLoad64(a), y = zpLoad64(b);
    const __m64 lo = _mm_srai_pi32(_mm_madd_pi16(_mm_unpacklo_pi16(x, y), weights), 20);
    const __m64 hi = _mm_srai_pi32(_mm_madd_pi16(_mm_unpackhi_pi16(x, y), weights), 20);
    const __m64 words = _mm_packs_pi32(lo, hi);
    return _mm_packs_pu16(words, words);
}

__m64 zpRowPair(int wy) { return _mm_set1_pi32((16384 - wy) | wy << 16); }

int zpScalarV8u(int wy, int a, int b) { return (a * (16384 - wy) + b * wy) >> 20; }

}  // namespace

void resize8u_linV_sse(std::uint8_t* dst, int count, int wy, const std::int16_t* a, const std::int16_t* b) {
    const __m64 weights = zpRowPair(wy);
    int i = 0;
    for (; i + 4 <= count; i += 4) zpStore32(dst + i, zpV8u(a + i, b + i, weights));
    _mm_empty();
    for (; i < count; ++i) dst[i] = static_cast<std::uint8_t>(zpScalarV8u(wy, a[i], b[i]));
}

void resize8u_linVA_sse(std::uint8_t* dst, int width, int wy, const std::int16_t* a, const std::int16_t* b) {
    const __m64 weights = zpRowPair(wy);
    // One pixel a step from four values of each buffer (one past the pixel's
    // three, in the buffer's slack); channels 0 and 1 stored as a pair, 2 alone.
    for (int i = 0; i < width; ++i) {
        const int v = _mm_cvtsi64_si32(zpV8u(a + 3 * i, b + 3 * i, weights));
        std::uint8_t* d = dst + 4 * i;
        d[0] = static_cast<std::uint8_t>(v);
        d[1] = static_cast<std::uint8_t>(v >> 8);
        d[2] = static_cast<std::uint8_t>(v >> 16);
    }
    _mm_empty();
}

// ---- 16u -----------------------------------------------------------------------------

void resize16u_linH1_sse(const std::uint16_t* row, int width, const std::int32_t* xIdx, const std::int16_t* w,
                         std::uint16_t* buffer) {
    int i = 0;
    for (; i + 2 <= width; i += 2) {
        const __m64 pairs = _mm_unpacklo_pi32(zpLoad32(row + xIdx[i]), zpLoad32(row + xIdx[i + 1]));
        const __m64 v = zpBlend16u(pairs, zpLoad64(w + 2 * i));
        zpStore32(buffer + i, zpPackU16(v, v));
    }
    _mm_empty();
    if (i < width)
        buffer[i] = static_cast<std::uint16_t>(zpScalar16u(w[2 * i], row[xIdx[i]], w[2 * i + 1], row[xIdx[i] + 1]));
}

void resize16u_linH4_sse(const std::uint16_t* row, int width, const std::int32_t* xIdx, const std::int16_t* w,
                         std::uint16_t* buffer) {
    for (int i = 0; i < width; ++i) {
        const std::uint16_t* s = row + xIdx[i];
        zpStore64(buffer + 4 * i, zpPixel16u(zpLoad64(s), zpLoad64(s + 4), zpPairs(w + 2 * i)));
    }
    _mm_empty();
}

void resize16u_linH3_sse(const std::uint16_t* row, int width, int pixelStep, const std::int32_t* xIdx,
                         const std::int16_t* w, std::uint16_t* buffer) {
    for (int i = 0; i < width; ++i) {
        const std::uint16_t* s = row + xIdx[i];
        const __m64 right = pixelStep == 3 ? zpLoad48(s + 3) : zpLoad64(s + 4);
        const __m64 v = zpPixel16u(pixelStep == 3 ? zpLoad48(s) : zpLoad64(s), right, zpPairs(w + 2 * i));
        zpStore32(buffer + 3 * i, v);
        buffer[3 * i + 2] = static_cast<std::uint16_t>(_mm_extract_pi16(v, 2));
    }
    _mm_empty();
}

namespace {

[[gnu::always_inline]] inline __m64 zpV16u(const std::uint16_t* a, const std::uint16_t* b, __m64 weights) {
    const __m64 x = zpLoad64(a), y = zpLoad64(b);
    return zpPackU16(zpBlend16u(_mm_unpacklo_pi16(x, y), weights), zpBlend16u(_mm_unpackhi_pi16(x, y), weights));
}

int zpScalarV16u(int wy, int a, int b) {
    return (((16384 - wy) * (a >> 1) + wy * (b >> 1)) >> 13) + (((16384 - wy) * (a & 1) + wy * (b & 1)) >> 14);
}

}  // namespace

void resize16u_linV_sse(std::uint16_t* dst, int count, int wy, const std::uint16_t* a, const std::uint16_t* b) {
    const __m64 weights = zpRowPair(wy);
    int i = 0;
    for (; i + 4 <= count; i += 4) zpStore64(dst + i, zpV16u(a + i, b + i, weights));
    _mm_empty();
    for (; i < count; ++i) dst[i] = static_cast<std::uint16_t>(zpScalarV16u(wy, a[i], b[i]));
}

void resize16u_linVA_sse(std::uint16_t* dst, int width, int wy, const std::uint16_t* a, const std::uint16_t* b) {
    const __m64 weights = zpRowPair(wy);
    for (int i = 0; i < width; ++i) {
        const __m64 v = zpV16u(a + 3 * i, b + 3 * i, weights);
        zpStore32(dst + 4 * i, v);
        dst[4 * i + 2] = static_cast<std::uint16_t>(_mm_extract_pi16(v, 2));
    }
    _mm_empty();
}

// ---- 32f -----------------------------------------------------------------------------

void resize32f_linH1Inner_sse(const float* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
    for (int i = 0; i < width; i += 4) {
        const __m128 ab = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(row + xIdx[i])),
                                       reinterpret_cast<const __m64*>(row + xIdx[i + 1]));
        const __m128 cd = _mm_loadh_pi(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(row + xIdx[i + 2])),
                                       reinterpret_cast<const __m64*>(row + xIdx[i + 3]));
        _mm_prefetch(reinterpret_cast<const char*>(row + xIdx[i + 3] + 8), _MM_HINT_NTA);
        const __m128 left = _mm_shuffle_ps(ab, cd, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 right = _mm_shuffle_ps(ab, cd, _MM_SHUFFLE(3, 1, 3, 1));
        _mm_storeu_ps(buffer + i, _mm_add_ps(left, _mm_mul_ps(_mm_sub_ps(right, left), _mm_loadu_ps(t + i))));
    }
}

void resize32f_linH1_sse(const float* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
    const int bulk = width & ~3;
    if (bulk) resize32f_linH1Inner_sse(row, bulk, xIdx, t, buffer);
    for (int i = bulk; i < width; ++i) {
        const float* s = row + xIdx[i];
        buffer[i] = s[0] + (s[1] - s[0]) * t[i];
    }
}

void resize32f_linH3_sse(const float* row, int width, int pixelStep, const std::int32_t* xIdx, const float* t,
                         float* buffer) {
    for (int i = 0; i < width; ++i) {
        const float* s = row + xIdx[i];
        for (int c = 0; c < 3; ++c) buffer[3 * i + c] = s[c] + (s[c + pixelStep] - s[c]) * t[i];
    }
}

void resize32f_linH4_sse(const float* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
    for (int i = 0; i < width; ++i) {
        const float* s = row + xIdx[i];
        for (int c = 0; c < 4; ++c) buffer[4 * i + c] = s[c] + (s[c + 4] - s[c]) * t[i];
    }
}

void resize32f_linVInner_sse(float* dst, int count, float wy, const float* a, const float* b) {
    const __m128 w1 = _mm_set1_ps(wy);
    const __m128 w0 = _mm_set1_ps(1.0f - wy);
    for (int i = 0; i < count; i += 4)
        _mm_storeu_ps(dst + i, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(a + i), w0), _mm_mul_ps(_mm_loadu_ps(b + i), w1)));
}

void resize32f_linV_sse(float* dst, int count, float wy, const float* a, const float* b) {
    const int bulk = count & ~3;
    if (bulk) resize32f_linVInner_sse(dst, bulk, wy, a, b);
    const float w0 = 1.0f - wy;
    for (int i = bulk; i < count; ++i) dst[i] = a[i] * w0 + b[i] * wy;
}

void resize32f_linVA_sse(float* dst, int width, float wy, const float* a, const float* b) {
    const float w0 = 1.0f - wy;
    for (int i = 0; i < width; ++i)
        for (int c = 0; c < 3; ++c) dst[4 * i + c] = a[3 * i + c] * w0 + b[3 * i + c] * wy;
}
