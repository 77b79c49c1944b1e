#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "ZNonPortable.h"
#include "ZPlatformTestSupport.h"
#include "ZTestSupport.h"
#include "../../libzan/src/ZNonPortable_Loop.h"

namespace {

class ZNotifyProbe : public IZNotifyListener {
public:
    struct Seen {
        int code;
        std::int64_t sent;
        std::int64_t delivered;
        ZThreadId thread;
    };
    std::vector<Seen> seen;
    int quitAfter = 0;
    void onNotification(int code, std::int64_t sentTime) override {
        seen.push_back(Seen{code, sentTime, ZTimeNow(), ZThreadCurrentId()});
        if (static_cast<int>(seen.size()) == quitAfter) ZWinPostQuit(0);
    }
};

}  // namespace

TEST(ZNotify, DeliversFromAServiceThreadOnTheUIThreadInPostOrderWithTheSendingTime) {
    ZPlatformScope platform;
    ZNotifyProbe probe;
    probe.quitAfter = 3;
    ZNotifyHandle* handle = ZNotifyOpen(&probe);
    std::int64_t before = 0;
    std::thread service([&] {
        before = ZTimeNow();
        ZNotify(handle, 42);
        ZNotify(handle, 42);
        ZNotify(handle, -7);
    });
    EXPECT_TRUE(ZRunLoop());
    service.join();
    ZNotifyClose(handle);
    ASSERT_EQ(probe.seen.size(), 3u);
    const int codes[] = {42, 42, -7};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(probe.seen[i].code, codes[i]);
        EXPECT_EQ(probe.seen[i].thread, ZThreadCurrentId());
        EXPECT_GE(probe.seen[i].sent, before);
        EXPECT_LE(probe.seen[i].sent, probe.seen[i].delivered);
        if (i) {
            EXPECT_LE(probe.seen[i - 1].sent, probe.seen[i].sent);
        }
    }
}

TEST(ZNotify, AfterCloseQueuedAndNewNotificationsReachNobody) {
    ZPlatformScope platform;
    ZNotifyProbe probe;
    ZNotifyHandle* handle = ZNotifyOpen(&probe);
    ZNotify(handle, 1);
    ZNotifyClose(handle);
    ZNotify(handle, 2);
    ZWinPostQuit(0);
    EXPECT_TRUE(ZRunLoop());
    EXPECT_TRUE(probe.seen.empty());
}

TEST(ZNotify, NullListenerOrHandleStopsWithTheListenerText) {
    ZLogCapture log;
    EXPECT_ZABORT(ZNotifyOpen(nullptr));
    EXPECT_ZABORT(ZNotify(nullptr, 1));
    EXPECT_ZABORT(ZNotifyClose(nullptr));
    EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. (listener)\n"), 3);
}

TEST(ZNotify, WithoutTheLoopWarnsAndLosesTheNotification) {
    ZLogCapture log;
    ZNotifyProbe probe;
    ZNotifyHandle* handle = ZNotifyOpen(&probe);
    ZNotify(handle, 5);
    ZNotifyClose(handle);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (ZWin_invisibleHWND)\n"), 1);
}

namespace {

class ZTickProbe : public IZTimerListener {
public:
    int ticks = 0;
    int quitAfter = 0;
    std::vector<std::int64_t> times;
    ZTimer* closeOnThirdTick = nullptr;
    std::int64_t closedAt = 0;
    void onTimer(ZTimer*) override {
        ++ticks;
        times.push_back(_ZLoopClock());
        if (closeOnThirdTick && ticks == 3) {
            ZTimerClose(closeOnThirdTick);
            closeOnThirdTick = nullptr;
            closedAt = _ZLoopClock();
        }
        if (ticks == quitAfter) ZWinPostQuit(0);
    }
};

}  // namespace

TEST(ZTimer, AHundredMillisecondTimerTicksAboutTenTimesASecond) {
    ZPlatformScope platform;
    ZTickProbe probe;
    probe.quitAfter = 6;
    ZTimer* timer = ZTimerOpen(100000, &probe);
    const std::int64_t begin = _ZLoopClock();
    EXPECT_TRUE(ZRunLoop());
    ZTimerClose(timer);
    const double seconds = static_cast<double>(probe.times.back() - begin) / 1e6;
    const double perSecond = probe.ticks / seconds;
    EXPECT_GE(perSecond, 7.0);
    EXPECT_LE(perSecond, 10.5);
}

