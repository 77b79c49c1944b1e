// The cubic passes of slots 2 to 4 written once: the single-precision
// arithmetic over SSE registers, the scalar remainder, and the blocking of
// each pass. An instruction policy Io supplies what differs between the
// slots' instruction sets: gathering integer taps into floats and turning
// four results into integers (round to nearest, saturated).
//
//   Io::taps(const T* p)        the four samples p[0..3] as floats
//   Io::pixel4(p), pixel3(p)    p[0..3], or p[0..2] and 0, as floats
//   Io::round8u(v, out)         four bytes, Io::round16u(v, out) four words
//   Io::done()                  clears any MMX state after a loop
//
// Included only by the slot sources; everything here is internal to each.
#pragma once

#include <xmmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace {

inline float zpFloatBits(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

// Scalar weights and evaluation, every operation in single precision.
// Slot 4 divides by 2 and 3; slots 2 and 3 multiply by 0.5 and by the float
// nearest one third.
template <bool divides>
struct zpCubicScalar {
    float a, c2, c3;
    explicit zpCubicScalar(float t) {
        a = 1.0f + t;
        if (divides) {
            c2 = (t * a) / 2.0f;
            c3 = ((t - 1.0f) * c2) / 3.0f;
        } else {
            c2 = (a * t) * 0.5f;
            c3 = ((t - 1.0f) * c2) * zpFloatBits(0x3EAAAAABu);
        }
    }
    float horizontal(float p0, float p1, float p2, float p3) const {
        const float d1 = p1 - p0;
        const float d2 = (p2 - p1) - d1;
        const float d3 = ((p1 - 2.0f * p2) + p3) - d2;
        return ((p0 + c3 * d3) + c2 * d2) + a * d1;
    }
    // The horizontal form over four lanes at once, operation for operation.
    __m128 horizontalLanes(__m128 p0, __m128 p1, __m128 p2, __m128 p3) const {
        const __m128 d1 = _mm_sub_ps(p1, p0);
        const __m128 d2 = _mm_sub_ps(_mm_sub_ps(p2, p1), d1);
        const __m128 d3 = _mm_sub_ps(_mm_add_ps(_mm_sub_ps(p1, _mm_add_ps(p2, p2)), p3), d2);
        return _mm_add_ps(_mm_add_ps(_mm_add_ps(p0, _mm_mul_ps(_mm_set1_ps(c3), d3)), _mm_mul_ps(_mm_set1_ps(c2), d2)),
                          _mm_mul_ps(_mm_set1_ps(a), d1));
    }
    float vertical(float p0, float p1, float p2, float p3) const {
        const float d1 = p1 - p0;
        const float d2 = (p2 - p1) - d1;
        const float d3 = (((p3 - p2) - p2) + p1) - d2;
        return ((p0 + c3 * d3) + c2 * d2) + a * d1;
    }
};

// Vector weights: k is one unit in the last place below the float nearest
// one third, and the horizontal and vertical kernels group c3 differently.
struct zpCubicVector {
    __m128 a, c2, c3;
    zpCubicVector(__m128 t, bool horizontal) {
        const __m128 one = _mm_set1_ps(1.0f);
        const __m128 k = _mm_set1_ps(zpFloatBits(0x3EAAAAAAu));
        a = _mm_add_ps(t, one);
        c2 = _mm_mul_ps(_mm_mul_ps(t, _mm_set1_ps(0.5f)), a);
        c3 = horizontal ? _mm_mul_ps(_mm_sub_ps(t, one), _mm_mul_ps(c2, k))
                        : _mm_mul_ps(_mm_mul_ps(_mm_sub_ps(t, one), k), c2);
    }
    __m128 sum(__m128 p0, __m128 d1, __m128 d2, __m128 d3) const {
        return _mm_add_ps(_mm_add_ps(p0, _mm_mul_ps(a, d1)), _mm_add_ps(_mm_mul_ps(c2, d2), _mm_mul_ps(c3, d3)));
    }
    __m128 horizontal(__m128 p0, __m128 p1, __m128 p2, __m128 p3) const {
        const __m128 d1 = _mm_sub_ps(p1, p0);
        const __m128 d2 = _mm_sub_ps(_mm_sub_ps(p2, p1), d1);
        const __m128 d3 = _mm_add_ps(_mm_sub_ps(_mm_sub_ps(p3, p2), p2), _mm_sub_ps(p1, d2));
        return sum(p0, d1, d2, d3);
    }
    __m128 vertical(__m128 p0, __m128 p1, __m128 p2, __m128 p3) const {
        const __m128 d1 = _mm_sub_ps(p1, p0);
        const __m128 d2 = _mm_sub_ps(_mm_sub_ps(p2, p1), d1);
        const __m128 d3 = _mm_add_ps(_mm_sub_ps(p3, d2), _mm_sub_ps(_mm_sub_ps(p1, p2), p2));
        return sum(p0, d1, d2, d3);
    }
};

// Scalar integer results: trunc(double(v) + 1e-7), held to the type's range.
template <typename T>
T zpCubicStore(float v) {
    if constexpr (std::is_same_v<T, float>) {
        return v;
    } else {
        constexpr double kMax = sizeof(T) == 1 ? 255.0 : 65535.0;
        const double t = std::trunc(double(v) + 1e-7);
        return static_cast<T>(t > 0.0 ? (t < kMax ? t : kMax) : 0.0);
    }
}

// Four vector results stored as T: integers rounded to nearest after adding
// 1e-5 and saturated, floats as they are.
template <class Io, typename T>
void zpCubicStore4(T* out, __m128 v) {
    if constexpr (std::is_same_v<T, float>) {
        _mm_storeu_ps(out, v);
    } else {
        v = _mm_add_ps(v, _mm_set1_ps(zpFloatBits(0x3727C5ACu)));
        if constexpr (sizeof(T) == 1) Io::round8u(v, out);
        else Io::round16u(v, out);
    }
}

template <class Io, bool divides, bool h4Vector, typename T>
struct zpCubicPasses {
    static constexpr bool kInteger = !std::is_same_v<T, float>;

    // One channel: the four taps of each column from one load at the first
    // tap, four columns transposed into tap vectors.
    static void h1Inner(const T* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
        for (int i = 0; i < width; i += 4) {
            __m128 c0 = Io::taps(row + xIdx[i] - 1), c1 = Io::taps(row + xIdx[i + 1] - 1);
            __m128 c2 = Io::taps(row + xIdx[i + 2] - 1), c3 = Io::taps(row + xIdx[i + 3] - 1);
            _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
            const zpCubicVector w(_mm_loadu_ps(t + i), true);
            _mm_storeu_ps(buffer + i, w.horizontal(c0, c1, c2, c3));
        }
        Io::done();
    }

    static void h1(const T* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
        const int bulk = width & ~3;
        if (bulk) h1Inner(row, bulk, xIdx, t, buffer);
        for (int i = bulk; i < width; ++i) {
            const T* s = row + xIdx[i];
            buffer[i] = zpCubicScalar<divides>(t[i]).horizontal(s[-1], s[0], s[1], s[2]);
        }
    }

    // Several channels, one column at a time with its channels in the
    // lanes: each lane runs the operations the per-sample form runs for its
    // sample, so the layout changes no bit. The first width & ~3 columns take
    // the vector form (when `vector`), the rest the scalar one.
    static void hn(const T* row, int width, int p, int channels, bool vector, const std::int32_t* xIdx,
                   const float* t, float* buffer) {
        const int bulk = vector ? width & ~3 : 0;
        const bool whole = p == 4;  // four samples a pixel: a tap loads four
        for (int i = 0; i < width; ++i) {
            const T* s = row + xIdx[i];
            const __m128 p0 = whole ? Io::pixel4(s - p) : Io::pixel3(s - p);
            const __m128 p1 = whole ? Io::pixel4(s) : Io::pixel3(s);
            const __m128 p2 = whole ? Io::pixel4(s + p) : Io::pixel3(s + p);
            const __m128 p3 = whole ? Io::pixel4(s + 2 * p) : Io::pixel3(s + 2 * p);
            const __m128 v = i < bulk ? zpCubicVector(_mm_set1_ps(t[i]), true).horizontal(p0, p1, p2, p3)
                                      : zpCubicScalar<divides>(t[i]).horizontalLanes(p0, p1, p2, p3);
            // Four values stored: with three channels the fourth is
            // overwritten by the next column or lands in the row's slack.
            _mm_storeu_ps(buffer + i * channels, v);
        }
        Io::done();
    }

    static void h3(const T* row, int width, int p, const std::int32_t* xIdx, const float* t, float* buffer) {
        hn(row, width, p, 3, true, xIdx, t, buffer);
    }

    static void h4(const T* row, int width, const std::int32_t* xIdx, const float* t, float* buffer) {
        hn(row, width, 4, 4, h4Vector || !kInteger, xIdx, t, buffer);
    }

    static void vInner(T* dst, int count, float t, const float* b0, const float* b1, const float* b2,
                       const float* b3) {
        const zpCubicVector w(_mm_set1_ps(t), false);
        for (int i = 0; i < count; i += 4)
            zpCubicStore4<Io>(dst + i, w.vertical(_mm_loadu_ps(b0 + i), _mm_loadu_ps(b1 + i), _mm_loadu_ps(b2 + i),
                                                  _mm_loadu_ps(b3 + i)));
        Io::done();
    }

    static void v(T* dst, int count, float t, const float* b0, const float* b1, const float* b2, const float* b3) {
        const int bulk = count & ~3;
        if (bulk) vInner(dst, bulk, t, b0, b1, b2, b3);
        const zpCubicScalar<divides> w(t);
        for (int i = bulk; i < count; ++i) dst[i] = zpCubicStore<T>(w.vertical(b0[i], b1[i], b2[i], b3[i]));
    }

    // Three of four: the buffers are a flat run of 3 * width values; value n
    // goes to destination sample (n / 3) * 4 + n % 3. Floats are scalar
    // throughout.
    static void va(T* dst, int width, float t, const float* b0, const float* b1, const float* b2, const float* b3) {
        const int count = 3 * width;
        const int bulk = kInteger ? count & ~3 : 0;
        if (bulk) {
            const zpCubicVector w(_mm_set1_ps(t), false);
            for (int n = 0; n < bulk; n += 4) {
                T v[4];
                zpCubicStore4<Io>(v, w.vertical(_mm_loadu_ps(b0 + n), _mm_loadu_ps(b1 + n), _mm_loadu_ps(b2 + n),
                                                _mm_loadu_ps(b3 + n)));
                for (int k = 0; k < 4; ++k) dst[(n + k) / 3 * 4 + (n + k) % 3] = v[k];
            }
            Io::done();
        }
        const zpCubicScalar<divides> w(t);
        for (int n = bulk; n < count; ++n) dst[n / 3 * 4 + n % 3] = zpCubicStore<T>(w.vertical(b0[n], b1[n], b2[n], b3[n]));
    }
};

}  // namespace

