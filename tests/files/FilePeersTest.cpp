// Two headless peers signed in to the real zandrel-server send each other
// files of the sizes where blocks, chunks and runs meet, across a path that
// loses, duplicates and reorders datagrams or goes silent, and decline one.
#include <dirent.h>
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>

#include "ZNonPortable.h"
#include "ZPeerProcesses.h"
#include "ZPortable.h"
#include "ZTestSupport.h"
#include "ZUtil_File.h"
#include "testing/ZTestUDPProxy.h"

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
    std::string start(std::vector<std::string> bobOptions = {}, std::vector<std::string> aliceOptions = {}) {
        if (serverProgram().empty()) return "zandrel-server is not built";
        if (!server.start()) return "the service did not start";
        alice = startPeer(dir, server, "alice", aliceOptions);
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
    // Both peers' file packets through the proxy: Alice on side 0, Bob on 1.
    std::string startVia(ZTestUDPProxy& proxy) {
        const std::string trouble = start({"-filevia", ZToUTF8(proxy.host(1))}, {"-filevia", ZToUTF8(proxy.host(0))});
        if (!trouble.empty()) return trouble;
        // The sending side speaks only when spoken to: the path must know
        // where it is before its first datagram.
        Peer* sides[2] = {alice.get(), bob.get()};
        for (int side = 0; side < 2; ++side) {
            sides[side]->command("get Local_Host");
            const std::string value = sides[side]->waitFor("VALUE Local_Host ", kConnectPatience);
            if (!proxy.setPeer(side, ZFromUTF8(value.substr(std::min(value.size(), std::string("VALUE Local_Host ").size())))))
                return "no local address: " + value;
        }
        return std::string();
    }
    // Alice offers the file; Bob's reports of where it goes, or "" when
    // the offer never came.
    std::string offer(const std::string& source) {
        alice->command("sendfile " + bobGUID + " " + source);
        return bob->waitFor("SENDFILE " + aliceGUID, kConnectPatience);
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
        ASSERT_FALSE(pair.offer(source).empty()) << pair.bob->log();
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

TEST(FilePeers, AnOfferToADownloadFolderWithEveryNameTakenIsDeclined) {
    Pair pair;
    const std::string trouble = pair.start();
    ASSERT_EQ("", trouble);
    std::string content;
    const std::string source = pair.write(3000, content);
    // The name and its 999 numbered copies are all taken.
    const std::string downloads = pair.dir.file("bob") + "/downloads";
    ZDirCreate(ZFromUTF8(downloads));
    ZTestWriteFile(downloads + "/file3000.bin", "mine");
    for (int n = 2; n <= 1000; ++n) ZTestWriteFile(downloads + "/file3000 (" + std::to_string(n) + ").bin", "mine");
    pair.alice->command("sendfile " + pair.bobGUID + " " + source);
    const std::string declined = pair.bob->waitFor("DECLINED " + pair.aliceGUID + " ", kConnectPatience);
    ASSERT_FALSE(declined.empty()) << pair.bob->log();
    EXPECT_EQ("SENDFILECOMPLETE Cancelled " + source, pair.alice->waitFor("SENDFILECOMPLETE ", kConnectPatience))
        << pair.alice->log();
    EXPECT_TRUE(pair.bob->waitForLog("WARNING No free name in 'downloads' for 'file3000.bin', refusing the file.", 1000000));
    EXPECT_EQ(std::string::npos, pair.bob->output().find("RECVFILE"));
    EXPECT_EQ("mine", ZTestReadFile(downloads + "/file3000.bin"));
    // Bob is still there to answer.
    pair.bob->command("get Local_Host");
    EXPECT_FALSE(pair.bob->waitFor("VALUE Local_Host ", kConnectPatience).empty()) << pair.bob->log();
}

namespace {

std::set<std::string> filesIn(const std::string& folder) {
    std::set<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') names.insert(entry->d_name);
        closedir(dir);
    }
    return names;
}

// Sends each file across a path that drops, duplicates and reorders 5 % of
// the datagrams each way; each must arrive whole, with the path's harm seen.
void sendAcrossALossyPath(std::uint32_t seed, std::initializer_list<std::size_t> sizes) {
    ZTestUDPProxy proxy(seed);
    proxy.setImpairment({5, 5, 5});
    Pair pair;
    ASSERT_EQ("", pair.startVia(proxy));
    for (std::size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string content;
        const std::string source = pair.write(size, content);
        const std::string name = "file" + std::to_string(size) + ".bin";
        const ZTestUDPProxy::Counts before = proxy.counts();
        const std::int64_t start = nowMs();
        ASSERT_FALSE(pair.offer(source).empty()) << pair.bob->log();
        EXPECT_EQ("RECVFILECOMPLETE Done downloads/" + name, pair.bob->waitFor("RECVFILECOMPLETE ", 240000000))
            << pair.bob->log();
        EXPECT_EQ("SENDFILECOMPLETE Done " + source, pair.alice->waitFor("SENDFILECOMPLETE ", 20000000))
            << pair.alice->log();
        EXPECT_TRUE(content == ZTestReadFile(pair.dir.file("bob") + "/downloads/" + name));
        // The transfer took the lossy path, and the path did its worst.
        const ZTestUDPProxy::Counts after = proxy.counts();
        EXPECT_GT(after.dropped, before.dropped);
        EXPECT_GT(after.duplicated, before.duplicated);
        EXPECT_GT(after.reordered, before.reordered);
        EXPECT_GE(after.received - before.received, static_cast<std::int64_t>(size / 1024));
        std::printf("%zu bytes in %lld ms, %lld datagrams, %lld dropped\n", size,
                    static_cast<long long>(nowMs() - start), static_cast<long long>(after.received - before.received),
                    static_cast<long long>(after.dropped - before.dropped));
    }
}

}  // namespace

TEST(FilePeers, FilesCrossAPathThatLosesDuplicatesAndReorders) {
    sendAcrossALossyPath(20, {10500, 8 * 1024 * 1024 + 8193});
}

// Apart from the others, so it runs beside them.
TEST(FilePeers, FiftyMiBCrossAPathThatLosesDuplicatesAndReorders) {
    sendAcrossALossyPath(22, {50 * 1024 * 1024});
}

TEST(FilePeers, APathSilentForTwelveSecondsEndsBothSidesCancelledAndKeepsTheOldFile) {
    ZTestUDPProxy proxy(21);
    proxy.setImpairment({5, 0, 0});
    Pair pair;
    ASSERT_EQ("", pair.startVia(proxy));
    std::string content;
    const std::string source = pair.write(50 * 1024 * 1024, content);
    // A file of the same name is there already and must stay as it is.
    const std::string downloads = pair.dir.file("bob") + "/downloads";
    ZDirCreate(ZFromUTF8(downloads));
    ZTestWriteFile(downloads + "/file52428800.bin", "existing");
    ASSERT_FALSE(pair.offer(source).empty()) << pair.bob->log();
    // Blocks flow, then the path goes silent.
    for (const std::int64_t end = nowMs() + 20000; proxy.counts().forwarded < 3000 && nowMs() < end;)
        ZThreadSleep(1000);
    ASSERT_GE(proxy.counts().forwarded, 3000) << pair.bob->log();
    proxy.setSilent(true);
    const std::int64_t silent = nowMs();
    EXPECT_EQ("RECVFILECOMPLETE Cancelled downloads/file52428800 (2).bin",
              pair.bob->waitFor("RECVFILECOMPLETE ", 30000000))
        << pair.bob->log();
    EXPECT_EQ("SENDFILECOMPLETE Cancelled " + source, pair.alice->waitFor("SENDFILECOMPLETE ", 30000000))
        << pair.alice->log();
    // Neither side gave up before its ten silent seconds were over.
    EXPECT_GE(nowMs() - silent, 9000);
    // Twelve silent seconds, then whatever either side still sends passes
    // again and must find nothing to resume.
    while (nowMs() - silent < 12000) ZThreadSleep(100000);
    proxy.setSilent(false);
    ZThreadSleep(1000000);
    EXPECT_EQ(std::set<std::string>{"file52428800.bin"}, filesIn(downloads));
    EXPECT_EQ("existing", ZTestReadFile(downloads + "/file52428800.bin"));
}
