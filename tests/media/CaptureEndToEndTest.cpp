// The whole sending road: the capture service opens a generated YUV4MPEG2
// clip in place of the camera and a file-backed ALSA microphone, a buddy
// device is opened and talked to, and a loopback sink decodes what arrives.
#include <gtest/gtest.h>
#include <stdlib.h>

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
