#include "ZSignalRegistry.h"

#include <algorithm>

namespace {

void eraseFrom(std::unordered_map<std::string, std::vector<const std::string*>>& index, const std::string& key,
               const std::string* device) {
    auto it = index.find(key);
    if (it == index.end()) return;
    auto& list = it->second;
    list.erase(std::remove(list.begin(), list.end(), device), list.end());
    if (list.empty()) index.erase(it);
}

}  // namespace

void ZSignalRegistry::add(const std::string& device, const ZSignalRegistration& registration) {
    auto [it, fresh] = _devices.try_emplace(device, registration);
    if (!fresh) {
        _unlink(it->first, it->second);
        it->second = registration;
    }
    // The indexes point at the map's own key, which stays put while it lives.
    _byUser[registration.user].push_back(&it->first);
    _byContact[registration.contact].push_back(&it->first);
}

void ZSignalRegistry::_unlink(const std::string& device, const ZSignalRegistration& registration) {
    eraseFrom(_byUser, registration.user, &device);
    eraseFrom(_byContact, registration.contact, &device);
}

bool ZSignalRegistry::remove(const std::string& device) {
    auto it = _devices.find(device);
    if (it == _devices.end()) return false;
    _unlink(it->first, it->second);
    _devices.erase(it);
    return true;
}

const ZSignalRegistration* ZSignalRegistry::find(const std::string& device) const {
    auto it = _devices.find(device);
    return it == _devices.end() ? nullptr : &it->second;
}

std::vector<std::string> ZSignalRegistry::devicesOf(const std::string& user) const {
    std::vector<std::string> devices;
    auto it = _byUser.find(user);
    if (it == _byUser.end()) return devices;
    devices.reserve(it->second.size());
    for (const std::string* device : it->second) devices.push_back(*device);
    return devices;
}

std::size_t ZSignalRegistry::countOf(const std::string& user) const {
    auto it = _byUser.find(user);
    return it == _byUser.end() ? 0 : it->second.size();
}

bool ZSignalRegistry::userAt(const std::string& user, const std::string& contact) const {
    auto it = _byContact.find(contact);
    if (it == _byContact.end()) return false;
    for (const std::string* device : it->second) {
        auto d = _devices.find(*device);
        if (d != _devices.end() && d->second.user == user) return true;
    }
    return false;
}

void ZSignalRegistry::seen(const std::string& contact, std::int64_t now) {
    auto it = _byContact.find(contact);
    if (it == _byContact.end()) return;
    for (const std::string* device : it->second) {
        auto d = _devices.find(*device);
        if (d != _devices.end()) d->second.lastSeen = now;
    }
}

int ZSignalRegistry::dropContact(const std::string& contact) {
    auto it = _byContact.find(contact);
    if (it == _byContact.end()) return 0;
    std::vector<std::string> devices;
    for (const std::string* device : it->second) devices.push_back(*device);
    for (const std::string& device : devices) remove(device);
    return static_cast<int>(devices.size());
}

int ZSignalRegistry::expire(std::int64_t now, std::int64_t timeout) {
    std::vector<std::string> old;
    for (const auto& [device, r] : _devices)
        if (now - r.lastSeen > timeout) old.push_back(device);
    for (const std::string& device : old) remove(device);
    return static_cast<int>(old.size());
}
