// Load on a real zandrel-server over loopback: sign-ins per second (over
// TLS, beside a second service of the same run that speaks in clear),
// the sign-in answer time of the request client over TLS and in clear,
// signalling requests per second, and the memory one registered device
// costs with 10,000 registered. Starts the program built beside this one
// (../server/zandrel-server, or $ZAN_SERVER) with its data in a fresh folder.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <limits.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "ZHTTPClient.h"
#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZPortable_Text.h"

namespace {

// $ZAN_PORT_BASE, or a base spread by process id below the system's range.
const int kBase = getenv("ZAN_PORT_BASE") ? atoi(getenv("ZAN_PORT_BASE")) : 12000 + getpid() % 900 * 20;

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

// The service of this run that speaks TLS on its authentication, log and
// upgrade hosts (at kBase), and the one that speaks in clear (at kBase + 20).
class Server {
public:
    static Server& get() {
        static Server server(true);
        return server;
    }
    static Server& plain() {
        static Server server(false);
        return server;
    }
    int base() const { return _base; }
    const std::string& caFile() const { return _ca; }
    pid_t pid() const { return _pid; }
    bool ok() const { return _pid > 0; }
    ~Server() {
        if (_pid > 0) {
            kill(_pid, SIGTERM);
            waitpid(_pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(_data, ignored);
    }

private:
    explicit Server(bool tls) : _base(tls ? kBase : kBase + 20) {
        char self[PATH_MAX] = {0};
        const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        std::string path = std::filesystem::path(std::string(self, n > 0 ? n : 0)).parent_path().string() +
                           "/../server/zandrel-server";
        if (const char* env = getenv("ZAN_SERVER")) path = env;
        char folder[] = "/tmp/zanbench.XXXXXX";
        _data = mkdtemp(folder);
        _ca = _data + "/cert.pem";
        const std::string key = _data + "/key.pem";
        const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                                 "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                                 key + " -out " + _ca + " 2> /dev/null";
        if (tls && system(make.c_str()) != 0) return;
        int out[2];
        if (pipe(out) != 0) return;
        const std::string workers = getenv("ZAN_WORKERS") ? getenv("ZAN_WORKERS") : "2";
        std::vector<std::string> args = {path, "--bind", "127.0.0.1", "--port-base", std::to_string(_base), "--data",
                                         _data, "--flood-limit", "0", "--workers", workers};
        if (tls)
            args.insert(args.end(), {"--tls-cert", _ca, "--tls-key", key});
        else
            args.insert(args.end(), {"--insecure-plain-http", "--relay-port-low", std::to_string(_base + 10),
                                     "--relay-port-count", "5"});
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        _pid = fork();
        if (_pid == 0) {
            dup2(out[1], 1);
            execv(path.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        char buffer[1024];
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 20000) != 1 || read(out[0], buffer, sizeof(buffer)) <= 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
            _pid = -1;
        }
        close(out[0]);
    }
    int _base;
    pid_t _pid = -1;
    std::string _data;
    std::string _ca;
};

// One exchange on a new TLS connection that checks the service's certificate,
// as the client does.
std::string roundTripTLS(int port, const std::string& bytes) {
    static SSL_CTX* context = [] {
        signal(SIGPIPE, SIG_IGN);
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_options(c, SSL_OP_IGNORE_UNEXPECTED_EOF);
        SSL_CTX_load_verify_locations(c, Server::get().caFile().c_str(), nullptr);
        return c;
    }();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    std::string all;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0) {
        SSL* ssl = SSL_new(context);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) == 1 && SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0) {
            char chunk[4096];
            int n;
            while ((n = SSL_read(ssl, chunk, sizeof(chunk))) > 0) all.append(chunk, static_cast<std::size_t>(n));
        }
        SSL_free(ssl);
    }
    close(fd);
    return all;
}

std::string roundTripTCP(int port, const std::string& bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    std::string all;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0 &&
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
        char chunk[4096];
        ssize_t n;
        while ((n = recv(fd, chunk, sizeof(chunk), 0)) > 0) all.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    return all;
}

int status(const std::string& bytes) {
    ZHTTPHeaders h;
    return h.deserialize(bytes) > 0 ? h.getResponse() : 0;
}

std::string authenticate(const std::wstring& from, const std::wstring& email) {
    ZHTTPHeaders h(L"AUTHENTICATE");
    h.set(L"From", from);
    h.set(L"Password", L"benchmark password");
    h.set(L"Email", email);
    h.set(L"Version", L"764");
    return h.serialize();
}

std::once_flag g_account;

