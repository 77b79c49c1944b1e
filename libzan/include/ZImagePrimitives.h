// The image primitives: fourteen table-dispatched routines on 8-bit pixel
// regions (copy, alpha compositing, resize, colour conversion, mirror,
// premultiplication). Every entry point forwards its arguments untouched to
// entry zpVariantIndex of its variant table. Entry 1 holds the generic
// variant; the copies and the compositing have processor-specific variants
// in entries 2 to 4 that give the same bytes, the others hold the generic
// there too. The index stays 1: the program never selects another entry.
//
// Each primitive checks its arguments in a fixed order and returns the first
// failing status before writing anything; callers compare with zpStsNoErr.
//
// Threading: no state; any thread may call any primitive at the same time as
// another, as long as the destination regions do not overlap.
#pragma once

#include <cstddef>
#include <cstdint>

typedef std::int32_t zpStatus;

enum : zpStatus {
    zpStsNoErr = 0,
    zpStsResizeNoOperation = 1,  // resize: ROI origin outside the source image
    zpStsSizeErr = -6,
    zpStsNullPtrErr = -8,
    zpStsMemAllocErr = -9,
    zpStsStepErr = -14,
    zpStsMirrorFlipErr = -21,
    zpStsInterpolationErr = -22,
    zpStsResizeFactorErr = -23,
    zpStsAlphaTypeErr = -50,
    zpStsCpuClassErr = 21,  // zpSelectVariant: processor class code out of range
};

struct zpSize {
    std::int32_t width;
    std::int32_t height;
};

struct zpRect {
    std::int32_t x;
    std::int32_t y;
    std::int32_t width;
    std::int32_t height;
};

// Interpolation codes of the resize primitives.
enum : std::int32_t {
    zpInterNearest = 1,
    zpInterLinear = 2,
    zpInterCubic = 4,
    zpInterSuper = 8,
};

// Axis codes of the mirrors.
enum : std::int32_t {
    zpAxsHorizontal = 0,  // rows change places: upside down
    zpAxsVertical = 1,    // columns change places: left to right
    zpAxsBoth = 2,        // a half turn
};

// Alpha compositing operation codes; 6 to 11 take premultiplied colours.
enum : std::int32_t {
    zpAlphaOver = 0,
    zpAlphaIn,
    zpAlphaOut,
    zpAlphaATop,
    zpAlphaXor,
    zpAlphaPlus,
    zpAlphaOverPremul,
    zpAlphaInPremul,
    zpAlphaOutPremul,
    zpAlphaATopPremul,
    zpAlphaXorPremul,
    zpAlphaPlusPremul,
};

zpStatus zpiCopy_8u_C3R(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);
zpStatus zpiAlphaComp_8u_AC4R(const std::uint8_t* src1, int src1Step, const std::uint8_t* src2, int src2Step,
                              std::uint8_t* dst, int dstStep, zpSize roiSize, std::int32_t alphaType);
zpStatus zpiCopy_8u_C4R(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);
zpStatus zpiResize_8u_C1R(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi, std::uint8_t* dst,
                          int dstStep, zpSize dstRoiSize, double xFactor, double yFactor, std::int32_t interpolation);
zpStatus zpiResize_8u_C3R(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi, std::uint8_t* dst,
                          int dstStep, zpSize dstRoiSize, double xFactor, double yFactor, std::int32_t interpolation);
zpStatus zpiResize_8u_C4R(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi, std::uint8_t* dst,
                          int dstStep, zpSize dstRoiSize, double xFactor, double yFactor, std::int32_t interpolation);
zpStatus zpiAlphaPremul_8u_AC4IR(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize);
zpStatus zpiRGBToGray_8u_C3C1R(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);
zpStatus zpiYUV420ToRGB_8u_P3C3(const std::uint8_t* const src[3], std::uint8_t* dst, zpSize imgSize);
zpStatus zpiRGBToYUV420_8u_C3P3(const std::uint8_t* src, std::uint8_t* const dst[3], zpSize imgSize);
zpStatus zpiMirror_8u_C4IR(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize, std::int32_t flip);
zpStatus zpiMirror_8u_C3IR(std::uint8_t* srcDst, int srcDstStep, zpSize roiSize, std::int32_t flip);
zpStatus zpiRGBToGray_8u_AC4C1R(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);
zpStatus zpiYUV422ToRGB_8u_C2C3R(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize roiSize);

// ---- dispatch ----------------------------------------------------------------

// Selects entry 1 to 4 of every variant table; entry 0 is empty.
extern std::int32_t zpVariantIndex;

// The five variants of one primitive: entry 0 empty, 1 generic, 2 MMX/SSE,
// 3 SSE2, 4 the newest processor class.
template <typename Fn>
struct zpVariantTable {
    Fn* entry[5];
};

// One record per primitive, linked at start-up in catalogue order.
struct zpRegistration {
    const char* tag;
    const char* name;
    const void* table;
    zpRegistration* next;
};

extern zpRegistration* zpRegistrationList;
// Makes record the head of the list and returns the previous head.
zpRegistration* zpRegisterPrimitive(zpRegistration* record);

// Maps a processor class code to the variant index (0-4 -> 1, 5 -> 2,
// 6, 7, 9 -> 3, 8 -> 4) and returns zpStsNoErr; any other code, -1 included,
// returns zpStsCpuClassErr and leaves the index alone.
zpStatus zpSelectVariant(std::int32_t cpuClass);

// Work buffers aligned to 32 bytes; null for n <= 0 or when the heap fails.
// zpAlignedMalloc8 counts bytes, the others 32-bit and 16-bit elements.
void* zpAlignedMalloc8(std::ptrdiff_t n);
void* zpAlignedMalloc32(int n);
void* zpAlignedMalloc16(int n);
void zpAlignedFree(void* p);
