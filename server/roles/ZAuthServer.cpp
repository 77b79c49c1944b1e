#include "ZAuthServer.h"

#include <memory>

#include "ZPortable_Text.h"
#include "ZServerPassword.h"
#include "ZServerSessions.h"
#include "ZServerStore.h"
#include "ZServerWorkers.h"
#include "ZUtil.h"

namespace {

ZServerConnectionLimits authLimits() {
    ZServerConnectionLimits limits;
    limits.maxHeader = 8 * 1024;
    limits.maxContent = 0;
    limits.idleTimeout = 15000000;
    // A request sent a byte at a time would otherwise hold its place for hours.
    limits.firstMessageTimeout = 15000000;
    limits.answerRefusals = true;
    return limits;
}

constexpr std::size_t kMaxPassword = 1024;
constexpr std::size_t kMaxEmail = 254;
constexpr std::int64_t kHour = 3600LL * 1000000;

ZSignInThrottle::Limits throttleLimits(const ZServerConfig& c) {
    ZSignInThrottle::Limits limits;
    limits.freeFailures = c.signInFreeFailures;
    limits.delay = static_cast<std::int64_t>(c.signInDelay) * 1000000;
    limits.maxDelay = static_cast<std::int64_t>(c.signInMaxDelay) * 1000000;
    if (limits.maxDelay < limits.delay) limits.maxDelay = limits.delay;
    limits.accountFailures = c.signInAccountFailures;
    limits.sourceFailures = c.signInSourceFailures;
    return limits;
}

bool plainText(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

}  // namespace

ZAuthServer::ZAuthServer(ZServerContext& context, ZServerConnectionCount& count)
    : ZServerTCPRole(context, count, L"Authentication", authLimits(), context.config->maxConnectionsPerPeer, true),
      _throttle(throttleLimits(*context.config)),
      _creations(context.config->accountsPerSource, kHour) {}

ZHTTPHeaders ZAuthServer::_success(int version) const {
    ZHTTPHeaders h = ZServerResponse(200, L"OK");
    std::list<std::wstring> stun;
    for (const std::string& s : _hosts.stun) stun.push_back(ZFromUTF8(s));
    std::list<std::wstring> sip;
    for (const std::string& s : _hosts.sip) sip.push_back(ZFromUTF8(s));
    h.set(L"STUN-Host-List", stun);
    h.set(L"SIP-Host-List", sip);
    h.set(L"TURN-Host", ZFromUTF8(_hosts.turn));
    h.set(L"Logfile-Host", ZFromUTF8(_hosts.logfile));
    const ZServerConfig& c = *_context.config;
    if (!c.upgradeFile.empty() && version < c.upgradeVersion) {
        h.set(L"Upgrade-URL", ZFromUTF8("http://" + _hosts.upgrade + "/" + c.upgradeFile));
        h.set(L"Upgrade-Name", ZFromUTF8(c.upgradeName.empty() ? c.upgradeFile : c.upgradeName));
        h.set(L"Upgrade-Priority", ZFromUTF8(c.upgradePriority));
    }
    return h;
}

void ZAuthServer::_answer(std::uint64_t id, ZHTTPHeaders response) {
    ZServerConnection* c = find(id);
    if (!c) return;
    if (c->busy > 0) --c->busy;
    c->send(response.serialize());
    c->closeWhenSent();
}

void ZAuthServer::onMessage(ZServerConnection& connection, ZHTTPHeaders& message) {
    const std::uint64_t id = idOf(connection);
    // One request per connection: whatever follows it is not read, and the
    // connection stays open until its answer is written.
    ++connection.busy;
    connection.closeWhenSent();
    if (!ZCaseEquals(message.getMethod(), L"AUTHENTICATE") || message.getResponse() != 0) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING Unexpected '" << message.getMethod() << L"' on the authentication server from ("
                                         << connection.peer() << L"), refusing.");
        _answer(id, ZServerResponse(405, L"Method Not Allowed"));
        return;
    }
    std::string from;
    const std::string password = ZServerField(message, L"Password");
    const std::string email = ZServerField(message, L"Email");
    const int version = static_cast<int>(ZToInt64(message.get(L"Version")));
    if (!ZServerCanonicalName(ZServerField(message, L"From"), from) || password.size() > kMaxPassword ||
        email.size() > kMaxEmail || !plainText(email)) {
        _answer(id, ZServerResponse(400, L"Bad Request"));
        return;
    }
    const std::size_t at = from.find('@');
    if (at != std::string::npos) {
        _signIn(connection, from, password, version);
        return;
    }
    _create(connection, from, password, email, version);
}

bool ZAuthServer::_submit(ZServerConnection& connection, ZServerWorkers::Priority priority,
                          std::function<void()> job, std::function<void()> done) {
    const ZServerWorkers::Result r =
        _context.workers->submit(connection.peerAddress(), priority, std::move(job), std::move(done));
    if (r == ZServerWorkers::Result::Queued) return true;
    if (ZServerWarnAllowed()) {
        if (r == ZServerWorkers::Result::SourceFull)
            ZLOG(L"WARNING Too many sign-ins queued from (" << connection.peer() << L"), answering 503.");
        else
            ZLOG(L"WARNING The hashing queue is full, refusing (" << connection.peer() << L") with 503.");
    }
    _answer(idOf(connection), ZServerResponse(503, L"Busy"));
    return false;
}

