// Speech through the Speex wrappers: codebook, packet layout, frame counts,
// a tone's pitch and level after the round trip, and a peer's bad bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ZMediaTestSupport.h"
#include "ZPortable_Bytes.h"
#include "ZSpeex.h"

using namespace zanmedia;

namespace {

const ZAudioFormat kCapture{2, 22000};

std::unique_ptr<ZSpeexDecoder> decoderFor(int hz) {
    std::string codebook;
    ZSpeexEncoder_generateCodebook(codebook, hz);
    return std::unique_ptr<ZSpeexDecoder>(ZSAFENEW(ZSpeexDecoder, bytes(codebook), static_cast<int>(codebook.size())));
}

std::string encodeOnce(ZSpeexEncoder& encoder, const std::string& pcm) {
    std::string packet;
    encoder.encode(bytes(pcm), static_cast<int>(pcm.size()), packet);
    return packet;
}

}  // namespace

TEST(ZSpeex, CodebookIsTheRateInFourBytesAndReplaces) {
    std::string codebook = "old";
    ZSpeexEncoder_generateCodebook(codebook, 22000);
    EXPECT_EQ(codebook, std::string("\xF0\x55\x00\x00", 4));
    ZSpeexEncoder_generateCodebook(codebook, 22000);
    EXPECT_EQ(codebook.size(), 4u);
}

TEST(ZSpeex, FrameSizeAndWaveFormat) {
    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, kCapture));
    EXPECT_EQ(encoder->getFrameSize(), 320);
    const WAVEFORMATEX format = decoderFor(8000)->getWaveFormat();
    EXPECT_EQ(format.wFormatTag, 1);
    EXPECT_EQ(format.nChannels, 1);
    EXPECT_EQ(format.nSamplesPerSec, 8000u);
    EXPECT_EQ(format.nAvgBytesPerSec, 16000u);
    EXPECT_EQ(format.nBlockAlign, 2);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(format.cbSize, 0);
}

TEST(ZSpeex, EveryWholeFrameOfAPacketDecodes) {
    // Even counts end on a byte boundary with no terminator after them.
    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, kCapture));
    auto decoder = decoderFor(22000);
    for (int frames : {1, 2, 3, 4, 7}) {
        const std::string packet = "kept" + encodeOnce(*encoder, tonePCM(160 * frames, 22000, 700, 6000));
        int n = 0;
        ASSERT_EQ(4, ZDeserialize(packet.data() + 4, 4u, n));
        ASSERT_EQ(static_cast<int>(packet.size()), 8 + n) << frames;
        std::string pcm;
        decoder->decode(bytes(packet) + 4, static_cast<int>(packet.size()) - 4, pcm);
        EXPECT_EQ(pcm.size(), 320u * frames) << frames << " frames";
    }
}

TEST(ZSpeex, AToneKeepsItsPitchAndLevel) {
    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, kCapture));
    auto decoder = decoderFor(22000);
    std::string sent, received;
    for (int buffer = 0; buffer < 20; ++buffer) {
        const std::string pcm = tonePCM(1120, 22000, 1000, 8000, buffer * 1120);
        sent += pcm;
        const std::string packet = encodeOnce(*encoder, pcm);
        std::string decoded;
        decoder->decode(bytes(packet), static_cast<int>(packet.size()), decoded);
        received += decoded;
    }
    ASSERT_EQ(received.size(), sent.size());
    const std::size_t settled = 1120;  // the codec's first frames ramp up
    EXPECT_NEAR(zeroCrossingHz(received, 22000, settled), 1000.0, 10.0);
    const double gain = 20 * std::log10(rms(received, settled) / rms(sent, settled));
    EXPECT_LT(std::fabs(gain), 3.0) << gain << " dB";
}

