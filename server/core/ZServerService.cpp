#include "ZServerService.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ZAuthServer.h"
#include "ZFileHosts.h"
#include "ZRelayServer.h"
#include "ZServerContext.h"
#include "ZServerGuard.h"
#include "ZServerListener.h"
#include "ZServerLoop.h"
#include "ZServerSessions.h"
#include "ZPortable_Text.h"
#include "ZServerStore.h"
#include "ZServerTLS.h"
#include "ZServerWorkers.h"
#include "ZSignalServer.h"
#include "ZStunServer.h"
#include "ZUtil.h"

namespace {

bool makeFolder(const std::string& path, std::string& error) {
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return true;
        if (::stat(path.c_str(), &info) == 0) {
            error = "'" + path + "' is a file, not a folder";
            return false;
        }
    }
    error = "cannot use the folder '" + path + "': " + std::strerror(errno);
    return false;
}

}  // namespace

ZServerService::ZServerService(const ZServerConfig& config) : _config(config) {}

ZServerService::~ZServerService() {
    // Workers first, so no answer comes back while the roles go.
    if (_workers) _workers->stop();
    _upgradeHost.reset();
    _logHost.reset();
    _relay.reset();
    _signal.reset();
    _stun.reset();
    _auth.reset();
    _workers.reset();
    _store.reset();
    _loop.reset();
    _tls.reset();
    if (_lock >= 0) ::close(_lock);
}

bool ZServerService::start(std::string& error) {
    if (!ZServerResolveLayout(_config, error)) return false;
    if (!makeFolder(_config.data, error)) return false;
    // One service per data folder: a second one would share its database
    // and its uploads without knowing.
    const std::string lockPath = _config.data + "/zandrel.lock";
    _lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (_lock < 0 || ::flock(_lock, LOCK_EX | LOCK_NB) != 0) {
        error = "the data folder '" + _config.data + "' is in use by another zandrel-server";
        return false;
    }
    if (!makeFolder(_config.data + "/logs", error) || !makeFolder(_config.data + "/upgrades", error)) return false;
    _loop = std::make_unique<ZServerLoop>();
    if (!_loop->valid()) {
        error = "cannot create the event loop";
        return false;
    }
    _store = std::make_unique<ZServerStore>();
    if (!_store->open(_config.data + "/zandrel.db", error)) {
        error = "cannot open the database: " + error;
        return false;
    }
    _store->setSizeLimit(_config.maxDatabase);
    // Passwords, session keys and logs cross these hosts: they speak TLS,
    // or in clear only when asked for by name.
    if (!_config.tlsCert.empty() || !_config.tlsKey.empty()) {
        _tls = std::make_unique<ZServerTLS>();
        if (!_tls->load(_config.tlsCert, _config.tlsKey, error)) return false;
    } else if (!_config.insecurePlainHttp) {
        error = "the authentication, log and upgrade hosts need --tls-cert and --tls-key "
                "(--insecure-plain-http serves them in clear)";
        return false;
    }
    _workers = std::make_unique<ZServerWorkers>(*_loop, _config.workers, 4096);
    _workers->setMaxPerSource(_config.maxQueuedPerSource);
    _flood = std::make_unique<ZFloodGate>(_config.floodLimit);
    _count = std::make_unique<ZServerConnectionCount>(_config.maxConnections, _config.authReserve);
    _sessions = std::make_unique<ZServerSessions>();
    _context = std::make_unique<ZServerContext>();
    _context->sessions = _sessions.get();
    _context->loop = _loop.get();
    _context->config = &_config;
    _context->store = _store.get();
    _context->workers = _workers.get();
    _context->flood = _flood.get();

    _auth = std::make_unique<ZAuthServer>(*_context, *_count);
    _stun = std::make_unique<ZStunServer>(*_context);
    _signal = std::make_unique<ZSignalServer>(*_context);
    _relay = std::make_unique<ZRelayServer>(*_context, *_count);
    _logHost = std::make_unique<ZLogHost>(*_context, *_count);
    _upgradeHost = std::make_unique<ZUpgradeHost>(*_context, *_count);
    if (_tls) {
        _auth->useTLS(_tls->context());
        _logHost->useTLS(_tls->context());
        _upgradeHost->useTLS(_tls->context());
        ZLOG(L"ACTIVITY: authentication, log and upgrade hosts speak TLS with '" << ZFromUTF8(_config.tlsCert)
                                                                                 << L"'");
    } else {
        ZLOG(L"WARNING The authentication, log and upgrade hosts speak in clear (--insecure-plain-http): "
             L"passwords can be read on the way.");
    }
    if (!_auth->open(_config.authHost, error) || !_stun->open(_config.stunHosts, error) ||
        !_signal->open(_config.sipHosts, error) || !_relay->open(_config.relayHost, error) ||
        !_logHost->open(_config.logHost, error) || !_upgradeHost->open(_config.upgradeHost, error))
        return false;
    ZSignalServer* signal = _signal.get();
    _relay->setClosedListener([signal](const std::string& contact) { signal->dropContact(contact); });
    ZRelayServer* relay = _relay.get();
    _signal->setRelayClients([relay](const sockaddr_in& from) { return relay->clientAddressOf(from); });

    ZAuthServer::Hosts hosts;
    for (int i = 0; i < 4; ++i) hosts.stun[i] = _context->advertised(_config.stunHosts[i]);
    for (int i = 0; i < 2; ++i) hosts.sip[i] = _context->advertised(_config.sipHosts[i]);
    hosts.turn = _context->advertised(_config.relayHost);
    hosts.logfile = _context->advertised(_config.logHost);
    hosts.upgrade = _context->advertised(_config.upgradeHost);
    _auth->setHosts(hosts);
    return true;
}

std::string ZServerService::readyLine() const {
    return "zandrel-server ready: auth " + _config.authHost + ", stun " + _config.stunHosts[0] + " " +
           _config.stunHosts[1] + " " + _config.stunHosts[2] + " " + _config.stunHosts[3] + ", signalling " +
           _config.sipHosts[0] + " " + _config.sipHosts[1] + ", relay " + _config.relayHost + " (udp " +
           std::to_string(_config.relayPortLow) + "+), log " + _config.logHost + ", upgrade " + _config.upgradeHost +
           ", domain " + _config.domain + ", data " + _config.data;
}

bool ZServerService::run() { return _loop && _loop->run(); }

void ZServerService::requestStop() {
    if (_loop) _loop->requestStop();
}
