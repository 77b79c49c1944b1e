// The common part of the TCP roles: the listener, the connection caps and
// the connections it owns until they close.
//
// Threading: the loop's thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "ZServerConnection.h"
#include "ZServerContext.h"
#include "ZServerListener.h"

class ZServerTCPRole : public IZServerConnectionOwner {
public:
    // perPeer caps the role's connections from one address; only a role
    // that may use the reserve gets the last places of the shared count.
    ZServerTCPRole(ZServerContext& context, ZServerConnectionCount& count, const wchar_t* role,
                   const ZServerConnectionLimits& limits, int perPeer, bool mayUseReserve = false);
    virtual ~ZServerTCPRole();
    ZServerTCPRole(const ZServerTCPRole&) = delete;
    ZServerTCPRole& operator=(const ZServerTCPRole&) = delete;

    bool open(const std::string& host, std::string& error);
    // Every connection accepted from now on speaks TLS with the context.
    void useTLS(ssl_ctx_st* context) { _tls = context; }
    std::string host() const;
    void onClosed(ZServerConnection& connection) override;
    // The live connection of an id (answers from workers come back by id).
    ZServerConnection* find(std::uint64_t id);
    static std::uint64_t idOf(const ZServerConnection& connection) {
        return reinterpret_cast<std::uintptr_t>(connection.tag);
    }
    std::size_t connectionCount() const { return _connections.size(); }

protected:
    virtual void _accepted(ZServerConnection&) {}
    virtual void _closed(ZServerConnection&) {}

    ZServerContext& _context;
    const wchar_t* _role;

private:
    void _accept(int fd, const std::string& peer);

    ZServerConnectionCount& _count;
    ZServerPeerCount _byPeer;
    bool _mayUseReserve;
    ZServerConnectionLimits _limits;
    std::unique_ptr<ZServerListener> _listener;
    std::map<std::uint64_t, std::unique_ptr<ZServerConnection>> _connections;
    std::uint64_t _nextId = 1;
    ssl_ctx_st* _tls = nullptr;
};
