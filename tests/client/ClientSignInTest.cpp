// The sign-in exchange against a scripted authentication host on loopback:
// what each answer does to "Logon_Status", the log, the next state and the
// store.
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

// Takes one connection, reads the request through TLS with the test
// certificate and then answers with the text, closes without a word (empty
// answer), or keeps silent (silent).
class ScriptedAuthHost {
public:
    ScriptedAuthHost(std::string answer, bool silent) : _answer(std::move(answer)), _silent(silent) {
        _listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(_listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(_listener, reinterpret_cast<sockaddr*>(&address), &length);
        _port = ntohs(address.sin_port);
        listen(_listener, 4);
        _thread = std::thread([this] { serve(); });
    }
    ~ScriptedAuthHost() {
        _done = true;
        _thread.join();
        ::close(_listener);
    }
    std::wstring host() const { return L"127.0.0.1:" + std::to_wstring(_port); }
    // The serving thread fills it while the test polls.
    std::string request() const {
        std::lock_guard<std::mutex> guard(_requestMutex);
        return _request;
    }

private:
    void serve() {
        pollfd p{_listener, POLLIN, 0};
        while (!_done && poll(&p, 1, 50) == 0) {
        }
        if (_done) return;
        const int c = accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::unique_ptr<zantest::TLSEnd> tls = zantest::TLSEnd::server(c, zantest::testCertificate());
        std::string got;
        while (tls && got.find("\r\n\r\n") == std::string::npos && !_done)
            if (tls->read(got, 100) == 0) break;
        {
            std::lock_guard<std::mutex> guard(_requestMutex);
            _request = got;
        }
        if (tls && !_silent && !_answer.empty()) tls->write(_answer, 5000);
        tls.reset();
        while (_silent && !_done) usleep(20000);
        ::close(c);
    }

    std::string _answer;
    bool _silent;
    int _listener = -1;
    int _port = 0;
    std::thread _thread;
    std::atomic<bool> _done{false};
    mutable std::mutex _requestMutex;
    std::string _request;
};

const char kHosts[] =
    "STUN-Host-List: 127.0.0.1:2, 127.0.0.1:3, 127.0.0.1:4, 127.0.0.1:5\r\nSIP-Host-List: 127.0.0.1:6\r\n"
    "TURN-Host: 127.0.0.1:7\r\nLogfile-Host: 127.0.0.1:8\r\n";

std::string ok(const std::string& fields) { return "HTTP/1.1 200 OK\r\n" + fields + "\r\n"; }

}  // namespace

class ClientSignIn : public ClientFixture {
protected:
    // Ticks until the answer is processed (the client leaves Authenticating).
    void answer() {
        for (int i = 0; i < 200 && client->getState() == ZClient::Authenticating; ++i) tick();
    }
};

TEST_F(ClientSignIn, EachAnswerSetsTheStatusTheStateAndTheStore) {
    struct Case {
        const char* name;
        std::string settings;
        std::string answer;
        bool prompt;  // the sign-in came from "LOGON" (the login window's road)
        ZClient::State next;
        const wchar_t* status;
        const wchar_t* logged;
        std::vector<std::string> posts;
        std::vector<std::wstring> commands;
    };
    // No password stored: the constructor opens the login window instead of
    // signing in, and each row starts the sign-in its own way.
    const std::string known = "Local_User_GUID: amy@zandrel.net\nFirst_Run_Complete: 1\nLog_Filter: c\n";
    const std::string fresh = "Local_Username: Eve\nLocal_Email: e@example.org\n";
    const std::vector<std::string> reset = {"Dispatch:RESET", "SIP:RESET", "File:RESET"};
    const Case cases[] = {
        {"signed in", known, ok(kHosts), false, ZClient::Connecting, L"-- Logon successful --",
         L"Request 'AUTHENTICATE' succeeded, logged into account 'amy@zandrel.net'",
         {"Dispatch:CONNECT", "Logfile:UPLOADLOGFILES"}, {L"(/skin/window_buddylist?open)"}},
        {"new account", fresh, ok(std::string(kHosts) + "User-GUID: Eve@Zandrel.net\r\n"), true, ZClient::Connecting,
         L"-- Account created --", L"Request 'AUTHENTICATE' succeeded, created new account 'Eve@Zandrel.net'",
         {"Dispatch:CONNECT", "Logfile:UPLOADLOGFILES"},
         {L"(/skin/window_buddylist?open)", L"(/skin/window_options?open)"}},
        {"three STUN hosts", known,
         ok("STUN-Host-List: a:1, b:2, c:3\r\nSIP-Host-List: s:1\r\nTURN-Host: t:1\r\nLogfile-Host: l:1\r\n"), false,
         ZClient::Waiting, L"-- Invalid server reply --",
         L"Request 'AUTHENTICATE' failed with response #200 'OK' (valid=FALSE), staying offline.", reset, {}},
        {"refused", known, "HTTP/1.1 403 Incorrect name or password\r\n\r\n", false, ZClient::Waiting,
         L"-- Incorrect name/password --",
         L"Request 'AUTHENTICATE' failed with response #403 'Incorrect name or password' (valid=FALSE)", reset, {}},
        {"refused, prompt", known, "HTTP/1.1 403 No\r\n\r\n", true, ZClient::Offline, L"-- Incorrect name/password --",
         nullptr, reset, {L"(/skin/window_login?open)"}},
        {"name in use, prompt", fresh, "HTTP/1.1 409 Taken\r\n" + std::string(kHosts) + "\r\n", true, ZClient::Offline,
         L"-- Username already in use --", L"(valid=TRUE)", reset, {L"(/skin/window_new?open)"}},
        {"closed", known, "", false, ZClient::Waiting, L"-- Server unavailable --",
         L"Request 'AUTHENTICATE' failed with response #0 '' (valid=FALSE), staying offline.", reset, {}},
    };
    for (const Case& c : cases) {
        ScriptedAuthHost host(c.answer, false);
        start(c.settings, host.host());
        store().set(L"Local_Password", std::wstring(L"pw"), false);
        recorded().commands.clear();
        ZLogCapture log;
        if (c.prompt) {
            input(0, L"LOGON");
        } else {
            // A retry from Waiting asks nobody on failure.
            ZClientTestAccess::setState(*client, ZClient::Waiting);
            input(12);
        }
        ASSERT_EQ(client->getState(), ZClient::Authenticating) << c.name;
        answer();
        EXPECT_EQ(client->getState(), c.next) << c.name;
        EXPECT_EQ(store().get(L"Logon_Status"), c.status) << c.name;
        if (c.logged) {
            EXPECT_TRUE(log.contains(c.logged)) << c.name;
        }
        EXPECT_EQ(posts(), c.posts) << c.name;
        EXPECT_EQ(recorded().commands, c.commands) << c.name;
        EXPECT_EQ(ZClientTestAccess::httpClient(*client), nullptr) << c.name << ": the request is gone once answered";
        const bool online = c.next == ZClient::Connecting;
        EXPECT_EQ(store().isSet(L"Global_SIP_Host_List"), online) << c.name;
        EXPECT_EQ(store().get(L"Global_TURN_Host"), online ? L"127.0.0.1:7" : L"") << c.name;
        if (online) {
            EXPECT_EQ(store().get(L"Local_IP"), L"127.0.0.1") << c.name;
        }
        // Every header goes out, empty or not.
        const std::string request = host.request();
        EXPECT_NE(request.find("AUTHENTICATE / HTTP/1.1\r\n"), std::string::npos) << c.name;
        EXPECT_NE(request.find("Version: 764\r\n"), std::string::npos) << c.name;
        EXPECT_NE(request.find("Email: "), std::string::npos) << c.name;
        stop();
        const std::string saved = ZTestReadFile(dir.file("settings.ini"));
        if (std::string(c.name) == "new account") {
            EXPECT_NE(saved.find("local_user_guid: eve@zandrel.net\n"), std::string::npos) << saved;
            EXPECT_NE(saved.find("local_email: e@example.org\n"), std::string::npos) << saved;
            EXPECT_NE(request.find("From: eve\r\n"), std::string::npos) << request;
        }
    }
}

