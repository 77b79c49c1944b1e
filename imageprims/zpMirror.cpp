// Generic in-place mirrors of 3- and 4-byte pixel images and alpha
// premultiplication.
#include <utility>

#include "zpGeneric.h"

namespace {

void zpSwapPixels(std::uint8_t* a, std::uint8_t* b, int pixelBytes) {
    for (int i = 0; i < pixelBytes; ++i) std::swap(a[i], b[i]);
}

void zpReverseRow(std::uint8_t* row, int width, int pixelBytes) {
    for (int x = 0; x < width / 2; ++x) zpSwapPixels(row + x * pixelBytes, row + (width - 1 - x) * pixelBytes, pixelBytes);
}

zpStatus zpMirror(std::uint8_t* image, int step, zpSize size, std::int32_t flip, int pixelBytes) {
    if (!image) return zpStsNullPtrErr;
    if (step < 1) return zpStsStepErr;
    if (size.width < 1 || size.height < 1) return zpStsSizeErr;
    if (flip != zpAxsHorizontal && flip != zpAxsVertical && flip != zpAxsBoth) return zpStsMirrorFlipErr;
    const int w = size.width;
    const int h = size.height;
    auto row = [&](int y) { return image + static_cast<std::ptrdiff_t>(y) * step; };
    switch (flip) {
    case zpAxsHorizontal:
        for (int y = 0; y < h / 2; ++y)
            for (int x = 0; x < w; ++x) zpSwapPixels(row(y) + x * pixelBytes, row(h - 1 - y) + x * pixelBytes, pixelBytes);
        break;
    case zpAxsVertical:
        for (int y = 0; y < h; ++y) zpReverseRow(row(y), w, pixelBytes);
        break;
    case zpAxsBoth:
        for (int y = 0; y < h / 2; ++y)
            for (int x = 0; x < w; ++x)
                zpSwapPixels(row(y) + x * pixelBytes, row(h - 1 - y) + (w - 1 - x) * pixelBytes, pixelBytes);
        if (h % 2) zpReverseRow(row(h / 2), w, pixelBytes);
        break;
    }
    return zpStsNoErr;
}

}  // namespace

zpStatus zpiMirror_8u_C4IR_generic(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize, std::int32_t flip) {
    return zpMirror(srcDst, srcDstStep, roiSize, flip, 4);
}

zpStatus zpiMirror_8u_C3IR_generic(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize, std::int32_t flip) {
    return zpMirror(srcDst, srcDstStep, roiSize, flip, 3);
}

zpStatus zpiAlphaPremul_8u_AC4IR_generic(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize) {
    if (!srcDst) return zpStsNullPtrErr;
    if (roiSize.width < 1 || roiSize.height < 1) return zpStsSizeErr;
    if (srcDstStep < 1) return zpStsStepErr;
    for (int y = 0; y < roiSize.height; ++y) {
        std::uint8_t* p = srcDst + static_cast<std::ptrdiff_t>(y) * srcDstStep;
        for (int x = 0; x < roiSize.width; ++x, p += 4) {
            const std::uint32_t a = p[3];
            p[0] = static_cast<std::uint8_t>(zpMul255(p[0], a));
            p[1] = static_cast<std::uint8_t>(zpMul255(p[1], a));
            p[2] = static_cast<std::uint8_t>(zpMul255(p[2], a));
        }
    }
    return zpStsNoErr;
}
