#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "ZNonPortable.h"
#include "ZPlatformTestSupport.h"
#include "ZTestSupport.h"
#include "../../libzan/src/ZNonPortable_Loop.h"

namespace {

struct ZPostLog {
    std::vector<int> order;
    std::vector<ZThreadId> threads;
};

struct ZPosted {
    ZPostLog* log;
    int value;
};

void recordPosted(void* context) {
    auto* posted = static_cast<ZPosted*>(context);
    posted->log->order.push_back(posted->value);
    posted->log->threads.push_back(ZThreadCurrentId());
    delete posted;
}

}  // namespace

TEST(ZWinUpdate, RunsCallsPostedFromAnotherThreadOnTheUIThreadInPostOrder) {
    ZPlatformScope platform;
    ZPostLog log;
    std::thread poster([&log] {
        for (int i = 0; i < 200; ++i) ASSERT_TRUE(_ZLoopPost(recordPosted, new ZPosted{&log, i}));
        ZWinPostQuit(0);
    });
    EXPECT_TRUE(ZRunLoop());
    poster.join();
    ASSERT_EQ(log.order.size(), 200u);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(log.order[i], i);
    for (ZThreadId id : log.threads) EXPECT_EQ(id, ZThreadCurrentId());
}

TEST(ZWinUpdate, StoresTheQuitMessagesRestartFlagAndReturnsFalse) {
    ZPlatformScope platform;
    const struct {
        int posted;
        bool restart;
    } cases[] = {{0, false}, {1, true}, {7, true}};
    for (const auto& c : cases) {
        ZWinPostQuit(c.posted);
        bool restart = !c.restart;
        EXPECT_FALSE(ZWinUpdate(&restart));
        EXPECT_EQ(restart, c.restart) << c.posted;
    }
}

TEST(ZWinUpdate, KeepsWhatWasPostedBehindTheQuitForTheNextLoop) {
    ZPlatformScope platform;
    ZPostLog log;
    _ZLoopPost(recordPosted, new ZPosted{&log, 1});
    ZWinPostQuit(1);
    _ZLoopPost(recordPosted, new ZPosted{&log, 2});
    ZWinPostQuit(0);
    bool restart = false;
    ZWinUpdate(&restart);
    EXPECT_TRUE(restart);
    EXPECT_EQ(log.order, std::vector<int>{1});
    ZWinUpdate(&restart);
    EXPECT_FALSE(restart);
    EXPECT_EQ(log.order, (std::vector<int>{1, 2}));
}

TEST(ZWinUpdate, DropsCallsStillQueuedAtShutDownAndRefusesPostsAfterIt) {
    ZPostLog log;
    {
        ZPlatformScope platform;
        ZPosted kept{&log, 1};
        EXPECT_TRUE(_ZLoopPost([](void*) { FAIL() << "ran after shut-down"; }, &kept));
    }
    ZPosted refused{&log, 2};
    EXPECT_FALSE(_ZLoopPost(recordPosted, &refused));
    ZPlatformScope again;
    ZWinPostQuit(0);
    EXPECT_TRUE(ZRunLoop());
    EXPECT_TRUE(log.order.empty());
}

TEST(ZWinUpdate, WithoutStartUpWarnsAndReturnsAtOnce) {
    ZLogCapture log;
    bool restart = true;
    EXPECT_FALSE(ZWinUpdate(&restart));
    EXPECT_FALSE(restart);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (ZWin_invisibleHWND)\n"), 1);
}

namespace {
struct ZPipeReader {
    int fd;
    std::string received;
};
void readPipe(void* context) {
    auto* reader = static_cast<ZPipeReader*>(context);
    char buffer[64];
    const ssize_t n = read(reader->fd, buffer, sizeof buffer);
    if (n > 0) reader->received.append(buffer, static_cast<std::size_t>(n));
    if (reader->received == "ping") {
        _ZLoopRemoveSource(reader->fd);
        ZWinPostQuit(0);
    }
}
}  // namespace

