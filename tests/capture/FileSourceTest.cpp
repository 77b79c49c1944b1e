#include <gtest/gtest.h>

#include "ZCaptureMediaFile.h"
#include "ZNonPortable_Capture.h"
#include "ZNonPortable_Thread.h"
#include "ZPortable_Text.h"
#include "ZTestListeners.h"
#include "ZTestMedia.h"
#include "ZTestSupport.h"

namespace {

std::wstring writeFile(const ZTempDir& dir, const std::string& name, const std::string& bytes) {
    ZTestWriteFile(dir.file(name), bytes);
    return ZFromUTF8(dir.file(name));
}

}  // namespace

TEST(ZAVCaptureFromFile, TestCardAndToneReachListenersTopDownAtTheFilesRate) {
    ZTempDir dir;
    zantest::AviSpec spec;
    spec.pcm = zantest::tone(22000, 22000);
    const std::wstring path = writeFile(dir, "card.avi", zantest::avi(spec));

    ZAVCapture capture = ZAVCaptureOpen(L"", L"", 2, 22000, 7, 176, 176, path);
    ASSERT_NE(capture, nullptr);
    EXPECT_TRUE(ZAVCaptureIsVideoWorking(capture));
    EXPECT_TRUE(ZAVCaptureIsAudioWorking(capture));
    ZCollectingListener listener;
    ZAVCaptureSubscribeVideo(capture, &listener);
    ZAVCaptureSubscribeAudio(capture, &listener);
    const bool arrived = listener.waitFor(4, 3);
    ZAVCaptureUnsubscribeVideo(capture, &listener);
    ZAVCaptureUnsubscribeAudio(capture, &listener);
    ASSERT_TRUE(arrived);
    EXPECT_NE(ZThreadFindByName(L"_ZVideoTapFilter"), 0u);
    EXPECT_NE(ZThreadFindByName(L"_ZAudioTapFilter"), 0u);
    ZAVCaptureClose(capture);

    EXPECT_EQ(listener.videoFormat, (ZImageFormat{ZIT_BGR24, 8, 6}));
    std::string topDown;
    for (int row = 0; row < 6; ++row) topDown += zantest::testCardRow(8, row);
    for (std::size_t i = 0; i < listener.video.size(); ++i) {
        EXPECT_EQ(listener.video[i].bytes, topDown) << "frame " << i;
        if (i > 0) {
            EXPECT_EQ(listener.video[i].timestamp - listener.video[i - 1].timestamp, 50000) << "frame " << i;
        }
    }

    EXPECT_EQ(listener.audioFormat.bytesPerSample, 2u);
    EXPECT_EQ(listener.audioFormat.samplesPerSecond, 22000u);
    std::string heard;
    for (std::size_t i = 0; i < listener.audio.size(); ++i) {
        EXPECT_EQ(listener.audio[i].bytes.size(), 2240u);
        if (i > 0) {
            EXPECT_GE(listener.audio[i].timestamp, listener.audio[i - 1].timestamp);
        }
        heard += listener.audio[i].bytes;
    }
    EXPECT_EQ(heard, spec.pcm.substr(0, heard.size()));
}

TEST(ZAVCaptureFromFile, AudioInAnotherFormatLeavesTheFilesAudioOut) {
    ZTempDir dir;
    zantest::AviSpec spec;
    spec.rate = 8000;
    spec.pcm = zantest::tone(800, 8000);
    const std::wstring path = writeFile(dir, "card8k.avi", zantest::avi(spec));
    ZLogCapture log;
    ZAVCapture capture = ZAVCaptureOpen(L"", L"", 2, 22000, 7, 176, 176, path);
    ASSERT_NE(capture, nullptr);
    EXPECT_TRUE(ZAVCaptureIsVideoWorking(capture));
    EXPECT_FALSE(ZAVCaptureIsAudioWorking(capture));
    EXPECT_EQ(log.count(L"-bit mono at 22000 Hz; capturing audio from the device instead."), 1);
    ZAVCaptureClose(capture);
}

