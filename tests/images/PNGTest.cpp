#include <gtest/gtest.h>

#include <png.h>

#include "ZImage.h"
#include "ZImageTestSupport.h"
#include "ZTestSupport.h"

namespace {

std::string encode(int type, int w, int h, const std::string& pixels, ZRect rect) {
    std::string png;
    ZImageConvert(ZImageFormat{type, w, h}, U(pixels), rect, ZIT_PNG, png);
    return png;
}

std::uint32_t crc32(const std::string& bytes) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

std::string be32(std::uint32_t v) {
    return std::string{static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
}

std::string chunk(const std::string& type, const std::string& data) {
    return be32(static_cast<std::uint32_t>(data.size())) + type + data + be32(crc32(type + data));
}

// A PNG signature and a well-formed header chunk announcing the size.
std::string headerOnly(std::uint32_t w, std::uint32_t h) {
    const std::string signature = "\x89PNG\r\n\x1a\n";
    return signature + chunk("IHDR", be32(w) + be32(h) + std::string("\x08\x02\x00\x00\x00", 5));
}

}  // namespace

TEST(ZImagePNG, EncodedPictureDecodesIdenticalAndUpright) {
    // Asymmetric: every pixel differs, so a flipped or mirrored result fails.
    const std::string src = patterned(ZIT_RGB24, 7, 5);
    const std::string png = encode(ZIT_RGB24, 7, 5, src, ZRect{0, 0, 7, 5});
    ASSERT_GT(png.size(), 8u);
    ZImageFormat f;
    std::string pixels;
    ASSERT_TRUE(ZImageDecodePNG(U(png), static_cast<int>(png.size()), 7, 5, f, pixels));
    EXPECT_EQ(f, (ZImageFormat{ZIT_RGB24, 7, 5}));
    EXPECT_EQ(pixels, src);
    ASSERT_TRUE(ZImageLoad(U(png), static_cast<int>(png.size()), f, pixels));
    EXPECT_EQ(f, (ZImageFormat{ZIT_RGB24, 7, 5}));
    EXPECT_EQ(pixels, src);
}

TEST(ZImagePNG, SubRectangleEncodesOnlyItsPixels) {
    const std::string src = patterned(ZIT_BGRA32, 8, 8);
    const std::string png = encode(ZIT_BGRA32, 8, 8, src, ZRect{3, 2, 6, 7});
    ZImageFormat f;
    std::string pixels;
    ASSERT_TRUE(ZImageDecodePNG(U(png), static_cast<int>(png.size()), 3, 5, f, pixels));
    ASSERT_EQ(f, (ZImageFormat{ZIT_RGB24, 3, 5}));
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 3; ++x) {
            const Bytes s = pixelAt(src, 8, 4, 3 + x, 2 + y);
            EXPECT_EQ(pixelAt(pixels, 3, 3, x, y), (Bytes{s[2], s[1], s[0]}));
        }
}

TEST(ZImagePNG, SourceTypesMapToRGBWithoutAlpha) {
    const struct {
        int type;
        Bytes pixel;
        Bytes rgb;
    } cases[] = {
        {ZIT_BGRA32, {10, 20, 30, 40}, {30, 20, 10}},
        {ZIT_RGBA32, {10, 20, 30, 40}, {10, 20, 30}},
        {ZIT_BGR24, {10, 20, 30}, {30, 20, 10}},
        {ZIT_RGB565, {0xFF, 0xFF}, {248, 248, 248}},
        {ZIT_RGB565, {0x00, 0xF8}, {248, 0, 0}},
        {ZIT_RGB555, {0x1F, 0x00}, {0, 0, 248}},
    };
    for (const auto& c : cases) {
        const std::string png = encode(c.type, 1, 1, S(c.pixel), ZRect{0, 0, 1, 1});
        ZImageFormat f;
        std::string pixels;
        ASSERT_TRUE(ZImageDecodePNG(U(png), static_cast<int>(png.size()), 1, 1, f, pixels)) << c.type;
        EXPECT_EQ(B(pixels), c.rgb) << c.type;
    }
}

TEST(ZImagePNG, EmptyOrTruncatedStreamsGiveFalseAZeroFormatAndOneWarning) {
    const std::string png = encode(ZIT_RGB24, 7, 5, patterned(ZIT_RGB24, 7, 5), ZRect{0, 0, 7, 5});
    for (std::size_t keep : {std::size_t{0}, std::size_t{5}, std::size_t{8}, std::size_t{30}, png.size() / 2,
                             png.size() - 13}) {
        const std::string cut = png.substr(0, keep);
        for (bool network : {true, false}) {
            ZLogCapture log;
            ZImageFormat f = {1, 2, 3};
            std::string pixels = "stale";
            const bool ok = network ? ZImageDecodePNG(U(cut), static_cast<int>(cut.size()), 0, 0, f, pixels)
                                    : ZImageLoad(U(cut), static_cast<int>(cut.size()), f, pixels);
            EXPECT_FALSE(ok) << keep << (network ? " network" : " load");
            EXPECT_EQ(f, ZImageFormat{});
            EXPECT_TRUE(pixels.empty());
            EXPECT_EQ(log.lines().size(), 1u) << keep << (network ? " network" : " load");
        }
    }
}

