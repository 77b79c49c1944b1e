// The super-sampling kernels of slots 2 to 4 written once over a slot policy.
// They walk rows and columns exactly as the generic kernels do (the shared
// zpSuperWalk) and differ from them only in how sums are evaluated: the
// running sums of the horizontal step are rounded to single precision after
// every term, one-channel runs of whole cells are added in four lanes, and
// parts of the weighted rows and of the float output are formed in single
// precision. A policy P supplies:
//
//   P::malloc32(n)                     the slot's allocator of float rows
//   P::runC1(cells, p, n, s)           s plus the n cells from cell p (C1)
//   P::weightedBulk<T>(n)              leading cells of a weighted C1 row
//                                      formed in single precision
//   P::outputSingle(address, n, lead, blocks)
//                                      whether a float C1 row is scaled in
//                                      blocks of eight, after `lead` pixels
//   P::sum<T, kind>(src, step, count, rows, cells, pixelStep)
//                                      mode-0 row sums, written fresh
//
// Included only by the slot sources; everything here is internal to each.
#pragma once

#include <xmmintrin.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "zpNumeric.h"
#include "zpResizeSlots.h"

namespace {

template <typename T>
const T* zpSuperRow(const void* base, int step, std::int64_t row) {
    return reinterpret_cast<const T*>(static_cast<const std::uint8_t*>(base) + row * step);
}

// s plus cells p to p + n - 1 one at a time, rounded after each.
inline float zpRunSequential(const float* cells, int p, int n, float s) {
    for (int i = 0; i < n; ++i) s = s + cells[p + i];
    return s;
}

// s plus `lead` cells one at a time, then four lanes over blocks of eight
// (lane j takes cells j and j + 4 of each block, lane 0 starting from s),
// joined by `join`, then the cells left one at a time.
template <typename Join>
float zpRunLanes(const float* cells, int p, int lead, int n, float s, Join join) {
    s = zpRunSequential(cells, p, lead, s);
    p += lead;
    n -= lead;
    __m128 lanes = _mm_set_ss(s);
    const int blocks = n / 8;
    for (int b = 0; b < blocks; ++b, p += 8)
        lanes = _mm_add_ps(_mm_add_ps(lanes, _mm_loadu_ps(cells + p)), _mm_loadu_ps(cells + p + 4));
    return zpRunSequential(cells, p, n - 8 * blocks, join(lanes));
}

// (L0 + L2) + (L1 + L3), the join of slots 2 and 3.
inline float zpJoinPairs(__m128 lanes) {
    const __m128 half = _mm_add_ps(lanes, _mm_movehl_ps(lanes, lanes));
    return _mm_cvtss_f32(_mm_add_ss(half, _mm_shuffle_ps(half, half, 1)));
}

// Cells from p to the accumulator's next 16-byte boundary (it starts on one).
inline int zpToBoundary(int p) { return (4 - p % 4) % 4; }

// ---- mode-0 row sums, written fresh ------------------------------------------------

// nRows rows of `count` samples each summed into the cells: integers
// modulo 2^32, floats in single precision row after row.
template <typename T, typename Cell>
void zpSumFlat(const T* __restrict src, int srcStep, int count, int nRows, Cell* __restrict acc) {
    for (int i = 0; i < count; ++i) acc[i] = static_cast<Cell>(src[i]);
    for (int r = 1; r < nRows; ++r) {
        const T* __restrict s = zpSuperRow<T>(src, srcStep, r);
        for (int i = 0; i < count; ++i) acc[i] = static_cast<Cell>(acc[i] + static_cast<Cell>(s[i]));
    }
}

// Samples 0 to 2 of four-sample pixels into cells 0 to 2 of each group; the
// fourth cell is never written.
template <typename T, typename Cell>
void zpSumThreeOfFour(const T* src, int srcStep, int count, int nRows, Cell* acc) {
    for (int i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c) acc[4 * i + c] = static_cast<Cell>(src[4 * i + c]);
    for (int r = 1; r < nRows; ++r) {
        const T* s = zpSuperRow<T>(src, srcStep, r);
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < 3; ++c) acc[4 * i + c] = static_cast<Cell>(acc[4 * i + c] + static_cast<Cell>(s[4 * i + c]));
    }
}

template <typename T, typename Cell>
void zpSumC3(const T* src, int srcStep, int count, int nRows, Cell* acc, int pixelStep) {
    if (pixelStep == 3) zpSumFlat(src, srcStep, 3 * count, nRows, acc);
    else zpSumThreeOfFour(src, srcStep, count, nRows, acc);
}

