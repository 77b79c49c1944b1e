// The sign-in never lets the password leave in clear: against a host whose
// certificate is for another name, expired or from a CA the client does not
// trust, against a plain-text server and against one that stalls in the
// handshake, the sign-in fails with one warning naming the reason, and
// nothing the host received holds "Password".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "ZClientFixture.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTestTLS.h"

using namespace clienttest;

namespace {

enum class HostKind { TLS, Plain, Stall };

// Takes one connection and records every byte it receives as it came off
// the wire and, for a TLS host, what TLS decrypted from it. A TLS host runs
// its end behind a relay of its own so that the raw bytes can be kept.
class RecordingHost {
public:
    RecordingHost(HostKind kind, zantest::TLSFiles files, std::string answer)
        : _kind(kind), _files(std::move(files)), _answer(std::move(answer)) {
        _listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length);
        _port = ntohs(address.sin_port);
        listen(_listener, 4);
        _thread = std::thread([this] { relay(); });
    }
    ~RecordingHost() {
        _done = true;
        _thread.join();
        if (_tlsThread.joinable()) _tlsThread.join();
        ::close(_listener);
    }
    std::wstring host() const { return L"127.0.0.1:" + std::to_wstring(_port); }
    std::string received() const {
        std::lock_guard<std::mutex> guard(_mutex);
        return _raw;
    }
    std::string decrypted() const {
        std::lock_guard<std::mutex> guard(_mutex);
        return _clear;
    }

private:
    void relay() {
        pollfd p{_listener, POLLIN, 0};
        while (!_done && poll(&p, 1, 50) == 0) {
        }
        if (_done) return;
        const int c = accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        int pair[2] = {-1, -1};
        if (_kind == HostKind::TLS) {
            socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
            _tlsThread = std::thread([this, end = pair[1]] { serveTLS(end); });
        }
        bool answered = false;
        while (!_done) {
            pollfd fds[2] = {{c, POLLIN, 0}, {pair[0], POLLIN, 0}};
            if (poll(fds, pair[0] >= 0 ? 2 : 1, 50) <= 0) continue;
            char chunk[4096];
            if (fds[0].revents) {
                const ssize_t n = recv(c, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                {
                    std::lock_guard<std::mutex> guard(_mutex);
                    _raw.append(chunk, static_cast<std::size_t>(n));
                }
                if (pair[0] >= 0) send(pair[0], chunk, static_cast<std::size_t>(n), MSG_NOSIGNAL);
                // A server of the plain exchange takes the handshake for a
                // bad request and says so in clear.
                if (_kind == HostKind::Plain && !answered) {
                    const std::string refusal = "HTTP/1.1 400 Bad Request\r\n\r\n";
                    send(c, refusal.data(), refusal.size(), MSG_NOSIGNAL);
                    answered = true;
                }
            }
            if (pair[0] >= 0 && fds[1].revents) {
                const ssize_t n = recv(pair[0], chunk, sizeof chunk, 0);
                if (n <= 0) break;
                send(c, chunk, static_cast<std::size_t>(n), MSG_NOSIGNAL);
            }
        }
        ::close(c);
        if (pair[0] >= 0) ::close(pair[0]);
    }

    void serveTLS(int end) {
        std::unique_ptr<zantest::TLSEnd> tls = zantest::TLSEnd::server(end, _files);
        std::string got;
        while (tls && !_done) {
            const long n = tls->read(got, 100);
            if (n == 0) break;
            {
                std::lock_guard<std::mutex> guard(_mutex);
                _clear = got;
            }
            if (got.find("\r\n\r\n") != std::string::npos && !_answer.empty()) {
                tls->write(_answer, 5000);
                break;
            }
        }
        tls.reset();
        ::close(end);
    }

    HostKind _kind;
    zantest::TLSFiles _files;
    std::string _answer;
    int _listener = -1;
    int _port = 0;
    std::thread _thread;
    std::thread _tlsThread;
    std::atomic<bool> _done{false};
    mutable std::mutex _mutex;
    std::string _raw;
    std::string _clear;
};

const char kAnswer[] =
    "HTTP/1.1 200 OK\r\nSTUN-Host-List: 127.0.0.1:2, 127.0.0.1:3, 127.0.0.1:4, 127.0.0.1:5\r\n"
    "SIP-Host-List: 127.0.0.1:6\r\nTURN-Host: 127.0.0.1:7\r\nLogfile-Host: 127.0.0.1:8\r\n\r\n";

std::int64_t g_later = 0;

}  // namespace

class ClientSecureSignIn : public ClientFixture {};

