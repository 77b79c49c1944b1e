// A capture stream over a real loopback switchboard: the sender report, the
// video and audio packets it builds from frames handed to its listener
// calls, pacing, crops, chunking and counters.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "ZMediaLoopback.h"
#include "ZMediaTestSupport.h"
#include "ZOgg.h"
#include "ZSpeex.h"
#include "ZTheora.h"
#include "ZVideoCaptureStream.h"

using namespace zanmedia;

namespace {

constexpr std::int64_t T0 = 13300000000000000LL;  // a capture time in 2022, in microseconds since 1601
const ZCaptureAudioFormat kMic{2, 22000};

class CaptureStreamTest : public ::testing::Test {
protected:
    ZVideoCaptureStream* open(bool audio, bool video, int fps = 1) {
        stream.reset(ZSAFENEW(ZVideoCaptureStream, net.instance, net.port, net.open()));
        ZHTTPHeaders reset(L"RESET");
        reset.set(L"Video-FPS", fps);
        reset.set(L"Audio-Enable", audio ? L"true" : L"false");
        reset.set(L"Video-Enable", video ? L"true" : L"false");
        stream->setFormat(reset);
        return stream.get();
    }
    void frame(std::int64_t t, const ZImageFormat& format, int number = 0) {
        const std::string pixels = format.type == ZIT_YUY2 ? testCardYUY2(format.width, format.height, number)
                                                           : testCardRGB(format.width, format.height, number, true);
        stream->onVideoFrame(t, format, bytes(pixels), static_cast<int>(pixels.size()));
    }
    void sound(std::int64_t t, const std::string& pcm) {
        stream->onAudioFrame(t, kMic, bytes(pcm), static_cast<int>(pcm.size()));
    }
    // The packets after the sender report.
    std::vector<ZSentPacket> media() {
        std::vector<ZSentPacket> got = net.receiveAll();
        EXPECT_FALSE(got.empty());
        if (!got.empty()) {
            EXPECT_TRUE(got[0].report);
            got.erase(got.begin());
        }
        return got;
    }

    ZMediaLoopback net;
    std::unique_ptr<ZVideoCaptureStream> stream;
};

}  // namespace

TEST_F(CaptureStreamTest, DisabledStreamSendsTheSenderReportAlone) {
    open(false, false);
    frame(T0, {ZIT_BGR24, 64, 48});
    sound(T0, tonePCM(640, 22000, 500, 3000));
    const std::vector<ZSentPacket> got = net.receiveAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(static_cast<unsigned char>(got[0].bytes[0]), 0x80);
    EXPECT_EQ(static_cast<unsigned char>(got[0].bytes[1]), 200);
    EXPECT_EQ(got[0].ssrc, stream->getSSRC());
    EXPECT_LE(stream->getSSRC(), 32767u);
    EXPECT_EQ(got[0].cname, L"me@zandrel.net@dev1");
}

TEST_F(CaptureStreamTest, VideoPacketsArePacedAndCarryOneDecodableFrame) {
    open(false, true);
    const ZImageFormat camera{ZIT_BGR24, 640, 480};
    // Frame rate 1: only frames more than a second after the last one sent go out.
    const std::int64_t times[] = {T0, T0 + 500000, T0 + 1000000, T0 + 1000001, T0 + 2000001, T0 + 2000002};
    int number = 0;
    for (std::int64_t t : times) frame(t, camera, number++);
    const std::vector<ZSentPacket> got = media();
    ASSERT_EQ(got.size(), 3u);
    const std::int64_t sent[] = {T0, T0 + 1000001, T0 + 2000002};
    std::string codebook;
    ZTheoraEncoder_generateCodebook(codebook, 48, 48);
    std::unique_ptr<ZTheoraDecoder> decoder(
        ZSAFENEW(ZTheoraDecoder, bytes(codebook), static_cast<int>(codebook.size())));
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].payloadType, ZRTP_VIDEO);
        EXPECT_EQ(got[i].seqNum, i + 1);
        EXPECT_EQ(got[i].timeStamp, static_cast<std::uint32_t>(sent[i] / 1000));
        EXPECT_EQ(got[i].ssrc, stream->getSSRC());
        EXPECT_EQ(got[i].subHeader, 48u);
        ogg_packet p;
        EXPECT_EQ(ZDeserialize(bytes(got[i].payload), static_cast<int>(got[i].payload.size()), p),
                  static_cast<int>(got[i].payload.size()));
        ZImageFormat format;
        std::string picture;
        decoder->decode(bytes(got[i].payload), static_cast<int>(got[i].payload.size()), format, picture);
        EXPECT_EQ(picture.size(), 6912u);
    }
}

