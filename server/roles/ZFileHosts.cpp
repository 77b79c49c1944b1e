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
#include "ZUtil.h"

namespace {

ZServerConnectionLimits logLimits(const ZServerConfig& config) {
    ZServerConnectionLimits limits;
    limits.maxHeader = 8 * 1024;
    limits.maxContent = config.maxUpload;
    limits.maxParts = 1;
    limits.idleTimeout = 60000000;
    limits.streamContent = true;
    return limits;
}

ZServerConnectionLimits upgradeLimits() {
    ZServerConnectionLimits limits;
    limits.maxHeader = 8 * 1024;
    limits.maxContent = 0;
    limits.idleTimeout = 60000000;
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

ZLogHost::ZLogHost(ZServerContext& context, ZServerConnectionCount& count)
    : ZServerTCPRole(context, count, L"Log host", logLimits(*context.config),
                     std::min(context.config->maxConnectionsPerPeer, context.config->maxUploadsPerPeer)) {
    // Uploads cut off by a killed service left their hidden files behind.
    const std::string logs = context.config->data + "/logs";
    int removed = 0;
    if (DIR* top = ::opendir(logs.c_str())) {
        while (const dirent* user = ::readdir(top)) {
            if (user->d_name[0] == '.') continue;
            const std::string folder = logs + "/" + user->d_name;
            DIR* inner = ::opendir(folder.c_str());
            if (!inner) continue;
            while (const dirent* file = ::readdir(inner))
                if (std::strncmp(file->d_name, ".upload-", 8) == 0 &&
                    ::unlink((folder + "/" + file->d_name).c_str()) == 0)
                    ++removed;
            ::closedir(inner);
        }
        ::closedir(top);
    }
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
}

void ZLogHost::onHead(ZServerConnection& connection, ZHTTPHeaders& message, std::int64_t contentLength) {
    if (message.getResponse() != 0 || !ZCaseEquals(message.getMethod(), L"LOGFILE")) {
        connection.send(ZServerAnswer(message, ZServerResponse(405, L"Method Not Allowed")));
        connection.closeWhenSent();
        return;
    }
    Upload& upload = _uploads[idOf(connection)];
    _discard(upload);
    upload = Upload();
    upload.request = message;
    if (contentLength < 0) {
        // Nothing follows; onBodyEnd answers.
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
        _discard(upload);
    }
}

void ZLogHost::onBodyEnd(ZServerConnection& connection) {
    auto it = _uploads.find(idOf(connection));
    if (it == _uploads.end()) return;
    Upload upload = std::move(it->second);
    _uploads.erase(it);
    if (upload.temporary.empty() && upload.failed && upload.folder.empty()) {
        _discard(upload);
        connection.send(ZServerAnswer(upload.request, ZServerResponse(400, L"One file per LOGFILE")));
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
    _discard(upload);
    if (!ok) {
        ZLOG(L"WARNING Cannot store upload '" << ZFromUTF8(upload.name) << L"' from (" << connection.peer()
                                               << L"), answering 500.");
        connection.send(ZServerAnswer(upload.request, ZServerResponse(500, L"Cannot store")));
        return;
    }
    ZLOG(L"ACTIVITY: Stored log upload '" << ZFromUTF8(upload.folder + "/" + stored) << L"' (" << upload.size
                                          << L" bytes)");
    connection.send(ZServerAnswer(upload.request, ZServerResponse(200, L"OK")));
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
    if (message.getResponse() != 0 || !ZCaseEquals(message.getMethod(), L"GET") || end == std::string::npos) {
        ZHTTPHeaders answer = ZServerResponse(405, L"Method Not Allowed");
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
    ZSERVER_LOGC('u', L"Serving upgrade '" << name << L"' to (" << connection.peer() << L")");
    connection.send(answer.serialize());
    connection.sendFile(fd, info.st_size);
}
