#include "ZSignalServer.h"

#include <algorithm>

#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZServerNet.h"
#include "ZServerPassword.h"
#include "ZServerSessions.h"
#include "ZServerStore.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t kSweepPeriod = 10000000;
constexpr std::int64_t kIssuedMemory = 120000000;
// Longer than a client's whole resend schedule (1 + 2 + 4 + 8 s), shorter
// than the time in which its numbering could start again.
constexpr std::int64_t kForwardMemory = 32000000;
constexpr std::size_t kMaxRemembered = 200000;
constexpr std::size_t kMaxRouteList = 2048;
constexpr std::size_t kMaxCSeq = 128;
// The window in which a user's or an address's budget of new identities
// fills up again.
constexpr double kIdentityWindow = 120.0;
// A sign-in invites every buddy at once: the forwarding budget holds this
// many seconds' worth.
constexpr double kForwardBurstSeconds = 5.0;
// A device identity that no REGISTER has used within this many seconds is
// removed; the sweep that removes them runs once a minute.
constexpr std::int64_t kUnregisteredLifetime = 3600;
constexpr int kSweepsPerStoreSweep = 6;

struct Route {
    const wchar_t* method;
    void (ZSignalServer::*handler)(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
};

}  // namespace

ZSignalServer::ZSignalServer(ZServerContext& context)
    : _context(context),
      _idsByUser(context.config->deviceIdsPerUser / kIdentityWindow, context.config->deviceIdsPerUser),
      _idsByAddress(context.config->deviceIdsPerAddress / kIdentityWindow, context.config->deviceIdsPerAddress),
      // An INVITE to a buddy with every device it may sign in always fits.
      _forwardsByUser(context.config->inviteForwardsPerUser,
                      std::max<double>(context.config->inviteForwardsPerUser * kForwardBurstSeconds,
                                       context.config->maxDevicesPerUser)) {}

ZSignalServer::~ZSignalServer() {
    if (_sweepTimer) _context.loop->cancel(_sweepTimer);
}

bool ZSignalServer::open(const std::string (&hosts)[2], std::string& error) {
    for (int i = 0; i < 2; ++i) {
        sockaddr_in a{};
        ZServerParseHost(hosts[i], a);
        const int fd = ZServerOpenUDP(a, error, 1 << 20);
        if (fd < 0) {
            error = "cannot open signalling server " + std::to_string(i + 1) + " on " + hosts[i] + ": " + error;
            return false;
        }
        _sockets[i] = std::make_unique<ZServerUDP>(
            *_context.loop, fd,
            [this, i](ZServerUDP&, const std::string& bytes, const sockaddr_in& from) { _receive(i, bytes, from); });
        if (!_sockets[i]->start()) return false;
    }
    _sweepTimer = _context.loop->after(kSweepPeriod, [this] { _sweep(); });
    return true;
}

void ZSignalServer::_sweep() {
    const std::int64_t now = ZServerLoop::now();
    const int gone = _registry.expire(now, _context.config->registrationTimeout);
    if (gone) ZLOG(L"ACTIVITY: " << gone << L" silent devices expired");
    for (auto it = _issued.begin(); it != _issued.end();)
        it = now - it->second.second > kIssuedMemory ? _issued.erase(it) : std::next(it);
    for (auto it = _forwarded.begin(); it != _forwarded.end();)
        it = now - it->second > kForwardMemory ? _forwarded.erase(it) : std::next(it);
    if (++_sweeps % kSweepsPerStoreSweep == 0) {
        _context.sessions->expire(now);
        const int unused = _context.store->expireUnregisteredDevices(ZServerStore::clock() - kUnregisteredLifetime);
        if (unused) ZLOG(L"ACTIVITY: " << unused << L" device identities never registered were removed");
        const std::int64_t lifetime = static_cast<std::int64_t>(_context.config->deviceLifetimeDays) * 86400;
        const int abandoned = _context.store->expireUnusedDevices(ZServerStore::clock() - lifetime);
        if (abandoned)
            ZLOG(L"ACTIVITY: " << abandoned << L" device identities unused for " << _context.config->deviceLifetimeDays
                               << L" days were removed");
    }
    _sweepTimer = _context.loop->after(kSweepPeriod, [this] { _sweep(); });
}