TEST(ZAVCaptureFromFile, Yuv4mpegClipsArriveAsYuy2) {
    struct Row {
        const char* chroma;
        int secondRowU;  // U of row 1: shared with row 0 in 4:2:0, its own in 4:2:2
    } rows[] = {{"420jpeg", 100}, {"422", 101}};
    for (const Row& r : rows) {
        ZTempDir dir;
        const std::wstring path = writeFile(dir, "clip.y4m", zantest::y4m(4, 2, r.chroma, {10, 50}));
        ZAVCapture capture = ZAVCaptureOpen(L"", L"", 2, 22000, 7, 176, 176, path);
        ASSERT_NE(capture, nullptr) << r.chroma;
        ZCollectingListener listener;
        ZAVCaptureSubscribeVideo(capture, &listener);
        const bool arrived = listener.waitFor(2, 0);
        ZAVCaptureUnsubscribeVideo(capture, &listener);
        ZAVCaptureClose(capture);
        ASSERT_TRUE(arrived) << r.chroma;
        EXPECT_EQ(listener.videoFormat, (ZImageFormat{ZIT_YUY2, 4, 2}));
        const std::string& first = listener.video[0].bytes;
        const unsigned char expected[16] = {10, 100, 11, 200, 12, 100, 13, 200,
                                            10, static_cast<unsigned char>(r.secondRowU), 11, 200,
                                            12, static_cast<unsigned char>(r.secondRowU), 13, 200};
        EXPECT_EQ(first, std::string(reinterpret_cast<const char*>(expected), 16)) << r.chroma;
        EXPECT_EQ(static_cast<unsigned char>(listener.video[1].bytes[0]), 50) << r.chroma;
        EXPECT_EQ(listener.video[1].timestamp - listener.video[0].timestamp, 40000) << r.chroma;
    }
}

TEST(ZCaptureMediaFile, DamagedOrForeignFilesAreRefusedWithOneWarning) {
    zantest::AviSpec spec;
    spec.pcm = zantest::tone(100, 22000);
    const std::string good = zantest::avi(spec);
    std::string hugeChunk = good;
    hugeChunk[16] = '\xFF';  // the header list claims more bytes than the file has
    hugeChunk[17] = '\xFF';
    std::string wideFrame = good;
    const std::size_t bih = good.find("strf") + 8;
    wideFrame[bih + 4] = '\x01';  // width 0x0101.. past what the frames hold
    wideFrame[bih + 7] = '\x40';
    struct Row {
        const char* name;
        std::string bytes;
    } rows[] = {
        {"empty", ""},
        {"text", "hello, world\n"},
        {"riff header only", good.substr(0, 12)},
        {"cut in the headers", good.substr(0, 100)},
        {"chunk past the end", hugeChunk},
        {"frame width out of range", wideFrame},
        {"y4m without frames", "YUV4MPEG2 W4 H2 F25:1 C420jpeg\n"},
        {"y4m odd width", zantest::y4m(3, 2, "420jpeg", {1})},
        {"y4m cut frame", zantest::y4m(4, 2, "420jpeg", {1}).substr(0, 40)},
        {"y4m 4:4:4", zantest::y4m(4, 2, "444", {1})},
    };
    ZTempDir dir;
    for (const Row& r : rows) {
        ZTestWriteFile(dir.file("bad"), r.bytes);
        ZLogCapture log;
        ZCaptureMediaFile file;
        EXPECT_FALSE(ZCaptureReadMediaFile(dir.file("bad"), file)) << r.name;
        EXPECT_EQ(log.lines().size(), 1u) << r.name;
        EXPECT_EQ(log.count(L"WARNING Unable to capture from '"), 1) << r.name;
    }
    ZTestWriteFile(dir.file("good.avi"), good);
    ZCaptureMediaFile file;
    EXPECT_TRUE(ZCaptureReadMediaFile(dir.file("good.avi"), file));
    EXPECT_EQ(file.frames.size(), 3u);
    EXPECT_TRUE(file.hasAudio);
}

TEST(ZAVCaptureFromFile, UnreadableFileFailsTheOpen) {
    ZTempDir dir;
    ZLogCapture log;
    EXPECT_EQ(ZAVCaptureOpen(L"", L"", 2, 22000, 7, 176, 176, ZFromUTF8(dir.file("missing.avi"))), nullptr);
    EXPECT_EQ(log.count(L"WARNING constructor failed"), 1);
}
