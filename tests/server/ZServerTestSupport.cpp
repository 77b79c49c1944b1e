#include "ZServerTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "ZPortable_Text.h"
#include "ZTestProcess.h"

namespace servertest {

namespace {

const char* serverPath() { return ZAN_BUILD_DIR "/server/zandrel-server"; }

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

}  // namespace

ServerProcess::ServerProcess(const std::string& dataFolder, std::vector<std::string> extraArgs)
    : _data(dataFolder), _extra(std::move(extraArgs)), _logPath(dataFolder + ".server.log") {}

ServerProcess::~ServerProcess() {
    if (_pid > 0) stop(SIGKILL);
}

bool ServerProcess::start() {
    // Bases below the system's range for chosen ports, spread by process id;
    // a base in use makes the server exit at once and the next one is tried.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int slot = (static_cast<int>(getpid()) * 7 + attempt * 131 + static_cast<int>(nowMs() % 97)) % 1100;
        if (_launch(10000 + slot * 20)) return true;
    }
    return false;
}

bool ServerProcess::_launch(int base) {
    const pid_t pid = zantest::startServerAt(serverPath(), base, _data, _logPath, _extra, &_ready);
    if (pid < 0) return false;
    _pid = pid;
    _base = base;
    return true;
}

int ServerProcess::stop(int signal) {
    if (_pid <= 0) return -1;
    kill(_pid, signal);
    const int code = zantest::reapExitCode(_pid, 15000);
    if (code < 0) {
        kill(_pid, SIGKILL);
        zantest::reap(_pid, 15000);
    }
    _pid = -1;
    return code;
}

bool ServerProcess::running() const { return _pid > 0 && kill(_pid, 0) == 0 && waitpid(_pid, nullptr, WNOHANG) == 0; }

std::string ServerProcess::log() const { return ZTestReadFile(_logPath); }

int runServerProgram(const std::vector<std::string>& args, std::string& output, int timeoutMs) {
    std::string path = (std::filesystem::temp_directory_path() / "zanserverout.XXXXXX").string();
    const int fd = mkostemp(path.data(), O_CLOEXEC);
    // With the test certificate first, so a run fails for what its own
    // arguments say; a test about the certificate passes its own.
    std::vector<std::string> all = args;
    const auto given = [&](const char* name) { return std::find(args.begin(), args.end(), name) != args.end(); };
    if (!given("--insecure-plain-http") && !given("--tls-cert") && !given("--tls-key"))
        all.insert(all.begin(), {"--tls-cert", zantest::testCertificate().cert, "--tls-key",
                                 zantest::testCertificate().key});
    const pid_t pid = zantest::spawn(serverPath(), all, std::string(), -1, fd, fd);
    const int code = zantest::reapExitCode(pid, timeoutMs);
    if (code < 0) {
        kill(pid, SIGKILL);
        zantest::reap(pid, timeoutMs);
    }
    ::close(fd);
    output = ZTestReadFile(path);
    unlink(path.c_str());
    return code;
}

ZHTTPHeaders request(const wchar_t* method, const std::map<std::wstring, std::wstring>& fields) {
    ZHTTPHeaders h(method);
    for (const auto& [name, value] : fields) h.set(name, value);
    return h;
}

UDPClient::UDPClient() : _fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    const sockaddr_in a = loopback(0);
    bind(_fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    const int size = 4 << 20;
    setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
}

UDPClient::~UDPClient() { ::close(_fd); }

