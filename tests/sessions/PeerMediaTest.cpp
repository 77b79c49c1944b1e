// A headless peer that runs the capture service: once a buddy's device is
// connected, a talk sends it our camera (a clip) and our voice (a file-backed
// microphone) as media packets through the real service's routes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <memory>

#include "../capture/ZTestMedia.h"
#include "ZNonPortable.h"
#include "ZPeerProcesses.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

using namespace peertest;

namespace {

bool logsWithin(Peer& peer, const std::string& text, std::int64_t patienceMs) {
    const std::int64_t end = nowMs() + patienceMs;
    while (nowMs() < end) {
        if (peer.log().find(text) != std::string::npos) return true;
        ZThreadSleep(50000);
    }
    return peer.log().find(text) != std::string::npos;
}

}  // namespace

TEST(PeerMedia, ATalkSendsTheCameraAndTheVoiceToEveryDeviceOfTheBuddy) {
    if (serverProgram().empty()) GTEST_SKIP() << "zandrel-server is not built";
    ZTempDir dir;
    Server server(dir.file("service"));
    ASSERT_TRUE(server.start());
    ZTestWriteFile(dir.file("clip.y4m"), zantest::y4m(176, 144, "420jpeg", {40, 80, 120, 160}));
    ZTestWriteFile(dir.file("tone.raw"), zantest::tone(22000 * 30, 22000));
    ZTestWriteFile(dir.file("asound.conf"), "pcm.zantone {\n type file\n slave.pcm null\n file \"/dev/null\"\n infile \"" +
                                                dir.file("tone.raw") + "\"\n format raw\n}\n");
    // The peers inherit the microphone's configuration.
    setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + dir.file("asound.conf")).c_str(), 1);
    mkdir(dir.file("alice").c_str(), 0700);
    ZTestWriteFile(dir.file("alice/settings.ini"), "Video_Privacy_Choice_Who: All my buddies\n");

    auto startPeer = [&](const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args = {"-auth", ZToUTF8(server.host(0)), "-user", name, "-password", "secret",
                                         "-email", name + "@example.org", "-upnp", "http://127.0.0.1:1/rootDesc.xml"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Peer>(dir.file(name), args);
    };
    auto alice = startPeer("alice", {"-log", "sbdvVA", "-media", "1", "-avi", dir.file("clip.y4m"), "-mic", "zantone"});
    auto bob = startPeer("bob", {"-log", "sbd"});
    unsetenv("ALSA_CONFIG_PATH");
    const std::string aliceLine = alice->waitFor("AUTHENTICATED ", 30000000);
    const std::string bobLine = bob->waitFor("AUTHENTICATED ", 30000000);
    ASSERT_FALSE(aliceLine.empty()) << alice->log();
    ASSERT_FALSE(bobLine.empty()) << bob->log();
    const std::string bobGUID = bobLine.substr(std::string("AUTHENTICATED ").size());
    ASSERT_FALSE(alice->waitFor("SIPSTATUS Online", 30000000).empty()) << alice->log();
    ASSERT_FALSE(bob->waitFor("SIPSTATUS Online", 30000000).empty()) << bob->log();

    alice->command("addbuddy " + bobGUID);
    ASSERT_TRUE(logsWithin(*alice, "Received 'OPEN' request, beginning to capture to '" + bobGUID + "@", 15000))
        << alice->log();
    EXPECT_FALSE(bob->waitFor("POST ZVideoPlaybackService_commandQueue OPEN ", 10000000).empty()) << bob->log();
    alice->command("talk " + bobGUID);
    EXPECT_TRUE(logsWithin(*alice, "Sending new audio frame", 5000)) << alice->log();
    EXPECT_TRUE(logsWithin(*alice, "Sending new video frame", 5000)) << alice->log();
    alice->command("untalk " + bobGUID);
    EXPECT_TRUE(logsWithin(*alice, "Audio-Enable: false", 5000)) << alice->log();
    EXPECT_EQ(alice->log().find("Cannot send from"), std::string::npos);
    EXPECT_TRUE(alice->terminate(30000000));
    EXPECT_TRUE(bob->terminate(30000000));
}
