// The zandrel program against the real zandrel-server on loopback: two
// clients sign in, go online and reach each other's device, a headless peer
// chats to one, and a stop signal signs the other off cleanly.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>

#include "ZNonPortable.h"
#include "ZPeerProcesses.h"
#include "ZPortable.h"
#include "ZTestSupport.h"
#include "ZTestTLS.h"

using namespace peertest;

namespace {

// Both leave room for a ThreadSanitizer build on two busy cores, where a
// start and sign-in took more than 10 s.
constexpr std::int64_t kSignInPatience = 30000000;
constexpr std::int64_t kOnlinePatience = 30000000;
// The program reads its skin from its working folder; these tests need none
// of its windows.
constexpr const char* kNoWindows = "<skin></skin>\n";

class ClientProcess : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(serverProgram().empty()) << "zandrel-server is not built";
        ASSERT_FALSE(clientProgram().empty()) << "zandrel is not built";
        server = std::make_unique<Server>(dir.file("service"));
        ASSERT_TRUE(server->start());
    }

    std::string auth() const { return ZToUTF8(server->host(0)); }

    std::unique_ptr<Peer> startPeer(const std::string& name) {
        return std::make_unique<Peer>(dir.file(name),
                                      std::vector<std::string>{"-auth", auth(), "-user", name, "-password",
                                                               password(name), "-email", name + "@example.org",
                                                               "-upnp", "http://127.0.0.1:1/rootDesc.xml"});
    }

    std::unique_ptr<Peer> startClient(const std::string& name) {
        mkdir(dir.file(name).c_str(), 0700);
        ZTestWriteFile(dir.file(name) + "/template.xml", kNoWindows);
        // The service's certificate comes from the test's own CA; the
        // settings end at their first empty line, so it goes first.
        const std::string settings = dir.file(name) + "/settings.ini";
        const std::string held = ZTestReadFile(settings);
        if (held.find("TLS_CA_File") == std::string::npos && held.find("tls_ca_file") == std::string::npos)
            ZTestWriteFile(settings, "TLS_CA_File: " + zantest::testCertificate().ca + "\n" + held);
        return std::make_unique<Peer>(dir.file(name), std::vector<std::string>{"-host", auth(), "-log", "cdsu"},
                                      clientProgram());
    }

    static std::string password(const std::string& name) { return "pw-" + name + "-7731"; }

    ZTempDir dir;
    std::unique_ptr<Server> server;
};

bool inOrder(const std::string& text, const std::vector<std::string>& parts) {
    std::size_t at = 0;
    for (const std::string& part : parts) {
        at = text.find(part, at);
        if (at == std::string::npos) return false;
    }
    return true;
}

}  // namespace

