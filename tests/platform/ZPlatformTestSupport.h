// Helpers for tests of the platform layer: a started layer for the test's
// lifetime, an abort hook that records instead of throwing (for code that
// runs on other threads or in signal handlers), and running the UI loop
// with a bounded wait.
#pragma once

#include <atomic>
#include <functional>

#include "ZNonPortable.h"
#include "ZTestHooks.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

// Starts the platform layer on the test's thread, which becomes the UI thread.
class ZPlatformScope {
public:
    ZPlatformScope() { ZInitializeNonPortable(nullptr); }
    ~ZPlatformScope() { ZUninitializeNonPortable(); }
};

// While it lives the abort hook counts calls and returns.
class ZRecordingAbort {
public:
    ZRecordingAbort() {
        calls().store(0);
        ZSetDebugHooks(ZTestCaptureLine, ZCallStackDumpCurrent, record);
    }
    ~ZRecordingAbort() { ZSetDebugHooks(ZTestCaptureLine, ZCallStackDumpCurrent, throwAbort); }
    int count() const { return calls().load(); }

private:
    static std::atomic<int>& calls() {
        static std::atomic<int> n{0};
        return n;
    }
    static void record() { calls().fetch_add(1); }
    static void throwAbort() { throw ZTestAbort(); }
};

// Ends the loop after a limit, so a test that waits for an event fails
// instead of hanging.
class ZLoopDeadline : public IZTimerListener {
public:
    explicit ZLoopDeadline(std::int64_t microseconds) : _timer(ZTimerOpen(microseconds, this)) {}
    ~ZLoopDeadline() override { ZTimerClose(_timer); }
    void onTimer(ZTimer*) override {
        _expired = true;
        ZWinPostQuit(0);
    }
    bool expired() const { return _expired; }

private:
    ZTimer* _timer;
    bool _expired = false;
};

// Runs the loop until the quit message; returns false when the deadline
// ended it.
inline bool ZRunLoop(std::int64_t limitMicroseconds = 10000000, bool* restart = nullptr) {
    ZLoopDeadline deadline(limitMicroseconds);
    bool flag = false;
    while (ZWinUpdate(&flag)) {
    }
    if (restart) *restart = flag;
    return !deadline.expired();
}
