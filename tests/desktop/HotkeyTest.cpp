#include "ZDesktopTest.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <set>

#include "../platform/ZPlatformTestSupport.h"
#include "ZNonPortable.h"
#include "ZNonPortable_Hotkey.h"
#include "ZPortable_Text.h"
#include "../../libzan/src/ZNonPortable_Loop.h"
#include "ZTestSupport.h"

int _ZSystemKeyNameCount();

namespace {

void fakeKey(KeySym keysym, bool down) {
    XTestFakeKeyEvent(_ZX11Display(), XKeysymToKeycode(_ZX11Display(), keysym), down ? True : False, 0);
    XSync(_ZX11Display(), False);
}

// Before a combination is pressed: no key is still down (a test before may
// have ended holding one) and no program holds the keyboard in a grab of its
// own, which would take the press before the hotkey's grab could.
void readyKeyboard() {
    Display* d = _ZX11Display();
    char keys[32];
    XQueryKeymap(d, keys);
    for (int code = 8; code < 256; ++code)
        if (keys[code / 8] & (1 << (code % 8))) XTestFakeKeyEvent(d, static_cast<unsigned>(code), False, 0);
    for (int tries = 0; tries < 200; ++tries) {
        if (XGrabKeyboard(d, DefaultRootWindow(d), False, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess)
            break;
        ZThreadSleep(10000);
    }
    XUngrabKeyboard(d, CurrentTime);
    XSync(d, False);
}

// Counts hotkey events and can end the loop on one.
struct ZHotkeyEvents : IZSystemListener {
    std::vector<std::string> events;
    std::int64_t lastUpTime = 0;
    std::function<void()> onDown, onUp;
    void onSuspend() override {}
    void onResume() override {}
    void onHotkeyDown(ZHotkey*, const std::wstring& name) override {
        events.push_back("down " + ZToUTF8(name));
        if (onDown) onDown();
    }
    void onHotkeyUp(ZHotkey*, const std::wstring& name) override {
        events.push_back("up " + ZToUTF8(name));
        lastUpTime = _ZLoopClock();
        if (onUp) onUp();
    }
};

// Runs a call on the UI loop after a delay.
struct ZLater : IZTimerListener {
    std::function<void()> call;
    ZTimer* timer;
    ZLater(std::int64_t after, std::function<void()> c) : call(std::move(c)), timer(ZTimerOpen(after, this)) {}
    ~ZLater() override { ZTimerClose(timer); }
    void onTimer(ZTimer*) override {
        if (call) call();
        call = nullptr;
    }
};

}  // namespace

TEST(ZKeyNames, TableHas152NamesThatReadBackToTheirCodes) {
    EXPECT_EQ(_ZSystemKeyNameCount(), 152);
    std::set<std::wstring> seen;
    for (int code = 0; code < 256; ++code) {
        const std::wstring name = ZSystemKeyCodeToName(code);
        if (name == L"<unknown>") continue;
        EXPECT_TRUE(seen.insert(name).second) << ZToUTF8(name);
        EXPECT_EQ(ZSystemKeyNameToCode(name), static_cast<unsigned>(code)) << ZToUTF8(name);
    }
    EXPECT_EQ(seen.size(), 152u + 26u + 10u);
}

TEST(ZKeyNames, NamesAndCodesFollowTheTable) {
    const struct {
        int code;
        const wchar_t* name;
    } codeToName[] = {{0x67, L"<unknown>"}, {0x41, L"A"},        {0xBB, L"+"},
                      {0xDC, L"\\"},        {0xC0, L"`"},        {0xDE, L"'"},
                      {0x92, L"OEM_FJ_JISHO   "}, {0x93, L"OEM_FJ_MASSHOU "}, {0x14, L"CAPS"},
                      {0x2A, L"<unknown>"}, {0x91, L"<unknown>"}, {0x35, L"5"},
                      {0x00, L"<unknown>"}, {0xFF, L"<unknown>"}, {-1, L"<unknown>"}};
    for (const auto& row : codeToName) EXPECT_EQ(ZSystemKeyCodeToName(row.code), row.name) << row.code;
    const struct {
        const wchar_t* name;
        unsigned code;
    } nameToCode[] = {{L"NUMPAD8", 0x68}, {L"NUMPAD7", 0},   {L"a", 0},      {L"A", 0x41},
                      {L"control", 0x11}, {L"f5", 0x74},     {L"9", 0x39},   {L"", 0},
                      {L"SPAC", 0},       {L"SPACEX", 0},    {L"caps", 0x14}, {L"OEM_FJ_JISHO", 0}};
    for (const auto& row : nameToCode) EXPECT_EQ(ZSystemKeyNameToCode(row.name), row.code) << ZToUTF8(row.name);
}

TEST(ZHotkey, RegistersKeyAndModifiersFromTheTextAndRefusesTextsWithoutAKey) {
    ZREQUIRE_DISPLAY();
    ZHotkey* first = ZSystemHotkeyOpen(L"CONTROL+SPACE", L"PushToTalk");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->modifiers, ZMOD_CONTROL);
    EXPECT_EQ(first->virtualKey, 0x20u);
    EXPECT_EQ(first->id, 0);
    EXPECT_EQ(first->name, L"PushToTalk");
    ZSystemHotkeyClose(first);
    ZHotkey* second = ZSystemHotkeyOpen(L" shift , menu\t+ lwin + F9 ", L"Other");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->modifiers, ZMOD_SHIFT | ZMOD_ALT | ZMOD_WIN);
    EXPECT_EQ(second->virtualKey, 0x78u);
    EXPECT_EQ(second->id, 1) << "ids are never reused";
    ZSystemHotkeyClose(second);
    // A text without a key would grab every key of the desktop.
    for (const wchar_t* text : {L"", L"+,", L"CONTROL+a", L"SHIFT", L"NOSUCHKEY"})
        EXPECT_EQ(ZSystemHotkeyOpen(text, L"x"), nullptr) << ZToUTF8(text);
    ZLogCapture log;
    EXPECT_ZABORT(ZSystemHotkeyClose(nullptr));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (hotkey)"));
}

