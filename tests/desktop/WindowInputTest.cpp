#include "ZDesktopTest.h"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <atomic>
#include <thread>

#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZNonPortable.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

// Records every call as a short text, in order.
struct ZEventLog : IZWinListener {
    std::vector<std::string> events;
    std::vector<ZRect> proposed;
    std::wstring pasted;
    int pastes = 0;
    int captionHeight = 0;
    int getNCHITTEST(ZWin*, int, int y) override { return y < captionHeight ? ZHT_CAPTION : ZHT_CLIENT; }
    int onReposition(ZWin*, ZRect* r) override {
        proposed.push_back(*r);
        return 0;
    }
    int onKeyDown(ZWin*, int vk) override { return add("down " + std::to_string(vk)); }
    int onKeyUp(ZWin*, int vk) override { return add("up " + std::to_string(vk)); }
    int onKeyPressed(ZWin*, int c) override { return add("char " + std::to_string(c)); }
    int onLButtonDown(ZWin*, int x, int y) override { return add(at("ldown", x, y)); }
    int onLButtonUp(ZWin*, int x, int y) override { return add(at("lup", x, y)); }
    int onLButtonDblClk(ZWin*, int x, int y) override { return add(at("ldbl", x, y)); }
    int onRButtonDown(ZWin*, int x, int y) override { return add(at("rdown", x, y)); }
    int onPaste(ZWin*, const std::wstring& text) override {
        pasted = text;
        ++pastes;
        return 0;
    }
    int add(const std::string& e) {
        events.push_back(e);
        return 0;
    }
    static std::string at(const char* what, int x, int y) {
        return std::string(what) + " " + std::to_string(x) + "," + std::to_string(y);
    }
    bool has(const std::string& e) const { return std::find(events.begin(), events.end(), e) != events.end(); }
};

// A shown window of 200 x 100 at (100, 100), painted opaque.
struct ZShownWindow {
    ZEventLog listener;
    ZWin* w = nullptr;
    explicit ZShownWindow(int captionHeight = 0) {
        listener.captionHeight = captionHeight;
        w = ZWinOpen(L"input", ZRect{100, 100, 300, 200}, false, &listener);
        std::vector<unsigned char> pixels(200 * 100 * 4, 0xFF);
        ZWinRepaint(w, 200, 100, pixels.data(), 255);
        ZWinShow(w);
        ZPumpUntil([&] { return ZIsViewable(w->window); });
    }
    ~ZShownWindow() { ZWinClose(w); }
};

void fakeMotion(int x, int y) {
    XTestFakeMotionEvent(_ZX11Display(), DefaultScreen(_ZX11Display()), x, y, 0);
    XFlush(_ZX11Display());
}
void fakeButton(unsigned button, bool down) {
    XTestFakeButtonEvent(_ZX11Display(), button, down ? True : False, 0);
    XFlush(_ZX11Display());
}
void fakeKey(KeySym keysym, bool down) {
    XTestFakeKeyEvent(_ZX11Display(), XKeysymToKeycode(_ZX11Display(), keysym), down ? True : False, 0);
    XFlush(_ZX11Display());
}
void tapKey(KeySym keysym) {
    fakeKey(keysym, true);
    fakeKey(keysym, false);
}

// Owns CLIPBOARD on its own connection and answers UTF8_STRING requests.
class ZClipboardOwner {
public:
    explicit ZClipboardOwner(std::string text) : _text(std::move(text)) {
        _display = XOpenDisplay(nullptr);
        _window = XCreateSimpleWindow(_display, DefaultRootWindow(_display), 0, 0, 1, 1, 0, 0, 0);
        XSetSelectionOwner(_display, XInternAtom(_display, "CLIPBOARD", False), _window, CurrentTime);
        XSync(_display, False);
        _thread = std::thread([this] { serve(); });
    }
    ~ZClipboardOwner() {
        _stop = true;
        _thread.join();
        XDestroyWindow(_display, _window);
        XCloseDisplay(_display);
    }

private:
    void serve() {
        const Atom utf8 = XInternAtom(_display, "UTF8_STRING", False);
        while (!_stop) {
            while (XPending(_display)) {
                XEvent e;
                XNextEvent(_display, &e);
                if (e.type != SelectionRequest) continue;
                XSelectionEvent reply{};
                reply.type = SelectionNotify;
                reply.requestor = e.xselectionrequest.requestor;
                reply.selection = e.xselectionrequest.selection;
                reply.target = e.xselectionrequest.target;
                reply.time = e.xselectionrequest.time;
                reply.property = None;
                if (e.xselectionrequest.target == utf8) {
                    XChangeProperty(_display, reply.requestor, e.xselectionrequest.property, utf8, 8,
                                    PropModeReplace, reinterpret_cast<const unsigned char*>(_text.data()),
                                    static_cast<int>(_text.size()));
                    reply.property = e.xselectionrequest.property;
                }
                XSendEvent(_display, reply.requestor, False, 0, reinterpret_cast<XEvent*>(&reply));
                XFlush(_display);
            }
            std::this_thread::yield();
        }
    }
    std::string _text;
    Display* _display = nullptr;
    Window _window = 0;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

void pressCtrlV(ZShownWindow& s) {
    XSetInputFocus(_ZX11Display(), s.w->window, RevertToParent, CurrentTime);
    fakeKey(XK_Control_L, true);
    tapKey(XK_v);
    fakeKey(XK_Control_L, false);
}

}  // namespace

