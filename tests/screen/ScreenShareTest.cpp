// Two screen services over loopback UDP: the viewer's picture converges on
// the sharer's screen, input reaches the sharer's windows only with the
// sharing user's consent, hostile packets are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "ZScreenTestSupport.h"
#include "ZUtil.h"

using namespace screentest;

namespace {

constexpr std::uint32_t kSSRC = 0x9A000077;

// Passes on both sides with the clock stepping 100 ms; a filter sees and
// may change each direction's datagrams.
struct Share {
    Peer sharer;
    Peer viewer;
    std::mt19937 rng{7};
    int lossPercent = 0;

    void open(std::uint32_t windowID = 0) {
        sharer.open(L"OPENSEND", L"viewer", kSSRC, viewer.host, windowID);
        viewer.open(L"OPENRECV", L"sharer", kSSRC, sharer.host, windowID);
    }
    // Moves datagrams from one socket to the other side's switchboard,
    // dropping, duplicating and swapping some when lossPercent is set.
    void carry(Peer& to) {
        std::vector<std::string> datagrams;
        std::string data;
        std::wstring from;
        while (ZNetUDPPortRecv(to.udp, data, from)) datagrams.push_back(data);
        std::vector<std::string> out;
        std::uniform_int_distribution<int> percent(0, 99);
        for (std::size_t i = 0; i < datagrams.size(); ++i) {
            if (lossPercent && percent(rng) < lossPercent) continue;
            out.push_back(datagrams[i]);
            if (lossPercent && percent(rng) < lossPercent) out.push_back(datagrams[i]);
            if (lossPercent && out.size() >= 2 && percent(rng) < lossPercent)
                std::swap(out[out.size() - 1], out[out.size() - 2]);
        }
        for (const std::string& d : out) {
            ZMegaPortBucket* bucket = to.port->getEmtpyBucket();
            bucket->to = to.host;
            bucket->from = &to == &viewer ? sharer.host : viewer.host;
            bucket->buffer = d;
            to.port->fillRTPBucket(bucket);
        }
    }
    void step() {
        gNow += 100000;
        sharer.service->runPass();
        ZThreadSleep(2000);
        carry(viewer);
        viewer.service->runPass();
        ZThreadSleep(2000);
        carry(sharer);
    }
};

// The viewer's published picture.
std::string viewerImage(Peer& viewer, ZImageFormat& format) {
    ZRect rect;
    const unsigned char* pixels =
        ZImageTools_instanceReadOpen(viewer.instance, L"sharer_Screen_Image", format, rect, 0, 0);
    if (!pixels) return std::string();
    const std::string copy(reinterpret_cast<const char*>(pixels), static_cast<std::size_t>(format.getBufferSize()));
    ZImageTools_instanceReadClose(viewer.instance, L"sharer_Screen_Image");
    return copy;
}

// What the viewer must show inside the rectangle: the screen's pixels, or
// their 4-bit grey (n * 17) when colour is off.
bool matches(const std::string& shown, const ZImageFormat& shownFormat, const ZRect& rect, bool colour,
             std::string* why = nullptr) {
    ZImageFormat screenFormat;
    const std::string screen = grabRGB(screenFormat);
    if (!(shownFormat == screenFormat) || shown.size() != screen.size()) {
        if (why) *why = "picture format differs";
        return false;
    }
    std::string expected;
    const int w = rect.right - rect.left, h = rect.bottom - rect.top;
    if (colour) {
        ZImageCrop(screenFormat, reinterpret_cast<const unsigned char*>(screen.data()), rect, expected);
    } else {
        std::string bgr = screen, grey;
        for (std::size_t i = 0; i + 2 < bgr.size(); i += 3) std::swap(bgr[i], bgr[i + 2]);
        ZImageConvert(ZImageFormat{ZIT_BGR24, screenFormat.width, screenFormat.height},
                      reinterpret_cast<const unsigned char*>(bgr.data()), rect, ZIT_GRAY4, grey);
        ZImageConvert(ZImageFormat{ZIT_GRAY4, w, h}, reinterpret_cast<const unsigned char*>(grey.data()), ZIT_RGB24,
                      expected);
    }
    std::string got;
    ZImageCrop(shownFormat, reinterpret_cast<const unsigned char*>(shown.data()), rect, got);
    if (got != expected && why) {
        for (std::size_t i = 0; i < got.size() && i < expected.size(); ++i)
            if (got[i] != expected[i]) {
                const int pixel = static_cast<int>(i / 3);
                *why = "first difference at " + std::to_string(rect.left + pixel % w) + "," +
                       std::to_string(rect.top + pixel / w);
                break;
            }
    }
    return got == expected;
}

std::string layoutMessage(std::uint32_t ssrc, int width, int height, const std::vector<ZRTPSSLayoutWindow>& windows) {
    std::string m(24 + 12 * windows.size(), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&m[0]);
    ZComposeRTP(p, 4, 0, 0, ssrc);
    ZComposeSS(p, ZRTPSS_LAYOUTCHANGED);
    ZComposeLAYOUTCHANGED(p, static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height),
                          static_cast<std::uint16_t>(windows.size()));
    for (std::size_t i = 0; i < windows.size(); ++i) ZComposeLayoutWindow(p, static_cast<int>(i), windows[i]);
    return m;
}

