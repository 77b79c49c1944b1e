#include <gtest/gtest.h>

#include <cstdint>

bool _ZPowerSleptSinceLastCheck(std::int64_t bootTime, std::int64_t monotonicTime);

TEST(ZPower, ASleepIsAJumpOfTheBootClockAgainstTheMonotonicClock) {
    const struct {
        std::int64_t boot, monotonic;
        bool slept;
    } ticks[] = {
        {10000000, 9000000, false},   // sets the base: 1 s apart
        {10100000, 9100000, false},   // a normal tick
        {10700000, 9200000, false},   // a 0.5 s hiccup is no sleep
        {70700000, 9300000, true},    // a minute asleep
        {70800000, 9400000, false},   // awake again: the new offset is the base
    };
    for (const auto& t : ticks) EXPECT_EQ(_ZPowerSleptSinceLastCheck(t.boot, t.monotonic), t.slept) << t.boot;
}
