// Text conversion costs: every log line and every message crosses ZToUTF8.
#include <benchmark/benchmark.h>

#include "ZPortable_Text.h"

static void BM_ZToUTF8_1KB(benchmark::State& state) {
    std::wstring text;
    for (int i = 0; text.size() < 1024; ++i) text += static_cast<wchar_t>(i % 5 == 0 ? 0x20AC : L'a' + i % 26);
    for (auto _ : state) benchmark::DoNotOptimize(ZToUTF8(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_ZToUTF8_1KB);

static void BM_ZFromUTF8_1KB(benchmark::State& state) {
    std::string text;
    for (int i = 0; text.size() < 1024; ++i) text += i % 5 == 0 ? "\xE2\x82\xAC" : "a";
    for (auto _ : state) benchmark::DoNotOptimize(ZFromUTF8(text));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ZFromUTF8_1KB);

BENCHMARK_MAIN();
