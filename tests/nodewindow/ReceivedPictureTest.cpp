// A buddy's received camera picture on screen: a playback stream decodes
// Theora packets made by the sending side's encoder, its renderer's video
// feeder writes each picture into "<buddy>_Image", and a skin window whose
// Image node shows that variable repaints; a pixel probe at the window's
// centre follows the colour at the picture's centre.
#include <functional>
#include <memory>

#include "../desktop/ZDesktopTest.h"
#include "../nodes/ZNodeTestKit.h"
#include "../platform/ZPlatformTestSupport.h"
#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZWindowLoop.h"
#include "ZImageNode.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZNonPortable_SoundBuffer.h"
#include "ZRTP.h"
#include "ZSpeex.h"
#include "ZTheora.h"
#include "ZVideoPlaybackStream.h"
#include "ZWindowNode.h"

using namespace zantest;

namespace {

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

struct RGB {
    int r, g, b;
};

bool near(const RGB& a, const RGB& b, int tolerance) {
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance && std::abs(a.b - b.b) <= tolerance;
}

std::ostream& operator<<(std::ostream& out, const RGB& c) {
    return out << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

std::string packet(int type, std::uint32_t seq, std::uint32_t subHeader, const std::string& payload) {
    std::string datagram;
    ZRTPCompose(datagram, static_cast<std::uint8_t>(type), static_cast<std::uint16_t>(seq), seq * 100, 9, &subHeader,
                4, payload.data(), static_cast<int>(payload.size()));
    return datagram;
}

class ReceivedPictureTest : public NodeTest {
protected:
    void SetUp() override {
        ZREQUIRE_DISPLAY();
        _ZSoundBufferSetDevice("", "");  // sound into the null device, at the pace of the clock
    }
    void TearDown() override { _ZSoundBufferSetDevice("default", ""); }

    RGB windowCentre() {
        XImage* image = XGetImage(_ZX11Display(), window->getWindow()->window, kSide / 2, kSide / 2, 1, 1, AllPlanes,
                                  ZPixmap);
        if (!image) return RGB{-1, -1, -1};
        const unsigned long p = XGetPixel(image, 0, 0);
        XDestroyImage(image);
        return RGB{static_cast<int>((p >> 16) & 0xFF), static_cast<int>((p >> 8) & 0xFF), static_cast<int>(p & 0xFF)};
    }
    RGB storedCentre(const std::wstring& name) {
        ZImageFormat format;
        if (!format.deserialize(instance.getRaw(name + L"_Format")) || format.type != ZIT_RGB24) return RGB{-1, -1, -1};
        const std::string pixels = instance.getRaw(name);
        const std::size_t at = (static_cast<std::size_t>(format.height / 2) * format.width + format.width / 2) * 3;
        if (pixels.size() < at + 3) return RGB{-1, -1, -1};
        return RGB{static_cast<unsigned char>(pixels[at]), static_cast<unsigned char>(pixels[at + 1]),
                   static_cast<unsigned char>(pixels[at + 2])};
    }

    static constexpr int kSide = 96;
    ZPlatformScope platform;
    ZWindowNode* window = nullptr;
};

}  // namespace

TEST_F(ReceivedPictureTest, TheWindowShowsEachPictureOfABuddyWhoTalks) {
    const std::wstring image = L"pal@zandrel.net_Image";
    instance.set(L"Prebuffer_MS", std::int64_t{100}, false);
    // Something to draw before the first picture arrives.
    storeImage(image, 48, 48, ZColor(0, 0, 0, 255));
    window = add<ZWindowNode>(nullptr, L"Window", {{L"id", L"call"}, {L"x", L"120"}, {L"y", L"120"}});
    window->setAttribute(L"width", std::to_wstring(kSide));
    window->setAttribute(L"height", std::to_wstring(kSide));
    add<ZImageNode>(window, L"Image", {{L"src", image.c_str()}, {L"align", L"stretch"}, {L"valign", L"stretch"}});
    update();
    ZImageStack stack;
    root->render(stack);
    ASSERT_TRUE(ZPumpUntil([&] { return ZIsViewable(window->getWindow()->window); }));

    std::unique_ptr<ZMegaPort> port(ZSAFENEW(ZMegaPort, L"viewer"));
    ZHTTPHeaders open(L"OPEN");
    open.set(L"Buddy-Device-GUID", L"pal@zandrel.net@cam1");
    open.set(L"Recv-From-Host", L"127.0.0.1:4000");
    std::unique_ptr<ZVideoPlaybackStream> stream(ZSAFENEW(ZVideoPlaybackStream, &instance, port.get(), open));

    // The buddy talks: more than the prebuffer of speech starts sound output,
    // so pictures go through the renderer's video feeder.
    std::unique_ptr<ZSpeexEncoder> speech(ZSAFENEW(ZSpeexEncoder, ZAudioFormat{2, 22000}));
    std::uint32_t audioSeq = 0;
    for (int i = 0; i < 4; ++i) {
        const std::string pcm(2240, static_cast<char>(i * 7));
        std::string payload;
        speech->encode(bytes(pcm), 2240, payload);
        stream->recv(packet(1, ++audioSeq, 22000, payload));
    }

    std::unique_ptr<ZTheoraEncoder> camera(
        ZSAFENEW(ZTheoraEncoder, ZImageFormat{ZIT_BGR24, 48, 48}, ZRect{0, 0, 48, 48}, 48, 48, 5));
    const RGB colours[] = {{200, 40, 40}, {40, 180, 60}, {50, 70, 210}, {230, 230, 230}, {120, 90, 30}};
    std::uint32_t videoSeq = 0;
    for (const RGB& colour : colours) {
        std::string frame(48 * 48 * 3, '\0');
        for (std::size_t i = 0; i < frame.size(); i += 3) {
            frame[i] = static_cast<char>(colour.b);
            frame[i + 1] = static_cast<char>(colour.g);
            frame[i + 2] = static_cast<char>(colour.r);
        }
        std::string payload;
        camera->encode(bytes(frame), static_cast<int>(frame.size()), payload);
        stream->recv(packet(2, ++videoSeq, 48, payload));
        // The decoded picture reaches the store, then the screen.
        ASSERT_TRUE(runUntil([&] { return near(storedCentre(image), colour, 16); }, 3000))
            << "stored " << storedCentre(image) << ", sent " << colour;
        const RGB stored = storedCentre(image);
        EXPECT_TRUE(runUntil([&] { return near(windowCentre(), stored, 2); }, 2000))
            << "window " << windowCentre() << ", picture " << stored;
    }
    stream.reset();
}
