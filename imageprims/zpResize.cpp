// Generic resize of 8-bit images with 1, 3 or 4 samples per pixel: argument
// checks, output size, coordinate mapping and lookup tables. The row
// routines live in zpResizeRows.cpp.
#include <cmath>

#include "zpGeneric.h"
#include "zpResizeRows.h"
#include "zpSuperSample.h"

namespace {

bool zpWhole(double value) { return value - std::trunc(value) == 0.0; }

// Output length of one axis: the ROI length times the factor, cut to the
// destination ROI and never below 1.
int zpOutputLength(int roiLength, double factor, int dstLength, double& real) {
    real = roiLength * factor;
    const double truncated = std::trunc(real + 1e-7);
    if (truncated >= dstLength) return dstLength;
    if (truncated < 1.0) return 1;
    return static_cast<int>(truncated);
}

// Step and start offset of the source position of one axis.
void zpMapping(int interpolation, int roiLength, double real, double factor, double& step, double& offset) {
    step = real > 1.0 ? (roiLength - 1) / (real - 1.0) : 0.0;
    offset = 0.0;
    if (interpolation != zpInterNearest) return;
    if (factor >= 1.0 && zpWhole(factor)) {
        step = factor == 1.0 ? 1.0 : 1.0 / factor;
    } else if (factor < 1.0 && zpWhole(1.0 / factor)) {
        step = 1.0 / factor;
    } else {
        offset = 0.5;
    }
}

// Source index of a position; a floating-point excess is never allowed to
// reach past the image.
int zpIndex(double p, int last) {
    int k = static_cast<int>(std::trunc(p + 1e-7));
    if (k > last) k = last;
    if (k < 0) k = 0;
    return k;
}

// Fills the index table of one axis and, for linear and cubic, its weights.
// last is the image's last index relative to the ROI origin, origin the ROI
// origin, length the image length.
void zpAxisTables(const zpAxis& axis, int count, double step, double offset, int interpolation, int origin,
                  int length, std::int32_t* index, std::uint16_t* weights, int weightStride, float* fractions) {
    const int last = length - 1 - origin;
    double p = offset;
    for (int i = 0; i < count; ++i, p += step) {
        int k = zpIndex(p, last);
        if (interpolation == zpInterLinear) {
            std::int32_t w;
            if (k == last) {
                k -= 1;
                w = 16384;
            } else {
                w = static_cast<std::int32_t>(std::trunc((p - k) * 16384.0 + 1e-7));
                if (w > 16384) w = 16384;
                if (w < 0) w = 0;
            }
            if (weightStride == 2) {
                weights[2 * i] = static_cast<std::uint16_t>(16384 - w);
                weights[2 * i + 1] = static_cast<std::uint16_t>(w);
            } else {
                weights[i] = static_cast<std::uint16_t>(w);
            }
        } else if (interpolation == zpInterCubic) {
            const int a = k + origin;
            float t;
            if (a == length - 1) {
                k -= 2;
                t = 2.0f;
            } else {
                if (a == 0) k += 1;
                else if (a == length - 2) k -= 1;
                t = static_cast<float>(p - k);
            }
            fractions[i] = t;
        }
        index[i] = k * axis.scale;
    }
}

}  // namespace

