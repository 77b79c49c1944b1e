// Entries 2 to 4 of the copy and compositing primitives: the generic
// variant's argument checks, then one row kernel per row (one piece for a
// copy whose rows are contiguous on both sides).
#include <climits>

#include "zpGeneric.h"
#include "zpSlots.h"

namespace {

using CopyKernel = void (*)(const std::uint8_t* src, std::uint8_t* dst, std::int32_t length, int stream);

// Copies above this many bytes stream past the caches.
constexpr std::int64_t kStreamAbove = 131072;
// A kernel takes a signed 32-bit length: longer runs go in pieces of this
// size, a multiple of 64 so the pieces after the first stay aligned.
constexpr std::int64_t kPiece = std::int64_t{1} << 30;

void zpCopyBytes(CopyKernel kernel, const std::uint8_t* src, std::uint8_t* dst, std::int64_t length, int stream) {
    while (length > 0) {
        const std::int64_t piece = length < kPiece ? length : kPiece;
        kernel(src, dst, static_cast<std::int32_t>(piece), stream);
        src += piece;
        dst += piece;
        length -= piece;
    }
}

// First byte and one past the last byte a region of rows touches.
bool zpSpansOverlap(const std::uint8_t* a, int aStep, const std::uint8_t* b, int bStep, std::int64_t rowBytes,
                    int height) {
    const auto aBegin = reinterpret_cast<std::uintptr_t>(a);
    const auto bBegin = reinterpret_cast<std::uintptr_t>(b);
    const std::uintptr_t aEnd = aBegin + static_cast<std::uintptr_t>(std::int64_t{height - 1} * aStep + rowBytes);
    const std::uintptr_t bEnd = bBegin + static_cast<std::uintptr_t>(std::int64_t{height - 1} * bStep + rowBytes);
    return aBegin < bEnd && bBegin < aEnd;
}

zpStatus zpCopySlot(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize,
                    int pixelBytes, CopyKernel kernel, bool streams) {
    if (!src || !dst) return zpStsNullPtrErr;
    if (roiSize.width < 1 || roiSize.height < 1) return zpStsSizeErr;
    if (srcStep < 1 || dstStep < 1) return zpStsStepErr;
    const std::int64_t rowBytes = std::int64_t{roiSize.width} * pixelBytes;
    const std::int64_t total = rowBytes * roiSize.height;
    // Forward block copies and row-wise memmove part ways only when the
    // source and the destination share bytes: then the generic copy decides.
    if (zpSpansOverlap(src, srcStep, dst, dstStep, rowBytes, roiSize.height)) {
        return pixelBytes == 3 ? zpiCopy_8u_C3R_generic(src, srcStep, dst, dstStep, roiSize)
                               : zpiCopy_8u_C4R_generic(src, srcStep, dst, dstStep, roiSize);
    }
    const int stream = streams && total > kStreamAbove ? 1 : 0;
    if (srcStep == rowBytes && dstStep == rowBytes) {
        zpCopyBytes(kernel, src, dst, total, stream);
        return zpStsNoErr;
    }
    for (int y = 0; y < roiSize.height; ++y) {
        zpCopyBytes(kernel, src + std::int64_t{y} * srcStep, dst + std::int64_t{y} * dstStep, rowBytes, stream);
    }
    return zpStsNoErr;
}

void zpCopyRowsSse(const std::uint8_t* src, std::uint8_t* dst, std::int32_t length, int) {
    copy8u_rows_sse(src, dst, length);
}

const zpAlphaCompRow kRowsSse[6] = {
    alphaCompOver8u_rows_sse, alphaCompIn8u_rows_sse,  alphaCompOut8u_rows_sse,
    alphaCompAtop8u_rows_sse, alphaCompXor8u_rows_sse, alphaCompPlus8u_rows_sse,
};
const zpAlphaCompRow kRowsSse2[6] = {
    alphaCompOver8u_rows_sse2, alphaCompIn8u_rows_sse2,  alphaCompOut8u_rows_sse2,
    alphaCompAtop8u_rows_sse2, alphaCompXor8u_rows_sse2, alphaCompPlus8u_rows_sse2,
};

zpStatus zpAlphaCompSlot(const std::uint8_t* src1, int src1Step, const std::uint8_t* src2, int src2Step,
                         std::uint8_t* dst, int dstStep, zpSize roiSize, std::int32_t alphaType,
                         const zpAlphaCompRow (&rows)[6]) {
    if (!src1 || !src2 || !dst) return zpStsNullPtrErr;
    if (roiSize.width <= 0 || roiSize.height <= 0) return zpStsSizeErr;
    if (src1Step <= 0 || src2Step <= 0 || dstStep <= 0) return zpStsStepErr;
    if (static_cast<std::uint32_t>(alphaType) > zpAlphaPlusPremul) return zpStsAlphaTypeErr;
    const zpAlphaCompRow row = rows[alphaType % 6];
    const int premultiplied = alphaType >= zpAlphaOverPremul ? 1 : 0;
    const std::int64_t rowBytes = std::int64_t{roiSize.width} * 4;
    for (int y = 0; y < roiSize.height; ++y) {
        const std::uint8_t* a = src1 + std::int64_t{y} * src1Step;
        const std::uint8_t* b = src2 + std::int64_t{y} * src2Step;
        std::uint8_t* d = dst + std::int64_t{y} * dstStep;
        // The kernels read a block before writing it, which is exact when the
        // destination row starts where a source row does. A row that overlaps
        // a source row at another offset takes the generic pixel order.
        if ((d != a && zpSpansOverlap(a, 1, d, 1, rowBytes, 1)) || (d != b && zpSpansOverlap(b, 1, d, 1, rowBytes, 1))) {
            zpiAlphaComp_8u_AC4R_generic(a, src1Step, b, src2Step, d, dstStep, {roiSize.width, 1}, alphaType);
            continue;
        }
        row(a, b, d, roiSize.width, premultiplied);
    }
    return zpStsNoErr;
}

}  // namespace

zpStatus zpiCopy_8u_C3R_sse(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize) {
    return zpCopySlot(src, srcStep, dst, dstStep, roiSize, 3, zpCopyRowsSse, false);
}

zpStatus zpiCopy_8u_C4R_sse(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize) {
    return zpCopySlot(src, srcStep, dst, dstStep, roiSize, 4, zpCopyRowsSse, false);
}

zpStatus zpiCopy_8u_C3R_sse2(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize) {
    return zpCopySlot(src, srcStep, dst, dstStep, roiSize, 3, copy8u_rows_sse2, true);
}

zpStatus zpiCopy_8u_C4R_sse2(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize) {
    return zpCopySlot(src, srcStep, dst, dstStep, roiSize, 4, copy8u_rows_sse2, true);
}

zpStatus zpiAlphaComp_8u_AC4R_sse(const std::uint8_t* src1, int src1Step, const std::uint8_t* src2, int src2Step,
                                  std::uint8_t* dst, int dstStep, zpSize roiSize, std::int32_t alphaType) {
    return zpAlphaCompSlot(src1, src1Step, src2, src2Step, dst, dstStep, roiSize, alphaType, kRowsSse);
}

zpStatus zpiAlphaComp_8u_AC4R_sse2(const std::uint8_t* src1, int src1Step, const std::uint8_t* src2, int src2Step,
                                   std::uint8_t* dst, int dstStep, zpSize roiSize, std::int32_t alphaType) {
    return zpAlphaCompSlot(src1, src1Step, src2, src2Step, dst, dstStep, roiSize, alphaType, kRowsSse2);
}
