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
    // Blocks delivered before the subscription are gone; the rest follow the tone in order.
    std::string heard;
    for (std::size_t i = 0; i < listener.audio.size(); ++i) {
        EXPECT_EQ(listener.audio[i].bytes.size(), 2240u);
        if (i > 0) {
            EXPECT_GE(listener.audio[i].timestamp, listener.audio[i - 1].timestamp);
        }
        heard += listener.audio[i].bytes;
    }
    const std::size_t at = spec.pcm.find(listener.audio[0].bytes);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(heard, spec.pcm.substr(at, heard.size()));
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
        // The clip loops: whichever frame came first, the other follows 1/25 s later.
        for (std::size_t i = 0; i < 2; ++i) {
            const std::string& frame = listener.video[i].bytes;
            ASSERT_EQ(frame.size(), 16u) << r.chroma;
            const unsigned char luma = static_cast<unsigned char>(frame[0]);
            ASSERT_TRUE(luma == 10 || luma == 50) << r.chroma;
            const unsigned char u1 = static_cast<unsigned char>(r.secondRowU);
            const unsigned char expected[16] = {luma, 100, static_cast<unsigned char>(luma + 1), 200,
                                                static_cast<unsigned char>(luma + 2), 100,
                                                static_cast<unsigned char>(luma + 3), 200,
                                                luma, u1, static_cast<unsigned char>(luma + 1), 200,
                                                static_cast<unsigned char>(luma + 2), u1,
                                                static_cast<unsigned char>(luma + 3), 200};
            EXPECT_EQ(frame, std::string(reinterpret_cast<const char*>(expected), 16)) << r.chroma;
        }
        EXPECT_NE(listener.video[0].bytes[0], listener.video[1].bytes[0]) << r.chroma;
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
    std::string nested = zantest::chunk("JUNK", "x");
    for (int depth = 0; depth < 8; ++depth) nested = zantest::list("deep", nested);
    std::string tooDeep = "RIFF";
    zantest::put32(tooDeep, static_cast<std::uint32_t>(4 + nested.size()));
    tooDeep += "AVI " + nested;
    struct Row {
        const char* name;
        std::string bytes;
    } rows[] = {
        {"lists nested too deep", tooDeep},
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
