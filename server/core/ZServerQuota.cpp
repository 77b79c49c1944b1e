#include "ZServerQuota.h"

ZServerQuota::ZServerQuota(std::int64_t limit, std::int64_t window, std::size_t maxKeys)
    : _limit(limit), _window(window), _maxKeys(maxKeys) {}

void ZServerQuota::_makeRoom(std::int64_t now) {
    auto oldest = _used.end();
    for (auto it = _used.begin(); it != _used.end();) {
        if (now - it->second.start >= _window) {
            it = _used.erase(it);
            continue;
        }
        if (oldest == _used.end() || it->second.start < oldest->second.start) oldest = it;
        ++it;
    }
    // Every window still runs: the one nearest its end goes, so the table
    // stays bounded however many keys a stranger invents.
    if (_used.size() >= _maxKeys && oldest != _used.end()) _used.erase(oldest);
}

bool ZServerQuota::take(const std::string& key, std::int64_t amount, std::int64_t now) {
    if (_limit <= 0) return true;
    auto it = _used.find(key);
    if (it != _used.end() && now - it->second.start >= _window) it->second = Window{now, 0};
    if (it == _used.end()) {
        if (amount > _limit) return false;
        if (_used.size() >= _maxKeys) _makeRoom(now);
        it = _used.emplace(key, Window{now, 0}).first;
    }
    if (amount > _limit - it->second.used) return false;
    it->second.used += amount;
    return true;
}

void ZServerQuota::give(const std::string& key, std::int64_t amount) {
    auto it = _used.find(key);
    if (it == _used.end()) return;
    it->second.used = it->second.used > amount ? it->second.used - amount : 0;
}

std::int64_t ZServerQuota::used(const std::string& key, std::int64_t now) const {
    auto it = _used.find(key);
    return it == _used.end() || now - it->second.start >= _window ? 0 : it->second.used;
}

std::int64_t ZServerQuota::waitFor(const std::string& key, std::int64_t now) const {
    auto it = _used.find(key);
    if (it == _used.end() || now - it->second.start >= _window) return 0;
    return it->second.start + _window - now;
}
