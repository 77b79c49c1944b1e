// What keeps hostile senders from wearing the service down: a cap on the
// warning lines they can cause and a per-source packet budget.
//
// Threading: the loop's thread only.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <unordered_map>

// True when one more warning line caused by a peer may be written now; at
// most a few dozen a second pass, the rest are counted and reported later in
// one line.
bool ZServerWarnAllowed();
// The same budget for the lines of one log category, counted apart.
bool ZServerLogAllowed(char category);

// A line of a log category that peers can cause: written when the category
// is enabled and its budget allows.
#define ZSERVER_LOGC(category, ...)                                          \
    do {                                                                     \
        if (ZLogIsEnabled(category) && ZServerLogAllowed(category)) ZLOG(__VA_ARGS__); \
    } while (0)

// A token bucket per source address and port.
class ZFloodGate {
public:
    // packetsPerSecond 0 lets everything through.
    explicit ZFloodGate(int packetsPerSecond) : _rate(packetsPerSecond) {}
    bool allow(const sockaddr_in& from, std::int64_t now);

private:
    struct Bucket {
        double tokens = 0;
        std::int64_t last = 0;
    };
    void _sweep(std::int64_t now);

    int _rate;
    std::int64_t _lastSweep = 0;
    std::unordered_map<std::uint64_t, Bucket> _buckets;
};
