#include "ZRelayServer.h"

#include <netinet/tcp.h>
#include <sys/socket.h>

#include "ZPortable_Text.h"
#include "ZServerNet.h"
#include "ZServerSessions.h"
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

// The idle sweep runs every half time-out, and at least every ten seconds:
// an idle allocation goes at most that long after its time-out.
std::int64_t idleSweepPeriod(const ZServerConfig& config) {
    return std::min<std::int64_t>(10, (config.relayIdleTimeout + 1) / 2) * 1000000LL;
}

}  // namespace

ZRelayServer::ZRelayServer(ZServerContext& context, ZServerConnectionCount& count)
    : ZServerTCPRole(context, count, L"Relay", relayLimits(*context.config), context.config->maxConnectionsPerPeer) {
    const ZServerConfig& c = *context.config;
    for (const std::string& host : c.stunHosts) _serviceHosts.insert({host, context.advertised(host)});
    for (const std::string& host : c.sipHosts) _serviceHosts.insert({host, context.advertised(host)});
    _idleTimer = _context.loop->after(idleSweepPeriod(c), [this] { _sweepIdle(); });
}

void ZRelayServer::_sweepIdle() {
    const std::int64_t now = ZServerLoop::now();
    const std::int64_t limit = _context.config->relayIdleTimeout * 1000000LL;
    std::vector<std::uint64_t> idle;
    for (const auto& [id, al] : _allocations)
        if (now - al.lastFrame > limit) idle.push_back(id);
    for (std::uint64_t id : idle)
        if (ZServerConnection* c = find(id)) c->refuse(L"relay allocation idle");
    _idleTimer = _context.loop->after(idleSweepPeriod(*_context.config), [this] { _sweepIdle(); });
}

ZRelayServer::~ZRelayServer() {
    if (_idleTimer) _context.loop->cancel(_idleTimer);
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

bool ZRelayServer::_allocate(ZServerConnection& connection, const std::string& user) {
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
        al.user = user;
        al.address = connection.peer().substr(0, connection.peer().rfind(':'));
        al.lastFrame = ZServerLoop::now();
        al.socket = std::make_unique<ZServerUDP>(
            *_context.loop, fd,
            [this, id](ZServerUDP&, const std::string& bytes, const sockaddr_in& from) { _deliver(id, bytes, from); });
        if (!al.socket->start()) {
            _allocations.erase(id);
            return false;
        }
        _ports[port] = id;
        ++_byUser[al.user];
        ++_byAddress[al.address];
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
        auto al = _allocations.find(id);
        if (al == _allocations.end()) {
            connection.refuse(L"SENDUDP before OPENTURN");
            return;
        }
        sockaddr_in to{};
        if (message.getContentCount() != 1 || !ZServerParseHost(ZServerField(message, L"Remote-Host"), to) ||
            !ZServerSendableHost(to)) {
            connection.refuse(L"SENDUDP without one datagram for a valid Remote-Host");
            return;
        }
        al->second.lastFrame = ZServerLoop::now();
        if (!_targetAllowed(to)) {
            // A client tries every route of a buddy, private ones too: the
            // datagram is refused, the connection stays.
            if (ZServerWarnAllowed())
                ZLOG(L"WARNING Relay refused SENDUDP from (" << connection.peer() << L") to the private address ("
                                                            << ZServerHostText(to) << L").");
            ZHTTPHeaders refusal = ZServerResponse(403, L"Private address");
            refusal.set(L"Remote-Host", ZFromUTF8(ZServerHostText(to)));
            connection.send(ZServerAnswer(message, refusal));
            return;
        }
        _sendOut(id, to, message.getContent(0));
        return;
    }
    if (ZCaseEquals(method, L"OPENTURN")) {
        if (!_allocations.count(id)) {
            const std::string key = ZServerField(message, L"Session-Key");
            const std::string user =
                key.size() > 64 ? std::string() : _context.sessions->userOf(key, ZServerLoop::now());
            const ZServerConfig& c = *_context.config;
            const std::string address = connection.peer().substr(0, connection.peer().rfind(':'));
            if (user.empty()) {
                _refuseOpen(connection, message, 403, L"Session key required");
                return;
            }
            if (_byUser[user] >= c.relayAllocationsPerUser || _byAddress[address] >= c.relayAllocationsPerAddress) {
                if (_byUser[user] == 0) _byUser.erase(user);
                if (_byAddress[address] == 0) _byAddress.erase(address);
                _refuseOpen(connection, message, 429, L"Too many allocations");
                return;
            }
            if (!_allocate(connection, user)) {
                _refuseOpen(connection, message, 503, L"No relay port free");
                return;
            }
        }
        ZHTTPHeaders answer = ZServerResponse(200, L"OK");
        answer.set(L"Global-Host",
                   ZFromUTF8(ZServerHostText(_context.config->advertise, _allocations[id].port)));
        connection.send(ZServerAnswer(message, answer));
        return;
    }
    connection.refuse(L"unexpected '" + (method.empty() ? message.get(std::wstring()) : method) + L"'");
}

void ZRelayServer::_refuseOpen(ZServerConnection& connection, const ZHTTPHeaders& request, int code,
                              const wchar_t* reason) {
    if (ZServerWarnAllowed())
        ZLOG(L"WARNING Relay refused OPENTURN from (" << connection.peer() << L"): " << code << L" " << reason << L".");
    connection.send(ZServerAnswer(request, ZServerResponse(code, reason)));
    connection.closeWhenSent();
}

std::string ZRelayServer::clientAddressOf(const sockaddr_in& from) const {
    auto port = _ports.find(ntohs(from.sin_port));
    if (port == _ports.end()) return std::string();
    const std::string address = ZServerAddressText(from);
    const ZServerConfig& c = *_context.config;
    if (address != c.advertise && address != c.bind && c.bind != "0.0.0.0") return std::string();
    auto al = _allocations.find(port->second);
    return al == _allocations.end() ? std::string() : al->second.address;
}

bool ZRelayServer::_targetAllowed(const sockaddr_in& to) const {
    return _context.config->relayPrivateTargets || ZServerPublicAddress(to) ||
           _serviceHosts.count(ZServerHostText(to)) != 0;
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
    for (auto* counts : {&_byUser, &_byAddress}) {
        const std::string& key = counts == &_byUser ? it->second.user : it->second.address;
        auto count = counts->find(key);
        if (count != counts->end() && --count->second <= 0) counts->erase(count);
    }
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
