// MMX row kernels with the SSE integer extensions (entry 2) of the copy and
// compositing primitives: 8 bytes per instruction, streaming stores, prefetch
// ahead of the loads, a store fence after streaming, and the MMX state
// cleared before returning.
#include <mmintrin.h>
#include <xmmintrin.h>

#include <cstring>
#include <initializer_list>

#include "zpCompositeMath.h"
#include "zpSlots.h"

namespace {

std::uintptr_t zpAddress(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

[[gnu::always_inline]] inline __m64 zpLoad32(const std::uint8_t* p) {
    int v;
    std::memcpy(&v, p, 4);
    return _mm_cvtsi32_si64(v);
}

[[gnu::always_inline]] inline void zpStore32(std::uint8_t* p, __m64 v) {
    const int x = _mm_cvtsi64_si32(v);
    std::memcpy(p, &x, 4);
}

[[gnu::always_inline]] inline __m64 zpLoad64(const std::uint8_t* p) {
    __m64 v;
    std::memcpy(&v, p, 8);
    return v;
}

[[gnu::always_inline]] inline void zpStream64(std::uint8_t* p, __m64 v) { _mm_stream_pi(reinterpret_cast<__m64*>(p), v); }

// ---- compositing ----------------------------------------------------------------

// The instructions of the compositing arithmetic on 8-byte registers.
struct zpMmx {
    using Reg = __m64;
    static Reg set16(short v) { return _mm_set1_pi16(v); }
    static Reg set32(int v) { return _mm_set1_pi32(v); }
    static Reg and_(Reg x, Reg y) { return _mm_and_si64(x, y); }
    static Reg andnot(Reg x, Reg y) { return _mm_andnot_si64(x, y); }
    static Reg or_(Reg x, Reg y) { return _mm_or_si64(x, y); }
    static Reg xor_(Reg x, Reg y) { return _mm_xor_si64(x, y); }
    static Reg mullo16(Reg x, Reg y) { return _mm_mullo_pi16(x, y); }
    static Reg add16(Reg x, Reg y) { return _mm_add_pi16(x, y); }
    static Reg srl16by8(Reg x) { return _mm_srli_pi16(x, 8); }
    static Reg addsU8(Reg x, Reg y) { return _mm_adds_pu8(x, y); }
    // Each pixel's alpha in all four of its bytes: the alpha byte moved down
    // in its 16-bit lane, that lane copied over its pixel, then doubled into
    // the high byte.
    static Reg alphas(Reg px) {
        const Reg a = _mm_shuffle_pi16(_mm_srli_pi16(px, 8), _MM_SHUFFLE(3, 3, 1, 1));
        return _mm_or_si64(a, _mm_slli_pi16(a, 8));
    }
    // True when every pixel's alpha byte of alphaBytes is 255.
    static bool allAlphasSet(Reg alphaBytes) {
        return _mm_movemask_pi8(_mm_cmpeq_pi32(alphaBytes, set32(static_cast<int>(0xFF000000u)))) == 0xFF;
    }
};

template <int op, bool premultiplied>
[[gnu::always_inline]] inline __m64 zpComposite(__m64 a, __m64 b) {
    return ::zpComposite<zpMmx, op, premultiplied>(a, b);
}

// One pixel first when the destination sits on an odd 4-byte boundary, then
// pairs with streaming stores, then a last odd pixel.
template <int op, bool premultiplied>
void zpCompositeRow(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t n) {
    if (zpAddress(d) & 4) {
        zpStore32(d, zpComposite<op, premultiplied>(zpLoad32(a), zpLoad32(b)));
        a += 4, b += 4, d += 4, --n;
    }
    for (; n >= 2; a += 8, b += 8, d += 8, n -= 2) {
        _mm_prefetch(reinterpret_cast<const char*>(a + 64), _MM_HINT_NTA);
        _mm_prefetch(reinterpret_cast<const char*>(b + 64), _MM_HINT_NTA);
        zpStream64(d, zpComposite<op, premultiplied>(zpLoad64(a), zpLoad64(b)));
    }
    _mm_sfence();
    if (n > 0) zpStore32(d, zpComposite<op, premultiplied>(zpLoad32(a), zpLoad32(b)));
    _mm_empty();
}

template <int op>
void zpCompositeRows(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t width,
                     int premultiplied) {
    if (premultiplied == 1) zpCompositeRow<op, true>(a, b, d, width);
    else zpCompositeRow<op, false>(a, b, d, width);
}

// n (8, 16, 32 or 64) bytes with streaming 8-byte stores.
void zpStreamBytes(const std::uint8_t*& s, std::uint8_t*& d, std::int32_t& n, int bytes) {
    __m64 v[8];
    for (int i = 0; i < bytes / 8; ++i) v[i] = zpLoad64(s + 8 * i);
    for (int i = 0; i < bytes / 8; ++i) zpStream64(d + 8 * i, v[i]);
    s += bytes, d += bytes, n -= bytes;
}

}  // namespace

void copy8u_rows_sse(const std::uint8_t* s, std::uint8_t* d, std::int32_t n) {
    if (n >= 8) {
        if (const std::uintptr_t misaligned = zpAddress(d) & 7) {
            std::memcpy(d, s, 8);
            const std::int32_t skip = static_cast<std::int32_t>(8 - misaligned);
            s += skip, d += skip, n -= skip;
        }
        while (n >= 64) zpStreamBytes(s, d, n, 64);
        for (int bytes : {32, 16, 8})
            if (n >= bytes) zpStreamBytes(s, d, n, bytes);
        if (n >= 4) {
            std::memcpy(d, s, 4);
            s += 4, d += 4, n -= 4;
        }
    }
    for (; n > 0; --n) *d++ = *s++;
    _mm_sfence();
    _mm_empty();
}

// The six named row kernels, one per operation.
#define ZP_ALPHA_ROWS(name, op)                                                                         \
    void name(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, std::int32_t w, int p) { \
        zpCompositeRows<op>(a, b, d, w, p);                                                             \
    }
ZP_ALPHA_ROWS(alphaCompOver8u_rows_sse, zpAlphaOver)
ZP_ALPHA_ROWS(alphaCompIn8u_rows_sse, zpAlphaIn)
ZP_ALPHA_ROWS(alphaCompOut8u_rows_sse, zpAlphaOut)
ZP_ALPHA_ROWS(alphaCompAtop8u_rows_sse, zpAlphaATop)
ZP_ALPHA_ROWS(alphaCompXor8u_rows_sse, zpAlphaXor)
ZP_ALPHA_ROWS(alphaCompPlus8u_rows_sse, zpAlphaPlus)
