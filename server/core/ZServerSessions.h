// The session keys of signed-in users: a random key per sign-in, handed out
// in the AUTHENTICATE answer, that proves on the signalling servers that a
// request comes from someone who knew the user's password.
//
// Threading: the loop's thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

class ZServerSessions {
public:
    // A key lives this long (microseconds) after its sign-in.
    static constexpr std::int64_t kLifetime = 24LL * 3600 * 1000000;
    // Keys kept per user; a further sign-in replaces the oldest.
    static constexpr std::size_t kKeysPerUser = 16;

    // A new key for the user, valid until now + kLifetime.
    std::string issue(const std::string& user, std::int64_t now);
    // The user a key was issued to, or empty when it is unknown or expired.
    std::string userOf(const std::string& key, std::int64_t now) const;
    // Forgets every expired key; returns how many.
    int expire(std::int64_t now);
    std::size_t size() const { return _keys.size(); }

private:
    struct Entry {
        std::string user;
        std::int64_t expiry = 0;
    };
    void _forget(const std::string& key);

    std::unordered_map<std::string, Entry> _keys;
    std::unordered_map<std::string, std::deque<std::string>> _byUser;
};