// The fifteen named passes of one slot from its policy.
#define ZP_DEFINE_CUBIC_PASSES_OF(T, type, suffix, Io, divides, h4Vector)                                         \
    void resize##type##_cubH1_##suffix(const T* r, int n, const std::int32_t* x, const float* t, float* b) {      \
        zpCubicPasses<Io, divides, h4Vector, T>::h1(r, n, x, t, b);                                               \
    }                                                                                                             \
    void resize##type##_cubH3_##suffix(const T* r, int n, int p, const std::int32_t* x, const float* t, float* b) { \
        zpCubicPasses<Io, divides, h4Vector, T>::h3(r, n, p, x, t, b);                                            \
    }                                                                                                             \
    void resize##type##_cubH4_##suffix(const T* r, int n, const std::int32_t* x, const float* t, float* b) {      \
        zpCubicPasses<Io, divides, h4Vector, T>::h4(r, n, x, t, b);                                               \
    }                                                                                                             \
    void resize##type##_cubV_##suffix(T* d, int n, float t, const float* b0, const float* b1, const float* b2,    \
                                      const float* b3) {                                                          \
        zpCubicPasses<Io, divides, h4Vector, T>::v(d, n, t, b0, b1, b2, b3);                                      \
    }                                                                                                             \
    void resize##type##_cubVA_##suffix(T* d, int n, float t, const float* b0, const float* b1, const float* b2,   \
                                       const float* b3) {                                                         \
        zpCubicPasses<Io, divides, h4Vector, T>::va(d, n, t, b0, b1, b2, b3);                                     \
    }
#define ZP_DEFINE_CUBIC_PASSES(suffix, Io, divides, h4Vector)                          \
    ZP_DEFINE_CUBIC_PASSES_OF(std::uint8_t, 8u, suffix, Io, divides, h4Vector)          \
    ZP_DEFINE_CUBIC_PASSES_OF(std::uint16_t, 16u, suffix, Io, divides, h4Vector)        \
    ZP_DEFINE_CUBIC_PASSES_OF(float, 32f, suffix, Io, divides, h4Vector)
