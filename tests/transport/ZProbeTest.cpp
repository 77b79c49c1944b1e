// zandrel-probe run as its own process against loopback peers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "ZHTTPHeaders.h"
#include "ZPortable.h"
#include "ZTestRelay.h"
#include "ZTestServer.h"
#include "ZTestSupport.h"
#include "ZTestTLS.h"

extern char** environ;

using namespace transporttest;

namespace {

struct ProbeRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the probe to its end (killed after the patience) and reaps it.
ProbeRun runProbe(const std::vector<std::string>& args) {
    const std::string path = std::string(ZAN_BUILD_DIR) + "/tools/zandrel-probe";
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return ProbeRun{};
    char errPath[] = "/tmp/zanprobeerr.XXXXXX";
    const int err = mkostemp(errPath, O_CLOEXEC);
    unlink(errPath);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ProbeRun run;
    if (spawned != 0) {
        close(out[0]);
        if (err >= 0) close(err);
        return run;
    }
    const std::int64_t deadline = ZTimeNow() + 30000000;
    char buffer[4096];
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (ZTimeNow() > deadline || poll(&p, 1, 1000) < 0) {
            kill(pid, SIGKILL);
            break;
        }
        if (!p.revents) continue;
        const ssize_t n = read(out[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        run.out.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (err >= 0) {
        char chunk[4096];
        ssize_t n = 0;
        for (off_t at = 0; (n = pread(err, chunk, sizeof(chunk), at)) > 0; at += n)
            run.err.append(chunk, static_cast<std::size_t>(n));
        close(err);
    }
    return run;
}

int boundSocket(int type) {
    const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    return fd;
}

std::string hostOf(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 10000) == 1;
}

}  // namespace

TEST(ZandrelProbe, SendsADatagramWithItsFieldsAndPrintsEveryAnswerWithItsSender) {
    const int first = boundSocket(SOCK_DGRAM);
    const int second = boundSocket(SOCK_DGRAM);
    ZHTTPHeaders request;
    std::thread server([&] {
        if (!readable(first)) return;
        std::string bytes(65536, '\0');
        sockaddr_in from{};
        socklen_t size = sizeof(from);
        const ssize_t n = recvfrom(first, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
        bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        request.deserialize(bytes);
        // Two answers from two sockets, as the STUN hosts give them.
        ZHTTPHeaders answer;
        answer.set(std::wstring(), L"HTTP/1.1 200 OK");
        answer.set(L"CSeq", request.get(L"CSeq"));
        answer.set(L"Observed-Host", L"9.8.7.6:5");
        const std::string text = answer.serialize();
        for (const int fd : {first, second})
            sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&from), size);
    });
    const ProbeRun run = runProbe({"--answers", "2", hostOf(first), "PING", "Global-Host: 1.2.3.4:5", "Timestamp=42"});
    server.join();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(request.getMethod(), L"PING");
    EXPECT_EQ(request.get(L"Global-Host"), L"1.2.3.4:5");
    EXPECT_EQ(request.get(L"Timestamp"), L"42");
    EXPECT_EQ(request.get(L"CSeq"), L"1 (zandrel-probe)");
    for (const int fd : {first, second}) {
        EXPECT_NE(run.out.find("=== answer from " + hostOf(fd) + " ("), std::string::npos) << run.out;
        close(fd);
    }
    EXPECT_NE(run.out.find("HTTP/1.1 200 OK\nCSeq: 1 (zandrel-probe)\nObserved-Host: 9.8.7.6:5\n"), std::string::npos)
        << run.out;
}