TEST(ZWinUpdate, CallsARegisteredDescriptorWhenItBecomesReadable) {
    ZPlatformScope platform;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ZPipeReader reader{fds[0], {}};
    _ZLoopAddSource(fds[0], readPipe, &reader);
    std::thread writer([&] { ASSERT_EQ(write(fds[1], "ping", 4), 4); });
    EXPECT_TRUE(ZRunLoop());
    writer.join();
    EXPECT_EQ(reader.received, "ping");
    close(fds[0]);
    close(fds[1]);
}

namespace {
struct ZTickCount {
    int ticks = 0;
    int prepares = 0;
};
void countTick(void* context) {
    auto* count = static_cast<ZTickCount*>(context);
    if (++count->ticks == 3) ZWinPostQuit(0);
}
void countPrepare(void* context) { ++static_cast<ZTickCount*>(context)->prepares; }
}  // namespace

TEST(ZWinUpdate, RunsTheHundredMillisecondTickAndThePrepareHooks) {
    ZPlatformScope platform;
    ZTickCount count;
    _ZLoopAddTick(countTick, &count);
    _ZLoopAddPrepare(countPrepare, &count);
    const std::int64_t begin = _ZLoopClock();
    EXPECT_TRUE(ZRunLoop());
    const std::int64_t elapsed = _ZLoopClock() - begin;
    _ZLoopRemoveTick(countTick, &count);
    _ZLoopRemovePrepare(countPrepare, &count);
    EXPECT_EQ(count.ticks, 3);
    EXPECT_GE(count.prepares, 3);
    EXPECT_GE(elapsed, 290000);
}

namespace {
class ZSystemProbe : public IZSystemListener {
public:
    int suspends = 0, resumes = 0, downs = 0, ups = 0;
    std::wstring lastName;
    void onSuspend() override { ++suspends; }
    void onResume() override { ++resumes; }
    void onHotkeyDown(ZHotkey*, const std::wstring& name) override {
        ++downs;
        lastName = name;
    }
    void onHotkeyUp(ZHotkey*, const std::wstring&) override { ++ups; }
};
}  // namespace

TEST(ZSystemListeners, AListenerRegisteredTwiceHearsTwiceUntilResigned) {
    ZLogCapture log;
    ZSystemProbe probe;
    ZSystemRegisterListener(&probe);
    ZSystemRegisterListener(&probe);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (!ZCONTAINS( ZWin_systemListenerList, listener ))"), 1);
    _ZSystemSignalSuspend();
    _ZSystemSignalResume();
    _ZSystemSignalHotkey(nullptr, L"Talk", true);
    _ZSystemSignalHotkey(nullptr, L"Talk", false);
    EXPECT_EQ(probe.suspends, 2);
    EXPECT_EQ(probe.resumes, 2);
    EXPECT_EQ(probe.downs, 2);
    EXPECT_EQ(probe.ups, 2);
    EXPECT_EQ(probe.lastName, L"Talk");
    ZSystemResignListener(&probe);
    _ZSystemSignalSuspend();
    EXPECT_EQ(probe.suspends, 2);
    ZSystemResignListener(&probe);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (ZCONTAINS( ZWin_systemListenerList, listener ))"), 1);
}

TEST(ZWinUpdate, ForgetsADescriptorClosedWhileWatchedWithOneWarning) {
    ZPlatformScope platform;
    ZLogCapture log;
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ZPipeReader reader{fds[0], {}};
    _ZLoopAddSource(fds[0], readPipe, &reader);
    close(fds[0]);
    close(fds[1]);
    ZTickCount count;
    _ZLoopAddTick(countTick, &count);
    EXPECT_TRUE(ZRunLoop());
    _ZLoopRemoveTick(countTick, &count);
    EXPECT_EQ(log.count(L"was closed while watched, ignoring it.\n"), 1);
    EXPECT_TRUE(reader.received.empty());
}
