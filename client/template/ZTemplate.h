// The root of the user interface: reads the skin into a node tree, owns it,
// re-runs the update and render passes on store notifications, and is the
// one command engine of the client (skin, tray and client commands). It also
// keeps the global hotkeys that commands register, the push-to-talk
// bookkeeping and the automatic-restart countdown, driven by its 50 ms timer.
//
// Commands (ZTemplate.cpp routes them): "(/skin/window_login?open)",
// "(/buddies/<buddy>?talk)", "(/account?login)", "(/dev/audio?startpreview)",
// "(/fileservice?open)", "(/system?delayrestart+delay=30)"; the actions of
// each root live in ZTemplate_Skin.cpp, ZTemplate_Buddies.cpp and
// ZTemplate_System.cpp, talk and countdown in ZTemplate_Talk.cpp, chat logs
// and broadcasts in ZTemplate_Chat.cpp.
//
// Threading: UI thread only (timer, notifications, hotkeys and commands all
// arrive there); no lock of its own. A command may run further commands
// re-entrantly before it returns.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "IZCommandEngine.h"
#include "ZNonPortable_Message.h"
#include "ZObject.h"
#include "ZPortable_Helpers.h"

class ZHTTPHeaders;
class ZInstance;
class ZTemplateNode;
struct ZHotkey;

// The domain the service gives every account: "addbuddy" and "login"
// complete a bare user name with it.
constexpr const wchar_t* ZTEMPLATE_SERVICE_DOMAIN = L"zandrel.net";
// How long after a talk ends its audio is switched off.
constexpr std::int64_t ZTEMPLATE_TALK_STOP_DELAY = 500000;
constexpr std::int64_t ZTEMPLATE_TIMER_PERIOD = 50000;
// The countdown window opens this long before an automatic restart.
constexpr std::int64_t ZTEMPLATE_COUNTDOWN = 30000000;

// Where the root reads the time; tests drive their own clock.
typedef std::int64_t (*ZTemplateClock)();
// Whether the primary pointer button is held (a talk button holds a talk).
typedef bool (*ZTemplateButtonTest)();

class ZTemplate : public ZHeapObject, public IZCommandEngine, public IZTimerListener, public IZNotifyListener {
public:
    // Reads the skin file and draws the first frame; a skin that cannot be
    // read ends the process in the reader.
    ZTemplate(ZInstance* instance, const std::wstring& filename);
    ~ZTemplate() override;
    void invariantTest() override;

    // Replaces the clock of the tick, the talk delay and the countdown.
    static void setClock(ZTemplateClock clock);
    static void setButtonTest(ZTemplateButtonTest test);
    static std::int64_t now();

    // ---- IZCommandEngine
    void executeCommand(const std::wstring& command, ZTemplateNode* context, int reserved = 0) override;
    ZNotifyHandle* getNotifyListener() override;
    ZTemplateNode* getNode(const std::wstring& path, ZTemplateNode* context) override;

    // ---- the 50 ms tick and store notifications
    void onTimer(ZTimer* timer) override;
    void onNotification(int code, std::int64_t sentTime) override;

    // Global hotkeys, forwarded by the client object.
    void onHotkeyDown(ZHotkey* hotkey, const std::wstring& name);
    void onHotkeyUp(ZHotkey* hotkey, const std::wstring& name);

    // Wraps the message in a DEVICEBROADCAST on the buddy's queue.
    void broadcastToBuddy(const std::wstring& buddy, const ZHTTPHeaders& message);
    // Appends one CHAT message to the buddy's chat log file.
    static void logCHAT(const std::wstring& buddy, const ZHTTPHeaders& chat);
    // The buddy's chat log, relative to the working folder.
    static std::wstring chatLogPath(const std::wstring& buddy);
    // A message's text as one line of the chat log: line breaks shown by a
    // sign, control characters but the tab dropped.
    static std::wstring chatLogText(const std::wstring& text);

    ZTemplateNode* getRoot() const { return _root; }
    ZTimer* getTimer() const { return _timer; }
    // How many update passes and render passes ran (for status and tests).
    int updateCount() const { return _updateCount; }
    int renderCount() const { return _renderCount; }

    // The component splitter of paths: skips leading separators, returns the
    // text before the next one and leaves what follows it in text.
    static std::wstring splitComponent(std::wstring& text, const std::wstring& separators);

private:
    // One parsed command of a list, with what the actions need to know.
    struct Command {
        std::wstring path;
        std::wstring action;
        std::map<std::wstring, std::wstring> arguments;
        std::wstring rest;
        ZTemplateNode* context = nullptr;
        std::wstring selection;
        std::wstring argument(const wchar_t* name) const;
    };

    void _update(const std::wstring& path, ZTemplateNode* node, bool refresh);
    void _executeCommand(const std::wstring& commands, ZTemplateNode* context, int reserved);
    void _enqueue(const wchar_t* queue, const ZHTTPHeaders& message);
    void _enqueue(const std::wstring& queue, const ZHTTPHeaders& message);

    // Actions by root.
    void _skinAction(const Command& command, ZTemplateNode* target);
    void _buddiesAction(const Command& command);
    void _buddyAction(const Command& command, const std::wstring& buddy);
    void _accountAction(const Command& command);
    void _deviceAction(const Command& command);
    void _fileServiceAction(const Command& command);
    void _systemAction(const Command& command);
    void _assignHotkey(const Command& command);
    void _clearHotkey(const Command& command);

    // Talk and countdown.
    void _resetBuddyTalk(const std::wstring& buddy, bool talking);
    void _updateHotkeys();
    void _updateCallLines();
    bool _talkHeld();

    ZInstance* _instance;
    ZTemplateNode* _root;
    ZTimer* _timer;
    ZNotifyHandle* _notify;
    std::list<std::wstring> _talkStopList;
    std::list<std::wstring> _lastTalkToList;
    ZInterval _talkStopInterval;
    std::int64_t _restartTime;
    bool _countdownOpen;
    std::map<std::wstring, ZHotkey*> _hotkeys;
    bool _hotkeyDown;
    // The store's change count the tick last read it at (a tick with the
    // same count and no talk to watch reads nothing), and whether a talk was
    // held then.
    std::uint64_t _tickChanges = 0;
    bool _talking = false;
    int _updateCount = 0;
    int _renderCount = 0;
};
