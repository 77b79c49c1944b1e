#include "ZDesktopTest.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZNonPortable.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

// A plain X window painted with one colour, mapped on the UI connection.
// Placed windows (override-redirect) stand exactly where they are put,
// under a window manager too; managed ones are ordinary application windows,
// which a manager frames, places and lists, as every window a user shares.
struct ZColourWindow {
    enum Kind { Placed, Managed };
    Window w = 0;
    ZColourWindow(int x, int y, int width, int height, unsigned long rgb, Window parent = 0, bool map = true,
                  Kind kind = Placed) {
        Display* d = _ZX11Display();
        XSetWindowAttributes a{};
        a.background_pixel = rgb;
        a.override_redirect = kind == Placed;
        w = XCreateWindow(d, parent ? parent : DefaultRootWindow(d), x, y, static_cast<unsigned>(width),
                          static_cast<unsigned>(height), 0, CopyFromParent, InputOutput, CopyFromParent,
                          CWBackPixel | CWOverrideRedirect, &a);
        if (kind == Managed) {
            XSizeHints hints{};
            hints.flags = USPosition | USSize;
            hints.x = x;
            hints.y = y;
            hints.width = width;
            hints.height = height;
            XSetWMNormalHints(d, w, &hints);
        }
        if (map) {
            XMapWindow(d, w);
            XClearWindow(d, w);
        }
        XSync(d, False);
        // A manager maps a managed window once it has framed it.
        if (map && kind == Managed && !parent) ZPumpUntil([this] { return ZIsViewable(w); });
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
    // Where the window is on the screen now (a manager may have moved it).
    ZRect screenRect() const {
        Display* d = _ZX11Display();
        XWindowAttributes a{};
        XGetWindowAttributes(d, w, &a);
        int x = 0, y = 0;
        Window child = 0;
        XTranslateCoordinates(d, w, DefaultRootWindow(d), 0, 0, &x, &y, &child);
        return ZRect{x, y, x + a.width, y + a.height};
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
    // A compositor shows the new window on the screen when it gets to it.
    ZPumpUntil([&] {
        pixels = ZScreenCapture(screen, ZRect{-100, -100, 5000, 5000}, format);
        return pixels && pixelAt(pixels, format, 163, 167)[0] == 0x99;
    }, 5000);
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
    ZColourWindow top(300, 200, 200, 100, 0x00FF00, 0, true, ZColourWindow::Managed);
    ZColourWindow child(10, 20, 50, 30, 0xFF0000, top.w);
    ZColourWindow hidden(600, 600, 50, 50, 0x0000FF, 0, false);
    ZColourWindow offScreen(5000, 5000, 50, 50, 0x0000FF);
    ZScreen* screen = ZScreenOpen();
    std::list<ZFrag> windows;
    std::map<std::uint32_t, std::list<ZFrag>> children;
    ASSERT_TRUE(ZScreenGetWindowRects(screen, windows, children));
    const std::uint32_t topId = static_cast<std::uint32_t>(top.w);
    const ZRect topRect = top.screenRect();
    EXPECT_EQ(topRect.right - topRect.left, 200);
    EXPECT_EQ(topRect.bottom - topRect.top, 100);
    // The newest window is topmost: whatever comes before it in the list
    // (a panel a manager keeps above every window) does not cover it.
    bool seen = false;
    for (const ZFrag& f : windows) {
        if (f.id == topId) {
            EXPECT_EQ(f.rect, topRect);
            seen = true;
            break;
        }
        EXPECT_FALSE(ZRectIntersects(f.rect, topRect)) << "window " << f.id << " is listed above the newest one";
    }
    EXPECT_TRUE(seen);
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
    const ZColourWindow::Kind managed = ZColourWindow::Managed;
    ZColourWindow titled(10, 10, 40, 40, 0, 0, true, managed);
    titled.setTitle("chat \xC3\xA9");
    ZColourWindow manager(60, 10, 40, 40, 0, 0, true, managed);
    manager.setTitle("PROGRAM manager");
    ZColourWindow untitled(110, 10, 40, 40, 0, 0, true, managed);
    ZColourWindow hidden(160, 10, 40, 40, 0, 0, false);
    hidden.setTitle("hidden");
    std::map<std::uint32_t, std::wstring> list;
    ASSERT_TRUE(ZScreenGetWindowList(list));
    EXPECT_EQ(list[static_cast<std::uint32_t>(titled.w)], L"chat \u00E9");
    EXPECT_FALSE(ZMAPCONTAINS(list, static_cast<std::uint32_t>(manager.w)));
    EXPECT_FALSE(ZMAPCONTAINS(list, static_cast<std::uint32_t>(untitled.w)));
    EXPECT_FALSE(ZMAPCONTAINS(list, static_cast<std::uint32_t>(hidden.w)));
    const ZRect at = titled.screenRect();
    EXPECT_EQ(ZScreenGetWindowAt((at.left + at.right) / 2, (at.top + at.bottom) / 2),
              static_cast<std::uint32_t>(titled.w));
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

// A window manager that was killed leaves its check window's id and its last
// stacking list on the root. Needs a server without a manager of its own,
// since it plays the manager that died.
TEST(ZScreen, AKilledManagersLeftoverListIsNotTrustedOnABareServer) {
    ZREQUIRE_DISPLAY();
    Display* d = _ZX11Display();
    const Window root = DefaultRootWindow(d);
    ASSERT_FALSE(_ZX11HasWindowManager()) << "this test plays a manager: it needs a server without one";
    {
        ZColourWindow managerCheck(0, 0, 1, 1, 0, 0, false);
        const unsigned long check = managerCheck.w;
        XChangeProperty(d, root, _ZX11Atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&check), 1);
        XChangeProperty(d, managerCheck.w, _ZX11Atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&check), 1);
        XChangeProperty(d, root, _ZX11Atom("_NET_CLIENT_LIST_STACKING"), XA_WINDOW, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&check), 1);
        XSync(d, False);
        EXPECT_TRUE(_ZX11HasWindowManager());
    }  // the manager is gone; its properties stay
    EXPECT_FALSE(_ZX11HasWindowManager());
    ZColourWindow opened(200, 200, 60, 60, 0x00FF00);
    opened.setTitle("opened after");
    std::map<std::uint32_t, std::wstring> list;
    ASSERT_TRUE(ZScreenGetWindowList(list));
    EXPECT_EQ(list[static_cast<std::uint32_t>(opened.w)], L"opened after");
    EXPECT_EQ(ZScreenGetWindowAt(230, 230), static_cast<std::uint32_t>(opened.w));
    XDeleteProperty(d, root, _ZX11Atom("_NET_SUPPORTING_WM_CHECK"));
    XDeleteProperty(d, root, _ZX11Atom("_NET_CLIENT_LIST_STACKING"));
    XSync(d, False);
}
