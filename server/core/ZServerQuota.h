// Amounts taken per key within a window of time: what one address or one
// user may take of something that costs the service (disk, new accounts),
// counted so that a stranger cannot take everyone's share.
//
// Threading: the loop's thread only; the time is passed in (microseconds of
// ZServerLoop::now), so tests drive it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

class ZServerQuota {
public:
    // limit per key within each window of the given length (microseconds);
    // a limit of 0 lets everything through.
    ZServerQuota(std::int64_t limit, std::int64_t window, std::size_t maxKeys = 100000);

    // True, and counted, when amount more keeps the key within its limit in
    // its current window (a window starts with the key's first use after the
    // last one ended).
    bool take(const std::string& key, std::int64_t amount, std::int64_t now);
    // Gives back what take() counted (a request refused further on).
    void give(const std::string& key, std::int64_t amount);
    std::int64_t used(const std::string& key, std::int64_t now) const;
    // Microseconds until the key's window ends (0 when it has none).
    std::int64_t waitFor(const std::string& key, std::int64_t now) const;
    std::int64_t limit() const { return _limit; }
    std::size_t size() const { return _used.size(); }

private:
    struct Window {
        std::int64_t start = 0;
        std::int64_t used = 0;
    };
    void _makeRoom(std::int64_t now);

    std::int64_t _limit;
    std::int64_t _window;
    std::size_t _maxKeys;
    std::unordered_map<std::string, Window> _used;
};
