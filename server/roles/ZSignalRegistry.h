// The registered devices of the signalling servers: who is signed in where,
// by device, by user and by contact address, with their last sign of life.
//
// Threading: the loop's thread only.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// One signed-in device.
struct ZSignalRegistration {
    std::string user;
    std::string contact;
    sockaddr_in contactAddress{};
    int socket = 0;
    std::string routes;
    std::string version;
    // The CSeq of the REGISTER that made it: a resend of that request (which
    // a relayed client makes straight over UDP) leaves the contact alone.
    std::string cseq;
    std::int64_t lastSeen = 0;
};

class ZSignalRegistry {
public:
    // Adds or replaces the registration of a device.
    void add(const std::string& device, const ZSignalRegistration& registration);
    bool remove(const std::string& device);
    const ZSignalRegistration* find(const std::string& device) const;
    // The devices of a user, in the order they registered.
    std::vector<std::string> devicesOf(const std::string& user) const;
    std::size_t countOf(const std::string& user) const;
    // True when the address is the contact of one of the user's devices.
    bool userAt(const std::string& user, const std::string& contact) const;
    // Marks every device reachable at the contact as alive.
    void seen(const std::string& contact, std::int64_t now);
    // Drops every device at the contact; returns how many.
    int dropContact(const std::string& contact);
    // Drops devices silent for longer than the timeout; returns how many.
    int expire(std::int64_t now, std::int64_t timeout);
    std::size_t size() const { return _devices.size(); }

private:
    void _unlink(const std::string& device, const ZSignalRegistration& registration);

    std::unordered_map<std::string, ZSignalRegistration> _devices;
    // Point at the keys of _devices.
    std::unordered_map<std::string, std::vector<const std::string*>> _byUser;
    std::unordered_map<std::string, std::vector<const std::string*>> _byContact;
};
