// Small helpers shared by the client, the services, the sessions and the
// nodes: the period timer ZInterval and real numbers in message texts.
#pragma once

#include <cstdint>
#include <string>

// A period timer held by value inside its owner: paces retries, pings,
// refreshes and input throttling. Times are microseconds since 1601-01-01 UTC
// (ZTimeNow), compared signed. A start of 0 makes the first check due.
//
// Threading: no lock of its own; its owner's lock guards it. The forms taking
// "now" let callers and tests drive the clock.
struct ZInterval {
    std::int64_t start = 0;
    std::int64_t period = 0;

    // start = now; returns the new start.
    std::int64_t restart();
    std::int64_t restart(std::int64_t now);
    void setPeriod(std::int64_t newPeriod) { period = newPeriod; }
    // True once more than the period has passed since start; it then restarts
    // from now, so lateness is not made up.
    bool isDue();
    bool isDue(std::int64_t now);
    // Microseconds until due, negative once overdue.
    std::int64_t getRemaining() const;
    std::int64_t getRemaining(std::int64_t now) const;
    // Back-dates start by a pseudo-random part of the period, so the next due
    // time falls anywhere within one period from now.
    void randomize();
    void randomize(std::int64_t now);
};

// Appends the value with two decimals ("0.50", "-1.23"), like the integer forms.
std::wstring& operator<<(std::wstring& text, double value);
