// The whole sending road: the capture service opens a generated YUV4MPEG2
// clip in place of the camera and a file-backed ALSA microphone, a buddy
// device is opened and talked to, and a loopback sink decodes what arrives.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "../capture/ZTestMedia.h"
#include "ZMediaLoopback.h"
#include "ZMediaTestSupport.h"
#include "ZSpeex.h"
#include "ZTheora.h"
#include "ZVideoCaptureService.h"

using namespace zanmedia;

namespace {

const wchar_t* const kQueue = L"ZVideoCaptureService_commandQueue";
const wchar_t* const kDevice = L"buddy@zandrel.net@dev9";

// ALSA's own configuration plus one file of the test's.
class ZAlsaConfig {
public:
    explicit ZAlsaConfig(const std::string& extraFile) {
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + extraFile).c_str(), 1);
    }
    ~ZAlsaConfig() { unsetenv("ALSA_CONFIG_PATH"); }
};

std::string clip() {
    std::vector<int> lumas;
    for (int i = 0; i < 25; ++i) lumas.push_back(40 + 4 * i);
    return zantest::y4m(176, 144, "420jpeg", lumas);
}

}  // namespace

TEST(CaptureEndToEnd, ATalkSendsDecodableVideoAboutFiveTimesASecondAndTheTone) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("clip.y4m"), clip());
    ZTestWriteFile(dir.file("tone.raw"), tonePCM(22000 * 6, 22000, 1000, 8000));
    ZTestWriteFile(dir.file("asound.conf"), "pcm.zantone {\n type file\n slave.pcm null\n file \"/dev/null\"\n infile \"" +
                                                dir.file("tone.raw") +
                                                "\"\n format raw\n hint { show on description \"Zandrel tone\" }\n}\n");
    ZAlsaConfig alsa(dir.file("asound.conf"));
    ZMediaLoopback net;
    net.instance->set(L"avi_source", ZFromUTF8(dir.file("clip.y4m")), false);
    net.instance->set(L"Audio_Capture_Device", std::wstring(L"zantone"), false);
    std::unique_ptr<ZVideoCaptureService> service(ZSAFENEW(ZVideoCaptureService, net.instance, net.port));
    service->start(L"ZClient.ZVideoCaptureService");
    const std::int64_t opened = ZTimeNow() + 10000000;
    while (net.instance->length(L"ZSIPService_commandQueue") == 0 && ZTimeNow() < opened) ZThreadSleep(5000);
    ASSERT_EQ(net.instance->get(L"Video_Capture_Status"), L"Online");
    ASSERT_EQ(net.instance->get(L"Audio_Capture_Status"), L"Online");

    ZHTTPHeaders open = net.open(kDevice);
    open.set(L"Video-Enable", L"true");
    net.instance->enqueue(kQueue, open.serialize());
    ZHTTPHeaders talk(L"RESET");
    talk.set(L"Buddy-Device-GUID", kDevice);
    talk.set(L"Video-FPS", L"5");
    talk.set(L"Audio-Enable", L"true");
    talk.set(L"Video-Enable", L"true");
    net.instance->enqueue(kQueue, talk.serialize());

    // Two seconds of what the sink receives.
    std::vector<ZSentPacket> got;
    const std::int64_t end = ZTimeNow() + 2000000;
    ZSentPacket packet;
    while (ZTimeNow() < end)
        if (net.receiveOne(packet, end - ZTimeNow())) got.push_back(packet);
    service->stop(true);
    service.reset();

    ASSERT_FALSE(got.empty());
    EXPECT_TRUE(got[0].report);
    EXPECT_EQ(got[0].cname, L"me@zandrel.net@dev1");
    std::string codebook;
    ZTheoraEncoder_generateCodebook(codebook, 48, 48);
    std::unique_ptr<ZTheoraDecoder> video(ZSAFENEW(ZTheoraDecoder, bytes(codebook), static_cast<int>(codebook.size())));
    ZSpeexEncoder_generateCodebook(codebook, 22000);
    std::unique_ptr<ZSpeexDecoder> audio(ZSAFENEW(ZSpeexDecoder, bytes(codebook), 4));
    int pictures = 0;
    std::string sound;
    for (const ZSentPacket& p : got) {
        if (p.payloadType == ZRTP_VIDEO) {
            ZImageFormat format;
            std::string picture;
            video->decode(bytes(p.payload), static_cast<int>(p.payload.size()), format, picture);
            pictures += picture.size() == 6912u;
        } else if (p.payloadType == ZRTP_AUDIO) {
            EXPECT_EQ(p.subHeader, 22000u);
            std::string pcm;
            audio->decode(bytes(p.payload), static_cast<int>(p.payload.size()), pcm);
            sound += pcm;
        }
    }
    EXPECT_GE(pictures, 6);
    EXPECT_LE(pictures, 12);
    ASSERT_GE(sound.size(), 22000u);  // at least half a second of it
    EXPECT_NEAR(zeroCrossingHz(sound, 22000, 2240), 1000.0, 10.0);
}

