// Loopback peers for the transport tests: a relay that follows the client's
// relay framing ("OPENTURN" answered with "Global-Host"; "SENDUDP" frames out
// as datagrams from a UDP allocation; datagrams back as 200 frames with
// "Remote-Host"), and a UDP echo.
//
// Threading: each peer runs one thread of its own; the accessors may be
// called from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZNonPortable_Base.h"

namespace transporttest {

// Bounded waits only: a broken implementation fails, it never hangs.
constexpr std::int64_t kPatienceUs = 10000000;

std::wstring loopbackHost(int port);

// Polls the condition every millisecond until it holds or the patience runs out.
template <typename Condition>
bool waitUntil(Condition condition, std::int64_t patienceUs = kPatienceUs) {
    const std::int64_t deadline = ZTimeNow() + patienceUs;
    while (!condition()) {
        if (ZTimeNow() > deadline) return condition();
        ZThreadSleep(1000);
    }
    return true;
}

// Sends every datagram back to its sender.
class ZTestUDPEcho {
public:
    ZTestUDPEcho();
    ~ZTestUDPEcho();
    ZTestUDPEcho(const ZTestUDPEcho&) = delete;
    ZTestUDPEcho& operator=(const ZTestUDPEcho&) = delete;
    std::wstring host() const { return loopbackHost(_port); }
    int echoed() const { return _echoed; }

private:
    void _run();
    int _fd = -1;
    int _wake[2] = {-1, -1};
    int _port = 0;
    std::atomic<int> _echoed{0};
    std::thread _thread;
};

// A relay host on loopback; any framing fault closes the connection and is
// counted and logged.
class ZTestRelay {
public:
    ZTestRelay();
    ~ZTestRelay();
    ZTestRelay(const ZTestRelay&) = delete;
    ZTestRelay& operator=(const ZTestRelay&) = delete;

    std::wstring host() const { return loopbackHost(_port); }
    // While paused the relay reads nothing from its connections.
    void pause();
    void resume();
    int framingErrors() const { return _framingErrors; }
    // The contents of the "SENDUDP" frames relayed so far, in order.
    std::vector<std::string> relayed() const;
    int relayedCount() const;

private:
    struct Connection;
    void _run();
    void _wakeUp();
    bool _readFrames(Connection& c);
    void _framingError(Connection& c, const std::wstring& why);

    int _listener = -1;
    int _wake[2] = {-1, -1};
    int _port = 0;
    std::atomic<bool> _paused{false};
    std::atomic<bool> _stopping{false};
    std::atomic<int> _framingErrors{0};
    mutable std::mutex _mutex;
    std::vector<std::string> _relayed;
    std::thread _thread;
};

}  // namespace transporttest