// Hands one datagram from a sender to the viewer's service and runs a pass.
void deliver(Peer& viewer, const std::wstring& from, const std::string& packet) {
    ZMegaPortBucket* bucket = viewer.port->getEmtpyBucket();
    bucket->to = viewer.host;
    bucket->from = from;
    bucket->buffer = packet;
    viewer.port->fillRTPBucket(bucket);
    gNow += 100000;
    viewer.service->runPass();
}

// The bytes of a published picture in the viewer's store.
std::int64_t storeImageBytes(Peer& viewer, const std::wstring& name) {
    ZImageFormat format;
    ZRect rect;
    if (!ZImageTools_instanceReadOpen(viewer.instance, name, format, rect, 0, 0)) return 0;
    ZImageTools_instanceReadClose(viewer.instance, name);
    return format.getBufferSize();
}

class ScreenShare : public ::testing::Test {
protected:
    void SetUp() override { gNow = 2000000000000; }
};

}  // namespace

TEST_F(ScreenShare, ViewerPictureConvergesInColourAndGrey) {
    ZREQUIRE_DISPLAY();
    ColourWindow left(-40, 500, 200, 120, 0x2266AA, 0xEE8800);  // partly off the screen
    ColourWindow middle(300, 200, 160, 130, 0x11CC55, 0x881199);
    ColourWindow front(380, 260, 100, 90, 0xF0F0F0, 0x101010);  // covers part of the middle
    const ZRect visible[] = {{0, 500, 160, 620}, {300, 200, 460, 330}, {380, 260, 480, 350}};
    for (bool colour : {true, false}) {
        SCOPED_TRACE(colour ? "colour" : "grey");
        Share share;
        share.sharer.instance->set(L"Enable_Screen_Share_Color", std::int64_t{colour ? 1 : 0}, false);
        share.open();
        bool converged = false;
        ZImageFormat format;
        std::string shown;
        for (int i = 0; i < 30 && !converged; ++i) {
            share.step();
            shown = viewerImage(share.viewer, format);
            converged = !shown.empty() && std::all_of(std::begin(visible), std::end(visible), [&](const ZRect& r) {
                return matches(shown, format, r, colour);
            });
        }
        for (const ZRect& r : visible) {
            std::string why;
            EXPECT_TRUE(matches(shown, format, r, colour, &why)) << r.serialize() << ": " << why;
        }
        EXPECT_TRUE(share.viewer.instance->contains(L"Screening_From_List", L"sharer"));
        EXPECT_TRUE(share.sharer.instance->contains(L"Screening_To_List", L"viewer"));

        // Closing the viewer cancels the share on the sharer's side.
        ZHTTPHeaders close(L"CLOSERECV");
        close.set(L"Buddy-GUID", L"Sharer");
        share.viewer.post(close);
        for (int i = 0; i < 3; ++i) share.step();
        EXPECT_EQ(L"0", share.sharer.instance->get(L"ZScreenService_sendStreamActive"));
        EXPECT_FALSE(share.sharer.service->isCaptureOpen());
    }
}

