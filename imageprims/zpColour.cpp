// Generic colour conversions: RGB to grey, YUV 4:2:0 and 4:2:2 to RGB, RGB
// to YUV 4:2:0, all in fixed point.
#include "zpGeneric.h"

namespace {

int zpClamp(int v) { return v < 0 ? 0 : (v > 255 ? 255 : v); }

// Saturation table over every value the YUV formulas can reach (-261..513
// and the V table's -157..157 + 128).
struct zpSaturationTable {
    std::uint8_t entry[1024];
    constexpr zpSaturationTable() : entry() {
        for (int i = 0; i < 1024; ++i) entry[i] = static_cast<std::uint8_t>(i - 384 < 0 ? 0 : (i - 384 > 255 ? 255 : i - 384));
    }
};
constexpr zpSaturationTable kSaturation;

std::uint8_t zpSaturate(int v) { return kSaturation.entry[v + 384]; }

zpStatus zpCheckPacked(const std::uint8_t* src, int srcStep, const std::uint8_t* dst, int dstStep, zpSize size) {
    if (!src || !dst) return zpStsNullPtrErr;
    if (size.width < 1 || size.height < 1) return zpStsSizeErr;
    if (srcStep < 1 || dstStep < 1) return zpStsStepErr;
    return zpStsNoErr;
}

zpStatus zpGray(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep, zpSize size, int pixelBytes) {
    const zpStatus status = zpCheckPacked(src, srcStep, dst, dstStep, size);
    if (status != zpStsNoErr) return status;
    for (int y = 0; y < size.height; ++y) {
        const std::uint8_t* s = src + static_cast<std::ptrdiff_t>(y) * srcStep;
        std::uint8_t* d = dst + static_cast<std::ptrdiff_t>(y) * dstStep;
        for (int x = 0; x < size.width; ++x, s += pixelBytes)
            d[x] = static_cast<std::uint8_t>((1225 * s[0] + 2404 * s[1] + 467 * s[2]) >> 12);
    }
    return zpStsNoErr;
}

// One luma sample with its chroma, written as R, G, B.
void zpYUVToRGB(int Y, int U, int V, std::uint8_t* out) {
    const int L = Y * 65536;
    const int u = U - 128;
    const int v = V - 128;
    out[0] = static_cast<std::uint8_t>(zpClamp((L + 74711 * v) >> 16));
    out[1] = static_cast<std::uint8_t>(zpClamp((L - 38076 * v - 25821 * u) >> 16));
    out[2] = static_cast<std::uint8_t>(zpClamp((L + 133169 * u) >> 16));
}

int zpLumaQ16(const std::uint8_t* p) { return 19595 * p[0] + 38470 * p[1] + 7471 * p[2]; }

}  // namespace

zpStatus zpiRGBToGray_8u_C3C1R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                       zpSize roiSize) {
    return zpGray(src, srcStep, dst, dstStep, roiSize, 3);
}

zpStatus zpiRGBToGray_8u_AC4C1R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                        zpSize roiSize) {
    return zpGray(src, srcStep, dst, dstStep, roiSize, 4);
}

zpStatus zpiYUV420ToRGB_8u_P3C3_generic(const std::uint8_t* const src[3], std::uint8_t* dst, zpSize imgSize) {
    if (!src || !dst) return zpStsNullPtrErr;
    if (imgSize.width < 1 || imgSize.height < 1) return zpStsSizeErr;
    if (!src[0] || !src[1] || !src[2]) return zpStsNullPtrErr;
    const int w = imgSize.width;
    const int chromaWidth = (w + 1) / 2;
    for (int y = 0; y < imgSize.height; ++y) {
        const std::uint8_t* Y = src[0] + static_cast<std::ptrdiff_t>(y) * w;
        const std::uint8_t* U = src[1] + static_cast<std::ptrdiff_t>(y >> 1) * chromaWidth;
        const std::uint8_t* V = src[2] + static_cast<std::ptrdiff_t>(y >> 1) * chromaWidth;
        std::uint8_t* d = dst + static_cast<std::ptrdiff_t>(y) * w * 3;
        for (int i = 0; i < chromaWidth; ++i) {
            // The chroma terms serve both pixels of the pair.
            const int u = U[i] - 128;
            const int v = V[i] - 128;
            const int r = 74711 * v;
            const int g = -38076 * v - 25821 * u;
            const int b = 133169 * u;
            for (int x = 2 * i; x < 2 * i + 2 && x < w; ++x) {
                const int L = Y[x] * 65536;
                d[3 * x] = zpSaturate((L + r) >> 16);
                d[3 * x + 1] = zpSaturate((L + g) >> 16);
                d[3 * x + 2] = zpSaturate((L + b) >> 16);
            }
        }
    }
    return zpStsNoErr;
}

