#include "ZFileHosts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "ZPortable_Text.h"
#include "ZServerGuard.h"
#include "ZUtil.h"

namespace {

ZServerConnectionLimits logLimits(const ZServerConfig& config) {
    ZServerConnectionLimits limits;
    limits.maxHeader = 8 * 1024;
    limits.maxContent = config.maxUpload;
    limits.maxParts = 1;
    limits.idleTimeout = 60000000;
    limits.streamContent = true;
    limits.answerRefusals = true;
    return limits;
}

ZServerConnectionLimits upgradeLimits() {
    ZServerConnectionLimits limits;
    limits.maxHeader = 8 * 1024;
    limits.maxContent = 0;
    limits.idleTimeout = 60000000;
    limits.answerRefusals = true;
    return limits;
}

bool writeAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string ZServerSafeName(const std::string& text, const std::string& fallback) {
    const std::size_t slash = text.find_last_of("/\\");
    const std::string base = slash == std::string::npos ? text : text.substr(slash + 1);
    std::string out;
    for (char c : base) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_' || c == '@';
        if (!ok) continue;
        if (out.empty() && c == '.') continue;
        out += c;
    }
    if (out.size() > 100) out.resize(100);
    return out.empty() ? fallback : out;
}

namespace {

constexpr std::int64_t kHour = 3600LL * 1000000;

// The account an upload is charged to: its "From" without the device, which
// follows the account's identifier after the last '@'.
std::string accountOf(const std::string& folder) {
    const std::size_t first = folder.find('@');
    const std::size_t last = folder.rfind('@');
    return first != last ? folder.substr(0, last) : folder;
}

std::string addressOf(const std::string& peer) { return peer.substr(0, peer.rfind(':')); }

}  // namespace

ZLogHost::ZLogHost(ZServerContext& context, ZServerConnectionCount& count)
    : ZServerTCPRole(context, count, L"Log host", logLimits(*context.config),
                     std::min(context.config->maxConnectionsPerPeer, context.config->maxUploadsPerPeer)),
      _store(context.config->data + "/logs", ZLogStore::Limits{context.config->logQuota, context.config->minFreeSpace}),
      _perSource(context.config->logQuotaPerSource, kHour),
      _perAccount(context.config->logQuotaPerAccount, kHour) {
    // Uploads cut off by a killed service left their hidden files behind.
    const int removed = _store.scan();
    if (removed) ZLOG(L"ACTIVITY: Removed " << removed << L" unfinished log uploads");
}

ZLogHost::~ZLogHost() {
    for (auto& [id, upload] : _uploads) _discard(upload);
}

void ZLogHost::_discard(Upload& upload) {
    if (upload.fd >= 0) ::close(upload.fd);
    upload.fd = -1;
    if (!upload.temporary.empty()) ::unlink(upload.temporary.c_str());
    upload.temporary.clear();
    if (upload.held) _store.release(upload.held);
    upload.held = 0;
}

void ZLogHost::_answer(ZServerConnection& connection, const ZHTTPHeaders& request, int code, const wchar_t* reason) {
    ZHTTPHeaders answer = ZServerResponse(code, reason);
    if (code == 405) answer.set(L"Allow", L"LOGFILE");
    answer.set(L"Content-Length", 0);
    answer.set(L"Connection", L"close");
    connection.send(ZServerAnswer(request, answer));
    // One upload per connection, as the client sends them: a plain HTTP
    // client learns from the close that nothing more is coming.
    connection.closeWhenSent();
}

