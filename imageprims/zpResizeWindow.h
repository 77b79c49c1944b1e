// The row helpers every slot shares in shape: the nearest copy loop, the
// two-buffer linear window and the four-buffer cubic window, as templates
// over a slot's passes. A pass set P names the sample type and its passes:
//
//   Linear: P::Sample, P::Buffer (row buffer element), P::Weight (column
//   weight element), P::RowWeight (row weight element) and
//     h1(row, width, xIdx, weights, buffer)
//     h3(row, width, pixelStep, xIdx, weights, buffer)
//     h4(row, width, xIdx, weights, buffer)
//     v(dst, count, wy, upper, lower)     all samples of a row
//     va(dst, width, wy, upper, lower)    three of four samples
//   Cubic: the same names over float buffers and fractions, v and va taking
//   the four window rows.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "zpResizeSlots.h"

template <typename T>
const T* zpSamples(const void* base, std::int64_t offset) {
    return static_cast<const T*>(base) + offset;
}

template <typename T>
T* zpSamples(void* base, std::int64_t offset) {
    return static_cast<T*>(base) + offset;
}

// Nearest: one pixel of `copied` samples per output column, or three at the
// job's pixel step when copied is 3.
template <typename T, int copied>
void zpNearestRows(const zpRowJob& job) {
    const int step = copied == 3 ? job.pixelStep : copied;
    for (int y = 0; y < job.height; ++y) {
        const T* s = zpSamples<T>(job.src, job.yIdx[y]);
        T* d = zpSamples<T>(job.dst, std::int64_t{y} * job.dstStep);
        for (int x = 0; x < job.width; ++x, d += step) {
            const T* p = s + job.xIdx[x];
            if constexpr (copied == 1) {
                d[0] = p[0];
            } else {
                for (int c = 0; c < copied; ++c) d[c] = p[c];
            }
        }
    }
}

// The horizontal pass of a row at `offset` into `buffer`, by channel count.
template <class P, bool oneChannel, typename Buffer, typename Weight>
void zpHorizontal(const zpRowJob& job, std::int64_t offset, Buffer* buffer, const Weight* weights) {
    const auto* row = zpSamples<typename P::Sample>(job.src, offset);
    if (oneChannel) P::h1(row, job.width, job.xIdx, weights, buffer);
    else if (job.channels == 3) P::h3(row, job.width, job.pixelStep, job.xIdx, weights, buffer);
    else P::h4(row, job.width, job.xIdx, weights, buffer);
}

// Linear: the window of two horizontally resized rows slides down the
// source; an output row that keeps its predecessor's source pair costs one
// vertical pass, a step of one source row one horizontal pass, more two.
// The first upper row comes from the first table entry.
template <class P, bool oneChannel>
void zpLinearRows(const zpRowJob& job) {
    using Buffer = typename P::Buffer;
    const auto* rowWeights = static_cast<const typename P::RowWeight*>(job.rowWeights);
    const auto* columnWeights = static_cast<const typename P::Weight*>(job.columnWeights);
    Buffer* top = static_cast<Buffer*>(job.buffers[0]);
    Buffer* bottom = static_cast<Buffer*>(job.buffers[1]);
    std::int64_t last = std::int64_t{job.yIdx[0]} - 1;
    zpHorizontal<P, oneChannel>(job, job.yIdx[0], bottom, columnWeights);
    const bool allSamples = oneChannel || job.pixelStep == job.channels;
    const int count = oneChannel ? job.width : job.width * job.channels;
    for (int y = 0; y < job.height; ++y) {
        const std::int64_t o = job.yIdx[y];
        if (o > last) {
            std::swap(top, bottom);
            zpHorizontal<P, oneChannel>(job, o + job.srcStep, bottom, columnWeights);
            if (o > last + job.srcStep) zpHorizontal<P, oneChannel>(job, o, top, columnWeights);
            last = o;
        }
        auto* d = zpSamples<typename P::Sample>(job.dst, std::int64_t{y} * job.dstStep);
        if (allSamples) P::v(d, count, rowWeights[y], top, bottom);
        else P::va(d, job.width, rowWeights[y], top, bottom);
    }
}

