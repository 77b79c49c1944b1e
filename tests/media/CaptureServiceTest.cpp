// The capture service on its own thread with a scripted capture system:
// device lists, START and the statuses, streams opened, reset, replaced and
// closed by message, and what a restart of the recorder leaves to them.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../capture/ZCaptureFakes.h"
#include "ZMediaLoopback.h"
#include "ZMediaTestSupport.h"
#include "ZVideoCaptureService.h"

using namespace zanmedia;

namespace {

const wchar_t* const kQueue = L"ZVideoCaptureService_commandQueue";
const wchar_t* const kDevice = L"buddy@zandrel.net@dev9";

bool waitFor(const std::function<bool()>& condition, std::int64_t timeout = 5000000) {
    const std::int64_t end = ZTimeNow() + timeout;
    while (!condition()) {
        if (ZTimeNow() > end) return false;
        ZThreadSleep(2000);
    }
    return true;
}

// The service as it runs, keeping the sleep each pass asked for.
class ZWaitRecordingCaptureService : public ZVideoCaptureService {
public:
    using ZVideoCaptureService::ZVideoCaptureService;
    std::atomic<int> lastWait{-2};

protected:
    int _bZThreadObject_safe_onLoop() override { return lastWait = ZVideoCaptureService::_bZThreadObject_safe_onLoop(); }
};

class CaptureServiceTest : public ::testing::Test {
protected:
    CaptureServiceTest() {
        camera = &backend.add(ZCAPTURE_VIDEO_CATEGORY, L"Camera");
        camera->videoCaps = {ZFakeVideoCaps(ZCAPTURE_SUBTYPE_YUY2, 160, 640, 120, 480, 5, 30)};
        mic = &backend.add(ZCAPTURE_AUDIO_CATEGORY, L"Microphone");
        mic->audioCaps = {{8, 16, 8000, 48000}};
    }
    ~CaptureServiceTest() override { stop(); }

    void start() {
        service.reset(ZSAFENEW(ZVideoCaptureService, net.instance, net.port));
        service->start(L"ZClient.ZVideoCaptureService");
    }
    void stop() {
        if (service) service->stop(true);
        service.reset();
    }
    void post(const ZHTTPHeaders& message) { net.instance->enqueue(kQueue, message.serialize()); }
    ZHTTPHeaders startMessage(const std::wstring& video, const std::wstring& audio) {
        ZHTTPHeaders message(L"START");
        message.set(L"Video_Capture_Device", video);
        message.set(L"Audio_Capture_Device", audio);
        return message;
    }
    bool updates(int count) {
        return waitFor([&] { return net.instance->length(L"ZSIPService_commandQueue") == static_cast<unsigned>(count); });
    }
    // A camera frame of the negotiated size through the capture's own tap.
    void cameraFrame(std::int64_t microseconds) {
        const ZCaptureBitmapHeader& header = camera->videoFormat.header;
        const std::string pixels = testCardYUY2(header.width, header.height, static_cast<int>(microseconds % 7));
        ZCaptureSample sample;
        sample.startTime = microseconds * 10;
        sample.data = bytes(pixels);
        sample.length = static_cast<int>(pixels.size());
        camera->sink->transform(&sample);
    }
    // Frames a second and more apart until one comes out as video: a stream
    // is subscribed a moment after its sender report leaves.
    ZSentPacket firstVideo(std::int64_t& microseconds) {
        ZSentPacket packet;
        for (int i = 0; i < 50; ++i) {
            cameraFrame(microseconds += 2000000);
            if (net.receiveOne(packet, 100000)) return packet;
        }
        ADD_FAILURE() << "no video packet";
        return packet;
    }

    ZFakeBackend backend;
    ZFakeDeviceProbe* camera = nullptr;
    ZFakeDeviceProbe* mic = nullptr;
    ZMediaLoopback net;
    ZLogCategories categories{"vV"};
    ZLogCapture log;
    std::unique_ptr<ZVideoCaptureService> service;
};

}  // namespace

TEST_F(CaptureServiceTest, ListsTheStoredChoiceFirstOrTheNoneEntryFirst) {
    net.instance->set(L"Audio_Capture_Device", std::wstring(L"Old Headset"), true);
    start();
    ASSERT_TRUE(updates(1));
    std::vector<std::wstring> audio, video;
    net.instance->get(L"Available_Audio_Capture_Devices", audio);
    net.instance->get(L"Available_Video_Capture_Devices", video);
    EXPECT_EQ(audio, (std::vector<std::wstring>{L"Old Headset", L"Microphone", L"(none - disable audio capture)"}));
    EXPECT_EQ(video, (std::vector<std::wstring>{L"(none - disable video capture)", L"Camera"}));
    // The stored headset is gone: that kind is in error and falls back to none.
    EXPECT_EQ(net.instance->get(L"Audio_Capture_Status"), L"Error");
    EXPECT_EQ(net.instance->get(L"Audio_Capture_Device"), L"(none - disable audio capture)");
    EXPECT_EQ(net.instance->get(L"Video_Capture_Status"), L"Offline");
}

