// Row routines of the generic resize: nearest neighbour, two-pass fixed-point
// linear and two-pass floating-point cubic interpolation.
#include "zpResizeRows.h"

#include <cmath>
#include <cstring>
#include <utility>

zpResizeBuffers::~zpResizeBuffers() {
    zpAlignedFree(rows);
    zpAlignedFree(columns);
    zpAlignedFree(rowWeights);
    zpAlignedFree(columnWeights);
    zpAlignedFree(rowFractions);
    zpAlignedFree(columnFractions);
    for (void* line : lines) zpAlignedFree(line);
    zpAlignedFree(columnCubic);
}

bool zpResizeBuffers::allocate(int interpolation, int width, int height, int pixelStep) {
    rows = static_cast<std::int32_t*>(zpAlignedMalloc32(height));
    columns = static_cast<std::int32_t*>(zpAlignedMalloc32(width));
    if (!rows || !columns) return false;
    const int lineLength = (width + 4) * pixelStep;
    if (interpolation == zpInterLinear) {
        rowWeights = static_cast<std::uint16_t*>(zpAlignedMalloc16(height));
        columnWeights = static_cast<std::uint16_t*>(zpAlignedMalloc16(2 * width));
        if (!rowWeights || !columnWeights) return false;
        for (int i = 0; i < 2; ++i)
            if (!(lines[i] = zpAlignedMalloc16(lineLength))) return false;
    } else if (interpolation == zpInterCubic) {
        rowFractions = static_cast<float*>(zpAlignedMalloc32(height));
        columnFractions = static_cast<float*>(zpAlignedMalloc32(width));
        if (!rowFractions || !columnFractions) return false;
        for (int i = 0; i < 4; ++i)
            if (!(lines[i] = zpAlignedMalloc32(lineLength))) return false;
        if (width > (1 << 28) / 6) return false;
        columnCubic = static_cast<zpCubicWeights*>(zpAlignedMalloc32(width * 6));
        if (!columnCubic) return false;
    }
    return true;
}

namespace {

const std::uint8_t* zpSourceRow(const zpResizeJob& job, int k) {
    return job.origin + static_cast<std::ptrdiff_t>(k) * job.srcStep;
}

std::uint8_t* zpDestRow(const zpResizeJob& job, int j) {
    return job.dst + static_cast<std::ptrdiff_t>(j) * job.dstStep;
}

// ---- linear -------------------------------------------------------------------

// One source row resized horizontally into 64 times the interpolated samples.
void zpLinearLine(const zpResizeJob& job, int k, std::uint16_t* line) {
    const std::uint8_t* s = zpSourceRow(job, k);
    const int ps = job.pixelStep;
    for (int i = 0; i < job.width; ++i) {
        const std::uint32_t w0 = job.columnWeights[2 * i];
        const std::uint32_t w1 = job.columnWeights[2 * i + 1];
        const std::uint8_t* p = s + job.columns[i];
        for (int c = 0; c < ps; ++c) line[i * ps + c] = static_cast<std::uint16_t>((w0 * p[c] + w1 * p[ps + c] + 128) >> 8);
    }
}

// ---- cubic --------------------------------------------------------------------

constexpr double zpOne = 1.0f;
constexpr double zpHalf = 0.5f;
constexpr double zpMinusOne = -1.0f;
constexpr double zpThird = 1.0f / 3.0f;

zpCubicWeights zpCubic(float t) {
    zpCubicWeights w;
    w.u = t + zpOne;
    const double um1 = w.u + zpMinusOne;
    w.c2 = w.u * um1 * zpHalf;
    w.c3 = w.c2 * (um1 + zpMinusOne) * zpThird;
    return w;
}

double zpCubicValue(const zpCubicWeights& w, double sm1, double s0, double s1, double s2) {
    const double d1 = s0 - sm1;
    const double d2 = s1 - s0 - d1;
    const double d3 = s2 - 3.0 * s1 + 3.0 * s0 - sm1;
    return sm1 + w.u * d1 + w.c2 * d2 + w.c3 * d3;
}

void zpCubicLine(const zpResizeJob& job, int k, float* line) {
    const std::uint8_t* s = zpSourceRow(job, k);
    const int ps = job.pixelStep;
    for (int i = 0; i < job.width; ++i) {
        const zpCubicWeights& w = job.columnCubic[i];
        const std::uint8_t* p = s + job.columns[i];
        for (int c = 0; c < ps; ++c)
            line[i * ps + c] = static_cast<float>(zpCubicValue(w, p[c - ps], p[c], p[c + ps], p[c + 2 * ps]));
    }
}

}  // namespace

