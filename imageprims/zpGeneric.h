// The generic variants of the image primitives (table entry 1) and the
// helpers they share.
#pragma once

#include <cstdint>

#include "ZImagePrimitives.h"

zpStatus zpiCopy_8u_C3R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                zpSize roiSize);
zpStatus zpiCopy_8u_C4R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                zpSize roiSize);
zpStatus zpiAlphaComp_8u_AC4R_generic(const std::uint8_t* src1, int src1Step, const std::uint8_t* src2,
                                      int src2Step, std::uint8_t* dst, int dstStep, zpSize roiSize,
                                      std::int32_t alphaType);
zpStatus zpiResize_8u_C1R_generic(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,
                                  std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,
                                  double yFactor, std::int32_t interpolation);
zpStatus zpiResize_8u_C3R_generic(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,
                                  std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,
                                  double yFactor, std::int32_t interpolation);
zpStatus zpiResize_8u_C4R_generic(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,
                                  std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,
                                  double yFactor, std::int32_t interpolation);
zpStatus zpiAlphaPremul_8u_AC4IR_generic(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize);
zpStatus zpiRGBToGray_8u_C3C1R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                       zpSize roiSize);
zpStatus zpiRGBToGray_8u_AC4C1R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                        zpSize roiSize);
zpStatus zpiYUV420ToRGB_8u_P3C3_generic(const std::uint8_t* const src[3], std::uint8_t* dst, zpSize imgSize);
zpStatus zpiRGBToYUV420_8u_C3P3_generic(const std::uint8_t* src, std::uint8_t* const dst[3], zpSize imgSize);
zpStatus zpiMirror_8u_C4IR_generic(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize, std::int32_t flip);
zpStatus zpiMirror_8u_C3IR_generic(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize, std::int32_t flip);
zpStatus zpiYUV422ToRGB_8u_C2C3R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                         zpSize roiSize);

// x * y / 255 rounded down, for all 8-bit x and y.
inline std::uint32_t zpMul255(std::uint32_t x, std::uint32_t y) {
    const std::uint32_t p = x * y;
    return (p + (p >> 8) + 1) >> 8;
}
