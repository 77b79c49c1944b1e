// Linear resize passes of slots 3 and 4 (SSE2). Integer samples: Q14 weights
// through paired multiply-adds of 16-bit lanes, truncating shifts with no
// rounding term (one level at most below the generic result per pass);
// 16-bit samples split into their upper 15 bits and their lowest bit so
// every lane fits a signed multiplier. Float samples: single precision,
// every operation rounded.
#include <emmintrin.h>

#include <cstring>

#include "zpResizePasses.h"

namespace {

__m128i zpLoad32(const void* p) {
    int v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

// Three 8-bit samples in the low bytes, nothing read past them.
__m128i zpLoad24(const std::uint8_t* p) { return _mm_cvtsi32_si128(p[0] | p[1] << 8 | p[2] << 16); }

// Three 16-bit samples in the low lanes, nothing read past them.
__m128i zpLoad48(const std::uint16_t* p) { return _mm_insert_epi16(zpLoad32(p), p[2], 2); }

__m128i zpLoad64(const void* p) { return _mm_loadl_epi64(static_cast<const __m128i*>(p)); }

// 0..65535 in 32-bit lanes to 16-bit lanes: offset into the signed range,
// pack with signed saturation, offset back.
__m128i zpPackU16(__m128i lo, __m128i hi) {
    const __m128i bias32 = _mm_set1_epi32(32768);
    const __m128i bias16 = _mm_set1_epi16(-32768);
    return _mm_add_epi16(_mm_packs_epi32(_mm_sub_epi32(lo, bias32), _mm_sub_epi32(hi, bias32)), bias16);
}

// 8u: interleaved (left, right) 16-bit lanes times their (w0, w1) pairs, >> 8.
__m128i zpBlend8u(__m128i pairs, __m128i weights) { return _mm_srai_epi32(_mm_madd_epi16(pairs, weights), 8); }

// 16u: the same lanes split as s >> 1 (weights >> 13) and s & 1 (>> 14).
__m128i zpBlend16u(__m128i pairs, __m128i weights) {
    const __m128i high = _mm_madd_epi16(_mm_srli_epi16(pairs, 1), weights);
    const __m128i low = _mm_madd_epi16(_mm_and_si128(pairs, _mm_set1_epi16(1)), weights);
    return _mm_add_epi32(_mm_srai_epi32(high, 13), _mm_srai_epi32(low, 14));
}

std::int32_t zpPair(const std::int16_t* w) {
    std::int32_t v;
    std::memcpy(&v, w, 4);
    return v;
}

int zpScalar8u(int w0, int s0, int w1, int s1) { return (w0 * s0 + w1 * s1) >> 8; }
int zpScalar16u(int w0, int s0, int w1, int s1) {
    return ((w0 * (s0 >> 1) + w1 * (s1 >> 1)) >> 13) + ((w0 * (s0 & 1) + w1 * (s1 & 1)) >> 14);
}

// One pixel's left and right samples as interleaved 16-bit lanes.
__m128i zpPixelPairs8u(__m128i left, __m128i right) {
    return _mm_unpacklo_epi8(_mm_unpacklo_epi8(left, right), _mm_setzero_si128());
}

// Multi-channel 8u: two columns a step, `stored` of their four values each.
template <int stored>
void zpLinHn8u(const std::uint8_t* row, int width, int p, const std::int32_t* xIdx, const std::int16_t* w,
               std::int16_t* buffer) {
    const auto pixel = [&](int i) {
        const std::uint8_t* s = row + xIdx[i];
        const __m128i right = p == 3 ? zpLoad24(s + 3) : zpLoad32(s + p);
        return zpBlend8u(zpPixelPairs8u(zpLoad32(s), right), _mm_set1_epi32(zpPair(w + 2 * i)));
    };
    int i = 0;
    for (; i + 2 <= width; i += 2) {
        const __m128i v = _mm_packs_epi32(pixel(i), pixel(i + 1));
        if (stored == 4) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + 4 * i), v);
        } else {
            // Four values a column: the fourth is overwritten by the next
            // column's first, the last one lands in the buffer's slack.
            _mm_storel_epi64(reinterpret_cast<__m128i*>(buffer + 3 * i), v);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(buffer + 3 * i + 3), _mm_unpackhi_epi64(v, v));
        }
    }
    for (; i < width; ++i) {
        const std::uint8_t* s = row + xIdx[i];
        for (int c = 0; c < stored; ++c) buffer[stored * i + c] = static_cast<std::int16_t>(zpScalar8u(w[2 * i], s[c], w[2 * i + 1], s[c + p]));
    }
}

