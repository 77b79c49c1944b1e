#include "ZServerGuard.h"

#include "ZServerLoop.h"
#include "ZUtil.h"

namespace {
constexpr int kWarningsPerSecond = 50;
std::int64_t g_windowStart = 0;
int g_windowCount = 0;
long long g_suppressed = 0;
}  // namespace

bool ZServerWarnAllowed() {
    const std::int64_t t = ZServerLoop::now();
    if (t - g_windowStart >= 1000000) {
        if (g_suppressed) ZLOG(L"WARNING " << g_suppressed << L" further warnings about peers were suppressed.");
        g_windowStart = t;
        g_windowCount = 0;
        g_suppressed = 0;
    }
    if (g_windowCount < kWarningsPerSecond) {
        ++g_windowCount;
        return true;
    }
    ++g_suppressed;
    return false;
}

bool ZFloodGate::allow(const sockaddr_in& from, std::int64_t now) {
    if (_rate <= 0) return true;
    if (now - _lastSweep > 10000000) _sweep(now);
    const std::uint64_t key = (static_cast<std::uint64_t>(from.sin_addr.s_addr) << 16) | from.sin_port;
    auto [it, fresh] = _buckets.try_emplace(key);
    Bucket& b = it->second;
    const double burst = 2.0 * _rate;
    if (fresh) {
        b.tokens = burst;
    } else {
        b.tokens += static_cast<double>(now - b.last) * _rate / 1e6;
        if (b.tokens > burst) b.tokens = burst;
    }
    b.last = now;
    if (b.tokens < 1.0) return false;
    b.tokens -= 1.0;
    return true;
}

void ZFloodGate::_sweep(std::int64_t now) {
    _lastSweep = now;
    for (auto it = _buckets.begin(); it != _buckets.end();) {
        if (now - it->second.last > 10000000)
            it = _buckets.erase(it);
        else
            ++it;
    }
}
