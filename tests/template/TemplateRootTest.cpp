// The template root under the test X server: node lookup, the passes a
// store change runs, the work area, the popup menu of a menu text, and
// the hotkey the root registers at start.
#include <gtest/gtest.h>

#include <X11/extensions/XTest.h>

#include <functional>
#include <map>

#include "../../libzan/src/ZNonPortable_TrayRecord.h"
#include "../../libzan/src/ZNonPortable_X11.h"
#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZTemplateTestSupport.h"

using namespace zantest;

namespace {

// Ends the loop after the time, or when asked.
struct LoopLimit : IZTimerListener {
    explicit LoopLimit(std::int64_t microseconds) : timer(ZTimerOpen(microseconds, this)) {}
    ~LoopLimit() override { ZTimerClose(timer); }
    void onTimer(ZTimer*) override { ZWinPostQuit(0); }
    ZTimer* timer;
};

void runLoop(std::int64_t microseconds) {
    LoopLimit limit(microseconds);
    bool restart = false;
    while (ZWinUpdate(&restart)) {
    }
}

// Calls the function once from inside the loop.
struct Once : IZTimerListener {
    explicit Once(std::function<void()> run) : run(std::move(run)), timer(ZTimerOpen(10000, this)) {}
    ~Once() override {
        if (timer) ZTimerClose(timer);
    }
    void onTimer(ZTimer*) override {
        ZTimerClose(timer);
        timer = nullptr;
        run();
    }
    std::function<void()> run;
    ZTimer* timer;
};

// Runs the command from inside the loop; a timer ticking inside the nested
// menu loop clicks the entry with XTest. The menu's lines.
std::vector<std::wstring> pickFromMenu(int entry, std::function<void()> command) {
    ZSystemSetCursorPosition(400, 500);
    struct Clicker : IZTimerListener {
        int entry = 0;
        int ticks = 0;
        std::vector<std::wstring> lines;
        void onTimer(ZTimer*) override {
            if (++ticks != 3) return;
            _ZPopup* menu = _ZMenuCurrent();
            if (!menu) return;
            lines = menu->lines;
            Window child;
            int x = 0, y = 0;
            Display* d = _ZX11Display();
            XTranslateCoordinates(d, menu->window, DefaultRootWindow(d), 0, 0, &x, &y, &child);
            XTestFakeMotionEvent(d, DefaultScreen(d), x + 10,
                                 y + 4 + entry * menu->lineHeight + menu->lineHeight / 2, 0);
            XTestFakeButtonEvent(d, 1, True, 0);
            XTestFakeButtonEvent(d, 1, False, 0);
            XFlush(d);
        }
    } clicker;
    clicker.entry = entry;
    ZTimer* ticker = ZTimerOpen(100000, &clicker);
    Once run([&] {
        command();
        ZWinPostQuit(0);
    });
    runLoop(5000000);
    ZTimerClose(ticker);
    return clicker.lines;
}

}  // namespace

class TemplateRootTest : public TemplateRootFixture {};

