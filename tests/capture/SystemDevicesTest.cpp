#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "ZCaptureBackend.h"
#include "ZNonPortable_Capture.h"
#include "ZPortable_Text.h"
#include "ZTestListeners.h"
#include "ZTestMedia.h"
#include "ZTestSupport.h"

namespace {

bool hasVideoNodes() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/dev", ignored))
        if (entry.path().filename().string().rfind("video", 0) == 0) return true;
    return false;
}

// Points ALSA at its own configuration plus one file of the test's.
class ZAlsaConfig {
public:
    explicit ZAlsaConfig(const std::string& extraFile) {
        setenv("ALSA_CONFIG_PATH", ("/usr/share/alsa/alsa.conf:" + extraFile).c_str(), 1);
    }
    ~ZAlsaConfig() { unsetenv("ALSA_CONFIG_PATH"); }
};

}  // namespace

TEST(ZV4L2Capture, WithoutACameraListsNothingAndSaysSo) {
    if (hasVideoNodes()) GTEST_SKIP() << "this machine has /dev/video nodes; the no-camera case needs none";
    ZLogCapture log;
    std::list<std::wstring> names;
    ZDirectShow_EnumerateDevices(*ZCaptureV4L2Backend(), names, ZCAPTURE_VIDEO_CATEGORY);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(log.count(L"VIDEODEVICE: No video capture devices present."), 1);
    ZAVCapture capture = ZAVCaptureOpen(L"", L"Any Camera", 2, 22000, 7, 176, 176);
    ASSERT_NE(capture, nullptr);
    EXPECT_FALSE(ZAVCaptureIsVideoWorking(capture));
    ZAVCaptureClose(capture);
}

TEST(ZALSACapture, NullDeviceRunsAndDeliversSilenceInWholeFrames) {
    std::list<std::wstring> audio, video;
    ZAVCaptureGetDeviceList(audio, video);
    ASSERT_TRUE(ZContains(audio, L"null")) << "ALSA lists no \"null\" device";
    ZAVCapture capture = ZAVCaptureOpen(L"null", L"", 2, 22000, 7, 176, 176);
    ASSERT_NE(capture, nullptr);
    ASSERT_TRUE(ZAVCaptureIsAudioWorking(capture));
    ZCollectingListener listener;
    ZAVCaptureSubscribeAudio(capture, &listener);
    const bool arrived = listener.waitFor(0, 3);
    ZAVCaptureUnsubscribeAudio(capture, &listener);
    ZAVCaptureClose(capture);
    ASSERT_TRUE(arrived);
    for (std::size_t i = 0; i < listener.audio.size(); ++i) {
        EXPECT_EQ(listener.audio[i].bytes, std::string(2240, '\0')) << "block " << i;
        // 1120 samples at 22000 Hz apart.
        if (i > 0) {
            EXPECT_NEAR(listener.audio[i].timestamp - listener.audio[i - 1].timestamp, 50909, 1);
        }
    }
}

TEST(ZALSACapture, FileBackedDeviceDeliversItsSamples) {
    ZTempDir dir;
    const std::string pcm = zantest::tone(22000, 22000);
    ZTestWriteFile(dir.file("tone.raw"), pcm);
    ZTestWriteFile(dir.file("asound.conf"), "pcm.zantone {\n type file\n slave.pcm null\n file \"/dev/null\"\n infile \"" +
                                                dir.file("tone.raw") +
                                                "\"\n format raw\n hint { show on description \"Zandrel tone\" }\n}\n");
    ZAlsaConfig config(dir.file("asound.conf"));
    std::list<std::wstring> audio, video;
    ZAVCaptureGetDeviceList(audio, video);
    ASSERT_TRUE(ZContains(audio, L"zantone"));
    ZAVCapture capture = ZAVCaptureOpen(L"zantone", L"", 2, 22000, 7, 176, 176);
    ASSERT_NE(capture, nullptr);
    ZCollectingListener listener;
    ZAVCaptureSubscribeAudio(capture, &listener);
    const bool arrived = listener.waitFor(0, 3);
    ZAVCaptureUnsubscribeAudio(capture, &listener);
    ZAVCaptureClose(capture);
    ASSERT_TRUE(arrived);
    EXPECT_EQ(listener.audioFormat.bytesPerSample, 2u);
    EXPECT_EQ(listener.audioFormat.samplesPerSecond, 22000u);
    // Blocks delivered before the subscription are gone; the rest follow the tone in order.
    const std::string first = listener.audio[0].bytes;
    ASSERT_EQ(first.size(), 2240u);
    const std::size_t at = pcm.find(first);
    ASSERT_NE(at, std::string::npos);
    for (std::size_t i = 1; i < listener.audio.size() && at + (i + 1) * 2240 <= pcm.size(); ++i) {
        EXPECT_EQ(listener.audio[i].bytes, pcm.substr(at + i * 2240, 2240)) << "block " << i;
        EXPECT_GE(listener.audio[i].timestamp, listener.audio[i - 1].timestamp);
    }
}
