// The receiving half: the renderer on the null sound backend with a clock
// the test drives, a playback stream fed datagrams made by the sending
// side's own code, and the playback service over a real switchboard.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZMediaLoopback.h"
#include "ZMediaTestSupport.h"
#include "ZNonPortable_SoundBuffer.h"
#include "ZRTP.h"
#include "ZSpeex.h"
#include "ZTheora.h"
#include "ZVideoPlaybackService.h"
#include "ZVideoPlaybackStream.h"
#include "ZVideoRenderer.h"

using namespace zanmedia;

namespace {

std::int64_t g_clock = 0;
std::int64_t testClock() { return g_clock; }

// Sound into the null backend, driven by the test's clock.
class NullSound {
public:
    NullSound() {
        _ZSoundBufferSetDevice("", "");
        _ZSoundBufferSetClock(testClock);
        g_clock = 1000000000;
    }
    ~NullSound() {
        _ZSoundBufferFailOpen(0);
        _ZSoundBufferSetClock(nullptr);
        _ZSoundBufferSetDevice("default", "");
    }
};

WAVEFORMATEX pcm8k() {
    WAVEFORMATEX f;
    f.wFormatTag = 1;
    f.nChannels = 1;
    f.nSamplesPerSec = 8000;
    f.nAvgBytesPerSec = 16000;
    f.nBlockAlign = 2;
    f.wBitsPerSample = 16;
    return f;
}

bool waitFor(const std::function<bool()>& condition, std::int64_t timeout = 5000000) {
    const std::int64_t end = ZTimeNow() + timeout;
    while (!condition()) {
        if (ZTimeNow() > end) return false;
        ZThreadSleep(5000);
    }
    return true;
}

std::string rtp(int type, std::uint32_t seq, std::uint32_t subHeader, const std::string& payload = std::string(),
                std::uint32_t timestamp = 0) {
    std::string packet;
    ZRTPCompose(packet, static_cast<std::uint8_t>(type), static_cast<std::uint16_t>(seq), timestamp, 77, &subHeader, 4,
                payload.data(), static_cast<int>(payload.size()));
    return packet;
}

class PlaybackTest : public ::testing::Test {
protected:
    PlaybackTest() { _ZSoundBufferSetDevice("", ""); }
    std::unique_ptr<ZVideoPlaybackStream> openStream(const std::wstring& name = L"pal@zandrel.net@dev5") {
        ZHTTPHeaders open(L"OPEN");
        open.set(L"Buddy-Device-GUID", name);
        open.set(L"Recv-From-Host", L"127.0.0.1:5000");
        std::unique_ptr<ZVideoPlaybackStream> stream(ZSAFENEW(ZVideoPlaybackStream, net.instance, net.port, open));
        stream->setClock(testClock);
        return stream;
    }

    NullSound sound;
    ZMediaLoopback net;
    ZLogCapture log;
};

}  // namespace

TEST_F(PlaybackTest, RendererPrebuffersThenPlaysAndCountsTwiceTheQueuedTime) {
    ZLogCategories categories("Aa");
    std::unique_ptr<ZVideoRenderer> renderer(ZSAFENEW(ZVideoRenderer, net.instance, L"pal_Image", 500000));
    const std::string bytes1600(1600, '\x11');
    renderer->queueAudio(0, pcm8k(), bytes(bytes1600), 1600);
    EXPECT_EQ(renderer->getAudioBufferedLength(), 200000u);  // 100 ms of sound, counted twice
    const std::string more(6400, '\x22');
    renderer->queueAudio(0, pcm8k(), bytes(more), 6400);  // 8000 bytes: exactly the prebuffer
    EXPECT_TRUE(log.contains(L"pal_Image: Prebuffered 8000 bytes (500ms)..."));
    EXPECT_FALSE(log.contains(L"Starting DirectSound"));
    // Above one buffer (16000 bytes): the buffer is filled, the rest stays queued.
    const std::string big(12000, '\x33');
    renderer->queueAudio(0, pcm8k(), bytes(big), 12000);
    EXPECT_TRUE(log.contains(L"pal_Image: Starting DirectSound..."));
    EXPECT_EQ(renderer->getAudioBufferedLength(), 500000u);  // 4000 bytes left
    EXPECT_FALSE(renderer->done());
    // The feeder drains the queue as the play cursor moves on.
    g_clock += 400000;
    EXPECT_TRUE(waitFor([&] { return renderer->done(); }));
    // Finishing a playing renderer pads it with one buffer of silence.
    renderer->finish();
    EXPECT_EQ(renderer->getAudioBufferedLength(), 2000000u);
    const std::string picture(48 * 48 * 3, '\x09');
    renderer->queueVideo(0, ZImageFormat{ZIT_RGB24, 48, 48}, bytes(picture));
    for (int step = 0; step < 6 && !renderer->done(); ++step) {
        g_clock += 400000;
        waitFor([&] { return renderer->done(); }, 400000);
    }
    EXPECT_TRUE(renderer->done());  // queued pictures do not count
    renderer.reset();
    EXPECT_TRUE(log.contains(L"pal_Image: Tearing down audio: numQueued=36000bytes (remaining=0bytes)"));
}