void ZSignalServer::dropContact(const std::string& contact) {
    const int n = _registry.dropContact(contact);
    if (n) ZSERVER_LOGC('g', n << L" devices at (" << contact << L") signed out with their relay connection");
}

void ZSignalServer::_reply(int index, const sockaddr_in& to, const ZHTTPHeaders& request,
                           const ZHTTPHeaders& response) {
    // Assigning into the kept answer reuses its room.
    if (&response != &_answer) _answer = response;
    ZServerAnswer(request, _answer, _answerBytes);
    _sockets[index]->send(to, _answerBytes);
}

void ZSignalServer::_refuse(int index, const sockaddr_in& to, const ZHTTPHeaders& request, int code,
                            const wchar_t* reason) {
    ZSERVER_LOGC('g', L"Refusing '" << request.getMethod() << L"' from (" << ZServerHostText(to) << L"): " << code << L" "
                             << reason);
    _reply(index, to, request, ZServerResponse(code, reason));
}

void ZSignalServer::_receive(int index, const std::string& bytes, const sockaddr_in& from) {
    // The loop hands over one datagram at a time; should a handler ever
    // lead back here, the inner datagram gets a message of its own.
    if (_receiving) {
        ZHTTPHeaders request;
        if (ZServerReadDatagram(_context, bytes, from, L"Signalling", request)) _handle(index, request, bytes, from);
        return;
    }
    _receiving = true;
    if (ZServerReadDatagram(_context, bytes, from, L"Signalling", _request)) _handle(index, _request, bytes, from);
    _receiving = false;
}

void ZSignalServer::_handle(int index, const ZHTTPHeaders& request, const std::string& bytes,
                            const sockaddr_in& from) {
    const std::string source = ZServerHostText(from);
    _registry.seen(source, ZServerLoop::now());
    const std::wstring method = request.getMethod();
    if (ZCaseEquals(method, L"HOLEPUNCH")) return;
    if (request.get(L"CSeq").size() > kMaxCSeq) {
        if (ZServerWarnAllowed()) ZLOG(L"WARNING Oversize CSeq from (" << source << L"), ignoring.");
        return;
    }
    static const Route kRoutes[] = {
        {L"PING", &ZSignalServer::_onPING},
        {L"DEVICEGUID", &ZSignalServer::_onDEVICEGUID},
        {L"REGISTER", &ZSignalServer::_onREGISTER},
        {L"UNREGISTER", &ZSignalServer::_onUNREGISTER},
        {L"INVITE", &ZSignalServer::_onINVITE},
        {L"GETBUDDYLIST", &ZSignalServer::_onGETBUDDYLIST},
        {L"SETBUDDYLIST", &ZSignalServer::_onSETBUDDYLIST},
        {L"ADDBUDDY", &ZSignalServer::_onADDBUDDY},
        {L"BUGREPORT", &ZSignalServer::_onBUGREPORT},
    };
    for (const Route& r : kRoutes) {
        if (ZCaseEquals(method, r.method)) {
            (this->*r.handler)(index, request, bytes, from);
            return;
        }
    }
    if (ZServerWarnAllowed())
        ZLOG(L"WARNING Unknown request '" << method << L"' from (" << source << L"), answering 501.");
    _reply(index, from, request, ZServerResponse(501, L"Not Implemented"));
}

bool ZSignalServer::_provenFor(int index, const ZHTTPHeaders& request, const sockaddr_in& from, std::string& user) {
    if (!_speaksFor(index, request, from, user)) return false;
    if (_keyHolder(request) != user) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING '" << request.getMethod() << L"' for '" << user << L"' from (" << ZServerHostText(from)
                              << L") without the user's session key, answering 403.");
        _refuse(index, from, request, 403, L"Session key required");
        return false;
    }
    return true;
}

bool ZSignalServer::_speaksFor(int index, const ZHTTPHeaders& request, const sockaddr_in& from, std::string& user) {
    if (!ZServerCanonicalName(ZServerField(request, L"From"), user)) {
        _refuse(index, from, request, 400, L"Bad From");
        return false;
    }
    if (!_registry.userAt(user, ZServerHostText(from))) {
        _refuse(index, from, request, 403, L"Not registered");
        return false;
    }
    return true;
}

