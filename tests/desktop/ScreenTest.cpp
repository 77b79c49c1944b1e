#include "ZDesktopTest.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZNonPortable.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

// A plain X window painted with one colour, mapped on the UI connection.
struct ZColourWindow {
    Window w = 0;
    ZColourWindow(int x, int y, int width, int height, unsigned long rgb, Window parent = 0, bool map = true) {
        Display* d = _ZX11Display();
        XSetWindowAttributes a{};
        a.background_pixel = rgb;
        a.override_redirect = True;
        w = XCreateWindow(d, parent ? parent : DefaultRootWindow(d), x, y, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                          CWBackPixel | CWOverrideRedirect, &a);
        if (map) {
            XMapWindow(d, w);
            XClearWindow(d, w);
        }
        XSync(d, False);
    }
    ~ZColourWindow() {
        XDestroyWindow(_ZX11Display(), w);
        XSync(_ZX11Display(), False);
    }
    void setTitle(const std::string& title) {
        XChangeProperty(_ZX11Display(), w, _ZX11Atom("_NET_WM_NAME"), _ZX11Atom("UTF8_STRING"), 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
        XSync(_ZX11Display(), False);
    }
};

const unsigned char* pixelAt(const unsigned char* pixels, const ZImageFormat& f, int x, int y) {
    return pixels + (static_cast<size_t>(y) * f.width + x) * 4;
}

}  // namespace

TEST(ZScreen, CaptureGivesTheWholeScreenAndAKnownRectangleReadsBackExactly) {
    ZREQUIRE_DISPLAY();
    ZColourWindow box(100, 120, 64, 48, 0x336699);
    ZScreen* screen = ZScreenOpen();
    ZImageFormat format;
    unsigned char* pixels = ZScreenCapture(screen, ZRect{-100, -100, 5000, 5000}, format);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(format, (ZImageFormat{ZIT_BGRA32, 1280, 1024}));
    for (const auto& [x, y] : std::vector<std::pair<int, int>>{{100, 120}, {163, 167}, {130, 140}}) {
        const unsigned char* p = pixelAt(pixels, format, x, y);
        EXPECT_EQ(p[0], 0x99) << x << "," << y;
        EXPECT_EQ(p[1], 0x66) << x << "," << y;
        EXPECT_EQ(p[2], 0x33) << x << "," << y;
    }
    EXPECT_NE(pixelAt(pixels, format, 164, 120)[0], 0x99) << "the rectangle ends where the window ends";

    ZImageFormat again;
    EXPECT_EQ(ZScreenCapture(screen, ZRect{0, 0, 10, 10}, again), pixels) << "the buffer is kept between turns";
    EXPECT_EQ(again, format);
    ZScreenClose(screen);
}

TEST(ZScreen, AFreshCaptureFillsOnlyTheDirtyRegion) {
    ZREQUIRE_DISPLAY();
    ZColourWindow box(0, 0, 200, 200, 0xFFFFFF);
    ZScreen* screen = ZScreenOpen();
    ZImageFormat format;
    unsigned char* pixels = ZScreenCapture(screen, ZRect{10, 20, 30, 40}, format);
    ASSERT_NE(pixels, nullptr);
    EXPECT_EQ(pixelAt(pixels, format, 10, 20)[0], 0xFF);
    EXPECT_EQ(pixelAt(pixels, format, 29, 39)[1], 0xFF);
    EXPECT_EQ(pixelAt(pixels, format, 30, 39)[0], 0x00);
    EXPECT_EQ(pixelAt(pixels, format, 29, 40)[0], 0x00);
    EXPECT_EQ(pixelAt(pixels, format, 9, 20)[0], 0x00);
    EXPECT_EQ(ZScreenCapture(screen, ZRect{50, 50, 50, 60}, format), pixels) << "an empty region copies nothing";
    ZScreenClose(screen);
}

TEST(ZScreen, CaptureChecksItsArguments) {
    ZREQUIRE_DISPLAY();
    ZScreen* screen = ZScreenOpen();
    ZImageFormat format;
    ZLogCapture log;
    EXPECT_ZABORT(ZScreenCapture(screen, ZRect{10, 10, 5, 20}, format));
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed, aborting. (ZVALIDRECT( dirtyRect_ ))"));
    EXPECT_ZABORT(ZScreenCapture(nullptr, ZRect{0, 0, 1, 1}, format));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (screen_)"));
    ZScreenClose(screen);
}

