// The drawing surface of the idle audio picture, and the local preview's
// store images with a clock the test drives.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ZImageGDI.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZLocalCapture.h"
#include "ZMediaTestSupport.h"
#include "ZPortable.h"

using namespace zanmedia;

namespace {

std::int64_t g_now = 0;
std::int64_t testClock() { return g_now; }

// Pixel (x, y) of a 4-byte surface as {r, g, b, a} after convertToRGB.
std::string pixel(const ZImageGDI& image, int x, int y) {
    return std::string(reinterpret_cast<const char*>(image.getBuffer()) +
                           (static_cast<std::size_t>(y) * image.getFormat().width + x) * 4,
                       4);
}

const std::string kBlack("\x00\x00\x00\xFF", 4), kGreen("\x00\xFF\x00\xFF", 4), kRed("\xFF\x00\x00\xFF", 4);

struct StoreImage {
    ZImageFormat format;
    std::string pixels;
    std::uint64_t stamp = 0;
};

StoreImage readImage(ZInstance* instance, const std::wstring& name) {
    StoreImage image;
    image.format.deserialize(instance->getRaw(name + L"_Format"));
    image.pixels = instance->getRaw(name);
    image.stamp = instance->getTimestamp(name);
    return image;
}

class PreviewTest : public ::testing::Test {
protected:
    PreviewTest() {
        instance.reset(ZSAFENEW(ZInstance, ZFromUTF8(dir.file("settings.ini"))));
        const std::string portrait(8 * 8 * 3, '\x77');
        ZImageTools_instanceWrite(instance.get(), L"defaultprofile.png", ZImageFormat{ZIT_RGB24, 8, 8},
                                  bytes(portrait));
        preview.reset(ZSAFENEW(ZLocalCapture, instance.get()));
        g_now = 5000000;
        preview->setClock(testClock);
    }
    void frame(std::int64_t t, int number = 0) {
        const ZImageFormat format{ZIT_BGR24, 64, 48};
        const std::string pixels = testCardRGB(format.width, format.height, number, true);
        preview->onVideoFrame(t, format, bytes(pixels), static_cast<int>(pixels.size()));
    }
    void samples(std::int64_t t, const std::string& pcm) {
        preview->onAudioFrame(t, ZCaptureAudioFormat{2, 22000}, bytes(pcm), static_cast<int>(pcm.size()));
    }

    ZTempDir dir;
    std::unique_ptr<ZInstance> instance;
    std::unique_ptr<ZLocalCapture> preview;
};

}  // namespace

TEST(ZImageGDI, DrawsOpaqueLinesWithoutTheirEndPoint) {
    ZImageGDI image;
    image.clear(ZColor(L"#FFFFFFFF"));
    image.convertToRGB();
    EXPECT_EQ(image.getFormat(), ZImageFormat());  // nothing to draw on yet

    image.resize(ZImageFormat{ZIT_BGRA32, 300, 100});
    image.clear(ZColor(L"#000000FF"));
    image.setColor(ZColor(L"#00FF00"));
    image.drawLine(0, 50, 300, 50);
    image.setColor(ZColor(L"#FF0000"));
    image.drawLine(0, 0, 300, 100);
    image.drawLine(0, 100, 300, 0);
    // Same size, another type: neither the type nor the pixels change.
    image.resize(ZImageFormat{ZIT_RGBA32, 300, 100});
    EXPECT_EQ(image.getFormat().type, ZIT_BGRA32);
    image.convertToRGB();
    EXPECT_EQ(image.getFormat(), (ZImageFormat{ZIT_RGBA32, 300, 100}));

    EXPECT_EQ(pixel(image, 0, 50), kGreen);
    EXPECT_EQ(pixel(image, 299, 50), kGreen);
    EXPECT_EQ(pixel(image, 0, 0), kRed);
    EXPECT_EQ(pixel(image, 150, 50), kRed);  // where the diagonals cross the middle line
    EXPECT_EQ(pixel(image, 297, 99), kRed);
    // The second diagonal starts at row 100, outside, and reaches row 99
    // where it is nearest.
    EXPECT_EQ(pixel(image, 1, 99), kBlack);
    EXPECT_EQ(pixel(image, 2, 99), kRed);
    EXPECT_EQ(pixel(image, 299, 0), kRed);
    EXPECT_EQ(pixel(image, 30, 10), kRed);
    EXPECT_EQ(pixel(image, 10, 30), kBlack);
    EXPECT_EQ(pixel(image, 299, 99), kBlack);
    int green = 0;
    for (int x = 0; x < 300; ++x) green += pixel(image, x, 50) == kGreen;
    EXPECT_GE(green, 290);
}

