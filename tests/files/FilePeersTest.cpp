// Two headless peers signed in to the real zandrel-server send each other
// files of the sizes where blocks, chunks and runs meet.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "ZNonPortable.h"
#include "ZPeerProcesses.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

using peertest::nowMs;
using peertest::Peer;
using peertest::Server;
using peertest::serverProgram;

namespace {

constexpr std::int64_t kSignInPatience = 30000000;
constexpr std::int64_t kConnectPatience = 10000000;

std::unique_ptr<Peer> startPeer(ZTempDir& dir, Server& server, const std::string& name) {
    return std::make_unique<Peer>(
        dir.file(name), std::vector<std::string>{"-auth", ZToUTF8(server.host(0)), "-user", name, "-password",
                                                 "secret", "-email", name + "@example.org", "-upnp",
                                                 "http://127.0.0.1:1/rootDesc.xml", "-log", "f"});
}

std::string online(Peer& peer) {
    const std::string line = peer.waitFor("AUTHENTICATED ", kSignInPatience);
    if (line.empty() || peer.waitFor("SIPSTATUS Online", kSignInPatience).empty()) return std::string();
    return line.substr(std::string("AUTHENTICATED ").size());
}

}  // namespace

TEST(FilePeers, FilesOfEveryBoundarySizeArriveWithTheirDigest) {
    ASSERT_FALSE(serverProgram().empty()) << "zandrel-server is not built";
    ZTempDir dir;
    Server server(dir.file("service"));
    ASSERT_TRUE(server.start());
    auto alice = startPeer(dir, server, "alice");
    const std::string aliceGUID = online(*alice);
    ASSERT_FALSE(aliceGUID.empty()) << alice->log();
    auto bob = startPeer(dir, server, "bob");
    const std::string bobGUID = online(*bob);
    ASSERT_FALSE(bobGUID.empty()) << bob->log();
    alice->command("addbuddy " + bobGUID);
    ASSERT_FALSE(alice->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience).empty());
    ASSERT_FALSE(bob->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience).empty());

    for (std::size_t size : {0, 1, 1023, 1024, 1025, 8191, 8192, 8193, 10500, 8 * 1024 * 1024 + 8193}) {
        SCOPED_TRACE(size);
        std::string content(size, '\0');
        std::mt19937 rng(static_cast<unsigned>(size));
        for (char& c : content) c = static_cast<char>(rng());
        const std::string name = "file" + std::to_string(size) + ".bin";
        const std::string source = dir.file(name);
        ZTestWriteFile(source, content);
        const std::int64_t start = nowMs();
        alice->command("sendfile " + bobGUID + " " + source);
        const std::string offered = bob->waitFor("SENDFILE " + aliceGUID, kConnectPatience);
        ASSERT_FALSE(offered.empty()) << bob->log();
        const std::string received = bob->waitFor("RECVFILECOMPLETE ", 120000000);
        const std::string sent = alice->waitFor("SENDFILECOMPLETE ", 20000000);
        EXPECT_EQ("RECVFILECOMPLETE Done downloads/" + name, received) << bob->log();
        EXPECT_EQ("SENDFILECOMPLETE Done " + source, sent) << alice->log();
        EXPECT_EQ(content, ZTestReadFile(dir.file("bob") + "/downloads/" + name));
        std::printf("%zu bytes in %lld ms\n", size, static_cast<long long>(nowMs() - start));
    }
}
