#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZCaptureFakes.h"
#include "ZNonPortable_Capture.h"
#include "ZTestSupport.h"

namespace {

struct ZCountingVideoListener : IZCaptureVideoListener {
    int frames = 0;
    void onVideoFrame(std::int64_t, const ZImageFormat&, const unsigned char*, int) override { ++frames; }
};

struct ZCountingAudioListener : IZCaptureAudioListener {
    int blocks = 0;
    void onAudioFrame(std::int64_t, const ZCaptureAudioFormat&, const unsigned char*, int) override { ++blocks; }
};

ZFakeDeviceProbe& addCamera(ZFakeBackend& backend, const std::wstring& name, std::vector<ZCaptureVideoCaps> caps) {
    ZFakeDeviceProbe& probe = backend.add(ZCAPTURE_VIDEO_CATEGORY, name);
    probe.videoCaps = std::move(caps);
    return probe;
}

ZFakeDeviceProbe& addMicrophone(ZFakeBackend& backend, const std::wstring& name) {
    ZFakeDeviceProbe& probe = backend.add(ZCAPTURE_AUDIO_CATEGORY, name);
    probe.audioCaps = {{8, 16, 8000, 48000}};
    return probe;
}

}  // namespace

TEST(ZAVCapture, WithoutDevicesOpensAnEmptyCaptureWhoseWorkingTestsAreFalse) {
    ZFakeBackend backend;
    ZLogCapture log;
    std::list<std::wstring> audio, video;
    ZAVCaptureGetDeviceList(audio, video);
    EXPECT_TRUE(audio.empty());
    EXPECT_TRUE(video.empty());
    EXPECT_EQ(log.count(L"VIDEODEVICE: No video capture devices present."), 1);
    EXPECT_EQ(log.count(L"AUDIODEVICE: No audio capture devices present."), 1);

    ZAVCapture capture = ZAVCaptureOpen(L"", L"", 2, 22000, 7, 176, 176);
    ASSERT_NE(capture, nullptr);
    EXPECT_FALSE(ZAVCaptureIsVideoWorking(capture));
    EXPECT_FALSE(ZAVCaptureIsAudioWorking(capture));
    ZCountingVideoListener v;
    ZCountingAudioListener a;
    ZAVCaptureSubscribeVideo(capture, &v);
    ZAVCaptureSubscribeAudio(capture, &a);
    ZAVCaptureUnsubscribeVideo(capture, &v);
    ZAVCaptureUnsubscribeAudio(capture, &a);
    ZAVCaptureClose(capture);
}

TEST(ZAVCapture, UnknownCameraNameLeavesOnlyTheAudioBranch) {
    ZFakeBackend backend;
    ZFakeDeviceProbe& mic = addMicrophone(backend, L"Microphone");
    ZAVCapture capture = ZAVCaptureOpen(L"Microphone", L"No Such Camera", 2, 22000, 7, 176, 176);
    ASSERT_NE(capture, nullptr);
    EXPECT_FALSE(ZAVCaptureIsVideoWorking(capture));
    EXPECT_TRUE(ZAVCaptureIsAudioWorking(capture));
    EXPECT_EQ(mic.suggestedBytes, 2240);
    ASSERT_NE(mic.sink, nullptr);

    ZCountingAudioListener listener;
    ZAVCaptureSubscribeAudio(capture, &listener);
    const std::string block(2240, '\0');
    ZCaptureSample sample;
    sample.data = reinterpret_cast<const unsigned char*>(block.data());
    sample.length = 2240;
    mic.sink->transform(&sample);
    EXPECT_EQ(listener.blocks, 1);
    ZAVCaptureUnsubscribeAudio(capture, &listener);
    ZAVCaptureClose(capture);
    EXPECT_TRUE(mic.stopped);
    EXPECT_TRUE(mic.destroyed);
}

TEST(ZAVCapture, AsksForYuy2ThenRgb24ThenTakesTheCameraAsIs) {
    struct Row {
        const char* name;
        std::vector<ZCaptureVideoCaps> caps;
        std::size_t formatsSet;
        std::uint32_t subtypeSet;
        bool asIs;
    } rows[] = {
        {"offers YUY2", {ZFakeVideoCaps(ZCAPTURE_SUBTYPE_YUY2, 160, 640, 120, 480, 5, 30)}, 1, ZCAPTURE_SUBTYPE_YUY2, false},
        {"offers RGB24 only", {ZFakeVideoCaps(ZCAPTURE_SUBTYPE_RGB24, 160, 640, 120, 480, 5, 30)}, 1, ZCAPTURE_SUBTYPE_RGB24, false},
        {"offers neither", {ZFakeVideoCaps(ZCaptureFourCC('M', 'J', 'P', 'G'), 160, 640, 120, 480, 5, 30)}, 0, 0, true},
    };
    for (const Row& r : rows) {
        ZFakeBackend backend;
        ZFakeDeviceProbe& camera = addCamera(backend, L"Camera", r.caps);
        // The camera's own format before configuration.
        camera.hasVideoFormat = true;
        camera.videoFormat.subtype = ZCAPTURE_SUBTYPE_YUY2;
        camera.videoFormat.header = {320, -240, 16, ZCAPTURE_SUBTYPE_YUY2, 320 * 240 * 2};
        ZLogCapture log;
        ZAVCapture capture = ZAVCaptureOpen(L"", L"Camera", 2, 22000, 7, 176, 176);
        ASSERT_NE(capture, nullptr) << r.name;
        EXPECT_TRUE(ZAVCaptureIsVideoWorking(capture)) << r.name;
        ASSERT_EQ(camera.videoFormatsSet.size(), r.formatsSet) << r.name;
        if (r.formatsSet) {
            EXPECT_EQ(camera.videoFormatsSet[0].subtype, r.subtypeSet) << r.name;
        }
        EXPECT_EQ(log.count(L"WARNING Unable to configure video device; taking 'as is' and seeing if it works."),
                  r.asIs ? 1 : 0)
            << r.name;
        ZAVCaptureClose(capture);
    }
}

