// SSE2 row kernels of the copy and compositing primitives (entries 3 and 4):
// 16 bytes per instruction, aligned stores wherever the destination allows,
// streaming stores for large copies.
#include <emmintrin.h>

#include <cstring>

#include "zpCompositeMath.h"
#include "zpSlots.h"

namespace {

std::uintptr_t zpAddress(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

[[gnu::always_inline]] inline __m128i zpLoad32(const std::uint8_t* p) {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si128(v);
}

[[gnu::always_inline]] inline void zpStore32(std::uint8_t* p, __m128i v) {
    const std::int32_t x = _mm_cvtsi128_si32(v);
    std::memcpy(p, &x, 4);
}

// ---- compositing ----------------------------------------------------------------

// The instructions of the compositing arithmetic on 16-byte registers.
struct zpSse2 {
    using Reg = __m128i;
    static Reg set16(short v) { return _mm_set1_epi16(v); }
    static Reg set32(int v) { return _mm_set1_epi32(v); }
    static Reg and_(Reg x, Reg y) { return _mm_and_si128(x, y); }
    static Reg andnot(Reg x, Reg y) { return _mm_andnot_si128(x, y); }
    static Reg or_(Reg x, Reg y) { return _mm_or_si128(x, y); }
    static Reg xor_(Reg x, Reg y) { return _mm_xor_si128(x, y); }
    static Reg mullo16(Reg x, Reg y) { return _mm_mullo_epi16(x, y); }
    static Reg add16(Reg x, Reg y) { return _mm_add_epi16(x, y); }
    static Reg srl16by8(Reg x) { return _mm_srli_epi16(x, 8); }
    static Reg addsU8(Reg x, Reg y) { return _mm_adds_epu8(x, y); }
    // Each pixel's alpha in all four of its bytes.
    static Reg alphas(Reg px) {
        const Reg a = _mm_srli_epi32(px, 24);
        const Reg b = _mm_or_si128(a, _mm_slli_epi32(a, 8));
        return _mm_or_si128(b, _mm_slli_epi32(b, 16));
    }
    // True when every pixel's alpha byte of alphaBytes is 255.
    static bool allAlphasSet(Reg alphaBytes) {
        return _mm_movemask_epi8(_mm_cmpeq_epi32(alphaBytes, set32(static_cast<int>(0xFF000000u)))) == 0xFFFF;
    }
};

template <int op, bool premultiplied>
[[gnu::always_inline]] inline __m128i zpComposite(__m128i a, __m128i b) {
    return ::zpComposite<zpSse2, op, premultiplied>(a, b);
}

// Four pixels per step with the widest stores the destination's alignment
// allows; single pixels where it does not. Each step loads both sources
// before it stores, so the destination may start where either source does.
template <int op, bool premultiplied>
void zpCompositeRow(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t n) {
    const auto single = [&] {
        zpStore32(d, zpComposite<op, premultiplied>(zpLoad32(a), zpLoad32(b)));
        a += 4, b += 4, d += 4, --n;
    };
    if (zpAddress(d) & 3) {
        for (; n >= 4; a += 16, b += 16, d += 16, n -= 4) {
            const __m128i r = zpComposite<op, premultiplied>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                                                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), r);
        }
        while (n > 0) single();
        return;
    }
    while (n > 0) {
        if ((zpAddress(d) & 15) || n < 4) {
            single();
            continue;
        }
        if (((zpAddress(a) | zpAddress(b)) & 15) == 0) {
            for (; n >= 4; a += 16, b += 16, d += 16, n -= 4) {
                const __m128i r = zpComposite<op, premultiplied>(_mm_load_si128(reinterpret_cast<const __m128i*>(a)),
                                                                 _mm_load_si128(reinterpret_cast<const __m128i*>(b)));
                _mm_store_si128(reinterpret_cast<__m128i*>(d), r);
            }
        } else {
            for (; n >= 4; a += 16, b += 16, d += 16, n -= 4) {
                const __m128i r = zpComposite<op, premultiplied>(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(a)),
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)));
                _mm_store_si128(reinterpret_cast<__m128i*>(d), r);
            }
        }
    }
}

template <int op>
void zpCompositeRows(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t width,
                     int premultiplied) {
    if (premultiplied == 1) zpCompositeRow<op, true>(a, b, d, width);
    else zpCompositeRow<op, false>(a, b, d, width);
}