// Cursors the null device reports to the renderer's refills.
std::atomic<std::uint32_t> g_play{0}, g_write{0};
std::atomic<int> g_positionResult{0}, g_positionCalls{0};
int scriptedPosition(std::uint32_t* play, std::uint32_t* write) {
    ++g_positionCalls;
    if (g_positionResult < 0) return g_positionResult;
    *play = g_play;
    *write = g_write;
    return 0;
}

TEST_F(PlaybackTest, TheFirstRefillStepsAroundTheSpanTheDeviceMayBePlaying) {
    ZLogCategories categories("a");
    _ZSoundBufferSetPositionSource(scriptedPosition);
    // One second of 8 kHz sound is 16000 bytes; a renderer without
    // prebuffer starts with its first packet, copying up to one buffer.
    const struct Row {
        int queued;
        std::uint32_t play, write;
        int result;
        std::uint32_t next;
        bool skips;
        std::uint64_t left;
    } rows[] = {
        {1600, 8000, 8160, 0, 1600, false, 0},     // start below one buffer; an empty refill stays put
        {20000, 8000, 8160, 0, 4000, false, 0},    // above: the rest follows from position 0
        {200, 100, 300, 0, 300, true, 0},          // inside play..write
        {50, 100, 300, 0, 50, false, 0},           // behind the play cursor
        {5000, 100, 300, 0, 5000, false, 0},       // past the write cursor
        {15950, 15900, 200, 0, 200, true, 0},      // the span wraps: its end part
        {100, 15900, 200, 0, 200, true, 0},        // its start part
        {5000, 15900, 200, 0, 5000, false, 0},     // outside it
        {5000, 700, 700, 0, 700, true, 0},         // equal cursors: every position
        {20000, 8000, 8160, -5, 0, true, 0},       // a failed query discards the queue
    };
    int row = 0;
    for (const Row& r : rows) {
        const std::wstring name = L"row" + std::to_wstring(++row) + L"_Image";
        g_play = r.play;
        g_write = r.write;
        g_positionResult = r.result;
        g_positionCalls = 0;
        std::unique_ptr<ZVideoRenderer> renderer(ZSAFENEW(ZVideoRenderer, net.instance, name, 0));
        const std::string sound(static_cast<std::size_t>(r.queued), '\x21');
        renderer->queueAudio(0, pcm8k(), bytes(sound), r.queued);
        ASSERT_TRUE(waitFor([&] { return g_positionCalls > 0; })) << row;
        // The refill holds the renderer's lock until it is done.
        EXPECT_EQ(renderer->getNextWritePosition(), r.next) << row;
        EXPECT_EQ(renderer->getAudioBufferedLength(), r.left) << row;
        EXPECT_EQ(log.count(name + L": WARNING Skipping ahead of danger zone"), r.skips ? 1 : 0) << row;
        renderer.reset();
    }
    EXPECT_EQ(log.count(L"WARNING Error HR return value: 0xFFFFFFFB"), 1);
    _ZSoundBufferSetPositionSource(nullptr);
}

