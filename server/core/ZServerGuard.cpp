#include "ZServerGuard.h"

#include "ZLogBudget.h"
#include "ZServerLoop.h"
#include "ZUtil.h"

namespace {

ZLineBudget g_warnings;
ZLineBudget g_categories[128];

// category 0 stands for the warnings about peers.
bool allowed(ZLineBudget& b, char category) {
    long long suppressed = 0;
    const bool ok = b.allow(ZServerLoop::now(), suppressed);
    if (suppressed && category)
        ZLOG(L"WARNING " << suppressed << L" further '" << static_cast<wchar_t>(category)
                         << L"' log lines were suppressed.");
    else if (suppressed)
        ZLOG(L"WARNING " << suppressed << L" further warnings about peers were suppressed.");
    return ok;
}

}  // namespace

bool ZServerWarnAllowed() { return allowed(g_warnings, 0); }

bool ZServerLogAllowed(char category) {
    const unsigned char c = static_cast<unsigned char>(category);
    return c >= 128 || c == 0 || allowed(g_categories[c], category);
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
