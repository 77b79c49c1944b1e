// What the media tests share: test pictures and tones, the measures they
// are judged by (luma PSNR, frequency by zero crossings, level), and the
// check that a decoder refuses a peer's bytes without stopping.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "ZImage.h"
#include "ZTestSupport.h"

namespace zanmedia {

inline const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// A smooth test card that moves a little every frame: diagonal gradients
// with a bright bar, so that a scaled, encoded copy can be compared.
inline std::string testCardRGB(int width, int height, int frame, bool bgr) {
    std::string out(static_cast<std::size_t>(width) * height * 3, '\0');
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int r = (x * 255) / width;
            const int g = (y * 255) / height;
            const int bar = ((x + frame * 4) / (width / 8 + 1)) % 2 ? 200 : 60;
            unsigned char* p = reinterpret_cast<unsigned char*>(&out[(static_cast<std::size_t>(y) * width + x) * 3]);
            p[0] = static_cast<unsigned char>(bgr ? bar : r);
            p[1] = static_cast<unsigned char>(g);
            p[2] = static_cast<unsigned char>(bgr ? r : bar);
        }
    return out;
}

// The same card as packed YUY2 (Y0 U Y1 V).
inline std::string testCardYUY2(int width, int height, int frame) {
    const std::string rgb = testCardRGB(width, height, frame, false);
    std::string out(static_cast<std::size_t>(width) * height * 2, '\0');
    auto at = [&](int x, int y, int c) {
        return static_cast<unsigned char>(rgb[(static_cast<std::size_t>(y) * width + x) * 3 + c]);
    };
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; x += 2) {
            double yy[2], u = 0, v = 0;
            for (int k = 0; k < 2; ++k) {
                const double r = at(x + k, y, 0), g = at(x + k, y, 1), b = at(x + k, y, 2);
                yy[k] = 16 + 0.257 * r + 0.504 * g + 0.098 * b;
                u += (128 - 0.148 * r - 0.291 * g + 0.439 * b) / 2;
                v += (128 + 0.439 * r - 0.368 * g - 0.071 * b) / 2;
            }
            char* p = &out[(static_cast<std::size_t>(y) * width + x) * 2];
            p[0] = static_cast<char>(std::lround(yy[0]));
            p[1] = static_cast<char>(std::lround(u));
            p[2] = static_cast<char>(std::lround(yy[1]));
            p[3] = static_cast<char>(std::lround(v));
        }
    return out;
}

// Luma PSNR in dB of two RGB24 pictures of equal size.
inline double lumaPSNR(const std::string& a, const std::string& b) {
    double sum = 0;
    const std::size_t pixels = a.size() / 3;
    for (std::size_t i = 0; i < pixels; ++i) {
        auto luma = [](const std::string& s, std::size_t p) {
            const unsigned char* q = reinterpret_cast<const unsigned char*>(&s[p * 3]);
            return 0.299 * q[0] + 0.587 * q[1] + 0.114 * q[2];
        };
        const double d = luma(a, i) - luma(b, i);
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(pixels);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// 16-bit little-endian samples of a tone.
inline std::string tonePCM(int samples, int rate, double hz, double amplitude, int offset = 0) {
    std::string pcm(static_cast<std::size_t>(samples) * 2, '\0');
    for (int i = 0; i < samples; ++i) {
        const auto s = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * M_PI * hz * (i + offset) / rate)));
        std::memcpy(&pcm[2 * static_cast<std::size_t>(i)], &s, 2);
    }
    return pcm;
}

inline std::int16_t sampleAt(const std::string& pcm, std::size_t i) {
    std::int16_t s;
    std::memcpy(&s, &pcm[2 * i], 2);
    return s;
}

// Frequency by rising zero crossings over the samples from `from` on.
inline double zeroCrossingHz(const std::string& pcm, int rate, std::size_t from) {
    const std::size_t n = pcm.size() / 2;
    std::size_t first = 0, last = 0;
    int crossings = -1;
    for (std::size_t i = from + 1; i < n; ++i)
        if (sampleAt(pcm, i - 1) < 0 && sampleAt(pcm, i) >= 0) {
            if (crossings < 0) first = i;
            last = i;
            ++crossings;
        }
    return crossings > 0 ? crossings * static_cast<double>(rate) / static_cast<double>(last - first) : 0;
}

inline double rms(const std::string& pcm, std::size_t from) {
    double sum = 0;
    const std::size_t n = pcm.size() / 2;
    for (std::size_t i = from; i < n; ++i) sum += static_cast<double>(sampleAt(pcm, i)) * sampleAt(pcm, i);
    return n > from ? std::sqrt(sum / static_cast<double>(n - from)) : 0;
}

}  // namespace zanmedia

// A decoder refuses a peer's bytes with std::runtime_error, never through
// a fatal check (whose test hook also throws a runtime_error).
#define EXPECT_REFUSED(statement)                                                         \
    do {                                                                                  \
        bool refused = false;                                                             \
        try {                                                                             \
            statement;                                                                    \
        } catch (const ZTestAbort&) {                                                     \
            ADD_FAILURE() << "fatal check reached by: " #statement;                       \
        } catch (const std::runtime_error&) {                                             \
            refused = true;                                                               \
        }                                                                                 \
        EXPECT_TRUE(refused) << #statement;                                               \
    } while (0)
