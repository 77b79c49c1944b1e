// The relay host: a client that cannot use UDP directly opens a TCP
// connection, asks for a UDP allocation with OPENTURN, sends datagrams out
// of it with SENDUDP frames and gets every datagram that reaches it back as a
// 200 frame. The allocation lives as long as the connection, or until its
// client has sent no frame for --relay-idle-timeout.
//
// OPENTURN needs a session key; allocations are capped per user and per
// address. SENDUDP reaches the public internet and the service's own UDP
// hosts only (unless --relay-private-targets), so the relay is no way into
// the network the service stands in; a refused datagram is answered with a
// 403 frame naming it, and the connection goes on.
//
// Threading: the loop's thread only.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "ZServerTCPRole.h"
#include "ZServerUDP.h"

class ZRelayServer : public ZServerTCPRole {
public:
    ZRelayServer(ZServerContext& context, ZServerConnectionCount& count);
    ~ZRelayServer();

    // Told the contact texts of every allocation that goes away.
    void setClosedListener(std::function<void(const std::string&)> listener) { _closedListener = std::move(listener); }
    std::size_t allocations() const { return _allocations.size(); }
    // The address of the client whose allocation a datagram came from, or
    // empty when it came from elsewhere: what relayed clients send reaches
    // the other roles from the relay's own address.
    std::string clientAddressOf(const sockaddr_in& from) const;

    void onMessage(ZServerConnection& connection, ZHTTPHeaders& message) override;
    void onDrained(ZServerConnection& connection) override;

private:
    struct Allocation {
        std::unique_ptr<ZServerUDP> socket;
        int port = 0;
        std::deque<std::pair<sockaddr_in, std::string>> waiting;
        std::string user;
        std::string address;
        std::int64_t lastFrame = 0;
    };

    void _accepted(ZServerConnection& connection) override;
    void _closed(ZServerConnection& connection) override;
    bool _allocate(ZServerConnection& connection, const std::string& user);
    // Answers OPENTURN with a status and closes once it is sent.
    void _refuseOpen(ZServerConnection& connection, const ZHTTPHeaders& request, int code, const wchar_t* reason);
    bool _targetAllowed(const sockaddr_in& to) const;
    void _sweepIdle();
    void _sendOut(std::uint64_t id, const sockaddr_in& to, const std::string& datagram);
    void _flushWaiting(std::uint64_t id);
    void _deliver(std::uint64_t id, const std::string& datagram, const sockaddr_in& from);

    std::map<std::uint64_t, Allocation> _allocations;
    // Connections that have not asked for an allocation yet, with the timer
    // that closes them when they take too long.
    std::map<std::uint64_t, ZServerLoop::TimerId> _unopened;
    std::map<int, std::uint64_t> _ports;
    int _cursor = 0;
    std::map<std::string, int> _byUser;
    std::map<std::string, int> _byAddress;
    // The service's own UDP hosts, which relayed clients must reach
    // wherever the service stands.
    std::set<std::string> _serviceHosts;
    ZServerLoop::TimerId _idleTimer = 0;
    std::function<void(const std::string&)> _closedListener;
};
