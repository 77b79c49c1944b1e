// A budget of log lines per second for one kind of line, so that a peer who
// causes a line per packet cannot fill the disk: past the budget, lines are
// counted instead of written, and the count is told in one line when the
// next second begins. The service keeps one per category, the client's log
// writer (ZLogWrite) one per call site.
//
// Threading: none of its own; the owner serialises calls.
#pragma once

#include <cstdint>

constexpr int ZLOG_LINES_PER_SECOND = 50;

class ZLineBudget {
public:
    explicit ZLineBudget(int linesPerSecond = ZLOG_LINES_PER_SECOND) : _perSecond(linesPerSecond) {}
    // Whether one more line may be written at now (microseconds). When a
    // new second begins, suppressed receives what the last one held back
    // (0 when nothing), for the caller to tell before its line.
    bool allow(std::int64_t now, long long& suppressed) {
        suppressed = 0;
        if (now - _windowStart >= 1000000 || now < _windowStart) {
            suppressed = _suppressed;
            _windowStart = now;
            _count = 0;
            _suppressed = 0;
        }
        if (_count < _perSecond) {
            ++_count;
            return true;
        }
        ++_suppressed;
        return false;
    }

private:
    int _perSecond;
    std::int64_t _windowStart = 0;
    int _count = 0;
    long long _suppressed = 0;
};

// The clock of the log writer's budgets (null: ZTimeNow); resets them. For tests.
void _ZLogSetClock(std::int64_t (*clock)());
