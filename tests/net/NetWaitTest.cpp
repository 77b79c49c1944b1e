#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "NetTestPeers.h"
#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

using namespace nettest;

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t microsecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
}

int portOf(ZNetUDPPort* port) {
    const std::wstring host = ZNetUDPPortGetLocalHost(port);
    return std::stoi(ZToUTF8(host.substr(host.find(L':') + 1)));
}

ZNetTCPSocket* deadSocket() {
    ZNetTCPSocket* sock = ZNetTCPSocketOpen(hostText(closedTCPPort()));
    std::string ignored;
    for (int i = 0; i < 3 && sock && ZNetTCPSocketIsAlive(sock); ++i) {
        ZNetWait({}, {}, {sock}, kPatienceUs);
        ZNetTCPSocketRecv(sock, ignored);
    }
    return sock;
}

std::atomic<int> g_signals{0};
void countSignal(int) { ++g_signals; }

// The scheduler state letter of a thread of this process ('S' while it sleeps
// in a system call).
char threadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

}  // namespace

TEST(ZNetWait, WithNothingAliveToWatchSleepsTheWholeTimeoutAndReturnsFalse) {
    ZNetTCPSocket* dead = deadSocket();
    ASSERT_NE(dead, nullptr);
    ASSERT_FALSE(ZNetTCPSocketIsAlive(dead));
    const std::int64_t timeout = 30000;
    for (const bool withDead : {false, true}) {
        const auto start = Clock::now();
        EXPECT_FALSE(ZNetWait({}, {}, withDead ? std::list<ZNetTCPSocket*>{dead} : std::list<ZNetTCPSocket*>{},
                              timeout));
        EXPECT_GE(microsecondsSince(start), timeout);
    }
    ZNetTCPSocketClose(dead);
}

TEST(ZNetWait, ReturnsAtOnceForAPendingDatagramAndFalseOnATimeoutOfZero) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    EXPECT_FALSE(ZNetWait({port}, {}, {}, 0));
    RawUDP peer;
    ASSERT_TRUE(peer.sendTo(portOf(port), "ping"));
    const auto start = Clock::now();
    // Far longer than any test may take: a wait that misses the datagram
    // shows up as a failure below, not as a slow pass.
    EXPECT_TRUE(ZNetWait({}, {port}, {}, 600 * kPatienceUs));
    EXPECT_LT(microsecondsSince(start), 60 * kPatienceUs);
    ZNetUDPPortClose(port);
}

TEST(ZNetWait, WatchesAtMostSixtyFourHandlesInListOrder) {
    std::list<ZNetUDPPort*> ports;
    for (int i = 0; i < ZNET_WAIT_MAX + 2; ++i) {
        ZNetUDPPort* p = ZNetUDPPortOpen(L"127.0.0.1:0");
        ASSERT_NE(p, nullptr);
        ports.push_back(p);
    }
    RawUDP peer;
    ASSERT_TRUE(peer.sendTo(portOf(ports.back()), "late"));
    // Let the datagram land on the unwatched last port first.
    ASSERT_TRUE(ZNetWait({ports.back()}, {}, {}, kPatienceUs));
    EXPECT_FALSE(ZNetWait(ports, {}, {}, 0));
    ASSERT_TRUE(peer.sendTo(portOf(ports.front()), "early"));
    EXPECT_TRUE(ZNetWait(ports, {}, {}, kPatienceUs));
    for (ZNetUDPPort* p : ports) ZNetUDPPortClose(p);
}

TEST(ZNetWait, ASignalDuringTheWaitNeitherEndsItNorMarksAnythingDead) {
    struct sigaction action {};
    action.sa_handler = countSignal;  // no SA_RESTART: the wait sees EINTR
    struct sigaction saved {};
    sigaction(SIGUSR1, &action, &saved);

    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    std::atomic<pid_t> waiterTid{0};
    std::atomic<bool> returned{false};
    bool result = false;
    ZLogCapture log;
    std::thread waiter([&] {
        waiterTid = gettid();
        result = ZNetWait({port}, {}, {}, 600 * kPatienceUs);
        returned = true;
    });
    const pthread_t handle = waiter.native_handle();
    // Interrupt it only once it sleeps in the wait.
    const auto start = Clock::now();
    while ((waiterTid == 0 || threadState(waiterTid) != 'S') && microsecondsSince(start) < kPatienceUs)
        std::this_thread::yield();
    for (int i = 0; i < 3; ++i) {
        const int before = g_signals;
        pthread_kill(handle, SIGUSR1);
        while (g_signals == before && microsecondsSince(start) < 2 * kPatienceUs) std::this_thread::yield();
        while (threadState(waiterTid) != 'S' && microsecondsSince(start) < 2 * kPatienceUs)
            std::this_thread::yield();
    }
    EXPECT_EQ(g_signals, 3);
    EXPECT_FALSE(returned);
    RawUDP peer;
    ASSERT_TRUE(peer.sendTo(portOf(port), "wake"));
    waiter.join();
    EXPECT_TRUE(result);
    EXPECT_TRUE(ZNetUDPPortIsAlive(port));
    EXPECT_TRUE(log.lines().empty());
    ZNetUDPPortClose(port);
    sigaction(SIGUSR1, &saved, nullptr);
}