TEST_F(CaptureServiceTest, StartPublishesStatusesTheIdlePictureAndUpdateCapture) {
    start();
    ASSERT_TRUE(updates(1));
    struct Case {
        std::wstring video, audio;
        const wchar_t *videoStatus, *audioStatus;
        std::int64_t videoOnline, audioOnline;
    } cases[] = {
        {L"(NONE - disable video capture)", L"(none - disable audio capture)", L"Offline", L"Offline", 0, 0},
        {L"Camera", L"Microphone", L"Online", L"Online", 1, 1},
    };
    int starts = 1;
    for (const Case& c : cases) {
        post(startMessage(c.video, c.audio));
        ASSERT_TRUE(updates(++starts));
        EXPECT_EQ(net.instance->get(L"Video_Capture_Status"), c.videoStatus);
        EXPECT_EQ(net.instance->get(L"Audio_Capture_Status"), c.audioStatus);
        EXPECT_EQ(net.instance->calc(L"Video_Capture_Online"), c.videoOnline);
        EXPECT_EQ(net.instance->calc(L"Audio_Capture_Online"), c.audioOnline);
        EXPECT_EQ(net.instance->get(L"Video_Capture_Device"),
                  c.videoOnline ? c.video : std::wstring(L"(none - disable video capture)"));
    }
    EXPECT_EQ(net.instance->get(L"Video_Capture_FSM_Status"), L"Stopped");
    std::string item;
    ASSERT_TRUE(net.instance->dequeue(L"ZSIPService_commandQueue", item));
    EXPECT_EQ(item.rfind("UPDATECAPTURE / HTTP/1.1", 0), 0u);

    ZImageFormat format;
    format.deserialize(net.instance->getRaw(L"Local_Audio_Image_Format"));
    ASSERT_EQ(format, (ZImageFormat{ZIT_RGBA32, 300, 100}));
    const std::string picture = net.instance->getRaw(L"Local_Audio_Image");
    auto at = [&](int x, int y) { return picture.substr((static_cast<std::size_t>(y) * 300 + x) * 4, 4); };
    EXPECT_EQ(at(10, 50), std::string("\x00\xFF\x00\xFF", 4));
    EXPECT_EQ(at(30, 10), std::string("\xFF\x00\x00\xFF", 4));
    EXPECT_EQ(at(100, 80), std::string("\x00\x00\x00\xFF", 4));
}

TEST_F(CaptureServiceTest, WithoutARecorderOnlyStartIsTaken) {
    camera->runResult = -5;  // the camera fails to run: the recorder cannot open
    net.instance->set(L"Video_Capture_Device", std::wstring(L"Camera"), true);
    start();
    // The warning comes first, the store's values right after it.
    ASSERT_TRUE(waitFor([&] {
        return log.contains(L"WARNING Unable to open recorder, ignoring.") &&
               net.instance->get(L"Video_Capture_Device") == L"(none - disable video capture)";
    }));
    EXPECT_EQ(net.instance->get(L"Video_Capture_Status"), L"Error");
    EXPECT_EQ(net.instance->get(L"Video_Capture_Device"), L"(none - disable video capture)");
    post(net.open(kDevice));
    post(ZHTTPHeaders(L"STOP"));
    ASSERT_TRUE(waitFor([&] {
        return log.contains(L"WARNING Unable to execute command 'STOP' because recorder does not exist, ignoring.");
    }));
    EXPECT_TRUE(log.contains(L"WARNING Unable to execute command 'OPEN' because recorder does not exist, ignoring."));
    EXPECT_EQ(net.instance->length(L"ZSIPService_commandQueue"), 0u);
    // A recorder running, the same method is merely unsupported.
    camera->runResult = 0;
    post(startMessage(L"Camera", L""));
    post(ZHTTPHeaders(L"STOP"));
    ASSERT_TRUE(waitFor([&] { return log.contains(L"WARNING Unsupported command 'STOP' sent to recorder, ignoring."); }));
}

