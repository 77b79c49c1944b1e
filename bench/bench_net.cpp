// Loopback costs of the one UDP port: every media packet is one send, one
// wait and one receive on the dispatch thread.
#include <benchmark/benchmark.h>

#include <string>

#include "ZNonPortable_Net.h"

static void BM_UDPSendWaitRecv(benchmark::State& state) {
    ZNetUDPPort* a = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetUDPPort* b = ZNetUDPPortOpen(L"127.0.0.1:0");
    if (!a || !b) {
        state.SkipWithError("cannot open loopback ports");
        return;
    }
    const std::wstring to = ZNetUDPPortGetLocalHost(b);
    const std::string payload(static_cast<std::size_t>(state.range(0)), 'p');
    std::string data;
    std::wstring from;
    for (auto _ : state) {
        ZNetUDPPortSend(a, to, payload.data(), static_cast<int>(payload.size()));
        while (!ZNetUDPPortRecv(b, data, from)) ZNetWait({b}, {}, {}, 1000000);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
    ZNetUDPPortClose(a);
    ZNetUDPPortClose(b);
}
BENCHMARK(BM_UDPSendWaitRecv)->Arg(160)->Arg(1400);

static void BM_ResolveDottedQuad(benchmark::State& state) {
    std::uint32_t address = 0;
    int port = 0;
    for (auto _ : state) {
        ZNetResolveHost(L"192.168.1.20:5060", address, port);
        benchmark::DoNotOptimize(address);
    }
}
BENCHMARK(BM_ResolveDottedQuad);

BENCHMARK_MAIN();
