// Colour conversion of a 640 x 480 camera frame: RGB to planar YUV 4:2:0 and
// back, and RGB to grey, against copying the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "ZImage.h"

namespace {

constexpr int kW = 640, kH = 480;

std::string rgbFrame() {
    std::string s(static_cast<std::size_t>(kW) * kH * 3, '\0');
    std::mt19937 rng(3);
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

void BM_CopyFrameBytes(benchmark::State& state) {
    const std::string src = rgbFrame();
    std::string dst(src.size(), '\0');
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), src.size());
        benchmark::DoNotOptimize(dst.data());
    }
}

void BM_RGBToIYUY(benchmark::State& state) {
    const std::string src = rgbFrame();
    std::string y, u, v;
    for (auto _ : state) {
        ZImageConvertToIYUY(ZImageFormat{ZIT_RGB24, kW, kH}, U(src), y, u, v);
        benchmark::DoNotOptimize(y.data());
    }
}

void BM_IYUYToRGB(benchmark::State& state) {
    const std::string src = rgbFrame();
    std::string y, u, v, out;
    ZImageConvertToIYUY(ZImageFormat{ZIT_RGB24, kW, kH}, U(src), y, u, v);
    for (auto _ : state) {
        ZImageConvertFromIYUY(ZImageFormat{ZIT_IYUY, kW, kH}, U(y), U(u), U(v), ZImageFormat{ZIT_RGB24, kW, kH}, out);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_RGBToGray(benchmark::State& state) {
    const std::string src = rgbFrame();
    std::string out;
    for (auto _ : state) {
        ZImageConvert(ZImageFormat{ZIT_RGB24, kW, kH}, U(src), ZIT_GRAY8, out);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_BGRAToGray4(benchmark::State& state) {
    std::string src;
    for (int i = 0; i < kW * kH; ++i) src += std::string{static_cast<char>(i), static_cast<char>(i >> 3), 9, 0};
    std::string out;
    for (auto _ : state) {
        ZImageConvert(ZImageFormat{ZIT_BGRA32, kW, kH}, U(src), ZRect{0, 0, kW, kH}, ZIT_GRAY4, out);
        benchmark::DoNotOptimize(out.data());
    }
}

}  // namespace

BENCHMARK(BM_CopyFrameBytes)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RGBToIYUY)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IYUYToRGB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RGBToGray)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BGRAToGray4)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
