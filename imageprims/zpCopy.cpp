// Generic copy and Porter-Duff alpha compositing of 8-bit pixel regions.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "zpGeneric.h"

namespace {

zpStatus zpCopyRows(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize,
                    int pixelBytes) {
    if (!src || !dst) return zpStsNullPtrErr;
    if (roiSize.width < 1 || roiSize.height < 1) return zpStsSizeErr;
    if (srcStep < 1 || dstStep < 1) return zpStsStepErr;
    const std::size_t rowBytes = static_cast<std::size_t>(roiSize.width) * pixelBytes;
    for (int y = 0; y < roiSize.height; ++y) {
        // memmove keeps the ascending byte order's result when a short step
        // makes rows overlap.
        std::memmove(dst + static_cast<std::ptrdiff_t>(y) * dstStep, src + static_cast<std::ptrdiff_t>(y) * srcStep,
                     rowBytes);
    }
    return zpStsNoErr;
}

// Pixels composited together: small enough for the stack, large enough
// that the loops over them run in whole vector registers.
constexpr int kBlock = 64;

// x * y / 255 rounded down. Every value fits 16 bits and the division by a
// constant becomes a multiply, so the compiler keeps eight of them to a
// 128-bit register.
inline std::uint16_t zpMul(std::uint16_t x, std::uint16_t y) {
    return static_cast<std::uint16_t>(static_cast<std::uint16_t>(x * y) / 255);
}

inline std::uint16_t zpSat(std::uint16_t v) { return v < 255 ? v : 255; }

// One operation's rule for one channel; ac and bc are already premultiplied.
template <int rule, bool premultiplied>
inline std::uint16_t zpChannel(std::uint16_t ac, std::uint16_t bc, std::uint16_t aa, std::uint16_t ab) {
    std::uint16_t v = 0;
    if constexpr (rule == zpAlphaOver) v = static_cast<std::uint16_t>(ac + zpMul(bc, 255 - aa));
    else if constexpr (rule == zpAlphaIn) v = zpMul(ac, ab);
    else if constexpr (rule == zpAlphaOut) v = zpMul(ac, 255 - ab);
    else if constexpr (rule == zpAlphaATop) v = static_cast<std::uint16_t>(zpMul(ac, ab) + zpMul(bc, 255 - aa));
    else if constexpr (rule == zpAlphaXor) v = static_cast<std::uint16_t>(zpMul(ac, 255 - ab) + zpMul(bc, 255 - aa));
    else return zpSat(static_cast<std::uint16_t>(ac + bc));
    // The sums cannot pass 255 from unpremultiplied sources; premultiplied
    // ones may hold colours above their alpha.
    if constexpr (premultiplied && rule != zpAlphaIn && rule != zpAlphaOut) v = zpSat(v);
    return v;
}

template <int rule>
inline std::uint16_t zpAlpha(std::uint16_t aa, std::uint16_t ab) {
    if constexpr (rule == zpAlphaOver) return static_cast<std::uint16_t>(aa + zpMul(ab, 255 - aa));
    else if constexpr (rule == zpAlphaIn) return zpMul(aa, ab);
    else if constexpr (rule == zpAlphaOut) return zpMul(aa, 255 - ab);
    else if constexpr (rule == zpAlphaATop) return ab;
    else if constexpr (rule == zpAlphaXor) return static_cast<std::uint16_t>(zpMul(aa, 255 - ab) + zpMul(ab, 255 - aa));
    else return zpSat(static_cast<std::uint16_t>(aa + ab));
}

// One operation's rule over up to kBlock pixels, the premultiplied flag
// selecting codes 6-11 from the rules of codes 0-5. Every byte of both
// sources is read before any byte of the destination is written, so either
// source may be the destination itself. The pixels are taken apart into
// planes, computed plane against plane without a branch, and put back
// together.
template <int rule, bool premultiplied>
[[gnu::always_inline]] inline void zpCompositeBlock(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d,
                                                    int n) {
    std::uint16_t planeA[4][kBlock], planeB[4][kBlock], out[4][kBlock];
    for (int i = 0; i < n; ++i) {
        for (int c = 0; c < 4; ++c) {
            planeA[c][i] = a[4 * i + c];
            planeB[c][i] = b[4 * i + c];
        }
    }
    for (int i = 0; i < n; ++i) {
        const std::uint16_t aa = planeA[3][i], ab = planeB[3][i];
        for (int c = 0; c < 3; ++c) {
            std::uint16_t ac = planeA[c][i], bc = planeB[c][i];
            if constexpr (!premultiplied) {
                ac = zpMul(ac, aa);
                bc = zpMul(bc, ab);
            }
            out[c][i] = zpChannel<rule, premultiplied>(ac, bc, aa, ab);
        }
        out[3][i] = zpAlpha<rule>(aa, ab);
    }
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < 4; ++c) d[4 * i + c] = static_cast<std::uint8_t>(out[c][i]);
}

