#include <gtest/gtest.h>

#include "ZCaptureBackend.h"
#include "ZCaptureFakes.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

// Turns on the capture categories for the length of a test.
class ZLogCategories {
public:
    explicit ZLogCategories(const std::string& filter) : _saved(ZLogGetFilter()) { ZLogSetFilter(filter); }
    ~ZLogCategories() { ZLogSetFilter(_saved); }

private:
    std::string _saved;
};

const ZCaptureVideoCaps kCamera5to30 = ZFakeVideoCaps(ZCAPTURE_SUBTYPE_YUY2, 160, 640, 120, 480, 5, 30);
const ZCaptureVideoCaps k640Only = ZFakeVideoCaps(ZCAPTURE_SUBTYPE_YUY2, 640, 640, 480, 480, 5, 30);
const ZCaptureVideoCaps k352Only = ZFakeVideoCaps(ZCAPTURE_SUBTYPE_YUY2, 352, 352, 288, 288, 5, 30);
const ZCaptureVideoCaps kRgb352 = ZFakeVideoCaps(ZCAPTURE_SUBTYPE_RGB24, 352, 352, 288, 288, 5, 30);

ZCaptureVideoCaps zeroInterval(ZCaptureVideoCaps c) {
    c.minFrameInterval = 0;
    return c;
}

}  // namespace

TEST(ZCaptureNegotiation, GapIsZeroInsideTheRangeAndAtItsTop) {
    struct Row {
        int value, lo, hi;
        std::int64_t gap;
    } rows[] = {{4, 5, 30, 1}, {5, 5, 30, 0}, {29, 5, 30, 0}, {30, 5, 30, 0}, {31, 5, 30, 1}, {320, 640, 640, 320},
                {640, 640, 640, 0}, {0, 0, 0, 0}};
    for (const Row& r : rows) EXPECT_EQ(ZCaptureGap(r.value, r.lo, r.hi), r.gap) << r.value << " in " << r.lo << "-" << r.hi;
}

TEST(ZCaptureNegotiation, RanksBySummedGapsKeepingTheLowestIndexAmongEquals) {
    struct Row {
        const char* name;
        std::vector<ZCaptureVideoCaps> caps;
        std::uint32_t subtype;
        int fps, width, height;
        int chosen;
    } rows[] = {
        {"range holds the request", {kCamera5to30}, ZCAPTURE_SUBTYPE_YUY2, 15, 176, 144, 0},
        {"560 against 80", {k640Only, k352Only}, ZCAPTURE_SUBTYPE_YUY2, 15, 320, 240, 1},
        {"equal distances", {k352Only, k352Only}, ZCAPTURE_SUBTYPE_YUY2, 15, 320, 240, 0},
        {"other subtype is no candidate", {kRgb352, k640Only}, ZCAPTURE_SUBTYPE_YUY2, 15, 352, 288, 1},
        {"no capability of the subtype", {k640Only}, ZCAPTURE_SUBTYPE_RGB24, 15, 640, 480, -1},
        {"interval 0 is no candidate", {zeroInterval(k352Only), k640Only}, ZCAPTURE_SUBTYPE_YUY2, 15, 352, 288, 1},
        {"only interval 0", {zeroInterval(k352Only)}, ZCAPTURE_SUBTYPE_YUY2, 15, 352, 288, -1},
    };
    for (const Row& r : rows)
        EXPECT_EQ(ZCaptureRankVideoCaps(r.caps, r.subtype, r.fps, r.width, r.height), r.chosen) << r.name;
}

TEST(ZCaptureNegotiation, ClampsIntervalAndSidesIntoTheChosenCapability) {
    struct Row {
        ZCaptureVideoCaps caps;
        int fps, width, height;
        std::int64_t interval;
        int outWidth, outHeight;
        std::uint32_t sizeImage;
    } rows[] = {
        {kCamera5to30, 15, 176, 144, 666666, 176, 144, 176 * 144 * 2},
        {kCamera5to30, 60, 1000, 100, 333333, 640, 120, 640 * 120 * 2},
        {kCamera5to30, 1, 176, 144, 2000000, 176, 144, 176 * 144 * 2},
        // RGB rows are whole 32-bit words: 3 pixels of 3 bytes take 12.
        {ZFakeVideoCaps(ZCAPTURE_SUBTYPE_RGB24, 3, 3, 2, 2, 5, 30), 7, 3, 2, 1428571, 3, 2, 24},
    };
    for (const Row& r : rows) {
        const ZCaptureVideoType t = ZCaptureClampVideoFormat(r.caps, r.fps, r.width, r.height);
        EXPECT_EQ(t.frameInterval, r.interval);
        EXPECT_EQ(t.header.width, r.outWidth);
        EXPECT_EQ(t.header.height, r.outHeight);
        EXPECT_EQ(t.header.sizeImage, r.sizeImage);
    }
}

