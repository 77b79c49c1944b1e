#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ZCaptureTap.h"
#include "ZTestSupport.h"

namespace {

// Records every frame it is handed, copying the bytes as listeners must.
struct ZRecordingVideoListener : IZCaptureVideoListener {
    struct Frame {
        std::int64_t timestamp;
        ZImageFormat format;
        std::string bytes;
        const unsigned char* buffer;
    };
    std::vector<Frame> frames;
    void onVideoFrame(std::int64_t timestamp, const ZImageFormat& format, const unsigned char* buffer,
                      int length) override {
        frames.push_back({timestamp, format, std::string(reinterpret_cast<const char*>(buffer), length), buffer});
    }
};

struct ZRecordingAudioListener : IZCaptureAudioListener {
    std::vector<std::int64_t> timestamps;
    std::vector<ZCaptureAudioFormat> formats;
    void onAudioFrame(std::int64_t timestamp, const ZCaptureAudioFormat& format, const unsigned char*,
                      int) override {
        timestamps.push_back(timestamp);
        formats.push_back(format);
    }
};

ZCaptureVideoType videoType(std::uint32_t subtype, int width, int height) {
    ZCaptureVideoType t;
    t.subtype = subtype;
    t.header.width = width;
    t.header.height = height;
    t.header.bitCount = subtype == ZCAPTURE_SUBTYPE_YUY2 ? 16 : 24;
    t.header.compression = subtype == ZCAPTURE_SUBTYPE_YUY2 ? ZCAPTURE_SUBTYPE_YUY2 : ZCAPTURE_BI_RGB;
    return t;
}

// A frame whose every row is filled with its row number.
std::string rowNumbered(int rowBytes, int rows) {
    std::string frame;
    for (int r = 0; r < rows; ++r) frame.append(rowBytes, static_cast<char>(r));
    return frame;
}

ZCaptureSample sampleOf(const std::string& bytes, std::int64_t startTime) {
    ZCaptureSample s;
    s.startTime = startTime;
    s.data = reinterpret_cast<const unsigned char*>(bytes.data());
    s.length = static_cast<int>(bytes.size());
    return s;
}

class ZLogCategories {
public:
    explicit ZLogCategories(const std::string& filter) : _saved(ZLogGetFilter()) { ZLogSetFilter(filter); }
    ~ZLogCategories() { ZLogSetFilter(_saved); }

private:
    std::string _saved;
};

}  // namespace

TEST(ZImageToolsSet, MapsBitmapHeadersToImageTypesAndRowOrder) {
    struct Row {
        std::uint16_t bits;
        std::uint32_t compression, green;
        std::int32_t height;
        std::int32_t type;
        bool flip;
    } rows[] = {
        {16, ZCAPTURE_BI_RGB, 0, 4, ZIT_RGB555, true},      {16, ZCAPTURE_BI_BITFIELDS, 0x3E0, 4, ZIT_RGB555, true},
        {16, ZCAPTURE_BI_BITFIELDS, 0x7E0, -4, ZIT_RGB565, false}, {16, ZCAPTURE_SUBTYPE_YUY2, 0, 4, ZIT_YUY2, false},
        {24, ZCAPTURE_BI_RGB, 0, 4, ZIT_BGR24, true},       {24, ZCAPTURE_BI_RGB, 0, -4, ZIT_BGR24, false},
        {32, ZCAPTURE_BI_RGB, 0, 4, ZIT_BGRA32, true},
    };
    for (const Row& r : rows) {
        ZCaptureBitmapInfo info;
        info.header = {6, r.height, r.bits, r.compression, 0};
        info.masks[1] = r.green;
        ZImageFormat f;
        EXPECT_EQ(ZImageTools_set(f, &info), r.flip) << r.bits << "/" << r.compression;
        EXPECT_EQ(f, (ZImageFormat{r.type, 6, 4}));
    }
}

TEST(ZImageToolsSet, UnsupportedLayoutsStopTheProgramWithTheirText) {
    struct Row {
        std::uint16_t bits;
        std::uint32_t compression, green;
        const wchar_t* text;
    } rows[] = {{16, ZCAPTURE_BI_BITFIELDS, 0x1F, L"ERROR Unsupported bitfields: 31, aborting."},
                {16, 7, 0, L"ERROR Unsupported compression: 7, aborting."},
                {8, ZCAPTURE_BI_RGB, 0, L"ERROR Unsupported bitdepth: 8, aborting."}};
    for (const Row& r : rows) {
        ZLogCapture log;
        ZCaptureBitmapInfo info;
        info.header = {2, 2, r.bits, r.compression, 0};
        info.masks[1] = r.green;
        ZImageFormat f;
        EXPECT_ZABORT(ZImageTools_set(f, &info));
        EXPECT_TRUE(log.contains(r.text));
    }
}