TEST_F(TemplateRootTest, GetNodeResolvesSkinAndRelativePaths) {
    load();
    ZTemplateNode* title = node(L"window_login/text_title");
    ZTemplateNode* edit = node(L"window_login/edit_name");
    ASSERT_TRUE(title && edit);
    ZLogCapture log;
    EXPECT_EQ(tmpl->getNode(L"/skin/window_login/text_title", nullptr), title);
    EXPECT_EQ(tmpl->getNode(L"/SKIN/Window_Login/", nullptr), node(L"window_login"));
    EXPECT_EQ(tmpl->getNode(L"/skin/window_nowhere", nullptr), nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(tmpl->getNode(L"..", edit), node(L"window_login"));
    EXPECT_EQ(tmpl->getNode(L"../..", edit), tmpl->getRoot());
    EXPECT_EQ(tmpl->getNode(L"../Text_title", edit), title);
    EXPECT_EQ(tmpl->getNode(L"../x", tmpl->getRoot()), nullptr);
    EXPECT_TRUE(log.contains(L"WARNING Requesting non-existent node '../x', ignoring."));
    EXPECT_EQ(tmpl->getNode(L"./x", edit), nullptr);
    EXPECT_TRUE(log.contains(L"WARNING Requesting non-existent node './x', ignoring."));
    EXPECT_EQ(tmpl->getNode(L"../text_title", nullptr), nullptr);
    EXPECT_ZABORT(tmpl->getNode(L"", nullptr));
}

TEST_F(TemplateRootTest, AStoreChangeRunsOneUpdateAndRendersOnlyOnAChange) {
    load("<skin><Text watch=\"Shown_Value\" changed=\"$Show_Change\" probe=\"$shown_value\"/></skin>");
    EXPECT_EQ(tmpl->updateCount(), 1);
    EXPECT_EQ(tmpl->renderCount(), 0);

    nodeJournal().clear();
    instance->set(L"Shown_Value", std::wstring(L"one"), false);
    runLoop(200000);
    EXPECT_EQ(tmpl->updateCount(), 2);
    EXPECT_EQ(tmpl->renderCount(), 0);
    EXPECT_NE(std::find(nodeJournal().begin(), nodeJournal().end(), L"Text probe=one"), nodeJournal().end());

    instance->set(L"Show_Change", std::wstring(L"1"), false);  // not watched: no pass
    instance->set(L"Shown_Value", std::wstring(L"two"), false);
    runLoop(200000);
    EXPECT_EQ(tmpl->updateCount(), 3);
    EXPECT_EQ(tmpl->renderCount(), 1);

    // "refresh" updates one subtree with refresh set.
    nodeJournal().clear();
    tmpl->executeCommand(L"(/skin/text?refresh)", nullptr);
    EXPECT_EQ(tmpl->updateCount(), 4);
    instance->set(L"Show_Change", std::wstring(L"0"), false);
}

TEST_F(TemplateRootTest, WorkAreaVariablesFollowTheDesktop) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "the root tests run under the test X server";
    load("<skin><Text probe=\"{$screenleft},{$screentop},{$screenright},{$screenbottom} "
         "{$screenwidth}x{$screenheight} $path $refresh\"/></skin>");
    ZRect area;
    ASSERT_TRUE(ZSystemGetWorkArea(area));
    ASSERT_GT(area.right, area.left);
    std::wstring expected = L"Text probe=";
    expected << area.left << L"," << area.top << L"," << area.right << L"," << area.bottom << L" "
             << (area.right - area.left) << L"x" << (area.bottom - area.top) << L" /skin/Text ";
    auto probe = [] {
        for (const auto& entry : nodeJournal())
            if (entry.rfind(L"Text probe=", 0) == 0) return entry;
        return std::wstring();
    };
    EXPECT_EQ(probe(), expected);
    nodeJournal().clear();
    tmpl->executeCommand(L"(/skin/text?refresh)", nullptr);
    EXPECT_EQ(probe(), expected + L"true");
}

TEST_F(TemplateRootTest, AMenuTextOffersItsLabelsAndRunsOnlyThePickedEntry) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "the root tests run under the test X server";
    ASSERT_NE(_ZX11Display(), nullptr);
    load();
    ZSystemSetCursorPosition(400, 500);
    const std::vector<std::wstring> lines = pickFromMenu(1, [&] {
        tmpl->executeCommand(L"Talk(/system?set+name=Picked_A+value=1);Call(/system?set+name=Picked_B+value=1);",
                             nullptr);
    });
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"Talk", L"Call"}));
    EXPECT_FALSE(instance->isSet(L"Picked_A"));
    EXPECT_EQ(instance->get(L"Picked_B"), L"1");
}

