// Headless peers against the real zandrel-server on loopback: buddies find
// each other, connect, chat and sign off.
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

int countOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

class PeerLoopback : public ::testing::Test {
protected:
    void SetUp() override {
        if (serverProgram().empty()) GTEST_SKIP() << "zandrel-server is not built";
        server = std::make_unique<Server>(dir.file("service"));
        ASSERT_TRUE(server->start());
    }

    std::unique_ptr<Peer> startPeer(const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"-auth", ZToUTF8(server->host(0)), "-user", name, "-password", "secret",
                                         "-email", name + "@example.org", "-upnp", "http://127.0.0.1:1/rootDesc.xml",
                                         "-log", "sbd"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Peer>(dir.file(name), args);
    }

    // Waits until the peer is signed in and connected; its user identifier.
    static std::string online(Peer& peer) {
        const std::string line = peer.waitFor("AUTHENTICATED ", kSignInPatience);
        if (line.empty()) return std::string();
        if (peer.waitFor("NOTIFY CONNECTED", kSignInPatience).empty()) return std::string();
        if (peer.waitFor("SIPSTATUS Online", kSignInPatience).empty()) return std::string();
        return line.substr(std::string("AUTHENTICATED ").size());
    }

    // Waits for a log line holding the text.
    static bool logs(Peer& peer, const std::string& text, std::int64_t patienceMs) {
        return peer.waitForLog(text, patienceMs * 1000);
    }

    ZTempDir dir;
    std::unique_ptr<Server> server;
};

TEST_F(PeerLoopback, BuddiesConnectChatOnceAndSignOffByTerminate) {
    auto alice = startPeer("alice");
    const std::string aliceGUID = online(*alice);
    ASSERT_FALSE(aliceGUID.empty()) << alice->log();
    auto bob = startPeer("bob");
    const std::string bobGUID = online(*bob);
    ASSERT_FALSE(bobGUID.empty()) << bob->log();

    alice->command("addbuddy " + bobGUID);
    const std::string aliceOpen = alice->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience);
    const std::string bobOpen = bob->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience);
    ASSERT_NE(aliceOpen.find("OPEN " + bobGUID + "@"), std::string::npos) << alice->log();
    ASSERT_NE(bobOpen.find("OPEN " + aliceGUID + "@"), std::string::npos) << bob->log();
    EXPECT_TRUE(logs(*alice, "Changing state from 'WF_ACKRESPONSE' to 'CONNECTED'", 1000)) << alice->log();
    EXPECT_TRUE(logs(*bob, "Changing state from 'WF_ACK' to 'CONNECTED'", 1000)) << bob->log();

    alice->command("chat " + bobGUID + " hello there, bob");
    EXPECT_EQ(bob->waitFor("CHAT ", kConnectPatience), "CHAT " + aliceGUID + " hello there, bob") << bob->log();

    // Bob signs off: Alice's side ends at once, Bob stores his list and leaves.
    const std::int64_t signOff = nowMs();
    ASSERT_TRUE(bob->terminate(5000000)) << bob->log();
    EXPECT_FALSE(alice->waitFor("POST ZVideoCaptureService_commandQueue CLOSE " + bobGUID, 2000000).empty());
    EXPECT_LE(nowMs() - signOff, 5000);
    const std::string bobOutput = bob->output();
    EXPECT_EQ(countOf(bobOutput, "CHAT "), 1) << "the chat is delivered once";
    const std::size_t loggedOff = bobOutput.find("NOTIFY BUDDYLOGGEDOFF");
    ASSERT_NE(loggedOff, std::string::npos) << bobOutput;
    EXPECT_NE(bobOutput.find("NOTIFY DISCONNECTED", loggedOff), std::string::npos) << bobOutput;
    EXPECT_EQ(bob->log().find("unknown CSEQ"), std::string::npos) << bob->log();
    EXPECT_EQ(alice->log().find("unknown CSEQ"), std::string::npos) << alice->log();

    // Next time both know each other from the server's lists. Alice first:
    // Bob is offline; Bob then invites her and they connect.
    ASSERT_TRUE(alice->terminate(5000000)) << alice->log();
    alice = startPeer("alice");
    ASSERT_EQ(online(*alice), aliceGUID);
    ASSERT_TRUE(logs(*alice, "Buddy '" + bobGUID + "' is offline.", 5000)) << alice->log();
    bob = startPeer("bob");
    ASSERT_EQ(online(*bob), bobGUID);
    EXPECT_FALSE(alice->waitFor("POST ZVideoCaptureService_commandQueue OPEN " + bobGUID + "@", kConnectPatience).empty())
        << alice->log();
    EXPECT_FALSE(bob->waitFor("POST ZVideoCaptureService_commandQueue OPEN " + aliceGUID + "@", kConnectPatience).empty())
        << bob->log();
    EXPECT_TRUE(logs(*alice, "Changing state from 'WF_ACK' to 'CONNECTED'", 1000)) << alice->log();
    EXPECT_TRUE(logs(*bob, "Changing state from 'WF_ACKRESPONSE' to 'CONNECTED'", 1000)) << bob->log();
    EXPECT_TRUE(alice->terminate(5000000));
    EXPECT_TRUE(bob->terminate(5000000));
}