TEST(ZSpeex, LoudPeaksSaturateInsteadOfWrapping) {
    // A full-scale square wave rings past full scale after the round trip.
    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, kCapture));
    auto decoder = decoderFor(22000);
    std::string square(2240, '\0');
    for (std::size_t i = 0; i < square.size() / 2; ++i) {
        const std::int16_t s = (i / 40) % 2 ? -32767 : 32767;
        std::memcpy(&square[2 * i], &s, 2);
    }
    std::string received;
    for (int buffer = 0; buffer < 10; ++buffer) {
        const std::string packet = encodeOnce(*encoder, square);
        std::string decoded;
        decoder->decode(bytes(packet), static_cast<int>(packet.size()), decoded);
        received += decoded;
    }
    // The decoded square is band-limited: its edges pass through the middle
    // over several samples. Only a wrapped peak jumps from one loud sign to
    // the other between two samples.
    int clipped = 0, swings = 0;
    for (std::size_t i = 1; i < received.size() / 2; ++i) {
        const int before = sampleAt(received, i - 1), s = sampleAt(received, i);
        clipped += (s == 32767 || s == -32768);
        swings += (before > 16000 && s < -16000) || (before < -16000 && s > 16000);
    }
    EXPECT_GT(clipped, 0);
    EXPECT_EQ(swings, 0);
}

TEST(ZSpeex, PartialFramesAreDroppedWithOneWarning) {
    ZLogCapture log;
    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, kCapture));
    auto decoder = decoderFor(22000);
    const std::string pcm = tonePCM(5444 / 2, 22000, 500, 4000);
    std::string packet = encodeOnce(*encoder, pcm);
    encodeOnce(*encoder, pcm);
    EXPECT_EQ(log.count(L"WARNING Encoding 5444 bytes, not a whole number of 320-byte frames"), 1);
    std::string decoded;
    decoder->decode(bytes(packet), static_cast<int>(packet.size()), decoded);
    EXPECT_EQ(decoded.size(), 5440u);
    EXPECT_TRUE(encodeOnce(*encoder, pcm.substr(0, 100)).empty());
}

TEST(ZSpeex, APeersBadBytesAreRefused) {
    std::unique_ptr<ZSpeexEncoder> encoder(ZSAFENEW(ZSpeexEncoder, kCapture));
    auto decoder = decoderFor(22000);
    const std::string good = encodeOnce(*encoder, tonePCM(480, 22000, 400, 5000));
    std::string longer = good + "xx";
    std::string shortN = good;
    shortN[0] = static_cast<char>(shortN[0] - 1);
    const std::string fourBytes("\0\0\0\0", 4);
    std::string out;
    EXPECT_REFUSED(decoder->decode(bytes(longer), static_cast<int>(longer.size()), out));
    EXPECT_REFUSED(decoder->decode(bytes(shortN), static_cast<int>(shortN.size()), out));
    EXPECT_REFUSED(decoder->decode(bytes(fourBytes), 4, out));
    EXPECT_REFUSED(decoder->decode(bytes(good), 3, out));
    EXPECT_REFUSED(decoder->decode(nullptr, 0, out));
    EXPECT_REFUSED(ZSAFENEW(ZSpeexDecoder, bytes(good), 3));
    EXPECT_REFUSED(ZSAFENEW(ZSpeexDecoder, bytes(fourBytes), 4));
    // Random bit-streams with a right length field decode or are refused.
    std::srand(7);
    for (int round = 0; round < 200; ++round) {
        std::string noise(4, '\0');
        const int n = 1 + std::rand() % 200;
        std::memcpy(&noise[0], &n, 4);
        for (int i = 0; i < n; ++i) noise += static_cast<char>(std::rand());
        try {
            decoder->decode(bytes(noise), static_cast<int>(noise.size()), out);
            EXPECT_EQ(out.size() % 320, 0u);
        } catch (const ZTestAbort&) {
            ADD_FAILURE() << "fatal check on random bytes";
        } catch (const std::runtime_error&) {
        }
    }
}