// ---- copy -------------------------------------------------------------------------

[[gnu::always_inline]] inline __m128i zpLoad64(const std::uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

[[gnu::always_inline]] inline __m128i zpLoad16As8s(const std::uint8_t* p) { return _mm_unpacklo_epi64(zpLoad64(p), zpLoad64(p + 8)); }

[[gnu::always_inline]] inline __m128i zpLoad16As4s(const std::uint8_t* p) {
    return _mm_unpacklo_epi64(_mm_unpacklo_epi32(zpLoad32(p), zpLoad32(p + 4)),
                              _mm_unpacklo_epi32(zpLoad32(p + 8), zpLoad32(p + 12)));
}

// 64-byte blocks into a 16-byte aligned destination while 64 or more bytes
// remain.
template <typename Load>
void zpCopyBlocks(const std::uint8_t*& s, std::uint8_t*& d, std::int32_t& n, Load load) {
    for (; n >= 64; s += 64, d += 64, n -= 64) {
        const __m128i v0 = load(s), v1 = load(s + 16), v2 = load(s + 32), v3 = load(s + 48);
        _mm_store_si128(reinterpret_cast<__m128i*>(d), v0);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 16), v1);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 32), v2);
        _mm_store_si128(reinterpret_cast<__m128i*>(d + 48), v3);
    }
}

}  // namespace

void copy8u_rows_sse2(const std::uint8_t* s, std::uint8_t* d, std::int32_t n, int stream) {
    if (n >= 64) {
        if (const std::uintptr_t misaligned = zpAddress(d) & 15) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
            const std::int32_t skip = static_cast<std::int32_t>(16 - misaligned);
            s += skip, d += skip, n -= skip;
        }
        // A source 16 to 320 bytes below the destination modulo 64 KiB would
        // make the streamed stores and the loads fight over cache sets.
        const std::uint32_t distance = static_cast<std::uint32_t>(zpAddress(s) - zpAddress(d)) & 0xFFFF;
        if (stream && (distance < 0xFEC0 || distance > 0xFFF0)) {
            for (; n >= 64; s += 64, d += 64, n -= 64) {
                const __m128i v0 = zpLoad16As8s(s), v1 = zpLoad16As8s(s + 16);
                const __m128i v2 = zpLoad16As8s(s + 32), v3 = zpLoad16As8s(s + 48);
                _mm_stream_si128(reinterpret_cast<__m128i*>(d), v0);
                _mm_stream_si128(reinterpret_cast<__m128i*>(d + 16), v1);
                _mm_stream_si128(reinterpret_cast<__m128i*>(d + 32), v2);
                _mm_stream_si128(reinterpret_cast<__m128i*>(d + 48), v3);
            }
            _mm_sfence();
        } else if ((zpAddress(s) & 15) == 0) {
            zpCopyBlocks(s, d, n, [](const std::uint8_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); });
        } else if ((zpAddress(s) & 7) == 4) {
            zpCopyBlocks(s, d, n, zpLoad16As4s);
        } else {
            zpCopyBlocks(s, d, n, zpLoad16As8s);
        }
    }
    for (; n >= 8; s += 8, d += 8, n -= 8) _mm_storel_epi64(reinterpret_cast<__m128i*>(d), zpLoad64(s));
    if (n & 4) {
        std::memcpy(d, s, 4);
        s += 4, d += 4;
    }
    if (n & 2) {
        std::memcpy(d, s, 2);
        s += 2, d += 2;
    }
    if (n & 1) *d = *s;
}

// The six named row kernels, one per operation.
#define ZP_ALPHA_ROWS(name, op)                                                                         \
    void name(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t w, int p) { \
        zpCompositeRows<op>(a, b, d, w, p);                                                             \
    }
ZP_ALPHA_ROWS(alphaCompOver8u_rows_sse2, zpAlphaOver)
ZP_ALPHA_ROWS(alphaCompIn8u_rows_sse2, zpAlphaIn)
ZP_ALPHA_ROWS(alphaCompOut8u_rows_sse2, zpAlphaOut)
ZP_ALPHA_ROWS(alphaCompAtop8u_rows_sse2, zpAlphaATop)
ZP_ALPHA_ROWS(alphaCompXor8u_rows_sse2, zpAlphaXor)
ZP_ALPHA_ROWS(alphaCompPlus8u_rows_sse2, zpAlphaPlus)