TEST_F(PeerLoopback, APublicPeerAndARelayedPeerStayConnectedWithoutLoss) {
    auto alice = startPeer("alice", {"-log", "sbdk"});
    const std::string aliceGUID = online(*alice);
    ASSERT_FALSE(aliceGUID.empty()) << alice->log();
    auto bob = startPeer("bob", {"-forceturn", "1", "-log", "sbdk"});
    const std::string bobGUID = online(*bob);
    ASSERT_FALSE(bobGUID.empty()) << bob->log();
    alice->command("addbuddy " + bobGUID);
    ASSERT_FALSE(alice->waitFor("POST ZVideoCaptureService_commandQueue OPEN " + bobGUID + "@", kConnectPatience).empty())
        << alice->log();
    ASSERT_FALSE(bob->waitFor("POST ZVideoCaptureService_commandQueue OPEN " + aliceGUID + "@", kConnectPatience).empty())
        << bob->log();
    // Direct datagrams do not reach it: what it hears comes through its relay.
    EXPECT_TRUE(logs(*bob, "recvRoute=(turn<-", 1000)) << bob->log();
    // Fifteen answered PINGs each way: about fifteen seconds of the session.
    const std::int64_t end = nowMs() + 40000;
    while (nowMs() < end && (countOf(alice->log(), "PING response sent") < 15 || countOf(bob->log(), "PING response sent") < 15))
        ZThreadSleep(200000);
    for (Peer* peer : {alice.get(), bob.get()}) {
        EXPECT_GE(countOf(peer->log(), "PING response sent"), 15) << peer->log();
        EXPECT_EQ(peer->log().find("Lost contact"), std::string::npos) << peer->log();
        peer->command("status");
        const std::string loss = peer->waitFor("LOSS ", 5000000);
        // One PING may still be on its way.
        EXPECT_TRUE(loss.find(" 0.00% (0/") != std::string::npos || loss.find("% (1/") != std::string::npos) << loss;
    }
    EXPECT_TRUE(bob->terminate(5000000));
    EXPECT_TRUE(alice->terminate(5000000));
}

