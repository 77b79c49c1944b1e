// Timers of the UI thread: deadlines on the monotonic clock, served by the
// loop in whole milliseconds with a 10 ms floor and one pending tick each.
#include <climits>
#include <map>
#include <vector>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Loop.h"
#include "ZUtil.h"

// One open timer.
struct ZTimer {
    IZTimerListener* listener;
    unsigned int id;
    std::int64_t period;
    std::int64_t due;
};

namespace {

// The system's smallest timer period.
constexpr std::int64_t kMinimumMs = 10;

// UI thread only, like every timer call.
std::map<unsigned int, ZTimer*> g_timerMap;
unsigned int g_lastId = 0;

}  // namespace

ZTimer* ZTimerOpen(std::int64_t period, IZTimerListener* listener) {
    ZPRECONDITION(period > 0 && listener);
    std::int64_t ms = period / 1000;
    if (ms < kMinimumMs) ms = kMinimumMs;
    unsigned int id = ++g_lastId;
    while (id == 0 || g_timerMap.count(id)) id = ++g_lastId;
    auto* timer = new ZTimer{listener, id, ms * 1000, _ZLoopAlignedDeadline(_ZLoopClock(), ms * 1000)};
    g_timerMap[id] = timer;
    return timer;
}

void ZTimerClose(ZTimer* timer) {
    ZPRECONDITION(timer);
    g_timerMap.erase(timer->id);
    delete timer;
}

std::int64_t _ZTimerNextDue() {
    std::int64_t next = INT64_MAX;
    for (const auto& entry : g_timerMap) next = std::min(next, entry.second->due);
    return next;
}

void _ZTimerRunDue(std::int64_t now) {
    std::vector<unsigned int> due;
    for (const auto& entry : g_timerMap)
        if (entry.second->due <= now) due.push_back(entry.first);
    for (unsigned int id : due) {
        // A listener may close any timer, its own included.
        auto found = g_timerMap.find(id);
        if (found == g_timerMap.end()) continue;
        ZTimer* timer = found->second;
        timer->due += timer->period;
        if (timer->due <= now) timer->due = _ZLoopAlignedDeadline(now, timer->period);
        if (ZDebugIsCrashing()) continue;
        timer->listener->onTimer(timer);
    }
}
