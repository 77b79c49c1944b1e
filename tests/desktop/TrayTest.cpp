#include "ZDesktopTest.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <atomic>
#include <thread>

#include "../../libzan/src/ZNonPortable_TrayRecord.h"
#include "../platform/ZPlatformTestSupport.h"
#include "ZNonPortable.h"
#include "ZNonPortable_Tray.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

namespace {

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
    // Beside the icon, inside the work area, wrapped to a readable width.
    int iconX = 0, iconY = 0;
    rootPosition(icon->window, iconX, iconY);
    const ZRect balloon{x, y, x + icon->balloon->width, y + icon->balloon->height};
    EXPECT_TRUE(balloon.bottom <= iconY || balloon.top >= iconY + 16 || balloon.right <= iconX ||
                balloon.left >= iconX + 16)
        << "the balloon covers the icon";
    ZRect area{};
    ASSERT_TRUE(ZSystemGetWorkArea(area));
    EXPECT_TRUE(balloon.left >= area.left && balloon.top >= area.top && balloon.right <= area.right &&
                balloon.bottom <= area.bottom);
    EXPECT_LE(icon->balloon->width, 320);
    EXPECT_GT(icon->balloon->rows.size(), 2u) << "a long text wraps";
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
        EXPECT_EQ(x, 400 + 1) << "the menu opens at the pointer (inside its one-pixel border)";
        EXPECT_EQ(y, 500 + 1);
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

TEST(ZIcon, BalloonsOpenBesideTheIconInsideTheWorkArea) {
    const ZRect area{0, 0, 1280, 1000};  // a panel takes the bottom 24 rows of 1024
    struct Case {
        const char* what;
        bool docked;
        ZRect icon;
        ZRect expected;
    };
    const Case cases[] = {
        {"a tray in a bottom panel: above the icon, right edges aligned", true, {1200, 1004, 1216, 1020},
         {916, 700, 1216, 1000}},
        {"a tray at the top: below the icon", true, {1000, 4, 1016, 20}, {716, 24, 1016, 324}},
        {"an icon near the left edge: kept inside", true, {10, 4, 26, 20}, {0, 24, 300, 324}},
        {"no tray: the work area's top right corner", false, {}, {972, 8, 1272, 308}},
    };
    for (const Case& c : cases) {
        const ZRect got = _ZBalloonPlace(c.docked ? &c.icon : nullptr, 300, 300, area);
        EXPECT_EQ(got.left, c.expected.left) << c.what;
        EXPECT_EQ(got.top, c.expected.top) << c.what;
        EXPECT_EQ(got.right, c.expected.right) << c.what;
        EXPECT_EQ(got.bottom, c.expected.bottom) << c.what;
    }
}

TEST(ZIcon, ATrayThatStartsLaterGetsTheIconOnABareServer) {
    ZREQUIRE_DISPLAY();
    ZIconEvents listener;
    ZLogCapture log;
    ZIcon* icon = ZIconOpen(&listener);
    EXPECT_FALSE(ZIconIsDocked(icon));
    ZTestTray tray;
    ASSERT_TRUE(ZPumpUntil([&] { return ZIconIsDocked(icon) && tray.holds(icon->window); }))
        << "the icon docks when the tray announces itself";
    ZIconClose(icon);
}

TEST(ZIcon, IsDrawnOnTheTraysOwnBackgroundOrInItsArgbVisualOnABareServer) {
    ZREQUIRE_DISPLAY();
    for (const bool argb : {false, true}) {
        ZTestTray tray(argb);
        ZIconEvents listener;
        ZIcon* icon = ZIconOpen(&listener);
        ASSERT_TRUE(ZPumpUntil([&] { return icon->docked && tray.holds(icon->window); })) << argb;
        EXPECT_EQ(icon->argb, argb);
        ZIconSetState(icon, ZIS_PUBLIC_ONLINE);
        _ZX11Pump();
        XSync(_ZX11Display(), False);
        XWindowAttributes wa{};
        ASSERT_TRUE(XGetWindowAttributes(_ZX11Display(), icon->window, &wa));
        EXPECT_EQ(wa.depth, argb ? 32 : DefaultDepth(_ZX11Display(), 0));
        XImage* image = XGetImage(_ZX11Display(), icon->window, 0, 0, 16, 16, AllPlanes, ZPixmap);
        ASSERT_NE(image, nullptr);
        const unsigned long corner = XGetPixel(image, 0, 0), middle = XGetPixel(image, 8, 3);
        XDestroyImage(image);
        if (argb) {
            EXPECT_EQ(corner >> 24, 0u) << "the corner is transparent";
            EXPECT_EQ(middle >> 24, 0xFFu);
        } else {
            EXPECT_EQ(corner & 0xFFFFFF, ZTestTray::kBackground) << "the tray's background shows in the corner";
        }
        EXPECT_EQ(middle & 0xFFFFFF, 0x20A040u) << "the online badge";
        ZIconClose(icon);
    }
}

TEST(ZMenu, OpensAtThePointerAndFlipsOnlyWhereItWouldLeaveTheArea) {
    const ZRect area{0, 30, 1280, 1000};
    struct Case {
        const char* what;
        int x, y;
        ZRect expected;
    };
    const Case cases[] = {
        {"room everywhere: at the pointer", 400, 500, {400, 500, 500, 600}},
        {"near the bottom: flipped upwards", 400, 950, {400, 850, 500, 950}},
        {"near the right edge: flipped to the left", 1250, 500, {1150, 500, 1250, 600}},
        {"over a top panel: moved into the area", 400, 10, {400, 30, 500, 130}},
    };
    for (const Case& c : cases) {
        const ZRect got = _ZPopupPlaceAt(c.x, c.y, 100, 100, area);
        EXPECT_EQ(got.left, c.expected.left) << c.what;
        EXPECT_EQ(got.top, c.expected.top) << c.what;
        EXPECT_EQ(got.right, c.expected.right) << c.what;
        EXPECT_EQ(got.bottom, c.expected.bottom) << c.what;
    }
}

TEST(ZMenu, AccessKeysAreUnderlinedAndTypingOneChoosesItsEntry) {
    struct Case {
        const wchar_t* text;
        const wchar_t* shown;
        int mark;
        wchar_t key;
    };
    const Case cases[] = {
        {L"&Show Buddylist", L"Show Buddylist", 0, L's'},
        {L"E&xit", L"Exit", 1, L'x'},
        {L"Tom && Jerry", L"Tom & Jerry", -1, 0},
        {L"&&Co &Go", L"&Co Go", 4, L'g'},
        {L"Trailing &", L"Trailing &", -1, 0},
    };
    for (const Case& c : cases) {
        int mark = 0;
        wchar_t key = 0;
        EXPECT_EQ(_ZPopupStripMarks(c.text, mark, key), c.shown);
        EXPECT_EQ(mark, c.mark) << ZToUTF8(c.text);
        EXPECT_EQ(key, c.key) << ZToUTF8(c.text);
    }

    ZREQUIRE_DISPLAY();
    ZPlatformScope platform;
    ZMenuDriver driver;
    std::vector<std::wstring> shown;
    driver.act = [&] {
        _ZPopup* menu = _ZMenuCurrent();
        ASSERT_NE(menu, nullptr);
        for (const _ZPopupRow& row : menu->rows) shown.push_back(row.text);
        Display* d = _ZX11Display();
        XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_x), True, 0);
        XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_x), False, 0);
        XFlush(d);
    };
    EXPECT_EQ(runMenu(driver, {L"&Show Buddylist", L"&Options", L"E&xit"}), 2);
    EXPECT_EQ(shown, (std::vector<std::wstring>{L"Show Buddylist", L"Options", L"Exit"}));
}
