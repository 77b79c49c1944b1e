#include <gtest/gtest.h>

#include <png.h>

#include <cstdio>

#include "../../libzan/src/ZImage_Internal.h"
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

// A patterned w x h picture of any PNG colour type, depth and interlacing,
// written by libpng with what extra() adds to the header.
std::string writePNG(int colorType, int depth, int interlace, void (*extra)(png_structp, png_infop) = nullptr) {
    constexpr int w = 5, h = 4;
    const int channels = colorType == PNG_COLOR_TYPE_RGB_ALPHA ? 4
                         : colorType == PNG_COLOR_TYPE_RGB     ? 3
                         : colorType == PNG_COLOR_TYPE_GA      ? 2
                                                               : 1;
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_set_write_fn(
        png, &out,
        [](png_structp p, png_bytep d, size_t n) { static_cast<std::string*>(png_get_io_ptr(p))->append((char*)d, n); },
        nullptr);
    png_set_IHDR(png, info, w, h, depth, colorType, interlace, 0, 0);
    png_color palette[256];
    for (int i = 0; i < 256; ++i) palette[i] = {static_cast<png_byte>(i), static_cast<png_byte>(255 - i), 77};
    if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette, 1 << depth);
    if (extra) extra(png, info);
    png_write_info(png, info);
    const int rowBytes = (w * channels * depth + 7) / 8;
    std::vector<png_byte> rows(static_cast<std::size_t>(rowBytes) * h);
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = static_cast<png_byte>(i * 37 + 11);
    std::vector<png_bytep> pointers;
    for (int y = 0; y < h; ++y) pointers.push_back(rows.data() + y * rowBytes);
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

// The stream with the CRC of the first chunk of the type wrong, or with bytes
// put in front of that chunk.
std::string corruptCRC(std::string png, const std::string& type) {
    const std::size_t at = png.find(type);
    std::uint32_t length = 0;
    for (int i = 4; i > 0; --i) length = length << 8 | static_cast<unsigned char>(png[at - i]);
    png[at + 4 + length] ^= 0x01;
    return png;
}
std::string insertBefore(const std::string& png, const std::string& type, const std::string& bytes) {
    const std::size_t at = png.find(type) - 4;
    return png.substr(0, at) + bytes + png.substr(at);
}

// The text of a log line after its source location.
std::wstring message(const std::wstring& line) {
    const std::size_t at = line.find(L"] ");
    return at == std::wstring::npos ? line : line.substr(at + 2);
}

