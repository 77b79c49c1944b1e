// Conversions the resize drivers of every slot share: a truncation that
// cannot leave the integer range, the whole-number test, and floor without
// touching the rounding mode.
#pragma once

#include <cmath>
#include <cstdint>

// trunc(v) as a 64-bit integer held within +-2^62; NaN gives 0. Every
// double-to-integer conversion of a size, count or index goes through here,
// so no factor, however extreme, converts out of range.
inline std::int64_t zpSatTrunc(double v) {
    constexpr double kLimit = 4611686018427387904.0;  // 2^62
    if (!(v == v)) return 0;
    if (v >= kLimit) return std::int64_t{1} << 62;
    if (v <= -kLimit) return -(std::int64_t{1} << 62);
    return static_cast<std::int64_t>(v);
}

// A value is whole when it equals its truncation exactly.
inline bool zpWholeNumber(double v) { return v - std::trunc(v) == 0.0; }

// floor by adding and subtracting 2^52 with the value's sign (rounding to a
// whole number in the current mode), then stepping down where that rounded
// up. Exact for every magnitude below 2^52; larger values are whole already.
inline double zpFloor52(double v) {
    constexpr double kTwo52 = 4503599627370496.0;
    if (!(std::fabs(v) < kTwo52)) return v;
    const double big = std::copysign(kTwo52, v);
    const double r = (v + big) - big;
    return r > v ? r - 1.0 : r;
}
