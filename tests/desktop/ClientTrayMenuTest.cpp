// The client's tray menu, picked with the pointer under Xvfb: the privacy
// entry flips the mode, and the client's tick leaves its queue alone while
// the menu is open.
#include "ZDesktopTest.h"

#include <X11/extensions/XTest.h>
#include <unistd.h>

#include <memory>

#include "../../libzan/src/ZNonPortable_TrayRecord.h"
#include "../platform/ZPlatformTestSupport.h"
#include "ZClient.h"
#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

namespace {

std::vector<std::wstring> g_commands;

class RecordingTemplate : public IZClientTemplate {
public:
    void executeCommand(const std::wstring& command) override { g_commands.push_back(command); }
    void onHotkeyDown(ZHotkey*, const std::wstring&) override {}
    void onHotkeyUp(ZHotkey*, const std::wstring&) override {}
    void broadcastToBuddy(const std::wstring&, const ZHTTPHeaders&) override {}
    void logCHAT(const std::wstring&, const ZHTTPHeaders&) override {}
};

void clickAt(int x, int y) {
    Display* d = _ZX11Display();
    XTestFakeMotionEvent(d, 0, x, y, 0);
    XTestFakeButtonEvent(d, 1, True, 0);
    XTestFakeButtonEvent(d, 1, False, 0);
    XFlush(d);
}

struct MenuDriver : IZTimerListener {
    ZClient* client = nullptr;
    int ticks = 0;
    void onTimer(ZTimer*) override {
        if (++ticks != 1) return;
        // A right click on the icon: the menu runs inside the client's handler.
        client->onRButtonDown(client->getIcon());
        ZWinPostQuit(0);
    }
};

struct Picker : IZTimerListener {
    ZClient* client = nullptr;
    int ticks = 0;
    bool queueHeld = false;
    std::wstring label;
    void onTimer(ZTimer*) override {
        // A message posted while the menu is open waits for it to close,
        // and a few of the client's ticks pass meanwhile.
        if (++ticks == 1 && _ZMenuCurrent())
            client->getInstance()->enqueue(L"ZClient_commandQueue", ZHTTPHeaders(L"CONNECTED").serialize());
        if (ticks != 5) return;
        _ZPopup* menu = _ZMenuCurrent();
        if (!menu) return;
        queueHeld = client->getInstance()->length(L"ZClient_commandQueue") == 1;
        label = menu->lines.size() > 4 ? menu->lines[4] : L"";
        Window child;
        int x = 0, y = 0;
        XTranslateCoordinates(_ZX11Display(), menu->window, DefaultRootWindow(_ZX11Display()), 0, 0, &x, &y, &child);
        clickAt(x + 10, y + 4 + 4 * menu->lineHeight + menu->lineHeight / 2);
    }
};

// A client with idle services and a recording template, in a folder of its
// own, on the UI loop of the test.
class ClientTray : public testing::Test {
protected:
    void SetUp() override {
        ZREQUIRE_DISPLAY();
        char buffer[4096];
        _oldFolder = getcwd(buffer, sizeof buffer) ? buffer : ".";
        ASSERT_EQ(chdir(_dir.path().c_str()), 0);
        _platform = std::make_unique<ZPlatformScope>();
        ZClientSources sources;
        sources.idleServices = true;
        ZClientSetSources(sources);
        ZClientSetTemplateFactory([](ZInstance*, const std::wstring&) -> IZClientTemplate* {
            return new RecordingTemplate;
        });
        g_commands.clear();
        client = ZSAFENEW(ZClient, L"settings.ini", L"", L"", L"", false, false, false);
    }
    void TearDown() override {
        delete client;
        ZClientSetSources(ZClientSources());
        ZClientSetTemplateFactory(nullptr);
        _platform.reset();
        if (!_oldFolder.empty()) {
            EXPECT_EQ(chdir(_oldFolder.c_str()), 0);
        }
    }

    ZClient* client = nullptr;

private:
    ZTempDir _dir;
    std::string _oldFolder;
    std::unique_ptr<ZPlatformScope> _platform;
};

// Ticks the client's loop until the condition holds or two seconds pass.
bool tickUntil(const std::function<bool()>& done) {
    struct Watch : IZTimerListener {
        std::function<bool()> done;
        int ticks = 0;
        void onTimer(ZTimer*) override {
            if (done() || ++ticks > 40) ZWinPostQuit(0);
        }
    } watch;
    watch.done = done;
    ZTimer* timer = ZTimerOpen(50000, &watch);
    ZRunLoop(5000000);
    ZTimerClose(timer);
    return done();
}

}  // namespace

TEST_F(ClientTray, ThePrivacyEntryFlipsTheModeWhileTheTickLeavesTheQueueAlone) {
    MenuDriver driver;
    driver.client = client;
    Picker picker;
    picker.client = client;
    ZTimer* start = ZTimerOpen(10000, &driver);
    ZTimer* pick = ZTimerOpen(100000, &picker);
    ZSystemSetCursorPosition(400, 500);
    EXPECT_TRUE(ZRunLoop(10000000));
    ZTimerClose(start);
    ZTimerClose(pick);
    EXPECT_TRUE(picker.queueHeld) << "the tick drained the queue while the menu was open";
    EXPECT_NE(picker.label.find(L"rivate (disable video)"), std::wstring::npos) << ZToUTF8(picker.label);
    EXPECT_EQ(client->getInstance()->get(L"Video_Privacy_Choice_Mode"), L"Private - Allow nobody to see me");
    EXPECT_EQ(g_commands.back(), L"(/account?updatecapture)");
}

TEST_F(ClientTray, WithoutATrayTheBuddyListsCloseButtonMinimisesItUntilATrayAppearsOnABareServer) {
    ZInstance* instance = client->getInstance();
    EXPECT_TRUE(tickUntil([&] { return instance->get(L"Buddylist_Close_Action") == L"minimize"; }))
        << "no tray: nothing could bring a hidden buddy list back";
    ZTestTray tray;
    EXPECT_TRUE(tickUntil([&] { return instance->get(L"Buddylist_Close_Action") == L"close"; }))
        << "a tray that starts later holds the icon";
    EXPECT_TRUE(ZIconIsDocked(client->getIcon()));
}
