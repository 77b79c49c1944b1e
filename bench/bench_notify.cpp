// What a store change costs the thread that makes it (enqueue plus one
// notification per watcher), and how fast the UI loop delivers them.
#include <benchmark/benchmark.h>

#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZUtil.h"

namespace {

class ZCounting : public IZNotifyListener {
public:
    long long seen = 0;
    void onNotification(int, std::int64_t) override { ++seen; }
};

void drain() {
    ZWinPostQuit(0);
    bool restart;
    ZWinUpdate(&restart);
}

void BM_ZNotifyPostAndDeliver(benchmark::State& state) {
    ZInitializeNonPortable(nullptr);
    ZCounting listener;
    ZNotifyHandle* handle = ZNotifyOpen(&listener);
    for (auto _ : state) {
        for (int i = 0; i < 1000; ++i) ZNotify(handle, i);
        drain();
    }
    ZNotifyClose(handle);
    ZUninitializeNonPortable();
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ZNotifyPostAndDeliver);

void BM_ZInstanceEnqueueWithOneWatcher(benchmark::State& state) {
    ZInitializeNonPortable(nullptr);
    ZCounting listener;
    ZNotifyHandle* handle = ZNotifyOpen(&listener);
    {
        ZInstance store(L"/nonexistent/zan-bench-settings.ini");
        store.watch(L"ZClient_commandQueue", handle, 1);
        std::string out;
        const std::string message(200, 'm');
        for (auto _ : state) {
            for (int i = 0; i < 1000; ++i) store.enqueue(L"ZClient_commandQueue", message);
            for (int i = 0; i < 1000; ++i) store.dequeue(L"ZClient_commandQueue", out);
            drain();
        }
        store.unwatch(L"ZClient_commandQueue", handle, 1);
    }
    ZNotifyClose(handle);
    ZUninitializeNonPortable();
    state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_ZInstanceEnqueueWithOneWatcher);

}  // namespace

BENCHMARK_MAIN();