TEST(ZScreen, AWindowWithAChildYieldsTheChildFirstThenTheUncoveredPieces) {
    ZREQUIRE_DISPLAY();
    ZColourWindow top(300, 200, 200, 100, 0x00FF00);
    ZColourWindow child(10, 20, 50, 30, 0xFF0000, top.w);
    ZColourWindow hidden(600, 600, 50, 50, 0x0000FF, 0, false);
    ZColourWindow offScreen(5000, 5000, 50, 50, 0x0000FF);
    ZScreen* screen = ZScreenOpen();
    std::list<ZFrag> windows;
    std::map<std::uint32_t, std::list<ZFrag>> children;
    ASSERT_TRUE(ZScreenGetWindowRects(screen, windows, children));
    const std::uint32_t topId = static_cast<std::uint32_t>(top.w);
    ASSERT_FALSE(windows.empty());
    EXPECT_EQ(windows.front(), (ZFrag{topId, ZRect{300, 200, 500, 300}})) << "the newest window is topmost";
    for (const ZFrag& f : windows) {
        EXPECT_NE(f.id, static_cast<std::uint32_t>(hidden.w));
        EXPECT_NE(f.id, static_cast<std::uint32_t>(offScreen.w));
    }
    const std::list<ZFrag>& frags = children[topId];
    ASSERT_GE(frags.size(), 2u);
    EXPECT_EQ(frags.front(), (ZFrag{static_cast<std::uint32_t>(child.w), ZRect{10, 20, 60, 50}}));
    long long area = 0;
    for (const ZFrag& f : frags) {
        if (&f != &frags.front()) {
            EXPECT_EQ(f.id, topId);
        }
        area += static_cast<long long>(f.rect.right - f.rect.left) * (f.rect.bottom - f.rect.top);
    }
    EXPECT_EQ(area, 200 * 100) << "the pieces cover the window exactly once";
    ZScreenClose(screen);
}

TEST(ZScreen, WindowListHoldsTitledShownWindowsButNotTheProgramManager) {
    ZREQUIRE_DISPLAY();
    ZColourWindow titled(10, 10, 40, 40, 0);
    titled.setTitle("chat \xC3\xA9");
    ZColourWindow manager(60, 10, 40, 40, 0);
    manager.setTitle("PROGRAM manager");
    ZColourWindow untitled(110, 10, 40, 40, 0);
    ZColourWindow hidden(160, 10, 40, 40, 0, 0, false);
    hidden.setTitle("hidden");
    std::map<std::uint32_t, std::wstring> list;
    ASSERT_TRUE(ZScreenGetWindowList(list));
    EXPECT_EQ(list[static_cast<std::uint32_t>(titled.w)], L"chat \u00E9");
    EXPECT_FALSE(ZMAPCONTAINS(list, static_cast<std::uint32_t>(manager.w)));
    EXPECT_FALSE(ZMAPCONTAINS(list, static_cast<std::uint32_t>(untitled.w)));
    EXPECT_FALSE(ZMAPCONTAINS(list, static_cast<std::uint32_t>(hidden.w)));
    EXPECT_EQ(ZScreenGetWindowAt(20, 20), static_cast<std::uint32_t>(titled.w));
}

TEST(ZScreen, CursorMovesAndInjectedKeysAreHeld) {
    ZREQUIRE_DISPLAY();
    ZSystemSetCursorPosition(321, 123);
    int x = 0, y = 0;
    ZSystemGetCursorPosition(x, y);
    EXPECT_EQ(x, 321);
    EXPECT_EQ(y, 123);
    ZSystemInjectMouse(ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE, 32768, 16384);
    ZSystemGetCursorPosition(x, y);
    EXPECT_EQ(x, 640);
    EXPECT_EQ(y, 256);
    ZSystemInjectMouse(ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE, 1 << 30, -5);
    ZSystemGetCursorPosition(x, y);
    EXPECT_EQ(x, 1279) << "a hostile coordinate stops at the screen's edge";
    EXPECT_EQ(y, 0);

    for (int vk : {0x41, 0x74, 0x11, 0x20}) {
        EXPECT_FALSE(ZSystemIsKeyPressed(vk)) << vk;
        ZSystemInjectKey(vk, 0);
        EXPECT_TRUE(ZSystemIsKeyPressed(vk)) << vk;
        ZSystemInjectKey(vk, ZKEYEVENTF_KEYUP);
        EXPECT_FALSE(ZSystemIsKeyPressed(vk)) << vk;
    }
    ZSystemInjectKey(0x1234, 0);  // not a key: dropped
    ZSystemInjectKey(-1, 0);
}

TEST(ZScreen, InjectedClickReachesTheWindowListener) {
    ZREQUIRE_DISPLAY();
    struct Listener : IZWinListener {
        int downs = 0, x = -1, y = -1;
        int onLButtonDown(ZWin*, int px, int py) override {
            ++downs;
            x = px;
            y = py;
            return 0;
        }
    } listener;
    ZWin* w = ZWinOpen(L"target", ZRect{640, 512, 740, 612}, false, &listener);
    std::vector<unsigned char> pixels(100 * 100 * 4, 0xFF);
    ZWinRepaint(w, 100, 100, pixels.data(), 255);
    ZWinShow(w);
    ASSERT_TRUE(ZPumpUntil([&] { return ZIsViewable(w->window); }));
    ZSystemInjectMouse(ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE | ZMOUSEEVENTF_LEFTDOWN, 32768 + 512, 32768 + 640);
    ZSystemInjectMouse(ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE | ZMOUSEEVENTF_LEFTUP, 32768 + 512, 32768 + 640);
    ASSERT_TRUE(ZPumpUntil([&] { return listener.downs == 1; }));
    EXPECT_EQ(listener.x, 10);
    EXPECT_EQ(listener.y, 10);
    ZWinClose(w);
}