TEST(ZVideoTapFilter, AcceptsOnlyYuy2AndRgb24WithMatchingHeaders) {
    struct Row {
        ZCaptureVideoType type;
        bool accepted;
    } rows[] = {
        {videoType(ZCAPTURE_SUBTYPE_YUY2, 4, 2), true},
        {videoType(ZCAPTURE_SUBTYPE_RGB24, 4, 2), true},
        {videoType(ZCaptureFourCC('M', 'J', 'P', 'G'), 4, 2), false},
        {[] { auto t = videoType(ZCAPTURE_SUBTYPE_YUY2, 4, 2); t.header.bitCount = 24; return t; }(), false},
        {[] { auto t = videoType(ZCAPTURE_SUBTYPE_RGB24, 4, 2); t.header.compression = 3; return t; }(), false},
        {videoType(ZCAPTURE_SUBTYPE_RGB24, 0, 2), false},
        {videoType(ZCAPTURE_SUBTYPE_RGB24, 4, 0), false},
        {videoType(ZCAPTURE_SUBTYPE_RGB24, 100000, 100000), false},
    };
    for (const Row& r : rows) {
        _ZVideoTapFilter tap;
        EXPECT_EQ(tap.checkInputType(&r.type), r.accepted ? 0 : ZCAPTURE_E_TYPE_NOT_ACCEPTED);
    }
}

TEST(ZVideoTapFilter, BottomUpRgbReachesListenersTopDownAndYuy2IsHandedOnAsIs) {
    ZLogCategories categories("V");
    ZLogCapture log;
    _ZVideoTapFilter rgb;
    const ZCaptureVideoType rgbType = videoType(ZCAPTURE_SUBTYPE_RGB24, 2, 3);
    ASSERT_EQ(rgb.checkInputType(&rgbType), 0);
    EXPECT_TRUE(log.contains(L"Flipping input image: YES"));
    ZRecordingVideoListener listener;
    rgb.subscribe(&listener);
    const std::string bottomUp = rowNumbered(6, 3);
    ZCaptureSample sample = sampleOf(bottomUp, 10000015);
    rgb.transform(&sample);
    ASSERT_EQ(listener.frames.size(), 1u);
    EXPECT_EQ(listener.frames[0].bytes, std::string(6, '\2') + std::string(6, '\1') + std::string(6, '\0'));
    EXPECT_EQ(listener.frames[0].timestamp, 1000001);
    EXPECT_EQ(listener.frames[0].format, (ZImageFormat{ZIT_BGR24, 2, 3}));
    rgb.unsubscribe(&listener);

    _ZVideoTapFilter yuy2;
    const ZCaptureVideoType yuy2Type = videoType(ZCAPTURE_SUBTYPE_YUY2, 2, -3);
    ASSERT_EQ(yuy2.checkInputType(&yuy2Type), 0);
    EXPECT_TRUE(log.contains(L"Flipping input image: NO"));
    ZRecordingVideoListener plain;
    yuy2.subscribe(&plain);
    const std::string topDown = rowNumbered(4, 3);
    ZCaptureSample s2 = sampleOf(topDown, 0);
    yuy2.transform(&s2);
    ASSERT_EQ(plain.frames.size(), 1u);
    EXPECT_EQ(plain.frames[0].buffer, s2.data);
    yuy2.unsubscribe(&plain);
}

