// Super-sampling resize (interpolation 8): every destination pixel is the
// mean of the source rectangle it covers, edge pixels counted by the part
// that lies inside. The driver checks the arguments and works out the
// output size, extents and mode once per call; one kernel per image (one per
// plane) folds source rows into one accumulator row and reduces it.
//
// Internal to the image primitives, their tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ZImagePrimitives.h"

// Element type codes.
enum : std::int32_t { zpType8u = 0, zpType16u = 1, zpType32f = 2 };

// Arguments: source (or the array of plane pointers when planar is not 0),
// source width and height, source step in bytes, region x, y, width,
// height, destination (or plane array), destination step in bytes,
// destination width and height, the two factors, pixel step, channel kind
// (1 one sample, 4 four samples, else three at the pixel step), element
// type, planar flag.
zpStatus resize_superDriver_gen(const void* src, int srcWidth, int srcHeight, int srcStep, int roiX, int roiY,
                                int roiWidth, int roiHeight, void* dst, int dstStep, int dstWidth, int dstHeight,
                                double xFactor, double yFactor, int pixelStep, int channelKind, int type,
                                int planar);

// One destination pixel's share of the samples along one axis: sample
// `lead` with weight leadWeight (none when lead < 0), samples
// wholeBegin..wholeEnd-1 with weight 1, then sample `trail` with weight
// trailWeight (none when trail < 0). Samples at or past the axis' limit are
// already left out.
struct zpSuperTaps {
    int lead;
    double leadWeight;
    int wholeBegin, wholeEnd;
    int trail;
    double trailWeight;
};

// The walk of `count` destination pixels of extent k over samples 0 to
// limit - 1: blocks of k samples for a whole k, else the fractional walk
// that snaps a boundary within 1e-7 below a whole sample onto it.
std::vector<zpSuperTaps> zpSuperWalk(double k, int count, int limit);

// Kernels: source at the region's first pixel, destination, steps in bytes,
// source columns accumulated, source rows of the region (no row at or past
// it is read), output size, extents, norm, (C3: the pixel step), mode.
// False when the accumulator row cannot be had.
using zpSuperKernelC1 = bool (*)(const void* src, void* dst, int srcStep, int dstStep, int srcCols, int srcRows,
                                 int outW, int outH, double kx, double ky, double norm, int mode);
using zpSuperKernelC3 = bool (*)(const void* src, void* dst, int srcStep, int dstStep, int srcCols, int srcRows,
                                 int outW, int outH, double kx, double ky, double norm, int pixelStep, int mode);

// The nine kernels of one slot, by element type.
struct zpSuperKernels {
    zpSuperKernelC1 c1[3];
    zpSuperKernelC3 c3[3];
    zpSuperKernelC1 c4[3];
};

// The driver every slot runs with its own kernels: checks, clipping, output
// size, extents, norm, srcCols (from outW + 1 in single precision when
// singleCount), mode, and one kernel call per image or plane.
zpStatus zpSuperDrive(const zpSuperKernels& kernels, bool singleCount, const void* src, int srcWidth, int srcHeight,
                      int srcStep, int roiX, int roiY, int roiWidth, int roiHeight, void* dst, int dstStep,
                      int dstWidth, int dstHeight, double xFactor, double yFactor, int pixelStep, int channelKind,
                      int type, int planar);

bool resize8u_superC1_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int);
bool resize16u_superC1_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int);
bool resize32f_superC1_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int);
bool resize8u_superC3_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int, int);
bool resize16u_superC3_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int, int);
bool resize32f_superC3_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int, int);
bool resize8u_superC4_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int);
bool resize16u_superC4_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int);
bool resize32f_superC4_gen(const void*, void*, int, int, int, int, int, int, double, double, double, int);

// Row sums of mode 0: nRows source rows added into the accumulator row,
// count elements (C1) or pixels (C3, C4) per row; integer samples into
// 32-bit unsigned cells, floats into float cells.
void resize8u_superSumC1_gen(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize16u_superSumC1_gen(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize32f_superSumC1_gen(const float* src, int srcStep, int count, int nRows, float* acc);
void resize8u_superSumC3_gen(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                             int pixelStep);
void resize16u_superSumC3_gen(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                              int pixelStep);
void resize32f_superSumC3_gen(const float* src, int srcStep, int count, int nRows, float* acc, int pixelStep);
void resize8u_superSumC4_gen(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize16u_superSumC4_gen(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize32f_superSumC4_gen(const float* src, int srcStep, int count, int nRows, float* acc);

// ---- the processor slots ------------------------------------------------------------

#define ZP_DECLARE_SUPER_KERNELS(suffix)                                                                       \
    bool resize8u_superC1_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int); \
    bool resize16u_superC1_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int); \
    bool resize32f_superC1_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int); \
    bool resize8u_superC3_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int,  \
                                   int);                                                                        \
    bool resize16u_superC3_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int, \
                                    int);                                                                       \
    bool resize32f_superC3_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int, \
                                    int);                                                                       \
    bool resize8u_superC4_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int); \
    bool resize16u_superC4_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int); \
    bool resize32f_superC4_##suffix(const void*, void*, int, int, int, int, int, int, double, double, double, int);
ZP_DECLARE_SUPER_KERNELS(sse)
ZP_DECLARE_SUPER_KERNELS(sse2)
ZP_DECLARE_SUPER_KERNELS(sse3)
#undef ZP_DECLARE_SUPER_KERNELS

// Mode-0 row sums of the slots. They write the sums fresh where the generic
// ones add to the cells (the kernels clear the row first, so the sums agree);
// with pixel step 4 the fourth cell of each group is never written. Slot 2
// has its own three- and four-channel routines and runs the generic
// one-channel ones; slot 4 runs slot 3's. Slot 3's float one-channel routine
// sums the columns past its last block of 16 in double precision.
void resize8u_superSumC3_sse(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                             int pixelStep);
void resize16u_superSumC3_sse(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                              int pixelStep);
void resize32f_superSumC3_sse(const float* src, int srcStep, int count, int nRows, float* acc, int pixelStep);
void resize8u_superSumC4_sse(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize16u_superSumC4_sse(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize32f_superSumC4_sse(const float* src, int srcStep, int count, int nRows, float* acc);
void resize8u_superSumC1_sse2(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize16u_superSumC1_sse2(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize32f_superSumC1_sse2(const float* src, int srcStep, int count, int nRows, float* acc);
void resize8u_superSumC3_sse2(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                              int pixelStep);
void resize16u_superSumC3_sse2(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc,
                               int pixelStep);
void resize32f_superSumC3_sse2(const float* src, int srcStep, int count, int nRows, float* acc, int pixelStep);
void resize8u_superSumC4_sse2(const std::uint8_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize16u_superSumC4_sse2(const std::uint16_t* src, int srcStep, int count, int nRows, std::uint32_t* acc);
void resize32f_superSumC4_sse2(const float* src, int srcStep, int count, int nRows, float* acc);
