// Parser costs: list values are read on every store and header lookup, host
// texts on every routed message, command items on every skin command.
#include <benchmark/benchmark.h>

#include <list>
#include <map>

#include "ZPortable_Parse.h"

static void BM_ZParseList_TenHosts(benchmark::State& state) {
    std::wstring text;
    for (int i = 0; i < 10; ++i) text += L"10.0.0." + std::to_wstring(i) + L":5060, ";
    std::list<std::wstring> out;
    for (auto _ : state) {
        ZParseList(out, text);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ZParseList_TenHosts);

static void BM_ZSplitHostPort(benchmark::State& state) {
    const std::wstring text = L"192.168.100.200:65000";
    std::wstring host;
    int port = 0;
    for (auto _ : state) {
        ZSplitHostPort(text, host, port);
        benchmark::DoNotOptimize(port);
    }
}
BENCHMARK(BM_ZSplitHostPort);

static void BM_ZParseCommandItem(benchmark::State& state) {
    const std::wstring text = L"/system?delayrestart+delay=30&reason=upgrade";
    std::wstring path;
    std::map<std::wstring, std::wstring> arguments;
    for (auto _ : state) {
        ZParseCommandItem(text, path, arguments);
        benchmark::DoNotOptimize(arguments);
    }
}
BENCHMARK(BM_ZParseCommandItem);

BENCHMARK_MAIN();
