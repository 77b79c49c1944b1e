// Two headless peers signed in to the real zandrel-server send each other
// files of the sizes where blocks, chunks and runs meet, and decline one.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "ZNonPortable.h"
#include "ZPeerProcesses.h"
#include "ZPortable.h"
#include "ZTestSupport.h"
#include "ZUtil_File.h"

using peertest::nowMs;
using peertest::Peer;
using peertest::Server;
using peertest::serverProgram;

namespace {

constexpr std::int64_t kSignInPatience = 30000000;
constexpr std::int64_t kConnectPatience = 10000000;

std::unique_ptr<Peer> startPeer(ZTempDir& dir, Server& server, const std::string& name,
                                std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"-auth", ZToUTF8(server.host(0)), "-user", name, "-password", "secret",
                                  "-email", name + "@example.org", "-upnp", "http://127.0.0.1:1/rootDesc.xml",
                                  "-log", "f"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Peer>(dir.file(name), args);
}

std::string online(Peer& peer) {
    const std::string line = peer.waitFor("AUTHENTICATED ", kSignInPatience);
    if (line.empty() || peer.waitFor("SIPSTATUS Online", kSignInPatience).empty()) return std::string();
    return line.substr(std::string("AUTHENTICATED ").size());
}

// Alice and Bob signed in to a service of their own and connected as buddies.
struct Pair {
    ZTempDir dir;
    Server server{dir.file("service")};
    std::unique_ptr<Peer> alice, bob;
    std::string aliceGUID, bobGUID;

    // Empty when all is ready, else what went wrong.
    std::string start(std::vector<std::string> bobOptions = {}) {
        if (serverProgram().empty()) return "zandrel-server is not built";
        if (!server.start()) return "the service did not start";
        alice = startPeer(dir, server, "alice");
        aliceGUID = online(*alice);
        if (aliceGUID.empty()) return alice->log();
        bob = startPeer(dir, server, "bob", bobOptions);
        bobGUID = online(*bob);
        if (bobGUID.empty()) return bob->log();
        alice->command("addbuddy " + bobGUID);
        if (alice->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience).empty() ||
            bob->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience).empty())
            return "the buddies did not connect";
        return std::string();
    }
    // A file of random bytes in Alice's folder; its path.
    std::string write(std::size_t size, std::string& content) {
        content.assign(size, '\0');
        std::mt19937 rng(static_cast<unsigned>(size));
        for (char& c : content) c = static_cast<char>(rng());
        const std::string source = dir.file("file" + std::to_string(size) + ".bin");
        ZTestWriteFile(source, content);
        return source;
    }
};

}  // namespace

TEST(FilePeers, FilesOfEveryBoundarySizeArriveWithTheirDigest) {
    Pair pair;
    const std::string trouble = pair.start();
    ASSERT_EQ("", trouble);
    constexpr std::size_t kMiB = 1024 * 1024;
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1023}, std::size_t{1024}, std::size_t{1025},
                             std::size_t{8191}, std::size_t{8192}, std::size_t{8193}, std::size_t{10500},
                             8 * kMiB - 1, 8 * kMiB, 8 * kMiB + 8193, 50 * kMiB}) {
        SCOPED_TRACE(size);
        std::string content;
        const std::string source = pair.write(size, content);
        const std::string name = "file" + std::to_string(size) + ".bin";
        const std::int64_t start = nowMs();
        pair.alice->command("sendfile " + pair.bobGUID + " " + source);
        const std::string offered = pair.bob->waitFor("SENDFILE " + pair.aliceGUID, kConnectPatience);
        ASSERT_FALSE(offered.empty()) << pair.bob->log();
        const std::string received = pair.bob->waitFor("RECVFILECOMPLETE ", 120000000);
        const std::string sent = pair.alice->waitFor("SENDFILECOMPLETE ", 20000000);
        EXPECT_EQ("RECVFILECOMPLETE Done downloads/" + name, received) << pair.bob->log();
        EXPECT_EQ("SENDFILECOMPLETE Done " + source, sent) << pair.alice->log();
        EXPECT_TRUE(content == ZTestReadFile(pair.dir.file("bob") + "/downloads/" + name));
        std::printf("%zu bytes in %lld ms\n", size, static_cast<long long>(nowMs() - start));
    }
}

TEST(FilePeers, ADeclinedOfferEndsTheSendCancelled) {
    Pair pair;
    const std::string trouble = pair.start({"-declinefiles", "1"});
    ASSERT_EQ("", trouble);
    std::string content;
    const std::string source = pair.write(20000, content);
    pair.alice->command("sendfile " + pair.bobGUID + " " + source);
    const std::string declined = pair.bob->waitFor("DECLINED " + pair.aliceGUID + " ", kConnectPatience);
    ASSERT_FALSE(declined.empty()) << pair.bob->log();
    EXPECT_EQ("SENDFILECOMPLETE Cancelled " + source, pair.alice->waitFor("SENDFILECOMPLETE ", kConnectPatience))
        << pair.alice->log();
    EXPECT_TRUE(pair.alice->waitForLog("File send cancelled", 1000000));
    EXPECT_EQ(std::string::npos, pair.bob->output().find("RECVFILE"));
    EXPECT_FALSE(ZFileExists(ZFromUTF8(pair.dir.file("bob") + "/downloads/file20000.bin")));
}
