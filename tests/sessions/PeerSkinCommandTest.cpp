// Two headless peers whose buddy and chat actions come from skin commands
// run by the template root, against the real zandrel-server on loopback.
#include <gtest/gtest.h>

#include <memory>

#include "ZNonPortable.h"
#include "ZPeerProcesses.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

using namespace peertest;

namespace {

constexpr std::int64_t kSignInPatience = 30000000;
constexpr std::int64_t kConnectPatience = 10000000;

class PeerSkinCommand : public ::testing::Test {
protected:
    void SetUp() override {
        if (serverProgram().empty()) GTEST_SKIP() << "zandrel-server is not built";
        server = std::make_unique<Server>(dir.file("service"));
        ASSERT_TRUE(server->start());
        ZTestWriteFile(dir.file("template.xml"), "<skin><Window id=\"main\"><Text>Zandrel</Text></Window></skin>\n");
    }

    std::unique_ptr<Peer> startPeer(const std::string& name) {
        return std::make_unique<Peer>(
            dir.file(name), std::vector<std::string>{"-auth", ZToUTF8(server->host(0)), "-user", name, "-password",
                                                     "secret", "-email", name + "@example.org", "-upnp",
                                                     "http://127.0.0.1:1/rootDesc.xml"});
    }

    std::string online(Peer& peer) {
        const std::string line = peer.waitFor("AUTHENTICATED ", kSignInPatience);
        if (line.empty() || peer.waitFor("SIPSTATUS Online", kSignInPatience).empty()) return std::string();
        peer.command("skin " + dir.file("template.xml"));
        if (peer.waitFor("SKIN ", kSignInPatience) != "SKIN LOADED") return std::string();
        return line.substr(std::string("AUTHENTICATED ").size());
    }

    ZTempDir dir;
    std::unique_ptr<Server> server;
};

}  // namespace

TEST_F(PeerSkinCommand, ABuddyAddedAndChattedToBySkinCommands) {
    auto alice = startPeer("alice");
    const std::string aliceGUID = online(*alice);
    ASSERT_FALSE(aliceGUID.empty()) << alice->log();
    auto bob = startPeer("bob");
    const std::string bobGUID = online(*bob);
    ASSERT_FALSE(bobGUID.empty()) << bob->log();

    // The user part alone: the command completes the service's domain.
    const std::string bobUser = bobGUID.substr(0, bobGUID.find('@'));
    alice->command("command (/system?set+name=Add_Buddy_GUID+value=" + bobUser + ";/buddies?addbuddy)");
    ASSERT_EQ(alice->waitFor("COMMAND ", kConnectPatience), "COMMAND DONE");
    ASSERT_FALSE(alice->waitFor("POST ZVideoCaptureService_commandQueue OPEN " + bobGUID + "@", kConnectPatience)
                     .empty())
        << alice->log();
    ASSERT_FALSE(bob->waitFor("POST ZVideoCaptureService_commandQueue OPEN " + aliceGUID + "@", kConnectPatience)
                     .empty())
        << bob->log();

    alice->command("command (/buddies/" + bobGUID + "?chat+action=send+message=hi)");
    EXPECT_EQ(bob->waitFor("CHAT ", kConnectPatience), "CHAT " + aliceGUID + " hi") << bob->log();
    const std::string chatLog = ZTestReadFile(dir.file("alice/chatlogs/" + bobGUID + "_chat.txt"));
    EXPECT_NE(chatLog.find("] alice: hi\r\n"), std::string::npos) << chatLog;
    EXPECT_EQ(chatLog.front(), '[');

    EXPECT_TRUE(alice->terminate(5000000)) << alice->log();
    EXPECT_TRUE(bob->terminate(5000000)) << bob->log();
}
