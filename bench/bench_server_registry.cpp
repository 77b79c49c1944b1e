// The memory of the signalling servers' registry with 1,000,000 registered
// devices, in this process: heap and resident bytes per device, against the
// bytes of the texts a registration holds (the least any layout could keep),
// alone and with the budgets each device now has beside it.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "ZServerPassword.h"
#include "ZServerRateLimit.h"
#include "ZServerSessions.h"
#include "ZSignalRegistry.h"

namespace {

// Every block the program takes through new, counted with its size: the
// sanitizers' allocator reports nothing through mallinfo2.
std::atomic<std::size_t> g_liveBytes{0};
std::atomic<std::size_t> g_liveBlocks{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);
// What the allocator keeps beside each block of a glibc heap.
constexpr std::size_t kBlockOverhead = 16;

void* countedNew(std::size_t size) {
    void* p = std::malloc(size + kHeader);
    if (!p) throw std::bad_alloc();
    *static_cast<std::size_t*>(p) = size;
    g_liveBytes += size;
    ++g_liveBlocks;
    return static_cast<char*>(p) + kHeader;
}

void countedDelete(void* p) {
    if (!p) return;
    void* block = static_cast<char*>(p) - kHeader;
    g_liveBytes -= *static_cast<std::size_t*>(block);
    --g_liveBlocks;
    std::free(block);
}

// Heap bytes in use now, with the allocator's own bytes per block.
double heapBytes() { return static_cast<double>(g_liveBytes + kBlockOverhead * g_liveBlocks); }

}  // namespace

void* operator new(std::size_t size) { return countedNew(size); }
void* operator new[](std::size_t size) { return countedNew(size); }
void operator delete(void* p) noexcept { countedDelete(p); }
void operator delete[](void* p) noexcept { countedDelete(p); }
void operator delete(void* p, std::size_t) noexcept { countedDelete(p); }
void operator delete[](void* p, std::size_t) noexcept { countedDelete(p); }
// Libraries take blocks through these too and give them back above.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return countedNew(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p, const std::nothrow_t&) noexcept { countedDelete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { countedDelete(p); }

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
        const double heapBefore = heapBytes();
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
            state.counters["rss_bytes_per_device"] = (after - before) * 1024.0 / devices;
            state.counters["heap_bytes_per_device"] = (heapBytes() - heapBefore) / devices;
            state.counters["text_bytes_per_device"] = static_cast<double>(texts) / devices;
        }
    }
}
BENCHMARK(BM_RegistryBytesPerDevice)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same registry with what each device now costs beside it: the budgets
// of new identities per user and per address and the INVITE forwarding
// budget per user, each with a bucket in use (the most they ever hold).
// Against the registry alone and a bare map of device to contact, in the
// same run.
void BM_RegistryWithBudgetsBytesPerDevice(benchmark::State& state) {
    const int devices = static_cast<int>(state.range(0));
    for (auto _ : state) {
        malloc_trim(0);
        const double start = heapBytes();
        double bareBytes = 0;
        {
            std::unordered_map<std::string, std::string> bare;
            for (int i = 0; i < devices; ++i) bare.emplace(ZServerNewGUID(), contactOf(i));
            bareBytes = heapBytes() - start;
        }
        malloc_trim(0);
        const long before = residentKB();
        const double heapBefore = heapBytes();
        ZSignalRegistry registry;
        ZServerRateLimit idsByUser(16 / 120.0, 16), idsByAddress(64 / 120.0, 64), forwards(100, 500);
        for (int i = 0; i < devices; ++i) {
            ZSignalRegistration r;
            r.user = "user" + std::to_string(i / 2) + "@zandrel.net";
            r.contact = contactOf(i);
            r.routes = "local://192.168.1.20:5060, nat://" + r.contact;
            r.version = "764";
            r.cseq = std::to_string(i) + " (ZDispatchService)";
            r.lastSeen = i;
            registry.add(ZServerNewGUID(), r);
        }
        const double heapRegistry = heapBytes();
        const long rssRegistry = residentKB();
        for (int i = 0; i < devices; ++i) {
            const std::string user = "user" + std::to_string(i / 2) + "@zandrel.net";
            const std::string contact = contactOf(i);
            idsByUser.take(user, 1);
            idsByAddress.take(contact.substr(0, contact.rfind(':')), 1);
            forwards.take(user, 1);
        }
        const double heapAll = heapBytes();
        const long rssAll = residentKB();
        state.counters["bare_map_heap_bytes_per_device"] = bareBytes / devices;
        state.counters["registry_heap_bytes_per_device"] = (heapRegistry - heapBefore) / devices;
        state.counters["with_budgets_heap_bytes_per_device"] = (heapAll - heapBefore) / devices;
        state.counters["with_budgets_rss_bytes_per_device"] = (rssAll - before) * 1024.0 / devices;
        state.counters["registry_rss_bytes_per_device"] = (rssRegistry - before) * 1024.0 / devices;
        state.counters["budgets_over_registry"] = (heapAll - heapBefore) / (heapRegistry - heapBefore);
        state.counters["budgets_over_bare_map"] = (heapAll - heapBefore) / bareBytes;
    }
}
BENCHMARK(BM_RegistryWithBudgetsBytesPerDevice)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

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