template <int stored>
void zpLinHn16u(const std::uint16_t* row, int width, int p, const std::int32_t* xIdx, const std::int16_t* w,
                std::uint16_t* buffer) {
    const auto pixel = [&](int i) {
        const std::uint16_t* s = row + xIdx[i];
        const __m128i left = zpLoad64(s);
        const __m128i right = p == 3 ? zpLoad48(s + 3) : zpLoad64(s + p);
        return zpBlend16u(_mm_unpacklo_epi16(left, right), _mm_set1_epi32(zpPair(w + 2 * i)));
    };
    int i = 0;
    for (; i + 2 <= width; i += 2) {
        const __m128i v = zpPackU16(pixel(i), pixel(i + 1));
        if (stored == 4) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + 4 * i), v);
        } else {
            _mm_storel_epi64(reinterpret_cast<__m128i*>(buffer + 3 * i), v);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(buffer + 3 * i + 3), _mm_unpackhi_epi64(v, v));
        }
    }
    for (; i < width; ++i) {
        const std::uint16_t* s = row + xIdx[i];
        for (int c = 0; c < stored; ++c)
            buffer[stored * i + c] = static_cast<std::uint16_t>(zpScalar16u(w[2 * i], s[c], w[2 * i + 1], s[c + p]));
    }
}

// Vertical integer passes: eight samples a step into `out`, which keeps
// them as 16-bit lanes; the caller stores them.
template <typename Buffer, typename Blend>
__m128i zpLinV8(const Buffer* a, const Buffer* b, __m128i weights, Blend blend) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    return _mm_packs_epi32(blend(_mm_unpacklo_epi16(x, y), weights), blend(_mm_unpackhi_epi16(x, y), weights));
}

__m128i zpV8u(__m128i pairs, __m128i weights) { return _mm_srai_epi32(_mm_madd_epi16(pairs, weights), 20); }

__m128i zpV16u(__m128i pairs, __m128i weights) { return zpBlend16u(pairs, weights); }

__m128i zpRowPair(int wy) { return _mm_set1_epi32((16384 - wy) | wy << 16); }

}  // namespace

// ---- 8u ------------------------------------------------------------------------------

void resize8u_linH1_sse2(const std::uint8_t* row, int width, const std::int32_t* xIdx, const std::int16_t* w,
                         std::int16_t* buffer) {
    int i = 0;
    for (; i + 8 <= width; i += 8) {
        // Each column's two neighbours as one 16-bit load, inserted lane by
        // lane (no trip through memory).
        const auto pair = [&](int k) {
            std::uint16_t v;
            std::memcpy(&v, row + xIdx[i + k], 2);
            return static_cast<short>(v);
        };
        const __m128i v = _mm_setr_epi16(pair(0), pair(1), pair(2), pair(3), pair(4), pair(5), pair(6), pair(7));
        const __m128i zero = _mm_setzero_si128();
        const __m128i lo = zpBlend8u(_mm_unpacklo_epi8(v, zero), _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 2 * i)));
        const __m128i hi = zpBlend8u(_mm_unpackhi_epi8(v, zero), _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 2 * i + 8)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + i), _mm_packs_epi32(lo, hi));
    }
    for (; i < width; ++i) {
        const std::uint8_t* s = row + xIdx[i];
        buffer[i] = static_cast<std::int16_t>(zpScalar8u(w[2 * i], s[0], w[2 * i + 1], s[1]));
    }
}

void resize8u_linH3_sse2(const std::uint8_t* row, int width, int pixelStep, const std::int32_t* xIdx,
                         const std::int16_t* w, std::int16_t* buffer) {
    zpLinHn8u<3>(row, width, pixelStep, xIdx, w, buffer);
}

void resize8u_linH4_sse2(const std::uint8_t* row, int width, const std::int32_t* xIdx, const std::int16_t* w,
                         std::int16_t* buffer) {
    zpLinHn8u<4>(row, width, 4, xIdx, w, buffer);
}

void resize8u_linV_sse2(std::uint8_t* dst, int count, int wy, const std::int16_t* a, const std::int16_t* b) {
    const __m128i weights = zpRowPair(wy);
    int i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i v = zpLinV8(a + i, b + i, weights, zpV8u);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(v, v));
    }
    for (; i < count; ++i) {
        const int v = (a[i] * (16384 - wy) + b[i] * wy) >> 20;
        dst[i] = static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
}

