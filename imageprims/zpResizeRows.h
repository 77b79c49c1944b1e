// Shared state of one resize call: the lookup tables, the work buffers and
// the row routines that walk them.
#pragma once

#include <cstdint>

#include "ZImagePrimitives.h"

// Multiplier of an axis's index table entries (1 for rows, the pixel step
// for columns).
struct zpAxis {
    int scale;
};

// Coefficients of the cubic through four samples at one fraction.
struct zpCubicWeights {
    double u, c2, c3;
};

// The work tables and row buffers of one call, freed on destruction.
struct zpResizeBuffers {
    std::int32_t* rows = nullptr;
    std::int32_t* columns = nullptr;
    std::uint16_t* rowWeights = nullptr;
    std::uint16_t* columnWeights = nullptr;
    float* rowFractions = nullptr;
    float* columnFractions = nullptr;
    void* lines[4] = {nullptr, nullptr, nullptr, nullptr};
    zpCubicWeights* columnCubic = nullptr;  // per column, from the fractions

    zpResizeBuffers() = default;
    zpResizeBuffers(const zpResizeBuffers&) = delete;
    zpResizeBuffers& operator=(const zpResizeBuffers&) = delete;
    ~zpResizeBuffers();
    // False when any buffer cannot be had; those taken are freed.
    bool allocate(int interpolation, int width, int height, int pixelStep);
};

struct zpResizeJob {
    const std::uint8_t* origin;  // the source ROI's top-left pixel
    int srcStep;
    std::uint8_t* dst;
    int dstStep;
    int pixelStep;
    int width;   // output columns written
    int height;  // output rows written
    const std::int32_t* rows;     // source row index per output row
    const std::int32_t* columns;  // source sample offset per output column
    const std::uint16_t* rowWeights;
    const std::uint16_t* columnWeights;
    const float* rowFractions;
    const float* columnFractions;
    zpCubicWeights* columnCubic;
    void* lines[4];
};

void zpResizeNearestRows(const zpResizeJob& job);
void zpResizeLinearRows(const zpResizeJob& job);
void zpResizeCubicRows(const zpResizeJob& job);
