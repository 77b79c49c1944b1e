// What the window tests share: the platform loop run until a condition
// holds, and the pointer moved and pressed through XTest.
#pragma once

#include <cstdint>
#include <functional>

#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZNonPortable.h"

#include <X11/extensions/XTest.h>

namespace zantest {

// Runs the platform loop until the condition holds or the time is up; the
// condition is checked every 10 ms from a timer.
inline bool runUntil(const std::function<bool()>& condition, int timeoutMs) {
    struct Checker : IZTimerListener {
        std::function<bool()> condition;
        std::int64_t deadline = 0;
        bool met = false;
        void onTimer(ZTimer*) override {
            met = condition();
            if (met || ZTimeNow() > deadline) ZWinPostQuit(0);
        }
    } checker;
    checker.condition = condition;
    checker.deadline = ZTimeNow() + std::int64_t{timeoutMs} * 1000;
    ZTimer* timer = ZTimerOpen(10000, &checker);
    bool restart = false;
    while (ZWinUpdate(&restart)) {
    }
    ZTimerClose(timer);
    return checker.met || condition();
}

inline void runFor(int ms) { runUntil([] { return false; }, ms); }

inline void motion(int x, int y) {
    XTestFakeMotionEvent(_ZX11Display(), DefaultScreen(_ZX11Display()), x, y, 0);
    XFlush(_ZX11Display());
}

inline void button(bool down) {
    XTestFakeButtonEvent(_ZX11Display(), 1, down ? True : False, 0);
    XFlush(_ZX11Display());
}

}  // namespace zantest
