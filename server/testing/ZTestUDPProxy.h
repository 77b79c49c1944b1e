// A lossy path between two peers for tests: one UDP socket on 127.0.0.1
// faces each peer, and every datagram that comes in on one side goes out of
// the other to that side's peer: the address it was given, or the one it
// last heard from. A seeded generator
// drops, duplicates and reorders datagrams, the same way for the same seed
// and the same traffic; the path can also go silent, dropping everything.
//
// Threading: one thread of its own carries the datagrams; every public
// member may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class ZTestUDPProxy {
public:
    // Percentages of the datagrams, each way.
    struct Impairment {
        int dropPercent = 0;
        int duplicatePercent = 0;
        int reorderPercent = 0;
    };
    // What the path did so far, both ways together.
    struct Counts {
        std::int64_t received = 0;
        std::int64_t forwarded = 0;  // copies sent, duplicates included
        std::int64_t dropped = 0;    // by chance or in silence
        std::int64_t duplicated = 0;
        std::int64_t reordered = 0;
    };

    explicit ZTestUDPProxy(std::uint32_t seed);
    ~ZTestUDPProxy();
    ZTestUDPProxy(const ZTestUDPProxy&) = delete;
    ZTestUDPProxy& operator=(const ZTestUDPProxy&) = delete;

    // "127.0.0.1:<port>" of the socket facing side 0 or side 1.
    std::wstring host(int side) const;
    // Where datagrams out of the side go until the side hears from someone:
    // "<a.b.c.d>:<port>". False when the text is no such address.
    bool setPeer(int side, const std::wstring& host);
    void setImpairment(const Impairment& impairment);
    // While silent every datagram is dropped, held ones included.
    void setSilent(bool silent);
    Counts counts() const;

private:
    struct State;
    std::unique_ptr<State> _state;
};