// Float one-channel sums of slots 3 and 4: blocks of 16 columns in single
// precision row after row, the columns left over summed in double precision
// and rounded once.
inline void zpSumFloatC1Blocks(const float* src, int srcStep, int count, int nRows, float* acc) {
    const int blocks = count & ~15;
    zpSumFlat(src, srcStep, blocks, nRows, acc);
    for (int i = blocks; i < count; ++i) {
        double sum = 0.0;
        for (int r = 0; r < nRows; ++r) sum += zpSuperRow<float>(src, srcStep, r)[i];
        acc[i] = static_cast<float>(sum);
    }
}

// ---- the kernel ------------------------------------------------------------------------

// Each instance has one caller, the named kernel, and is folded into it.
template <class P, typename T, int kind>
[[gnu::always_inline]] inline bool zpSlotSuper(const void* src, void* dst, int srcStep, int dstStep, int srcCols, int srcRows, int outW, int outH,
                 double kx, double ky, double norm, int pixelStep, int mode) {
    if (mode < 0 || mode > 3) return true;
    constexpr bool isFloat = std::is_same_v<T, float>;
    constexpr int samples = kind == 1 ? 1 : (kind == 4 ? 4 : 3);
    const int groupSize = kind == 1 ? 1 : (kind == 4 ? 4 : pixelStep);
    const std::int64_t cellCount = std::int64_t{srcCols} * groupSize;
    if (cellCount > INT_MAX) return false;
    void* buffer = mode == 0 ? zpAlignedMalloc8(cellCount * 4) : P::malloc32(static_cast<int>(cellCount));
    if (!buffer) return false;
    auto* ints = static_cast<std::uint32_t*>(buffer);
    auto* cells = static_cast<float*>(buffer);
    const int rowCells = static_cast<int>(cellCount);
    const bool flat = kind != 3 || groupSize == 3;

    const std::vector<zpSuperTaps> rows = zpSuperWalk(ky, outH, srcRows);
    const std::vector<zpSuperTaps> cols = zpSuperWalk(kx, outW, srcCols);

    // Weighted row: cell = single(double(cell) + double(sample) * w); a
    // one-channel row's leading cells single(cell + single(sample * single(w))).
    const auto addWeighted = [&](const T* s, double w) {
        int i = 0;
        if constexpr (kind == 1) {
            const int bulk = P::template weightedBulk<T>(srcCols);
            const float wf = static_cast<float>(w);
            for (; i < bulk; ++i) cells[i] = cells[i] + static_cast<float>(static_cast<float>(s[i]) * wf);
        }
        for (; i < rowCells; i += flat ? 1 : 4)
            for (int c = 0; c < (flat ? 1 : 3); ++c)
                cells[i + c] = static_cast<float>(double(cells[i + c]) + double(s[i + c]) * w);
    };
    const auto addWhole = [&](const T* __restrict s) {
        if (flat) {
            for (int i = 0; i < rowCells; ++i) cells[i] = cells[i] + static_cast<float>(s[i]);
        } else {
            for (int i = 0; i < rowCells; i += 4)
                for (int c = 0; c < 3; ++c) cells[i + c] = cells[i + c] + static_cast<float>(s[i + c]);
        }
    };

    for (int j = 0; j < outH; ++j) {
        const zpSuperTaps& t = rows[j];
        const int wholeRows = t.wholeEnd - t.wholeBegin;
        if (mode == 0 && wholeRows > 0) {
            P::template sum<T, kind>(zpSuperRow<T>(src, srcStep, t.wholeBegin), srcStep, srcCols, wholeRows, buffer,
                                     pixelStep);
        } else {
            std::memset(buffer, 0, static_cast<std::size_t>(cellCount) * 4);
            if (t.lead >= 0) addWeighted(zpSuperRow<T>(src, srcStep, t.lead), t.leadWeight);
            for (int r = t.wholeBegin; r < t.wholeEnd; ++r) addWhole(zpSuperRow<T>(src, srcStep, r));
            if (t.trail >= 0) addWeighted(zpSuperRow<T>(src, srcStep, t.trail), t.trailWeight);
        }

        // Horizontal step in place: pixel i's sums into group i, which no
        // later pixel reads. Each channel keeps its own running sum, its
        // cells added from left to right.
        for (int i = 0; i < outW; ++i) {
            const zpSuperTaps& h = cols[i];
            if (mode == 0 && !isFloat) {
                std::uint32_t sum[samples] = {};
                for (int x = h.wholeBegin; x < h.wholeEnd; ++x)
                    for (int c = 0; c < samples; ++c) sum[c] += ints[x * groupSize + c];
                for (int c = 0; c < samples; ++c) ints[i * groupSize + c] = sum[c];
                continue;
            }
            float s[samples];
            for (int c = 0; c < samples; ++c)
                s[c] = h.lead >= 0 ? static_cast<float>(double(cells[h.lead * groupSize + c]) * h.leadWeight) : 0.0f;
            if constexpr (kind == 1) {
                s[0] = P::runC1(cells, h.wholeBegin, h.wholeEnd - h.wholeBegin, s[0]);
            } else {
                for (int x = h.wholeBegin; x < h.wholeEnd; ++x)
                    for (int c = 0; c < samples; ++c) s[c] = s[c] + cells[x * groupSize + c];
            }
            for (int c = 0; c < samples; ++c) {
                if (h.trail >= 0)
                    s[c] = static_cast<float>(double(s[c]) + double(cells[h.trail * groupSize + c]) * h.trailWeight);
                cells[i * groupSize + c] = s[c];
            }
        }

        T* d = reinterpret_cast<T*>(static_cast<std::uint8_t*>(dst) + std::int64_t{j} * dstStep);
        if constexpr (isFloat) {
            int i = 0;
            if constexpr (kind == 1) {
                int lead = 0, blocks = 0;
                if (P::outputSingle(reinterpret_cast<std::uintptr_t>(d), outW, lead, blocks)) {
                    for (; i < lead; ++i) d[i] = static_cast<float>(double(cells[i]) * norm);
                    const __m128 scale = _mm_set1_ps(static_cast<float>(norm));
                    for (int b = 0; b < blocks; ++b, i += 8) {
                        _mm_storeu_ps(d + i, _mm_mul_ps(_mm_loadu_ps(cells + i), scale));
                        _mm_storeu_ps(d + i + 4, _mm_mul_ps(_mm_loadu_ps(cells + i + 4), scale));
                    }
                }
            }
            for (; i < outW; ++i)
                for (int c = 0; c < samples; ++c)
                    d[i * groupSize + c] = static_cast<float>(double(cells[i * groupSize + c]) * norm);
        } else {
            // trunc(v * norm + 0.5) held to the type's range (rounding can
            // carry a mean just past it); v is never negative.
            constexpr double kMax = sizeof(T) == 1 ? 255.0 : 65535.0;
            const auto convert = [norm](double v) {
                const double x = v * norm + 0.5;
                return static_cast<T>(static_cast<std::int32_t>(x < kMax ? x : kMax));
            };
            if (flat) {
                const int count = outW * groupSize;
                if (mode == 0) {
                    for (int k = 0; k < count; ++k) d[k] = convert(double(ints[k]));
                } else {
                    for (int k = 0; k < count; ++k) d[k] = convert(double(cells[k]));
                }
            } else {
                for (int i = 0; i < outW; ++i)
                    for (int c = 0; c < 3; ++c)
                        d[4 * i + c] = convert(mode == 0 ? double(ints[4 * i + c]) : double(cells[4 * i + c]));
            }
        }
    }
    zpAlignedFree(buffer);
    return true;
}