TEST(ZCaptureNegotiation, AudioBuffersAreWholeFramesOf160Samples) {
    struct Row {
        int frequency, bytes, latency, buffer;
    } rows[] = {{8000, 2, 50, 960}, {8000, 2, 40, 640}, {22000, 2, 50, 2240}, {8000, 1, 20, 160},
                {44100, 2, 50, 4480}, {8000, 2, 1, 320}};
    for (const Row& r : rows)
        EXPECT_EQ(ZCaptureAudioBufferBytes(r.frequency, r.bytes, r.latency), r.buffer)
            << r.frequency << " Hz, " << r.bytes << " bytes, " << r.latency << " ms";
}

TEST(ZCaptureNegotiation, ConfiguresTheCameraAndLogsThePick) {
    ZLogCategories categories("v");
    ZLogCapture log;
    ZFakeDeviceProbe probe;
    probe.videoCaps = {kCamera5to30};
    ZFakeDevice device(probe);
    ASSERT_TRUE(ZDirectShow_ConfigureVideoDevice(&device, ZCAPTURE_SUBTYPE_YUY2, 15, 176, 144));
    ASSERT_EQ(probe.videoFormatsSet.size(), 1u);
    EXPECT_EQ(probe.videoFormatsSet[0].frameInterval, 666666);
    EXPECT_TRUE(log.contains(L"Configuring Video Device: FPS=15, width=176, height=144"));
    EXPECT_TRUE(log.contains(L"- #0: FPS=5-30, width=160-640, height=120-480, subtype='YUY2'"));
    EXPECT_TRUE(log.contains(L"New nearest match with #0."));
    EXPECT_TRUE(log.contains(L"Done: Picked #0.  Configuring to( fps=15, width=176, height=144)"));
}

TEST(ZCaptureNegotiation, CameraWithoutTheSubtypeOrCapabilitiesIsRefused) {
    ZLogCapture log;
    ZFakeDeviceProbe probe;
    ZFakeDevice device(probe);
    EXPECT_FALSE(ZDirectShow_ConfigureVideoDevice(&device, ZCAPTURE_SUBTYPE_YUY2, 7, 176, 176));
    EXPECT_TRUE(log.contains(L"WARNING GetNumberOfCapabilities( ) returned insufficient data (iCount=0, "));
    probe.videoCaps = {kRgb352};
    EXPECT_FALSE(ZDirectShow_ConfigureVideoDevice(&device, ZCAPTURE_SUBTYPE_YUY2, 7, 176, 176));
    EXPECT_EQ(log.count(L"WARNING No match found"), 1);
    EXPECT_TRUE(probe.videoFormatsSet.empty());
}

TEST(ZCaptureNegotiation, ConfiguresTheMicrophoneAsMonoPcmWithRoundedBuffers) {
    ZLogCategories categories("a");
    ZLogCapture log;
    ZFakeDeviceProbe probe;
    probe.audioCaps = {{8, 8, 8000, 48000}, {8, 16, 8000, 48000}};
    ZFakeDevice device(probe);
    ZDirectShow_ConfigureAudioDevice(&device, ZCAPTURE_SUBTYPE_PCM, 22000, 2, 50);
    EXPECT_EQ(probe.audioFormat.channels, 1);
    EXPECT_EQ(probe.audioFormat.bitsPerSample, 16);
    EXPECT_EQ(probe.audioFormat.samplesPerSecond, 22000u);
    EXPECT_EQ(probe.suggestedBytes, 2240);
    EXPECT_TRUE(log.contains(L"Configuring audio device: frequency=22000, bits=16, latency=50"));
    EXPECT_TRUE(log.contains(L"- frequency=[8000-48000], bits=[8-8]"));
}

