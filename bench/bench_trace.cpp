// Trace scope cost: every traced method pays one enter and one leave. The
// reference is the same call without a scope; the difference is the scope.
#include <benchmark/benchmark.h>

#include "ZUtil.h"

namespace {

__attribute__((noinline)) int tracedTiny(int value) {
    ZTRACE();
    return value + 1;
}

__attribute__((noinline)) int plainTiny(int value) {
    benchmark::DoNotOptimize(value);
    return value + 1;
}

}  // namespace

static void BM_PlainCall(benchmark::State& state) {
    int value = 0;
    for (auto _ : state) {
        value = plainTiny(value);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_PlainCall);

static void BM_TraceScopeEnterLeave(benchmark::State& state) {
    int value = 0;
    for (auto _ : state) {
        value = tracedTiny(value);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_TraceScopeEnterLeave);

// A scope opened below 200 others, as in a deep call chain.
static void BM_TraceScopeDeep(benchmark::State& state) {
    for (int i = 0; i < 200; ++i) ZCallPush(__FILE__, "outer", __LINE__, "function");
    int value = 0;
    for (auto _ : state) {
        value = tracedTiny(value);
        benchmark::DoNotOptimize(value);
    }
    for (int i = 0; i < 200; ++i) ZCallLeave();
}
BENCHMARK(BM_TraceScopeDeep);

BENCHMARK_MAIN();
