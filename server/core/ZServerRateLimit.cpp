#include "ZServerRateLimit.h"

#include <algorithm>

namespace {
constexpr std::int64_t kSweepPeriod = 10000000;
}  // namespace

double ZServerRateLimit::_refilled(const Bucket& b, std::int64_t now) const {
    const double gained = static_cast<double>(std::max<std::int64_t>(0, now - b.last)) * _rate / 1e6;
    return std::min(_burst, b.tokens + gained);
}

double ZServerRateLimit::available(const std::string& key, std::int64_t now) const {
    if (unlimited()) return _burst > 0 ? _burst : 1e18;
    auto it = _buckets.find(key);
    return it == _buckets.end() ? _burst : _refilled(it->second, now);
}

bool ZServerRateLimit::take(const std::string& key, std::int64_t now, double cost) {
    if (unlimited()) return true;
    if (now - _lastSweep > kSweepPeriod) _sweep(now);
    auto it = _buckets.find(key);
    const double tokens = it == _buckets.end() ? _burst : _refilled(it->second, now);
    if (tokens < cost) {
        // Refused while empty: the time it waited still counts.
        if (it != _buckets.end()) it->second = Bucket{tokens, now};
        return false;
    }
    if (it == _buckets.end()) it = _buckets.emplace(key, Bucket{}).first;
    it->second = Bucket{tokens - cost, now};
    return true;
}

void ZServerRateLimit::_sweep(std::int64_t now) {
    _lastSweep = now;
    for (auto it = _buckets.begin(); it != _buckets.end();)
        it = _refilled(it->second, now) >= _burst ? _buckets.erase(it) : std::next(it);
}
