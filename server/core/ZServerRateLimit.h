// Budgets that keep one user or one address from taking what everyone
// shares: a token bucket per key, refilled with the time the caller gives.
//
// Threading: the loop's thread only.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

// A token bucket per key: `rate` tokens a second, at most `burst` saved up.
// A key whose bucket has filled up again is forgotten, so only keys in use
// cost memory.
class ZServerRateLimit {
public:
    // A rate of 0 lets everything through.
    ZServerRateLimit(double rate, double burst) : _rate(rate), _burst(burst) {}

    // The tokens the key has now.
    double available(const std::string& key, std::int64_t now) const;
    // Takes cost tokens when the key has them; false (and nothing taken)
    // otherwise.
    bool take(const std::string& key, std::int64_t now, double cost = 1.0);
    bool unlimited() const { return _rate <= 0; }
    std::size_t size() const { return _buckets.size(); }

private:
    struct Bucket {
        double tokens = 0;
        std::int64_t last = 0;
    };
    double _refilled(const Bucket& b, std::int64_t now) const;
    void _sweep(std::int64_t now);

    double _rate;
    double _burst;
    std::int64_t _lastSweep = 0;
    std::unordered_map<std::string, Bucket> _buckets;
};