TEST(ZNetWait, ARealPollingFailureMarksEveryListedHandleDeadAndWakesTheCaller) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetTCPSocket* dead = deadSocket();
    RawListener listener;
    ZNetTCPSocket* sock = ZNetTCPSocketOpen(listener.host());
    ASSERT_TRUE(port && dead && sock);
    RawUDP peer;
    ASSERT_TRUE(peer.sendTo(portOf(port), "pending"));
    // poll refuses more descriptors than the process may hold; the lowered
    // limit stays in the child.
    EXPECT_EXIT(
        {
            rlimit limit;
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = 1;
            setrlimit(RLIMIT_NOFILE, &limit);
            ZLogCapture log;
            bool ok = ZNetWait({port}, {}, {sock, dead}, kPatienceUs);
            ok = ok && !ZNetUDPPortIsAlive(port) && !ZNetTCPSocketIsAlive(sock);
            // A dead port is not read any more, though a datagram waits.
            std::string data;
            std::wstring from;
            ok = ok && !ZNetUDPPortRecv(port, data, from);
            ok = ok && log.lines().size() == 1 &&
                 log.contains(L"WARNING Error while polling, resetting everything .(Invalid argument)\n");
            // Straight out: with one descriptor left the sanitizers cannot
            // run the exit handlers.
            _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_TRUE(ZNetUDPPortIsAlive(port));
    ZNetUDPPortClose(port);
    ZNetTCPSocketClose(sock);
    ZNetTCPSocketClose(dead);
}

TEST(ZNetWait, ANegativeTimeoutStopsTheProgram) {
    ZLogCapture log;
    EXPECT_ZABORT(ZNetWait({}, {}, {}, -1));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (timeout >= 0)"));
}

TEST(ZNetCrash, WhileCrashingNetworkFunctionsFallSilent) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    RawUDP peer;
    ASSERT_TRUE(peer.sendTo(portOf(port), "queued"));
    ASSERT_TRUE(ZNetWait({port}, {}, {}, kPatienceUs));
    // The crash flag never clears, so the crash runs in a child process.
    EXPECT_EXIT(
        {
            ZLogCapture log;
            ZDebugSetCrashing();
            std::string data = "old";
            std::wstring from = L"old";
            bool ok = ZNetUDPPortOpen(L"127.0.0.1:0") == nullptr;
            ok = ok && ZNetTCPSocketOpen(L"127.0.0.1:1") == nullptr;
            ok = ok && !ZNetUDPPortRecv(port, data, from) && data.empty() && from == L"old";
            ZNetUDPPortSend(port, peer.host(), "x", 1);
            ok = ok && !ZNetWait({port}, {}, {}, 0);
            ZNetUDPPortClose(port);
            ok = ok && log.lines().empty();
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(peer.receive(0).size(), 0u) << "a send went out during the crash";
    ZNetUDPPortClose(port);
}

TEST(ZNetWait, AnEnqueueOnTheWatchedQueueEndsTheWaitAndSignalsBeforeAWaitAreKept) {
    ZTempDir dir;
    ZInstance store(ZFromUTF8(dir.file("settings.ini")));
    ZNetWake* wake = ZNetWakeOpen();
    ASSERT_NE(wake, nullptr);
    store.setQueueWake(L"Reader_commandQueue", wake);
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);

    // Nothing queued: the wait runs its time.
    EXPECT_FALSE(ZNetWait({port}, {}, {}, 20000, wake));
    // Queued before the wait (names fold to lower case), twice: one wait
    // ends at once, and the signal is used up by it.
    store.enqueue(L"READER_commandQueue", "A");
    store.enqueue(L"Reader_commandQueue", "B");
    auto start = Clock::now();
    EXPECT_TRUE(ZNetWait({port}, {}, {}, 600 * kPatienceUs, wake));
    EXPECT_LT(microsecondsSince(start), 60 * kPatienceUs);
    EXPECT_FALSE(ZNetWait({port}, {}, {}, 0, wake));
    // Another queue does not wake the reader.
    store.enqueue(L"Other_commandQueue", "C");
    EXPECT_FALSE(ZNetWait({port}, {}, {}, 0, wake));
    // Queued from another thread while the reader waits.
    start = Clock::now();
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        store.enqueue(L"Reader_commandQueue", "D");
    });
    EXPECT_TRUE(ZNetWait({port}, {}, {}, 600 * kPatienceUs, wake));
    EXPECT_LT(microsecondsSince(start), 60 * kPatienceUs);
    writer.join();
    // Removed: enqueues no longer reach it.
    store.setQueueWake(L"Reader_commandQueue", nullptr);
    store.enqueue(L"Reader_commandQueue", "E");
    EXPECT_FALSE(ZNetWait({port}, {}, {}, 0, wake));
    EXPECT_EQ(store.length(L"Reader_commandQueue"), 4u);
    ZNetUDPPortClose(port);
    ZNetWakeClose(wake);
}
