#include "ZServerSessions.h"

#include <algorithm>

#include "ZServerPassword.h"

std::string ZServerSessions::issue(const std::string& user, std::int64_t now) {
    std::deque<std::string>& keys = _byUser[user];
    while (keys.size() >= kKeysPerUser) {
        _keys.erase(keys.front());
        keys.pop_front();
    }
    const std::string key = ZServerNewKey();
    _keys[key] = Entry{user, now + kLifetime};
    keys.push_back(key);
    return key;
}

std::string ZServerSessions::userOf(const std::string& key, std::int64_t now) const {
    auto it = _keys.find(key);
    if (it == _keys.end() || it->second.expiry <= now) return std::string();
    return it->second.user;
}

void ZServerSessions::_forget(const std::string& key) {
    auto it = _keys.find(key);
    if (it == _keys.end()) return;
    auto user = _byUser.find(it->second.user);
    if (user != _byUser.end()) {
        auto& keys = user->second;
        keys.erase(std::remove(keys.begin(), keys.end(), key), keys.end());
        if (keys.empty()) _byUser.erase(user);
    }
    _keys.erase(it);
}

int ZServerSessions::expire(std::int64_t now) {
    std::deque<std::string> old;
    for (const auto& [key, entry] : _keys)
        if (entry.expiry <= now) old.push_back(key);
    for (const std::string& key : old) _forget(key);
    return static_cast<int>(old.size());
}
