// The memory of the signalling servers' registry with 1,000,000 registered
// devices, in this process: resident bytes per device, against the bytes of
// the texts a registration holds (the least any layout could keep).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <fstream>
#include <string>

#include "ZServerPassword.h"
#include "ZServerSessions.h"
#include "ZSignalRegistry.h"

namespace {

long residentKB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    return 0;
}

std::string contactOf(int i) {
    return "10." + std::to_string(i >> 16 & 255) + "." + std::to_string(i >> 8 & 255) + "." +
           std::to_string(i & 255) + ":" + std::to_string(40000 + i % 20000);
}

void BM_RegistryBytesPerDevice(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    for (auto _ : state) {
        malloc_trim(0);
        const long before = residentKB();
        const std::size_t heapBefore = mallinfo2().uordblks;
        std::size_t texts = 0;
        {
            ZSignalRegistry registry;
            for (int i = 0; i < devices; ++i) {
                ZSignalRegistration r;
                // Two devices per user, as people sign in at home and at work.
                r.user = "user" + std::to_string(i / 2) + "@zandrel.net";
                r.contact = contactOf(i);
                r.routes = "local://192.168.1.20:5060, nat://" + r.contact;
                r.version = "764";
                r.cseq = std::to_string(i) + " (ZDispatchService)";
                r.lastSeen = i;
                const std::string device = ZServerNewGUID();
                texts += r.user.size() + r.contact.size() + r.routes.size() + r.version.size() + r.cseq.size() +
                         device.size();
                registry.add(device, r);
            }
            const long after = residentKB();
            const std::size_t heapAfter = mallinfo2().uordblks;
            state.counters["rss_bytes_per_device"] = (after - before) * 1024.0 / devices;
            state.counters["heap_bytes_per_device"] = static_cast<double>(heapAfter - heapBefore) / devices;
            state.counters["text_bytes_per_device"] = static_cast<double>(texts) / devices;
        }
    }
}
BENCHMARK(BM_RegistryBytesPerDevice)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

// The check REGISTER and DEVICEGUID now make, against the hash of the
// device identity every REGISTER already made: both in the same run.
void BM_SessionKeyCheck(benchmark::State& state) {
    ZServerSessions sessions;
    std::vector<std::string> keys;
    for (int i = 0; i < 100000; ++i) keys.push_back(sessions.issue("user" + std::to_string(i) + "@zandrel.net", 0));
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(sessions.userOf(keys[i++ % keys.size()], 1));
}
BENCHMARK(BM_SessionKeyCheck);

void BM_DeviceLookupReference(benchmark::State& state) {
    ZSignalRegistry registry;
    std::vector<std::string> devices;
    for (int i = 0; i < 100000; ++i) {
        ZSignalRegistration r;
        r.user = "user" + std::to_string(i) + "@zandrel.net";
        r.contact = contactOf(i);
        devices.push_back(ZServerNewGUID());
        registry.add(devices.back(), r);
    }
    std::size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(registry.find(devices[i++ % devices.size()]));
}
BENCHMARK(BM_DeviceLookupReference);

}  // namespace

BENCHMARK_MAIN();
