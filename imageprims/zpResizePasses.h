// The resize passes of the processor slots, one horizontal and one vertical
// pass per method, element type and layout, and the pass sets the row
// helpers of zpResizeWindow.h are built from. Slot 4 runs slot 3's linear
// passes; the cubic passes of the three slots differ as noted below.
//
// Horizontal passes: (source row, width, [pixel step,] xIdx, column weights,
// row buffer). Vertical passes: (destination row, samples (V) or pixels
// (VA), row weight, the buffers of the window from the top). Steps, indices
// and counts are in samples; VA writes three of every four destination
// samples.
//
// Internal to the image primitives, their tests and benchmarks.
#pragma once

#include <cstdint>

#include "zpResizeWindow.h"

#define ZP_DECLARE_LINEAR_PASSES(suffix)                                                                          \
    void resize8u_linH1_##suffix(const std::uint8_t*, int, const std::int32_t*, const std::int16_t*, std::int16_t*); \
    void resize8u_linH3_##suffix(const std::uint8_t*, int, int, const std::int32_t*, const std::int16_t*,        \
                                 std::int16_t*);                                                                  \
    void resize8u_linH4_##suffix(const std::uint8_t*, int, const std::int32_t*, const std::int16_t*, std::int16_t*); \
    void resize8u_linV_##suffix(std::uint8_t*, int, int, const std::int16_t*, const std::int16_t*);              \
    void resize8u_linVA_##suffix(std::uint8_t*, int, int, const std::int16_t*, const std::int16_t*);             \
    void resize16u_linH1_##suffix(const std::uint16_t*, int, const std::int32_t*, const std::int16_t*,           \
                                  std::uint16_t*);                                                                \
    void resize16u_linH3_##suffix(const std::uint16_t*, int, int, const std::int32_t*, const std::int16_t*,      \
                                  std::uint16_t*);                                                                \
    void resize16u_linH4_##suffix(const std::uint16_t*, int, const std::int32_t*, const std::int16_t*,           \
                                  std::uint16_t*);                                                                \
    void resize16u_linV_##suffix(std::uint16_t*, int, int, const std::uint16_t*, const std::uint16_t*);          \
    void resize16u_linVA_##suffix(std::uint16_t*, int, int, const std::uint16_t*, const std::uint16_t*);         \
    void resize32f_linH1_##suffix(const float*, int, const std::int32_t*, const float*, float*);                 \
    void resize32f_linH1Inner_##suffix(const float*, int, const std::int32_t*, const float*, float*);            \
    void resize32f_linH3_##suffix(const float*, int, int, const std::int32_t*, const float*, float*);            \
    void resize32f_linH4_##suffix(const float*, int, const std::int32_t*, const float*, float*);                 \
    void resize32f_linV_##suffix(float*, int, float, const float*, const float*);                                \
    void resize32f_linVInner_##suffix(float*, int, float, const float*, const float*);                           \
    void resize32f_linVA_##suffix(float*, int, float, const float*, const float*);

#define ZP_DECLARE_CUBIC_PASSES_OF(T, type, suffix)                                                                \
    void resize##type##_cubH1_##suffix(const T*, int, const std::int32_t*, const float*, float*);                  \
    void resize##type##_cubH3_##suffix(const T*, int, int, const std::int32_t*, const float*, float*);             \
    void resize##type##_cubH4_##suffix(const T*, int, const std::int32_t*, const float*, float*);                  \
    void resize##type##_cubV_##suffix(T*, int, float, const float*, const float*, const float*, const float*);    \
    void resize##type##_cubVA_##suffix(T*, int, float, const float*, const float*, const float*, const float*);
#define ZP_DECLARE_CUBIC_PASSES(suffix)                           \
    ZP_DECLARE_CUBIC_PASSES_OF(std::uint8_t, 8u, suffix)          \
    ZP_DECLARE_CUBIC_PASSES_OF(std::uint16_t, 16u, suffix)        \
    ZP_DECLARE_CUBIC_PASSES_OF(float, 32f, suffix)

// Linear: slot 2 (MMX for 8u and 16u, SSE for 32f) and slots 3 and 4 (SSE2).
// Both truncate where the generic passes round: 8u one level at most below
// the generic result, 16u up to four; 32f rounds every operation.
ZP_DECLARE_LINEAR_PASSES(sse)
ZP_DECLARE_LINEAR_PASSES(sse2)

// Cubic: vector kernels four columns or samples at a time in single
// precision, the remainder of a row in scalar single precision; integer
// results rounded to nearest (after adding 1e-5) in the vector part and
// truncated (after adding 1e-7) in the remainder. Slot 4's scalar weights
// divide by 2 and 3 where slots 2 and 3 multiply by 0.5 and the float
// nearest 1/3; slot 3's 8u and 16u four-channel horizontal passes are
// scalar throughout.
ZP_DECLARE_CUBIC_PASSES(sse)
ZP_DECLARE_CUBIC_PASSES(sse2)
ZP_DECLARE_CUBIC_PASSES(sse3)

// Pass sets of one slot for the row-helper templates.
#define ZP_LINEAR_PASS_SET(Name, T, type, suffix, BufferT, WeightT, RowWeightT) \
    struct Name {                                                              \
        using Sample = T;                                                      \
        using Buffer = BufferT;                                                \
        using Weight = WeightT;                                                \
        using RowWeight = RowWeightT;                                          \
        static constexpr auto h1 = resize##type##_linH1_##suffix;              \
        static constexpr auto h3 = resize##type##_linH3_##suffix;              \
        static constexpr auto h4 = resize##type##_linH4_##suffix;              \
        static constexpr auto v = resize##type##_linV_##suffix;                \
        static constexpr auto va = resize##type##_linVA_##suffix;              \
    }
#define ZP_CUBIC_PASS_SET(Name, T, type, suffix)                  \
    struct Name {                                                \
        using Sample = T;                                        \
        static constexpr auto h1 = resize##type##_cubH1_##suffix; \
        static constexpr auto h3 = resize##type##_cubH3_##suffix; \
        static constexpr auto h4 = resize##type##_cubH4_##suffix; \
        static constexpr auto v = resize##type##_cubV_##suffix;   \
        static constexpr auto va = resize##type##_cubVA_##suffix; \
    }