TEST(ZCaptureNegotiation, MicrophoneWithoutTheFormatThrowsIntoTheOpener) {
    ZLogCapture log;
    ZFakeDeviceProbe probe;
    probe.audioCaps = {{16, 16, 44100, 48000}};
    ZFakeDevice device(probe);
    EXPECT_THROW(ZDirectShow_ConfigureAudioDevice(&device, ZCAPTURE_SUBTYPE_PCM, 22000, 2, 50), ZCaptureFailure);
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed 'pmtConfig && pmtConfig->cbFormat >= sizeof(WAVEFORMATEX) && "
                             L"pmtConfig->pbFormat'"));
    probe.audioCaps.clear();
    EXPECT_THROW(ZDirectShow_ConfigureAudioDevice(&device, ZCAPTURE_SUBTYPE_PCM, 22000, 2, 50), ZCaptureFailure);
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed 'iCount > 0'"));
}

TEST(ZCaptureDevices, ListsTheFirstTenAndFindsEveryListedNameExactly) {
    ZFakeBackend backend;
    for (int i = 0; i < 11; ++i) backend.add(ZCAPTURE_VIDEO_CATEGORY, L"Camera " + std::to_wstring(i));
    ZLogCapture log;
    std::list<std::wstring> names;
    ZDirectShow_EnumerateDevices(backend, names, ZCAPTURE_VIDEO_CATEGORY);
    ASSERT_EQ(names.size(), 10u);
    EXPECT_EQ(names.front(), L"Camera 0");
    EXPECT_EQ(names.back(), L"Camera 9");
    EXPECT_TRUE(log.contains(L"VIDEODEVICE: Device name='Camera 9'"));
    EXPECT_FALSE(log.contains(L"Camera 10"));

    struct Row {
        const wchar_t* name;
        bool found;
    } rows[] = {{L"Camera 0", true}, {L"Camera 5", true}, {L"Camera 9", true},
                {L"Camera 10", false}, {L"camera 0", false}, {L"", false}};
    for (const Row& r : rows) {
        ZCaptureDevice* device = ZDirectShow_EnumerateAndCreate(backend, ZCAPTURE_VIDEO_CATEGORY, r.name);
        EXPECT_EQ(device != nullptr, r.found) << ZToUTF8(r.name);
        delete device;
    }
}

TEST(ZCaptureDevices, EmptyCategoryLogsThatNoDeviceIsPresent) {
    ZFakeBackend backend;
    ZLogCapture log;
    std::list<std::wstring> names;
    ZDirectShow_EnumerateDevices(backend, names, ZCAPTURE_AUDIO_CATEGORY);
    ZDirectShow_EnumerateDevices(backend, names, ZCAPTURE_VIDEO_CATEGORY);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(log.count(L"AUDIODEVICE: No audio capture devices present."), 1);
    EXPECT_EQ(log.count(L"VIDEODEVICE: No video capture devices present."), 1);
    EXPECT_EQ(ZDirectShow_EnumerateAndCreate(backend, ZCAPTURE_VIDEO_CATEGORY, L"Camera"), nullptr);
    EXPECT_EQ(log.count(L"VIDEODEVICE: No video capture devices present."), 2);
}

TEST(ZCaptureNegotiation, PaddedRowsAreCompactedOnlyWhenTheFrameHoldsThem) {
    // Three rows of 4 bytes, each padded to 6; the last row needs no padding.
    const std::vector<unsigned char> padded = {1, 1, 1, 1, 9, 9, 2, 2, 2, 2, 9, 9, 3, 3, 3, 3};
    struct Row {
        const char* name;
        std::size_t used;
        std::uint32_t rowBytes, bytesPerLine, height;
        bool compacted;
    } rows[] = {{"padded frame", 16, 4, 6, 3, true},       {"one byte short", 15, 4, 6, 3, false},
                {"no padding", 16, 4, 4, 3, false},         {"line shorter than a row", 16, 6, 4, 3, false},
                {"no rows", 16, 4, 6, 0, false}};
    for (const Row& r : rows) {
        std::vector<unsigned char> out;
        EXPECT_EQ(ZCaptureCompactRows(padded.data(), r.used, r.rowBytes, r.bytesPerLine, r.height, out), r.compacted)
            << r.name;
        if (r.compacted) {
            EXPECT_EQ(out, (std::vector<unsigned char>{1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3}));
        }
    }
}