bool ZLogHost::_admit(ZServerConnection& connection, Upload& upload, std::int64_t length) {
    const std::string source = addressOf(connection.peer());
    const std::string account = accountOf(ZServerSafeName(ZServerField(upload.request, L"From"), "anonymous"));
    const std::int64_t now = ZServerLoop::now();
    const wchar_t* whose = nullptr;
    if (!_perSource.take(source, length, now)) {
        whose = L"address";
    } else if (!_perAccount.take(account, length, now)) {
        _perSource.give(source, length);
        whose = L"account";
    }
    if (whose) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING Log upload of " << length << L" bytes from (" << connection.peer() << L") for '"
                                           << ZFromUTF8(account) << L"' is over the hourly quota of its " << whose
                                           << L", answering 429.");
        upload.status = 429;
        upload.reason = L"Upload quota exceeded";
        return false;
    }
    const ZLogStore::Verdict verdict = _store.reserve(length);
    const int expired = _store.expired();
    if (expired != _expiredLogged) {
        if (ZServerWarnAllowed())
            ZLOG(L"ACTIVITY: Removed " << expired - _expiredLogged << L" oldest log uploads to stay within the quota");
        _expiredLogged = expired;
    }
    if (verdict == ZLogStore::Verdict::Taken) {
        upload.held = length;
        return true;
    }
    _perSource.give(source, length);
    _perAccount.give(account, length);
    if (ZServerWarnAllowed())
        ZLOG(L"WARNING Log upload of " << length << L" bytes from (" << connection.peer() << L") refused: "
                                       << (verdict == ZLogStore::Verdict::LowSpace ? L"the disk is nearly full"
                                                                                   : L"the log quota is held by uploads")
                                       << L", answering 507.");
    upload.status = 507;
    upload.reason = L"Insufficient Storage";
    return false;
}

void ZLogHost::_diskFull(ZServerConnection& connection, Upload& upload) {
    if (ZServerWarnAllowed())
        ZLOG(L"WARNING Log upload from (" << connection.peer() << L") ran out of disk space, answering 507.");
    upload.status = 507;
    upload.reason = L"Insufficient Storage";
}

void ZLogHost::onHead(ZServerConnection& connection, ZHTTPHeaders& message, std::int64_t contentLength) {
    if (message.getResponse() != 0 || !ZCaseEquals(message.getMethod(), L"LOGFILE")) {
        _answer(connection, message, 405, L"Method Not Allowed");
        return;
    }
    Upload& upload = _uploads[idOf(connection)];
    _discard(upload);
    upload = Upload();
    upload.request = message;
    if (contentLength < 0) {
        // Nothing follows; onBodyEnd answers.
        upload.failed = true;
        upload.status = 400;
        upload.reason = L"One file per LOGFILE";
        return;
    }
    if (!_admit(connection, upload, contentLength)) {
        // The content is still read, so the answer reaches the sender
        // rather than a reset.
        upload.failed = true;
        return;
    }
    upload.folder = _context.config->data + "/logs/" + ZServerSafeName(ZServerField(message, L"From"), "anonymous");
    upload.name = ZServerSafeName(ZServerField(message, L"Filename"), "upload.log");
    ::mkdir(upload.folder.c_str(), 0700);
    std::string temporary = upload.folder + "/.upload-XXXXXX";
    upload.fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (upload.fd < 0) {
        upload.failed = true;
        if (errno == ENOSPC || errno == EDQUOT) _diskFull(connection, upload);
        return;
    }
    upload.temporary = temporary;
}

void ZLogHost::onBody(ZServerConnection& connection, const char* bytes, std::size_t size) {
    auto it = _uploads.find(idOf(connection));
    if (it == _uploads.end()) return;
    Upload& upload = it->second;
    upload.size += static_cast<std::int64_t>(size);
    if (upload.failed || upload.fd < 0) return;
    if (!writeAll(upload.fd, std::string_view(bytes, size))) {
        upload.failed = true;
        if (errno == ENOSPC || errno == EDQUOT) _diskFull(connection, upload);
        _discard(upload);
    }
}