TEST(ZandrelProbe, SignsInOverTCPAndPrintsTheAnswerWithItsContent) {
    // Through TLS, trusting the CA it is given, and in clear when told so.
    for (const bool secure : {true, false}) {
        const int listener = boundSocket(SOCK_STREAM);
        listen(listener, 1);
        std::string received;
        std::thread server([&] {
            if (!readable(listener)) return;
            const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nSTUN-Host-List: a, b\r\n\r\nhello";
            if (secure) {
                auto tls = zantest::TLSEnd::server(peer, zantest::testCertificate());
                while (tls && received.find("\r\n\r\n") == std::string::npos)
                    if (tls->read(received, 10000) <= 0) break;
                if (tls) tls->write(answer, 10000);
            } else {
                char buffer[4096];
                while (received.find("\r\n\r\n") == std::string::npos && readable(peer)) {
                    const ssize_t n = recv(peer, buffer, sizeof(buffer), 0);
                    if (n <= 0) break;
                    received.append(buffer, static_cast<std::size_t>(n));
                }
                send(peer, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            close(peer);
        });
        const std::vector<std::string> mode = secure ? std::vector<std::string>{"--ca-file", zantest::testCertificate().ca}
                                                     : std::vector<std::string>{"--plain"};
        std::vector<std::string> args = mode;
        args.insert(args.end(), {hostOf(listener), "AUTHENTICATE", "From: ann", "Password: secret"});
        const ProbeRun run = runProbe(args);
        server.join();
        close(listener);
        EXPECT_EQ(run.status, 0) << secure << run.out << run.err;
        EXPECT_EQ(received.rfind("AUTHENTICATE / HTTP/1.1\r\n", 0), 0u) << received;
        EXPECT_NE(received.find("\r\nFrom: ann\r\nPassword: secret\r\n\r\n"), std::string::npos) << received;
        EXPECT_NE(
            run.out.find("HTTP/1.1 200 OK\nContent-Length: 5\nSTUN-Host-List: a, b\n--- content 0: 5 bytes\nhello\n"),
            std::string::npos)
            << run.out;
    }
}

TEST(ZandrelProbe, SaysWhyTheSecureConnectionFailed) {
    // A host whose certificate comes from a CA the probe was not given.
    const int listener = boundSocket(SOCK_STREAM);
    listen(listener, 1);
    std::thread server([&] {
        if (!readable(listener)) return;
        const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        auto tls = zantest::TLSEnd::server(peer, zantest::testCertificate());
        if (tls) tls->handshake(10000);
        close(peer);
    });
    const std::string host = hostOf(listener);
    const ProbeRun run = runProbe({host, "AUTHENTICATE", "From: ann", "Password: secret"});
    server.join();
    close(listener);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "zandrel-probe: no secure connection to " + host +
                           ": certificate not accepted (unable to get local issuer certificate)\n");
}

TEST(ZandrelProbe, SendsThroughARelayAndPrintsTheRelayedAnswer) {
    ZTestRelay relay;
    ZTestUDPEcho echo;
    const ProbeRun run = runProbe({"--relay", ZToUTF8(relay.host()), "--answers", "1", ZToUTF8(echo.host()), "REGISTER",
                              "From: ann@zandrel"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("=== answer from " + ZToUTF8(echo.host()) + " ("), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("REGISTER / HTTP/1.1\nCSeq: 1 (zandrel-probe)\nFrom: ann@zandrel\n"), std::string::npos)
        << run.out;
    EXPECT_EQ(relay.framingErrors(), 0);
}

TEST(ZandrelProbe, ReportsMissingAnswersAndBadArgumentsInItsExitStatus) {
    const int silent = boundSocket(SOCK_DGRAM);
    EXPECT_EQ(runProbe({"--wait", "100", hostOf(silent), "HOLEPUNCH", "--raw"}).status, 2);
    std::string datagram(16, '\0');
    EXPECT_EQ(recv(silent, datagram.data(), datagram.size(), MSG_DONTWAIT), 9);
    EXPECT_EQ(datagram.substr(0, 9), "HOLEPUNCH");
    close(silent);
    EXPECT_EQ(runProbe({"127.0.0.1:9", "PING", "no-colon"}).status, 1);
    EXPECT_EQ(runProbe({"--bogus", "127.0.0.1:9", "PING"}).status, 1);
    EXPECT_EQ(runProbe({"127.0.0.1:9"}).status, 1);
}

TEST(ZandrelProbe, SaysInOnePlainLineWhyNothingCameBack) {
    const int silent = boundSocket(SOCK_DGRAM);
    const int closed = boundSocket(SOCK_STREAM);
    const std::string refusing = hostOf(closed);
    close(closed);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {{"--wait", "200", hostOf(silent), "PING"}, 2, "zandrel-probe: no answer from " + hostOf(silent) + " in 200 ms\n"},
        {{refusing, "AUTHENTICATE", "From: ann"}, 2,
         "zandrel-probe: " + refusing + " refused the connection or closed it without an answer\n"},
        {{"--wait", "soon", hostOf(silent), "PING"}, 1,
         "zandrel-probe: --wait needs a whole number from 0 to 86400000, not 'soon'\n"},
        {{"--answers", "-1", hostOf(silent), "PING"}, 1,
         "zandrel-probe: --answers needs a whole number from 0 to 86400000, not '-1'\n"},
    };
    for (const Case& c : cases) {
        const ProbeRun run = runProbe(c.args);
        EXPECT_EQ(run.status, c.status) << c.err;
        EXPECT_EQ(run.err, c.err);
    }
    close(silent);
    const std::string help = runProbe({"--help"}).out;
    for (const char* method : {"AUTHENTICATE", "DEVICEGUID", "REGISTER", "SETBUDDYLIST", "OPENTURN", "LOGFILE",
                               "Session-Key", "Route-List"})
        EXPECT_NE(help.find(method), std::string::npos) << method;
}

TEST(ZandrelProbe, CreatesAnAccountAtTheServiceAndSignsInWithIt) {
    if (!ZTestServer::available()) GTEST_SKIP() << "this build has no zandrel-server";
    ZTempDir folder;
    ZTestServer server(folder.path());
    ASSERT_TRUE(server.start()) << server.log();
    const std::string auth = ZToUTF8(server.host(0));
    const std::string ca = zantest::testCertificate().ca;
    const ProbeRun created = runProbe({"--ca-file", ca, auth, "AUTHENTICATE", "From: ann", "Password: pw1", "Email: ann@example.org",
                                       "Version: 764"});
    EXPECT_EQ(created.status, 0) << created.out;
    const std::size_t at = created.out.find("\nUser-GUID: ann@");
    ASSERT_NE(at, std::string::npos) << created.out;
    const std::string guid = created.out.substr(at + 12, created.out.find('\n', at + 1) - at - 12);
    // An existing account signs in with its identifier.
    const ProbeRun signedIn = runProbe({"--ca-file", ca, auth, "AUTHENTICATE", "From: " + guid, "Password: pw1", "Version: 764"});
    EXPECT_NE(signedIn.out.find("HTTP/1.1 200 "), std::string::npos) << signedIn.out;
    EXPECT_NE(signedIn.out.find("\nTURN-Host: " + ZToUTF8(server.host(7)) + "\n"), std::string::npos) << signedIn.out;
    const ProbeRun refused = runProbe({"--ca-file", ca, auth, "AUTHENTICATE", "From: " + guid, "Password: wrong", "Version: 764"});
    EXPECT_EQ(refused.out.find("HTTP/1.1 200 "), std::string::npos) << refused.out;
    EXPECT_NE(refused.out.find("HTTP/1.1 "), std::string::npos) << refused.out;
}

TEST(ZandrelProbe, GetsTheThreeAnswersOfTheServiceSTUNHostsFromTheirOwnSockets) {
    if (!ZTestServer::available()) GTEST_SKIP() << "this build has no zandrel-server";
    ZTempDir folder;
    ZTestServer server(folder.path());
    ASSERT_TRUE(server.start()) << server.log();
    const ProbeRun run = runProbe({"--answers", "3", ZToUTF8(server.host(1)), "STUN",
                                   "Indirect-Host-List: " + ZToUTF8(server.host(2)) + ", " + ZToUTF8(server.host(3))});
    EXPECT_EQ(run.status, 0) << run.out;
    for (int host = 1; host <= 3; ++host)
        EXPECT_NE(run.out.find("=== answer from " + ZToUTF8(server.host(host)) + " ("), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Global-Host: 127.0.0.1:"), std::string::npos) << run.out;
}
