#include "ZPortable_Helpers.h"

#include <cstdlib>
#include <limits>

#include "ZNonPortable_Base.h"
#include "ZPortable_Text.h"

namespace {

// Owners may set start to anything; a difference that does not fit saturates
// instead of wrapping into the wrong sign.
std::int64_t subtractSaturated(std::int64_t a, std::int64_t b) {
    std::int64_t result = 0;
    if (!__builtin_sub_overflow(a, b, &result)) return result;
    return b < 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

// One draw from 0 to 32767, the range the back-dating was designed for.
int drawRandom15() { return std::rand() % 32768; }

}  // namespace

std::int64_t ZInterval::restart() { return restart(ZTimeNow()); }

std::int64_t ZInterval::restart(std::int64_t now) {
    start = now;
    return start;
}

bool ZInterval::isDue() { return isDue(ZTimeNow()); }

bool ZInterval::isDue(std::int64_t now) {
    if (subtractSaturated(now, start) <= period) return false;
    start = now;
    return true;
}

std::int64_t ZInterval::getRemaining() const { return getRemaining(ZTimeNow()); }

std::int64_t ZInterval::getRemaining(std::int64_t now) const {
    return subtractSaturated(period, subtractSaturated(now, start));
}

void ZInterval::randomize() { randomize(ZTimeNow()); }

void ZInterval::randomize(std::int64_t now) {
    // The product of two 15-bit draws always fits a signed 32-bit number.
    const std::int32_t product = drawRandom15() * drawRandom15();
    // A period of zero or less has nothing to spread over: due from now on.
    const std::int64_t offset = period > 0 ? static_cast<std::int64_t>(product) % period : 0;
    start = subtractSaturated(now, offset);
}

std::wstring& operator<<(std::wstring& text, double value) {
    text += ZToString(value, 2);
    return text;
}
