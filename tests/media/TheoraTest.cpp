// Video through the Theora wrappers: codebooks regenerated from the size,
// camera frames cropped, scaled, encoded and decoded, and a peer's bad bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "ZImage.h"
#include "ZMediaTestSupport.h"
#include "ZOgg.h"
#include "ZTheora.h"

using namespace zanmedia;

namespace {

std::unique_ptr<ZTheoraDecoder> decoderFor(int side) {
    std::string codebook;
    ZTheoraEncoder_generateCodebook(codebook, side, side);
    return std::unique_ptr<ZTheoraDecoder>(
        ZSAFENEW(ZTheoraDecoder, bytes(codebook), static_cast<int>(codebook.size())));
}

ZRect centredSquare(int width, int height) {
    const int side = std::min(width, height) / 16 * 16;
    return ZRect{(width - side) / 2, (height - side) / 2, (width - side) / 2 + side, (height - side) / 2 + side};
}

// What the picture should look like: the same crop and scale done with the
// image family, as RGB24.
std::string referencePicture(const ZImageFormat& format, const std::string& frame, const ZRect& crop, int side) {
    std::string cropped, y, u, v, ry, ru, rv, rgb;
    ZImageFormat cropFormat{ZIT_RGB24, crop.right - crop.left, crop.bottom - crop.top};
    if (format.type == ZIT_YUY2) {
        ZImageCrop(format, bytes(frame), crop, cropped);
        cropFormat.type = ZIT_YUY2;
    } else {
        ZImageConvert(format, bytes(frame), crop, ZIT_RGB24, cropped);
    }
    ZImageConvertToIYUY(cropFormat, bytes(cropped), y, u, v);
    ZImageResizeIYUY(ZImageFormat{ZIT_IYUY, cropFormat.width, cropFormat.height}, bytes(y), bytes(u), bytes(v), side,
                     side, ry, ru, rv);
    ZImageConvertFromIYUY(ZImageFormat{ZIT_IYUY, side, side}, bytes(ry), bytes(ru), bytes(rv),
                          ZImageFormat{ZIT_RGB24, side, side}, rgb);
    return rgb;
}

}  // namespace

TEST(ZTheora, CodebookIsThreePacketsMadeAlikeEveryTime) {
    std::string codebook, again;
    ZTheoraEncoder_generateCodebook(codebook, 48, 48);
    ZTheoraEncoder_generateCodebook(again, 48, 48);
    EXPECT_EQ(codebook, again);
    ogg_packet packets[3];
    int at = 0;
    for (ogg_packet& p : packets) {
        const int used = ZDeserialize(bytes(codebook) + at, static_cast<int>(codebook.size()) - at, p);
        ASSERT_GT(used, 28);
        at += used;
    }
    EXPECT_EQ(at, static_cast<int>(codebook.size()));
    EXPECT_TRUE(packets[0].b_o_s);

    theora_info info;
    theora_comment comment;
    theora_info_init(&info);
    theora_comment_init(&comment);
    for (ogg_packet& p : packets) EXPECT_EQ(0, theora_decode_header(&info, &comment, &p));
    EXPECT_EQ(info.width, 48u);
    EXPECT_EQ(info.height, 48u);
    EXPECT_EQ(info.frame_width, 48u);
    EXPECT_EQ(info.offset_x, 0u);
    EXPECT_EQ(info.offset_y, 0u);
    EXPECT_EQ(info.fps_numerator, 1u);
    EXPECT_EQ(info.fps_denominator, 1u);
    EXPECT_EQ(info.aspect_numerator, 0u);
    EXPECT_EQ(info.aspect_denominator, 0u);
    EXPECT_EQ(info.colorspace, OC_CS_UNSPECIFIED);
    EXPECT_EQ(info.target_bitrate, 45000);
    EXPECT_EQ(info.quality, 0);
    EXPECT_EQ(info.keyframe_frequency_force, 64u);
    theora_comment_clear(&comment);
    theora_info_clear(&info);
}

