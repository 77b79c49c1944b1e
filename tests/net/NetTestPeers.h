// Plain-socket peers on 127.0.0.1 for the network tests: the other end of
// what the platform functions open.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "ZNonPortable_Net.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace nettest {

// Bounded waits only: a broken implementation fails, it never hangs.
constexpr int kPatienceMs = 5000;
constexpr std::int64_t kPatienceUs = 5000000;

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

inline int localPortOf(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

inline std::wstring hostText(int port) { return ZFromUTF8("127.0.0.1:" + std::to_string(port)); }

inline bool readable(int fd, int timeoutMs = kPatienceMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// Turns log categories on for one test.
class LogCategory {
public:
    explicit LogCategory(const char* filter) : _saved(ZLogGetFilter()) { ZLogSetFilter(filter); }
    ~LogCategory() { ZLogSetFilter(_saved); }

private:
    std::string _saved;
};

// A plain UDP socket bound to 127.0.0.1 on a port the system chose.
class RawUDP {
public:
    RawUDP() : _fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in a = loopback(0);
        bind(_fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    }
    ~RawUDP() { close(_fd); }
    RawUDP(const RawUDP&) = delete;
    RawUDP& operator=(const RawUDP&) = delete;
    int port() const { return localPortOf(_fd); }
    std::wstring host() const { return hostText(port()); }
    bool sendTo(int port, const std::string& bytes) const {
        const sockaddr_in a = loopback(port);
        return sendto(_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) ==
               static_cast<ssize_t>(bytes.size());
    }
    // One datagram, or "" when none arrives in time.
    std::string receive(int timeoutMs = kPatienceMs) const {
        if (!readable(_fd, timeoutMs)) return std::string();
        std::string buffer(65536, '\0');
        const ssize_t n = recv(_fd, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }

private:
    int _fd;
};

// A TCP listener on 127.0.0.1 that hands out accepted connections.
class RawListener {
public:
    explicit RawListener(int backlog = 8) : _fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in a = loopback(0);
        bind(_fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
        listen(_fd, backlog);
    }
    ~RawListener() { close(_fd); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    int port() const { return localPortOf(_fd); }
    std::wstring host() const { return hostText(port()); }
    // The next connection, or -1 when none comes in time.
    int accept() const { return readable(_fd) ? accept4(_fd, nullptr, nullptr, SOCK_CLOEXEC) : -1; }

private:
    int _fd;
};

// A loopback TCP port with nobody listening on it.
inline int closedTCPPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    const int port = localPortOf(fd);
    close(fd);
    return port;
}

// Waits (bounded) for the port's next datagram.
inline bool receiveWithin(ZNetUDPPort* port, std::string& data, std::wstring& from) {
    for (int turn = 0; turn < 3; ++turn) {
        if (ZNetUDPPortRecv(port, data, from)) return true;
        ZNetWait({port}, {}, {}, kPatienceUs);
    }
    return ZNetUDPPortRecv(port, data, from);
}

}  // namespace nettest
