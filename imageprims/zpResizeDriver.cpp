// The resize driver of every slot: argument checks, method fallback,
// clipping, output size, the corner-aligned mapping, the row and column
// tables with their weights, the row buffers, and the call of one entry of
// the slot's row-helper table per image (per plane). The four slots differ
// only in their table, their allocator of 32-bit elements and whether the
// step is formed with one division (slot 4) or through a reciprocal.
#include <climits>
#include <cmath>

#include "zpNumeric.h"
#include "zpResizeSlots.h"

namespace {

struct zpSlotDriver {
    const zpRowHelper* table;
    void* (*malloc32)(int n);
    bool divides;
};

const zpSlotDriver kGen = {resizeRowHelpers_gen, zpAlignedMalloc32, false};
const zpSlotDriver kSse = {resizeRowHelpers_sse, zpAlignedMalloc32, false};
const zpSlotDriver kSse2 = {resizeRowHelpers_sse2, zpAlignedMalloc32, false};
const zpSlotDriver kSse3 = {resizeRowHelpers_sse3, zpAlignedMalloc32_sse3, true};

// Output length, step and start offset of one axis.
struct zpAxisPlan {
    int count;
    double step, offset;
};

zpAxisPlan zpPlanAxis(int length, double f, int dstLength, int interpolation, int sizeMode, bool divides) {
    zpAxisPlan plan{};
    const bool nearest = interpolation == zpInterNearest;
    const bool wholeRatio = f >= 1.0 ? zpWholeNumber(f) : zpWholeNumber(1.0 / f);
    const double r = length;
    std::int64_t n;
    if (sizeMode != 0) {
        const double real = r * f;
        n = zpSatTrunc(real + 1e-7);
        if (nearest && wholeRatio) plan.step = f == 1.0 ? 1.0 : 1.0 / f;
        else if (real > 1.0) plan.step = divides ? (r - 1.0) / (real - 1.0) : (r - 1.0) * (1.0 / (real - 1.0));
        else plan.step = 0.0;
    } else {
        plan.step = f;
        const double v = f >= 1.0 ? f : 1.0 / f;
        const double inverse = 1.0 / f;
        if (nearest && std::fabs(v - std::trunc(v + 1e-7)) < 1e-7)
            n = zpSatTrunc((divides ? r / f : r * inverse) + 1e-7);
        else
            n = zpSatTrunc((divides ? (r - 1.0) / f : (r - 1.0) * inverse) + 1e-7) + 1;
    }
    if (n < 1) n = 1;
    plan.count = n < dstLength ? static_cast<int>(n) : dstLength;
    plan.offset = nearest && !wholeRatio ? 0.5 : 0.0;
    return plan;
}

// Index table and weights of one axis. Positions are held inside the
// region, so a shift can never move a tap out of the image; origin is the
// region's first index in the image, length the image's length.
struct zpAxisTables {
    std::int32_t* index;
    std::int16_t* q14;  // linear 8u and 16u
    int q14Stride;      // 2 for column pairs, 1 for row weights
    float* fraction;    // linear 32f, cubic
};

void zpFillAxis(const zpAxisPlan& plan, double shift, int regionLength, int origin, int length, int interpolation,
                std::int64_t scale, const zpAxisTables& t) {
    const int last = length - 1 - origin;
    const double top = regionLength - 1;
    double p = shift + plan.offset;
    for (int j = 0; j < plan.count; ++j, p += plan.step) {
        double q = p;
        if (!(q >= 0.0)) q = 0.0;
        if (q > top) q = top;
        const int i = static_cast<int>(std::trunc(q + 1e-7));
        int k = i;
        if (interpolation == zpInterLinear) {
            std::int32_t w1 = 16384;
            float d = 1.0f;
            if (i == last) {
                k = i - 1;
            } else {
                const double fraction = q - i;
                w1 = static_cast<std::int32_t>(std::trunc(fraction * 16384.0 + 1e-7));
                if (w1 < 0) w1 = 0;
                if (w1 > 16384) w1 = 16384;
                d = static_cast<float>(fraction);
            }
            if (t.q14) {
                if (t.q14Stride == 2) {
                    t.q14[2 * j] = static_cast<std::int16_t>(16384 - w1);
                    t.q14[2 * j + 1] = static_cast<std::int16_t>(w1);
                } else {
                    t.q14[j] = static_cast<std::int16_t>(w1);
                }
            } else {
                t.fraction[j] = d;
            }
        } else if (interpolation == zpInterCubic) {
            const int a = i + origin;
            float fraction = 2.0f;
            if (a == length - 1) {
                k = i - 2;
            } else {
                if (a == 0) k = i + 1;
                else if (a == length - 2) k = i - 1;
                fraction = static_cast<float>(q - k);
            }
            t.fraction[j] = fraction;
        }
        t.index[j] = static_cast<std::int32_t>(k * scale);
    }
}

// Every block of one call, freed on destruction in the driver's order.
struct zpWorkBlocks {
    void* yIdx = nullptr;
    void* xIdx = nullptr;
    void* rowWeights = nullptr;
    void* columnWeights = nullptr;
    void* buffers[4] = {nullptr, nullptr, nullptr, nullptr};
    ~zpWorkBlocks() {
        zpAlignedFree(yIdx);
        zpAlignedFree(xIdx);
        for (int i : {0, 1}) zpAlignedFree(buffers[i]);
        zpAlignedFree(rowWeights);
        zpAlignedFree(columnWeights);
        for (int i : {2, 3}) zpAlignedFree(buffers[i]);
    }
};

// Allocates n elements, refusing counts an int cannot hold.
void* zpTake(void* (*allocate)(int), std::int64_t n) { return n > INT_MAX ? nullptr : allocate(static_cast<int>(n)); }

bool zpValidLayout(int pixelStep, int channels, int type, int planar) {
    if (type < zpType8u || type > zpType32f) return false;
    if (planar) return channels == 1 || channels == 3 || channels == 4;
    return (pixelStep == channels && (channels == 1 || channels == 3 || channels == 4)) ||
           (pixelStep == 4 && channels == 3);
}

using zpInspector = std::function<void(const zpRowJob&, int)>;

zpStatus zpResizeRun(const zpSlotDriver& slot, const zpResizeArgs& a, const zpInspector* inspect) {
    if (!a.src || !a.dst) return zpStsNullPtrErr;
    const int planes = a.channels == 3 ? 3 : 4;
    if (a.planar) {
        // Plane pointers are used as they stand: a null one is refused.
        const auto* s = static_cast<const void* const*>(a.src);
        const auto* d = static_cast<void* const*>(a.dst);
        for (int i = 0; i < planes; ++i)
            if (!s[i] || !d[i]) return zpStsNullPtrErr;
    }
    if (a.srcWidth < 1 || a.srcHeight < 1) return zpStsSizeErr;
    // Layouts other than C1, C3, C4 and AC4 have no row helper.
    if (!zpValidLayout(a.pixelStep, a.channels, a.type, a.planar)) return zpStsSizeErr;
    const int sampleSize = a.type == zpType8u ? 1 : (a.type == zpType16u ? 2 : 4);
    // A step that is not a whole number of samples would shift every row.
    if (a.srcStep < 1 || a.dstStep < 1 || a.srcStep % sampleSize || a.dstStep % sampleSize) return zpStsStepErr;
    if (a.roiX < 0 || a.roiY < 0 || a.roiWidth < 1 || a.roiHeight < 1 || a.dstWidth < 1 || a.dstHeight < 1)
        return zpStsSizeErr;
    if (a.roiX >= a.srcWidth || a.roiY >= a.srcHeight) return zpStsResizeNoOperation;
    if (!(a.xFactor > 0.0) || !(a.yFactor > 0.0)) return zpStsResizeFactorErr;
    int interpolation = a.interpolation;
    if (interpolation != zpInterNearest && interpolation != zpInterLinear && interpolation != zpInterCubic)
        return zpStsInterpolationErr;

    if (a.srcWidth < 2 || a.srcHeight < 2) interpolation = zpInterNearest;
    if ((a.srcWidth < 4 || a.srcHeight < 4) && interpolation == zpInterCubic) interpolation = zpInterLinear;
    const int roiWidth = std::int64_t{a.roiX} + a.roiWidth > a.srcWidth ? a.srcWidth - a.roiX : a.roiWidth;
    const int roiHeight = std::int64_t{a.roiY} + a.roiHeight > a.srcHeight ? a.srcHeight - a.roiY : a.roiHeight;
    const int srcStep = a.srcStep / sampleSize;
    const int dstStep = a.dstStep / sampleSize;
    const std::int64_t columnScale = a.planar || a.channels == 1 ? 1 : a.pixelStep;
    // Table entries are 32-bit sample offsets: an image whose rows or
    // columns reach past that range cannot be described by them.
    if (std::int64_t{a.srcHeight - a.roiY} * srcStep > INT_MAX ||
        std::int64_t{a.srcWidth - a.roiX} * columnScale > INT_MAX)
        return zpStsSizeErr;

    const zpAxisPlan xPlan = zpPlanAxis(roiWidth, a.xFactor, a.dstWidth, interpolation, a.sizeMode, slot.divides);
    const zpAxisPlan yPlan = zpPlanAxis(roiHeight, a.yFactor, a.dstHeight, interpolation, a.sizeMode, slot.divides);
    const int outW = xPlan.count, outH = yPlan.count;
    const bool q14 = interpolation == zpInterLinear && a.type != zpType32f;

    zpWorkBlocks blocks;
    blocks.yIdx = slot.malloc32(outH);
    blocks.xIdx = slot.malloc32(outW);
    if (!blocks.yIdx || !blocks.xIdx) return zpStsMemAllocErr;
    if (q14) {
        blocks.rowWeights = zpAlignedMalloc16(outH);
        blocks.columnWeights = zpTake(zpAlignedMalloc16, 2 * std::int64_t{outW});
    } else if (interpolation != zpInterNearest) {
        blocks.rowWeights = slot.malloc32(outH);
        blocks.columnWeights = slot.malloc32(outW);
    }
    if (interpolation != zpInterNearest && (!blocks.rowWeights || !blocks.columnWeights)) return zpStsMemAllocErr;
    zpFillAxis(yPlan, a.yShift, roiHeight, a.roiY, a.srcHeight, interpolation, srcStep,
               {static_cast<std::int32_t*>(blocks.yIdx), q14 ? static_cast<std::int16_t*>(blocks.rowWeights) : nullptr,
                1, q14 ? nullptr : static_cast<float*>(blocks.rowWeights)});
    zpFillAxis(xPlan, a.xShift, roiWidth, a.roiX, a.srcWidth, interpolation, columnScale,
               {static_cast<std::int32_t*>(blocks.xIdx),
                q14 ? static_cast<std::int16_t*>(blocks.columnWeights) : nullptr, 2,
                q14 ? nullptr : static_cast<float*>(blocks.columnWeights)});

    const int bufferCount = interpolation == zpInterLinear ? 2 : (interpolation == zpInterCubic ? 4 : 0);
    const std::int64_t lineLength = a.planar || a.channels == 1 ? std::int64_t{outW} + 4
                                    : a.channels == 3           ? 3 * std::int64_t{outW} + 12
                                                                : 4 * std::int64_t{outW} + 16;
    for (int i = 0; i < bufferCount; ++i) {
        blocks.buffers[i] = zpTake(q14 ? zpAlignedMalloc16 : slot.malloc32, lineLength);
        if (!blocks.buffers[i]) return zpStsMemAllocErr;
    }

    const int group = interpolation == zpInterNearest ? (a.planar || a.channels == 1 ? 1 : (a.channels == 4 ? 2 : 0))
                      : interpolation == zpInterLinear ? (a.planar || a.channels == 1 ? 4 : 3)
                                                       : (a.planar || a.channels == 1 ? 6 : 5);
    const int entry = 3 * group + a.type;
    zpRowJob job{};
    job.srcStep = srcStep;
    job.dstStep = dstStep;
    job.width = outW;
    job.height = outH;
    job.yIdx = static_cast<const std::int32_t*>(blocks.yIdx);
    job.xIdx = static_cast<const std::int32_t*>(blocks.xIdx);
    job.rowWeights = blocks.rowWeights;
    job.columnWeights = blocks.columnWeights;
    for (int i = 0; i < 4; ++i) job.buffers[i] = blocks.buffers[i];
    const auto run = [&] {
        if (inspect) (*inspect)(job, entry);
        else slot.table[entry](job);
    };
    if (a.planar) {
        const std::int64_t offset = std::int64_t{a.roiY} * a.srcStep + std::int64_t{a.roiX} * sampleSize;
        const auto* s = static_cast<const std::uint8_t* const*>(a.src);
        auto* const* d = static_cast<void* const*>(a.dst);
        for (int i = 0; i < planes; ++i) {
            job.src = s[i] + offset;
            job.dst = d[i];
            run();
        }
    } else {
        job.src = static_cast<const std::uint8_t*>(a.src) + std::int64_t{a.roiY} * a.srcStep +
                  std::int64_t{a.roiX} * a.pixelStep * sampleSize;
        job.dst = a.dst;
        job.pixelStep = a.pixelStep;
        job.channels = a.channels;
        run();
    }
    return zpStsNoErr;
}

}  // namespace