TEST_F(CaptureStreamTest, CamerasAreCroppedToACentredSquareWithOneWarningPerFormat) {
    ZLogCategories categories("E");
    ZLogCapture log;
    open(false, true, 15);
    struct Case {
        ZImageFormat format;
        const wchar_t* crop;
        const wchar_t* warning;
    } cases[] = {
        {{ZIT_BGR24, 640, 480}, L"cropRect=(left=80, top=0, right=560, bottom=480)",
         L"WARNING Non-ideal video match; will resize from 480x480 to 48x48"},
        {{ZIT_YUY2, 176, 144}, L"cropRect=(left=16, top=0, right=160, bottom=144)",
         L"WARNING Non-ideal video match; will resize from 144x144 to 48x48"},
    };
    std::int64_t t = T0;
    for (const Case& c : cases)
        for (int i = 0; i < 3; ++i) frame(t += 100000, c.format, i);
    for (const Case& c : cases) {
        EXPECT_EQ(log.count(c.crop), 1);
        EXPECT_EQ(log.count(c.warning), 1);
    }
    EXPECT_EQ(media().size(), 6u);
}

TEST_F(CaptureStreamTest, AStoredVideoSizeBelowSixteenSendsNoVideo) {
    ZLogCapture log;
    net.instance->set(L"Video_Size", std::int64_t{0}, false);
    open(false, true);
    for (int i = 0; i < 3; ++i) frame(T0 + i * 2000000, {ZIT_BGR24, 64, 48}, i);
    EXPECT_TRUE(media().empty());
    EXPECT_EQ(log.count(L"sending no video."), 1);
    // A size that is no multiple of 16 sends whole blocks.
    net.instance->set(L"Video_Size", std::int64_t{40}, false);
    frame(T0 + 9000000, {ZIT_BGR24, 80, 64});
    const std::vector<ZSentPacket> got = net.receiveAll();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].subHeader, 32u);
}

TEST_F(CaptureStreamTest, AudioBuffersAreCutIntoChunksOfWholeFrames) {
    ZLogCapture log;
    open(true, false);
    ASSERT_EQ(net.receiveAll().size(), 1u);  // the sender report
    struct Case {
        int bytes;
        std::vector<int> speexFrames;  // per packet
    } cases[] = {
        {0, {}},
        {640, {2}},
        {5603, {17}},        // one chunk of 5603 bytes: 17 whole frames
        {11204, {18, 17}},  // chunks of 5760 and 5444 bytes
    };
    std::int64_t t = T0;
    std::uint32_t expectedSeq = 0;
    std::string codebook;
    ZSpeexEncoder_generateCodebook(codebook, 22000);
    std::unique_ptr<ZSpeexDecoder> decoder(ZSAFENEW(ZSpeexDecoder, bytes(codebook), 4));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        t += 123456789;
        sound(t, tonePCM(c.bytes / 2, 22000, 600, 5000) + std::string(c.bytes % 2, '\0'));
        const std::vector<ZSentPacket> got = net.receiveAll();
        ASSERT_EQ(got.size(), c.speexFrames.size());
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].payloadType, ZRTP_AUDIO);
            EXPECT_EQ(got[i].seqNum, ++expectedSeq);
            EXPECT_EQ(got[i].timeStamp, static_cast<std::uint32_t>(t / 10000));
            EXPECT_EQ(got[i].subHeader, 22000u);
            std::int32_t n = 0;
            std::memcpy(&n, got[i].payload.data(), 4);
            EXPECT_EQ(got[i].payload.size(), 4u + static_cast<std::size_t>(n));
            std::string pcm;
            decoder->decode(bytes(got[i].payload), static_cast<int>(got[i].payload.size()), pcm);
            EXPECT_EQ(pcm.size(), 320u * c.speexFrames[i]);
        }
    }
    EXPECT_EQ(log.count(L"!(thisChunkSize % frameSize)"), 2);
}

TEST_F(CaptureStreamTest, SequenceNumbersWrapInTheHeaderWhileTheCounterGoesOn) {
    open(true, false);
    const std::string oneFrame = tonePCM(160, 22000, 600, 5000);
    for (int i = 0; i < 65534; ++i) {
        sound(T0 + i * 10000, oneFrame);
        if (i % 200 == 199) net.receiveAll();  // keeps the sink's buffer from overflowing
    }
    net.receiveAll();
    for (int i = 0; i < 3; ++i) sound(T0 + 99000000 + i * 10000, oneFrame);
    const std::vector<ZSentPacket> got = net.receiveAll();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].seqNum, 65535u);
    EXPECT_EQ(got[1].seqNum, 0u);
    EXPECT_EQ(got[2].seqNum, 1u);
}