TEST_F(CaptureServiceTest, StreamsAreOpenedReplacedResetAndClosedByMessage) {
    net.instance->set(L"Video_Capture_Device", std::wstring(L"Camera"), true);
    start();
    ASSERT_TRUE(updates(1));
    ZHTTPHeaders open = net.open(kDevice);
    open.set(L"Video-Enable", L"true");
    post(open);
    ZSentPacket report;
    ASSERT_TRUE(net.receiveOne(report, 5000000));
    EXPECT_TRUE(report.report);

    std::int64_t t = 20000000;
    ZSentPacket video = firstVideo(t);
    EXPECT_EQ(video.payloadType, 2);
    EXPECT_EQ(video.seqNum, 1u);
    EXPECT_EQ(video.ssrc, report.ssrc);

    // A restart of the recorder keeps the stream, its SSRC and its numbering.
    post(startMessage(L"Camera", L""));
    ASSERT_TRUE(updates(2));
    EXPECT_TRUE(log.contains(L"Restarting 1 existing capture streams"));
    cameraFrame(t += 2000000);
    ASSERT_TRUE(net.receiveOne(video, 5000000));
    EXPECT_EQ(video.seqNum, 2u);
    EXPECT_EQ(video.ssrc, report.ssrc);

    ZHTTPHeaders reset(L"RESET");
    reset.set(L"Buddy-Device-GUID", kDevice);
    reset.set(L"Video-FPS", 5);
    reset.set(L"Video-Enable", L"false");
    post(reset);
    reset.set(L"Buddy-Device-GUID", L"nobody@zandrel.net@x");
    post(reset);
    ASSERT_TRUE(waitFor([&] {
        return log.contains(L"WARNING Received 'RESET' request, but no stream named 'nobody@zandrel.net@x'; ignoring.");
    }));
    EXPECT_TRUE(log.contains(L"Completed 'RESET' request on stream '" + std::wstring(kDevice) + L"'."));

    // A second OPEN replaces the stream: a new sender report.
    post(open);
    ASSERT_TRUE(net.receiveOne(report, 5000000));
    EXPECT_TRUE(report.report);
    EXPECT_TRUE(log.contains(L"Stream '" + std::wstring(kDevice) + L"' already open, closing so we can reopen"));

    ZHTTPHeaders close(L"CLOSE");
    close.set(L"Buddy-Device-GUID", kDevice);
    post(close);
    post(close);
    ASSERT_TRUE(waitFor([&] {
        return log.contains(L"Received 'CLOSE' request, but no stream named '" + std::wstring(kDevice) + L"'; ignoring.");
    }));
    cameraFrame(t += 2000000);
    EXPECT_TRUE(net.receiveAll().empty());
}

TEST_F(CaptureServiceTest, ShutDownStopsStreamsThatStillRun) {
    start();
    ASSERT_TRUE(updates(1));
    post(net.open(kDevice));
    post(net.open(L"other@zandrel.net@dev2"));
    ASSERT_TRUE(waitFor([&] { return log.contains(L"beginning to capture to 'other@zandrel.net@dev2'"); }));
    stop();
    EXPECT_TRUE(log.contains(L"2 capture streams on close, stopping."));
    EXPECT_EQ(log.count(L"WARNING: Assertion failed."), 0);
}

TEST_F(CaptureServiceTest, SleepsUntilACommandUnlessThePreviewHasTimedWork) {
    auto* recording = ZSAFENEW(ZWaitRecordingCaptureService, net.instance, net.port);
    service.reset(recording);
    service->start(L"ZClient.ZVideoCaptureService");
    ASSERT_TRUE(updates(1));
    struct Case {
        const wchar_t* disablePreview;
        const wchar_t* method;
        int wait;
    } cases[] = {
        {L"", nullptr, ZTHREADOBJECT_UNTIL_WOKEN},  // no device, no preview
        {L"", L"STARTVIDEOPREVIEW", 50},            // the noise picture stands in for a camera
        {L"1", L"STARTVIDEOPREVIEW", 500},          // disabled: looks at the setting again
        {L"1", L"STOPVIDEOPREVIEW", ZTHREADOBJECT_UNTIL_WOKEN},
    };
    for (const Case& c : cases) {
        net.instance->set(L"Disable_Preview", std::wstring(c.disablePreview), false);
        if (c.method) post(ZHTTPHeaders(c.method));
        EXPECT_TRUE(waitFor([&] { return recording->lastWait.load() == c.wait; }))
            << (c.method ? c.method : L"(none)") << " asked for " << recording->lastWait.load();
    }
}
