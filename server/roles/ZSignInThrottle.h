// Slows password guessing down by account and by source address, so that
// nobody can lock an account's owner out from somewhere else.
//
// Each (account, address) pair has a few free wrong passwords; after them
// every further attempt from that pair waits a delay that doubles with each
// failure, up to a cap. An account that has taken many failures from all
// addresses together is under attack: every pair then waits after each
// failure, so many addresses do not multiply the guesses, while the owner
// signing in from an address of their own still has a try.
// An address failing on many accounts is slowed down as a whole.
//
// An attempt is counted when it is admitted, before its password is hashed,
// so a burst of requests sent at once cannot run past the budget; a right
// password takes its attempt back and clears the pair.
//
// Threading: the loop's thread only; the time is passed in (microseconds).
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

class ZSignInThrottle {
public:
    struct Limits {
        int freeFailures = 5;
        std::int64_t delay = 60000000;
        std::int64_t maxDelay = 3600000000LL;
        // Failures on one account from all addresses (within the memory)
        // after which it counts as under attack.
        int accountFailures = 20;
        // Failures of one address on all accounts after which it waits too.
        int sourceFailures = 100;
        // Records idle this long (and not delaying anything) are forgotten.
        std::int64_t memory = 3600000000LL;
        std::size_t maxRecords = 200000;
    };
    explicit ZSignInThrottle(const Limits& limits) : _limits(limits) {}

    // Admits and counts one attempt: 0 when it may go ahead, otherwise the
    // microseconds until the pair (or the address) may try again.
    std::int64_t admit(const std::string& account, std::uint32_t source, std::int64_t now);
    // What admit() would answer for a waiting pair or address, without
    // counting anything: lets the caller refuse before any look-up.
    std::int64_t waiting(const std::string& account, std::uint32_t source, std::int64_t now) const;
    // The attempt's password was right, or wrong.
    void succeeded(const std::string& account, std::uint32_t source, std::int64_t now);
    void failed(const std::string& account, std::uint32_t source, std::int64_t now);
    // The attempt was never checked (the service was busy): it is not
    // held against anyone, though a wait it started stays.
    void withdrawn(const std::string& account, std::uint32_t source, std::int64_t now);
    // True when the pair or the address has failed lately (attempts still
    // being checked aside): its next attempt waits behind those of
    // addresses with a clean record.
    bool suspect(const std::string& account, std::uint32_t source, std::int64_t now);
    // A sign-in for an account that does not exist: held against the address.
    std::int64_t unknownAccount(std::uint32_t source, std::int64_t now);
    // The failures of the pair and of the account that still count.
    int pairFailures(const std::string& account, std::uint32_t source, std::int64_t now) const;
    int accountFailures(const std::string& account, std::int64_t now) const;
    std::size_t records() const { return _pairs.size() + _accounts.size() + _sources.size(); }

private:
    struct Record {
        int failures = 0;
        // Of the failures, the attempts admitted and not yet checked.
        int pending = 0;
        std::int64_t next = 0;
        std::int64_t last = 0;
    };
    std::int64_t _delayAfter(int beyondFree) const;
    bool _fresh(const Record& r, std::int64_t now) const;
    void _sweep(std::int64_t now);
    template <typename Map, typename Key>
    Record* _record(Map& map, const Key& key, std::int64_t now, bool create);

    Limits _limits;
    std::int64_t _lastSweep = 0;
    std::unordered_map<std::string, Record> _pairs;
    std::unordered_map<std::string, Record> _accounts;
    std::unordered_map<std::uint32_t, Record> _sources;
};
