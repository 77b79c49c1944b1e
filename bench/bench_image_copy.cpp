// Copy and alpha compositing of a 1920 x 1080 RGBA frame, against memcpy of
// the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "ZImagePrimitives.h"

namespace {

constexpr int kW = 1920, kH = 1080;

std::vector<std::uint8_t> frame(unsigned seed) {
    std::vector<std::uint8_t> v(static_cast<std::size_t>(kW) * kH * 4);
    std::mt19937 rng(seed);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng());
    return v;
}

void BM_Memcpy(benchmark::State& state) {
    const auto src = frame(1);
    auto dst = frame(2);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(src.size()));
}

void BM_Copy_8u_C4R(benchmark::State& state) {
    const auto src = frame(1);
    auto dst = frame(2);
    for (auto _ : state) {
        zpiCopy_8u_C4R(src.data(), kW * 4, dst.data(), kW * 4, {kW, kH});
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(src.size()));
}

void BM_AlphaCompOver(benchmark::State& state) {
    const auto src = frame(1);
    auto dst = frame(2);
    for (auto _ : state) {
        zpiAlphaComp_8u_AC4R(src.data(), kW * 4, dst.data(), kW * 4, dst.data(), kW * 4, {kW, kH}, zpAlphaOver);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(src.size()));
}

// A skin or window picture: mostly opaque, with translucent edges.
void BM_AlphaCompOverMostlyOpaque(benchmark::State& state) {
    auto src = frame(1);
    for (std::size_t i = 3; i < src.size(); i += 4)
        if ((i / 4) % kW > 8) src[i] = 255;
    auto dst = frame(2);
    for (auto _ : state) {
        zpiAlphaComp_8u_AC4R(src.data(), kW * 4, dst.data(), kW * 4, dst.data(), kW * 4, {kW, kH}, zpAlphaOver);
        benchmark::DoNotOptimize(dst.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(src.size()));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Copy_8u_C4R)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AlphaCompOver)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AlphaCompOverMostlyOpaque)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