TEST_F(PlaybackTest, PicturesWaitForTheFirstRefillThenGoOutInOrder) {
    ZLogCategories categories("Va");
    std::unique_ptr<ZVideoRenderer> silent(ZSAFENEW(ZVideoRenderer, net.instance, L"quiet_Image", 500000));
    const std::string red(48 * 48 * 3, '\x40');
    silent->queueVideo(1000, ZImageFormat{ZIT_RGB24, 48, 48}, bytes(red));
    EXPECT_EQ(net.instance->getRaw(L"quiet_Image"), red);  // no sound: written at once

    std::unique_ptr<ZVideoRenderer> renderer(ZSAFENEW(ZVideoRenderer, net.instance, L"pal_Image", 500000));
    const std::string some(4000, '\x01');
    renderer->queueAudio(0, pcm8k(), bytes(some), 4000);
    std::vector<std::string> pictures;
    for (int i = 0; i < 3; ++i) {
        pictures.push_back(std::string(48 * 48 * 3, static_cast<char>(10 + i)));
        renderer->queueVideo(100000 * i, ZImageFormat{ZIT_RGB24, 48, 48}, bytes(pictures.back()));
    }
    ZThreadSleep(300000);
    EXPECT_FALSE(net.instance->isSet(L"pal_Image"));  // sound output has not started
    EXPECT_EQ(renderer->getVideoBufferedLength(), 200000u);
    renderer->finish();  // starts output with what it holds
    EXPECT_TRUE(waitFor([&] { return net.instance->getRaw(L"pal_Image") == pictures[2]; }));
    renderer.reset();
    // Finishing while prebuffering adds no silence.
    EXPECT_TRUE(log.contains(L"pal_Image: Tearing down audio: numQueued=4000bytes (remaining=0bytes), numCopied: 4000bytes"));
    // Each picture once, in arrival order; a renderer without sound started no feeder.
    std::vector<std::wstring> shown;
    for (const std::wstring& line : log.lines())
        if (line.find(L"videoTimestamp=") != std::wstring::npos) shown.push_back(line.substr(line.find(L"pal_Image: ")));
    EXPECT_EQ(shown, (std::vector<std::wstring>{L"pal_Image: videoTimestamp=0\n", L"pal_Image: videoTimestamp=100000\n",
                                                L"pal_Image: videoTimestamp=200000\n"}));
    EXPECT_EQ(log.count(L"Started video feeder for 'quiet_Image'"), 0);
}

TEST_F(PlaybackTest, ARefusedStartEmptiesTheQueueAndTriesAgainPastThePrebuffer) {
    std::unique_ptr<ZVideoRenderer> renderer(ZSAFENEW(ZVideoRenderer, net.instance, L"pal_Image", 100000));
    _ZSoundBufferFailOpen(-19);
    const std::string packet(2000, '\x05');
    renderer->queueAudio(0, pcm8k(), bytes(packet), 2000);
    EXPECT_TRUE(log.contains(L"pal_Image: WARNING Cannot play audio, ignoring."));
    EXPECT_TRUE(log.contains(L"ERROR Error HR return value: 0xFFFFFFED"));
    EXPECT_EQ(renderer->getAudioBufferedLength(), 0u);
    _ZSoundBufferFailOpen(0);
    renderer->queueAudio(0, pcm8k(), bytes(packet), 2000);
    EXPECT_EQ(log.count(L"Cannot play audio"), 1);
    EXPECT_EQ(renderer->getAudioBufferedLength(), 0u);  // all of it went into the buffer
}

TEST_F(PlaybackTest, PacketsAreTakenInSerialOrderAcrossTheWrap) {
    auto stream = openStream();
    // Each accepted packet announces a side we refuse, so it leaves one line.
    struct Step {
        std::uint32_t seq;
        bool accepted;
    } steps[] = {{0, false}, {1, true},     {2, true},     {3, true}, {5, true}, {4, false},    {30000, true},
                 {60000, true}, {65535, true}, {0, true}, {1, true}, {1, false}, {40000, false}};
    int accepted = 0;
    for (const Step& step : steps) {
        stream->recv(rtp(2, step.seq, 40));
        accepted += step.accepted;
        EXPECT_EQ(log.count(L"WARNING Received invalid video header packet; ignoring."), accepted) << step.seq;
    }
    EXPECT_TRUE(log.contains(L"WARNING Expecting video packet #4 but actually received #5"));
    EXPECT_TRUE(log.contains(L"WARNING Expecting video packet #6 but actually received #30000"));
    EXPECT_TRUE(log.contains(L"WARNING Expecting video packet #60001 but actually received #65535"));
    stream->recv(rtp(3, 9, 0));
    EXPECT_TRUE(log.contains(L"WARNING Received unknown RTP payload type #3, ignoring."));
}

