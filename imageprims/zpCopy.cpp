// Generic copy and Porter-Duff alpha compositing of 8-bit pixel regions.
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

std::uint32_t zpSat(std::uint32_t v) { return v > 255 ? 255 : v; }

// One operation's rule over a row; the premultiplied flag selects codes 6-11
// from the rules of codes 0-5. Source 2's bytes are read before the
// destination's same bytes are written, so source 2 may be the destination.
template <int rule, bool premultiplied>
void zpCompositeRow(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* d, int width) {
    for (int x = 0; x < width; ++x, a += 4, b += 4, d += 4) {
        const std::uint32_t aa = a[3];
        const std::uint32_t ab = b[3];
        std::uint32_t out[4];
        if constexpr (rule == zpAlphaOver && !premultiplied) {
            // Opaque and clear top pixels are the common cases of a skin;
            // their results equal the full formula's.
            if (aa == 255) {
                d[0] = a[0], d[1] = a[1], d[2] = a[2], d[3] = 255;
                continue;
            }
        }
        switch (rule) {
        case zpAlphaOver: out[3] = aa + zpMul255(ab, 255 - aa); break;
        case zpAlphaIn: out[3] = zpMul255(aa, ab); break;
        case zpAlphaOut: out[3] = zpMul255(aa, 255 - ab); break;
        case zpAlphaATop: out[3] = ab; break;
        case zpAlphaXor: out[3] = zpMul255(aa, 255 - ab) + zpMul255(ab, 255 - aa); break;
        case zpAlphaPlus: out[3] = zpSat(aa + ab); break;
        }
        for (int c = 0; c < 3; ++c) {
            const std::uint32_t ac = a[c];
            const std::uint32_t bc = b[c];
            std::uint32_t v = 0;
            if constexpr (!premultiplied) {
                const std::uint32_t pa = zpMul255(ac, aa);
                const std::uint32_t pb = zpMul255(bc, ab);
                switch (rule) {
                case zpAlphaOver: v = pa + zpMul255(pb, 255 - aa); break;
                case zpAlphaIn: v = zpMul255(pa, ab); break;
                case zpAlphaOut: v = zpMul255(pa, 255 - ab); break;
                case zpAlphaATop: v = zpMul255(pa, ab) + zpMul255(pb, 255 - aa); break;
                case zpAlphaXor: v = zpMul255(pa, 255 - ab) + zpMul255(pb, 255 - aa); break;
                case zpAlphaPlus: v = zpSat(pa + pb); break;
                }
            } else {
                switch (rule) {
                case zpAlphaOver: v = zpSat(ac + zpMul255(bc, 255 - aa)); break;
                case zpAlphaIn: v = zpMul255(ac, ab); break;
                case zpAlphaOut: v = zpMul255(ac, 255 - ab); break;
                case zpAlphaATop: v = zpSat(zpMul255(ac, ab) + zpMul255(bc, 255 - aa)); break;
                case zpAlphaXor: v = zpSat(zpMul255(ac, 255 - ab) + zpMul255(bc, 255 - aa)); break;
                case zpAlphaPlus: v = zpSat(ac + bc); break;
                }
            }
            out[c] = v;
        }
        // Every byte of both sources is read before the destination is written.
        d[0] = static_cast<std::uint8_t>(out[0]);
        d[1] = static_cast<std::uint8_t>(out[1]);
        d[2] = static_cast<std::uint8_t>(out[2]);
        d[3] = static_cast<std::uint8_t>(out[3]);
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