// A 2 x 1 24-bit BMP, a format only FreeImage reads: a blue and a red pixel.
std::string bmp() {
    const auto le32 = [](std::uint32_t v) {
        return std::string{static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    };
    const std::string pixels("\xFF\x00\x00\x00\x00\xFF\x00\x00", 8);  // B, G, R rows padded to 4 bytes
    const std::string planesAndBits("\x01\x00\x18\x00", 4);
    return "BM" + le32(54 + 8) + le32(0) + le32(54) + le32(40) + le32(2) + le32(1) + planesAndBits + le32(0) + le32(8) +
           le32(2835) + le32(2835) + le32(0) + le32(0) + pixels;
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

// The PNGs ZImageLoad reads by libpng alone come out as FreeImage gives them,
// and those libpng alone would read otherwise (transparency, gamma, palettes,
// grey, 16 bits) still go to FreeImage: result, format, pixels and warnings
// match for every row.
TEST(ZImageLoad, PNGsComeOutAsFreeImageReadsThem) {
    const std::string rgb = writePNG(PNG_COLOR_TYPE_RGB, 8, PNG_INTERLACE_NONE);
    const std::string text = chunk("tEXt", std::string("Comment\0hi", 10));
    const struct {
        const char* name;
        std::string png;
    } cases[] = {
        {"rgb", rgb},
        {"rgba", writePNG(PNG_COLOR_TYPE_RGB_ALPHA, 8, PNG_INTERLACE_NONE)},
        {"rgb interlaced", writePNG(PNG_COLOR_TYPE_RGB, 8, PNG_INTERLACE_ADAM7)},
        {"rgba interlaced", writePNG(PNG_COLOR_TYPE_RGB_ALPHA, 8, PNG_INTERLACE_ADAM7)},
        {"rgb gamma 1.0",
         writePNG(PNG_COLOR_TYPE_RGB, 8, 0, [](png_structp p, png_infop i) { png_set_gAMA(p, i, 1.0); })},
        {"rgba gamma 1.8",
         writePNG(PNG_COLOR_TYPE_RGB_ALPHA, 8, 0, [](png_structp p, png_infop i) { png_set_gAMA(p, i, 1 / 1.8); })},
        {"rgb sRGB", writePNG(PNG_COLOR_TYPE_RGB, 8, 0, [](png_structp p, png_infop i) { png_set_sRGB(p, i, 0); })},
        {"rgb transparent colour", writePNG(PNG_COLOR_TYPE_RGB, 8, 0,
                                            [](png_structp p, png_infop i) {
                                                png_color_16 c{0, 11, 48, 85, 0};
                                                png_set_tRNS(p, i, nullptr, 0, &c);
                                            })},
        {"palette transparent", writePNG(PNG_COLOR_TYPE_PALETTE, 8, 0,
                                         [](png_structp p, png_infop i) {
                                             png_byte alpha[3] = {0, 128, 255};
                                             png_set_tRNS(p, i, alpha, 3, nullptr);
                                         })},
        {"palette 4-bit", writePNG(PNG_COLOR_TYPE_PALETTE, 4, PNG_INTERLACE_NONE)},
        {"grey", writePNG(PNG_COLOR_TYPE_GRAY, 8, PNG_INTERLACE_NONE)},
        {"grey 2-bit", writePNG(PNG_COLOR_TYPE_GRAY, 2, PNG_INTERLACE_NONE)},
        {"grey alpha", writePNG(PNG_COLOR_TYPE_GA, 8, PNG_INTERLACE_NONE)},
        {"rgb 16-bit", writePNG(PNG_COLOR_TYPE_RGB, 16, PNG_INTERLACE_NONE)},
        {"rgba 16-bit", writePNG(PNG_COLOR_TYPE_RGB_ALPHA, 16, PNG_INTERLACE_NONE)},
        {"no IEND", rgb.substr(0, rgb.size() - 12)},
        {"IDAT cut short", rgb.substr(0, rgb.find("IDAT") + 10)},
        {"IDAT CRC wrong", corruptCRC(rgb, "IDAT")},
        {"header CRC wrong", corruptCRC(rgb, "IHDR")},
        {"text before the pixels", insertBefore(rgb, "IDAT", text)},
        {"text CRC wrong before the pixels", corruptCRC(insertBefore(rgb, "IDAT", text), "tEXt")},
        {"text CRC wrong after the pixels", corruptCRC(insertBefore(rgb, "IEND", text), "tEXt")},
        {"bytes after IEND", rgb + "trailing"},
        {"a second IDAT of nothing", insertBefore(rgb, "IEND", chunk("IDAT", ""))},
    };
    for (const auto& c : cases) {
        ZLogCapture log;
        ZImageFormat ours = {1, 2, 3}, theirs = {1, 2, 3};
        std::string ourPixels = "stale", theirPixels = "stale";
        const bool ok = ZImageLoad(U(c.png), static_cast<int>(c.png.size()), ours, ourPixels);
        std::vector<std::wstring> ourLog;
        for (const auto& line : log.lines()) ourLog.push_back(message(line));
        log.clear();
        const bool expected = _ZImageLoadFreeImage(U(c.png), static_cast<int>(c.png.size()), theirs, theirPixels);
        std::vector<std::wstring> theirLog;
        for (const auto& line : log.lines()) theirLog.push_back(message(line));
        EXPECT_EQ(ok, expected) << c.name;
        EXPECT_EQ(ours, theirs) << c.name;
        EXPECT_TRUE(ourPixels == theirPixels) << c.name;
        EXPECT_EQ(ourLog, theirLog) << c.name;
    }
}

// FreeImage is opened at the first picture that needs it. A process where it
// cannot be (no such file, or a library without its functions) still loads
// the skin's PNGs, and refuses other pictures and JPEG encoding with a
// warning each, the reason given once. Ends the process: 0 when all held.
[[noreturn]] void loadWithout(const char* library, const wchar_t* reason) {
    _ZFreeImageSetLibrary(library);
    ZLogCapture log;
    const std::string picture = bmp();
    bool ok = true;
    for (int i = 0; i < 2; ++i) {
        ZImageFormat f = {1, 2, 3};
        std::string pixels = "stale";
        ok = ok && !ZImageLoad(U(picture), static_cast<int>(picture.size()), f, pixels) && f == ZImageFormat{} &&
             pixels.empty();
    }
    const std::string src = patterned(ZIT_RGB24, 4, 4);
    std::string jpeg = "stale";
    ZImageConvert(ZImageFormat{ZIT_RGB24, 4, 4}, U(src), ZRect{0, 0, 4, 4}, ZIT_JPEG, jpeg);
    ok = ok && jpeg.empty();
    const std::pair<std::string, ZImageFormat> pngs[] = {
        {writePNG(PNG_COLOR_TYPE_RGB, 8, PNG_INTERLACE_ADAM7), {ZIT_RGB24, 5, 4}},
        {writePNG(PNG_COLOR_TYPE_RGB_ALPHA, 8, PNG_INTERLACE_NONE), {ZIT_RGBA32, 5, 4}},
    };
    for (const auto& [png, format] : pngs) {
        ZImageFormat f;
        std::string pixels;
        ok = ok && ZImageLoad(U(png), static_cast<int>(png.size()), f, pixels) && f == format;
    }
    ok = ok && log.count(L"WARNING Unable to open FreeImage (") == 1 && log.count(reason) == 1 &&
         log.count(L"WARNING Unable to load image, ignoring.") == 2 &&
         log.count(L"WARNING Unable to encode JPEG of ") == 1 && log.lines().size() == 4;
    if (!ok)
        for (const auto& line : log.lines()) std::fprintf(stderr, "%ls\n", line.c_str());
    std::exit(ok ? 0 : 1);
}

// Each row runs in a child process of its own (re-started, not forked) that
// has not opened FreeImage yet.
TEST(ZImageLoad, WithoutFreeImageOnlyOtherFormatsAndJPEGFail) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* library;
        const wchar_t* reason;
    } cases[] = {
        {"libzan-no-such-library.so", L"libzan-no-such-library.so: cannot open shared object file"},
        {"libpng16.so.16", L"undefined symbol: FreeImage_Initialise"},
    };
    for (const auto& c : cases)
        EXPECT_EXIT(loadWithout(c.library, c.reason), ::testing::ExitedWithCode(0), "") << c.library;
    // Here, with FreeImage, the same picture loads.
    const std::string picture = bmp();
    ZImageFormat f;
    std::string pixels;
    ASSERT_TRUE(ZImageLoad(U(picture), static_cast<int>(picture.size()), f, pixels));
    EXPECT_EQ(f, (ZImageFormat{ZIT_RGB24, 2, 1}));
    EXPECT_EQ(B(pixels), (Bytes{0, 0, 255, 255, 0, 0}));
}
