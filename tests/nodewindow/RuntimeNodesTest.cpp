// Nodes that come and go or talk to the keyboard and the window frame, in
// real X11 windows under Xvfb with XTest input: a foreach copy removed under
// the pointer and the focus, the hotkey field held by real keys, and an input
// edge resizing the window.
#include <functional>

#include "../desktop/ZDesktopTest.h"
#include "../nodes/ZNodeTestKit.h"
#include "../platform/ZPlatformTestSupport.h"
#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZWindowLoop.h"
#include "ZForeachNode.h"
#include "ZHotkeyNode.h"
#include "ZInputNode.h"
#include "ZNonPortable.h"
#include "ZWindowNode.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

using namespace zantest;

namespace {

void key(KeySym keysym, bool down) {
    XTestFakeKeyEvent(_ZX11Display(), XKeysymToKeycode(_ZX11Display(), keysym), down ? True : False, 0);
    XFlush(_ZX11Display());
}

class RuntimeNodesTest : public NodeTest {
protected:
    void SetUp() override { ZREQUIRE_DISPLAY(); }
    // A window at (100, 100) with a white background.
    ZWindowNode* makeWindow(int width, int height) {
        window = add<ZWindowNode>(nullptr, L"Window", {{L"id", L"test"}, {L"x", L"100"}, {L"y", L"100"}});
        window->setAttribute(L"width", std::to_wstring(width));
        window->setAttribute(L"height", std::to_wstring(height));
        add(window, L"Gradient", {{L"from", L"#FFFFFFFF"}, {L"to", L"#FFFFFFFF"}});
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
    // Keys go to the window from now on.
    void takeKeyboard() {
        XSetInputFocus(_ZX11Display(), window->getWindow()->window, RevertToNone, CurrentTime);
        ASSERT_TRUE(runUntil([&] { return ZWinHasKeyFocus(window->getWindow()); }, 2000));
    }
    void click(int x, int y) {
        motion(x, y);
        runFor(50);
        button(true);
        runFor(30);
        button(false);
        runFor(50);
    }
    // Pixels of the window as shown whose red is below half (text and frames
    // on the white background), inside rect (window coordinates).
    int ink(const ZRect& rect) {
        XImage* image = XGetImage(_ZX11Display(), window->getWindow()->window, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, AllPlanes, ZPixmap);
        if (!image) return -1;
        int count = 0;
        for (int y = 0; y < rect.bottom - rect.top; ++y)
            for (int x = 0; x < rect.right - rect.left; ++x) count += ((XGetPixel(image, x, y) >> 16) & 0xFF) < 0x80;
        XDestroyImage(image);
        return count;
    }

    ZPlatformScope platform;
    ZWindowNode* window = nullptr;
};

}  // namespace

TEST_F(RuntimeNodesTest, ACopyRemovedUnderThePointerAndFocusTakesNoEventAndVanishesFromScreen) {
    // The foreach's copies fill the top half, a field of its own the bottom.
    makeWindow(200, 100);
    auto* foreach = add<ZForeachNode>(add(window, L"Cell", {{L"fixedheight", L"50"}}), L"Foreach",
                                      {{L"list", L"Rows"}, {L"as", L"name"}});
    add(foreach, L"Hotkey", {{L"var", L"Row_Hotkey_$name"}, {L"outer", L"2"}, {L"font", L"12,x,#000000"}});
    auto* own = add<ZHotkeyNode>(add(window, L"Cell", {{L"fixedheight", L"50"}, {L"y", L"50"}}), L"Hotkey",
                                 {{L"var", L"Own_Hotkey"}, {L"outer", L"2"}, {L"font", L"12,x,#000000"}});
    instance.set(L"Rows", L"a", false);
    show();
    ASSERT_EQ(foreach->getChildren().size(), 2u);
    auto* copy = dynamic_cast<ZHotkeyNode*>(foreach->getChildren()[1]);
    ASSERT_NE(copy, nullptr);
    const ZRect frame{0, 0, 200, 50};  // the copy's frame runs inside this band
    const ZRect at = screenRect();
    takeKeyboard();

    // Hover and focus on the copy, then its item goes.
    click(at.left + 100, at.top + 25);
    ASSERT_TRUE(runUntil([&] { return window->getKeyFocus() == copy && window->getMouseover() == copy; }, 2000));
    ASSERT_TRUE(runUntil([&] { return ink(frame) > 0; }, 2000));
    instance.set(L"Rows", L"", false);
    ASSERT_TRUE(runUntil([&] { return foreach->getChildren().size() == 1; }, 2000));
    EXPECT_EQ(window->getKeyFocus(), nullptr);
    EXPECT_EQ(window->getMouseover(), nullptr);
    motion(at.left + 110, at.top + 30);
    runFor(50);
    key(XK_Tab, true);
    runFor(50);
    key(XK_Tab, false);
    runFor(100);
    EXPECT_EQ(window->getNCHITTEST(nullptr, 100, 25), ZHT_CAPTION);
    EXPECT_TRUE(runUntil([&] { return ink(frame) == 0; }, 2000));

    // A new copy under the pointer while the window's own field has the
    // focus: removing it leaves that focus alone.
    instance.set(L"Rows", L"b", false);
    ASSERT_TRUE(runUntil([&] { return ink(frame) > 0; }, 2000));
    copy = dynamic_cast<ZHotkeyNode*>(foreach->getChildren()[1]);
    click(at.left + 100, at.top + 75);
    motion(at.left + 100, at.top + 25);
    ASSERT_TRUE(runUntil([&] { return window->getKeyFocus() == own && window->getMouseover() == copy; }, 2000));
    instance.set(L"Rows", L"", false);
    ASSERT_TRUE(runUntil([&] { return foreach->getChildren().size() == 1; }, 2000));
    EXPECT_EQ(window->getKeyFocus(), own);
    EXPECT_EQ(window->getMouseover(), nullptr);
    motion(at.left + 90, at.top + 20);
    key(XK_Tab, true);
    EXPECT_TRUE(runUntil([&] { return own->getText() == L"TAB"; }, 2000)) << ZToUTF8(own->getText());
    key(XK_Tab, false);
    EXPECT_TRUE(runUntil([&] { return ink(frame) == 0; }, 2000));
}

TEST_F(RuntimeNodesTest, AHotkeyFieldCapturesHeldKeys) {
    makeWindow(300, 40);
    auto* field = add<ZHotkeyNode>(window, L"Hotkey",
                                   {{L"var", L"Working_Hotkey"}, {L"font", L"16,x,#000000"}, {L"inner", L"2"},
                                    {L"outer", L"2"}});
    show();
    takeKeyboard();
    const ZRect at = screenRect();
    click(at.left + 150, at.top + 20);
    ASSERT_TRUE(runUntil([&] { return window->getKeyFocus() == field; }, 2000));
    const ZRect text{5, 5, 295, 35};  // inside the frame
    struct Press {
        KeySym key;
        const wchar_t* shown;
    } presses[] = {{XK_Shift_L, L"SHIFT"}, {XK_Control_L, L"SHIFT+CONTROL"}, {XK_a, L"SHIFT+CONTROL+A"}};
    for (const Press& press : presses) {
        key(press.key, true);
        EXPECT_TRUE(runUntil([&] { return field->getText() == press.shown; }, 2000)) << ZToUTF8(press.shown);
    }
    // Let go of all three at once: the window handles the releases when
    // nothing is held any more.
    key(XK_Shift_L, false);
    key(XK_a, false);
    key(XK_Control_L, false);
    runFor(200);
    EXPECT_EQ(field->getText(), L"SHIFT+CONTROL+A");
    EXPECT_EQ(instance.get(L"Working_Hotkey"), L"SHIFT+CONTROL+A");
    int combination = 0;
    EXPECT_TRUE(runUntil([&] { return (combination = ink(text)) > 0; }, 2000));

    // Space alone is a new sequence: shorter, and still the one kept.
    key(XK_space, true);
    EXPECT_TRUE(runUntil([&] { return field->getText() == L"SPACE"; }, 2000));
    key(XK_space, false);
    runFor(200);
    EXPECT_EQ(instance.get(L"Working_Hotkey"), L"SPACE");
    int space = 0;
    EXPECT_TRUE(runUntil([&] { return (space = ink(text)) > 0 && space < combination; }, 2000))
        << space << " ink pixels for SPACE, " << combination << " for SHIFT+CONTROL+A";
}

TEST_F(RuntimeNodesTest, ACornerEdgeResizesTheWindowOnABareServer) {
    makeWindow(200, 150);
    // A 16 x 16 edge in the lower right corner.
    auto* edge = add<ZInputNode>(add(window, L"Cell", {{L"align", L"right"}, {L"valign", L"bottom"}}), L"Input");
    add(edge, L"Cell", {{L"fixedwidth", L"16"}, {L"fixedheight", L"16"}});
    show();
    struct Case {
        const wchar_t* edge;
        int code;
    } cases[] = {{L"BottomRight", ZHT_BOTTOMRIGHT}, {L"left", ZHT_LEFT}, {L"middle", ZHT_CLIENT}, {L"", ZHT_CLIENT},
                 {L"bottomright", ZHT_BOTTOMRIGHT}};
    for (const Case& c : cases) {
        edge->setAttribute(L"edge", c.edge);
        update();
        EXPECT_EQ(window->getNCHITTEST(nullptr, 195, 145), c.code) << ZToUTF8(c.edge);
    }
    EXPECT_EQ(window->getNCHITTEST(nullptr, 180, 145), ZHT_CAPTION);  // beside the edge

    const ZRect at = screenRect();
    motion(at.left + 192, at.top + 142);
    runFor(50);
    button(true);
    runFor(50);
    motion(at.left + 212, at.top + 157);
    runFor(50);
    motion(at.left + 232, at.top + 172);
    runFor(50);
    button(false);
    ASSERT_TRUE(runUntil([&] { return screenRect().right - screenRect().left == 240; }, 2000));
    EXPECT_EQ(screenRect().bottom - screenRect().top, 180);
    EXPECT_EQ(screenRect().left, at.left);
    EXPECT_EQ(window->getRect().right - window->getRect().left, 240);
    // Redrawn at the new size: the edge sits in the new corner.
    EXPECT_TRUE(runUntil([&] { return window->getNCHITTEST(nullptr, 235, 175) == ZHT_BOTTOMRIGHT; }, 2000));
}
