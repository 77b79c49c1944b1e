#include "ZFileHosts.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

ZServerConnectionLimits logLimits(const ZServerConfig& config) {
    ZServerConnectionLimits limits;
    limits.maxHeader = 8 * 1024;
    limits.maxContent = config.maxUpload;
    limits.maxParts = 1;
    limits.idleTimeout = 60000000;
    return limits;
}

ZServerConnectionLimits upgradeLimits() {
    ZServerConnectionLimits limits;
    limits.maxHeader = 8 * 1024;
    limits.maxContent = 0;
    limits.idleTimeout = 60000000;
    return limits;
}

bool writeAll(int fd, const std::string& bytes) {
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
    : ZServerTCPRole(context, count, L"Log host", logLimits(*context.config)) {}

bool ZLogHost::_store(const std::string& folder, const std::string& name, const std::string& bytes,
                      std::string& stored) {
    ::mkdir(folder.c_str(), 0700);
    // Never replace an earlier upload: the next free name gets the bytes.
    for (int n = 0; n < 1000; ++n) {
        stored = n == 0 ? name : name + "." + std::to_string(n);
        const std::string path = folder + "/" + stored;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return false;
        }
        const bool ok = writeAll(fd, bytes);
        ::close(fd);
        if (!ok) ::unlink(path.c_str());
        return ok;
    }
    return false;
}

void ZLogHost::onMessage(ZServerConnection& connection, ZHTTPHeaders& message) {
    if (message.getResponse() != 0 || !ZCaseEquals(message.getMethod(), L"LOGFILE")) {
        connection.send(ZServerAnswer(message, ZServerResponse(405, L"Method Not Allowed")));
        connection.closeWhenSent();
        return;
    }
    if (message.getContentCount() != 1) {
        connection.send(ZServerAnswer(message, ZServerResponse(400, L"One file per LOGFILE")));
        return;
    }
    const std::string folder = _context.config->data + "/logs/" + ZServerSafeName(ZServerField(message, L"From"), "anonymous");
    const std::string name = ZServerSafeName(ZServerField(message, L"Filename"), "upload.log");
    std::string stored;
    if (!_store(folder, name, message.getContent(0), stored)) {
        ZLOG(L"WARNING Cannot store upload '" << name << L"' from (" << connection.peer() << L"), answering 500.");
        connection.send(ZServerAnswer(message, ZServerResponse(500, L"Cannot store")));
        return;
    }
    ZLOG(L"ACTIVITY: Stored log upload '" << folder << L"/" << stored << L"' ("
                                          << static_cast<int>(message.getContent(0).size()) << L" bytes)");
    connection.send(ZServerAnswer(message, ZServerResponse(200, L"OK")));
}

ZUpgradeHost::ZUpgradeHost(ZServerContext& context, ZServerConnectionCount& count)
    : ZServerTCPRole(context, count, L"Upgrade host", upgradeLimits()) {}

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
    ZLOGC('u', L"Serving upgrade '" << name << L"' to (" << connection.peer() << L")");
    connection.send(answer.serialize());
    connection.sendFile(fd, info.st_size);
}
