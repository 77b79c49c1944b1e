// Desktop costs on an X server (run under Xvfb: DISPLAY=:n ./bench_desktop):
// one full-window repaint of a layered window, and capture turns of the
// whole screen and of a small dirty region.
#include <benchmark/benchmark.h>

#include <vector>

#include "ZNonPortable.h"

namespace {

struct ZQuiet : IZWinListener {};

void BM_RepaintLayeredWindow(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    ZQuiet listener;
    ZWin* w = ZWinOpen(L"bench", ZRect{0, 0, side, side}, false, &listener);
    std::vector<unsigned char> pixels(static_cast<size_t>(side) * side * 4, 0x80);
    ZWinShow(w);
    for (auto _ : state) benchmark::DoNotOptimize(ZWinRepaint(w, side, side, pixels.data(), 255));
    ZWinClose(w);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(pixels.size()));
}
BENCHMARK(BM_RepaintLayeredWindow)->Arg(256)->Arg(1024);

void BM_CaptureRegion(benchmark::State& state) {
    const int side = static_cast<int>(state.range(0));
    ZScreen* screen = ZScreenOpen();
    ZImageFormat format;
    ZScreenCapture(screen, ZRect{0, 0, 1, 1}, format);
    for (auto _ : state) benchmark::DoNotOptimize(ZScreenCapture(screen, ZRect{0, 0, side, side}, format));
    ZScreenClose(screen);
    // The region is clipped to the desktop.
    const int64_t height = side < format.height ? side : format.height;
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(side) * height * 4);
}
BENCHMARK(BM_CaptureRegion)->Arg(64)->Arg(1280);

}  // namespace

BENCHMARK_MAIN();