void ZLogHost::onBodyEnd(ZServerConnection& connection) {
    auto it = _uploads.find(idOf(connection));
    if (it == _uploads.end()) return;
    Upload upload = std::move(it->second);
    _uploads.erase(it);
    if (upload.status) {
        _discard(upload);
        _answer(connection, upload.request, upload.status, upload.reason);
        return;
    }
    std::string stored;
    bool ok = !upload.failed && upload.fd >= 0 && ::close(upload.fd) == 0;
    upload.fd = -1;
    // Never replace an earlier upload: the next free name gets the file.
    for (int n = 0; ok && n < 1000; ++n) {
        stored = n == 0 ? upload.name : upload.name + "." + std::to_string(n);
        if (::link(upload.temporary.c_str(), (upload.folder + "/" + stored).c_str()) == 0) break;
        if (errno != EEXIST || n == 999) ok = false;
    }
    if (ok) {
        _store.stored(upload.folder + "/" + stored, upload.held, upload.size);
        upload.held = 0;
    }
    _discard(upload);
    if (!ok) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING Cannot store upload '" << ZFromUTF8(upload.name) << L"' from (" << connection.peer()
                                                   << L"), answering 500.");
        _answer(connection, upload.request, 500, L"Cannot store");
        return;
    }
    ZLOG(L"ACTIVITY: Stored log upload '" << ZFromUTF8(upload.folder + "/" + stored) << L"' (" << upload.size
                                          << L" bytes)");
    _answer(connection, upload.request, 200, L"OK");
}

void ZLogHost::_closed(ZServerConnection& connection) {
    auto it = _uploads.find(idOf(connection));
    if (it == _uploads.end()) return;
    // Cut off: what arrived of it is not kept.
    _discard(it->second);
    _uploads.erase(it);
}

ZUpgradeHost::ZUpgradeHost(ZServerContext& context, ZServerConnectionCount& count)
    : ZServerTCPRole(context, count, L"Upgrade host", upgradeLimits(), context.config->maxConnectionsPerPeer) {}

void ZUpgradeHost::onMessage(ZServerConnection& connection, ZHTTPHeaders& message) {
    // One answer per connection, then it closes once everything is written.
    struct CloseWhenAnswered {
        ZServerConnection& c;
        ~CloseWhenAnswered() { c.closeWhenSent(); }
    } closer{connection};
    const std::string line = ZServerField(message, L"");
    const std::size_t space = line.find(' ');
    const std::size_t end = space == std::string::npos ? std::string::npos : line.find(' ', space + 1);
    const bool head = ZCaseEquals(message.getMethod(), L"HEAD");
    if (message.getResponse() != 0 || !(head || ZCaseEquals(message.getMethod(), L"GET")) || end == std::string::npos) {
        ZHTTPHeaders answer = ZServerResponse(405, L"Method Not Allowed");
        answer.set(L"Allow", L"GET, HEAD");
        answer.set(L"Content-Length", 0);
        connection.send(answer.serialize());
        return;
    }
    std::string path = line.substr(space + 1, end - space - 1);
    const std::size_t query = path.find('?');
    if (query != std::string::npos) path.resize(query);
    const std::string name = path.size() > 1 && path[0] == '/' ? path.substr(1) : std::string();
    int fd = -1;
    struct stat info {};
    if (!name.empty() && ZServerSafeName(name, "") == name) {
        const std::string file = _context.config->data + "/upgrades/" + name;
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
            ::close(fd);
            fd = -1;
        }
    }
    if (fd < 0) {
        ZHTTPHeaders answer = ZServerResponse(404, L"Not Found");
        answer.set(L"Content-Length", 0);
        connection.send(answer.serialize());
        return;
    }
    ZHTTPHeaders answer = ZServerResponse(200, L"OK");
    answer.set(L"Content-Length", static_cast<std::int64_t>(info.st_size));
    answer.set(L"Content-Type", L"application/octet-stream");
    answer.set(L"Connection", L"close");
    connection.send(answer.serialize());
    if (head) {
        // The headers a GET would have, without the file.
        ::close(fd);
        return;
    }
    ZSERVER_LOGC('u', L"Serving upgrade '" << name << L"' to (" << connection.peer() << L")");
    connection.sendFile(fd, info.st_size);
}
