// Local time, the machine's zone and the texts made from time values.
#include <time.h>

#include <cstdio>

#include "ZNonPortable_Base.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t kMicrosPerSecond = 1000000LL;
constexpr std::int64_t kMicrosPerMinute = 60LL * kMicrosPerSecond;

std::wstring composeStamp(const tm& utc) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d%02d%02d_%02d%02d%02d", (utc.tm_year + 1900) % 100, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return ZFromUTF8(text);
}

}  // namespace

int ZTimeGetTimezone(std::wstring& zoneName) { return ZTimeGetTimezoneAt(ZTimeNow(), zoneName); }

int ZTimeGetTimezoneAt(std::int64_t time, std::wstring& zoneName) {
    // The zone rules are read afresh so a changed TZ is seen at once.
    tzset();
    const time_t at = static_cast<time_t>(time / kMicrosPerSecond - ZTIME_UNIX_EPOCH_SECONDS);
    tm local;
    if (!localtime_r(&at, &local) || !local.tm_zone || !*local.tm_zone) {
        zoneName = L"UTC";
        return 0;
    }
    // Zones without daylight rules still have a standard offset (Tokyo,
    // Kolkata): the offset of whichever time is in force is the answer.
    zoneName = ZFromUTF8(local.tm_zone);
    return static_cast<int>(-local.tm_gmtoff / 60);
}

std::int64_t ZTimeNowLocal() {
    std::wstring ignored;
    const int bias = ZTimeGetTimezone(ignored);
    return ZTimeNow() - static_cast<std::int64_t>(bias) * kMicrosPerMinute;
}

std::wstring ZTimeComposeTime(std::int64_t time) {
    int hour = 0;
    int minute = 0;
    // The system's calendar conversion takes 100 ns units in a signed count:
    // a negative value, or one whose tenfold overflows, cannot be converted.
    const bool convertible = time >= 0 && time <= INT64_MAX / 10;
    ZWARNASSERT_T(convertible, "FileTimeToSystemTime( (FILETIME*)&time, &systemTime )");
    if (convertible) {
        const std::int64_t minutesOfDay = (time / kMicrosPerMinute) % (24 * 60);
        hour = static_cast<int>(minutesOfDay / 60);
        minute = static_cast<int>(minutesOfDay % 60);
    }
    const bool pm = hour >= 12;
    if (pm) hour -= 12;
    if (hour == 0) hour = 12;
    char text[16];
    std::snprintf(text, sizeof text, pm ? "%d:%02dpm" : "%d:%02dam", hour, minute);
    return ZFromUTF8(text);
}

std::wstring ZTimeComposeTimestamp() { return ZTimeComposeTimestamp(ZTimeNow()); }

std::wstring ZTimeComposeTimestamp(std::int64_t time) {
    // Floor division, so a time before 1970 still names its own second.
    std::int64_t seconds = time / kMicrosPerSecond;
    if (time % kMicrosPerSecond < 0) --seconds;
    const time_t unixSeconds = static_cast<time_t>(seconds - ZTIME_UNIX_EPOCH_SECONDS);
    tm utc{};
    if (!gmtime_r(&unixSeconds, &utc)) utc = tm{};
    return composeStamp(utc);
}