// Slots 2 and 3: a float one-channel row from a 4-byte boundary is scaled
// in blocks of eight once eight pixels remain after its 16-byte boundary.
inline bool zpOutputAfterBoundary(std::uintptr_t address, int count, int& lead, int& blocks) {
    if (address % 4) return false;
    lead = static_cast<int>((16 - address % 16) % 16 / 4);
    if (count - lead < 8) return false;
    blocks = (count - lead) / 8;
    return true;
}

}  // namespace

// The nine kernels of one slot from its policy.
#define ZP_DEFINE_SUPER_KERNELS_OF(type, T, suffix, Policy)                                                       \
    bool resize##type##_superC1_##suffix(const void* s, void* d, int ss, int ds, int cols, int rows, int w, int h, \
                                         double kx, double ky, double norm, int mode) {                           \
        return zpSlotSuper<Policy, T, 1>(s, d, ss, ds, cols, rows, w, h, kx, ky, norm, 1, mode);                 \
    }
#define ZP_DEFINE_SUPER_MULTI_OF(type, T, suffix, Policy)                                                         \
    bool resize##type##_superC3_##suffix(const void* s, void* d, int ss, int ds, int cols, int rows, int w, int h, \
                                         double kx, double ky, double norm, int pixelStep, int mode) {            \
        return zpSlotSuper<Policy, T, 3>(s, d, ss, ds, cols, rows, w, h, kx, ky, norm, pixelStep, mode);         \
    }                                                                                                             \
    bool resize##type##_superC4_##suffix(const void* s, void* d, int ss, int ds, int cols, int rows, int w, int h, \
                                         double kx, double ky, double norm, int mode) {                           \
        return zpSlotSuper<Policy, T, 4>(s, d, ss, ds, cols, rows, w, h, kx, ky, norm, 4, mode);                 \
    }
