// Message parsing cost: every datagram, relay frame and queued command goes
// through ZHTTPHeaders::deserialize.
#include <benchmark/benchmark.h>

#include "ZHTTPHeaders.h"

// A typical signalling request between two devices, about 200 bytes.
static std::string typicalSignallingMessage() {
    ZHTTPHeaders h(L"INVITE");
    h.set(L"CSeq", 17);
    h.set(L"From", L"alice@example.org/3f2c9a1e-77d4-4b7e-9c1a-2d5e8f0b6a11");
    h.set(L"To", L"bob@example.org");
    h.set(L"Via", L"192.168.1.20:5060, 203.0.113.7:40123");
    h.set(L"Session", L"video");
    h.addContent("v=0 s=zan");
    return h.serialize();
}

static void BM_DeserializeSignallingMessage(benchmark::State& state) {
    const std::string text = typicalSignallingMessage();
    for (auto _ : state) {
        ZHTTPHeaders h;
        benchmark::DoNotOptimize(h.deserialize(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_DeserializeSignallingMessage);

static void BM_SerializeSignallingMessage(benchmark::State& state) {
    ZHTTPHeaders h;
    h.deserialize(typicalSignallingMessage());
    for (auto _ : state) benchmark::DoNotOptimize(h.serialize());
}
BENCHMARK(BM_SerializeSignallingMessage);

BENCHMARK_MAIN();