// Cubic: a window of four horizontally resized rows (offsets o - s, o,
// o + s, o + 2s for the output row's offset o and step s); rows that stay
// in the window keep their buffers and only the new ones are computed.
// `columns` is what the horizontal passes take: the column fractions, or
// what the pass set's Columns made of them once per call.
template <class P, bool oneChannel, typename Columns>
void zpCubicWindow(const zpRowJob& job, const Columns* columns) {
    const auto* rowT = static_cast<const float*>(job.rowWeights);
    float* w[4];
    for (int i = 0; i < 4; ++i) w[i] = static_cast<float*>(job.buffers[i]);
    const std::int64_t s = job.srcStep;
    const std::int64_t y0 = job.yIdx[0];
    zpHorizontal<P, oneChannel>(job, y0 - s, w[1], columns);
    zpHorizontal<P, oneChannel>(job, y0, w[2], columns);
    zpHorizontal<P, oneChannel>(job, y0 + s, w[3], columns);
    std::int64_t last = y0 - 1;
    const bool allSamples = oneChannel || job.pixelStep == job.channels;
    const int count = oneChannel ? job.width : job.width * job.channels;
    for (int y = 0; y < job.height; ++y) {
        const std::int64_t o = job.yIdx[y];
        if (o > last) {
            float* spare = w[0];
            w[0] = w[1], w[1] = w[2], w[2] = w[3], w[3] = spare;
            zpHorizontal<P, oneChannel>(job, o + 2 * s, w[3], columns);
            if (o >= last + 2 * s) {
                spare = w[0];
                w[0] = w[1], w[1] = w[2], w[2] = spare;
                zpHorizontal<P, oneChannel>(job, o + s, w[2], columns);
            }
            if (o >= last + 3 * s) {
                std::swap(w[0], w[1]);
                zpHorizontal<P, oneChannel>(job, o, w[1], columns);
            }
            if (o >= last + 4 * s) zpHorizontal<P, oneChannel>(job, o - s, w[0], columns);
            last = o;
        }
        auto* d = zpSamples<typename P::Sample>(job.dst, std::int64_t{y} * job.dstStep);
        if (allSamples) P::v(d, count, rowT[y], w[0], w[1], w[2], w[3]);
        else P::va(d, job.width, rowT[y], w[0], w[1], w[2], w[3]);
    }
}

template <class P, typename = void>
struct zpHasColumns : std::false_type {};
template <class P>
struct zpHasColumns<P, std::void_t<typename P::Columns>> : std::true_type {};

template <class P, bool oneChannel>
void zpCubicRows(const zpRowJob& job) {
    const auto* columnT = static_cast<const float*>(job.columnWeights);
    if constexpr (zpHasColumns<P>::value) {
        const typename P::Columns columns(columnT, job.width);
        zpCubicWindow<P, oneChannel>(job, &columns);
    } else {
        zpCubicWindow<P, oneChannel>(job, columnT);
    }
}

// The 21 entries of one slot's table from its nearest helpers and its pass
// sets, every entry a template instance unless the slot names its own.
#define ZP_ROW_HELPER_TABLE(name, Lin8u, Lin16u, Lin32f, Cub8u, Cub16u, Cub32f)                                   \
    const zpRowHelper name[21] = {                                                                                \
        zpNearestRows<std::uint8_t, 3>,   zpNearestRows<std::uint16_t, 3>,   zpNearestRows<float, 3>,             \
        zpNearestRows<std::uint8_t, 1>,   zpNearestRows<std::uint16_t, 1>,   zpNearestRows<float, 1>,             \
        zpNearestRows<std::uint8_t, 4>,   zpNearestRows<std::uint16_t, 4>,   zpNearestRows<float, 4>,             \
        zpLinearRows<Lin8u, false>,       zpLinearRows<Lin16u, false>,       zpLinearRows<Lin32f, false>,         \
        zpLinearRows<Lin8u, true>,        zpLinearRows<Lin16u, true>,        zpLinearRows<Lin32f, true>,          \
        zpCubicRows<Cub8u, false>,        zpCubicRows<Cub16u, false>,        zpCubicRows<Cub32f, false>,          \
        zpCubicRows<Cub8u, true>,         zpCubicRows<Cub16u, true>,         zpCubicRows<Cub32f, true>,           \
    }