TEST_F(ScreenShare, PictureConvergesThroughLossDuplicationAndReordering) {
    ZREQUIRE_DISPLAY();
    ColourWindow window(500, 400, 230, 170, 0x3355AA, 0xAA5533);
    const ZRect rect{500, 400, 730, 570};
    Share share;
    share.sharer.instance->set(L"Enable_Screen_Share_Color", std::int64_t{1}, false);
    share.lossPercent = 5;
    share.open();
    ZImageFormat format;
    std::string shown;
    bool converged = false;
    for (int i = 0; i < 200 && !converged; ++i) {
        share.step();
        shown = viewerImage(share.viewer, format);
        converged = !shown.empty() && matches(shown, format, rect, true);
    }
    std::string why;
    EXPECT_TRUE(matches(shown, format, rect, true, &why)) << why;

    // On a desktop that no longer changes, lost tiles still come again.
    window.fill(20, 80, 120, 60, 0x00FF00);
    converged = false;
    for (int i = 0; i < 200 && !converged; ++i) {
        share.step();
        shown = viewerImage(share.viewer, format);
        converged = matches(shown, format, rect, true);
    }
    EXPECT_TRUE(matches(shown, format, rect, true, &why)) << why;
}

TEST_F(ScreenShare, ViewerInputActsOnlyWithTheSharersConsent) {
    ZREQUIRE_DISPLAY();
    Display* d = _ZX11Display();
    ColourWindow target(600, 300, 200, 150, 0x446688);
    XSetInputFocus(d, target.w, RevertToParent, CurrentTime);
    XSync(d, False);
    Share share;
    share.open();
    for (int i = 0; i < 15; ++i) share.step();

    auto input = [&](const wchar_t* method, int x, int y, int key = 0) {
        ZHTTPHeaders command(method);
        command.set(L"Buddy-GUID", L"sharer");
        command.set(L"X", x);
        command.set(L"Y", y);
        command.set(L"Virtual-Key", key);
        share.viewer.post(command);
    };
    auto events = [&](int type) {
        std::vector<XEvent> found;
        XSync(d, False);
        XEvent e;
        while (XCheckTypedWindowEvent(d, target.w, type, &e)) found.push_back(e);
        return found;
    };
    auto consent = [&](bool enable) {
        ZHTTPHeaders command(L"SETREMOTECONTROL");
        command.set(L"Buddy-GUID", L"viewer");
        command.set(L"Enable", enable);
        share.sharer.post(command);
    };

    input(L"LBUTTONDOWN", 650, 360);
    input(L"LBUTTONUP", 650, 360);
    input(L"KEYDOWN", 0, 0, 0x41);
    input(L"KEYUP", 0, 0, 0x41);
    for (int i = 0; i < 4; ++i) share.step();
    EXPECT_TRUE(events(ButtonPress).empty());
    EXPECT_TRUE(events(KeyPress).empty());
    EXPECT_EQ(L"", share.viewer.instance->get(L"sharer_Screen_Have_Control"));

    consent(true);
    for (int i = 0; i < 3; ++i) share.step();
    EXPECT_EQ(L"1", share.viewer.instance->get(L"sharer_Screen_Have_Control"));
    input(L"LBUTTONDOWN", 650, 360);
    input(L"LBUTTONUP", 650, 360);
    input(L"KEYDOWN", 0, 0, 0x41);
    for (int i = 0; i < 3; ++i) share.step();
    const std::vector<XEvent> presses = events(ButtonPress);
    ASSERT_EQ(1u, presses.size());
    EXPECT_EQ(650, presses[0].xbutton.x_root);
    EXPECT_EQ(360, presses[0].xbutton.y_root);
    const std::vector<XEvent> keys = events(KeyPress);
    ASSERT_EQ(1u, keys.size());
    XKeyEvent key = keys[0].xkey;
    char text[8] = {};
    XLookupString(&key, text, sizeof(text), nullptr, nullptr);
    EXPECT_STREQ("a", text);

    // A packet with the stream's SSRC from another address does nothing.
    {
        ZLogCapture log;
        ZNetUDPPort* stranger = ZNetUDPPortOpen(L"127.0.0.1:0");
        const std::string forged = ZRTPSSKeyEvent(ZRTPSS_KEYDOWN, kSSRC, 0x42);
        ZMegaPortBucket* bucket = share.sharer.port->getEmtpyBucket();
        bucket->to = share.sharer.host;
        bucket->from = ZNetUDPPortGetLocalHost(stranger);
        bucket->buffer = forged;
        share.sharer.port->fillRTPBucket(bucket);
        share.sharer.service->runPass();
        ZNetUDPPortClose(stranger);
        EXPECT_TRUE(events(KeyPress).empty());
        EXPECT_EQ(1, log.count(L"WARNING Received key event for unknown SSRC " + ZToString(std::int64_t{kSSRC})));
    }

    // Switching control off lets go of the key the viewer still holds.
    consent(false);
    for (int i = 0; i < 3; ++i) share.step();
    EXPECT_EQ(1u, events(KeyRelease).size());
    EXPECT_EQ(L"0", share.viewer.instance->get(L"sharer_Screen_Have_Control"));
    input(L"KEYDOWN", 0, 0, 0x41);
    for (int i = 0; i < 3; ++i) share.step();
    EXPECT_TRUE(events(KeyPress).empty());
}