TEST(ZTimer, PeriodsBelowTheSystemMinimumAreRaisedToTenMilliseconds) {
    ZPlatformScope platform;
    for (std::int64_t period : {999LL, 1500LL}) {
        ZTickProbe probe;
        probe.quitAfter = 4;
        const std::int64_t opened = _ZLoopClock();
        ZTimer* timer = ZTimerOpen(period, &probe);
        EXPECT_TRUE(ZRunLoop());
        ZTimerClose(timer);
        // Ticks keep their cadence from the opening and never come early.
        ASSERT_EQ(probe.times.size(), 4u);
        for (std::size_t k = 0; k < 4; ++k)
            EXPECT_GE(probe.times[k] - opened, static_cast<std::int64_t>(k + 1) * 10000) << period;
    }
}

TEST(ZTimer, TimersWhosePeriodsDivideEachOtherTickInTheSameWakeOfTheLoop) {
    ZPlatformScope platform;
    ZTickProbe fast, slow;
    ZTimer* fastTimer = ZTimerOpen(50000, &fast);
    std::this_thread::sleep_for(std::chrono::milliseconds(7));
    ZTimer* slowTimer = ZTimerOpen(100000, &slow);
    slow.quitAfter = 3;
    EXPECT_TRUE(ZRunLoop());
    ZTimerClose(slowTimer);
    ZTimerClose(fastTimer);
    // Every tick of the slow timer comes with one of the fast timer: the
    // loop woke once for both, not 7 ms apart.
    for (std::int64_t t : slow.times) {
        bool together = false;
        for (std::int64_t f : fast.times) together = together || (f <= t && t - f < 1000);
        EXPECT_TRUE(together) << t;
    }
}

TEST(ZTimer, AClosedTimerTicksNoMoreEvenWhenClosedFromAnotherTimersTick) {
    ZPlatformScope platform;
    ZTickProbe closer, victim;
    ZTimer* victimTimer = ZTimerOpen(10000, &victim);
    closer.closeOnThirdTick = victimTimer;
    ZTimer* closerTimer = ZTimerOpen(10000, &closer);
    closer.quitAfter = 8;
    EXPECT_TRUE(ZRunLoop());
    ZTimerClose(closerTimer);
    ASSERT_GT(closer.closedAt, 0);
    EXPECT_GE(victim.ticks, 1);
    for (std::int64_t t : victim.times) EXPECT_LT(t, closer.closedAt);
}

TEST(ZTimer, ZeroPeriodNullListenerAndNullHandleStop) {
    ZLogCapture log;
    ZTickProbe probe;
    EXPECT_ZABORT(ZTimerOpen(0, &probe));
    EXPECT_ZABORT(ZTimerOpen(-5, &probe));
    EXPECT_ZABORT(ZTimerOpen(100000, nullptr));
    EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. (period > 0 && listener)\n"), 3);
    EXPECT_ZABORT(ZTimerClose(nullptr));
    EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. (timer)\n"), 1);
}

// The crash flag never clears, so it is tried in a child process.
TEST(ZCrashFlag, SilencesNotificationsTimersAndPostedCalls) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ZInitializeNonPortable(nullptr);
        ZNotifyProbe notified;
        ZTickProbe ticked;
        ZNotifyHandle* handle = ZNotifyOpen(&notified);
        ZTimer* timer = ZTimerOpen(10000, &ticked);
        int ran = 0;
        _ZLoopPost([](void* n) { ++*static_cast<int*>(n); }, &ran);
        ZDebugSetCrashing();
        ZNotify(handle, 1);
        _ZLoopPost([](void* n) { ++*static_cast<int*>(n); }, &ran);
        // The timer is due: its tick is dropped like the queued records.
        const std::int64_t due = _ZLoopClock() + 20000;
        while (_ZLoopClock() < due) {
        }
        _ZTimerRunDue(_ZLoopClock());
        ZWinPostQuit(0);
        bool restart;
        ZWinUpdate(&restart);
        ZTimerClose(timer);
        _exit(notified.seen.empty() && ticked.ticks == 0 && ran == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