TEST(CaptureEndToEnd, ARestartOfTheRecorderWhileTwoStreamsRunKeepsTheirSSRCsAndNumbering) {
    ZTempDir dir;
    zantest::AviSpec spec;
    spec.width = 64;
    spec.height = 48;
    spec.fps = 20;
    spec.frames = 10;
    spec.pcm = tonePCM(22000, 22000, 700, 6000);
    ZTestWriteFile(dir.file("clip.avi"), zantest::avi(spec));
    ZMediaLoopback net;
    net.instance->set(L"avi_source", ZFromUTF8(dir.file("clip.avi")), false);
    ZLogCategories categories("v");
    ZLogCapture log;
    std::unique_ptr<ZVideoCaptureService> service(ZSAFENEW(ZVideoCaptureService, net.instance, net.port));
    service->start(L"ZClient.ZVideoCaptureService");
    auto updates = [&](unsigned n) {
        const std::int64_t end = ZTimeNow() + 10000000;
        while (net.instance->length(L"ZSIPService_commandQueue") < n && ZTimeNow() < end) ZThreadSleep(5000);
        return net.instance->length(L"ZSIPService_commandQueue") == n;
    };
    ASSERT_TRUE(updates(1));
    ASSERT_EQ(net.instance->get(L"Audio_Capture_Status"), L"Online");
    for (bool second : {false, true}) {
        ZHTTPHeaders open = net.open(second ? L"two@zandrel.net@dev2" : kDevice, second);
        open.set(L"Video-FPS", L"5");
        open.set(L"Audio-Enable", L"true");
        open.set(L"Video-Enable", L"true");
        net.instance->enqueue(kQueue, open.serialize());
    }
    // Both sinks collect while the recorder restarts twice under the streams.
    std::vector<ZSentPacket> got[2];
    auto collect = [&](std::int64_t microseconds) {
        const std::int64_t end = ZTimeNow() + microseconds;
        ZSentPacket packet;
        while (ZTimeNow() < end)
            for (int sink = 0; sink < 2; ++sink)
                while (net.receiveOne(packet, 10000, sink == 1)) got[sink].push_back(packet);
    };
    collect(1500000);
    const std::size_t before[2] = {got[0].size(), got[1].size()};
    net.instance->enqueue(kQueue, ZHTTPHeaders(L"START").serialize());
    net.instance->enqueue(kQueue, ZHTTPHeaders(L"START").serialize());
    collect(200000);
    ASSERT_TRUE(updates(3));
    collect(1500000);
    service->stop(true);
    service.reset();
    EXPECT_EQ(log.count(L"Restarting 2 existing capture streams"), 2);

    for (int sink = 0; sink < 2; ++sink) {
        SCOPED_TRACE(sink);
        ASSERT_GT(got[sink].size(), before[sink]);
        ASSERT_TRUE(got[sink][0].report);
        const std::uint32_t ssrc = got[sink][0].ssrc;
        std::uint32_t last[3] = {0, 0, 0};
        int afterRestart[3] = {0, 0, 0};
        for (std::size_t i = 1; i < got[sink].size(); ++i) {
            const ZSentPacket& p = got[sink][i];
            ASSERT_TRUE(p.payloadType == ZRTP_AUDIO || p.payloadType == ZRTP_VIDEO);
            EXPECT_EQ(p.ssrc, ssrc);
            EXPECT_EQ(p.seqNum, last[p.payloadType] + 1) << "type " << p.payloadType;
            last[p.payloadType] = p.seqNum;
            afterRestart[p.payloadType] += i >= before[sink];
        }
        EXPECT_GT(afterRestart[ZRTP_AUDIO], 0);
        EXPECT_GT(afterRestart[ZRTP_VIDEO], 0);
    }
}