#define ZP_DEFINE_RESIZE_DRIVER(name, slot)                                                                    \
    zpStatus name(const void* src, int srcWidth, int srcHeight, int srcStep, int roiX, int roiY, int roiWidth, \
                  int roiHeight, void* dst, int dstStep, int dstWidth, int dstHeight, double xFactor,          \
                  double yFactor, double xShift, double yShift, int pixelStep, int channels, int type,         \
                  int planar, int interpolation, int sizeMode) {                                               \
        const zpResizeArgs args = {src,      srcWidth,  srcHeight, srcStep, roiX,      roiY,      roiWidth,     \
                                   roiHeight, dst,      dstStep,   dstWidth, dstHeight, xFactor,   yFactor,     \
                                   xShift,   yShift,    pixelStep, channels, type,      planar,    interpolation, \
                                   sizeMode};                                                                  \
        return zpResizeRun(slot, args, nullptr);                                                               \
    }
ZP_DEFINE_RESIZE_DRIVER(resize_driver_gen, kGen)
ZP_DEFINE_RESIZE_DRIVER(resize_driver_sse, kSse)
ZP_DEFINE_RESIZE_DRIVER(resize_driver_sse2, kSse2)
ZP_DEFINE_RESIZE_DRIVER(resize_driver_sse3, kSse3)

zpStatus zpResizeInspect(int slot, const zpResizeArgs& args, const zpInspector& inspect) {
    const zpSlotDriver* slots[4] = {&kGen, &kSse, &kSse2, &kSse3};
    const zpSlotDriver* chosen = slot >= 1 && slot <= 4 ? slots[slot - 1] : nullptr;
    return zpResizeRun(chosen ? *chosen : kGen, args, &inspect);
}