int UDPClient::port() const {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(_fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

std::string UDPClient::host() const { return "127.0.0.1:" + std::to_string(port()); }

void UDPClient::sendRaw(int port, const std::string& bytes) const {
    const sockaddr_in a = loopback(port);
    sendto(_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
}

bool UDPClient::receiveRaw(std::string& bytes, int& fromPort, int timeoutMs) const {
    if (!waitReadable(_fd, timeoutMs)) return false;
    bytes.assign(65536, '\0');
    sockaddr_in from{};
    socklen_t size = sizeof(from);
    const ssize_t n = recvfrom(_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
    if (n < 0) return false;
    bytes.resize(static_cast<std::size_t>(n));
    fromPort = ntohs(from.sin_port);
    return true;
}

bool UDPClient::receive(ZHTTPHeaders& message, int& fromPort, int timeoutMs) const {
    std::string bytes;
    message.clear();
    return receiveRaw(bytes, fromPort, timeoutMs) && message.deserialize(bytes) > 0;
}

ZHTTPHeaders UDPClient::ask(int port, const ZHTTPHeaders& message, int timeoutMs) const {
    send(port, message);
    ZHTTPHeaders answer;
    int from = 0;
    if (!receive(answer, from, timeoutMs)) answer.clear();
    return answer;
}

TCPClient::TCPClient(int port, const std::string& from) {
    _fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!from.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from.c_str(), &local.sin_addr);
        if (bind(_fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
            close();
            return;
        }
    }
    const sockaddr_in a = loopback(port);
    if (connect(_fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        close();
        return;
    }
    if (zantest::tlsPorts().count(port)) _tls = zantest::TLSEnd::client(_fd, zantest::testCertificate().ca, "127.0.0.1");
}

TCPClient::~TCPClient() { close(); }

void TCPClient::close() {
    _tls.reset();
    if (_fd >= 0) ::close(_fd);
    _fd = -1;
}

bool TCPClient::sendRaw(const std::string& bytes) {
    if (_tls) return _fd >= 0 && _tls->write(bytes, kPatienceMs);
    std::size_t done = 0;
    while (_fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::send(_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return done == bytes.size();
}

bool TCPClient::receive(ZHTTPHeaders& message, int timeoutMs) {
    const std::int64_t end = nowMs() + timeoutMs;
    for (;;) {
        if (!_buffer.empty()) {
            const int n = message.deserialize(_buffer);
            if (n > 0) {
                _buffer.erase(0, static_cast<std::size_t>(n));
                return true;
            }
        }
        const std::int64_t left = end - nowMs();
        if (_fd < 0 || left <= 0) return false;
        if (_tls) {
            if (_tls->read(_buffer, static_cast<int>(left)) <= 0) return false;
            continue;
        }
        if (!waitReadable(_fd, static_cast<int>(left))) return false;
        char chunk[65536];
        const ssize_t n = recv(_fd, chunk, sizeof(chunk), 0);
        if (n <= 0) return false;
        _buffer.append(chunk, static_cast<std::size_t>(n));
    }
}

bool TCPClient::closedByPeer(int timeoutMs) {
    const std::int64_t end = nowMs() + timeoutMs;
    while (_fd >= 0) {
        const std::int64_t left = end - nowMs();
        if (left <= 0) return false;
        if (_tls) {
            const long n = _tls->read(_buffer, static_cast<int>(left));
            if (n == 0) return true;
            if (n < 0) return false;
            continue;
        }
        if (!waitReadable(_fd, static_cast<int>(left))) return false;
        char chunk[65536];
        const ssize_t n = recv(_fd, chunk, sizeof(chunk), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
        if (n > 0) _buffer.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

std::string TCPClient::readToClose(int timeoutMs) {
    closedByPeer(timeoutMs);
    std::string all;
    all.swap(_buffer);
    return all;
}

ZHTTPHeaders authenticate(int port, const std::wstring& from, const std::wstring& password,
                          const std::wstring& email, const std::wstring& version) {
    TCPClient c(port);
    c.send(request(L"AUTHENTICATE", {{L"From", from}, {L"Password", password}, {L"Email", email},
                                      {L"Version", version}}));
    ZHTTPHeaders answer;
    if (!c.receive(answer, 15000)) answer.clear();
    return answer;
}

Device signUpAndRegister(const ServerProcess& server, const UDPClient& client, const std::wstring& name,
                         const std::wstring& routes) {
    Device d;
    ZHTTPHeaders created = authenticate(server.port(0), name, L"secret", name + L"@example.org");
    d.user = created.get(L"User-GUID");
    d.key = created.get(L"Session-Key");
    if (d.user.empty()) return Device();
    ZHTTPHeaders id = client.ask(server.port(5), request(L"DEVICEGUID", {{L"CSeq", L"1 (ZDispatchService)"},
                                                                         {L"Session-Key", d.key}}));
    d.guid = id.get(L"Device-GUID");
    ZHTTPHeaders reg = client.ask(server.port(5), request(L"REGISTER", {{L"CSeq", L"2 (ZDispatchService)"},
                                                                         {L"From", d.user},
                                                                         {L"Device-GUID", d.guid},
                                                                         {L"Version", L"764"},
                                                                         {L"Route-List", routes},
                                                                         {L"Session-Key", d.key}}));
    if (reg.getResponse() != 200) return Device();
    return d;
}

}  // namespace servertest
