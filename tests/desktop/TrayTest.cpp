#include "ZDesktopTest.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <atomic>
#include <thread>

#include "../../libzan/src/ZNonPortable_TrayRecord.h"
#include "../platform/ZPlatformTestSupport.h"
#include "ZNonPortable.h"
#include "ZNonPortable_Tray.h"
#include "ZTestSupport.h"

namespace {

// The system tray the icon docks in: the desktop's own when one runs (it
// is never taken from it), else a tray manager of our own on its own
// connection that owns the tray selection and embeds whatever asks to dock.
class ZTestTray {
public:
    ZTestTray() {
        _display = XOpenDisplay(nullptr);
        const Atom selection = XInternAtom(_display, "_NET_SYSTEM_TRAY_S0", False);
        if (XGetSelectionOwner(_display, selection) != None) return;  // a real tray
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.background_pixel = 0x404040;
        _window = XCreateWindow(_display, DefaultRootWindow(_display), 900, 0, 200, 30, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
        XMapWindow(_display, _window);
        XSetSelectionOwner(_display, selection, _window, CurrentTime);
        XSync(_display, False);
        _thread = std::thread([this] { serve(); });
    }
    ~ZTestTray() {
        _stop = true;
        if (_thread.joinable()) _thread.join();
        if (_window) XDestroyWindow(_display, _window);
        XCloseDisplay(_display);
    }
    // Whether the window sits inside a tray: no longer a child of the root.
    bool holds(Window icon) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(_display, icon, &root, &parent, &children, &count)) return false;
        if (children) XFree(children);
        return parent != root && ZIsViewable(icon);
    }

private:
    void serve() {
        const Atom opcode = XInternAtom(_display, "_NET_SYSTEM_TRAY_OPCODE", False);
        while (!_stop) {
            while (XPending(_display)) {
                XEvent e;
                XNextEvent(_display, &e);
                if (e.type != ClientMessage || e.xclient.message_type != opcode || e.xclient.data.l[1] != 0) continue;
                const Window icon = static_cast<Window>(e.xclient.data.l[2]);
                XReparentWindow(_display, icon, _window, 20, 7);
                XMapWindow(_display, icon);
                XSync(_display, False);
            }
            std::this_thread::yield();
        }
    }
    Display* _display = nullptr;
    Window _window = 0;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

struct ZIconEvents : IZIconListener {
    std::vector<std::string> events;
    void onLButtonDown(ZIcon*) override { events.push_back("ldown"); }
    void onLButtonDblClk(ZIcon*) override { events.push_back("ldbl"); }
    void onRButtonDown(ZIcon*) override { events.push_back("rdown"); }
    void onBubbleClick(ZIcon*, int id) override { events.push_back("bubble " + std::to_string(id)); }
};

void click(int x, int y, unsigned button = 1) {
    Display* d = _ZX11Display();
    XTestFakeMotionEvent(d, DefaultScreen(d), x, y, 0);
    XTestFakeButtonEvent(d, button, True, 0);
    XTestFakeButtonEvent(d, button, False, 0);
    XFlush(d);
}

void rootPosition(Window w, int& x, int& y) {
    Window child;
    XTranslateCoordinates(_ZX11Display(), w, DefaultRootWindow(_ZX11Display()), 0, 0, &x, &y, &child);
}

// The middle of a window, in screen pixels.
void middleOf(Window w, int& x, int& y) {
    XWindowAttributes a{};
    XGetWindowAttributes(_ZX11Display(), w, &a);
    rootPosition(w, x, y);
    x += a.width / 2;
    y += a.height / 2;
}

}  // namespace

TEST(ZIcon, DocksInTheTrayShowsTheTooltipsFirst62CharactersAndReportsClicks) {
    ZREQUIRE_DISPLAY();
    ZTestTray tray;
    ZIconEvents listener;
    ZLogCapture log;
    ZIcon* icon = ZIconOpen(&listener);
    EXPECT_TRUE(log.lines().empty());
    ASSERT_TRUE(ZPumpUntil([&] { return icon->docked && tray.holds(icon->window); }));
    int iconX = 0, iconY = 0;
    middleOf(icon->window, iconX, iconY);

    const std::wstring text = L"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789abcdefg";
    ASSERT_EQ(text.size(), 80u);
    const int before = icon->updates;
    ZIconSetText(icon, text);
    ZIconSetText(icon, text);
    EXPECT_EQ(icon->updates, before + 1) << "the same tooltip twice is one change";
    // Enter the icon from outside (an earlier test may have left the pointer on it).
    XTestFakeMotionEvent(_ZX11Display(), 0, 5, 5, 0);
    XTestFakeMotionEvent(_ZX11Display(), 0, iconX, iconY, 0);
    ASSERT_TRUE(ZPumpUntil([&] { return icon->tooltip && ZIsViewable(icon->tooltip->window); }));
    ASSERT_EQ(icon->tooltip->lines.size(), 1u);
    EXPECT_EQ(icon->tooltip->lines[0], text.substr(0, 62));

    const int states = icon->updates;
    ZIconSetState(icon, ZIS_PRIVATE_OFFLINE);
    EXPECT_EQ(icon->updates, states) << "the current state again changes nothing";
    ZIconSetState(icon, ZIS_PUBLIC_ONLINE);
    EXPECT_EQ(icon->updates, states + 1);

    click(iconX, iconY);
    click(iconX, iconY, 3);
    ASSERT_TRUE(ZPumpUntil([&] { return listener.events.size() >= 2; }));
    EXPECT_EQ(listener.events, (std::vector<std::string>{"ldown", "rdown"}));
    ZIconClose(icon);
    EXPECT_EQ(icon->listener, nullptr) << "a closed handle stays valid and empty";
}