TEST_F(TemplateRootTest, ShowWindowOffersTheTitledWindowsAndSharesThePickedOne) {
    ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "the root tests run under the test X server";
    load();
    // Three titled windows of another program, on a connection of their own.
    Display* other = XOpenDisplay(nullptr);
    ASSERT_NE(other, nullptr);
    std::vector<Window> windows;
    for (const char* title : {"One", "Two (draft)", "Three"}) {
        Window w = XCreateSimpleWindow(other, DefaultRootWindow(other), 10, 10 + 50 * windows.size(), 200, 40, 0, 0, 0);
        XStoreName(other, w, title);
        XMapWindow(other, w);
        windows.push_back(w);
    }
    XSync(other, False);
    // A window manager frames and maps them when it gets to it.
    std::map<std::uint32_t, std::wstring> listed;
    const auto allListed = [&] {
        for (Window w : windows)
            if (!listed.count(static_cast<std::uint32_t>(w))) return false;
        return true;
    };
    for (int tries = 0; tries < 100 && (ZScreenGetWindowList(listed), !allListed()); ++tries) ZThreadSleep(50000);
    ASSERT_TRUE(allListed());
    std::vector<std::wstring> expected;
    std::uint32_t secondId = 0;
    for (const auto& [id, title] : listed) {
        expected.push_back(L"Show '" + ZRemoveChars(title, L"()") + L"'");
        if (expected.size() == 2) secondId = id;
    }
    ASSERT_GE(expected.size(), 3u);  // and whatever titled windows the desktop has
    const std::vector<std::wstring> lines =
        pickFromMenu(1, [&] { tmpl->executeCommand(L"(/buddies/b?showwindow)", nullptr); });
    EXPECT_EQ(lines, expected);
    std::string item;
    ASSERT_TRUE(instance->dequeue(L"b_commandQueue", item));
    ZHTTPHeaders broadcast;
    broadcast.deserialize(item);
    ZHTTPHeaders share;
    ASSERT_TRUE(broadcast.hasContent());
    share.deserialize(broadcast.getContent(0));
    EXPECT_EQ(share.getMethod(), L"SHARESCREEN");
    EXPECT_EQ(share.get(L"Window-ID"), std::to_wstring(secondId));
    XCloseDisplay(other);

    listed.clear();
    if (ZScreenGetWindowList(listed) && listed.empty()) {
        ZLogCapture log;
        tmpl->executeCommand(L"(/buddies/b?showwindow)", nullptr);
        EXPECT_TRUE(log.contains(L"WARNING Cannot share window because no windows found, ignoring."));
    }
}

TEST_F(TemplateRootTest, StartRegistersTheTalkAgainHotkeyAndKeepsAFailedCombination) {
    instance->set(L"Talk_Again_Hotkey", std::wstring(L"CONTROL+NOSUCHKEY"), true);
    load();
    EXPECT_EQ(instance->get(L"Misc_Hotkey_List"), L"Talk_Again");
    EXPECT_EQ(instance->get(L"Working_Hotkey"), L"    (click here and press keys)");
    EXPECT_EQ(instance->get(L"Talk_Again_Hotkey"), L"CONTROL+NOSUCHKEY");
    EXPECT_EQ(instance->get(L"Talk_Again_Hotkey_Status"), L"<key combination in use>");

    // A buddy's hotkey chosen in a table: registered and kept, then cleared.
    instance->set(L"Working_Hotkey", std::wstring(L"CONTROL+SHIFT+F9"), false);
    tmpl->executeCommand(L"(/system?assignhotkey)", node(L"table_buddies"));
    EXPECT_EQ(instance->get(L"kim_Hotkey"), L"CONTROL+SHIFT+F9");
    EXPECT_FALSE(instance->isSet(L"kim_Hotkey_Status"));
    tmpl->executeCommand(L"(/system?clearhotkey+name=kim)", nullptr);
    EXPECT_FALSE(instance->isSet(L"kim_Hotkey"));
}
