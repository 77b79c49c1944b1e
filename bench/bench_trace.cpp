// Trace scope cost: every traced method pays one enter and one leave.
#include <benchmark/benchmark.h>

#include "ZUtil.h"

namespace {

__attribute__((noinline)) int tracedTiny(int value) {
    ZTRACE();
    return value + 1;
}

}  // namespace

static void BM_TraceScopeEnterLeave(benchmark::State& state) {
    int value = 0;
    for (auto _ : state) {
        value = tracedTiny(value);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_TraceScopeEnterLeave);

BENCHMARK_MAIN();