TEST_F(ScreenShare, HostileSharerPacketsEndInWarnings) {
    ZREQUIRE_DISPLAY();
    Peer viewer;
    const std::wstring sharer = L"127.0.0.1:9";
    viewer.open(L"OPENRECV", L"sharer", kSSRC, sharer);
    viewer.service->runPass();

    auto layout = [](int width, int height, std::vector<ZRTPSSLayoutWindow> windows) {
        return layoutMessage(kSSRC, width, height, windows);
    };
    auto region = [](std::uint32_t id, int x, int y, int w, int h, int encoding, const std::string& image) {
        std::string m(32, '\0');
        unsigned char* p = reinterpret_cast<unsigned char*>(&m[0]);
        ZComposeRTP(p, 4, 0, 0, kSSRC);
        ZComposeSS(p, ZRTPSS_REGIONCHANGED);
        ZComposeREGIONCHANGED(p, id, static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                              static_cast<std::uint16_t>(w), static_cast<std::uint16_t>(h),
                              static_cast<std::uint8_t>(encoding));
        return m + image;
    };
    std::string png;
    {
        const std::string pixels(8 * 8 * 3, '\x40');
        ZImageConvert(ZImageFormat{ZIT_RGB24, 8, 8}, reinterpret_cast<const unsigned char*>(pixels.data()),
                      ZRect{0, 0, 8, 8}, ZIT_PNG, png);
    }
    struct Case {
        const char* name;
        std::string packet;
        const wchar_t* warning;
    } cases[] = {
        {"zero screen", layout(0, 0, {}), L"beyond the viewer's limits"},
        {"zero window", layout(640, 480, {{1, 0, 0, 0, 10}}), L"beyond the viewer's limits"},
        {"huge windows", layout(16384, 16384, {{1, 0, 0, 16384, 16384}, {2, 0, 0, 16384, 16384}}),
         L"beyond the viewer's limits"},
        {"huge screen", layout(65535, 65535, {}), L"beyond the viewer's limits"},
        {"region before layout, negative", region(7, -5, -5, 10, 10, 24, std::string(50, '\0')),
         L"outside its window"},
        {"region, zero size", region(7, 0, 0, 0, 0, 24, ""), L"outside its window"},
        {"region, huge", region(7, 0, 0, 65535, 65535, 24, ""), L"outside its window"},
        {"grey, truncated", region(7, 0, 0, 10, 10, 24, std::string(49, '\0')), L"invalid REGIONCHANGED image"},
        {"grey, too long", region(7, 0, 0, 10, 10, 24, std::string(51, '\0')), L"invalid REGIONCHANGED image"},
        {"png of another size", region(7, 0, 0, 9, 8, 13, png), L"invalid REGIONCHANGED image"},
        {"png, truncated", region(7, 0, 0, 8, 8, 13, png.substr(0, png.size() / 2)),
         L"invalid REGIONCHANGED image"},
        {"layout, then a region past its window", layout(640, 480, {{3, 10, 10, 40, 40}}), nullptr},
        {"region past its window", region(3, 30, 30, 20, 20, 24, std::string(200, '\0')), L"outside its window"},
        {"short layout", layout(640, 480, {{3, 10, 10, 40, 40}}).substr(0, 30), L"Malformed LAYOUTCHANGED"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZLogCapture log;
        ZMegaPortBucket* bucket = viewer.port->getEmtpyBucket();
        bucket->to = viewer.host;
        bucket->from = sharer;
        bucket->buffer = c.packet;
        viewer.port->fillRTPBucket(bucket);
        gNow += 100000;
        viewer.service->runPass();
        if (c.warning) {
            EXPECT_EQ(1, log.count(c.warning));
        }
        ZScreenRecvStream* stream = viewer.service->findRecvStream(kSSRC);
        ASSERT_NE(nullptr, stream);
        EXPECT_LE(stream->getPictureBytes(), ZSCREEN_MAX_PICTURE_BYTES);
    }
    // Valid input still lands after all of it.
    ZMegaPortBucket* bucket = viewer.port->getEmtpyBucket();
    bucket->from = sharer;
    bucket->buffer = region(3, 8, 8, 8, 8, 13, png);
    viewer.port->fillRTPBucket(bucket);
    gNow += 1000000;
    viewer.service->runPass();
    ZImageFormat format;
    const std::string shown = viewerImage(viewer, format);
    ASSERT_EQ((ZImageFormat{ZIT_RGB24, 640, 480}), format);
    EXPECT_EQ(0x40, static_cast<unsigned char>(shown[(20 * 640 + 20) * 3]));
    EXPECT_EQ(0, static_cast<unsigned char>(shown[(12 * 640 + 12) * 3]));
}

TEST_F(ScreenShare, AHostileSharerIsHeldToOneStreamAndThePicturesTheViewerCanHold) {
    ZREQUIRE_DISPLAY();
    Peer viewer;
    const std::wstring sharer = L"127.0.0.1:9", stranger = L"127.0.0.1:10";
    // Every new SSRC from the same sharer replaces its stream.
    for (std::uint32_t ssrc : {kSSRC, kSSRC + 1, kSSRC + 2}) {
        viewer.open(L"OPENRECV", L"sharer", ssrc, sharer);
        viewer.service->runPass();
    }
    EXPECT_EQ(1u, viewer.service->getRecvStreamCount());
    const std::uint32_t ssrc = kSSRC + 2;
    ASSERT_NE(nullptr, viewer.service->findRecvStream(ssrc));

    const std::int64_t kScreen = 1024 * 768 * 3, kWindow = 640 * 480 * 3;
    struct Case {
        const char* name;
        std::string packet;
        std::int64_t held;  // what the stream holds afterwards
    } cases[] = {
        {"a screen wider than the view shows", layoutMessage(ssrc, 16384, 16384, {}), 0},
        {"windows that fit, and a composed picture past the cap", layoutMessage(ssrc, 8192, 8192, {{1, 0, 0, 8192, 2800}}),
         0},
        {"a screen that fits", layoutMessage(ssrc, 1024, 768, {{1, 0, 0, 640, 480}}), kScreen + kWindow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZLogCapture log;
        deliver(viewer, sharer, c.packet);
        ZScreenRecvStream* stream = viewer.service->findRecvStream(ssrc);
        ASSERT_NE(nullptr, stream);
        EXPECT_EQ(c.held ? 0 : 1, log.count(L"WARNING Received LAYOUTCHANGED beyond the viewer's limits, ignoring."));
        EXPECT_EQ(c.held, stream->getPictureBytes());
        EXPECT_EQ(c.held ? kScreen : 0, storeImageBytes(viewer, L"sharer_Screen_Image"));
        EXPECT_EQ(c.held, viewer.service->getRecvPictureBytes());
    }

    // A second sharer finds the budget of all streams spent.
    viewer.service->setRecvPictureLimit(4 * 1024 * 1024);
    viewer.open(L"OPENRECV", L"stranger", kSSRC + 9, stranger);
    viewer.service->runPass();
    {
        ZLogCapture log;
        deliver(viewer, stranger, layoutMessage(kSSRC + 9, 1024, 768, {}));
        EXPECT_EQ(1, log.count(L"beyond the viewer's limits"));
        EXPECT_EQ(0, storeImageBytes(viewer, L"stranger_Screen_Image"));
        EXPECT_EQ(kScreen + kWindow, viewer.service->getRecvPictureBytes());
    }
    // Once the first share closes, its room is free again.
    ZHTTPHeaders close(L"CLOSERECV");
    close.set(L"Buddy-GUID", L"sharer");
    viewer.post(close);
    viewer.service->runPass();
    deliver(viewer, stranger, layoutMessage(kSSRC + 9, 1024, 768, {}));
    EXPECT_EQ(kScreen, storeImageBytes(viewer, L"stranger_Screen_Image"));
    EXPECT_EQ(kScreen, viewer.service->getRecvPictureBytes());
}

TEST_F(ScreenShare, OneSharedWindowTakesClampedClicksAndKeysOnlyWithTheFocus) {
    ZREQUIRE_DISPLAY();
    Display* d = _ZX11Display();
    ColourWindow shared(100, 100, 640, 480, 0x556677);
    ColourWindow other(900, 100, 200, 200, 0x887766);
    Share share;
    share.open(static_cast<std::uint32_t>(shared.w));
    for (int i = 0; i < 15; ++i) share.step();
    ZHTTPHeaders consent(L"SETREMOTECONTROL");
    consent.set(L"Buddy-GUID", L"viewer");
    consent.set(L"Enable", L"true");
    share.sharer.post(consent);
    for (int i = 0; i < 2; ++i) share.step();

    auto input = [&](const wchar_t* method, int x, int y, int key = 0) {
        ZHTTPHeaders command(method);
        command.set(L"Buddy-GUID", L"sharer");
        command.set(L"X", x);
        command.set(L"Y", y);
        command.set(L"Virtual-Key", key);
        share.viewer.post(command);
        for (int i = 0; i < 2; ++i) share.step();
        XSync(d, False);
    };
    auto take = [&](Window w, int type) {
        std::vector<XEvent> found;
        XEvent e;
        while (XCheckTypedWindowEvent(d, w, type, &e)) found.push_back(e);
        return found;
    };

    // A picture point far outside the window lands on its nearest edge.
    input(L"LBUTTONDOWN", 5000, -3);
    input(L"LBUTTONUP", 5000, -3);
    const std::vector<XEvent> presses = take(shared.w, ButtonPress);
    ASSERT_EQ(1u, presses.size());
    EXPECT_EQ(739, presses[0].xbutton.x_root);
    EXPECT_EQ(100, presses[0].xbutton.y_root);

    // A window manager may still be acting on the click and move the focus
    // after the test set it: the focus counts once it has stayed put.
    auto focus = [&](Window w) {
        Window now = 0;
        for (int settled = 0, tries = 0; settled < 6 && tries < 100; ++tries) {
            int revert = 0;
            XGetInputFocus(d, &now, &revert);
            if (now == w) {
                ++settled;
            } else {
                settled = 0;
                XSetInputFocus(d, w, RevertToParent, CurrentTime);
            }
            XSync(d, False);
            ZThreadSleep(50000);
        }
        return now == w;
    };
    // A key held while the machine is slow must not repeat.
    struct NoAutoRepeat {
        Display* d;
        explicit NoAutoRepeat(Display* display) : d(display) { XAutoRepeatOff(d); }
        ~NoAutoRepeat() { XAutoRepeatOn(d); }
    } noRepeat(d);
    ASSERT_TRUE(focus(other.w));
    input(L"KEYDOWN", 0, 0, 0x41);
    input(L"KEYUP", 0, 0, 0x41);
    EXPECT_TRUE(take(shared.w, KeyPress).empty());
    EXPECT_TRUE(take(other.w, KeyPress).empty());

    ASSERT_TRUE(focus(shared.w));
    input(L"KEYDOWN", 0, 0, 0x41);
    input(L"KEYUP", 0, 0, 0x41);
    EXPECT_EQ(1u, take(shared.w, KeyPress).size());
}

TEST_F(ScreenShare, AWindowTheSharerClosesLeavesTheViewerAtTheNextLayout) {
    ZREQUIRE_DISPLAY();
    const ZRect rect{600, 100, 760, 220};
    auto window = std::make_unique<ColourWindow>(600, 100, 160, 120, 0x33AA77);
    Share share;
    share.sharer.instance->set(L"Enable_Screen_Share_Color", std::int64_t{1}, false);
    share.open();
    // The count of the window's colour among the viewer's pixels inside its rectangle.
    auto windowPixels = [&] {
        ZImageFormat format;
        const std::string shown = viewerImage(share.viewer, format);
        if (shown.empty()) return -1;
        std::string got;
        ZImageCrop(format, reinterpret_cast<const unsigned char*>(shown.data()), rect, got);
        int count = 0;
        for (std::size_t i = 0; i + 2 < got.size(); i += 3)
            count += got[i] == '\x33' && got[i + 1] == '\xAA' && got[i + 2] == '\x77';
        return count;
    };
    int shown = 0;
    for (int i = 0; i < 30 && shown < 160 * 120; ++i) {
        share.step();
        shown = windowPixels();
    }
    ASSERT_EQ(shown, 160 * 120);

    window.reset();
    // The sharer reads the layout once a second and the viewer publishes
    // every half second: three seconds are plenty.
    for (int i = 0; i < 30 && shown > 0; ++i) {
        share.step();
        shown = windowPixels();
    }
    EXPECT_EQ(shown, 0) << "the closed window is still on show";
}