TEST(ZHotkey, AKeyTakenByAnotherProgramIsRefused) {
    ZREQUIRE_DISPLAY();
    Display* other = XOpenDisplay(nullptr);
    ASSERT_NE(other, nullptr);
    XGrabKey(other, XKeysymToKeycode(other, XK_F7), ControlMask, DefaultRootWindow(other), False, GrabModeAsync,
             GrabModeAsync);
    XSync(other, False);
    // Ids are the process's: whatever earlier tests took, the next is one on.
    ZHotkey* before = ZSystemHotkeyOpen(L"CONTROL+F8", L"before");
    ASSERT_NE(before, nullptr);
    const int next = before->id + 1;
    ZSystemHotkeyClose(before);
    {
        ZLogCapture log;
        EXPECT_EQ(ZSystemHotkeyOpen(L"CONTROL+F7", L"taken"), nullptr);
        EXPECT_EQ(log.count(L"] WARNING Hotkey 'CONTROL+F7' is taken by another program, ignoring.\n"), 1);
        EXPECT_EQ(log.lines().size(), 1u);
    }
    XCloseDisplay(other);
    ZHotkey* free = ZSystemHotkeyOpen(L"CONTROL+F7", L"free");
    ASSERT_NE(free, nullptr);
    EXPECT_EQ(free->id, next) << "a refused registration uses no id";
    ZSystemHotkeyClose(free);
}

TEST(ZHotkey, HeldCombinationGivesOnePressAndOneReleaseSoonAfter) {
    ZREQUIRE_DISPLAY();
    ZPlatformScope platform;
    ZHotkeyEvents listener;
    ZSystemRegisterListener(&listener);
    ZHotkey* hotkey = ZSystemHotkeyOpen(L"CONTROL+SPACE", L"PushToTalk");
    ASSERT_NE(hotkey, nullptr);
    std::int64_t releasedAt = 0;
    std::unique_ptr<ZLater> release;
    listener.onDown = [&] {
        // Auto-repeat of the held key, then the release.
        fakeKey(XK_space, true);
        fakeKey(XK_space, true);
        release = std::make_unique<ZLater>(150000, [&] {
            fakeKey(XK_space, false);
            releasedAt = _ZLoopClock();
        });
    };
    listener.onUp = [] { ZWinPostQuit(0); };
    ZLater press(20000, [] {
        readyKeyboard();
        fakeKey(XK_Control_L, true);
        fakeKey(XK_space, true);
    });
    EXPECT_TRUE(ZRunLoop(5000000));
    fakeKey(XK_Control_L, false);
    EXPECT_EQ(listener.events, (std::vector<std::string>{"down PushToTalk", "up PushToTalk"}));
    EXPECT_GT(releasedAt, 0);
    EXPECT_LE(listener.lastUpTime - releasedAt, 500000) << "the release is seen on the next ticks";
    ZSystemHotkeyClose(hotkey);
    ZSystemResignListener(&listener);
}

TEST(ZHotkey, ClosingAPressedHotkeyEndsItWithoutARelease) {
    ZREQUIRE_DISPLAY();
    ZPlatformScope platform;
    ZHotkeyEvents listener;
    ZSystemRegisterListener(&listener);
    ZHotkey* hotkey = ZSystemHotkeyOpen(L"CONTROL+SPACE", L"PushToTalk");
    ASSERT_NE(hotkey, nullptr);
    std::unique_ptr<ZLater> end;
    listener.onDown = [&] {
        ZSystemHotkeyClose(hotkey);
        fakeKey(XK_space, false);
        fakeKey(XK_Control_L, false);
        // Several release polls run before the loop ends.
        end = std::make_unique<ZLater>(350000, [] { ZWinPostQuit(0); });
    };
    ZLater press(20000, [] {
        readyKeyboard();
        fakeKey(XK_Control_L, true);
        fakeKey(XK_space, true);
    });
    EXPECT_TRUE(ZRunLoop(5000000));
    EXPECT_EQ(listener.events, (std::vector<std::string>{"down PushToTalk"}));
    ZSystemResignListener(&listener);
}

TEST(ZHotkey, KeysPressedNameTheModifiersThenTheLowestKey) {
    ZREQUIRE_DISPLAY();
    const struct {
        std::vector<KeySym> held;
        const wchar_t* text;
    } rows[] = {
        {{}, L""},
        {{XK_Shift_L, XK_Control_L, XK_F5}, L"SHIFT+CONTROL+F5"},
        {{XK_Control_R}, L"CONTROL"},
        {{XK_b, XK_a}, L"A"},
        {{XK_Alt_L, XK_Super_L, XK_space}, L"LWIN+MENU+SPACE"},
        {{XK_KP_0}, L"INSERT"},  // NumLock is off
        {{XK_Num_Lock, XK_KP_8}, L"NUMPAD8"},  // pressing NumLock turns it on
    };
    for (const auto& row : rows) {
        for (KeySym k : row.held) fakeKey(k, true);
        EXPECT_EQ(ZSystemGetKeysPressed(), row.text);
        for (KeySym k : row.held) fakeKey(k, false);
    }
    fakeKey(XK_Num_Lock, true);
    fakeKey(XK_Num_Lock, false);
}