TEST_F(PlaybackTest, DecodedPicturesReachTheBuddysImageAfterAKeyFrame) {
    auto stream = openStream();
    std::unique_ptr<ZTheoraEncoder> encoder(
        ZSAFENEW(ZTheoraEncoder, ZImageFormat{ZIT_BGR24, 64, 48}, ZRect{8, 0, 56, 48}, 48, 48, 5));
    std::uint32_t seq = 0;
    for (int i = 0; i < 3; ++i) {
        const std::string frame = testCardRGB(64, 48, i, true);
        std::string packet;
        encoder->encode(bytes(frame), static_cast<int>(frame.size()), packet);
        stream->recv(rtp(2, ++seq, 48, packet, 1000 * i));
    }
    ZImageFormat format;
    format.deserialize(net.instance->getRaw(L"pal@zandrel.net_Image_Format"));
    EXPECT_EQ(format, (ZImageFormat{ZIT_RGB24, 48, 48}));
    EXPECT_EQ(net.instance->getRaw(L"pal@zandrel.net_Image").size(), 6912u);
    // While we share our screen no picture is queued.
    net.instance->clear(L"pal@zandrel.net_Image");
    net.instance->set(L"ZScreenService_sendStreamActive", std::wstring(L"true"), false);
    const std::string frame = testCardRGB(64, 48, 9, true);
    std::string packet;
    encoder->encode(bytes(frame), static_cast<int>(frame.size()), packet);
    stream->recv(rtp(2, ++seq, 48, packet));
    EXPECT_FALSE(net.instance->isSet(L"pal@zandrel.net_Image"));
    net.instance->clear(L"ZScreenService_sendStreamActive");

    // The side grows to 64: a new decoder, which waits for a key frame.
    std::unique_ptr<ZTheoraEncoder> larger(
        ZSAFENEW(ZTheoraEncoder, ZImageFormat{ZIT_BGR24, 64, 64}, ZRect{0, 0, 64, 64}, 64, 64, 5));
    std::vector<std::string> packets(2);
    for (int i = 0; i < 2; ++i) {
        const std::string frame = testCardRGB(64, 64, i, true);
        larger->encode(bytes(frame), static_cast<int>(frame.size()), packets[static_cast<std::size_t>(i)]);
    }
    stream->recv(rtp(2, ++seq, 64, packets[1]));  // not a key frame
    EXPECT_FALSE(net.instance->isSet(L"pal@zandrel.net_Image"));
    stream->recv(rtp(2, ++seq, 64, packets[0]));
    format.deserialize(net.instance->getRaw(L"pal@zandrel.net_Image_Format"));
    EXPECT_EQ(format, (ZImageFormat{ZIT_RGB24, 64, 64}));
}

TEST_F(PlaybackTest, ListeningFollowsTheAudioRateAndItsPauses) {
    ZLogCategories categories("v");
    auto stream = openStream();
    std::uint32_t seq = 0;
    stream->recv(rtp(1, ++seq, 22000));
    EXPECT_TRUE(net.instance->contains(L"Listening_To_List", L"pal@zandrel.net"));
    std::string item;
    ASSERT_TRUE(net.instance->dequeue(L"ZClient_commandQueue", item));
    EXPECT_NE(item.find("LISTENINGTO"), std::string::npos);
    EXPECT_NE(item.find("User-GUID: pal@zandrel.net"), std::string::npos);

    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, ZAudioFormat{2, 22000}));
    std::string speech;
    encoder->encode(bytes(tonePCM(1120, 22000, 700, 5000)), 2240, speech);
    for (int i = 0; i < 6; ++i) {
        stream->recv(rtp(1, ++seq, 22000, speech));
        g_clock += 500000;
        stream->update();
    }
    EXPECT_FALSE(log.contains(L"Inactivity timeout"));
    g_clock += 700000;
    stream->update();
    stream->update();
    EXPECT_EQ(log.count(L"WARNING Inactivity timeout (1200ms), resetting audio."), 1);
    EXPECT_FALSE(net.instance->contains(L"Listening_To_List", L"pal@zandrel.net"));

    stream->recv(rtp(1, ++seq, 22000));
    stream->recv(rtp(1, ++seq, 0));
    EXPECT_FALSE(net.instance->contains(L"Listening_To_List", L"pal@zandrel.net"));
    stream->recv(rtp(1, ++seq, 22000));
    stream.reset();
    EXPECT_TRUE(net.instance->contains(L"Listening_To_List", L"pal@zandrel.net"));
    EXPECT_FALSE(net.instance->isSet(L"pal@zandrel.net@dev5_Video_Playback_Online"));
}

