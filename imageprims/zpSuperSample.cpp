// Generic super-sampling resize: the driver, the shared walk, nine kernels
// (8-bit, 16-bit, float times one, three and four samples) and their row
// sums.
#include "zpSuperSample.h"

#include "zpNumeric.h"

#include <climits>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace {

int zpClampIndex(std::int64_t v, int limit) { return v < 0 ? 0 : (v > limit ? limit : static_cast<int>(v)); }

// Output length along one axis: trunc(length * factor + 1e-7), cut to the
// destination; raised is set when it had to be raised to 1.
int zpSuperOutput(int length, double factor, int dstLength, bool& raised) {
    const std::int64_t n = zpSatTrunc(length * factor + 1e-7);
    raised = false;
    if (n >= dstLength) return dstLength;
    if (n < 1) {
        raised = true;
        return 1;
    }
    return static_cast<int>(n);
}

template <typename T>
const T* zpRow(const void* base, int step, int row) {
    return reinterpret_cast<const T*>(static_cast<const std::uint8_t*>(base) + std::int64_t{row} * step);
}

template <typename T>
T* zpRow(void* base, int step, int row) {
    return reinterpret_cast<T*>(static_cast<std::uint8_t*>(base) + std::int64_t{row} * step);
}

// Samples 0-2 (C3) or all four (C4) of count pixels, or count samples (C1),
// of nRows rows added into the accumulator.
template <typename T, typename Cell>
void zpSuperSum(const T* src, int srcStep, int count, int nRows, Cell* acc, int pixelStep, int channels) {
    for (int r = 0; r < nRows; ++r) {
        const T* s = zpRow<T>(src, srcStep, r);
        Cell* a = acc;
        for (int x = 0; x < count; ++x, s += pixelStep, a += pixelStep)
            for (int c = 0; c < channels; ++c) {
                if constexpr (std::is_same_v<Cell, float>) a[c] = static_cast<float>(a[c] + s[c]);
                else a[c] += s[c];
            }
    }
}

// The kernel of every member: channels 1, 3 (at the pixel step) or 4.
template <typename T, int channels>
bool zpSuperKernel(const void* src, void* dst, int srcStep, int dstStep, int srcCols, int srcRows, int outW, int outH,
                   double kx, double ky, double norm, int pixelStep, int mode) {
    constexpr bool isFloat = std::is_same_v<T, float>;
    const int cellsPerPixel = channels == 1 ? 1 : (channels == 4 ? 4 : pixelStep);
    const int samples = channels == 1 ? 1 : (channels == 4 ? 4 : 3);
    const std::int64_t cellCount = std::int64_t{srcCols} * cellsPerPixel;
    const bool integerCells = mode == 0 && !isFloat;
    // A row of more cells than an index can count is as unobtainable as one
    // the heap refuses. Mode 0 takes four-byte cells by bytes, the others
    // float elements.
    if (cellCount > INT_MAX) return false;
    void* buffer = mode == 0 ? zpAlignedMalloc8(cellCount * 4) : zpAlignedMalloc32(static_cast<int>(cellCount));
    if (!buffer) return false;
    auto* intCells = static_cast<std::uint32_t*>(buffer);
    auto* floatCells = static_cast<float*>(buffer);

    const std::vector<zpSuperTaps> rows = zpSuperWalk(ky, outH, srcRows);
    const std::vector<zpSuperTaps> cols = zpSuperWalk(kx, outW, srcCols);
    const int rowSamples = srcCols * cellsPerPixel;
    // acc = float(acc + sample * weight), product and sum in double.
    const auto addRow = [&](int row, double weight) {
        const T* s = zpRow<T>(src, srcStep, row);
        for (int i = 0; i < rowSamples; i += cellsPerPixel)
            for (int c = 0; c < samples; ++c)
                floatCells[i + c] = static_cast<float>(double(floatCells[i + c]) + double(s[i + c]) * weight);
    };

    for (int j = 0; j < outH; ++j) {
        std::memset(buffer, 0, static_cast<std::size_t>(cellCount) * 4);
        const zpSuperTaps& t = rows[j];
        const T* first = zpRow<T>(src, srcStep, t.wholeBegin);
        const int wholeRows = t.wholeEnd - t.wholeBegin;
        if (mode == 0) {
            if constexpr (isFloat) zpSuperSum(first, srcStep, srcCols, wholeRows, floatCells, cellsPerPixel, samples);
            else zpSuperSum(first, srcStep, srcCols, wholeRows, intCells, cellsPerPixel, samples);
        } else if (mode == 2) {
            zpSuperSum(first, srcStep, srcCols, wholeRows, floatCells, cellsPerPixel, samples);
        } else {
            if (t.lead >= 0) addRow(t.lead, t.leadWeight);
            for (int r = t.wholeBegin; r < t.wholeEnd; ++r) addRow(r, 1.0);
            if (t.trail >= 0) addRow(t.trail, t.trailWeight);
        }

        T* d = zpRow<T>(dst, dstStep, j);
        for (int i = 0; i < outW; ++i) {
            const zpSuperTaps& h = cols[i];
            for (int c = 0; c < samples; ++c) {
                double v;
                if (integerCells) {
                    std::uint32_t sum = 0;  // modulo 2^32, as the cells
                    for (int x = h.wholeBegin; x < h.wholeEnd; ++x) sum += intCells[x * cellsPerPixel + c];
                    v = sum;
                } else {
                    double sum = 0.0;
                    if (h.lead >= 0) sum += floatCells[h.lead * cellsPerPixel + c] * h.leadWeight;
                    for (int x = h.wholeBegin; x < h.wholeEnd; ++x) sum += floatCells[x * cellsPerPixel + c];
                    if (h.trail >= 0) sum += floatCells[h.trail * cellsPerPixel + c] * h.trailWeight;
                    v = static_cast<float>(sum);
                }
                T& out = d[static_cast<std::int64_t>(i) * cellsPerPixel + c];
                if constexpr (isFloat) {
                    out = static_cast<float>(v * norm);
                } else {
                    // Rounding can carry a mean just past the type's range.
                    constexpr std::int64_t kMax = sizeof(T) == 1 ? 255 : 65535;
                    const std::int64_t n = zpSatTrunc(v * norm + 0.5);
                    out = static_cast<T>(n < 0 ? 0 : (n > kMax ? kMax : n));
                }
            }
        }
    }
    zpAlignedFree(buffer);
    return true;
}

}  // namespace