TEST(CaptureEndToEnd, AFileInUseIsWhatTheDeviceListsShowAndMark) {
    struct Case {
        const char* name;
        bool withSound;
    } cases[] = {{"clip.avi", true}, {"clip.y4m", false}};
    for (const Case& c : cases) {
        ZTempDir dir;
        if (c.withSound) {
            zantest::AviSpec spec;
            spec.width = 64;
            spec.height = 48;
            spec.fps = 20;
            spec.frames = 10;
            spec.pcm = tonePCM(22000, 22000, 700, 6000);
            ZTestWriteFile(dir.file(c.name), zantest::avi(spec));
        } else {
            ZTestWriteFile(dir.file(c.name), clip());
        }
        ZMediaLoopback net;
        net.instance->set(L"avi_source", ZFromUTF8(dir.file(c.name)), false);
        std::unique_ptr<ZVideoCaptureService> service(ZSAFENEW(ZVideoCaptureService, net.instance, net.port));
        service->start(L"ZClient.ZVideoCaptureService");
        const std::int64_t end = ZTimeNow() + 10000000;
        while (net.instance->length(L"ZSIPService_commandQueue") == 0 && ZTimeNow() < end) ZThreadSleep(5000);
        ASSERT_EQ(net.instance->get(L"Video_Capture_Status"), L"Online") << c.name;
        const std::wstring file = L"File: " + ZFromUTF8(c.name);
        std::list<std::wstring> video, audio;
        net.instance->get(L"Available_Video_Capture_Devices", video);
        net.instance->get(L"Available_Audio_Capture_Devices", audio);
        ASSERT_FALSE(video.empty());
        EXPECT_EQ(video.front(), file) << c.name;
        EXPECT_EQ(net.instance->get(L"Video_Capture_Device"), file) << c.name;
        if (c.withSound) {
            ASSERT_FALSE(audio.empty());
            EXPECT_EQ(audio.front(), file);
            EXPECT_EQ(net.instance->get(L"Audio_Capture_Device"), file);
            EXPECT_EQ(net.instance->get(L"Audio_Capture_Status"), L"Online");
        } else {
            EXPECT_EQ(std::count(audio.begin(), audio.end(), file), 0);
        }
        // Choosing the file again from the list keeps it running.
        ZHTTPHeaders start(L"START");
        start.set(L"Video_Capture_Device", file);
        start.set(L"Audio_Capture_Device", net.instance->get(L"Audio_Capture_Device"));
        net.instance->enqueue(kQueue, start.serialize());
        const std::int64_t again = ZTimeNow() + 10000000;
        while (net.instance->length(L"ZSIPService_commandQueue") < 2 && ZTimeNow() < again) ZThreadSleep(5000);
        EXPECT_EQ(net.instance->get(L"Video_Capture_Status"), L"Online") << c.name;
        EXPECT_EQ(net.instance->get(L"Video_Capture_Device"), file) << c.name;
        service->stop(true);
    }
}
