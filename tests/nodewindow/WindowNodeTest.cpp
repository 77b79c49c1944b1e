// Skin windows as real X11 windows under Xvfb: dragging, clicks, focus,
// fades, notifications and the frame-rate limit, and the buddy list on
// screen. Input comes through XTest; timers and notifications through the
// platform's own loop.
#include <cstdint>
#include <functional>

#include "../nodes/ZNodeTestKit.h"
#include "../desktop/ZDesktopTest.h"
#include "../platform/ZPlatformTestSupport.h"
#include "../../libzan/src/ZNonPortable_Loop.h"
#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZWindowLoop.h"
#include "ZBuddyListNode.h"
#include "ZButtonNode.h"
#include "ZCellNode.h"
#include "ZGradientNode.h"
#include "ZImageNode.h"
#include "ZNonPortable.h"
#include "ZTextNode.h"
#include "ZWindowNode.h"

#include <X11/extensions/XTest.h>

using namespace zantest;

namespace {


class WindowNodeTest : public NodeTest {
protected:
    void SetUp() override { ZREQUIRE_DISPLAY(); }
    // A window of width x height at (100, 100).
    ZWindowNode* makeWindow(int width, int height, std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> more = {}) {
        const std::wstring w = std::to_wstring(width), h = std::to_wstring(height);
        window = add<ZWindowNode>(nullptr, L"Window", {{L"id", L"test"}, {L"x", L"100"}, {L"y", L"100"}});
        window->setAttribute(L"width", w);
        window->setAttribute(L"height", h);
        for (const auto& [name, value] : more) window->setAttribute(name, value);
        return window;
    }
    void show() {
        update();
        ZImageStack stack;
        root->render(stack);
        ASSERT_TRUE(ZPumpUntil([&] { return ZIsViewable(window->getWindow()->window); }));
    }
    ZRect screenRect() {
        ZRect rect;
        ZWinGetScreenPosition(window->getWindow(), rect);
        return rect;
    }

    ZPlatformScope platform;
    ZWindowNode* window = nullptr;
};

}  // namespace

TEST_F(WindowNodeTest, UnclaimedPixelsDragTheWindowAndButtonsRunTheirCommands) {
    makeWindow(200, 100);
    std::vector<unsigned char> red(40 * 20 * 4);
    for (size_t i = 0; i < red.size(); i += 4) red[i] = 255, red[i + 3] = 255;
    ZImageTools_instanceWrite(&instance, L"btn", ZImageFormat{ZIT_RGBA32, 40, 20}, red.data());
    add<ZButtonNode>(window, L"Button", {{L"src", L"btn"}, {L"command", L"(/skin/window_login?open)"}});
    show();
    EXPECT_EQ(window->getNCHITTEST(nullptr, 150, 80), ZHT_CAPTION);
    EXPECT_EQ(window->getNCHITTEST(nullptr, 10, 10), ZHT_CLIENT);

    // Drag by an unclaimed pixel.
    motion(250, 170);
    runFor(50);
    button(true);
    runFor(50);
    motion(280, 190);
    runFor(50);
    motion(290, 200);
    runFor(50);
    button(false);
    ASSERT_TRUE(runUntil([&] { return screenRect().left == 140; }, 2000));
    EXPECT_EQ(screenRect().top, 130);

    // A click on the button.
    const ZRect at = screenRect();
    motion(at.left + 20, at.top + 10);
    runFor(50);
    button(true);
    runFor(30);
    button(false);
    const std::wstring open = L"(/skin/window_login?open)";
    ASSERT_TRUE(runUntil([&] { return std::count(engine.commands.begin(), engine.commands.end(), open) == 1; }, 2000));
}

TEST_F(WindowNodeTest, TabCyclesTheFocusInTreeOrderAndWraps) {
    makeWindow(100, 50);
    ProbeNode* first = probe(window, 0, 0);
    ProbeNode* skipped = probe(window, 0, 0);
    ProbeNode* second = probe(add<ZCellNode>(window, L"Cell"), 0, 0);
    first->focusable = second->focusable = true;
    show();
    EXPECT_EQ(window->getKeyFocus(), nullptr);
    window->onKeyDown(nullptr, 9);
    EXPECT_EQ(window->getKeyFocus(), first);
    window->onKeyDown(nullptr, 9);
    EXPECT_EQ(window->getKeyFocus(), second);
    EXPECT_FALSE(first->focused);
    window->onKeyDown(nullptr, 9);
    EXPECT_EQ(window->getKeyFocus(), first);
    EXPECT_FALSE(skipped->focused);

    // Without a focus, a first child that refuses it means no focus at all.
    delete root;
    root = nullptr;
    makeWindow(100, 50);
    probe(window, 0, 0);
    probe(window, 0, 0)->focusable = true;
    show();
    window->onKeyDown(nullptr, 9);
    EXPECT_EQ(window->getKeyFocus(), nullptr);
}