std::vector<zpSuperTaps> zpSuperWalk(double k, int count, int limit) {
    std::vector<zpSuperTaps> taps(count > 0 ? count : 0);
    const auto clip = [limit](zpSuperTaps& t, std::int64_t lead, std::int64_t begin, std::int64_t end,
                              std::int64_t trail) {
        // Snapping can reach a sample past the region with a weight of at
        // most k * 1e-7: it is left out, never read.
        t.lead = lead >= 0 && lead < limit ? static_cast<int>(lead) : -1;
        t.wholeEnd = zpClampIndex(end, limit);
        t.wholeBegin = zpClampIndex(begin, t.wholeEnd);
        t.trail = trail >= 0 && trail < limit ? static_cast<int>(trail) : -1;
    };
    if (zpWholeNumber(k)) {
        const std::int64_t block = zpSatTrunc(k);
        for (int j = 0; j < count; ++j) {
            clip(taps[j], -1, j * block, j * block + block, -1);
            taps[j].leadWeight = taps[j].trailWeight = 0.0;
        }
        return taps;
    }
    double f = 0.0;
    std::int64_t p = 0;
    for (int j = 0; j < count; ++j) {
        zpSuperTaps& t = taps[j];
        if (j == 0) {
            const double m = std::floor(k);
            f = k - m;
            p = zpSatTrunc(m);
            clip(t, -1, 0, p, f != 0.0 ? p : -1);
            t.leadWeight = 0.0;
            t.trailWeight = f;
            continue;
        }
        const double r = 1.0 - f;
        const double x = k - r;
        const double n = std::floor(x + 1e-7);
        f = x - n;
        const std::int64_t whole = zpSatTrunc(n);
        // A leading share at or below 1e-7 (a first extent within 1e-7 below
        // a whole number) is dropped: the weights still add to k.
        clip(t, r > 1e-7 ? p : -1, p + 1, p + 1 + whole, f > 1e-7 ? p + whole + 1 : -1);
        t.leadWeight = r;
        t.trailWeight = f;
        p += whole + 1;
    }
    return taps;
}

#define ZP_SUPER_SUM(name, T, Cell, pixelStep, channels)                                 \
    void name(const T* src, int srcStep, int count, int nRows, Cell* acc) {              \
        zpSuperSum(src, srcStep, count, nRows, acc, pixelStep, channels);                \
    }
