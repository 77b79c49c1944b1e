// Two headless peers signed in to the real zandrel-server: one shows its
// desktop, the other's picture of it converges, and closing the viewer
// ends the share on the sharer's side.
#include <gtest/gtest.h>

#include <memory>

#include "ZPeerProcesses.h"
#include "ZScreenTestSupport.h"
#include "ZUtil_File.h"

using peertest::Peer;
using peertest::Server;
using peertest::serverProgram;
using peertest::nowMs;
using screentest::ColourWindow;
using screentest::grabRGB;

namespace {

constexpr std::int64_t kSignInPatience = 30000000;
constexpr std::int64_t kConnectPatience = 10000000;

class ScreenPeers : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(serverProgram().empty()) << "zandrel-server is not built";
        server = std::make_unique<Server>(dir.file("service"));
        ASSERT_TRUE(server->start());
    }

    std::unique_ptr<Peer> startPeer(const std::string& name) {
        return std::make_unique<Peer>(
            dir.file(name), std::vector<std::string>{"-auth", ZToUTF8(server->host(0)), "-user", name, "-password",
                                                     "secret", "-email", name + "@example.org", "-upnp",
                                                     "http://127.0.0.1:1/rootDesc.xml", "-log", "r"});
    }

    static std::string online(Peer& peer) {
        const std::string line = peer.waitFor("AUTHENTICATED ", kSignInPatience);
        if (line.empty() || peer.waitFor("SIPSTATUS Online", kSignInPatience).empty()) return std::string();
        return line.substr(std::string("AUTHENTICATED ").size());
    }

    ZTempDir dir;
    std::unique_ptr<Server> server;
};

// Whether the dumped picture shows the screen inside every rectangle, in
// 4-bit grey (n * 17) as the sharer sends it by default.
bool showsScreen(const std::string& png, const std::vector<ZRect>& rects, std::string& why) {
    ZImageFormat format;
    std::string shown;
    if (!ZImageLoad(reinterpret_cast<const unsigned char*>(png.data()), static_cast<int>(png.size()), format, shown)) {
        why = "no picture";
        return false;
    }
    ZImageFormat screenFormat;
    std::string screen = grabRGB(screenFormat);
    if (format.width != screenFormat.width || format.height != screenFormat.height) {
        why = "picture of another size";
        return false;
    }
    for (std::size_t i = 0; i + 2 < screen.size(); i += 3) std::swap(screen[i], screen[i + 2]);
    for (const ZRect& r : rects) {
        std::string grey, expected, got;
        ZImageConvert(ZImageFormat{ZIT_BGR24, screenFormat.width, screenFormat.height},
                      reinterpret_cast<const unsigned char*>(screen.data()), r, ZIT_GRAY4, grey);
        ZImageConvert(ZImageFormat{ZIT_GRAY4, r.right - r.left, r.bottom - r.top},
                      reinterpret_cast<const unsigned char*>(grey.data()), ZIT_RGB24, expected);
        ZImageCrop(format, reinterpret_cast<const unsigned char*>(shown.data()), r, got);
        if (got != expected) {
            why = "differs in " + r.serialize();
            return false;
        }
    }
    return true;
}

}  // namespace

TEST_F(ScreenPeers, ViewerSeesTheSharersDesktopAndClosingEndsTheShare) {
    ZREQUIRE_DISPLAY();
    auto alice = startPeer("alice");
    const std::string aliceGUID = online(*alice);
    ASSERT_FALSE(aliceGUID.empty()) << alice->log();
    auto bob = startPeer("bob");
    const std::string bobGUID = online(*bob);
    ASSERT_FALSE(bobGUID.empty()) << bob->log();
    alice->command("addbuddy " + bobGUID);
    ASSERT_FALSE(alice->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience).empty());
    ASSERT_FALSE(bob->waitFor("POST ZVideoCaptureService_commandQueue OPEN ", kConnectPatience).empty());

    ColourWindow offScreen(-60, 700, 240, 160, 0x2266AA, 0xEE8800);
    ColourWindow inside(400, 300, 200, 150, 0x11CC55, 0x881199);
    const std::vector<ZRect> rects = {{0, 700, 180, 860}, {400, 300, 600, 450}};

    const std::int64_t start = nowMs();
    alice->command("showscreen " + bobGUID);
    ASSERT_FALSE(bob->waitFor("SHARESCREEN " + aliceGUID, kConnectPatience).empty()) << bob->log();
    const std::string dump = dir.file("bob") + "/viewer.png";
    std::string why;
    bool converged = false;
    // Patient enough for a ThreadSanitizer build on two busy cores; a fast
    // run converges in about a second.
    while (!converged && nowMs() - start < 30000) {
        bob->command("dumpimage " + aliceGUID + "_Screen_Image viewer.png");
        if (bob->waitFor("DUMPED ", 5000000).find(" 1") != std::string::npos)
            converged = showsScreen(ZTestReadFile(dump), rects, why);
        if (!converged) ZThreadSleep(100000);
    }
    const std::int64_t elapsed = nowMs() - start;
    ASSERT_TRUE(converged) << why << "\n" << bob->log();
    std::printf("picture equal on the viewer after %lld ms\n", static_cast<long long>(elapsed));

    bob->command("post ZScreenService_commandQueue CLOSERECV Buddy-GUID=" + aliceGUID);
    bool ended = false;
    for (int i = 0; i < 50 && !ended; ++i) {
        alice->command("get ZScreenService_sendStreamActive");
        ended = alice->waitFor("VALUE ZScreenService_sendStreamActive", 2000000) ==
                "VALUE ZScreenService_sendStreamActive 0";
        if (!ended) ZThreadSleep(100000);
    }
    EXPECT_TRUE(ended) << alice->log();
    EXPECT_NE(alice->log().find("Closing send stream to '" + bobGUID + "'"), std::string::npos);
}
