// The resize primitive in its four processor slots: the entry functions, the
// resize drivers with their row-helper tables, the super-sampling drivers,
// and hooks that let the tests see the tables a driver builds and fail its
// allocations. Slot 1 (gen) is the generic variant the program runs; slot 2
// (sse) uses MMX integer and SSE single-precision instructions, slot 3 (sse2)
// SSE2, slot 4 (sse3) SSE2 and, in three super-sampling kernels, SSE3.
//
// Internal to the image primitives, their tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "ZImagePrimitives.h"
#include "zpSuperSample.h"

// ---- entry functions (table entries 2 to 4 of zpiResize_8u_C*R) -----------------

#define ZP_RESIZE_ENTRY(name)                                                                                 \
    zpStatus name(const std::uint8_t* src, zpSize srcSize, int srcStep, zpRect srcRoi, std::uint8_t* dst,     \
                  int dstStep, zpSize dstRoiSize, double xFactor, double yFactor, std::int32_t interpolation)
ZP_RESIZE_ENTRY(zpiResize_8u_C1R_sse);
ZP_RESIZE_ENTRY(zpiResize_8u_C3R_sse);
ZP_RESIZE_ENTRY(zpiResize_8u_C4R_sse);
ZP_RESIZE_ENTRY(zpiResize_8u_C1R_sse2);
ZP_RESIZE_ENTRY(zpiResize_8u_C3R_sse2);
ZP_RESIZE_ENTRY(zpiResize_8u_C4R_sse2);
ZP_RESIZE_ENTRY(zpiResize_8u_C1R_sse3);
ZP_RESIZE_ENTRY(zpiResize_8u_C3R_sse3);
ZP_RESIZE_ENTRY(zpiResize_8u_C4R_sse3);
#undef ZP_RESIZE_ENTRY

// ---- resize drivers ------------------------------------------------------------------

// Arguments: source (or array of plane pointers), source width, height and
// step in bytes, region x, y, width, height, destination (or plane array),
// destination step in bytes, destination width and height (the most that
// is written), the two factors, the two shifts added to every source
// position, pixel step (1, 3, 4), channel count (1, 3, 4; 3 at pixel step 4
// leaves the fourth sample alone), element type, planar flag, interpolation
// (1, 2, 4) and size mode (not 0: factors scale the region; 0: factors are
// the source distance between neighbouring destination pixels).
#define ZP_RESIZE_DRIVER(name)                                                                                 \
    zpStatus name(const void* src, int srcWidth, int srcHeight, int srcStep, int roiX, int roiY, int roiWidth, \
                  int roiHeight, void* dst, int dstStep, int dstWidth, int dstHeight, double xFactor,          \
                  double yFactor, double xShift, double yShift, int pixelStep, int channels, int type,         \
                  int planar, int interpolation, int sizeMode)
ZP_RESIZE_DRIVER(resize_driver_gen);
ZP_RESIZE_DRIVER(resize_driver_sse);
ZP_RESIZE_DRIVER(resize_driver_sse2);
ZP_RESIZE_DRIVER(resize_driver_sse3);
#undef ZP_RESIZE_DRIVER

// Everything a row helper needs for one image (one plane): the driver's
// tables, weights and row buffers. Steps, offsets and indices count samples.
struct zpRowJob {
    const void* src;  // the region's first sample
    void* dst;
    int srcStep, dstStep;
    int width, height;         // output pixels written
    const std::int32_t* yIdx;  // per output row: source row offset
    const std::int32_t* xIdx;  // per output column: sample index in a row
    // Linear 8u and 16u: Q14 std::int16_t, one per row and a (w0, w1) pair
    // per column; linear 32f and cubic: float fractions.
    const void* rowWeights;
    const void* columnWeights;
    void* buffers[4];      // linear: 0 and 1; cubic: 0 to 3
    int pixelStep;         // samples per pixel in memory (0 for planes)
    int channels;          // interpolated samples per pixel (0 for planes)
};

using zpRowHelper = void (*)(const zpRowJob& job);

// 21 entries: 3 * group + element type. Groups: 0 nearest C3/AC4, 1 nearest
// C1, 2 nearest C4, 3 linear multi-channel, 4 linear C1, 5 cubic
// multi-channel, 6 cubic C1.
extern const zpRowHelper resizeRowHelpers_gen[21];
extern const zpRowHelper resizeRowHelpers_sse[21];
extern const zpRowHelper resizeRowHelpers_sse2[21];
extern const zpRowHelper resizeRowHelpers_sse3[21];

// The driver arguments as one record, for the hook below.
struct zpResizeArgs {
    const void* src;
    int srcWidth, srcHeight, srcStep;
    int roiX, roiY, roiWidth, roiHeight;
    void* dst;
    int dstStep, dstWidth, dstHeight;
    double xFactor, yFactor, xShift, yShift;
    int pixelStep, channels, type, planar, interpolation, sizeMode;
};

// Runs slot `slot`'s driver on `args` up to its row-helper calls and hands
// each call's job and table entry to `inspect` instead: the tables and
// weights as the driver built them. Returns the driver's status.
zpStatus zpResizeInspect(int slot, const zpResizeArgs& args,
                         const std::function<void(const zpRowJob& job, int entry)>& inspect);

// ---- super-sampling drivers of the processor slots -------------------------------------

#define ZP_SUPER_DRIVER(name)                                                                                   \
    zpStatus name(const void* src, int srcWidth, int srcHeight, int srcStep, int roiX, int roiY, int roiWidth, \
                  int roiHeight, void* dst, int dstStep, int dstWidth, int dstHeight, double xFactor,          \
                  double yFactor, int pixelStep, int channelKind, int type, int planar)
ZP_SUPER_DRIVER(resize_superDriver_sse);
ZP_SUPER_DRIVER(resize_superDriver_sse2);
ZP_SUPER_DRIVER(resize_superDriver_sse3);
#undef ZP_SUPER_DRIVER

// ---- allocation hooks --------------------------------------------------------------------

// Slot 4's own allocator of 32-bit elements, with zpAlignedMalloc32's contract.
void* zpAlignedMalloc32_sse3(int n);

// Consulted before every aligned allocation when set: false makes that
// allocation fail as an exhausted heap would. Tests only.
extern bool (*zpAlignedMallocGate)(std::size_t bytes);
// Aligned blocks allocated and not yet freed.
std::int64_t zpAlignedBlocksLive();