TEST_F(PlaybackTest, APeersHostileHeadersAndBytesOnlyWarn) {
    auto stream = openStream();
    std::uint32_t seq = 0;
    // A side of 0 is no video at all; the others are refused with a warning.
    for (std::uint32_t side : {0u, 40u, 1u << 20, 2048u}) stream->recv(rtp(2, ++seq, side, "xxxx"));
    EXPECT_EQ(log.count(L"WARNING Received invalid video header packet; ignoring."), 3);
    seq = 0;
    for (std::uint32_t rate : {7999u, 2000000000u, 48001u}) stream->recv(rtp(1, ++seq, rate, "xxxx"));
    EXPECT_EQ(log.count(L"WARNING Received invalid audio header packet; ignoring."), 3);
    // A sender alternating its rate with sound in every packet.
    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, ZAudioFormat{2, 22000}));
    std::string speech;
    encoder->encode(bytes(tonePCM(1120 * 8, 22000, 700, 5000)), 2240 * 8, speech);
    for (int i = 0; i < 20; ++i) {
        stream->recv(rtp(1, ++seq, i % 2 ? 22000 : 48000, speech));
        EXPECT_LE(stream->getSunsetCount(), ZPLAYBACK_MAX_SUNSET);
    }
    std::srand(3);
    for (int i = 0; i < 100; ++i) {
        std::string noise(static_cast<std::size_t>(std::rand() % 200), '\0');
        for (char& c : noise) c = static_cast<char>(std::rand());
        stream->recv(rtp(1 + i % 2, ++seq, i % 2 ? 48 : 22000, noise));
        stream->recv(noise);
    }
    EXPECT_EQ(log.count(L"ERROR"), 0);
}

TEST_F(PlaybackTest, APeerHoldingTheSoundBackCannotPileUpPictures) {
    // One short sound payload fixes the format without reaching the
    // prebuffer; header-only sound packets keep it from ever starting.
    auto stream = openStream();
    std::uint32_t audioSeq = 0, videoSeq = 0;
    std::unique_ptr<ZSpeexEncoder> speex(ZSAFENEW(ZSpeexEncoder, ZAudioFormat{2, 22000}));
    std::string speech;
    speex->encode(bytes(tonePCM(1120, 22000, 700, 5000)), 2240, speech);
    stream->recv(rtp(1, ++audioSeq, 22000, speech));
    std::unique_ptr<ZTheoraEncoder> theora(
        ZSAFENEW(ZTheoraEncoder, ZImageFormat{ZIT_BGR24, 64, 64}, ZRect{0, 0, 64, 64}, 64, 64, 5));
    const std::string frame = testCardRGB(64, 64, 1, true);
    std::string keyFrame;
    theora->encode(bytes(frame), static_cast<int>(frame.size()), keyFrame);
    const std::size_t pictureBytes = 64 * 64 * 3;
    for (int i = 0; i < 200; ++i) {
        stream->recv(rtp(1, ++audioSeq, 22000));
        stream->recv(rtp(2, ++videoSeq, 64, keyFrame, 40 * i));
    }
    ZVideoRenderer* renderer = stream->getRenderer();
    ASSERT_TRUE(renderer);
    EXPECT_EQ(renderer->getQueuedPictures(), ZRENDERER_MAX_QUEUED_PICTURES);
    EXPECT_EQ(renderer->getQueuedPictureBytes(), ZRENDERER_MAX_QUEUED_PICTURES * pictureBytes);
    EXPECT_FALSE(net.instance->isSet(L"pal@zandrel.net_Image"));
    // The newest pictures are the ones kept.
    EXPECT_EQ(renderer->getVideoBufferedLength(), (ZRENDERER_MAX_QUEUED_PICTURES - 1) * 40000u);
    EXPECT_EQ(log.count(L"WARNING Too many pictures waiting for the sound, dropping the oldest."), 1);
}