TEST(ZImagePNG, HugeOrUnexpectedHeaderSizesAreRefusedBeforeDecoding) {
    const std::string huge = headerOnly(100000, 100000);
    ZLogCapture log;
    ZImageFormat f;
    std::string pixels;
    EXPECT_FALSE(ZImageDecodePNG(U(huge), static_cast<int>(huge.size()), 0, 0, f, pixels));
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains(L"WARNING Unable to decode PNG: "));

    // A well-formed picture of another size than the one the caller expects.
    const std::string png = encode(ZIT_RGB24, 7, 5, patterned(ZIT_RGB24, 7, 5), ZRect{0, 0, 7, 5});
    EXPECT_FALSE(ZImageDecodePNG(U(png), static_cast<int>(png.size()), 48, 48, f, pixels));
    EXPECT_FALSE(ZImageDecodePNG(U(png), static_cast<int>(png.size()), 7, 4, f, pixels));
    EXPECT_TRUE(pixels.empty());
}

TEST(ZImagePNG, CorruptedBytesNeverCrashTheDecoder) {
    const std::string png = encode(ZIT_RGBA32, 9, 9, patterned(ZIT_RGBA32, 9, 9), ZRect{0, 0, 9, 9});
    for (std::size_t i = 8; i < png.size(); i += 3) {
        std::string bad = png;
        bad[i] = static_cast<char>(bad[i] ^ 0x5A);
        ZLogCapture log;
        ZImageFormat f;
        std::string pixels;
        if (ZImageDecodePNG(U(bad), static_cast<int>(bad.size()), 0, 0, f, pixels))
            EXPECT_TRUE(ZImageFormatFits(f, pixels.size()));
        else
            EXPECT_EQ(log.lines().size(), 1u);
    }
}

TEST(ZImageLoad, PalettePicturesComeOutAsRGBAndAlphaPicturesKeepAlpha) {
    // An 8-bit palette PNG written with libpng directly: two entries, red and blue.
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep d, size_t n) { static_cast<std::string*>(png_get_io_ptr(p))->append((char*)d, n); },
        nullptr);
    png_set_IHDR(png, info, 2, 2, 8, PNG_COLOR_TYPE_PALETTE, 0, 0, 0);
    png_color palette[2] = {{255, 0, 0}, {0, 0, 255}};
    png_set_PLTE(png, info, palette, 2);
    png_write_info(png, info);
    png_byte rows[2][2] = {{0, 0}, {1, 1}};
    png_write_row(png, rows[0]);
    png_write_row(png, rows[1]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);

    ZImageFormat f;
    std::string pixels;
    ASSERT_TRUE(ZImageLoad(U(out), static_cast<int>(out.size()), f, pixels));
    EXPECT_EQ(f, (ZImageFormat{ZIT_RGB24, 2, 2}));
    // Top row red, bottom row blue: rows come out top first.
    EXPECT_EQ(B(pixels), (Bytes{255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255}));

    ASSERT_TRUE(ZImageDecodePNG(U(out), static_cast<int>(out.size()), 0, 0, f, pixels));
    EXPECT_EQ(B(pixels), (Bytes{255, 0, 0, 255, 0, 0, 0, 0, 255, 0, 0, 255}));
}

TEST(ZImageJPEG, EncodesUprightPicturesThatLoadBack) {
    // Top half red, bottom half blue, in every source layout.
    for (int type : {ZIT_RGB24, ZIT_BGRA32, ZIT_RGB565}) {
        std::string src;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                const bool top = y < 8;
                switch (type) {
                case ZIT_RGB24: src += top ? S({255, 0, 0}) : S({0, 0, 255}); break;
                case ZIT_BGRA32: src += top ? S({0, 0, 255, 255}) : S({255, 0, 0, 255}); break;
                case ZIT_RGB565: src += top ? S({0x00, 0xF8}) : S({0x1F, 0x00}); break;
                }
            }
        std::string jpeg;
        ZImageConvert(ZImageFormat{type, 16, 16}, U(src), ZRect{0, 0, 16, 16}, ZIT_JPEG, jpeg);
        ASSERT_GT(jpeg.size(), 100u) << type;
        EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
        ZImageFormat f;
        std::string pixels;
        ASSERT_TRUE(ZImageLoad(U(jpeg), static_cast<int>(jpeg.size()), f, pixels));
        ASSERT_EQ(f, (ZImageFormat{ZIT_RGB24, 16, 16}));
        const Bytes top = pixelAt(pixels, 16, 3, 4, 2);
        const Bytes bottom = pixelAt(pixels, 16, 3, 4, 13);
        EXPECT_GT(top[0], 200) << type;
        EXPECT_LT(top[2], 60) << type;
        EXPECT_GT(bottom[2], 200) << type;
        EXPECT_LT(bottom[0], 60) << type;
    }
}