TEST(ZAVCapture, CameraDeliveringARefusedLayoutFailsTheOpenAndReleasesEverything) {
    ZFakeBackend backend;
    ZFakeDeviceProbe& camera = addCamera(backend, L"Camera", {});
    camera.hasVideoFormat = true;
    camera.videoFormat.subtype = ZCaptureFourCC('M', 'J', 'P', 'G');
    camera.videoFormat.header = {320, -240, 16, ZCaptureFourCC('M', 'J', 'P', 'G'), 0};
    ZFakeDeviceProbe& mic = addMicrophone(backend, L"Microphone");
    ZLogCapture log;
    EXPECT_EQ(ZAVCaptureOpen(L"Microphone", L"Camera", 2, 22000, 7, 176, 176), nullptr);
    EXPECT_EQ(log.count(L"ERROR Error HR return value: 0x8004022A 'The media type offered is not accepted.' "
                        L"(connectVideo(capture.videoSource, capture.videoTapFilter))"),
              1);
    EXPECT_EQ(log.count(L"WARNING constructor failed"), 1);
    EXPECT_TRUE(camera.destroyed);
    EXPECT_TRUE(mic.destroyed);
}

TEST(ZAVCapture, FailingSourceStartFailsTheOpen) {
    ZFakeBackend backend;
    ZFakeDeviceProbe& mic = addMicrophone(backend, L"Microphone");
    mic.runResult = -19;
    ZLogCapture log;
    EXPECT_EQ(ZAVCaptureOpen(L"Microphone", L"", 2, 22000, 7, 176, 176), nullptr);
    EXPECT_EQ(log.count(L"ERROR Error HR return value: 0xFFFFFFED 'No such device' (_probe.runResult)"), 1);
    EXPECT_EQ(log.count(L"WARNING constructor failed"), 1);
    EXPECT_TRUE(mic.destroyed);
}

TEST(ZAVCapture, NullHandleOrListenerStopsTheProgram) {
    ZFakeBackend backend;
    ZLogCapture log;
    ZCountingVideoListener v;
    EXPECT_ZABORT(ZAVCaptureIsAudioWorking(nullptr));
    EXPECT_ZABORT(ZAVCaptureIsVideoWorking(nullptr));
    EXPECT_ZABORT(ZAVCaptureSubscribeVideo(nullptr, &v));
    EXPECT_ZABORT(ZAVCaptureClose(nullptr));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (capture_)"));
    ZAVCapture capture = ZAVCaptureOpen(L"", L"", 2, 22000, 7, 176, 176);
    ASSERT_NE(capture, nullptr);
    EXPECT_ZABORT(ZAVCaptureSubscribeAudio(capture, nullptr));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (listener)"));
    ZAVCaptureClose(capture);
}

TEST(ZAVCapture, FrameOfTheWrongLengthFromACameraIsDroppedWithOneWarning) {
    ZFakeBackend backend;
    ZFakeDeviceProbe& camera =
        addCamera(backend, L"Camera", {ZFakeVideoCaps(ZCAPTURE_SUBTYPE_YUY2, 160, 640, 120, 480, 5, 30)});
    ZAVCapture capture = ZAVCaptureOpen(L"", L"Camera", 2, 22000, 7, 176, 176);
    ASSERT_NE(capture, nullptr);
    ASSERT_NE(camera.sink, nullptr);
    ZCountingVideoListener listener;
    ZAVCaptureSubscribeVideo(capture, &listener);
    ZLogCapture log;
    const std::string whole(176 * 176 * 2, 'y'), cut(176 * 176 * 2 - 1, 'y');
    ZCaptureSample good, bad;
    good.data = reinterpret_cast<const unsigned char*>(whole.data());
    good.length = static_cast<int>(whole.size());
    bad.data = reinterpret_cast<const unsigned char*>(cut.data());
    bad.length = static_cast<int>(cut.size());
    camera.sink->transform(&bad);
    camera.sink->transform(&bad);
    camera.sink->transform(&good);
    EXPECT_EQ(listener.frames, 1);
    EXPECT_EQ(log.count(L"WARNING Invalid image length, should be 61952bytes, is 61951 ([21,176x176]).  Only reporting once."),
              1);
    ZAVCaptureUnsubscribeVideo(capture, &listener);
    ZAVCaptureClose(capture);
}

TEST(ZAVCapture, ClosingWithAListenerLeftReportsItAndCompletes) {
    ZFakeBackend backend;
    ZFakeDeviceProbe& mic = addMicrophone(backend, L"Microphone");
    ZAVCapture capture = ZAVCaptureOpen(L"Microphone", L"", 2, 22000, 7, 176, 176);
    ASSERT_NE(capture, nullptr);
    ZCountingAudioListener listener;
    ZAVCaptureSubscribeAudio(capture, &listener);
    ZLogCapture log;
    ZAVCaptureClose(capture);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (_listenerList.empty( ))"), 1);
    EXPECT_TRUE(mic.destroyed);
}