TEST_F(PlaybackTest, ServiceRoutesBySenderAndChecksReports) {
    ZLogCategories categories("vAV");
    std::unique_ptr<ZVideoPlaybackService> service(ZSAFENEW(ZVideoPlaybackService, net.instance, net.port));
    auto post = [&](const wchar_t* method, const std::wstring& name, const std::wstring& host) {
        ZHTTPHeaders message(method);
        message.set(L"Buddy-Device-GUID", name);
        if (!host.empty()) message.set(L"Recv-From-Host", host);
        net.instance->enqueue(L"ZVideoPlaybackService_commandQueue", message.serialize());
    };
    auto file = [&](const std::string& datagram, const std::wstring& from) {
        ZMegaPortBucket* bucket = net.port->getEmtpyBucket();
        bucket->from = from;
        bucket->buffer = datagram;
        net.port->fillRTPBucket(bucket);
    };
    post(L"open", L"pal@zandrel.net@dev5", L"10.0.0.5:4000");
    post(L"OPEN", L"pal@zandrel.net@dev5", L"10.0.0.5:4000");
    post(L"OPEN", L"bob@zandrel.net@dev6", L"10.0.0.5:4000");  // takes the address over
    post(L"STOP", L"", L"");
    service->pass();
    EXPECT_TRUE(log.contains(L"Received 'OPEN' request for playback stream 'pal@zandrel.net@dev5' that is already open, resetting."));
    EXPECT_TRUE(log.contains(L"WARNING Unsupported command 'STOP' sent to ZVideoPlaybackService_commandQueue, ignoring."));

    std::string report;
    ZRTCPSRCompose(report, 0, 77, 0, 0, 0, 0, 0, L"BOB@zandrel.net@dev6");
    file(report, L"10.0.0.5:4000");
    ZRTCPSRCompose(report, 0, 77, 0, 0, 0, 0, 0, L"someone@else");
    file(report, L"10.0.0.5:4000");
    file(report.substr(0, 30), L"10.0.0.5:4000");
    file(rtp(2, 1, 40), L"10.0.0.5:4000");
    file(rtp(1, 1, 0), L"10.0.0.5:4000");  // filed after the video, handled before it
    for (int i = 0; i < 15; ++i) file(rtp(1, 1, 0), L"10.9.9.9:1");
    service->pass();
    EXPECT_EQ(log.count(L"ZCaseEquals( stream->getName( ), cname )"), 1);
    EXPECT_EQ(log.count(L"WARNING Received malformed RTCP-SR from 'bob@zandrel.net@dev6' (10.0.0.5:4000), ignoring."), 1);
    EXPECT_EQ(log.count(L"'bob@zandrel.net@dev6' WARNING Received invalid video header packet; ignoring."), 1);
    const std::vector<std::wstring> lines = log.lines();
    auto firstWith = [&](const wchar_t* text) {
        return std::find_if(lines.begin(), lines.end(),
                            [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; }) -
               lines.begin();
    };
    EXPECT_LT(firstWith(L"'bob@zandrel.net@dev6' Received frame audio packet (4 bytes)"),
              firstWith(L"'bob@zandrel.net@dev6' Received frame video packet (4 bytes)"));
    const int unexpected = log.count(L"WARNING Received unexpected 16bytes from (10.9.9.9:1), ignoring.");
    EXPECT_GE(unexpected, 10);  // a new second may have begun in between
    EXPECT_LE(unexpected, 15);

    post(L"CLOSE", L"pal@zandrel.net@dev5", L"");
    post(L"CLOSE", L"nobody@zandrel.net@x", L"");
    service->pass();
    EXPECT_EQ(log.count(L"!deadHostList.empty( )"), 1);
    EXPECT_TRUE(log.contains(L"Received 'CLOSE' request, but no stream named 'nobody@zandrel.net@x'; ignoring."));
    post(L"OPEN", L"pal@zandrel.net@dev5", L"10.0.0.7:4000");
    service->start(L"ZClient.ZVideoPlaybackService");
    ASSERT_TRUE(waitFor([&] { return net.instance->isSet(L"pal@zandrel.net@dev5_Video_Playback_Online"); }));
    service->stop(true);
    EXPECT_TRUE(log.contains(L"2 live playback streams on close, stopping."));
    service.reset();
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (_nameStreamMap"), 0);
}
