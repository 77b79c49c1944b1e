// The whole service in one process: opens the database and every role's
// sockets from the configuration, runs the loop until asked to stop, then
// closes everything in order.
//
// Threading: construct, start and run on one thread; requestStop() from any
// thread or a signal handler.
#pragma once

#include <memory>
#include <string>

#include "ZServerConfig.h"

class ZServerLoop;
class ZServerStore;
class ZServerWorkers;
class ZFloodGate;
class ZServerConnectionCount;
class ZServerSessions;
struct ZServerContext;
class ZAuthServer;
class ZStunServer;
class ZSignalServer;
class ZRelayServer;
class ZLogHost;
class ZUpgradeHost;
class ZServerTLS;

class ZServerService {
public:
    explicit ZServerService(const ZServerConfig& config);
    ~ZServerService();
    ZServerService(const ZServerService&) = delete;
    ZServerService& operator=(const ZServerService&) = delete;

    // Opens the data folder, the database and every socket; false with error
    // filled (a bad configuration, a port in use).
    bool start(std::string& error);
    // The one line that says where every role listens.
    std::string readyLine() const;
    bool run();
    void requestStop();

private:
    ZServerConfig _config;
    // Held (flock) while the service runs.
    int _lock = -1;
    std::unique_ptr<ZServerTLS> _tls;
    std::unique_ptr<ZServerLoop> _loop;
    std::unique_ptr<ZServerStore> _store;
    std::unique_ptr<ZServerWorkers> _workers;
    std::unique_ptr<ZFloodGate> _flood;
    std::unique_ptr<ZServerConnectionCount> _count;
    std::unique_ptr<ZServerSessions> _sessions;
    std::unique_ptr<ZServerContext> _context;
    std::unique_ptr<ZAuthServer> _auth;
    std::unique_ptr<ZStunServer> _stun;
    std::unique_ptr<ZSignalServer> _signal;
    std::unique_ptr<ZRelayServer> _relay;
    std::unique_ptr<ZLogHost> _logHost;
    std::unique_ptr<ZUpgradeHost> _upgradeHost;
};