void ZSignalServer::_onPING(int index, const ZHTTPHeaders& request, const std::string&, const sockaddr_in& from) {
    // The commonest request: written straight into the kept answer.
    _answer.clear();
    _answer.set(std::wstring(), L"HTTP/1.1 200 OK");
    _answer.set(L"Observed-Host", ZFromUTF8(ZServerHostText(from)));
    _answer.set(L"Reported-Host", request.get(L"Global-Host"));
    _reply(index, from, request, _answer);
}

std::string ZSignalServer::_budgetAddress(const sockaddr_in& from) const {
    const std::string client = _relayClients ? _relayClients(from) : std::string();
    return client.empty() ? ZServerAddressText(from) : client;
}

std::string ZSignalServer::_keyHolder(const ZHTTPHeaders& request) const {
    const std::string key = ZServerField(request, L"Session-Key");
    return key.size() > 64 ? std::string() : _context.sessions->userOf(key, ZServerLoop::now());
}

void ZSignalServer::_onDEVICEGUID(int index, const ZHTTPHeaders& request, const std::string&,
                                  const sockaddr_in& from) {
    const std::string holder = _keyHolder(request);
    if (holder.empty()) {
        _refuse(index, from, request, 403, L"Session key required");
        return;
    }
    const std::string key = ZServerHostText(from) + "\n" + ZServerField(request, L"CSeq");
    auto it = _issued.find(key);
    std::string guid;
    if (it != _issued.end()) {
        guid = it->second.first;
    } else {
        // Counted by the key's holder and by address, whatever port it
        // comes from: neither a user nor a host can fill the shared memory.
        const std::int64_t now = ZServerLoop::now();
        const std::string address = _budgetAddress(from);
        if (_idsByUser.available(holder, now) < 1 || _idsByAddress.available(address, now) < 1) {
            if (ZServerWarnAllowed())
                ZLOG(L"WARNING Device identity budget of '" << holder << L"' at (" << address
                                                            << L") spent, answering 503.");
            _refuse(index, from, request, 503, L"Busy");
            return;
        }
        if (_issued.size() >= kMaxRemembered) {
            _refuse(index, from, request, 503, L"Busy");
            return;
        }
        guid = ZServerNewGUID();
        if (!_context.store->addDevice(guid, holder)) {
            _refuse(index, from, request, 500, L"Store failed");
            return;
        }
        _issued.emplace(key, std::make_pair(guid, now));
        _idsByUser.take(holder, now);
        _idsByAddress.take(address, now);
        ZSERVER_LOGC('g', L"Issued device '" << guid << L"' to (" << ZServerHostText(from) << L")");
    }
    ZHTTPHeaders answer = ZServerResponse(200, L"OK");
    answer.set(L"Device-GUID", ZFromUTF8(guid));
    _reply(index, from, request, answer);
}

void ZSignalServer::_onREGISTER(int index, const ZHTTPHeaders& request, const std::string&,
                                const sockaddr_in& from) {
    std::string user;
    std::string device;
    if (!ZServerCanonicalName(ZServerField(request, L"From"), user) ||
        !ZServerCanonicalName(ZServerField(request, L"Device-GUID"), device)) {
        _refuse(index, from, request, 400, L"Bad From or Device-GUID");
        return;
    }
    const std::string routes = ZServerField(request, L"Route-List");
    const std::string version = ZServerField(request, L"Version");
    if (routes.size() > kMaxRouteList || version.size() > 64) {
        _refuse(index, from, request, 400, L"Oversize field");
        return;
    }
    std::string owner;
    if (!_context.store->accountExists(user)) {
        _refuse(index, from, request, 404, L"Unknown user");
        return;
    }
    // Only someone who proved the user's password may sign a device in for it.
    if (_keyHolder(request) != user) {
        _refuse(index, from, request, 403, L"Session key required");
        return;
    }
    if (!_context.store->findDevice(device, owner)) {
        _refuse(index, from, request, 404, L"Unknown device");
        return;
    }
    if (!owner.empty() && owner != user) {
        _refuse(index, from, request, 403, L"Device of another user");
        return;
    }
    const std::string cseq = ZServerField(request, L"CSeq");
    const ZSignalRegistration* known = _registry.find(device);
    if (known && known->user == user && !cseq.empty() && known->cseq == cseq) {
        _reply(index, from, request, ZServerResponse(200, L"OK"));
        return;
    }
    // Each device signed in is one more datagram for every INVITE to the user.
    const bool present = known && known->user == user;
    if (!present && _registry.countOf(user) >= static_cast<std::size_t>(_context.config->maxDevicesPerUser)) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING '" << user << L"' already has " << _context.config->maxDevicesPerUser
                              << L" devices signed in, refusing device '" << device << L"'.");
        _refuse(index, from, request, 403, L"Too many devices");
        return;
    }
    // Marks the identity as in use, so the sweeps keep it while it is.
    if (!_context.store->claimDevice(device, user, version)) {
        _refuse(index, from, request, owner.empty() ? 403 : 500,
                owner.empty() ? L"Device of another user" : L"Store failed");
        return;
    }
    ZSignalRegistration r;
    r.user = user;
    r.cseq = cseq;
    r.contact = ZServerHostText(from);
    r.contactAddress = from;
    r.socket = index;
    r.routes = routes;
    r.version = version;
    r.lastSeen = ZServerLoop::now();
    _registry.add(device, r);
    ZSERVER_LOGC('g', L"Registered '" << user << L"' device '" << device << L"' at (" << r.contact << L")");
    _reply(index, from, request, ZServerResponse(200, L"OK"));
}

