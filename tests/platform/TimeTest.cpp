#include <gtest/gtest.h>

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

#include "ZNonPortable.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

// A time value for a UTC calendar time.
std::int64_t utcTime(int year, int month, int day, int hour, int minute, int second) {
    tm fields{};
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    return (static_cast<std::int64_t>(timegm(&fields)) + ZTIME_UNIX_EPOCH_SECONDS) * 1000000LL;
}

// Sets TZ for the scope and puts the old value back.
class ZScopedZone {
public:
    explicit ZScopedZone(const char* zone) {
        if (const char* old = getenv("TZ")) _old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZScopedZone() {
        if (_old)
            setenv("TZ", _old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> _old;
};

}  // namespace

TEST(ZTime, NowCountsMicrosecondsSince1601) {
    // time() reads a coarse clock that may lag the precise one by a tick, so
    // bracket with the precise clock itself.
    auto unixMicros = [] {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    };
    const std::int64_t before = unixMicros();
    const std::int64_t now = ZTimeNow();
    const std::int64_t after = unixMicros();
    EXPECT_GE(now - ZTIME_UNIX_EPOCH_SECONDS * 1000000, before);
    EXPECT_LE(now - ZTIME_UNIX_EPOCH_SECONDS * 1000000, after);
}

TEST(ZTime, ComposeTimeGivesTheTwelveHourClock) {
    struct Case {
        int hour, minute;
        const wchar_t* text;
    } const cases[] = {
        {0, 0, L"12:00am"},  {0, 5, L"12:05am"},  {9, 30, L"9:30am"},   {11, 59, L"11:59am"},
        {12, 0, L"12:00pm"}, {12, 30, L"12:30pm"}, {13, 7, L"1:07pm"}, {23, 59, L"11:59pm"},
    };
    for (const Case& c : cases) {
        const std::int64_t t = utcTime(2007, 3, 14, c.hour, c.minute, 42) + 123456;
        EXPECT_EQ(ZTimeComposeTime(t), c.text) << c.hour << ":" << c.minute;
    }
    EXPECT_EQ(ZTimeComposeTime(0), L"12:00am");
}

TEST(ZTime, ComposeTimeOfAnUnconvertibleValueWarnsAndReadsMidnight) {
    for (const std::int64_t bad : {std::int64_t{-1}, INT64_MAX / 10 + 1, INT64_MIN}) {
        ZLogCapture log;
        EXPECT_EQ(ZTimeComposeTime(bad), L"12:00am");
        EXPECT_EQ(log.count(L"WARNING: Assertion failed. (FileTimeToSystemTime( (FILETIME*)&time, &systemTime ))\n"),
                  1)
            << bad;
    }
}

TEST(ZTime, TimestampIsTwoDigitFieldsOfUtc) {
    EXPECT_EQ(ZTimeComposeTimestamp(utcTime(2007, 3, 14, 9, 30, 5) + 999999), L"070314_093005");
    EXPECT_EQ(ZTimeComposeTimestamp(utcTime(2000, 1, 1, 0, 0, 0)), L"000101_000000");
    EXPECT_EQ(ZTimeComposeTimestamp(utcTime(2099, 12, 31, 23, 59, 59)), L"991231_235959");
    // The stamp is UTC whatever the zone.
    ZScopedZone zone("Asia/Tokyo");
    EXPECT_EQ(ZTimeComposeTimestamp(utcTime(2007, 3, 14, 23, 0, 0)), L"070314_230000");
}

TEST(ZTime, TimestampOfNowHasThirteenCharacters) {
    const std::wstring before = ZTimeComposeTimestamp(ZTimeNow());
    const std::wstring stamp = ZTimeComposeTimestamp();
    const std::wstring after = ZTimeComposeTimestamp(ZTimeNow());
    ASSERT_EQ(stamp.size(), 13u);
    EXPECT_EQ(stamp[6], L'_');
    EXPECT_LE(before, stamp);
    EXPECT_LE(stamp, after);
}

TEST(ZTime, TimezoneReportsTheStandardOrDaylightNameAndBias) {
    const std::int64_t winter = utcTime(2024, 1, 15, 12, 0, 0);
    const std::int64_t summer = utcTime(2024, 7, 15, 12, 0, 0);
    struct Case {
        const char* zone;
        std::int64_t at;
        const wchar_t* name;
        int bias;
    } const cases[] = {
        // Zones without daylight rules keep their standard offset.
        {"Asia/Tokyo", winter, L"JST", -540},
        {"Asia/Tokyo", summer, L"JST", -540},
        {"Asia/Kolkata", summer, L"IST", -330},
        {"Europe/Berlin", winter, L"CET", -60},
        {"Europe/Berlin", summer, L"CEST", -120},
        {"America/New_York", winter, L"EST", 300},
        {"America/New_York", summer, L"EDT", 240},
        {"UTC", summer, L"UTC", 0},
        // A zone that cannot be read.
        {":/nonexistent/zone", winter, L"UTC", 0},
    };
    for (const Case& c : cases) {
        ZScopedZone zone(c.zone);
        std::wstring name = L"unchanged";
        EXPECT_EQ(ZTimeGetTimezoneAt(c.at, name), c.bias) << c.zone;
        EXPECT_EQ(name, c.name) << c.zone;
    }
}

TEST(ZTime, LocalTimeIsShiftedByTheCurrentBias) {
    for (const char* zone : {"Asia/Tokyo", "Asia/Kolkata", "America/New_York", "UTC"}) {
        ZScopedZone scoped(zone);
        std::wstring name;
        const std::int64_t utcBefore = ZTimeNow();
        const int bias = ZTimeGetTimezone(name);
        const std::int64_t local = ZTimeNowLocal();
        const std::int64_t utcAfter = ZTimeNow();
        const std::int64_t shift = -static_cast<std::int64_t>(bias) * 60000000LL;
        EXPECT_GE(local, utcBefore + shift) << zone;
        EXPECT_LE(local, utcAfter + shift) << zone;
        EXPECT_FALSE(name.empty());
    }
    ZScopedZone tokyo("Asia/Tokyo");
    std::wstring name;
    EXPECT_EQ(ZTimeGetTimezone(name), -540);
    EXPECT_EQ(name, L"JST");
}