// Whether the destination row shares bytes with a source row without being
// that very row.
bool zpPartlyOverlaps(const std::uint8_t* d, const std::uint8_t* s, std::size_t bytes) {
    const auto dAt = reinterpret_cast<std::uintptr_t>(d), sAt = reinterpret_cast<std::uintptr_t>(s);
    return dAt != sAt && dAt < sAt + bytes && sAt < dAt + bytes;
}

// Pixels whose alpha is looked at together for an opaque run.
constexpr int kOpaqueRun = 32;

// Whether every one of the n pixels is opaque; no branch on any one alpha.
bool zpOpaque(const std::uint8_t* a, int n) {
    std::uint32_t all = 0xFF000000u;
    for (int i = 0; i < n; ++i) {
        std::uint32_t pixel;
        std::memcpy(&pixel, a + 4 * i, 4);
        all &= pixel;
    }
    return all == 0xFF000000u;
}

template <int rule, bool premultiplied>
void zpCompositePixels(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, int width) {
    int x = 0;
    // Whole blocks with a count the compiler knows, then the rest.
    for (; width - x >= kBlock; x += kBlock, a += 4 * kBlock, b += 4 * kBlock, d += 4 * kBlock)
        zpCompositeBlock<rule, premultiplied>(a, b, d, kBlock);
    if (x < width) zpCompositeBlock<rule, premultiplied>(a, b, d, width - x);
}

template <int rule, bool premultiplied>
void zpCompositeRow(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, int width) {
    const std::size_t bytes = static_cast<std::size_t>(width) * 4;
    if (zpPartlyOverlaps(d, a, bytes) || zpPartlyOverlaps(d, b, bytes)) {
        // A destination shifted against a source reads bytes the row has
        // already written: one pixel at a time, each read before it is
        // written.
        for (int x = 0; x < width; ++x, a += 4, b += 4, d += 4) zpCompositeBlock<rule, premultiplied>(a, b, d, 1);
        return;
    }
    if constexpr (rule != zpAlphaOver) {
        zpCompositePixels<rule, premultiplied>(a, b, d, width);
    } else {
        // An opaque top pixel over anything is that pixel, as the formula
        // gives: a skin or a window picture is opaque but for its edges, so
        // runs of opaque pixels are copied and the rest composited.
        auto runLength = [&](int x) { return std::min(kOpaqueRun, width - x); };
        int x = 0;
        while (x < width) {
            int end = x;
            while (end < width && !zpOpaque(a + 4 * end, runLength(end))) end += runLength(end);
            if (end > x) zpCompositePixels<rule, premultiplied>(a + 4 * x, b + 4 * x, d + 4 * x, end - x);
            x = end;
            while (end < width && zpOpaque(a + 4 * end, runLength(end))) end += runLength(end);
            if (end > x) std::memmove(d + 4 * x, a + 4 * x, static_cast<std::size_t>(end - x) * 4);
            x = end;
        }
    }
}

}  // namespace

zpStatus zpiCopy_8u_C3R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                zpSize roiSize) {
    return zpCopyRows(src, srcStep, dst, dstStep, roiSize, 3);
}

zpStatus zpiCopy_8u_C4R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                zpSize roiSize) {
    return zpCopyRows(src, srcStep, dst, dstStep, roiSize, 4);
}

zpStatus zpiAlphaComp_8u_AC4R_generic(const std::uint8_t* src1, int src1Step, const std::uint8_t* src2,
                                      int src2Step, std::uint8_t* dst, int dstStep, zpSize roiSize,
                                      std::int32_t alphaType) {
    if (!src1 || !src2 || !dst) return zpStsNullPtrErr;
    if (roiSize.width <= 0 || roiSize.height <= 0) return zpStsSizeErr;
    if (src1Step <= 0 || src2Step <= 0 || dstStep <= 0) return zpStsStepErr;
    if (alphaType < zpAlphaOver || alphaType > zpAlphaPlusPremul) return zpStsAlphaTypeErr;
    // One row routine per operation, so the operation's choice leaves the pixel loop.
    using Row = void (*)(const std::uint8_t*, const std::uint8_t*, std::uint8_t*, int);
    static constexpr Row kRows[12] = {
        zpCompositeRow<zpAlphaOver, false>, zpCompositeRow<zpAlphaIn, false>,  zpCompositeRow<zpAlphaOut, false>,
        zpCompositeRow<zpAlphaATop, false>, zpCompositeRow<zpAlphaXor, false>, zpCompositeRow<zpAlphaPlus, false>,
        zpCompositeRow<zpAlphaOver, true>,  zpCompositeRow<zpAlphaIn, true>,   zpCompositeRow<zpAlphaOut, true>,
        zpCompositeRow<zpAlphaATop, true>,  zpCompositeRow<zpAlphaXor, true>,  zpCompositeRow<zpAlphaPlus, true>,
    };
    const Row row = kRows[alphaType];
    for (int y = 0; y < roiSize.height; ++y) {
        row(src1 + static_cast<std::ptrdiff_t>(y) * src1Step, src2 + static_cast<std::ptrdiff_t>(y) * src2Step,
            dst + static_cast<std::ptrdiff_t>(y) * dstStep, roiSize.width);
    }
    return zpStsNoErr;
}
