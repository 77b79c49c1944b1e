// Resize through ZImageResize: a full-HD frame halved, a 640 x 480 camera
// frame scaled, and a 48 x 48 picture doubled.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "ZImage.h"

namespace {

std::string image(int w, int h, int bpp) {
    std::string s(static_cast<std::size_t>(w) * h * bpp, '\0');
    std::mt19937 rng(7);
    // Smooth content with some noise: what a camera or a desktop gives.
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < bpp; ++c)
                s[(static_cast<std::size_t>(y) * w + x) * bpp + c] = static_cast<char>((x + 2 * y + 40 * c + (rng() & 15)) & 0xFF);
    return s;
}

void resize(benchmark::State& state, int fromW, int fromH, int toW, int toH, std::uint32_t flags) {
    const std::string src = image(fromW, fromH, 4);
    std::string out;
    for (auto _ : state) {
        ZImageResize(ZImageFormat{ZIT_RGBA32, fromW, fromH}, reinterpret_cast<const unsigned char*>(src.data()),
                     ZRect{0, 0, fromW, fromH}, toW, toH, out, flags);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * toW * toH);
}

}  // namespace

BENCHMARK_CAPTURE(resize, FullHDHalfLinear, 1920, 1080, 960, 540, ZIC_RESIZE_LINEAR)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(resize, FullHDHalfCubic, 1920, 1080, 960, 540, 0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(resize, FullHDHalfNearest, 1920, 1080, 960, 540, ZIC_RESIZE_NEAREST)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(resize, VGAToQVGALinear, 640, 480, 320, 240, ZIC_RESIZE_LINEAR)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(resize, VGAToQVGACubic, 640, 480, 320, 240, 0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(resize, Picture48To96Linear, 48, 48, 96, 96, ZIC_RESIZE_LINEAR)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(resize, Picture48To96Cubic, 48, 48, 96, 96, 0)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