TEST(ZVideoTapFilter, FrameOfTheWrongLengthIsDroppedAndReportedOncePerFailure) {
    ZLogCapture log;
    _ZVideoTapFilter tap;
    const ZCaptureVideoType t = videoType(ZCAPTURE_SUBTYPE_RGB24, 48, -48);
    ASSERT_EQ(tap.checkInputType(&t), 0);
    ZRecordingVideoListener listener;
    tap.subscribe(&listener);
    const std::string good(6912, 'x'), bad(6913, 'x');
    ZCaptureSample badSample = sampleOf(bad, 0), goodSample = sampleOf(good, 0);
    tap.transform(&badSample);
    tap.transform(&badSample);
    const wchar_t* warning = L"WARNING Invalid image length, should be 6912bytes, is 6913 ([19,48x48]).  Only reporting once.";
    EXPECT_EQ(log.count(warning), 1);
    EXPECT_TRUE(listener.frames.empty());
    tap.transform(&goodSample);
    EXPECT_EQ(listener.frames.size(), 1u);
    tap.transform(&badSample);
    EXPECT_EQ(log.count(warning), 2);
    ZCaptureSample noPointer;
    noPointer.pointerResult = -5;
    tap.transform(&goodSample);
    tap.transform(&noPointer);
    tap.transform(&noPointer);
    EXPECT_EQ(log.count(L"WARNING Unable to get sample pointer, only reporting once.  Error 0xFFFFFFFB (Input/output error)"), 1);
    EXPECT_EQ(listener.frames.size(), 2u);
    tap.unsubscribe(&listener);
}

TEST(ZVideoTapFilter, MissingTimesAreStampedByTheClockAndTheRecoveryIsLoggedOnce) {
    ZLogCapture log;
    _ZVideoTapFilter tap;
    const ZCaptureVideoType t = videoType(ZCAPTURE_SUBTYPE_YUY2, 2, -1);
    ASSERT_EQ(tap.checkInputType(&t), 0);
    ZRecordingVideoListener listener;
    tap.subscribe(&listener);
    const std::string frame(4, 'y');
    ZCaptureSample untimed = sampleOf(frame, 0);
    untimed.timeResult = -61;
    const std::int64_t before = ZTimeNow();
    tap.transform(&untimed);
    tap.transform(&untimed);
    const std::int64_t after = ZTimeNow();
    ZCaptureSample timed = sampleOf(frame, -15);
    tap.transform(&timed);
    tap.transform(&timed);
    EXPECT_EQ(log.count(L"WARNING Failed to get timestamp, only reporting once.  Error 0xFFFFFFC3 ("), 1);
    EXPECT_EQ(log.count(L"WARNING Succeeded getting timestamp after previous failure."), 1);
    ASSERT_EQ(listener.frames.size(), 4u);
    EXPECT_GE(listener.frames[0].timestamp, before);
    EXPECT_LE(listener.frames[1].timestamp, after);
    EXPECT_EQ(listener.frames[2].timestamp, -1);
    tap.unsubscribe(&listener);
}

TEST(ZVideoTapFilter, FirstFormatStaysInForceAndADifferentOneIsReported) {
    ZLogCapture log;
    _ZVideoTapFilter tap;
    const ZCaptureVideoType first = videoType(ZCAPTURE_SUBTYPE_RGB24, 4, 4);
    const ZCaptureVideoType same = videoType(ZCAPTURE_SUBTYPE_RGB24, 4, -4);
    const ZCaptureVideoType other = videoType(ZCAPTURE_SUBTYPE_RGB24, 8, 4);
    ASSERT_EQ(tap.checkInputType(&first), 0);
    ASSERT_EQ(tap.completeConnect(&same), 0);
    EXPECT_FALSE(log.contains(L"WARNING: Assertion failed."));
    ASSERT_EQ(tap.checkInputType(&other), 0);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (!memcmp( &_bitmapInfoHeader, &testBIH, sizeof(BITMAPINFOHEADER) ))"), 1);
    EXPECT_EQ(tap.imageFormat(), (ZImageFormat{ZIT_BGR24, 4, 4}));
    EXPECT_TRUE(tap.flips());
}

TEST(ZVideoTapFilter, ListenersFollowTheSubscriptionRules) {
    _ZVideoTapFilter tap;
    const ZCaptureVideoType t = videoType(ZCAPTURE_SUBTYPE_YUY2, 2, -1);
    ASSERT_EQ(tap.checkInputType(&t), 0);
    const std::string frame(4, 'y');
    ZCaptureSample s = sampleOf(frame, 0);
    ZRecordingVideoListener a, b, never;
    tap.transform(&s);  // before any subscription: discarded
    tap.subscribe(&a);
    tap.subscribe(&b);
    tap.subscribe(&a);
    tap.transform(&s);
    EXPECT_EQ(a.frames.size(), 2u);
    EXPECT_EQ(b.frames.size(), 1u);
    tap.unsubscribe(&a);
    tap.unsubscribe(&never);
    tap.transform(&s);
    EXPECT_EQ(a.frames.size(), 2u);
    EXPECT_EQ(b.frames.size(), 2u);
    tap.unsubscribe(&b);
}

