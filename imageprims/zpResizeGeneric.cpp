// Passes of the generic resize (slot 1) for 8u, 16u and float samples and its
// row-helper table. Linear 8u and 16u work in Q14 fixed point with rounding
// terms; linear float and every cubic pass evaluate in double precision and
// round once on the store. The processor slots are measured against these.
#include <cmath>
#include <cstdint>

#include "zpResizeWindow.h"

namespace {

// ---- linear ------------------------------------------------------------------------

// Horizontal pass of `channels` samples per column, neighbours p apart.
template <typename T, typename Buffer, typename Blend>
void zpGenLinH(const T* row, int width, const std::int32_t* xIdx, const std::int16_t* w, Buffer* buffer,
               int channels, int p, Blend blend) {
    for (int i = 0; i < width; ++i) {
        const std::uint32_t w0 = static_cast<std::uint16_t>(w[2 * i]);
        const std::uint32_t w1 = static_cast<std::uint16_t>(w[2 * i + 1]);
        const T* s = row + xIdx[i];
        for (int c = 0; c < channels; ++c) buffer[i * channels + c] = blend(w0, s[c], w1, s[c + p]);
    }
}

// Vertical pass: `count` samples, or three of every four destination
// samples when `alphaKept`.
template <typename T, typename Buffer, typename Blend>
void zpGenLinV(T* dst, int count, const Buffer* a, const Buffer* b, bool alphaKept, Blend blend) {
    if (!alphaKept) {
        for (int i = 0; i < count; ++i) dst[i] = blend(a[i], b[i]);
        return;
    }
    for (int i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c) dst[4 * i + c] = blend(a[3 * i + c], b[3 * i + c]);
}

struct zpLin8uGen {
    using Sample = std::uint8_t;
    using Buffer = std::int16_t;
    using Weight = std::int16_t;
    using RowWeight = std::int16_t;
    static std::int16_t h(std::uint32_t w0, std::uint32_t s0, std::uint32_t w1, std::uint32_t s1) {
        return static_cast<std::int16_t>((w0 * s0 + w1 * s1 + 128) >> 8);
    }
    static void h1(const Sample* r, int n, const std::int32_t* x, const Weight* w, Buffer* b) { zpGenLinH(r, n, x, w, b, 1, 1, h); }
    static void h3(const Sample* r, int n, int p, const std::int32_t* x, const Weight* w, Buffer* b) { zpGenLinH(r, n, x, w, b, 3, p, h); }
    static void h4(const Sample* r, int n, const std::int32_t* x, const Weight* w, Buffer* b) { zpGenLinH(r, n, x, w, b, 4, 4, h); }
    static auto blend(std::int32_t wy) {
        return [wy](std::int32_t a, std::int32_t b) {
            return static_cast<std::uint8_t>((a * (16384 - wy) + b * wy + 524288) >> 20);
        };
    }
    static void v(Sample* d, int n, RowWeight wy, const Buffer* a, const Buffer* b) { zpGenLinV(d, n, a, b, false, blend(wy)); }
    static void va(Sample* d, int n, RowWeight wy, const Buffer* a, const Buffer* b) { zpGenLinV(d, n, a, b, true, blend(wy)); }
};

struct zpLin16uGen {
    using Sample = std::uint16_t;
    using Buffer = std::uint16_t;
    using Weight = std::int16_t;
    using RowWeight = std::int16_t;
    static std::uint16_t h(std::uint32_t w0, std::uint32_t s0, std::uint32_t w1, std::uint32_t s1) {
        return static_cast<std::uint16_t>((w0 * s0 + w1 * s1 + 8192) >> 14);
    }
    static void h1(const Sample* r, int n, const std::int32_t* x, const Weight* w, Buffer* b) { zpGenLinH(r, n, x, w, b, 1, 1, h); }
    static void h3(const Sample* r, int n, int p, const std::int32_t* x, const Weight* w, Buffer* b) { zpGenLinH(r, n, x, w, b, 3, p, h); }
    static void h4(const Sample* r, int n, const std::int32_t* x, const Weight* w, Buffer* b) { zpGenLinH(r, n, x, w, b, 4, 4, h); }
    static auto blend(std::int32_t wy) {
        const std::uint32_t w1 = static_cast<std::uint32_t>(wy), w0 = 16384 - w1;
        return [w0, w1](std::uint32_t a, std::uint32_t b) { return static_cast<std::uint16_t>((a * w0 + b * w1 + 8192) >> 14); };
    }
    static void v(Sample* d, int n, RowWeight wy, const Buffer* a, const Buffer* b) { zpGenLinV(d, n, a, b, false, blend(wy)); }
    static void va(Sample* d, int n, RowWeight wy, const Buffer* a, const Buffer* b) { zpGenLinV(d, n, a, b, true, blend(wy)); }
};

struct zpLin32fGen {
    using Sample = float;
    using Buffer = float;
    using Weight = float;
    using RowWeight = float;
    static void hn(const float* row, int width, const std::int32_t* xIdx, const float* t, float* buffer, int channels,
                   int p) {
        for (int i = 0; i < width; ++i) {
            const float* s = row + xIdx[i];
            const double f = t[i];
            for (int c = 0; c < channels; ++c)
                buffer[i * channels + c] = static_cast<float>(s[c] + (double(s[c + p]) - s[c]) * f);
        }
    }
    static void h1(const float* r, int n, const std::int32_t* x, const float* t, float* b) { hn(r, n, x, t, b, 1, 1); }
    static void h3(const float* r, int n, int p, const std::int32_t* x, const float* t, float* b) { hn(r, n, x, t, b, 3, p); }
    static void h4(const float* r, int n, const std::int32_t* x, const float* t, float* b) { hn(r, n, x, t, b, 4, 4); }
    static auto blend(float wy) {
        const double w1 = wy, w0 = 1.0 - w1;
        return [w0, w1](double a, double b) { return static_cast<float>(a * w0 + b * w1); };
    }
    static void v(float* d, int n, float wy, const float* a, const float* b) { zpGenLinV(d, n, a, b, false, blend(wy)); }
    static void va(float* d, int n, float wy, const float* a, const float* b) { zpGenLinV(d, n, a, b, true, blend(wy)); }
};

// ---- cubic -------------------------------------------------------------------------

// Newton form of the cubic through samples at -1, 0, 1, 2 evaluated at t:
// s(-1) + u d1 + c2 d2 + c3 d3 with u = t + 1. The constants are the
// single-precision 1, 1/2, -1 and 1/3.
struct zpCubicWeights {
    double u, c2, c3;
};

constexpr double zpOne = 1.0f;
constexpr double zpHalf = 0.5f;
constexpr double zpMinusOne = -1.0f;
constexpr double zpThird = 1.0f / 3.0f;

zpCubicWeights zpCubic(float t) {
    zpCubicWeights w;
    w.u = t + zpOne;
    const double um1 = w.u + zpMinusOne;
    w.c2 = w.u * um1 * zpHalf;
    w.c3 = w.c2 * (um1 + zpMinusOne) * zpThird;
    return w;
}

double zpCubicValue(const zpCubicWeights& w, double sm1, double s0, double s1, double s2) {
    const double d1 = s0 - sm1;
    const double d2 = s1 - s0 - d1;
    const double d3 = s2 - 3.0 * s1 + 3.0 * s0 - sm1;
    return sm1 + w.u * d1 + w.c2 * d2 + w.c3 * d3;
}

// The column coefficients, worked out once per call; computed per use when
// the table cannot be had.
class zpCubicColumns {
public:
    zpCubicColumns(const float* t, int width)
        : t_(t), w_(width <= (1 << 28) / 6 ? static_cast<zpCubicWeights*>(zpAlignedMalloc32(width * 6)) : nullptr) {
        if (w_)
            for (int i = 0; i < width; ++i) w_[i] = zpCubic(t[i]);
    }
    zpCubicColumns(const zpCubicColumns&) = delete;
    zpCubicColumns& operator=(const zpCubicColumns&) = delete;
    ~zpCubicColumns() { zpAlignedFree(w_); }
    zpCubicWeights at(int i) const { return w_ ? w_[i] : zpCubic(t_[i]); }

private:
    const float* t_;
    zpCubicWeights* w_;
};

template <typename T>
void zpGenCubH(const T* row, int width, const std::int32_t* xIdx, const zpCubicColumns* columns, float* buffer,
               int channels, int p) {
    for (int i = 0; i < width; ++i) {
        const zpCubicWeights w = columns->at(i);
        const T* s = row + xIdx[i];
        for (int c = 0; c < channels; ++c)
            buffer[i * channels + c] =
                static_cast<float>(zpCubicValue(w, s[c - p], s[c], s[c + p], s[c + 2 * p]));
    }
}

// Integer results: trunc(v + 1e-7) held to the type's range; floats as computed.
template <typename T>
T zpCubicOut(double v) {
    if constexpr (std::is_same_v<T, float>) {
        return static_cast<float>(v);
    } else {
        constexpr double kMax = sizeof(T) == 1 ? 255.0 : 65535.0;
        const double t = std::trunc(v + 1e-7);
        return static_cast<T>(t > 0.0 ? (t < kMax ? t : kMax) : 0.0);
    }
}

template <typename T>
void zpGenCubV(T* dst, int count, float t, const float* a, const float* b, const float* c, const float* d,
               bool alphaKept) {
    zpCubicWeights w = zpCubic(t);
    w.c3 = static_cast<float>(w.c3);
    if (!alphaKept) {
        for (int i = 0; i < count; ++i) dst[i] = zpCubicOut<T>(zpCubicValue(w, a[i], b[i], c[i], d[i]));
        return;
    }
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) {
            const int j = 3 * i + k;
            dst[4 * i + k] = zpCubicOut<T>(zpCubicValue(w, a[j], b[j], c[j], d[j]));
        }
}

template <typename T>
struct zpCubGen {
    using Sample = T;
    using Columns = zpCubicColumns;
    static void h1(const T* r, int n, const std::int32_t* x, const Columns* w, float* b) { zpGenCubH(r, n, x, w, b, 1, 1); }
    static void h3(const T* r, int n, int p, const std::int32_t* x, const Columns* w, float* b) { zpGenCubH(r, n, x, w, b, 3, p); }
    static void h4(const T* r, int n, const std::int32_t* x, const Columns* w, float* b) { zpGenCubH(r, n, x, w, b, 4, 4); }
    static void v(T* d, int n, float t, const float* b0, const float* b1, const float* b2, const float* b3) {
        zpGenCubV(d, n, t, b0, b1, b2, b3, false);
    }
    static void va(T* d, int n, float t, const float* b0, const float* b1, const float* b2, const float* b3) {
        zpGenCubV(d, n, t, b0, b1, b2, b3, true);
    }
};

}  // namespace

ZP_ROW_HELPER_TABLE(resizeRowHelpers_gen, zpLin8uGen, zpLin16uGen, zpLin32fGen, zpCubGen<std::uint8_t>,
                    zpCubGen<std::uint16_t>, zpCubGen<float>);
