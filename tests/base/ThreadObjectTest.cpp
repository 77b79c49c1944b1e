#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ZPortable.h"
#include "ZThreadObject.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

// Counts its callbacks and ends after a given number of iterations.
class ZCountingService : public ZThreadObject {
public:
    std::atomic<int> startups{0}, loops{0}, shutdowns{0};
    int iterations = 3;
    int sleepMs = 0;

protected:
    void _bZThreadObject_safe_onStartup() override { ++startups; }
    int _bZThreadObject_safe_onLoop() override { return ++loops >= iterations ? -1 : sleepMs; }
    void _bZThreadObject_safe_onShutdown() override { ++shutdowns; }
};

// Loops until stopped, yielding its lock on every iteration.
class ZSpinningService : public ZThreadObject {
public:
    std::atomic<int> loops{0};
    int value = 0;

protected:
    int _bZThreadObject_safe_onLoop() override {
        // The lock is held for the whole callback: nobody sees it odd.
        ++value;
        ++value;
        ++loops;
        return 0;
    }
};

// Asks for no sleep between its passes and counts how often its thread
// blocked meanwhile (the kernel's voluntary context switches).
class ZBusyService : public ZThreadObject {
public:
    static constexpr int kPasses = 200;
    long blocked = -1;

protected:
    void _bZThreadObject_safe_onStartup() override { _start = switches(); }
    int _bZThreadObject_safe_onLoop() override { return ++_passes >= kPasses ? -1 : 0; }
    void _bZThreadObject_safe_onShutdown() override { blocked = switches() - _start; }

private:
    static long switches() {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_nvcsw;
    }
    int _passes = 0;
    long _start = 0;
};

class ZFilterScope {
public:
    explicit ZFilterScope(const std::string& filter) : _old(ZLogGetFilter()) { ZLogSetFilter(filter); }
    ~ZFilterScope() { ZLogSetFilter(_old); }

private:
    std::string _old;
};

}  // namespace

TEST(ZThreadObject, RunsStartupLoopAndShutdownAndLogsTheFiveThreadLines) {
    ZFilterScope filter("t");
    ZLogCapture log;
    auto* service = ZSAFENEW(ZCountingService);
    service->start(L"ZClient.ZCountingService");
    const ZThreadId id = service->getThread();
    EXPECT_NE(id, 0u);
    EXPECT_EQ(service->getThreadName(), L"ZClient.ZCountingService");
    service->join();
    EXPECT_EQ(service->getThread(), 0u);
    EXPECT_EQ(service->startups.load(), 1);
    EXPECT_EQ(service->loops.load(), 3);
    EXPECT_EQ(service->shutdowns.load(), 1);
    delete service;
    const std::wstring expected[] = {
        L"] Starting thread 'ZClient.ZCountingService'\n",
        L"[ZThreadObject_ThreadProc] 'ZClient.ZCountingService' startup (" + ZToHex(id, 8) + L")\n",
        L"[ZThreadObject_ThreadProc] 'ZClient.ZCountingService' beginning loop\n",
        L"[ZThreadObject_ThreadProc] ZClient.ZCountingService shutting down\n",
        L"[ZThreadObject_ThreadProc] ZClient.ZCountingService shutdown\n",
        L"] Joining thread 'ZClient.ZCountingService'\n",
    };
    for (const auto& line : expected) EXPECT_EQ(log.count(line), 1) << line;
    EXPECT_FALSE(log.contains(L"WARNING"));
}

TEST(ZThreadObject, WithoutTheCategoryItLogsNothing) {
    ZFilterScope filter("");
    ZLogCapture log;
    ZCountingService service;
    service.start(L"Quiet");
    service.stop(true);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ZThreadObject, StopEndsALoopThatYieldsItsLockBetweenIterations) {
    ZSpinningService service;
    service.start(L"Spinner");
    while (service.loops.load() < 10) {
    }
    // Another thread takes the lock between two iterations, never inside one.
    for (int i = 0; i < 200; ++i) {
        ZScopedLock guard(&service);
        EXPECT_EQ(service.value % 2, 0);
    }
    service.stop(true);
    EXPECT_GT(service.loops.load(), 0);
    EXPECT_EQ(service.getThread(), 0u);
}

TEST(ZThreadObject, NoSleepBetweenPassesDoesNotBlockTheThread) {
    ZBusyService service;
    service.start(L"Busy");
    service.join();
    // A blocking wait per pass would block it once a pass; the scheduler may
    // still take it off now and then.
    EXPECT_GE(service.blocked, 0);
    EXPECT_LT(service.blocked, ZBusyService::kPasses / 4);
}

TEST(ZThreadObject, AStartedTwiceOrUnjoinedObjectWarnsAndJoinWithoutThreadDoesNothing) {
    ZLogCapture log;
    ZCountingService idle;
    idle.join();
    EXPECT_TRUE(log.lines().empty());
    ZCountingService service;
    service.iterations = 1;
    service.start(L"Once");
    const ZThreadId first = service.getThread();
    service.start(L"Twice");
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (!_thread)\n"), 1);
    service.join();
    ZThreadClose(first);
    {
        ZCountingService* unjoined = new ZCountingService;
        ZTRACK(unjoined, ZCountingService);
        unjoined->iterations = 1;
        unjoined->start(L"Unjoined");
        // The thread ended, but the object was never told.
        ZThreadClose(unjoined->getThread());
        log.clear();
        delete unjoined;
        EXPECT_EQ(log.count(L"WARNING: Assertion failed. (!_thread)\n"), 1);
    }
}

TEST(ZThreadObject, ANegativeSleepIsFatal) {
    class ZBadSleeper : public ZThreadObject {
    public:
        void trySleep() { _sleep(-1); }
    } sleeper;
    ZLogCapture log;
    sleeper.lock();
    EXPECT_ZABORT(sleeper.trySleep());
    sleeper.unlock();
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (ms >= 0)\n"));
}

TEST(ZThreadObject, AWakeEndsTheSleepBetweenIterationsAndStopEndsItToo) {
    ZCountingService service;
    service.iterations = 1000;
    // A minute between iterations: only a wake or the stop can shorten it.
    service.sleepMs = 60000;
    const auto waitForLoops = [&](int n) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (service.loops.load() < n && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return service.loops.load() >= n;
    };
    // A wake before the first sleep is kept for it.
    service.wake();
    service.start(L"Sleeper");
    ASSERT_TRUE(waitForLoops(2));
    service.wake();
    ASSERT_TRUE(waitForLoops(3));
    const auto stopAt = std::chrono::steady_clock::now();
    service.stop(true);
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(30));
    EXPECT_EQ(service.loops.load(), 3);
    EXPECT_EQ(service.shutdowns.load(), 1);
}
