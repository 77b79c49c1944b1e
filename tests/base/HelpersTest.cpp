#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "ZNonPortable_Base.h"
#include "ZPortable_Helpers.h"
#include "ZUtil.h"

namespace {
constexpr std::int64_t kSecond = 1000000;
// An arbitrary moment well after 1601, as ZTimeNow gives.
constexpr std::int64_t kT = 13400000000LL * kSecond;
}  // namespace

TEST(ZInterval, IsDueOnlyAfterMoreThanThePeriodAndRestartsFromTheCheck) {
    ZInterval interval;
    interval.setPeriod(kSecond);
    EXPECT_EQ(interval.restart(kT), kT);
    EXPECT_FALSE(interval.isDue(kT + kSecond));
    EXPECT_EQ(interval.start, kT);
    EXPECT_TRUE(interval.isDue(kT + kSecond + 1));
    EXPECT_EQ(interval.start, kT + kSecond + 1);
    // Lateness is not made up: the next period counts from the late check.
    EXPECT_FALSE(interval.isDue(kT + 2 * kSecond + 1));
    EXPECT_TRUE(interval.isDue(kT + 2 * kSecond + 2));
}

TEST(ZInterval, StartOfZeroIsDueAtTheFirstCheck) {
    ZInterval interval{0, 30 * kSecond};
    EXPECT_TRUE(interval.isDue(kT));
    EXPECT_EQ(interval.start, kT);
}

TEST(ZInterval, ZeroPeriodIsDueOnlyInALaterMicrosecond) {
    ZInterval interval;
    interval.restart(kT);
    EXPECT_FALSE(interval.isDue(kT));
    EXPECT_TRUE(interval.isDue(kT + 1));
}

TEST(ZInterval, RemainingCountsDownAndGoesNegativeWhenOverdueWithoutChangingAnything) {
    ZInterval interval{0, kSecond};
    interval.restart(kT);
    EXPECT_EQ(interval.getRemaining(kT), kSecond);
    EXPECT_EQ(interval.getRemaining(kT + kSecond / 4), 3 * kSecond / 4);
    EXPECT_EQ(interval.getRemaining(kT + 3 * kSecond), -2 * kSecond);
    EXPECT_EQ(interval.start, kT);
}

TEST(ZInterval, RunsOnTheSystemClock) {
    ZInterval interval{0, 3600 * kSecond};
    const std::int64_t before = ZTimeNow();
    const std::int64_t start = interval.restart();
    EXPECT_GE(start, before);
    EXPECT_LE(start, ZTimeNow());
    EXPECT_FALSE(interval.isDue());
    const std::int64_t remaining = interval.getRemaining();
    EXPECT_GT(remaining, 0);
    EXPECT_LE(remaining, 3600 * kSecond);
}

TEST(ZInterval, ExtremeStartsSaturateInsteadOfWrapping) {
    ZInterval interval{INT64_MIN, kSecond};
    EXPECT_EQ(interval.getRemaining(kT), kSecond - INT64_MAX);
    EXPECT_TRUE(interval.isDue(kT));
    ZInterval future{INT64_MAX, kSecond};
    EXPECT_FALSE(future.isDue(-kT));
}

TEST(ZInterval, RandomizeBackDatesStartByLessThanOnePeriod) {
    std::srand(7);
    ZInterval interval{0, 10 * kSecond};
    std::set<std::int64_t> offsets;
    for (int i = 0; i < 200; ++i) {
        interval.randomize(kT);
        const std::int64_t offset = kT - interval.start;
        ASSERT_GE(offset, 0);
        ASSERT_LT(offset, 10 * kSecond);
        offsets.insert(offset);
        EXPECT_GT(interval.getRemaining(kT), 0);
    }
    EXPECT_GT(offsets.size(), 100u);
}

TEST(ZInterval, RandomizeWithoutAPeriodStartsNow) {
    for (std::int64_t period : {std::int64_t{0}, -kSecond}) {
        ZInterval interval{0, period};
        interval.randomize(kT);
        EXPECT_EQ(interval.start, kT) << period;
    }
}

TEST(ZHelpers, RealNumbersAppendWithTwoDecimalsAndChain) {
    struct Case {
        double value;
        const wchar_t* text;
    } cases[] = {{0.5, L"0.50"}, {-1.234, L"-1.23"}, {0.0, L"0.00"}, {12345.678, L"12345.68"}};
    for (const Case& c : cases) {
        std::wstring text = L"v=";
        text << c.value;
        EXPECT_EQ(text, std::wstring(L"v=") + c.text);
    }
    std::wstring chained;
    chained << 1.5 << L" of " << 2;
    EXPECT_EQ(chained, L"1.50 of 2");
}