TEST_F(ClientProcess, TwoClientsGoOnlineTakeAChatAndOneSignsOffOnSIGTERM) {
    // The accounts and the buddy lists come from headless peers first.
    auto alicePeer = startPeer("alice");
    auto bobPeer = startPeer("bob");
    auto carol = startPeer("carol");
    for (Peer* peer : {alicePeer.get(), bobPeer.get(), carol.get()}) {
        ASSERT_FALSE(peer->waitFor("AUTHENTICATED", kSignInPatience).empty()) << peer->output();
        ASSERT_FALSE(peer->waitFor("SIPSTATUS Online", kSignInPatience).empty()) << peer->output();
    }
    alicePeer->command("addbuddy bob@zandrel.net");
    carol->command("addbuddy alice@zandrel.net");
    ASSERT_FALSE(bobPeer->waitFor("NOTIFY NEWBUDDY alice@zandrel.net", kSignInPatience).empty()) << bobPeer->output();
    ASSERT_FALSE(alicePeer->waitFor("NOTIFY NEWBUDDY carol@zandrel.net", kSignInPatience).empty())
        << alicePeer->output();
    for (Peer* peer : {alicePeer.get(), bobPeer.get(), carol.get()}) {
        peer->command("quit");
        ASSERT_FALSE(peer->waitFor("BYE", kSignInPatience).empty()) << peer->output();
        ASSERT_TRUE(peer->waitForEnd(5000000));
    }

    // Now the real program in the same folders: the settings hold the
    // account, the password and the device.
    // One after the other: two devices inviting each other at the same moment
    // take their turns only after a back-off.
    std::unique_ptr<Peer> alice;
    std::unique_ptr<Peer> bob;
    for (auto& [slot, name] : {std::pair{&alice, "alice"}, std::pair{&bob, "bob"}}) {
        *slot = startClient(name);
        Peer* client = slot->get();
        EXPECT_TRUE(client->waitForLog(std::string("Request 'AUTHENTICATE' succeeded, logged into account '") + name +
                                           "@zandrel.net'",
                                       kOnlinePatience))
            << client->log();
        EXPECT_TRUE(client->waitForLog("[Connecting...] Changing state to 'Online'", kOnlinePatience)) << client->log();
    }
    ASSERT_TRUE(alice->waitForLog("' to 'CONNECTED'", kOnlinePatience)) << alice->log();
    ASSERT_TRUE(bob->waitForLog("' to 'CONNECTED'", kOnlinePatience)) << bob->log();

    // Carol comes back (her account and device from her folder) and her chat
    // lands in alice's chat log.
    carol = startPeer("carol");
    ASSERT_FALSE(carol->waitFor("SIPSTATUS Online", kSignInPatience).empty()) << carol->output();
    const std::string chatlog = dir.file("alice") + "/chatlogs/carol@zandrel.net_chat.txt";
    const std::int64_t end = nowMs() + 10000;
    while (ZTestReadFile(chatlog).empty() && nowMs() < end) {
        carol->command("chat alice@zandrel.net hello from carol");
        ZThreadSleep(500000);
    }
    const std::string chat = ZTestReadFile(chatlog);
    ASSERT_FALSE(chat.empty()) << alice->log();
    const std::size_t close = chat.find("] carol: hello from carol\r\n");
    ASSERT_NE(close, std::string::npos) << chat;
    EXPECT_EQ(chat[0], '[');
    const std::string clock = chat.substr(1, close - 1);
    EXPECT_TRUE(clock.size() >= 6 && (clock.ends_with("am") || clock.ends_with("pm")) && clock.find(':') != std::string::npos)
        << clock;

    // SIGTERM: bob signs off the whole road and ends cleanly.
    const std::int64_t stopped = nowMs();
    ASSERT_TRUE(bob->terminate(5000000)) << bob->log();
    EXPECT_LT(nowMs() - stopped, 5000);
    EXPECT_EQ(bob->exitStatus(), 0);
    const std::string bobLog = bob->log();
    // The client's own road, and the dispatch service's beside it: the
    // service may take the DISCONNECT before the client has logged its new
    // state, so only each thread's order is fixed.
    EXPECT_TRUE(inOrder(bobLog, {"WARNING System signalled SIGTERM", "Changing state to 'Logging off...'",
                                 "Changing state to 'Setting buddy list'", "Changing state to 'Disconnecting...'",
                                 "Changing state to 'Offline'",
                                 "'Exit_When_Offline' set, exiting with 'Restart_On_Exit'=0",
                                 "---- Closed, Clean shutdown ----"}))
        << bobLog;
    // The dispatch service unregisters after the buddy list is set; it tells
    // the client it is offline as it leaves UNREGISTERING, and the client,
    // woken at once, may log its own 'Offline' before that line.
    EXPECT_TRUE(inOrder(bobLog, {"Changing state to 'Setting buddy list'",
                                 "Changing state from 'Online' to 'UNREGISTERING'",
                                 "Changing state from 'UNREGISTERING' to 'Offline'"}))
        << bobLog;
    EXPECT_TRUE(alice->waitForLog("(alice@zandrel.net->bob@zandrel.net@", kOnlinePatience));
    EXPECT_TRUE(alice->waitForLog("from 'CONNECTED' to 'DISCONNECTED'", kOnlinePatience)) << alice->log();

    ASSERT_TRUE(alice->terminate(5000000));
    for (auto* client : {alice.get(), bob.get()}) {
        const std::string log = client->log();
        EXPECT_EQ(log.find("pw-"), std::string::npos) << "a password in the log";
        EXPECT_NE(log.find("local_password: ********"), std::string::npos);
    }
    const std::string settings = ZTestReadFile(dir.file("bob") + "/settings.ini");
    EXPECT_NE(settings.find("local_device_guid: "), std::string::npos) << settings;
    EXPECT_NE(settings.find("first_run_complete: 1\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("current_version: 764\n"), std::string::npos) << settings;
    EXPECT_NE(settings.find("local_user_guid: bob@zandrel.net\n"), std::string::npos) << settings;
}

TEST_F(ClientProcess, ABareNameInTheSettingsCreatesTheAccountAndKeepsIt) {
    const std::string folder = dir.file("dave");
    ZDirCreate(ZFromUTF8(folder));
    ZTestWriteFile(folder + "/settings.ini",
                   "Local_User_GUID: Dave\nLocal_Password: " + password("dave") + "\nLocal_Email: d@example.org\n");
    auto dave = startClient("dave");
    EXPECT_TRUE(dave->waitForLog("Request 'AUTHENTICATE' succeeded, created new account 'dave@zandrel.net'",
                                 kOnlinePatience))
        << dave->log();
    EXPECT_TRUE(dave->waitForLog("[Connecting...] Changing state to 'Online'", kOnlinePatience)) << dave->log();
    ASSERT_TRUE(dave->terminate(5000000));
    EXPECT_EQ(dave->exitStatus(), 0);
    const std::string settings = ZTestReadFile(folder + "/settings.ini");
    EXPECT_NE(settings.find("local_user_guid: dave@zandrel.net\n"), std::string::npos) << settings;

    // The next start signs in to the account it made.
    auto again = startClient("dave");
    EXPECT_TRUE(again->waitForLog("logged into account 'dave@zandrel.net'", kOnlinePatience)) << again->log();
    ASSERT_TRUE(again->terminate(5000000)) << again->log();
}

TEST_F(ClientProcess, UploadAndExitSendsTheOldLogsAndEndsCleanly) {
    const std::string folder = dir.file("erin");
    ZDirCreate(ZFromUTF8(folder));
    ZTestWriteFile(folder + "/settings.ini", "TLS_CA_File: " + zantest::testCertificate().ca +
                                                 "\nLocal_User_GUID: erin\nLocal_Email: e@example.org\nLocal_Password: " +
                                                 password("erin") + "\n");
    ZTestWriteFile(folder + "/zandrel_261201_080000_dirty.log", "an old run\n");
    ZTestWriteFile(folder + "/template.xml", kNoWindows);
    Peer erin(folder, {"-host", auth(), "-uploadlogfiles", "1"}, clientProgram());
    ASSERT_TRUE(erin.waitForEnd(20000000)) << erin.log();
    EXPECT_EQ(erin.exitStatus(), 0);
    const std::string log = erin.log();
    EXPECT_TRUE(inOrder(log, {"Uploading logfiles; will exit when complete.", "Logfiles uploaded, exiting.",
                              "---- Closed, Clean shutdown ----"}))
        << log;
    EXPECT_TRUE(ZTestReadFile(folder + "/zandrel_261201_080000_dirty.log").empty()) << log;
    EXPECT_EQ(log.find("Changing state to 'Connecting...'"), std::string::npos) << "it never goes online";
}
