// SSE2 row kernels of the copy and compositing primitives (entries 3 and 4):
// 16 bytes per instruction, aligned stores wherever the destination allows,
// streaming stores for large copies.
#include <emmintrin.h>

#include <cstring>

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

// x * y / 255 rounded down in every byte: even and odd bytes of each 16-bit
// lane are multiplied apart, then (p + (p >> 8) + 1) >> 8, which never
// leaves 16 bits.
[[gnu::always_inline]] inline __m128i zpMul255(__m128i x, __m128i y) {
    const __m128i even = _mm_set1_epi16(0x00FF);
    const __m128i odd = _mm_set1_epi16(static_cast<short>(0xFF00));
    const __m128i one = _mm_set1_epi16(1);
    __m128i pe = _mm_mullo_epi16(_mm_and_si128(x, even), _mm_and_si128(y, even));
    __m128i po = _mm_mullo_epi16(_mm_srli_epi16(x, 8), _mm_srli_epi16(y, 8));
    pe = _mm_add_epi16(_mm_add_epi16(pe, _mm_srli_epi16(pe, 8)), one);
    po = _mm_add_epi16(_mm_add_epi16(po, _mm_srli_epi16(po, 8)), one);
    return _mm_or_si128(_mm_srli_epi16(pe, 8), _mm_and_si128(po, odd));
}

[[gnu::always_inline]] inline __m128i zpAlphaByte() { return _mm_set1_epi32(static_cast<int>(0xFF000000u)); }

// Each pixel's alpha in all four of its bytes.
[[gnu::always_inline]] inline __m128i zpAlphas(__m128i px) {
    __m128i a = _mm_srli_epi32(px, 24);
    a = _mm_or_si128(a, _mm_slli_epi32(a, 8));
    return _mm_or_si128(a, _mm_slli_epi32(a, 16));
}

[[gnu::always_inline]] inline __m128i zpComplement(__m128i x) { return _mm_xor_si128(x, _mm_set1_epi32(-1)); }

// One operation on four pixels of each source. With straight colours each
// source is first multiplied by (A, A, A, 255), so its alpha passes unchanged
// into the premultiplied rules.
template <int op, bool premultiplied>
[[gnu::always_inline]] inline __m128i zpComposite(__m128i a, __m128i b) {
    if constexpr (op == zpAlphaOver) {
        // Opaque top pixels, the bulk of a skin, come out as they are: both
        // rules give (c1, 255) when A is 255.
        const __m128i alpha = _mm_and_si128(a, zpAlphaByte());
        if (_mm_movemask_epi8(_mm_cmpeq_epi32(alpha, zpAlphaByte())) == 0xFFFF) return a;
    }
    const __m128i alphaA = zpAlphas(a);
    const __m128i alphaB = zpAlphas(b);
    if constexpr (!premultiplied) {
        a = zpMul255(a, _mm_or_si128(alphaA, zpAlphaByte()));
        b = zpMul255(b, _mm_or_si128(alphaB, zpAlphaByte()));
    }
    switch (op) {
    case zpAlphaOver: return _mm_adds_epu8(a, zpMul255(b, zpComplement(alphaA)));
    case zpAlphaIn: return zpMul255(a, alphaB);
    case zpAlphaOut: return zpMul255(a, zpComplement(alphaB));
    case zpAlphaATop: {
        const __m128i sum = _mm_adds_epu8(zpMul255(a, alphaB), zpMul255(b, zpComplement(alphaA)));
        return _mm_or_si128(_mm_andnot_si128(zpAlphaByte(), sum), _mm_and_si128(zpAlphaByte(), alphaB));
    }
    case zpAlphaXor: return _mm_adds_epu8(zpMul255(a, zpComplement(alphaB)), zpMul255(b, zpComplement(alphaA)));
    case zpAlphaPlus: return _mm_adds_epu8(a, b);
    }
    return a;
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

void alphaCompOver8u_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t w, int p) {
    zpCompositeRows<zpAlphaOver>(a, b, d, w, p);
}
void alphaCompIn8u_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t w, int p) {
    zpCompositeRows<zpAlphaIn>(a, b, d, w, p);
}
void alphaCompOut8u_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t w, int p) {
    zpCompositeRows<zpAlphaOut>(a, b, d, w, p);
}
void alphaCompAtop8u_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t w, int p) {
    zpCompositeRows<zpAlphaATop>(a, b, d, w, p);
}
void alphaCompXor8u_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t w, int p) {
    zpCompositeRows<zpAlphaXor>(a, b, d, w, p);
}
void alphaCompPlus8u_rows_sse2(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t w, int p) {
    zpCompositeRows<zpAlphaPlus>(a, b, d, w, p);
}