TEST_F(WindowNodeTest, FadesRepaintWithChangingOpacity) {
    makeWindow(100, 50);
    ProbeNode* content = probe(window, 0, 0);
    show();
    EXPECT_EQ(window->getPaintedAlpha(), 255);
    std::vector<int> seen;
    window->fadeOut(500000);
    EXPECT_TRUE(runUntil([&] {
        if (seen.empty() || seen.back() != window->getPaintedAlpha()) seen.push_back(window->getPaintedAlpha());
        return window->getAlpha() == 0;
    }, 2000));
    EXPECT_GE(seen.size(), 3u);
    EXPECT_TRUE(std::is_sorted(seen.rbegin(), seen.rend()));
    EXPECT_FALSE(ZWinIsVisible(window->getWindow()));
    // A transparent window does not fade out again.
    const int renders = content->renders;
    window->fadeOut(500000);
    runFor(150);
    EXPECT_EQ(content->renders, renders);

    // A fade-in during a fade-out ends visible and opaque.
    window->fadeIn(200000);
    ASSERT_TRUE(runUntil([&] { return window->getAlpha() == 255; }, 2000));
    window->fadeOut(500000);
    runFor(150);
    const int midway = window->getPaintedAlpha();
    EXPECT_LT(midway, 255);
    window->fadeIn(300000);
    ASSERT_TRUE(runUntil([&] { return window->getAlpha() == 255; }, 2000));
    EXPECT_TRUE(ZWinIsVisible(window->getWindow()));
    runFor(700);  // the old fade-out's end passes
    EXPECT_TRUE(ZWinIsVisible(window->getWindow()));
    EXPECT_EQ(window->getAlpha(), 255);
}

TEST_F(WindowNodeTest, AWindowWithNothingToDrawHoldsNoTimerUntilAFadeOrARedrawAsksForOne) {
    makeWindow(100, 50);
    show();
    const auto noTimer = [] { return _ZTimerNextDue() == INT64_MAX; };
    // Shown and drawn: nothing wakes the loop for this window any more.
    ASSERT_TRUE(runUntil(noTimer, 2000));
    window->fadeOut(200000);
    EXPECT_FALSE(noTimer());
    ASSERT_TRUE(runUntil([&] { return window->getAlpha() == 0; }, 2000));
    EXPECT_TRUE(runUntil(noTimer, 2000));
    window->fadeIn(100000);
    ASSERT_TRUE(runUntil([&] { return window->getAlpha() == 255; }, 2000));
    EXPECT_TRUE(runUntil(noTimer, 2000));
}

TEST_F(WindowNodeTest, UnfocusedFocusFadeWindowShowsHalfOpacity) {
    makeWindow(100, 50, {{L"focusfade", L"true"}});
    show();
    XSetInputFocus(_ZX11Display(), window->getWindow()->window, RevertToNone, CurrentTime);
    runFor(100);
    window->onShow(nullptr);
    ASSERT_TRUE(runUntil([&] { return window->getPaintedAlpha() == 255; }, 1000));
    // Another window takes the keyboard focus.
    IZWinListener plain;
    ZWin* other = ZWinOpen(L"other", ZRect{500, 500, 520, 520}, false, &plain);
    std::vector<unsigned char> pixels(20 * 20 * 4, 0xFF);
    ZWinRepaint(other, 20, 20, pixels.data(), 255);
    ZWinShow(other);
    ASSERT_TRUE(ZPumpUntil([&] { return ZIsViewable(other->window); }));
    ZWinSetForeground(other);
    runUntil([&] { return !ZWinHasKeyFocus(window->getWindow()); }, 1000);
    ASSERT_FALSE(ZWinHasKeyFocus(window->getWindow()));
    window->onShow(nullptr);
    EXPECT_TRUE(runUntil([&] { return window->getPaintedAlpha() == 127; }, 1000));
    ZWinClose(other);
}