void ZSignalServer::_onUNREGISTER(int index, const ZHTTPHeaders& request, const std::string&,
                                  const sockaddr_in& from) {
    std::string user;
    std::string device;
    ZServerCanonicalName(ZServerField(request, L"From"), user);
    ZServerCanonicalName(ZServerField(request, L"Device-GUID"), device);
    if (user.empty() || _keyHolder(request) != user) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING 'UNREGISTER' for '" << user << L"' from (" << ZServerHostText(from)
                                               << L") without the user's session key, answering 403.");
        _refuse(index, from, request, 403, L"Session key required");
        return;
    }
    const ZSignalRegistration* r = _registry.find(device);
    // Buddies learn device identities; only the device's own address signs it out.
    if (r && (r->user != user || r->contact != ZServerHostText(from))) {
        _refuse(index, from, request, 403, L"Not this device");
        return;
    }
    if (r) _registry.remove(device);
    _reply(index, from, request, ZServerResponse(200, L"OK"));
}

void ZSignalServer::_onINVITE(int index, const ZHTTPHeaders& request, const std::string& bytes,
                              const sockaddr_in& from) {
    std::string user;
    if (!_speaksFor(index, request, from, user)) return;
    std::string buddy;
    std::string fromDevice;
    ZServerCanonicalName(ZServerField(request, L"From-Device-GUID"), fromDevice);
    if (!ZServerCanonicalName(ZServerField(request, L"To"), buddy)) {
        _refuse(index, from, request, 400, L"Bad To");
        return;
    }
    std::list<std::wstring> devices;
    ZHTTPHeaders answer = ZServerResponse(100, L"Trying");
    std::vector<const ZSignalRegistration*> targets;
    for (const std::string& device : _registry.devicesOf(buddy)) {
        if (device == fromDevice) continue;
        const ZSignalRegistration* r = _registry.find(device);
        if (!r) continue;
        devices.push_back(ZFromUTF8(device));
        answer.set(ZFromUTF8(device) + L"-Route-List", ZFromUTF8(r->routes));
        targets.push_back(r);
    }
    if (targets.empty()) {
        _reply(index, from, request, ZServerResponse(400, L"Offline"));
        return;
    }
    answer.set(L"Device-List", devices);
    const std::string key = ZServerHostText(from) + "\n" + fromDevice + "\n" + ZServerField(request, L"CSeq");
    const bool resent = _forwarded.count(key) != 0;
    // A resend is answered again but costs nothing: it is not passed on.
    const std::int64_t now = ZServerLoop::now();
    if (!resent && !_forwardsByUser.take(user, now, static_cast<double>(targets.size()))) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING INVITE forwarding budget of '" << user << L"' spent, answering 429.");
        _refuse(index, from, request, 429, L"Too many invitations");
        return;
    }
    _reply(index, from, request, answer);
    if (resent || _forwarded.size() >= kMaxRemembered) return;
    _forwarded.emplace(key, now);
    for (const ZSignalRegistration* r : targets) _sockets[r->socket]->send(r->contactAddress, bytes);
    ZSERVER_LOGC('g', L"Forwarded INVITE from '" << user << L"' to " << static_cast<int>(targets.size()) << L" devices of '"
                                          << buddy << L"'");
}