TEST(ZWinInput, ClicksArriveInWindowCoordinatesWithTheDoubleClickInTheSystemOrder) {
    ZREQUIRE_DISPLAY();
    ZShownWindow s;
    fakeMotion(130, 140);
    fakeButton(1, true);
    fakeButton(1, false);
    fakeButton(1, true);
    fakeButton(1, false);
    fakeButton(3, true);
    fakeButton(3, false);
    ASSERT_TRUE(ZPumpUntil([&] { return s.listener.events.size() >= 5; }));
    const std::vector<std::string> expected = {"ldown 30,40", "lup 30,40", "ldbl 30,40", "lup 30,40", "rdown 30,40"};
    EXPECT_EQ(s.listener.events, expected);
}

TEST(ZWinInput, PressAndDragOnTheCaptionMovesTheWindowAndReportsTheProposedRectangle) {
    ZREQUIRE_DISPLAY();
    ZShownWindow s(20);
    fakeMotion(110, 105);
    fakeButton(1, true);
    fakeMotion(160, 145);
    fakeButton(1, false);
    const ZRect moved{150, 140, 350, 240};
    ZRect r;
    ASSERT_TRUE(ZPumpUntil([&] { return ZWinGetScreenPosition(s.w, r), r == moved; })) << r.serialize();
    EXPECT_TRUE(ZCONTAINS(s.listener.proposed, moved));
    EXPECT_TRUE(s.listener.events.empty()) << "a caption press is not a client click";
}

TEST(ZWinInput, KeysArriveAsVirtualKeysAndCharactersAsTheSystemProducesThem) {
    ZREQUIRE_DISPLAY();
    ZShownWindow s;
    fakeMotion(150, 150);
    XSetInputFocus(_ZX11Display(), s.w->window, RevertToParent, CurrentTime);
    tapKey(XK_a);
    tapKey(XK_Return);
    tapKey(XK_BackSpace);
    tapKey(XK_Escape);
    ASSERT_TRUE(ZPumpUntil([&] { return s.listener.has("up 27"); }));
    const std::vector<std::string> expected = {"down 65", "char 97", "up 65",  "down 13", "char 13", "up 13",
                                               "down 8",  "char 8",  "up 8",   "down 27", "char 27", "up 27"};
    EXPECT_EQ(s.listener.events, expected);
}

TEST(ZWinInput, CtrlVPastesTheClipboardTextAndNothingWithoutAnOwner) {
    ZREQUIRE_DISPLAY();
    ZShownWindow s;
    fakeMotion(150, 150);
    {
        ZClipboardOwner owner("h\xC3\xA9llo");
        pressCtrlV(s);
        ASSERT_TRUE(ZPumpUntil([&] { return s.listener.pastes > 0; }));
        EXPECT_EQ(s.listener.pasted, L"h\u00E9llo");
        EXPECT_FALSE(s.listener.has("char 22")) << "Ctrl+V is the paste command, not a character";
    }
    XSetSelectionOwner(_ZX11Display(), _ZX11Atom("CLIPBOARD"), None, CurrentTime);
    pressCtrlV(s);
    ASSERT_TRUE(ZPumpUntil([&] { return s.listener.has("up 17") && s.listener.events.size() >= 8; }));
    XSync(_ZX11Display(), False);  // the refusal of a conversion without an owner is queued by now
    _ZX11Pump();
    EXPECT_EQ(s.listener.pastes, 1);
}
