#include "ZServerTCPRole.h"

#include <unistd.h>

#include "ZServerNet.h"
#include "ZUtil.h"

ZServerTCPRole::ZServerTCPRole(ZServerContext& context, ZServerConnectionCount& count, const wchar_t* role,
                               const ZServerConnectionLimits& limits, int perPeer, bool mayUseReserve)
    : _context(context),
      _role(role),
      _count(count),
      _byPeer(perPeer),
      _mayUseReserve(mayUseReserve),
      _limits(limits) {}

ZServerTCPRole::~ZServerTCPRole() {
    _listener.reset();
    // Closing calls back into onClosed, which must not touch the map we walk.
    auto connections = std::move(_connections);
    _connections.clear();
    for (auto& [id, c] : connections) {
        _count.give();
        _byPeer.give(c->peerAddress());
        c.reset();
    }
}

bool ZServerTCPRole::open(const std::string& host, std::string& error) {
    sockaddr_in a{};
    if (!ZServerParseHost(host, a)) {
        error = "bad host '" + host + "'";
        return false;
    }
    const int fd = ZServerOpenListener(a, error);
    if (fd < 0) {
        error = "cannot listen on " + host + ": " + error;
        return false;
    }
    _listener = std::make_unique<ZServerListener>(*_context.loop, fd, _role,
                                                  [this](int c, const std::string& peer) { _accept(c, peer); });
    if (!_listener->start()) {
        error = "cannot watch " + host;
        return false;
    }
    return true;
}

std::string ZServerTCPRole::host() const { return _listener ? _listener->host() : std::string(); }

void ZServerTCPRole::_accept(int fd, const std::string& peer) {
    sockaddr_in a{};
    ZServerParseHost(peer, a);
    if (!_byPeer.take(a.sin_addr.s_addr)) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING Too many connections from one address, refusing " << _role << L" connection from ("
                                                                                << peer << L").");
        ::close(fd);
        return;
    }
    if (!_count.take(_mayUseReserve)) {
        _byPeer.give(a.sin_addr.s_addr);
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING Too many connections, refusing " << _role << L" connection from (" << peer << L").");
        ::close(fd);
        return;
    }
    const std::uint64_t id = _nextId++;
    auto c = std::make_unique<ZServerConnection>(*_context.loop, fd, peer, *this, _limits, _role);
    c->tag = reinterpret_cast<void*>(static_cast<std::uintptr_t>(id));
    ZServerConnection* raw = c.get();
    _connections.emplace(id, std::move(c));
    if ((_tls && !raw->useTLS(_tls)) || !raw->start()) {
        raw->close();
        return;
    }
    _accepted(*raw);
}

void ZServerTCPRole::onClosed(ZServerConnection& connection) {
    const std::uint64_t id = idOf(connection);
    auto it = _connections.find(id);
    if (it == _connections.end()) return;
    _count.give();
    _byPeer.give(connection.peerAddress());
    _closed(connection);
    // The connection may be deep in its own call stack: delete it afterwards.
    auto owned = std::make_shared<std::unique_ptr<ZServerConnection>>(std::move(it->second));
    _connections.erase(it);
    _context.loop->later([owned] { owned->reset(); });
}

ZServerConnection* ZServerTCPRole::find(std::uint64_t id) {
    auto it = _connections.find(id);
    return it == _connections.end() || it->second->closed() ? nullptr : it->second.get();
}
