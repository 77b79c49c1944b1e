// The per-pixel compositing arithmetic of the SIMD kernels, written once
// over a register type's operations: V is a struct with the register type
// Reg and static functions for the few instructions that differ between the
// 8-byte (MMX with the SSE integer extensions) and 16-byte (SSE2) kernels.
#pragma once

#include "ZImagePrimitives.h"

// x * y / 255 rounded down in every byte: even and odd bytes of each 16-bit
// lane are multiplied apart, then (p + (p >> 8) + 1) >> 8, which never
// leaves 16 bits.
template <typename V>
[[gnu::always_inline]] inline typename V::Reg zpMul255(typename V::Reg x, typename V::Reg y) {
    const auto even = V::set16(0x00FF);
    const auto one = V::set16(1);
    auto pe = V::mullo16(V::and_(x, even), V::and_(y, even));
    auto po = V::mullo16(V::srl16by8(x), V::srl16by8(y));
    pe = V::add16(V::add16(pe, V::srl16by8(pe)), one);
    po = V::add16(V::add16(po, V::srl16by8(po)), one);
    return V::or_(V::srl16by8(pe), V::and_(po, V::set16(static_cast<short>(0xFF00))));
}

// One operation on the pixels of one register of each source. With straight
// colours each source is first multiplied by (A, A, A, 255), so its alpha
// passes unchanged into the premultiplied rules.
template <typename V, int op, bool premultiplied>
[[gnu::always_inline]] inline typename V::Reg zpComposite(typename V::Reg a, typename V::Reg b) {
    const auto alphaByte = V::set32(static_cast<int>(0xFF000000u));
    const auto complement = [](typename V::Reg x) { return V::xor_(x, V::set32(-1)); };
    // Opaque top pixels, the bulk of a skin, come out as they are: both
    // rules of over give (c1, 255) when A is 255.
    if constexpr (op == zpAlphaOver) {
        if (V::allAlphasSet(V::and_(a, alphaByte))) return a;
    }
    const auto alphaA = V::alphas(a);
    const auto alphaB = V::alphas(b);
    if constexpr (!premultiplied) {
        a = zpMul255<V>(a, V::or_(alphaA, alphaByte));
        b = zpMul255<V>(b, V::or_(alphaB, alphaByte));
    }
    switch (op) {
    case zpAlphaOver: return V::addsU8(a, zpMul255<V>(b, complement(alphaA)));
    case zpAlphaIn: return zpMul255<V>(a, alphaB);
    case zpAlphaOut: return zpMul255<V>(a, complement(alphaB));
    case zpAlphaATop: {
        const auto sum = V::addsU8(zpMul255<V>(a, alphaB), zpMul255<V>(b, complement(alphaA)));
        return V::or_(V::andnot(alphaByte, sum), V::and_(alphaByte, alphaB));
    }
    case zpAlphaXor: return V::addsU8(zpMul255<V>(a, complement(alphaB)), zpMul255<V>(b, complement(alphaA)));
    case zpAlphaPlus: return V::addsU8(a, b);
    }
    return a;
}