void resize8u_linVA_sse2(std::uint8_t* dst, int width, int wy, const std::int16_t* a, const std::int16_t* b) {
    const __m128i weights = zpRowPair(wy);
    const __m128i keep = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    int i = 0;
    // Four pixels (twelve values) a step, merged with the destination's
    // alpha bytes and written as whole pixels.
    for (; i + 4 <= width; i += 4) {
        alignas(16) std::uint8_t v[16];
        const __m128i lo = zpLinV8(a + 3 * i, b + 3 * i, weights, zpV8u);
        const __m128i hi = zpLinV8(a + 3 * i + 8, b + 3 * i + 8, weights, zpV8u);
        _mm_store_si128(reinterpret_cast<__m128i*>(v), _mm_packus_epi16(lo, hi));
        alignas(16) std::uint8_t px[16];
        for (int k = 0; k < 4; ++k) {
            px[4 * k] = v[3 * k];
            px[4 * k + 1] = v[3 * k + 1];
            px[4 * k + 2] = v[3 * k + 2];
            px[4 * k + 3] = 0;
        }
        __m128i* d = reinterpret_cast<__m128i*>(dst + 4 * i);
        const __m128i old = _mm_loadu_si128(d);
        _mm_storeu_si128(d, _mm_or_si128(_mm_and_si128(old, keep), _mm_load_si128(reinterpret_cast<const __m128i*>(px))));
    }
    for (; i < width; ++i)
        for (int c = 0; c < 3; ++c) {
            const int v = (a[3 * i + c] * (16384 - wy) + b[3 * i + c] * wy) >> 20;
            dst[4 * i + c] = static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
}

// ---- 16u -----------------------------------------------------------------------------

void resize16u_linH1_sse2(const std::uint16_t* row, int width, const std::int32_t* xIdx, const std::int16_t* w,
                          std::uint16_t* buffer) {
    int i = 0;
    for (; i + 8 <= width; i += 8) {
        // Each column's two neighbours as one 32-bit load.
        __m128i half[2];
        for (int h = 0; h < 2; ++h) {
            const auto pair = [&](int k) {
                int v;
                std::memcpy(&v, row + xIdx[i + 4 * h + k], 4);
                return v;
            };
            half[h] = zpBlend16u(_mm_setr_epi32(pair(0), pair(1), pair(2), pair(3)),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i*>(w + 2 * i + 8 * h)));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(buffer + i), zpPackU16(half[0], half[1]));
    }
    for (; i < width; ++i) {
        const std::uint16_t* s = row + xIdx[i];
        buffer[i] = static_cast<std::uint16_t>(zpScalar16u(w[2 * i], s[0], w[2 * i + 1], s[1]));
    }
}

void resize16u_linH3_sse2(const std::uint16_t* row, int width, int pixelStep, const std::int32_t* xIdx,
                          const std::int16_t* w, std::uint16_t* buffer) {
    zpLinHn16u<3>(row, width, pixelStep, xIdx, w, buffer);
}

void resize16u_linH4_sse2(const std::uint16_t* row, int width, const std::int32_t* xIdx, const std::int16_t* w,
                          std::uint16_t* buffer) {
    zpLinHn16u<4>(row, width, 4, xIdx, w, buffer);
}

namespace {

int zpScalarV16u(int wy, int a, int b) {
    return (((16384 - wy) * (a >> 1) + wy * (b >> 1)) >> 13) + (((16384 - wy) * (a & 1) + wy * (b & 1)) >> 14);
}

// Eight 16-bit results from the buffers, each in 0..65535.
__m128i zpLinV16u8(const std::uint16_t* a, const std::uint16_t* b, __m128i weights) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    return zpPackU16(zpV16u(_mm_unpacklo_epi16(x, y), weights), zpV16u(_mm_unpackhi_epi16(x, y), weights));
}

}  // namespace

void resize16u_linV_sse2(std::uint16_t* dst, int count, int wy, const std::uint16_t* a, const std::uint16_t* b) {
    const __m128i weights = zpRowPair(wy);
    int i = 0;
    for (; i + 8 <= count; i += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), zpLinV16u8(a + i, b + i, weights));
    for (; i < count; ++i) dst[i] = static_cast<std::uint16_t>(zpScalarV16u(wy, a[i], b[i]));
}

