// Suspend and resume as the layered windows see them: the boot clock runs
// on through a sleep while the monotonic clock stops, so a jump between
// the two on the 100 ms tick means the machine slept and woke.
#include <time.h>

#include <cstdint>

#include "ZNonPortable_Loop.h"

// True when the boot clock gained more than two seconds on the monotonic
// clock since the previous call (the first call sets the base).
bool _ZPowerSleptSinceLastCheck(std::int64_t bootTime, std::int64_t monotonicTime);
void _ZPowerWatch();

namespace {

// A gap this large cannot be a late tick.
constexpr std::int64_t kSleepThreshold = 2000000;
bool g_watching = false;
bool g_haveBase = false;
std::int64_t g_base = 0;

std::int64_t microseconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

void onTick(void*) {
    if (_ZPowerSleptSinceLastCheck(microseconds(CLOCK_BOOTTIME), microseconds(CLOCK_MONOTONIC))) {
        _ZSystemSignalSuspend();
        _ZSystemSignalResume();
    }
}

}  // namespace

bool _ZPowerSleptSinceLastCheck(std::int64_t bootTime, std::int64_t monotonicTime) {
    const std::int64_t offset = bootTime - monotonicTime;
    if (!g_haveBase) {
        g_haveBase = true;
        g_base = offset;
        return false;
    }
    const bool slept = offset - g_base > kSleepThreshold;
    g_base = offset;
    return slept;
}

void _ZPowerWatch() {
    if (g_watching) return;
    g_watching = true;
    _ZLoopAddTick(onTick, nullptr);
}