TEST_F(PreviewTest, VideoIsPublishedAtMostOnceASecond) {
    ZLogCapture log;
    preview->enableVideoPreview(true);
    const std::int64_t t0 = 40000000;
    struct Step {
        std::int64_t t;
        bool published;
    } steps[] = {{t0, true}, {t0 + 1000000, false}, {t0 + 1000001, true}, {t0 + 1500000, false}};
    std::uint64_t lastStamp = 0;
    int number = 0;
    for (const Step& step : steps) {
        ZThreadSleep(2000);  // store time stamps move on
        frame(step.t, ++number);
        const StoreImage image = readImage(instance.get(), L"Local_Video_Image");
        EXPECT_EQ(image.stamp != lastStamp, step.published) << step.t - t0;
        lastStamp = image.stamp;
        EXPECT_EQ(image.format, (ZImageFormat{ZIT_RGB24, 64, 48}));
    }
    EXPECT_EQ(log.count(L"VIDEOFORMAT: type=#19, dimensions=(64x48)"), 1);
}

TEST_F(PreviewTest, SampleStripsShowOneBarPerSample) {
    ZLogCapture log;
    preview->enableAudioPreview(true);
    std::string pcm;
    for (int i = 0; i < 1000; ++i) {
        const std::int16_t s = i == 0 ? -32768 : i == 1 ? 32767 : 0;
        pcm.append(reinterpret_cast<const char*>(&s), 2);
    }
    samples(10000000, pcm.substr(0, 200));
    EXPECT_EQ(readImage(instance.get(), L"Local_Audio_Image").format, (ZImageFormat{ZIT_RGB24, 100, 100}));
    samples(12000000, pcm);
    const StoreImage strip = readImage(instance.get(), L"Local_Audio_Image");
    ASSERT_EQ(strip.format, (ZImageFormat{ZIT_RGB24, 300, 100}));
    auto greenRows = [&](int x) {
        int rows = 0, first = -1;
        for (int y = 0; y < 100; ++y)
            if (strip.pixels[(static_cast<std::size_t>(y) * 300 + x) * 3 + 1] == '\xFF') {
                if (first < 0) first = y;
                ++rows;
            }
        return std::make_pair(rows, first);
    };
    EXPECT_EQ(greenRows(0), std::make_pair(0, -1));  // -32768: an empty column
    EXPECT_EQ(greenRows(1), std::make_pair(100, 0));  // 32767: the full column
    EXPECT_EQ(greenRows(2), std::make_pair(50, 25));  // silence: rows 25 to 74
    EXPECT_EQ(log.count(L"AUDIOFORMAT: frequency=22000Hz, bits=16"), 1);
}

TEST_F(PreviewTest, NoiseStandsInUntilTheFirstFrameAtMostOnceASecond) {
    preview->update(true);
    StoreImage image = readImage(instance.get(), L"Local_Video_Image");
    EXPECT_EQ(image.format, (ZImageFormat{ZIT_RGB24, 8, 8}));  // the default picture, preview off

    preview->enableVideoPreview(true);
    preview->update(false);
    image = readImage(instance.get(), L"Local_Video_Image");
    ASSERT_EQ(image.format, (ZImageFormat{ZIT_RGB24, 160, 120}));
    for (std::size_t i = 0; i < image.pixels.size(); i += 3) {
        ASSERT_EQ(image.pixels[i], image.pixels[i + 1]);
        ASSERT_EQ(image.pixels[i], image.pixels[i + 2]);
    }
    const std::string firstNoise = image.pixels;
    g_now += 1000000;
    preview->update(false);
    EXPECT_EQ(readImage(instance.get(), L"Local_Video_Image").pixels, firstNoise);
    g_now += 1;
    preview->update(false);
    EXPECT_NE(readImage(instance.get(), L"Local_Video_Image").pixels, firstNoise);

    frame(30000000);
    g_now += 5000000;
    preview->update(false);
    EXPECT_EQ(readImage(instance.get(), L"Local_Video_Image").format, (ZImageFormat{ZIT_RGB24, 64, 48}));
}

TEST_F(PreviewTest, DisablePreviewWritesNothingNotEvenNoise) {
    instance->set(L"Disable_Preview", std::wstring(L"true"), false);
    preview->enableVideoPreview(true);
    preview->enableAudioPreview(true);
    preview->update(false);
    frame(30000000);
    samples(30000000, tonePCM(300, 22000, 400, 3000));
    EXPECT_FALSE(instance->isSet(L"Local_Video_Image"));
    EXPECT_FALSE(instance->isSet(L"Local_Audio_Image"));
}