TEST(ZIcon, ABalloonShowsCutTextsAndAClickCallsBackWithItsId) {
    ZREQUIRE_DISPLAY();
    ZPlatformScope platform;
    ZTestTray tray;
    ZIconEvents listener;
    ZIcon* icon = ZIconOpen(&listener);
    ASSERT_TRUE(ZPumpUntil([&] { return icon->docked; }));

    ZIconSetText(icon, L"Online");
    ZIconSetBubble(icon, L"Zandrel", L"Online", 3);
    EXPECT_EQ(icon->balloon, nullptr) << "a balloon repeating the tooltip is not shown";

    ZIconSetBubble(icon, std::wstring(70, L'T'), std::wstring(300, L'x'), 7);
    ASSERT_NE(icon->balloon, nullptr);
    ASSERT_TRUE(ZPumpUntil([&] { return ZIsViewable(icon->balloon->window); }));
    EXPECT_EQ(icon->balloon->lines, (std::vector<std::wstring>{std::wstring(62, L'T'), std::wstring(254, L'x')}));
    int x = 0, y = 0;
    rootPosition(icon->balloon->window, x, y);
    click(x + 5, y + 5);
    ASSERT_TRUE(ZPumpUntil([&] { return !listener.events.empty(); }));
    EXPECT_EQ(listener.events, (std::vector<std::string>{"bubble 7"}));
    EXPECT_EQ(icon->balloon, nullptr);

    ZIconSetText(icon, L"Online");
    EXPECT_EQ(icon->tooltipText, L"Online") << "the tooltip takes its text again after another balloon";
    ZIconClose(icon);
}

// Needs a desktop without a tray.
TEST(ZIcon, WithoutATrayTheWarningAppearsAndTheHandleStillWorksOnABareServer) {
    ZREQUIRE_DISPLAY();
    ZIconEvents listener;
    ZLogCapture log;
    ZIcon* icon = ZIconOpen(&listener);
    ASSERT_NE(icon, nullptr);
    EXPECT_TRUE(log.contains(L"WARNING: Assertion failed. (Shell_NotifyIconW( 0x00000000, &iconData ))"));
    ZIconSetState(icon, ZIS_PUBLIC_CHANGING);
    ZIconSetText(icon, L"Signing in");
    EXPECT_ZABORT(ZIconSetState(icon, 6));
    EXPECT_TRUE(log.contains(
        L"ERROR: Assertion failed, aborting. (ZWITHIN( ZIS_PUBLIC_OFFLINE, state, ZIS_PRIVATE_ONLINE ))"));
    ZIconClose(icon);
    EXPECT_ZABORT(ZIconOpen(nullptr));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (listener)"));
}

namespace {

// Ticks every 100 ms; on its second tick it acts on the open menu.
struct ZMenuDriver : IZTimerListener {
    int ticks = 0;
    std::function<void()> act;
    void onTimer(ZTimer*) override {
        if (++ticks == 2 && act) act();
    }
};

// Runs the menu from inside the UI loop, as the client does.
int runMenu(ZMenuDriver& driver, const std::vector<std::wstring>& options) {
    struct Starter : IZTimerListener {
        const std::vector<std::wstring>* options;
        int result = -2;
        ZTimer* timer = nullptr;
        void onTimer(ZTimer*) override {
            ZTimerClose(timer);
            result = ZMenuExecute(*options);
            ZWinPostQuit(0);
        }
    } starter;
    starter.options = &options;
    starter.timer = ZTimerOpen(10000, &starter);
    ZTimer* ticker = ZTimerOpen(100000, &driver);
    ZSystemSetCursorPosition(400, 500);
    EXPECT_TRUE(ZRunLoop(5000000));
    ZTimerClose(ticker);
    return starter.result;
}

}  // namespace

TEST(ZMenu, AnswersTheClickedEntryWhileTimersKeepTicking) {
    ZREQUIRE_DISPLAY();
    ZPlatformScope platform;
    ZMenuDriver driver;
    driver.act = [] {
        _ZPopup* menu = _ZMenuCurrent();
        ASSERT_NE(menu, nullptr);
        int x = 0, y = 0;
        rootPosition(menu->window, x, y);
        EXPECT_EQ(y + menu->height + 1, 500) << "the menu opens upwards: its lower border at the pointer";
        click(x + 10, y + 4 + menu->lineHeight + menu->lineHeight / 2);
    };
    EXPECT_EQ(runMenu(driver, {L"Open", L"Sign out", L"Exit"}), 1);
    EXPECT_GE(driver.ticks, 2);
}

TEST(ZMenu, EscapeOrAClickElsewhereDismissesIt) {
    ZREQUIRE_DISPLAY();
    ZPlatformScope platform;
    ZMenuDriver escape;
    escape.act = [] {
        Display* d = _ZX11Display();
        XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Escape), True, 0);
        XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Escape), False, 0);
        XFlush(d);
    };
    EXPECT_EQ(runMenu(escape, {L"Open", L"Exit"}), -1);
    ZMenuDriver elsewhere;
    elsewhere.act = [] { click(10, 10); };
    EXPECT_EQ(runMenu(elsewhere, {L"Open", L"Exit"}), -1);
    EXPECT_EQ(ZMenuExecute({}), -1);
}