// One UDP socket for request and answer round trips.
class UDP {
public:
    UDP() : _fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in a = loopback(0);
        bind(_fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    }
    ~UDP() { close(_fd); }
    void send(int port, const std::string& bytes) const {
        const sockaddr_in a = loopback(port);
        sendto(_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    }
    std::string receive() const {
        pollfd p{_fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return std::string();
        const ssize_t n = recv(_fd, _buffer, sizeof(_buffer), 0);
        return std::string(_buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
    }

private:
    int _fd;
    mutable char _buffer[65536];
};

std::string message(const wchar_t* method, std::initializer_list<std::pair<const wchar_t*, std::wstring>> fields) {
    ZHTTPHeaders h(method);
    for (const auto& [name, value] : fields) h.set(name, value);
    return h.serialize();
}

long residentKB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stol(line.substr(6));
    return 0;
}

std::once_flag g_plainAccount;

// Sign-ins per second at the password-hash ceiling: state.range(0) is 1 for
// the service over TLS, 0 for the one in clear (the reference).
void BM_SignIn(benchmark::State& state) {
    const bool tls = state.range(0) == 1;
    Server& server = tls ? Server::get() : Server::plain();
    if (!server.ok()) {
        state.SkipWithError("zandrel-server did not start");
        return;
    }
    auto exchange = [tls, &server](const std::string& bytes) {
        return tls ? roundTripTLS(server.base(), bytes) : roundTripTCP(server.base(), bytes);
    };
    std::call_once(tls ? g_account : g_plainAccount,
                   [&exchange] { exchange(authenticate(L"bench", L"b@example.org")); });
    const std::string request = authenticate(L"bench@zandrel.net", L"");
    for (auto _ : state) {
        if (status(exchange(request)) != 200) state.SkipWithError("sign-in refused");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignIn)->ArgName("tls")->Arg(0)->Arg(1)->ThreadRange(1, 8)->UseRealTime();

// The answer time of one sign-in through the client's own request client,
// from its creation to the whole answer: state.range(0) as above.
void BM_SignInAnswer(benchmark::State& state) {
    const bool tls = state.range(0) == 1;
    Server& server = tls ? Server::get() : Server::plain();
    if (!server.ok()) {
        state.SkipWithError("zandrel-server did not start");
        return;
    }
    static bool initialised = false;
    if (!initialised) {
        ZInitializeNonPortable(nullptr);
        initialised = true;
    }
    ZHTTPClientSecurity security;
    security.tls = tls;
    security.caFile = ZFromUTF8(Server::get().caFile());
    const std::wstring host = L"127.0.0.1:" + ZToString(server.base());
    auto signIn = [&](const std::wstring& from, const std::wstring& email) {
        ZHTTPHeaders request(L"AUTHENTICATE");
        request.set(L"From", from);
        request.set(L"Password", L"benchmark password");
        request.set(L"Email", email);
        request.set(L"Version", L"764");
        ZHTTPClient* client = ZSAFENEW(ZHTTPClient, host, request, security);
        ZHTTPHeaders answer;
        while (client->isAlive() && !client->recv(answer)) client->update(100000);
        delete client;
        return answer.getResponse();
    };
    signIn(L"answer", L"a@example.org");
    for (auto _ : state)
        if (signIn(L"answer@zandrel.net", L"") != 200) state.SkipWithError("sign-in refused");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SignInAnswer)->ArgName("tls")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SignallingPing(benchmark::State& state) {
    Server& server = Server::get();
    if (!server.ok()) {
        state.SkipWithError("zandrel-server did not start");
        return;
    }
    UDP udp;
    const int window = static_cast<int>(state.range(0));
    const std::string ping = message(L"PING", {{L"CSeq", L"1 (ZDispatchService)"}, {L"Global-Host", L"1.2.3.4:5"}});
    for (auto _ : state) {
        for (int i = 0; i < window; ++i) udp.send(kBase + 5, ping);
        for (int i = 0; i < window; ++i)
            if (udp.receive().empty()) state.SkipWithError("answer lost");
    }
    state.SetItemsProcessed(state.iterations() * window);
}
BENCHMARK(BM_SignallingPing)->Arg(1)->Arg(32)->ThreadRange(1, 4)->UseRealTime();

// The reference for the PING figures: a plain C echo of every datagram, in
// a process of its own on a loopback port beside the service's, sent the
// same PING bytes in the same windows.
class Echo {
public:
    static Echo& get() {
        static Echo echo;
        return echo;
    }
    int port() const { return _port; }
    ~Echo() {
        if (_pid > 0) {
            kill(_pid, SIGTERM);
            waitpid(_pid, nullptr, 0);
        }
    }

private:
    Echo() {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = loopback(_port);
        int size = 1 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) return;
        _pid = fork();
        if (_pid == 0) {
            char buffer[65536];
            for (;;) {
                sockaddr_in from{};
                socklen_t length = sizeof(from);
                const ssize_t n = recvfrom(fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (n >= 0)
                    sendto(fd, buffer, static_cast<std::size_t>(n), 0, reinterpret_cast<const sockaddr*>(&from), length);
            }
        }
        close(fd);
    }
    int _port = kBase + 19;
    pid_t _pid = -1;
};

void BM_RawEchoPing(benchmark::State& state) {
    Echo& echo = Echo::get();
    UDP udp;
    const int window = static_cast<int>(state.range(0));
    const std::string ping = message(L"PING", {{L"CSeq", L"1 (ZDispatchService)"}, {L"Global-Host", L"1.2.3.4:5"}});
    for (auto _ : state) {
        for (int i = 0; i < window; ++i) udp.send(echo.port(), ping);
        for (int i = 0; i < window; ++i)
            if (udp.receive().empty()) state.SkipWithError("echo lost");
    }
    state.SetItemsProcessed(state.iterations() * window);
}
BENCHMARK(BM_RawEchoPing)->Arg(1)->Arg(32)->ThreadRange(1, 4)->UseRealTime();

// REGISTER of one device again and again (each a new CSeq): the request
// whose session key is checked, against a service that checks none when run
// with an older $ZAN_SERVER.
void BM_SignallingRegister(benchmark::State& state) {
    Server& server = Server::get();
    if (!server.ok()) {
        state.SkipWithError("zandrel-server did not start");
        return;
    }
    // Google Benchmark calls this more than once: the account is made once,
    // later calls sign in to it.
    static const std::wstring email = L"a@example.org";
    ZHTTPHeaders account;
    static bool made = false;
    account.deserialize(roundTripTCP(kBase, made ? authenticate(L"again@zandrel.net", L"")
                                                 : authenticate(L"again", email)));
    made = true;
    const std::wstring key = account.get(L"Session-Key");
    UDP udp;
    udp.send(kBase + 5, message(L"DEVICEGUID", {{L"CSeq", L"1"}, {L"Session-Key", key}}));
    ZHTTPHeaders id;
    id.deserialize(udp.receive());
    const int window = 32;
    std::int64_t n = 0;
    for (auto _ : state) {
        for (int i = 0; i < window; ++i)
            udp.send(kBase + 5, message(L"REGISTER", {{L"CSeq", ZToString(++n)}, {L"From", L"again@zandrel.net"},
                                                      {L"Device-GUID", id.get(L"Device-GUID")}, {L"Version", L"764"},
                                                      {L"Route-List", L"local://192.168.1.20:5060"},
                                                      {L"Session-Key", key}}));
        for (int i = 0; i < window; ++i)
            if (const int code = status(udp.receive()); code != 200)
                state.SkipWithError(("registration answered " + std::to_string(code)).c_str());
    }
    state.SetItemsProcessed(state.iterations() * window);
}
BENCHMARK(BM_SignallingRegister)->UseRealTime();

void BM_MemoryPerRegisteredDevice(benchmark::State& state) {
    Server& server = Server::get();
    if (!server.ok()) {
        state.SkipWithError("zandrel-server did not start");
        return;
    }
    ZHTTPHeaders account;
    account.deserialize(roundTripTCP(kBase, authenticate(L"crowd", L"c@example.org")));
    const std::wstring key = account.get(L"Session-Key");
    constexpr int kDevices = 10000;
    for (auto _ : state) {
        const long before = residentKB(server.pid());
        int registered = 0;
        for (int i = 0; i < kDevices; ++i) {
            // Each device from an address of its own, as on the Internet.
            UDP udp;
            const std::wstring cseq = ZToString(1000000 + i);
            udp.send(kBase + 5, message(L"DEVICEGUID", {{L"CSeq", cseq}, {L"Session-Key", key}}));
            ZHTTPHeaders id;
            id.deserialize(udp.receive());
            udp.send(kBase + 5, message(L"REGISTER", {{L"CSeq", cseq + L"r"}, {L"From", L"crowd@zandrel.net"},
                                                      {L"Device-GUID", id.get(L"Device-GUID")}, {L"Version", L"764"},
                                                      {L"Route-List", L"local://192.168.1.20:5060, "
                                                                      L"nat://203.0.113.7:40000"},
                                                      {L"Session-Key", key}}));
            if (status(udp.receive()) == 200) ++registered;
        }
        const long after = residentKB(server.pid());
        state.counters["devices"] = registered;
        state.counters["bytes_per_device"] = registered ? (after - before) * 1024.0 / registered : 0;
    }
}
BENCHMARK(BM_MemoryPerRegisteredDevice)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