TEST(ZVideoTapFilter, UnsubscribeWaitsForTheRunningDelivery) {
    _ZVideoTapFilter tap;
    const ZCaptureVideoType t = videoType(ZCAPTURE_SUBTYPE_YUY2, 2, -1);
    ASSERT_EQ(tap.checkInputType(&t), 0);
    // Holds the delivery open until the main thread has asked to unsubscribe.
    struct ZBlockingListener : IZCaptureVideoListener {
        std::mutex m;
        std::condition_variable cv;
        bool entered = false, release = false, finished = false;
        void onVideoFrame(std::int64_t, const ZImageFormat&, const unsigned char*, int) override {
            std::unique_lock<std::mutex> lock(m);
            entered = true;
            cv.notify_all();
            cv.wait(lock, [this] { return release; });
            finished = true;
        }
    } listener;
    tap.subscribe(&listener);
    const std::string frame(4, 'y');
    std::thread streaming([&] {
        ZCaptureSample s = sampleOf(frame, 0);
        tap.transform(&s);
    });
    {
        std::unique_lock<std::mutex> lock(listener.m);
        ASSERT_TRUE(listener.cv.wait_for(lock, std::chrono::seconds(10), [&] { return listener.entered; }));
    }
    std::thread releaser([&] {
        std::lock_guard<std::mutex> lock(listener.m);
        listener.release = true;
        listener.cv.notify_all();
    });
    tap.unsubscribe(&listener);
    {
        std::lock_guard<std::mutex> lock(listener.m);
        EXPECT_TRUE(listener.finished);
    }
    releaser.join();
    streaming.join();
}

TEST(ZAudioTapFilter, AcceptsPcmOfItsBitsAndRateWhateverTheChannels) {
    struct Row {
        std::uint32_t subtype;
        std::uint16_t channels;
        std::uint32_t rate;
        std::uint16_t bits;
        bool accepted;
    } rows[] = {{ZCAPTURE_SUBTYPE_PCM, 1, 22000, 16, true}, {ZCAPTURE_SUBTYPE_PCM, 2, 22000, 16, true},
                {ZCAPTURE_SUBTYPE_PCM, 1, 44100, 16, false}, {ZCAPTURE_SUBTYPE_PCM, 1, 22000, 8, false},
                {3, 1, 22000, 16, false}};
    _ZAudioTapFilter tap(22000, 2);
    for (const Row& r : rows) {
        ZCaptureAudioType t{r.subtype, r.channels, r.rate, r.bits};
        EXPECT_EQ(tap.checkInputType(&t), r.accepted ? 0 : ZCAPTURE_E_TYPE_NOT_ACCEPTED) << r.rate << "/" << r.bits;
    }
}

TEST(ZAudioTapFilter, DeliversBlocksInMicrosecondsAndReportsEachFailureOnce) {
    ZLogCapture log;
    _ZAudioTapFilter tap(22000, 2);
    ZRecordingAudioListener listener;
    tap.subscribe(&listener);
    const std::string block(320, 'a');
    ZCaptureSample good = sampleOf(block, 15), bad = sampleOf(block, 0);
    bad.pointerResult = -5;
    tap.transform(&good);
    tap.transform(&bad);
    tap.transform(&bad);
    EXPECT_EQ(log.count(L"WARNING Failed to get samples, only reporting once.  Error 0xFFFFFFFB (Input/output error)"), 1);
    tap.transform(&good);
    tap.transform(&bad);
    EXPECT_EQ(log.count(L"WARNING Failed to get samples, only reporting once."), 2);
    ASSERT_EQ(listener.timestamps.size(), 2u);
    EXPECT_EQ(listener.timestamps[0], 1);
    EXPECT_EQ(listener.formats[0].bytesPerSample, 2u);
    EXPECT_EQ(listener.formats[0].samplesPerSecond, 22000u);
    tap.unsubscribe(&listener);
}

TEST(ZAudioTapFilter, DestroyingWithASubscriberLeftReportsIt) {
    ZLogCapture log;
    ZRecordingAudioListener listener;
    {
        _ZAudioTapFilter tap(8000, 2);
        tap.subscribe(&listener);
    }
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (_listenerList.empty( ))"), 1);
}