void resize16u_linVA_sse2(std::uint16_t* dst, int width, int wy, const std::uint16_t* a, const std::uint16_t* b) {
    const __m128i weights = zpRowPair(wy);
    int i = 0;
    // Eight pixels (24 values) a step; the fourth sample of each
    // destination pixel is not touched.
    for (; i + 8 <= width; i += 8) {
        alignas(16) std::uint16_t v[24];
        for (int k = 0; k < 3; ++k)
            _mm_store_si128(reinterpret_cast<__m128i*>(v + 8 * k), zpLinV16u8(a + 3 * i + 8 * k, b + 3 * i + 8 * k, weights));
        for (int k = 0; k < 8; ++k) std::memcpy(dst + 4 * (i + k), v + 3 * k, 6);
    }
    for (; i < width; ++i)
        for (int c = 0; c < 3; ++c) dst[4 * i + c] = static_cast<std::uint16_t>(zpScalarV16u(wy, a[3 * i + c], b[3 * i + c]));
}

// ---- 32f -----------------------------------------------------------------------------

void resize32f_linH1Inner_sse2(const float* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
    for (int i = 0; i < width; i += 4) {
        // Two columns' pairs per register, then left and right separated.
        const __m128 ab = _mm_loadh_pi(_mm_castsi128_ps(zpLoad64(row + xIdx[i])),
                                       reinterpret_cast<const __m64*>(row + xIdx[i + 1]));
        const __m128 cd = _mm_loadh_pi(_mm_castsi128_ps(zpLoad64(row + xIdx[i + 2])),
                                       reinterpret_cast<const __m64*>(row + xIdx[i + 3]));
        const __m128 left = _mm_shuffle_ps(ab, cd, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 right = _mm_shuffle_ps(ab, cd, _MM_SHUFFLE(3, 1, 3, 1));
        const __m128 v = _mm_add_ps(left, _mm_mul_ps(_mm_sub_ps(right, left), _mm_loadu_ps(t + i)));
        _mm_storeu_ps(buffer + i, v);
    }
}

void resize32f_linH1_sse2(const float* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
    const int bulk = width & ~3;
    if (bulk) resize32f_linH1Inner_sse2(row, bulk, xIdx, t, buffer);
    for (int i = bulk; i < width; ++i) {
        const float* s = row + xIdx[i];
        buffer[i] = s[0] + (s[1] - s[0]) * t[i];
    }
}

namespace {

// Three floats at p, nothing read past them.
__m128 zpLoad3f(const float* p) { return _mm_movelh_ps(_mm_castsi128_ps(zpLoad64(p)), _mm_load_ss(p + 2)); }

}  // namespace

void resize32f_linH3_sse2(const float* row, int width, int pixelStep, const std::int32_t* xIdx, const float* t,
                          float* buffer) {
    for (int i = 0; i < width; ++i) {
        const float* s = row + xIdx[i];
        const __m128 left = pixelStep == 3 ? zpLoad3f(s) : _mm_loadu_ps(s);
        const __m128 right = pixelStep == 3 ? zpLoad3f(s + 3) : _mm_loadu_ps(s + 4);
        const __m128 v = _mm_add_ps(left, _mm_mul_ps(_mm_sub_ps(right, left), _mm_set1_ps(t[i])));
        // Four floats stored, the fourth overwritten by the next column or
        // left in the buffer's slack.
        _mm_storeu_ps(buffer + 3 * i, v);
    }
}

void resize32f_linH4_sse2(const float* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
    for (int i = 0; i < width; ++i) {
        const float* s = row + xIdx[i];
        const __m128 left = _mm_loadu_ps(s);
        _mm_storeu_ps(buffer + 4 * i, _mm_add_ps(left, _mm_mul_ps(_mm_sub_ps(_mm_loadu_ps(s + 4), left), _mm_set1_ps(t[i]))));
    }
}

void resize32f_linVInner_sse2(float* dst, int count, float wy, const float* a, const float* b) {
    const __m128 w1 = _mm_set1_ps(wy);
    const __m128 w0 = _mm_set1_ps(1.0f - wy);
    for (int i = 0; i < count; i += 4)
        _mm_storeu_ps(dst + i, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(a + i), w0), _mm_mul_ps(_mm_loadu_ps(b + i), w1)));
}

void resize32f_linV_sse2(float* dst, int count, float wy, const float* a, const float* b) {
    const int bulk = count & ~3;
    if (bulk) resize32f_linVInner_sse2(dst, bulk, wy, a, b);
    const float w0 = 1.0f - wy;
    for (int i = bulk; i < count; ++i) dst[i] = a[i] * w0 + b[i] * wy;
}

void resize32f_linVA_sse2(float* dst, int width, float wy, const float* a, const float* b) {
    const float w0 = 1.0f - wy;
    for (int i = 0; i < width; ++i)
        for (int c = 0; c < 3; ++c) dst[4 * i + c] = a[3 * i + c] * w0 + b[3 * i + c] * wy;
}