TEST_F(WindowNodeTest, NotificationsCoalesceAndRendersKeepTheFrameRate) {
    makeWindow(100, 50);
    add<ZTextNode>(window, L"Text", {{L"watch", L"Status"}});
    add<ZImageNode>(window, L"Image", {{L"src", L"Picture"}});
    ProbeNode* counter = probe(window, 0, 0);
    storeImage(L"Picture", 4, 4, ZColor(0, 0, 0, 255));
    show();
    runFor(100);
    // Two code-2 notifications before one pass: one update.
    const int updates = counter->updates;
    instance.set(L"Status", L"one", false);
    instance.set(L"Status", L"two", false);
    runFor(200);
    EXPECT_EQ(counter->updates, updates + 1);

    // A burst of redraws over two seconds: at most 15 renders a second, and
    // one frame-rate line every two seconds.
    ZLogCapture log;
    const std::string filter = ZLogGetFilter();
    ZLogSetFilter("W");
    struct Burst : IZTimerListener {
        NodeTest* test;
        int n = 0;
        std::function<void(int)> write;
        void onTimer(ZTimer*) override { write(++n); }
    } burst;
    burst.write = [&](int n) { storeImage(L"Picture", 4, 4, ZColor(static_cast<std::uint8_t>(n), 0, 0, 255)); };
    const int renders = counter->renders;
    ZTimer* timer = ZTimerOpen(10000, &burst);
    const std::int64_t began = ZTimeNow();
    runFor(2300);
    // A loaded machine runs the loop a little past its time: the rate is
    // counted over the time it really ran.
    const std::int64_t ranMs = (ZTimeNow() - began) / 1000;
    ZTimerClose(timer);
    ZLogSetFilter(filter);
    const int rendered = counter->renders - renders;
    EXPECT_GT(burst.n, 100);
    EXPECT_GE(rendered, 10);
    EXPECT_LE(rendered, ranMs / 66 + 2);
    EXPECT_GE(log.count(L"Window(100, 100), "), 1);
    EXPECT_LE(log.count(L"Window(100, 100), "), 2);
    EXPECT_GE(log.count(L"fps"), 1);
}

TEST_F(WindowNodeTest, ADestroyedSubtreeLeavesNoHandlerBehind) {
    makeWindow(100, 60);
    auto* cell = add<ZCellNode>(window, L"Cell");
    ProbeNode* doomed = probe(cell, 100, 60);
    doomed->claims = doomed->focusable = true;
    show();
    motion(150, 130);
    ASSERT_TRUE(runUntil([&] { return window->getMouseover() == doomed; }, 2000));
    button(true);
    runFor(30);
    button(false);
    ASSERT_TRUE(runUntil([&] { return window->getKeyFocus() == doomed; }, 2000));
    const int clicks = doomed->clicks;
    EXPECT_GE(clicks, 1);

    window->getChildren().clear();
    delete cell;
    ZWindowNode::forgetHandlersAbove(window);
    EXPECT_EQ(window->getMouseover(), nullptr);
    EXPECT_EQ(window->getKeyFocus(), nullptr);
    motion(160, 140);
    runFor(60);
    motion(155, 135);
    button(true);
    runFor(30);
    button(false);
    runFor(60);
    window->onKeyDown(nullptr, 9);
    window->onKeyPressed(nullptr, 'a');
    EXPECT_EQ(window->getNCHITTEST(nullptr, 50, 30), ZHT_CAPTION);
}

