#include "ZRelayServer.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

#include "ZPortable_Text.h"
#include "ZServerNet.h"
#include "ZUtil.h"

namespace {

constexpr std::size_t kMaxWaiting = 256;

ZServerConnectionLimits relayLimits(const ZServerConfig& config) {
    ZServerConnectionLimits limits;
    limits.maxHeader = 4096;
    limits.maxContent = config.maxRelayFrame;
    limits.maxParts = 1;
    // A relayed client may stay quiet for long; dead peers are found by
    // keep-alive probes instead (see _accepted).
    limits.idleTimeout = 0;
    limits.highMark = 2 * 1024 * 1024;
    return limits;
}

}  // namespace

ZRelayServer::ZRelayServer(ZServerContext& context, ZServerConnectionCount& count)
    : ZServerTCPRole(context, count, L"Relay", relayLimits(*context.config), context.config->maxConnectionsPerPeer) {}

ZRelayServer::~ZRelayServer() {
    for (const auto& [id, timer] : _unopened) _context.loop->cancel(timer);
    _unopened.clear();
    _allocations.clear();
}

void ZRelayServer::_accepted(ZServerConnection& connection) {
    // A peer that vanished without a word frees its allocation within about
    // three minutes.
    const int on = 1, idle = 120, interval = 10, count = 6;
    setsockopt(connection.fd(), SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    setsockopt(connection.fd(), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    setsockopt(connection.fd(), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    setsockopt(connection.fd(), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
    // A connection that never asks for an allocation only holds a place.
    const std::uint64_t id = idOf(connection);
    _unopened[id] = _context.loop->after(_context.config->relayOpenTimeout * 1000000LL, [this, id] {
        _unopened.erase(id);
        if (ZServerConnection* c = find(id)) c->refuse(L"no OPENTURN in time");
    });
}

bool ZRelayServer::_allocate(ZServerConnection& connection) {
    const ZServerConfig& c = *_context.config;
    sockaddr_in a{};
    ZServerParseHost(ZServerHostText(c.bind, 0), a);
    const std::uint64_t id = idOf(connection);
    for (int tries = 0; tries < c.relayPortCount; ++tries) {
        const int port = c.relayPortLow + (_cursor++ % c.relayPortCount);
        if (_ports.count(port)) continue;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        std::string error;
        const int fd = ZServerOpenUDP(a, error, 1 << 20);
        if (fd < 0) continue;
        Allocation& al = _allocations[id];
        al.port = port;
        al.socket = std::make_unique<ZServerUDP>(
            *_context.loop, fd,
            [this, id](ZServerUDP&, const std::string& bytes, const sockaddr_in& from) { _deliver(id, bytes, from); });
        if (!al.socket->start()) {
            _allocations.erase(id);
            return false;
        }
        _ports[port] = id;
        auto unopened = _unopened.find(id);
        if (unopened != _unopened.end()) {
            _context.loop->cancel(unopened->second);
            _unopened.erase(unopened);
        }
        ZSERVER_LOGC('r', L"Relay allocation " << port << L" for (" << connection.peer() << L")");
        return true;
    }
    return false;
}

void ZRelayServer::onMessage(ZServerConnection& connection, ZHTTPHeaders& message) {
    const std::uint64_t id = idOf(connection);
    const std::wstring method = message.getResponse() == 0 ? message.getMethod() : std::wstring();
    if (ZCaseEquals(method, L"SENDUDP")) {
        if (!_allocations.count(id)) {
            connection.refuse(L"SENDUDP before OPENTURN");
            return;
        }
        sockaddr_in to{};
        if (message.getContentCount() != 1 || !ZServerParseHost(ZServerField(message, L"Remote-Host"), to) ||
            !ZServerSendableHost(to)) {
            connection.refuse(L"SENDUDP without one datagram for a valid Remote-Host");
            return;
        }
        _sendOut(id, to, message.getContent(0));
        return;
    }
    if (ZCaseEquals(method, L"OPENTURN")) {
        if (!_allocations.count(id) && !_allocate(connection)) {
            connection.refuse(L"no relay port free");
            return;
        }
        ZHTTPHeaders answer = ZServerResponse(200, L"OK");
        answer.set(L"Global-Host",
                   ZFromUTF8(ZServerHostText(_context.config->advertise, _allocations[id].port)));
        connection.send(ZServerAnswer(message, answer));
        return;
    }
    connection.refuse(L"unexpected '" + (method.empty() ? message.get(std::wstring()) : method) + L"'");
}

void ZRelayServer::_sendOut(std::uint64_t id, const sockaddr_in& to, const std::string& datagram) {
    Allocation& al = _allocations.at(id);
    if (al.waiting.empty() && al.socket->send(to, datagram)) return;
    // The system's buffer is full: hold the datagram and stop reading frames
    // until the socket takes more, so nothing is lost on our side.
    if (al.waiting.size() >= kMaxWaiting) return;
    al.waiting.emplace_back(to, datagram);
    if (ZServerConnection* c = find(id)) c->pauseInput(true);
    al.socket->whenWritable([this, id] { _flushWaiting(id); });
}

void ZRelayServer::_flushWaiting(std::uint64_t id) {
    auto it = _allocations.find(id);
    if (it == _allocations.end()) return;
    Allocation& al = it->second;
    while (!al.waiting.empty()) {
        if (!al.socket->send(al.waiting.front().first, al.waiting.front().second)) {
            al.socket->whenWritable([this, id] { _flushWaiting(id); });
            return;
        }
        al.waiting.pop_front();
    }
    if (ZServerConnection* c = find(id)) c->pauseInput(false);
}

void ZRelayServer::_deliver(std::uint64_t id, const std::string& datagram, const sockaddr_in& from) {
    ZServerConnection* c = find(id);
    if (!c) return;
    ZHTTPHeaders frame = ZServerResponse(200, L"OK");
    frame.set(L"Remote-Host", ZFromUTF8(ZServerHostText(from)));
    frame.addContent(datagram);
    c->send(frame.serialize());
    // A client that reads too slowly leaves datagrams in the system's buffer,
    // which drops them when full, as UDP would.
    auto it = _allocations.find(id);
    if (it != _allocations.end() && !c->closed() && c->overHighMark()) it->second.socket->pauseInput(true);
}

void ZRelayServer::onDrained(ZServerConnection& connection) {
    auto it = _allocations.find(idOf(connection));
    if (it != _allocations.end()) it->second.socket->pauseInput(false);
}

void ZRelayServer::_closed(ZServerConnection& connection) {
    auto unopened = _unopened.find(idOf(connection));
    if (unopened != _unopened.end()) {
        _context.loop->cancel(unopened->second);
        _unopened.erase(unopened);
    }
    auto it = _allocations.find(idOf(connection));
    if (it == _allocations.end()) return;
    const int port = it->second.port;
    ZSERVER_LOGC('r', L"Relay allocation " << port << L" freed");
    _ports.erase(port);
    // The socket may be the one whose event brought us here: it goes later.
    auto socket = std::make_shared<std::unique_ptr<ZServerUDP>>(std::move(it->second.socket));
    _allocations.erase(it);
    _context.loop->later([socket] { socket->reset(); });
    if (_closedListener) {
        _closedListener(ZServerHostText(_context.config->advertise, port));
        if (_context.config->bind != _context.config->advertise)
            _closedListener(ZServerHostText(_context.config->bind, port));
    }
}