zpStatus zpiYUV422ToRGB_8u_C2C3R_generic(const std::uint8_t* src, int srcStep, std::uint8_t* dst, int dstStep,
                                         zpSize roiSize) {
    const zpStatus status = zpCheckPacked(src, srcStep, dst, dstStep, roiSize);
    if (status != zpStsNoErr) return status;
    const int w = roiSize.width;
    for (int y = 0; y < roiSize.height; ++y) {
        const std::uint8_t* s = src + static_cast<std::ptrdiff_t>(y) * srcStep;
        std::uint8_t* d = dst + static_cast<std::ptrdiff_t>(y) * dstStep;
        if (w == 1) {
            // A lone pixel has no V byte: its U byte serves as both.
            zpYUVToRGB(s[0], s[1], s[1], d);
            continue;
        }
        int x = 0;
        for (; x + 1 < w; x += 2) {
            const std::uint8_t* g = s + 2 * x;
            zpYUVToRGB(g[0], g[1], g[3], d + 3 * x);
            zpYUVToRGB(g[2], g[1], g[3], d + 3 * (x + 1));
        }
        if (x < w) {
            // The odd last pixel: its own Y, the U after it, the V before it.
            const std::uint8_t* g = s + 2 * x;
            zpYUVToRGB(g[0], g[1], g[-1], d + 3 * x);
        }
    }
    return zpStsNoErr;
}

zpStatus zpiRGBToYUV420_8u_C3P3_generic(const std::uint8_t* src, std::uint8_t* const dst[3], zpSize imgSize) {
    if (!src) return zpStsNullPtrErr;
    if (!dst) return zpStsNullPtrErr;
    if (imgSize.width < 1 || imgSize.height < 1) return zpStsSizeErr;
    if (!dst[0] || !dst[1] || !dst[2]) return zpStsNullPtrErr;
    const int w = imgSize.width;
    const int h = imgSize.height;
    const int chromaWidth = (w + 1) / 2;
    // One pass over the chroma blocks; each pixel's luma is computed once,
    // written as Y and summed into its block.
    for (int j = 0; j < (h + 1) / 2; ++j) {
        const int rows = 2 * j + 1 < h ? 2 : 1;
        for (int i = 0; i < chromaWidth; ++i) {
            const int columns = 2 * i + 1 < w ? 2 : 1;
            int sumP = 0, sumB = 0, sumR = 0;
            for (int dy = 0; dy < rows; ++dy) {
                const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(2 * j + dy) * w;
                for (int dx = 0; dx < columns; ++dx) {
                    const std::uint8_t* p = src + (row + 2 * i + dx) * 3;
                    const int P = zpLumaQ16(p);
                    dst[0][row + 2 * i + dx] = static_cast<std::uint8_t>(P >> 16);
                    sumP += P;
                    sumR += p[0];
                    sumB += p[2];
                }
            }
            const int n = rows * columns;
            const int k = n == 4 ? 131071 : 0;
            const int shift = n == 4 ? 18 : (n == 2 ? 17 : 16);
            const int d = (sumB * 65536 - sumP + k) >> 16;
            const int e = (sumR * 65536 - sumP + k) >> 16;
            const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(j) * chromaWidth + i;
            dst[1][at] = static_cast<std::uint8_t>(((d * 32244) >> shift) + 128);
            dst[2][at] = zpSaturate(((e * 57475) >> shift) + 128);
        }
    }
    return zpStsNoErr;
}