void zpResizeNearestRows(const zpResizeJob& job) {
    const int ps = job.pixelStep;
    for (int j = 0; j < job.height; ++j) {
        const std::uint8_t* s = zpSourceRow(job, job.rows[j]);
        std::uint8_t* d = zpDestRow(job, j);
        for (int i = 0; i < job.width; ++i) std::memcpy(d + i * ps, s + job.columns[i], ps);
    }
}

void zpResizeLinearRows(const zpResizeJob& job) {
    std::uint16_t* top = static_cast<std::uint16_t*>(job.lines[0]);
    std::uint16_t* bottom = static_cast<std::uint16_t*>(job.lines[1]);
    int topRow = -2;  // source rows held by the two buffers
    const int samples = job.width * job.pixelStep;
    for (int j = 0; j < job.height; ++j) {
        const int k = job.rows[j];
        if (k == topRow + 1) {
            std::swap(top, bottom);
            zpLinearLine(job, k + 1, bottom);
        } else if (k != topRow) {
            zpLinearLine(job, k, top);
            zpLinearLine(job, k + 1, bottom);
        }
        topRow = k;
        const std::uint32_t w = job.rowWeights[j];
        std::uint8_t* d = zpDestRow(job, j);
        for (int i = 0; i < samples; ++i)
            d[i] = static_cast<std::uint8_t>((top[i] * (16384 - w) + bottom[i] * w + 524288) >> 20);
    }
}

void zpResizeCubicRows(const zpResizeJob& job) {
    for (int i = 0; i < job.width; ++i) job.columnCubic[i] = zpCubic(job.columnFractions[i]);
    float* lines[4];
    int held[4];
    for (int i = 0; i < 4; ++i) {
        lines[i] = static_cast<float*>(job.lines[i]);
        held[i] = -1000;
    }
    const int samples = job.width * job.pixelStep;
    for (int j = 0; j < job.height; ++j) {
        const int k = job.rows[j];
        // Buffer m holds source row k - 1 + m; rows resized for the previous
        // output row are moved into place rather than computed again.
        float* next[4];
        int nextHeld[4];
        bool used[4] = {false, false, false, false};
        for (int m = 0; m < 4; ++m) {
            next[m] = nullptr;
            for (int b = 0; b < 4; ++b) {
                if (!used[b] && held[b] == k - 1 + m) {
                    next[m] = lines[b];
                    used[b] = true;
                    break;
                }
            }
            nextHeld[m] = next[m] ? k - 1 + m : -1000;
        }
        for (int m = 0; m < 4; ++m) {
            if (next[m]) continue;
            for (int b = 0; b < 4; ++b) {
                if (!used[b]) {
                    next[m] = lines[b];
                    used[b] = true;
                    break;
                }
            }
            zpCubicLine(job, k - 1 + m, next[m]);
            nextHeld[m] = k - 1 + m;
        }
        for (int m = 0; m < 4; ++m) {
            lines[m] = next[m];
            held[m] = nextHeld[m];
        }
        zpCubicWeights w = zpCubic(job.rowFractions[j]);
        w.c3 = static_cast<float>(w.c3);
        std::uint8_t* d = zpDestRow(job, j);
        for (int i = 0; i < samples; ++i) {
            const double v = zpCubicValue(w, lines[0][i], lines[1][i], lines[2][i], lines[3][i]);
            const double t = std::trunc(v + 1e-7);
            d[i] = static_cast<std::uint8_t>(t < 0.0 ? 0 : (t > 255.0 ? 255 : static_cast<int>(t)));
        }
    }
}