#define ZP_SUPER_SUM_C3(name, T, Cell)                                                   \
    void name(const T* src, int srcStep, int count, int nRows, Cell* acc, int pixelStep) { \
        zpSuperSum(src, srcStep, count, nRows, acc, pixelStep, 3);                       \
    }
ZP_SUPER_SUM(resize8u_superSumC1_gen, std::uint8_t, std::uint32_t, 1, 1)
ZP_SUPER_SUM(resize16u_superSumC1_gen, std::uint16_t, std::uint32_t, 1, 1)
ZP_SUPER_SUM(resize32f_superSumC1_gen, float, float, 1, 1)
ZP_SUPER_SUM_C3(resize8u_superSumC3_gen, std::uint8_t, std::uint32_t)
ZP_SUPER_SUM_C3(resize16u_superSumC3_gen, std::uint16_t, std::uint32_t)
ZP_SUPER_SUM_C3(resize32f_superSumC3_gen, float, float)
ZP_SUPER_SUM(resize8u_superSumC4_gen, std::uint8_t, std::uint32_t, 4, 4)
ZP_SUPER_SUM(resize16u_superSumC4_gen, std::uint16_t, std::uint32_t, 4, 4)
ZP_SUPER_SUM(resize32f_superSumC4_gen, float, float, 4, 4)

// The C1 and C4 members share one signature; the C3 members add the pixel step.
#define ZP_SUPER_FIXED(name, T, channels)                                                                    \
    bool name(const void* s, void* d, int ss, int ds, int cols, int rows, int w, int h, double kx, double ky, \
              double norm, int mode) {                                                                        \
        return zpSuperKernel<T, channels>(s, d, ss, ds, cols, rows, w, h, kx, ky, norm, channels, mode);      \
    }
#define ZP_SUPER_C1(name, T) ZP_SUPER_FIXED(name, T, 1)
#define ZP_SUPER_C4(name, T) ZP_SUPER_FIXED(name, T, 4)
#define ZP_SUPER_C3(name, T)                                                                                  \
    bool name(const void* s, void* d, int ss, int ds, int cols, int rows, int w, int h, double kx, double ky, \
              double norm, int pixelStep, int mode) {                                                         \
        return zpSuperKernel<T, 3>(s, d, ss, ds, cols, rows, w, h, kx, ky, norm, pixelStep, mode);            \
    }
ZP_SUPER_C1(resize8u_superC1_gen, std::uint8_t)
ZP_SUPER_C1(resize16u_superC1_gen, std::uint16_t)
ZP_SUPER_C1(resize32f_superC1_gen, float)
ZP_SUPER_C3(resize8u_superC3_gen, std::uint8_t)
ZP_SUPER_C3(resize16u_superC3_gen, std::uint16_t)
ZP_SUPER_C3(resize32f_superC3_gen, float)
ZP_SUPER_C4(resize8u_superC4_gen, std::uint8_t)
ZP_SUPER_C4(resize16u_superC4_gen, std::uint16_t)
ZP_SUPER_C4(resize32f_superC4_gen, float)

