// Resize through ZImageResize: a full-HD frame halved, a 640 x 480 camera
// frame scaled, and a 48 x 48 picture doubled. Then the resize primitive in
// every variant of its table (entry 1 generic, 2 MMX/SSE, 3 SSE2, 4 the SSE3
// class) beside memcpy of the source frame in the same run: linear, cubic
// and super-sampling. A slot this processor cannot run is reported as
// skipped, with why.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ZImage.h"
#include "ZImagePrimitives.h"

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

namespace {

using ResizeFn = decltype(zpiResize_8u_C1R);

ResizeFn* entry(const char* name, int slot) {
    for (const zpRegistration* r = zpRegistrationList; r; r = r->next)
        if (std::strcmp(r->name, name) == 0) return static_cast<const zpVariantTable<ResizeFn>*>(r->table)->entry[slot];
    return nullptr;
}

std::string unsupported(int slot) {
    __builtin_cpu_init();
    switch (slot) {
    case 2: return __builtin_cpu_supports("mmx") && __builtin_cpu_supports("sse") ? "" : "slot 2: no MMX with SSE";
    case 3: return __builtin_cpu_supports("sse2") ? "" : "slot 3: no SSE2";
    case 4: return __builtin_cpu_supports("sse3") ? "" : "slot 4: no SSE3";
    default: return "";
    }
}

struct PrimitiveCase {
    const char* label;
    int channels, fromW, fromH, toW, toH;
    std::int32_t interpolation;
};

const PrimitiveCase kPrimitiveCases[] = {
    {"C4/1920x1080-960x540/linear", 4, 1920, 1080, 960, 540, zpInterLinear},
    {"C4/1920x1080-960x540/cubic", 4, 1920, 1080, 960, 540, zpInterCubic},
    {"C4/1920x1080-960x540/super", 4, 1920, 1080, 960, 540, zpInterSuper},
    {"C4/1920x1080-640x360/super", 4, 1920, 1080, 640, 360, zpInterSuper},
    {"C4/48x48-96x96/linear", 4, 48, 48, 96, 96, zpInterLinear},
    {"C4/48x48-96x96/cubic", 4, 48, 48, 96, 96, zpInterCubic},
    {"C1/640x480-320x240/cubic", 1, 640, 480, 320, 240, zpInterCubic},
    {"C1/640x480-320x240/linear", 1, 640, 480, 320, 240, zpInterLinear},
};

void registerPrimitive(const PrimitiveCase& c) {
    const std::string base = std::string("Resize/") + c.label;
    const std::size_t bytes = static_cast<std::size_t>(c.fromW) * c.fromH * c.channels;
    benchmark::RegisterBenchmark((base + "/memcpy").c_str(), [bytes](benchmark::State& state) {
        std::vector<std::uint8_t> src(bytes, 1), dst(bytes);
        for (auto _ : state) {
            std::memcpy(dst.data(), src.data(), bytes);
            benchmark::DoNotOptimize(dst.data());
        }
    })->Unit(benchmark::kMicrosecond);
    const char* name = c.channels == 1 ? "zpiResize_8u_C1R" : "zpiResize_8u_C4R";
    for (int slot = 1; slot <= 4; ++slot) {
        ResizeFn* fn = entry(name, slot);
        const std::string reason = unsupported(slot);
        benchmark::RegisterBenchmark((base + "/slot" + std::to_string(slot)).c_str(),
                                     [c, fn, reason](benchmark::State& state) {
            if (!reason.empty()) {
                state.SkipWithError(("not run: " + reason).c_str());
                return;
            }
            const std::string src = image(c.fromW, c.fromH, c.channels);
            std::vector<std::uint8_t> dst(static_cast<std::size_t>(c.toW) * c.toH * c.channels);
            const double fx = double(c.toW) / c.fromW, fy = double(c.toH) / c.fromH;
            for (auto _ : state) {
                fn(reinterpret_cast<const std::uint8_t*>(src.data()), {c.fromW, c.fromH}, c.fromW * c.channels,
                   {0, 0, c.fromW, c.fromH}, dst.data(), c.toW * c.channels, {c.toW, c.toH}, fx, fy,
                   c.interpolation);
                benchmark::DoNotOptimize(dst.data());
            }
            state.SetItemsProcessed(state.iterations() * c.toW * c.toH);
        })->Unit(benchmark::kMicrosecond);
    }
}

}  // namespace

int main(int argc, char** argv) {
    for (const auto& c : kPrimitiveCases) registerPrimitive(c);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
