// Per-frame cost of the video tap: the top-down camera path hands on the
// sample's own memory; the bottom-up path copies and flips every frame.
// The goal: a 640x480 frame through the tap well under a millisecond, so a
// 30 fps camera spends a small fraction of its streaming thread here.
#include <benchmark/benchmark.h>

#include <string>

#include "ZCaptureTap.h"

namespace {

// Touches the first byte so the delivery is not optimised away.
struct ZSinkListener : IZCaptureVideoListener {
    unsigned sum = 0;
    void onVideoFrame(std::int64_t, const ZImageFormat&, const unsigned char* buffer, int) override { sum += buffer[0]; }
};

void deliver(benchmark::State& state, std::uint32_t subtype, int height) {
    const int width = 640;
    ZCaptureVideoType type;
    type.subtype = subtype;
    type.header.width = width;
    type.header.height = height;
    type.header.bitCount = subtype == ZCAPTURE_SUBTYPE_YUY2 ? 16 : 24;
    type.header.compression = subtype == ZCAPTURE_SUBTYPE_YUY2 ? ZCAPTURE_SUBTYPE_YUY2 : ZCAPTURE_BI_RGB;
    _ZVideoTapFilter* tap = new _ZVideoTapFilter;
    tap->checkInputType(&type);
    ZSinkListener listener;
    tap->subscribe(&listener);
    const std::string frame(static_cast<std::size_t>(width) * (height < 0 ? -height : height) * type.header.bitCount / 8, 'x');
    ZCaptureSample sample;
    sample.data = reinterpret_cast<const unsigned char*>(frame.data());
    sample.length = static_cast<int>(frame.size());
    for (auto _ : state) {
        sample.startTime += 333333;
        tap->transform(&sample);
    }
    benchmark::DoNotOptimize(listener.sum);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * sample.length);
    tap->unsubscribe(&listener);
    delete tap;
}

void BM_TapYuy2TopDown(benchmark::State& state) { deliver(state, ZCAPTURE_SUBTYPE_YUY2, -480); }
void BM_TapRgb24BottomUpFlipped(benchmark::State& state) { deliver(state, ZCAPTURE_SUBTYPE_RGB24, 480); }

}  // namespace

BENCHMARK(BM_TapYuy2TopDown);
BENCHMARK(BM_TapRgb24BottomUpFlipped);
BENCHMARK_MAIN();