zpStatus zpSuperDrive(const zpSuperKernels& kernels, bool singleCount, const void* src, int srcWidth, int srcHeight,
                      int srcStep, int roiX, int roiY, int roiWidth, int roiHeight, void* dst, int dstStep,
                      int dstWidth, int dstHeight, double xFactor, double yFactor, int pixelStep, int channelKind,
                      int type, int planar) {
    const int planes = channelKind == 3 ? 3 : 4;
    if (!src || !dst) return zpStsNullPtrErr;
    if (planar) {
        // A plane pointer is used as it stands: a null one is refused, not read.
        const auto* srcPlanes = static_cast<const void* const*>(src);
        const auto* dstPlanes = static_cast<void* const*>(dst);
        for (int i = 0; i < planes; ++i)
            if (!srcPlanes[i] || !dstPlanes[i]) return zpStsNullPtrErr;
    }
    if (srcWidth < 1 || srcHeight < 1) return zpStsSizeErr;
    if (pixelStep < 1 || (!planar && channelKind != 1 && channelKind != 4 && pixelStep < 3)) return zpStsSizeErr;
    const int elementSize = type == zpType16u ? 2 : (type == zpType32f ? 4 : 1);
    // A step that is not a whole number of samples would misplace every row.
    if (srcStep < 1 || dstStep < 1 || srcStep % elementSize || dstStep % elementSize) return zpStsStepErr;
    if (roiX < 0 || roiY < 0 || roiWidth < 1 || roiHeight < 1 || dstWidth < 1 || dstHeight < 1) return zpStsSizeErr;
    if (roiX >= srcWidth || roiY >= srcHeight) return zpStsResizeNoOperation;
    // A factor above 1.0 would give an extent below one sample; the entry
    // points never pass one, a direct caller gets the factor error.
    if (!(xFactor > 0.0) || !(yFactor > 0.0) || xFactor > 1.0 || yFactor > 1.0) return zpStsResizeFactorErr;

    if (std::int64_t{roiX} + roiWidth > srcWidth) roiWidth = srcWidth - roiX;
    if (std::int64_t{roiY} + roiHeight > srcHeight) roiHeight = srcHeight - roiY;
    bool raisedW, raisedH;
    const int outW = zpSuperOutput(roiWidth, xFactor, dstWidth, raisedW);
    const int outH = zpSuperOutput(roiHeight, yFactor, dstHeight, raisedH);
    // A region smaller than one destination pixel: that pixel covers the
    // region exactly and gives its mean.
    const double kx = raisedW ? double(roiWidth) : 1.0 / xFactor;
    const double ky = raisedH ? double(roiHeight) : 1.0 / yFactor;
    const double norm = (raisedH ? 1.0 / roiHeight : yFactor) * (raisedW ? 1.0 / roiWidth : xFactor);
    // The processor slots convert outW + 1 to single precision first, which
    // changes nothing below 2^24.
    const double next = singleCount ? double(static_cast<float>(outW + 1.0)) : outW + 1.0;
    const std::int64_t cols = zpSatTrunc(next * kx) + 1;
    const int srcCols = cols < roiWidth ? static_cast<int>(cols) : roiWidth;
    const int mode = zpWholeNumber(kx) ? (zpWholeNumber(ky) ? 0 : 1) : (zpWholeNumber(ky) ? 2 : 3);
    if (type != zpType8u && type != zpType16u && type != zpType32f) return zpStsNoErr;

    if (planar) {
        const auto* srcPlanes = static_cast<const std::uint8_t* const*>(src);
        auto* const* dstPlanes = static_cast<void* const*>(dst);
        for (int i = 0; i < planes; ++i) {
            const std::uint8_t* s = srcPlanes[i] + std::int64_t{roiY} * srcStep + std::int64_t{roiX} * elementSize;
            if (!kernels.c1[type](s, dstPlanes[i], srcStep, dstStep, srcCols, roiHeight, outW, outH, kx, ky, norm,
                                  mode))
                return zpStsMemAllocErr;
        }
        return zpStsNoErr;
    }
    const std::uint8_t* s = static_cast<const std::uint8_t*>(src) + std::int64_t{roiY} * srcStep +
                            std::int64_t{roiX} * pixelStep * elementSize;
    bool done;
    if (channelKind == 1)
        done = kernels.c1[type](s, dst, srcStep, dstStep, srcCols, roiHeight, outW, outH, kx, ky, norm, mode);
    else if (channelKind == 4)
        done = kernels.c4[type](s, dst, srcStep, dstStep, srcCols, roiHeight, outW, outH, kx, ky, norm, mode);
    else
        done = kernels.c3[type](s, dst, srcStep, dstStep, srcCols, roiHeight, outW, outH, kx, ky, norm, pixelStep,
                                mode);
    return done ? zpStsNoErr : zpStsMemAllocErr;
}

namespace {

const zpSuperKernels kGeneric = {
    {resize8u_superC1_gen, resize16u_superC1_gen, resize32f_superC1_gen},
    {resize8u_superC3_gen, resize16u_superC3_gen, resize32f_superC3_gen},
    {resize8u_superC4_gen, resize16u_superC4_gen, resize32f_superC4_gen},
};

}  // namespace

zpStatus resize_superDriver_gen(const void* src, int srcWidth, int srcHeight, int srcStep, int roiX, int roiY,
                                int roiWidth, int roiHeight, void* dst, int dstStep, int dstWidth, int dstHeight,
                                double xFactor, double yFactor, int pixelStep, int channelKind, int type,
                                int planar) {
    return zpSuperDrive(kGeneric, false, src, srcWidth, srcHeight, srcStep, roiX, roiY, roiWidth, roiHeight, dst,
                        dstStep, dstWidth, dstHeight, xFactor, yFactor, pixelStep, channelKind, type, planar);
}
