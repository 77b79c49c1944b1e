// A headless peer that runs the capture service: once a buddy's device is
// connected, a talk sends it our camera (a clip) and our voice (a file-backed
// microphone) as media packets through the real service's routes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

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

TEST(PeerMedia, ABuddyWhoTalksIsHeardAndSeen) {
    if (serverProgram().empty()) GTEST_SKIP() << "zandrel-server is not built";
    ZTempDir dir;
    Server server(dir.file("service"));
    ASSERT_TRUE(server.start());
    std::vector<int> lumas;
    for (int i = 0; i < 25; ++i) lumas.push_back(30 + 6 * i);
    ZTestWriteFile(dir.file("clip.y4m"), zantest::y4m(176, 144, "420jpeg", lumas));
    std::string tone;  // 1 kHz at 22000 Hz for 30 s
    for (int i = 0; i < 22000 * 30; ++i) {
        const auto s = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * 1000.0 * i / 22000)));
        tone.append(reinterpret_cast<const char*>(&s), 2);
    }
    ZTestWriteFile(dir.file("tone.raw"), tone);
    ZTestWriteFile(dir.file("asound.conf"),
                   "pcm.zantone {\n type file\n slave.pcm null\n file \"/dev/null\"\n infile \"" + dir.file("tone.raw") +
                       "\"\n format raw\n}\npcm.zanout {\n type file\n slave.pcm null\n file \"" + dir.file("heard.raw") +
                       "\"\n format raw\n}\n");
    setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + dir.file("asound.conf")).c_str(), 1);
    mkdir(dir.file("alice").c_str(), 0700);
    mkdir(dir.file("pictures").c_str(), 0700);
    ZTestWriteFile(dir.file("alice/settings.ini"), "Video_Privacy_Choice_Who: All my buddies\n");
    auto startPeer = [&](const std::string& name, std::vector<std::string> extra) {
        std::vector<std::string> args = {"-auth", ZToUTF8(server.host(0)), "-user", name, "-password", "secret",
                                         "-email", name + "@example.org", "-upnp", "http://127.0.0.1:1/rootDesc.xml",
                                         "-media", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<Peer>(dir.file(name), args);
    };
    auto alice = startPeer("alice", {"-log", "sbdv", "-avi", dir.file("clip.y4m"), "-mic", "zantone"});
    auto bob = startPeer("bob", {"-log", "sbdv", "-playback", "zanout", "-dumpimages", dir.file("pictures")});
    unsetenv("ALSA_CONFIG_PATH");
    const std::string aliceLine = alice->waitFor("AUTHENTICATED ", 30000000);
    const std::string bobLine = bob->waitFor("AUTHENTICATED ", 30000000);
    ASSERT_FALSE(aliceLine.empty()) << alice->log();
    ASSERT_FALSE(bobLine.empty()) << bob->log();
    const std::string aliceGUID = aliceLine.substr(std::string("AUTHENTICATED ").size());
    const std::string bobGUID = bobLine.substr(std::string("AUTHENTICATED ").size());
    ASSERT_FALSE(alice->waitFor("SIPSTATUS Online", 30000000).empty()) << alice->log();
    ASSERT_FALSE(bob->waitFor("SIPSTATUS Online", 30000000).empty()) << bob->log();

    alice->command("addbuddy " + bobGUID);
    ASSERT_TRUE(logsWithin(*alice, "Received 'OPEN' request, beginning to capture to '" + bobGUID + "@", 15000))
        << alice->log();
    ASSERT_TRUE(logsWithin(*bob, "Received 'OPEN' request, beginning playback for '" + aliceGUID + "@", 15000))
        << bob->log();
    alice->command("talk " + bobGUID);
    const std::string image = bob->waitFor("IMAGE " + aliceGUID + " ", 10000000);
    EXPECT_FALSE(image.empty()) << bob->log();
    ZThreadSleep(3000000);
    alice->command("untalk " + bobGUID);
    EXPECT_TRUE(alice->terminate(30000000));
    EXPECT_TRUE(bob->terminate(30000000));

    const std::size_t file = image.find(' ', image.find(' ') + 1) + 1;
    const std::string picture = ZTestReadFile(image.substr(file, image.find(' ', file) - file));
    EXPECT_EQ(picture.rfind("P6 48 48 255\n", 0), 0u) << image;
    // Bob's speaker: after the prebuffer, the tone.
    const std::string heard = ZTestReadFile(dir.file("heard.raw"));
    std::vector<std::int16_t> samples(heard.size() / 2);
    std::memcpy(samples.data(), heard.data(), samples.size() * 2);
    std::size_t first = 0;
    while (first < samples.size() && std::abs(samples[first]) < 1000) ++first;
    ASSERT_GT(samples.size(), first + 22000) << "less than a second of sound was played";
    int crossings = 0;
    std::size_t from = 0, to = 0;
    for (std::size_t i = first + 2240; i < first + 22000; ++i)
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (!crossings++) from = i;
            to = i;
        }
    const double hz = (crossings - 1) * 22000.0 / static_cast<double>(to - from);
    EXPECT_NEAR(hz, 1000.0, 10.0);
}