zpStatus zpResizeDriver(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect roi, std::uint8_t* dst,
                        int dstStep, zpSize dstSize, double xFactor, double yFactor, std::int32_t interpolation,
                        int pixelStep) {
    if (!src || !dst) return zpStsNullPtrErr;
    if (srcSize.width < 1 || srcSize.height < 1) return zpStsSizeErr;
    if (srcStep < 1 || dstStep < 1) return zpStsStepErr;
    if (roi.x < 0 || roi.y < 0 || roi.width < 1 || roi.height < 1 || dstSize.width < 1 || dstSize.height < 1)
        return zpStsSizeErr;
    if (roi.x >= srcSize.width || roi.y >= srcSize.height) return zpStsResizeNoOperation;
    if (!(xFactor > 0.0) || !(yFactor > 0.0)) return zpStsResizeFactorErr;
    if (interpolation != zpInterNearest && interpolation != zpInterLinear && interpolation != zpInterCubic)
        return zpStsInterpolationErr;

    if (srcSize.width < 2 || srcSize.height < 2) interpolation = zpInterNearest;
    if ((srcSize.width < 4 || srcSize.height < 4) && interpolation == zpInterCubic) interpolation = zpInterLinear;
    if (roi.x + static_cast<std::int64_t>(roi.width) > srcSize.width) roi.width = srcSize.width - roi.x;
    if (roi.y + static_cast<std::int64_t>(roi.height) > srcSize.height) roi.height = srcSize.height - roi.y;

    zpResizeJob job;
    job.origin = src + static_cast<std::ptrdiff_t>(roi.y) * srcStep + static_cast<std::ptrdiff_t>(roi.x) * pixelStep;
    job.srcStep = srcStep;
    job.dst = dst;
    job.dstStep = dstStep;
    job.pixelStep = pixelStep;
    double realW, realH;
    job.width = zpOutputLength(roi.width, xFactor, dstSize.width, realW);
    job.height = zpOutputLength(roi.height, yFactor, dstSize.height, realH);
    double xStep, xOffset, yStep, yOffset;
    zpMapping(interpolation, roi.width, realW, xFactor, xStep, xOffset);
    zpMapping(interpolation, roi.height, realH, yFactor, yStep, yOffset);

    zpResizeBuffers buffers;
    if (!buffers.allocate(interpolation, job.width, job.height, pixelStep)) return zpStsMemAllocErr;
    job.rows = buffers.rows;
    job.columns = buffers.columns;
    job.rowWeights = buffers.rowWeights;
    job.columnWeights = buffers.columnWeights;
    job.rowFractions = buffers.rowFractions;
    job.columnFractions = buffers.columnFractions;
    job.columnCubic = buffers.columnCubic;
    for (int i = 0; i < 4; ++i) job.lines[i] = buffers.lines[i];

    // Rows keep their source row index; the routines multiply by the step.
    zpAxisTables(zpAxis{1}, job.height, yStep, yOffset, interpolation, roi.y, srcSize.height, buffers.rows,
                 buffers.rowWeights, 1, buffers.rowFractions);
    zpAxisTables(zpAxis{pixelStep}, job.width, xStep, xOffset, interpolation, roi.x, srcSize.width, buffers.columns,
                 buffers.columnWeights, 2, buffers.columnFractions);

    switch (interpolation) {
    case zpInterNearest: zpResizeNearestRows(job); break;
    case zpInterLinear: zpResizeLinearRows(job); break;
    case zpInterCubic: zpResizeCubicRows(job); break;
    }
    return zpStsNoErr;
}

zpStatus zpiResize_8u_C1R_generic(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,
                                  std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,
                                  double yFactor, std::int32_t interpolation) {
    if (interpolation == zpInterSuper && xFactor <= 1.0 && yFactor <= 1.0)
        return resize_superDriver_gen(src, srcSize.width, srcSize.height, srcStep, srcRoi.x, srcRoi.y, srcRoi.width,
                                      srcRoi.height, dst, dstStep, dstRoiSize.width, dstRoiSize.height, xFactor,
                                      yFactor, 1, 1, zpType8u, 0);
    return zpResizeDriver(src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor, interpolation, 1);
}

zpStatus zpiResize_8u_C3R_generic(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,
                                  std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,
                                  double yFactor, std::int32_t interpolation) {
    if (interpolation == zpInterSuper && xFactor <= 1.0 && yFactor <= 1.0)
        return resize_superDriver_gen(src, srcSize.width, srcSize.height, srcStep, srcRoi.x, srcRoi.y, srcRoi.width,
                                      srcRoi.height, dst, dstStep, dstRoiSize.width, dstRoiSize.height, xFactor,
                                      yFactor, 3, 3, zpType8u, 0);
    return zpResizeDriver(src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor, interpolation, 3);
}

zpStatus zpiResize_8u_C4R_generic(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi,
                                  std::uint8_t* dst, int dstStep, zpSize dstRoiSize, double xFactor,
                                  double yFactor, std::int32_t interpolation) {
    if (interpolation == zpInterSuper && xFactor <= 1.0 && yFactor <= 1.0)
        return resize_superDriver_gen(src, srcSize.width, srcSize.height, srcStep, srcRoi.x, srcRoi.y, srcRoi.width,
                                      srcRoi.height, dst, dstStep, dstRoiSize.width, dstRoiSize.height, xFactor,
                                      yFactor, 4, 4, zpType8u, 0);
    return zpResizeDriver(src, srcSize, srcStep, srcRoi, dst, dstStep, dstRoiSize, xFactor, yFactor, interpolation, 4);
}
