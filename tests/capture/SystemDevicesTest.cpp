#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "../../libzan/src/ZNonPortable_CaptureALSAChoices.h"
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
    // ALSA's own "null" plug-in is never offered to a person; a null PCM of
    // the user's configuration is, like any device of their own.
    ZTempDir dir;
    ZTestWriteFile(dir.file("asound.conf"),
                   "pcm.zansilence {\n type null\n hint { show on description \"Zandrel silence\" }\n}\n");
    ZAlsaConfig config(dir.file("asound.conf"));
    std::list<std::wstring> audio, video;
    ZAVCaptureGetDeviceList(audio, video);
    EXPECT_FALSE(ZContains(audio, L"null"));
    ASSERT_TRUE(ZContains(audio, L"zansilence"));
    ZAVCapture capture = ZAVCaptureOpen(L"zansilence", L"", 2, 22000, 7, 176, 176);
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

TEST(ZALSACapture, OffersTheDefaultTheSoundServerEachCardOnceAndOwnDevicesNeverPlugins) {
    const std::vector<ZALSAHint> hints = {
        {"null", "Discard all samples (playback) or generate zero samples (capture)"},
        {"lavrate", "Rate Converter Plugin Using Libav/FFmpeg Library"},
        {"samplerate", "Rate Converter Plugin Using Samplerate Library"},
        {"samplerate_best", "Rate Converter Plugin Using Samplerate Library"},
        {"speexrate", "Rate Converter Plugin Using Speex Resampler"},
        {"jack", "JACK Audio Connection Kit"},
        {"oss", "Open Sound System"},
        {"pulse", "PulseAudio Sound Server"},
        {"default", "Default ALSA Output (currently PulseAudio Sound Server)"},
        {"zantone", "Zandrel tone"},
        {"hw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nDirect hardware device without any conversions"},
        {"plughw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nHardware device with all software conversions"},
        {"sysdefault:CARD=PCH", "HDA Intel PCH, ALC892 Analog\nDefault Audio Device"},
        {"front:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nFront output / input"},
        {"dsnoop:CARD=PCH,DEV=0", "HDA Intel PCH, ALC892 Analog\nDirect sample snooping device"},
        {"hw:CARD=Webcam,DEV=0", "USB Webcam, USB Audio\nDirect hardware device without any conversions"},
        {"plughw:CARD=Webcam,DEV=0", "USB Webcam, USB Audio\nHardware device with all software conversions"},
        {"hw:CARD=Webcam2,DEV=0", "USB Webcam, USB Audio\nDirect hardware device without any conversions"},
    };
    std::vector<std::wstring> shown;
    std::vector<std::string> opened;
    for (const ZALSAChoice& choice : ZALSACaptureChoices(hints)) {
        shown.push_back(choice.shown);
        opened.push_back(choice.pcm);
    }
    EXPECT_EQ(shown, (std::vector<std::wstring>{L"default", L"PulseAudio Sound Server", L"HDA Intel PCH, ALC892 Analog",
                                                L"USB Webcam, USB Audio", L"USB Webcam, USB Audio (hw:CARD=Webcam2,DEV=0)",
                                                L"zantone"}));
    EXPECT_EQ(opened, (std::vector<std::string>{"default", "pulse", "sysdefault:CARD=PCH", "hw:CARD=Webcam,DEV=0",
                                                "hw:CARD=Webcam2,DEV=0", "zantone"}));
    // Without a sound server or a card only the default remains.
    EXPECT_EQ(ZALSACaptureChoices({{"null", ""}, {"default", ""}}).size(), 1u);
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
