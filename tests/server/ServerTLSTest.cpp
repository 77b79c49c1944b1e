// The authentication, log and upgrade hosts behind TLS: the certificate the
// program needs to start them, what a client that does not speak TLS gets,
// and how long a client stalling in the handshake may hold its place.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ZServerTestSupport.h"
#include "ZTestTLS.h"

using namespace servertest;

namespace {

// A connection that bypasses the test support's TLS: the bytes go as given.
int rawConnection(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Everything the peer sends until it closes or the time runs out; closed
// tells which.
std::string drain(int fd, int timeoutMs, bool& closed) {
    std::string all;
    closed = false;
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) == 1) {
        char chunk[4096];
        const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            closed = true;
            break;
        }
        all.append(chunk, static_cast<std::size_t>(n));
    }
    return all;
}

const char kSignUp[] = "AUTHENTICATE / HTTP/1.1\r\nFrom: tess\r\nPassword: pw\r\nEmail: t@example.org\r\n\r\n";

}  // namespace

TEST(ServerTLS, StartsTheThreeHostsOnlyWithAUsableCertificateOrWhenToldToSpeakInClear) {
    ZTempDir dir;
    zantest::TLSFiles other;
    ASSERT_TRUE(zantest::makeCertificate(dir.file("other"), zantest::CertificateSpec(), other));
    const zantest::TLSFiles& files = zantest::testCertificate();
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    const Case cases[] = {
        {{"--tls-key", ""}, "need --tls-cert and --tls-key (--insecure-plain-http serves them in clear)"},
        {{"--tls-cert", files.cert}, "--tls-cert and --tls-key go together"},
        {{"--tls-cert", dir.file("missing.pem"), "--tls-key", files.key}, "cannot use the certificate"},
        {{"--tls-cert", files.cert, "--tls-key", other.key}, "cannot use the key '" + other.key + "': key values mismatch"},
        {{"--tls-cert", files.cert, "--tls-key", files.cert}, "cannot use the key"},
    };
    int n = 0;
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--data", dir.file("d" + std::to_string(n++)), "--port-base", "31400"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        std::string output;
        EXPECT_EQ(runServerProgram(args, output), 1) << c.said;
        EXPECT_EQ(output.rfind("zandrel-server: ", 0), 0u) << output;
        EXPECT_NE(output.find(c.said), std::string::npos) << output;
    }

    // In clear only when asked, with a warning in the log, and the plain
    // exchange works as it did.
    ServerProcess plain(dir.file("plain"), {"--insecure-plain-http"});
    ASSERT_TRUE(plain.start());
    EXPECT_NE(plain.log().find("WARNING The authentication, log and upgrade hosts speak in clear"), std::string::npos);
    const int fd = rawConnection(plain.port(0));
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, kSignUp, sizeof(kSignUp) - 1, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof(kSignUp) - 1));
    bool closed = false;
    const std::string answer = drain(fd, kPatienceMs, closed);
    ::close(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 ", 0), 0u) << answer;
}

TEST(ServerTLS, APlainClientIsRefusedAndEachHostSpeaksTLSWithTheCertificate) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    EXPECT_NE(server.log().find("ACTIVITY: authentication, log and upgrade hosts speak TLS"), std::string::npos);
    for (int offset : {0, 8, 9}) {
        // The request in clear is no handshake: the connection closes with no answer.
        const int fd = rawConnection(server.port(offset));
        ASSERT_GE(fd, 0);
        send(fd, kSignUp, sizeof(kSignUp) - 1, MSG_NOSIGNAL);
        bool closed = false;
        const std::string answer = drain(fd, kPatienceMs, closed);
        ::close(fd);
        EXPECT_TRUE(closed) << offset;
        EXPECT_EQ(answer.find("HTTP/1.1"), std::string::npos) << offset << ": " << answer;
        // Through TLS the host answers.
        TCPClient secure(server.port(offset));
        ASSERT_TRUE(secure.sendRaw(offset == 9 ? std::string("GET /none HTTP/1.1\r\n\r\n") : std::string(kSignUp)));
        ZHTTPHeaders reply;
        EXPECT_TRUE(secure.receive(reply, 15000)) << offset;
        EXPECT_GT(reply.getResponse(), 0) << offset;
    }
    EXPECT_NE(server.log().find("refused: TLS handshake failed"), std::string::npos) << server.log();
    // The relay is no TLS host: its framing is untouched.
    TCPClient relay(server.port(7));
    ASSERT_TRUE(relay.send(request(L"OPENTURN")));
    ZHTTPHeaders opened;
    EXPECT_TRUE(relay.receive(opened));
    EXPECT_EQ(opened.getResponse(), 403) << "answered in clear: without a session key the relay refuses";
}

TEST(ServerTLS, AClientStallingInTheHandshakeHoldsItsPlaceOnlyForTheRequestTimeOut) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--max-connections-per-peer", "1"});
    ASSERT_TRUE(server.start());
    // The first bytes of a ClientHello record header, then nothing.
    const int fd = rawConnection(server.port(0));
    ASSERT_GE(fd, 0);
    const char partial[] = {0x16, 0x03, 0x01};
    send(fd, partial, sizeof(partial), MSG_NOSIGNAL);
    // Its one place is taken meanwhile: a second connection is turned away.
    {
        TCPClient second(server.port(0));
        EXPECT_TRUE(second.closedByPeer(kPatienceMs));
    }
    bool closed = false;
    drain(fd, 25000, closed);
    ::close(fd);
    EXPECT_TRUE(closed);
    // Refused by the request's own time-out (the idle one, or the one for a whole request).
    EXPECT_NE(server.log().find("refused: "), std::string::npos) << server.log();
    // And the place is free again.
    EXPECT_EQ(authenticate(server.port(0), L"tess", L"pw", L"t@example.org").getResponse(), 200);
}