TEST_F(WindowNodeTest, BuddyListOnScreen) {
    instance.set(L"Local_Buddy_List", L"ann@zandrel.net, bob@other.org;cid@zandrel.net", false);
    instance.set(L"cid@zandrel.net_Online", L"true", false);
    instance.set(L"ann@zandrel.net_Offline", L"true", false);
    instance.set(L"Audio_Capture_Online", L"true", false);
    storeImage(L"cid@zandrel.net_Image", 48, 48, ZColor(220, 60, 30, 255));
    storeImage(L"ann@zandrel.net_Image", 48, 48, ZColor(30, 90, 220, 255));
    makeWindow(300, 240);
    add<ZGradientNode>(window, L"Gradient", {{L"from", L"#FFFFFFFF"}, {L"to", L"#DDE4F0FF"}, {L"vertical", L"1"}});
    auto* list = add<ZBuddyListNode>(window, L"BuddyList",
                                     {{L"titlefont", L"20,bc,#203060"}, {L"normalfont", L"16,x,#000000"},
                                      {L"offlinefont", L"16,i,#808080"}, {L"mouseoverfont", L"16,u,#000080"}});
    show();
    const auto& regions = list->getRegions();
    ASSERT_EQ(regions.size(), 7u);
    const ZRect at = screenRect();
    // Hover over cid's picture, select bob's row.
    const ZRect bob = regions[5].rect;
    list->onLButtonDown(nullptr, bob.left + 20, (bob.top + bob.bottom) / 2);
    const ZRect cid = regions[2].rect;
    motion(at.left + (cid.left + cid.right) / 2, at.top + (cid.top + cid.bottom) / 2);
    ASSERT_TRUE(runUntil([&] { return window->getMouseover() == list; }, 2000));
    runFor(150);
    std::vector<unsigned char> shown;
    ASSERT_TRUE(runUntil([&] {
        shown = [&] {
            XImage* image = XGetImage(_ZX11Display(), window->getWindow()->window, 0, 0, 300, 240, AllPlanes, ZPixmap);
            std::vector<unsigned char> out;
            if (!image) return out;
            for (int y = 0; y < 240; ++y)
                for (int x = 0; x < 300; ++x) {
                    const unsigned long p = XGetPixel(image, x, y);
                    out.insert(out.end(), {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                                           static_cast<unsigned char>(p), static_cast<unsigned char>(p >> 24)});
                }
            XDestroyImage(image);
            return out;
        }();
        return !shown.empty();
    }, 2000));
    auto px = [&](int x, int y) { return std::vector<int>(&shown[(y * 300 + x) * 4], &shown[(y * 300 + x) * 4] + 3); };
    // The talk frame is yellow; the selected row's text area holds #ECE9D8.
    EXPECT_EQ(px(cid.left + 2, (cid.top + cid.bottom) / 2), (std::vector<int>{255, 255, 0}));
    EXPECT_EQ(px(bob.left + 2, bob.bottom - 2), (std::vector<int>{0xEC, 0xE9, 0xD8}));
    // Ann's offline picture is grey.
    const ZRect ann = regions[4].rect;
    const auto grey = px((ann.left + ann.right) / 2, (ann.top + ann.bottom) / 2);
    EXPECT_EQ(grey[0], grey[1]);
    EXPECT_EQ(grey[1], grey[2]);
    // Title ink inside the title band.
    const ZRect title = regions[0].rect;
    int ink = 0;
    for (int y = title.top; y < title.bottom; ++y)
        for (int x = title.left; x < title.right; ++x) ink += px(x, y)[0] < 0x80;
    EXPECT_GT(ink, 30);
    if (const char* dir = std::getenv("ZAN_SCREENSHOT_DIR")) {
        const std::string command = std::string("import -window root -crop 300x240+") + std::to_string(at.left) + "+" +
                                    std::to_string(at.top) + " " + dir + "/buddylist.png";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
}

TEST_F(WindowNodeTest, SizesOutsideThePlatformsRangeOpenClampedAndFitFollowsTheChildren) {
    ZLogCapture log;
    makeWindow(5000, 0, {{L"minwidth", L"500"}});
    probe(window, 300, 200);
    update();
    EXPECT_EQ(window->getRect(), (ZRect{100, 100, 1124, 101}));
    EXPECT_EQ(log.count(L"opens within 1 to 1024"), 1);
    window->fit();
    EXPECT_EQ(window->getRect(), (ZRect{100, 100, 400, 300}));
    update();
    EXPECT_EQ(log.count(L"opens within 1 to 1024"), 1);
}

TEST_F(WindowNodeTest, FitOnAWindowNeverUpdatedDoesNothingButWarnOnce) {
    ZLogCapture log;
    // As a Foreach prototype is: in the tree, never updated, so no window.
    window = add<ZWindowNode>(nullptr, L"Window", {{L"id", L"prototype"}, {L"width", L"50"}, {L"height", L"40"}});
    probe(window, 300, 200);
    const ZRect before = window->getRect();
    window->fit();
    EXPECT_EQ(window->getRect(), before);
    EXPECT_EQ(window->getWindow(), nullptr);
    EXPECT_EQ(log.count(L"WARNING Trying to 'fit' window '"), 1);
    EXPECT_EQ(log.count(L"WARNING"), 1);
}
