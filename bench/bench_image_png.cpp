// PNG encoding of desktop-like pictures: a 48 x 48 screen tile, a 1024 x 768
// screen and a 1280 x 1024 frame; the "bytes" counter is the stream size.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "ZImage.h"

namespace {

// Flat window backgrounds, title bars and rows of small dark glyphs.
std::string desktop(int w, int h) {
    std::string s(static_cast<std::size_t>(w) * h * 4, '\0');
    std::mt19937 rng(11);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = reinterpret_cast<unsigned char*>(&s[(static_cast<std::size_t>(y) * w + x) * 4]);
            const bool titleBar = (y % 300) < 24;
            const bool textRow = (y % 18) > 4 && (y % 18) < 14 && (x % 400) > 20 && (x % 400) < 360;
            unsigned char level = titleBar ? 60 : 236;
            if (textRow && (rng() % 3 == 0)) level = 30;
            p[0] = level;
            p[1] = titleBar ? 90 : level;
            p[2] = titleBar ? 160 : level;
            p[3] = 255;
        }
    return s;
}

void encode(benchmark::State& state, int w, int h) {
    const std::string src = desktop(w, h);
    std::string png;
    for (auto _ : state) {
        ZImageConvert(ZImageFormat{ZIT_BGRA32, w, h}, reinterpret_cast<const unsigned char*>(src.data()),
                      ZRect{0, 0, w, h}, ZIT_PNG, png);
        benchmark::DoNotOptimize(png.data());
    }
    state.counters["bytes"] = static_cast<double>(png.size());
    state.counters["raw"] = static_cast<double>(w) * h * 3;
}

}  // namespace

BENCHMARK_CAPTURE(encode, Tile48, 48, 48)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(encode, Screen1024x768, 1024, 768)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(encode, Frame1280x1024, 1280, 1024)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