TEST_F(ClientSecureSignIn, RefusesEveryHostItCannotTrustWithOneWarningAndNoPasswordOnTheWire) {
    zantest::CertificateSpec wrongName;
    wrongName.host = "auth.example.org";
    zantest::CertificateSpec expired;
    expired.notBeforeDays = -30;
    expired.notAfterDays = -1;
    zantest::TLSFiles named, old, foreign;
    ASSERT_TRUE(zantest::makeCertificate(dir.file("named"), wrongName, named));
    ASSERT_TRUE(zantest::makeCertificate(dir.file("old"), expired, old));
    ASSERT_TRUE(zantest::makeCertificate(dir.file("foreign"), zantest::CertificateSpec(), foreign));
    const zantest::TLSFiles& trusted = zantest::testCertificate();

    struct Case {
        const char* name;
        HostKind kind;
        zantest::TLSFiles files;
        // The CA the client trusts.
        std::string ca;
        // The warning's reason; empty for the one host the client trusts.
        std::wstring reason;
    };
    const Case cases[] = {
        {"trusted", HostKind::TLS, trusted, trusted.ca, L""},
        {"wrong host name", HostKind::TLS, named, named.ca, L"certificate not accepted (IP address mismatch)"},
        {"expired", HostKind::TLS, old, old.ca, L"certificate not accepted (certificate has expired)"},
        {"untrusted CA", HostKind::TLS, foreign, trusted.ca,
         L"certificate not accepted (unable to get local issuer certificate)"},
        {"plain-text server", HostKind::Plain, {}, trusted.ca, L"TLS handshake failed ("},
        {"stalls in the handshake", HostKind::Stall, {}, trusted.ca, L"no TLS handshake within 30000 ms"},
    };
    for (const Case& c : cases) {
        const bool trustedHost = c.reason.empty();
        RecordingHost host(c.kind, c.files, kAnswer);
        ZLogCapture log;
        start("TLS_CA_File: " + c.ca + "\nLocal_User_GUID: amy@zandrel.net\nLocal_Password: pw\n", host.host());
        if (c.kind == HostKind::Stall) {
            // Let the client's hello reach the host, then move the request's clock on.
            for (int i = 0; i < 40 && host.received().empty(); ++i) tick();
            ASSERT_FALSE(host.received().empty()) << c.name;
            ASSERT_NE(ZClientTestAccess::httpClient(*client), nullptr) << c.name;
            g_later = ZTimeNow();
            ZClientTestAccess::httpClient(*client)->setClock([] { return g_later; });
            g_later += ZCLIENT_AUTH_ANSWER_TIMEOUT + 1000000;
        }
        for (int i = 0; i < 200 && client->getState() == ZClient::Authenticating; ++i) tick();
        const std::wstring warning = L"WARNING Secure connection to '" + host.host() + L"' failed: " + c.reason;
        if (trustedHost) {
            EXPECT_EQ(client->getState(), ZClient::Connecting) << c.name;
            EXPECT_EQ(log.count(L"WARNING Secure connection"), 0) << c.name;
            // The recorder sees the request once decrypted, never on the wire.
            EXPECT_NE(host.decrypted().find("Password: pw\r\n"), std::string::npos) << c.name;
        } else {
            EXPECT_NE(client->getState(), ZClient::Authenticating) << c.name;
            EXPECT_NE(client->getState(), ZClient::Connecting) << c.name;
            EXPECT_EQ(store().get(L"Logon_Status"), L"-- Server unavailable --") << c.name;
            EXPECT_EQ(log.count(warning), 1) << c.name;
            EXPECT_EQ(log.count(L"WARNING Secure connection"), 1) << c.name;
            EXPECT_EQ(host.decrypted().find("Password"), std::string::npos) << c.name;
        }
        EXPECT_FALSE(host.received().empty()) << c.name << ": the client spoke to the host";
        EXPECT_EQ(host.received().find("Password"), std::string::npos) << c.name;
        EXPECT_EQ(host.received().find("AUTHENTICATE"), std::string::npos) << c.name;
        stop();
    }
}

TEST_F(ClientSecureSignIn, SpeaksInClearOnlyToAHostTheSettingsNameForIt) {
    // The plain exchange stays for debugging against a service started in
    // clear, host by host: a name on the list is spoken to in clear, and
    // another host still gets TLS.
    RecordingHost plain(HostKind::Plain, {}, "");
    start("TLS_Plain_Hosts: 127.0.0.1:1, " + ZToUTF8(plain.host()) +
              "\nLocal_User_GUID: amy@zandrel.net\nLocal_Password: pw\n",
          plain.host());
    for (int i = 0; i < 200 && plain.received().find("\r\n\r\n") == std::string::npos; ++i) tick();
    EXPECT_EQ(plain.received().rfind("AUTHENTICATE / HTTP/1.1\r\n", 0), 0u) << plain.received();
    stop();
    RecordingHost other(HostKind::Plain, {}, "");
    start("TLS_Plain_Hosts: " + ZToUTF8(plain.host()) + "\nLocal_User_GUID: amy@zandrel.net\nLocal_Password: pw\n",
          other.host());
    for (int i = 0; i < 200 && client->getState() == ZClient::Authenticating; ++i) tick();
    EXPECT_EQ(other.received().find("Password"), std::string::npos);
    EXPECT_FALSE(other.received().empty());
    stop();
}