TEST_F(ClientSignIn, TheAnswerIsTakenWhenItArrivesNotOnTheNextTick) {
    ScriptedAuthHost host(ok(kHosts), false);
    start("Local_User_GUID: amy@zandrel.net\nLocal_Password: pw\nFirst_Run_Complete: 1\n", host.host());
    ZClientTestAccess::holdTick(*client);
    ASSERT_EQ(client->getState(), ZClient::Authenticating);
    EXPECT_TRUE(pumpUntil([&] { return client->getState() == ZClient::Connecting; }));
    EXPECT_EQ(store().get(L"Logon_Status"), L"-- Logon successful --");
    EXPECT_EQ(ZClientTestAccess::httpClient(*client), nullptr);
    stop();
    EXPECT_NE(ZTestReadFile(dir.file("settings.ini")).find("local_password: pw\n"), std::string::npos);
}

TEST_F(ClientSignIn, ACriticalUpgradeIsStoredAndKeepsTheClientOffline) {
    ScriptedAuthHost host(ok(std::string(kHosts) + "Upgrade-URL: http://127.0.0.1:9/z.bin\r\nUpgrade-Name: Z 2\r\n"
                                                   "Upgrade-Priority: Critical\r\n"),
                          false);
    start("Local_User_GUID: amy@zandrel.net\nLocal_Password: pw\n", host.host());
    answer();
    EXPECT_EQ(client->getState(), ZClient::Offline);
    EXPECT_EQ(store().get(L"Local_Upgrade_URL"), L"http://127.0.0.1:9/z.bin");
    EXPECT_EQ(store().get(L"Local_Upgrade_Name"), L"Z 2");
    EXPECT_EQ(store().get(L"Local_Upgrade_Priority"), L"Critical");
    EXPECT_FALSE(store().isSet(L"Global_STUN_Host_List"));
    EXPECT_FALSE(store().isSet(L"Local_IP"));
}

TEST_F(ClientSignIn, ASilentHostEndsTheSignInAfterThirtySeconds) {
    ScriptedAuthHost host("", true);
    start("Local_User_GUID: amy@zandrel.net\nLocal_Password: pw\n", host.host());
    // Let the request reach the host, then move the request's clock on.
    for (int i = 0; i < 20 && host.request().empty(); ++i) tick();
    ASSERT_FALSE(host.request().empty());
    static std::int64_t later = 0;
    later = ZTimeNow();
    ZClientTestAccess::httpClient(*client)->setClock([] { return later; });
    later += ZCLIENT_AUTH_ANSWER_TIMEOUT + 1000000;
    for (int i = 0; i < 20 && client->getState() == ZClient::Authenticating; ++i) tick();
    EXPECT_EQ(client->getState(), ZClient::Offline) << "the prompt road of a stored account";
    EXPECT_EQ(store().get(L"Logon_Status"), L"-- Server unavailable --");
    EXPECT_EQ(recorded().commands, std::vector<std::wstring>{L"(/skin/window_login?open)"});
}
