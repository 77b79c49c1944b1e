// The relay host: a client that cannot use UDP directly opens a TCP
// connection, asks for a UDP allocation with OPENTURN, sends datagrams out
// of it with SENDUDP frames and gets every datagram that reaches it back as a
// 200 frame. The allocation lives as long as the connection.
//
// Threading: the loop's thread only.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "ZServerTCPRole.h"
#include "ZServerUDP.h"

class ZRelayServer : public ZServerTCPRole {
public:
    ZRelayServer(ZServerContext& context, ZServerConnectionCount& count);
    ~ZRelayServer();

    // Told the contact texts of every allocation that goes away.
    void setClosedListener(std::function<void(const std::string&)> listener) { _closedListener = std::move(listener); }
    std::size_t allocations() const { return _allocations.size(); }

    void onMessage(ZServerConnection& connection, ZHTTPHeaders& message) override;
    void onDrained(ZServerConnection& connection) override;

private:
    struct Allocation {
        std::unique_ptr<ZServerUDP> socket;
        int port = 0;
        std::deque<std::pair<sockaddr_in, std::string>> waiting;
    };

    void _accepted(ZServerConnection& connection) override;
    void _closed(ZServerConnection& connection) override;
    bool _allocate(ZServerConnection& connection);
    void _sendOut(std::uint64_t id, const sockaddr_in& to, const std::string& datagram);
    void _flushWaiting(std::uint64_t id);
    void _deliver(std::uint64_t id, const std::string& datagram, const sockaddr_in& from);

    std::map<std::uint64_t, Allocation> _allocations;
    // Connections that have not asked for an allocation yet, with the timer
    // that closes them when they take too long.
    std::map<std::uint64_t, ZServerLoop::TimerId> _unopened;
    std::map<int, std::uint64_t> _ports;
    int _cursor = 0;
    std::function<void(const std::string&)> _closedListener;
};