TEST(ZTheora, CameraFramesArriveCroppedScaledAndClose) {
    struct Case {
        const char* name;
        ZImageFormat format;
    } cases[] = {{"640x480 BGR24", {ZIT_BGR24, 640, 480}}, {"176x144 YUY2", {ZIT_YUY2, 176, 144}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ZRect crop = centredSquare(c.format.width, c.format.height);
        std::unique_ptr<ZTheoraEncoder> encoder(ZSAFENEW(ZTheoraEncoder, c.format, crop, 48, 48, 7));
        auto decoder = decoderFor(48);
        std::vector<int> keyFrames;
        double worstPSNR = 99;
        for (int frame = 0; frame < 130; ++frame) {
            const std::string pixels = c.format.type == ZIT_YUY2
                                           ? testCardYUY2(c.format.width, c.format.height, frame)
                                           : testCardRGB(c.format.width, c.format.height, frame, true);
            std::string packet;
            encoder->encode(bytes(pixels), static_cast<int>(pixels.size()), packet);
            ZImageFormat format;
            std::string picture;
            if (decoder->decode(bytes(packet), static_cast<int>(packet.size()), format, picture))
                keyFrames.push_back(frame);
            ASSERT_EQ(format, (ZImageFormat{ZIT_RGB24, 48, 48}));
            ASSERT_EQ(picture.size(), 6912u);
            if (frame % 13 == 0)
                worstPSNR = std::min(worstPSNR, lumaPSNR(picture, referencePicture(c.format, pixels, crop, 48)));
        }
        ASSERT_FALSE(keyFrames.empty());
        EXPECT_EQ(keyFrames[0], 0);
        for (std::size_t i = 1; i < keyFrames.size(); ++i) EXPECT_LE(keyFrames[i] - keyFrames[i - 1], 64);
        EXPECT_GE(130 - 1 - keyFrames.back(), 0);
        EXPECT_LE(130 - 1 - keyFrames.back(), 64);
        EXPECT_GE(worstPSNR, 30.0);
    }
}

TEST(ZTheora, NoisyFramesAreNeverDropped) {
    const ZImageFormat format{ZIT_BGR24, 320, 320};
    std::unique_ptr<ZTheoraEncoder> encoder(ZSAFENEW(ZTheoraEncoder, format, ZRect{0, 0, 320, 320}, 320, 320, 15));
    std::string noise(320 * 320 * 3, '\0');
    std::srand(11);
    int empty = 0;
    for (int frame = 0; frame < 100; ++frame) {
        for (char& b : noise) b = static_cast<char>(std::rand());
        std::string packet;
        encoder->encode(bytes(noise), static_cast<int>(noise.size()), packet);
        ogg_packet p;
        ASSERT_EQ(static_cast<int>(packet.size()), ZDeserialize(bytes(packet), static_cast<int>(packet.size()), p));
        empty += p.bytes == 0;
    }
    EXPECT_EQ(empty, 0);
}

TEST(ZTheora, AnUnsupportedFrameTypeIsIgnoredWithAWarning) {
    ZLogCapture log;
    const ZImageFormat format{ZIT_RGB24, 64, 48};
    std::unique_ptr<ZTheoraEncoder> encoder(ZSAFENEW(ZTheoraEncoder, format, ZRect{8, 0, 56, 48}, 48, 48, 1));
    const std::string pixels(64 * 48 * 3, '\x40');
    std::string packet = "kept";
    encoder->encode(bytes(pixels), static_cast<int>(pixels.size()), packet);
    EXPECT_EQ(packet, "kept");
    EXPECT_TRUE(log.contains(L"WARNING unsupported format 15, ignoring."));
}

TEST(ZTheora, ManyCodebooksLeaveNothingBehind) {
    // LeakSanitizer at exit reports anything a codebook keeps.
    std::string codebook;
    for (int i = 0; i < 100; ++i) ZTheoraEncoder_generateCodebook(codebook, 16 * (1 + i % 4), 16 * (1 + i % 3));
    EXPECT_FALSE(codebook.empty());
}

TEST(ZTheora, APeersBadBytesAreRefused) {
    std::string codebook;
    for (int side : {0, -16, 20, 4096}) EXPECT_REFUSED(ZTheoraEncoder_generateCodebook(codebook, side, side));
    ZTheoraEncoder_generateCodebook(codebook, 32, 32);
    EXPECT_REFUSED(ZSAFENEW(ZTheoraDecoder, bytes(codebook), static_cast<int>(codebook.size()) - 1));
    std::string swapped = codebook;
    swapped[28] = 0x01;  // the first header packet's type byte
    EXPECT_REFUSED(ZSAFENEW(ZTheoraDecoder, bytes(swapped), static_cast<int>(swapped.size())));

    auto decoder = decoderFor(32);
    ZImageFormat format;
    std::string picture;
    const std::string truncated(20, '\0');
    EXPECT_REFUSED(decoder->decode(bytes(truncated), 20, format, picture));
    EXPECT_REFUSED(decoder->decode(bytes(codebook), static_cast<int>(codebook.size()), format, picture));
    std::srand(5);
    for (int round = 0; round < 200; ++round) {
        unsigned char payload[300];
        const int n = 1 + std::rand() % 300;
        for (int i = 0; i < n; ++i) payload[i] = static_cast<unsigned char>(std::rand());
        ogg_packet p{};
        p.packet = payload;
        p.bytes = n;
        std::string framed;
        ZSerialize(p, framed);
        try {
            decoder->decode(bytes(framed), static_cast<int>(framed.size()), format, picture);
            EXPECT_EQ(picture.size(), 32u * 32u * 3u);
        } catch (const ZTestAbort&) {
            ADD_FAILURE() << "fatal check on random bytes";
        } catch (const std::runtime_error&) {
        }
    }
}