void ZAuthServer::_throttled(std::uint64_t id, std::int64_t wait, const wchar_t* reason) {
    ZHTTPHeaders answer = ZServerResponse(429, reason);
    answer.set(L"Retry-After", (wait + 999999) / 1000000);
    _answer(id, answer);
}

void ZAuthServer::_guessing(ZServerConnection& connection, const std::string& guid, std::int64_t wait) {
    if (ZServerWarnAllowed())
        ZLOG(L"WARNING Sign-in to '" << ZFromUTF8(guid) << L"' from (" << connection.peer() << L") waits "
                                     << (wait + 999999) / 1000000 << L" s after wrong passwords, answering 429.");
    _throttled(idOf(connection), wait, L"Too many attempts");
}

void ZAuthServer::_signIn(ZServerConnection& connection, const std::string& guid, const std::string& password,
                          int version) {
    const std::uint64_t id = idOf(connection);
    const std::uint32_t source = connection.peerAddress();
    const std::int64_t now = ZServerLoop::now();
    // A waiting guesser costs no database look-up.
    if (const std::int64_t wait = _throttle.waiting(guid, source, now)) {
        _guessing(connection, guid, wait);
        return;
    }
    auto account = std::make_shared<ZServerAccount>();
    if (!_context.store->findAccount(guid, *account)) {
        ZSERVER_LOGC('a', L"Sign-in refused for unknown account '" << guid << L"'");
        if (const std::int64_t wait = _throttle.unknownAccount(source, now)) {
            _guessing(connection, guid, wait);
            return;
        }
        _answer(id, ZServerResponse(403, L"Incorrect name or password"));
        return;
    }
    const ZServerWorkers::Priority priority =
        _throttle.suspect(guid, source, now) ? ZServerWorkers::Priority::Suspect : ZServerWorkers::Priority::Urgent;
    // Counted now, before the hash: requests sent together cannot all be
    // hashed before the first of them has failed.
    if (const std::int64_t wait = _throttle.admit(guid, source, now)) {
        _guessing(connection, guid, wait);
        return;
    }
    auto result = std::make_shared<bool>(false);
    auto job = [account, password, result] {
        *result = ZServerSameBytes(ZServerHashPassword(password, account->salt, account->iterations), account->hash);
    };
    auto done = [this, id, account, result, version, source] {
        if (!*result) {
            ZSERVER_LOGC('a', L"Sign-in refused for account '" << account->guid << L"': wrong password");
            _throttle.failed(account->guid, source, ZServerLoop::now());
            _answer(id, ZServerResponse(403, L"Incorrect name or password"));
            return;
        }
        ZSERVER_LOGC('a', L"Account '" << account->guid << L"' signed in");
        _throttle.succeeded(account->guid, source, ZServerLoop::now());
        ZHTTPHeaders answer = _success(version);
        answer.set(L"Session-Key", ZFromUTF8(_context.sessions->issue(account->guid, ZServerLoop::now())));
        _answer(id, answer);
    };
    if (!_submit(connection, priority, job, done)) _throttle.withdrawn(guid, source, now);
}

void ZAuthServer::_create(ZServerConnection& connection, const std::string& name, const std::string& password,
                          const std::string& email, int version) {
    const std::uint64_t id = idOf(connection);
    auto account = std::make_shared<ZServerAccount>();
    account->name = name;
    account->guid = name + "@" + _context.config->domain;
    account->email = email;
    account->iterations = _context.config->pbkdf2Iterations;
    if (_context.store->accountExists(account->guid)) {
        _answer(id, ZServerResponse(409, L"Name already in use"));
        return;
    }
    if (email.empty() || password.empty()) {
        _answer(id, ZServerResponse(400, L"Email and password required"));
        return;
    }
    const std::string address = connection.peer().substr(0, connection.peer().rfind(':'));
    const std::int64_t now = ZServerLoop::now();
    if (!_creations.take(address, 1, now)) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING Too many new accounts from (" << connection.peer() << L") this hour, answering 429.");
        _throttled(id, _creations.waitFor(address, now), L"Too many new accounts");
        return;
    }
    auto job = [account, password] {
        account->salt = ZServerNewSalt();
        account->hash = ZServerHashPassword(password, account->salt, account->iterations);
    };
    auto done = [this, id, account, version] {
        if (account->hash.empty() || !_context.store->createAccount(*account)) {
            if (_context.store->outOfSpace()) {
                if (ZServerWarnAllowed())
                    ZLOG(L"WARNING Cannot store the new account '" << ZFromUTF8(account->guid)
                                                                   << L"': the database is out of space, answering 507.");
                _answer(id, ZServerResponse(507, L"Insufficient Storage"));
                return;
            }
            _answer(id, ZServerResponse(409, L"Name already in use"));
            return;
        }
        ZLOG(L"ACTIVITY: Created account '" << account->guid << L"'");
        ZHTTPHeaders answer = _success(version);
        answer.set(L"User-GUID", ZFromUTF8(account->guid));
        answer.set(L"Session-Key", ZFromUTF8(_context.sessions->issue(account->guid, ZServerLoop::now())));
        _answer(id, answer);
    };
    if (!_submit(connection, ZServerWorkers::Priority::Later, job, done)) _creations.give(address, 1);
}
