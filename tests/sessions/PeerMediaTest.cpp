// Headless peers that run the media services: once a buddy's device is
// connected, a talk sends it our camera (a clip) and our voice (a file-backed
// microphone) as media packets through the real service's routes; two such
// peers talking to each other hear one another through file-backed ALSA
// devices and see one another's pictures.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "../capture/ZTestMedia.h"
#include "ZImage.h"
#include "ZNonPortable.h"
#include "ZPeerProcesses.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

using namespace peertest;

namespace {

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

std::int64_t monotonicMicros() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The words after the prefix of every output line that begins with it.
std::vector<std::vector<std::string>> linesOf(const std::string& output, const std::string& prefix) {
    std::vector<std::vector<std::string>> found;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (line.compare(0, prefix.size(), prefix) != 0) continue;
        std::istringstream words(line.substr(prefix.size()));
        std::vector<std::string> fields;
        for (std::string word; words >> word;) fields.push_back(word);
        found.push_back(fields);
    }
    return found;
}

// Digits of three by five cells, one bit a cell, rows top down.
const unsigned char kDigits[10][5] = {{7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 3, 1, 7},
                                      {5, 5, 7, 1, 1}, {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1},
                                      {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};

// The camera: a gradient that moves a little each frame, with the frame's
// number drawn in its middle, as YUY2 (what the clip reader delivers) and
// as a YUV4MPEG2 clip of grey chroma.
const int kClipWidth = 176, kClipHeight = 144;
std::string clipFrameLuma(int frame) {
    std::string y(static_cast<std::size_t>(kClipWidth) * kClipHeight, '\0');
    for (int row = 0; row < kClipHeight; ++row)
        for (int x = 0; x < kClipWidth; ++x) {
            const int wave = (x + 3 * frame) % 240;
            const int level = 40 + (wave < 120 ? wave : 240 - wave) + row / 3;
            y[static_cast<std::size_t>(row) * kClipWidth + x] = static_cast<char>(level);
        }
    const std::string digits = std::to_string(frame);
    const int cell = 6, left = kClipWidth / 2 - static_cast<int>(digits.size()) * 2 * cell + cell / 2, top = 57;
    for (std::size_t d = 0; d < digits.size(); ++d)
        for (int r = 0; r < 5; ++r)
            for (int c = 0; c < 3; ++c) {
                if (!(kDigits[digits[d] - '0'][r] & (4 >> c))) continue;
                for (int dy = 0; dy < cell; ++dy)
                    for (int dx = 0; dx < cell; ++dx) {
                        const int x = left + (static_cast<int>(d) * 4 + c) * cell + dx, row = top + r * cell + dy;
                        y[static_cast<std::size_t>(row) * kClipWidth + x] = static_cast<char>(230);
                    }
            }
    return y;
}

std::string clipY4m(int frames) {
    std::string s = "YUV4MPEG2 W" + std::to_string(kClipWidth) + " H" + std::to_string(kClipHeight) +
                    " F10:1 Ip A1:1 C420jpeg\n";
    for (int f = 0; f < frames; ++f)
        s += "FRAME\n" + clipFrameLuma(f) + std::string(static_cast<std::size_t>(kClipWidth) * kClipHeight / 2, '\x80');
    return s;
}

// What the buddy should see of a clip frame: the centred square cut out,
// scaled to the picture size and back to RGB by the image family.
std::string expectedPicture(int frame, int side) {
    const std::string luma = clipFrameLuma(frame);
    std::string yuy2(luma.size() * 2, '\x80');
    for (std::size_t i = 0; i < luma.size(); ++i) yuy2[2 * i] = luma[i];
    const int square = kClipHeight / 16 * 16;
    const ZRect crop{(kClipWidth - square) / 2, (kClipHeight - square) / 2, (kClipWidth + square) / 2,
                     (kClipHeight + square) / 2};
    std::string cropped, y, u, v, ry, ru, rv, rgb;
    ZImageCrop(ZImageFormat{ZIT_YUY2, kClipWidth, kClipHeight}, bytes(yuy2), crop, cropped);
    ZImageConvertToIYUY(ZImageFormat{ZIT_YUY2, square, square}, bytes(cropped), y, u, v);
    ZImageResizeIYUY(ZImageFormat{ZIT_IYUY, square, square}, bytes(y), bytes(u), bytes(v), side, side, ry, ru, rv);
    ZImageConvertFromIYUY(ZImageFormat{ZIT_IYUY, side, side}, bytes(ry), bytes(ru), bytes(rv),
                          ZImageFormat{ZIT_RGB24, side, side}, rgb);
    return rgb;
}

double lumaPSNR(const std::string& a, const std::string& b) {
    double sum = 0;
    const std::size_t pixels = a.size() / 3;
    for (std::size_t i = 0; i < pixels; ++i) {
        auto luma = [](const std::string& s, std::size_t p) {
            const unsigned char* q = reinterpret_cast<const unsigned char*>(&s[p * 3]);
            return 0.299 * q[0] + 0.587 * q[1] + 0.114 * q[2];
        };
        const double d = luma(a, i) - luma(b, i);
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(pixels);
    return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// The microphone: 1 kHz bursts of 200 ms, one a second, at 22000 Hz.
const int kRate = 22000;
std::string burstsPCM(int seconds) {
    std::string pcm(static_cast<std::size_t>(seconds) * kRate * 2, '\0');
    for (int second = 0; second < seconds; ++second)
        for (int i = 0; i < kRate / 5; ++i) {
            const auto s = static_cast<std::int16_t>(std::lround(8000 * std::sin(2 * M_PI * 1000.0 * i / kRate)));
            std::memcpy(&pcm[(static_cast<std::size_t>(second) * kRate + i) * 2], &s, 2);
        }
    return pcm;
}

struct Burst {
    std::size_t start = 0, end = 0;  // samples
};

// Bursts of sound in the samples: runs of 5 ms blocks louder than the
// quiet between them, each starting at its first loud sample.
std::vector<Burst> findBursts(const std::vector<std::int16_t>& samples) {
    const std::size_t block = kRate / 200;
    std::vector<Burst> bursts;
    bool inside = false;
    for (std::size_t at = 0; at + block <= samples.size(); at += block) {
        double sum = 0;
        for (std::size_t i = at; i < at + block; ++i) sum += static_cast<double>(samples[i]) * samples[i];
        const bool loud = std::sqrt(sum / block) > 1000;
        if (loud && !inside) {
            std::size_t first = at >= block ? at - block : 0;
            while (first < at + block && std::abs(samples[first]) < 1000) ++first;
            bursts.push_back(Burst{first, at + block});
        }
        if (loud) bursts.back().end = at + block;
        inside = loud;
    }
    return bursts;
}

double crossingsHz(const std::vector<std::int16_t>& samples, std::size_t from, std::size_t to) {
    std::size_t first = 0, last = 0;
    int crossings = -1;
    for (std::size_t i = from + 1; i < to; ++i)
        if (samples[i - 1] < 0 && samples[i] >= 0) {
            if (crossings < 0) first = i;
            last = i;
            ++crossings;
        }
    return crossings > 0 ? crossings * static_cast<double>(kRate) / static_cast<double>(last - first) : 0;
}

bool logsWithin(Peer& peer, const std::string& text, std::int64_t patienceMs) {
    const std::int64_t end = nowMs() + patienceMs;
    while (nowMs() < end) {
        if (peer.log().find(text) != std::string::npos) return true;
        ZThreadSleep(50000);
    }
    return peer.log().find(text) != std::string::npos;
}



// What one peer heard and saw of the other's talk, from their reports and
// the listener's sound file.
void checkHeardAndSeen(const std::string& who, const std::string& speaker, const std::string& listener,
                       const std::string& speakerGUID, const std::string& heardFile, std::int64_t talkStart,
                       const std::vector<std::string>& expected) {
    SCOPED_TRACE(who);
    const auto mic = linesOf(speaker, "MICSTART ");
    const auto sound = linesOf(listener, "SOUNDSTART ");
    const auto listening = linesOf(listener, "LISTENING " + speakerGUID + " ");
    const auto images = linesOf(listener, "IMAGE " + speakerGUID + " ");
    ASSERT_FALSE(mic.empty()) << speaker;
    ASSERT_EQ(sound.size(), 1u) << "one sound output for one talk\n" << listener;
    ASSERT_FALSE(listening.empty()) << listener;
    ASSERT_FALSE(images.empty()) << listener;

    // Every picture the listener published is one of the clip's frames, cut and scaled.
    for (const auto& image : images) {
        const std::string ppm = ZTestReadFile(image[0]);
        const std::string header = "P6 48 48 255\n";
        ASSERT_EQ(ppm.rfind(header, 0), 0u) << image[0];
        const std::string picture = ppm.substr(header.size());
        double best = 0;
        for (const std::string& frame : expected) best = std::max(best, lumaPSNR(picture, frame));
        EXPECT_GE(best, 30.0) << image[0];
    }
    // Once the speaker's sound arrives, pictures wait until the listener's sound output starts.
    const std::int64_t heardFrom = std::stoll(listening.back()[0]);
    const std::int64_t soundFrom = std::stoll(sound[0][1]);
    EXPECT_LT(heardFrom, soundFrom);
    int afterwards = 0;
    for (const auto& image : images) {
        const std::int64_t at = std::stoll(image[1]);
        EXPECT_FALSE(at > heardFrom && at < soundFrom) << "a picture at " << at << " between " << heardFrom << " and "
                                                       << soundFrom;
        afterwards += at >= soundFrom;
    }
    EXPECT_GE(afterwards, 10);  // then they flow, with the sound

    // The listener's loudspeaker: the bursts one second apart, each 1 kHz.
    const std::string heard = ZTestReadFile(heardFile);
    std::vector<std::int16_t> samples(heard.size() / 2);
    std::memcpy(samples.data(), heard.data(), samples.size() * 2);
    std::vector<Burst> bursts = findBursts(samples);
    // A burst cut by the talk's start or end is not a whole one.
    bursts.erase(std::remove_if(bursts.begin(), bursts.end(),
                                [](const Burst& b) { return b.end - b.start < static_cast<std::size_t>(kRate) * 19 / 100; }),
                 bursts.end());
    ASSERT_GE(bursts.size(), 7u) << samples.size() << " samples heard";
    for (std::size_t i = 0; i < bursts.size(); ++i) {
        const Burst& b = bursts[i];
        EXPECT_NEAR(crossingsHz(samples, b.start + kRate / 50, b.end - kRate / 50), 1000.0, 10.0) << "burst " << i;
        if (i) {
            EXPECT_NEAR(static_cast<double>(b.start - bursts[i - 1].start), kRate, kRate / 50.0) << "burst " << i;
        }
    }

    // Mouth to ear: when the listener's device played a burst's first sample
    // (output start plus its place in the device's file; the clock-paced
    // device holds its 40 ms in the pacing) against when the speaker's
    // microphone took it. The
    // file microphone hands each block of 1120 samples over as its first
    // sample is taken, one block sooner than a live one could.
    const std::int64_t micFrom = std::stoll(mic.back()[0]);
    const std::int64_t outFrom = std::stoll(sound[0][0]);
    std::vector<std::int64_t> delays;
    for (const Burst& b : bursts) {
        const std::int64_t played = outFrom + static_cast<std::int64_t>(b.start) * 1000000 / kRate;
        const std::int64_t captured = micFrom + (played - micFrom) / 1000000 * 1000000;
        delays.push_back(played - captured);
    }
    // A burst taken before the talk began would mean the delay is more than
    // a second.
    const std::int64_t firstCaptured = outFrom + static_cast<std::int64_t>(bursts[0].start) * 1000000 / kRate - delays[0];
    EXPECT_GE(firstCaptured, talkStart - 200000);
    std::sort(delays.begin(), delays.end());
    const std::string report = who + ": mouth to ear over " + std::to_string(delays.size()) + " bursts: min " +
                               std::to_string(delays.front() / 1000) + " ms, median " +
                               std::to_string(delays[delays.size() / 2] / 1000) + " ms, max " +
                               std::to_string(delays.back() / 1000) +
                               " ms (prebuffer 500 ms, device buffer 40 ms, microphone blocks of 50.9 ms)";
    std::printf("%s\n", report.c_str());
    ::testing::Test::RecordProperty("mouth_to_ear_median_ms", static_cast<int>(delays[delays.size() / 2] / 1000));
    // No sound plays before the prebuffer has been taken: at least 500 ms
    // less the block the file microphone hands over early.
    EXPECT_GE(delays.front(), 500000 - 1120 * 1000000 / kRate) << report;
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
    const int clipFrames = 100;
    ZTestWriteFile(dir.file("clip.y4m"), clipY4m(clipFrames));
    ZTestWriteFile(dir.file("bursts.raw"), burstsPCM(90));
    std::string devices;
    for (const std::string name : {"alice", "bob"}) {
        devices += "pcm.mic_" + name + " {\n type file\n slave.pcm null\n file \"/dev/null\"\n infile \"" +
                   dir.file("bursts.raw") + "\"\n format raw\n}\npcm.out_" + name +
                   " {\n type file\n slave.pcm null\n file \"" + dir.file(name + "_heard.raw") +
                   "\"\n format raw\n}\n";
        mkdir(dir.file(name).c_str(), 0700);
        mkdir(dir.file(name + "_pictures").c_str(), 0700);
        ZTestWriteFile(dir.file(name + "/settings.ini"), "Video_Privacy_Choice_Who: All my buddies\n");
    }
    ZTestWriteFile(dir.file("asound.conf"), devices);
    setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + dir.file("asound.conf")).c_str(), 1);
    auto startPeer = [&](const std::string& name) {
        return std::make_unique<Peer>(
            dir.file(name),
            std::vector<std::string>{"-auth", ZToUTF8(server.host(0)), "-user", name, "-password", "secret", "-email",
                                     name + "@example.org", "-upnp", "http://127.0.0.1:1/rootDesc.xml", "-media", "1",
                                     "-log", "sbdv", "-avi", dir.file("clip.y4m"), "-mic", "mic_" + name, "-playback",
                                     "out_" + name, "-dumpimages", dir.file(name + "_pictures")});
    };
    auto alice = startPeer("alice");
    auto bob = startPeer("bob");
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
    bob->command("addbuddy " + aliceGUID);
    for (auto [peer, buddy] : {std::pair{alice.get(), bobGUID}, std::pair{bob.get(), aliceGUID}}) {
        ASSERT_TRUE(logsWithin(*peer, "Received 'OPEN' request, beginning to capture to '" + buddy + "@", 15000))
            << peer->log();
        ASSERT_TRUE(logsWithin(*peer, "Received 'OPEN' request, beginning playback for '" + buddy + "@", 15000))
            << peer->log();
    }
    // They talk to each other for ten seconds.
    const std::int64_t talkStart = monotonicMicros();
    alice->command("talk " + bobGUID);
    bob->command("talk " + aliceGUID);
    const std::int64_t talkEnd = nowMs() + 10000;
    while (nowMs() < talkEnd) {  // read what both say meanwhile
        alice->waitFor("\x01", 100000);
        bob->waitFor("\x01", 100000);
    }
    alice->command("untalk " + bobGUID);
    bob->command("untalk " + aliceGUID);
    EXPECT_TRUE(alice->terminate(30000000));
    EXPECT_TRUE(bob->terminate(30000000));

    std::vector<std::string> expected;
    for (int f = 0; f < clipFrames; ++f) expected.push_back(expectedPicture(f, 48));
    checkHeardAndSeen("Bob hears Alice", alice->output(), bob->output(), aliceGUID, dir.file("bob_heard.raw"),
                      talkStart, expected);
    checkHeardAndSeen("Alice hears Bob", bob->output(), alice->output(), bobGUID, dir.file("alice_heard.raw"),
                      talkStart, expected);
}