TEST_F(PeerLoopback, BuddiesSigningOffTogetherBothEndAtOnce) {
    auto alice = startPeer("alice");
    const std::string aliceGUID = online(*alice);
    ASSERT_FALSE(aliceGUID.empty()) << alice->log();
    auto bob = startPeer("bob");
    const std::string bobGUID = online(*bob);
    ASSERT_FALSE(bobGUID.empty()) << bob->log();
    alice->command("addbuddy " + bobGUID);
    ASSERT_FALSE(alice->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience).empty());
    ASSERT_FALSE(bob->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience).empty());
    ASSERT_TRUE(logs(*alice, "to 'CONNECTED'", 1000));
    ASSERT_TRUE(logs(*bob, "to 'CONNECTED'", 1000));

    // The goodbyes cross on the way (or one arrives first): either way each
    // session ends at once instead of waiting out its time-out.
    const std::size_t aliceSeen = alice->log().size();
    const std::size_t bobSeen = bob->log().size();
    const std::int64_t signOff = nowMs();
    alice->command("quit");
    bob->command("quit");
    auto ended = [](Peer& peer, std::size_t from) {
        return peer.log().find("' to 'DISCONNECTED'", from) != std::string::npos;
    };
    while (nowMs() - signOff < 3000 && !(ended(*alice, aliceSeen) && ended(*bob, bobSeen))) ZThreadSleep(50000);
    EXPECT_TRUE(ended(*alice, aliceSeen)) << alice->log();
    EXPECT_TRUE(ended(*bob, bobSeen)) << bob->log();
    EXPECT_TRUE(alice->terminate(5000000));
    EXPECT_TRUE(bob->terminate(5000000));
    for (Peer* peer : {alice.get(), bob.get()}) EXPECT_EQ(peer->log().find("Response 'BYE' timed out"), std::string::npos);
}

TEST_F(PeerLoopback, APeerWhoseSignInFailsEndsAtOnce) {
    const std::int64_t start = nowMs();
    Peer peer(dir.file("nobody"), {"-auth", "127.0.0.1:1", "-user", "nobody", "-password", "secret", "-upnp",
                                   "http://127.0.0.1:1/rootDesc.xml"});
    EXPECT_FALSE(peer.waitFor("AUTHFAILED", 5000000).empty());
    EXPECT_FALSE(peer.waitFor("BYE", 3000000).empty()) << peer.log();
    EXPECT_LE(nowMs() - start, 5000);
    EXPECT_EQ(peer.log().find("secret"), std::string::npos);
}

TEST_F(PeerLoopback, SurvivorsReinviteAboutTenSecondsAfterAPeerDies) {
    std::vector<std::unique_ptr<Peer>> peers;
    std::vector<std::string> guids;
    for (const char* name : {"alice", "bob", "carol"}) {
        peers.push_back(startPeer(name));
        guids.push_back(online(*peers.back()));
        ASSERT_FALSE(guids.back().empty()) << peers.back()->log();
    }
    // Alice adds both; Bob adds Carol.
    peers[0]->command("addbuddy " + guids[1]);
    peers[0]->command("addbuddy " + guids[2]);
    peers[1]->command("addbuddy " + guids[2]);
    const std::int64_t end = nowMs() + kConnectPatience / 1000 * 2;
    auto connections = [&](int i) { return countOf(peers[static_cast<std::size_t>(i)]->output(), "POST ZVideoCaptureService_commandQueue OPEN "); };
    while (nowMs() < end && (connections(0) < 2 || connections(1) < 2 || connections(2) < 2))
        for (auto& peer : peers) peer->waitFor("\x02", 100000);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(connections(i), 2) << peers[static_cast<std::size_t>(i)]->log();

    const std::int64_t killed = nowMs();
    peers[2]->kill();
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(logs(*peers[static_cast<std::size_t>(i)], "WARNING Lost contact with '" + guids[2] + "@", 20000))
            << peers[static_cast<std::size_t>(i)]->log();
    }
    const std::int64_t noticed = nowMs() - killed;
    EXPECT_GE(noticed, 9000);
    EXPECT_LE(noticed, 20000);
    for (int i = 0; i < 2; ++i) {
        const std::string log = peers[static_cast<std::size_t>(i)]->log();
        EXPECT_EQ(log.find("unknown CSEQ"), std::string::npos) << log;
        EXPECT_EQ(countOf(log, "WARNING Lost contact"), 1) << log;
    }
    EXPECT_TRUE(peers[0]->terminate(10000000));
    EXPECT_TRUE(peers[1]->terminate(10000000));
}

}  // namespace
