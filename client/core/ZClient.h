// The application object: owns the store, the switchboard, the eight
// service threads, the skin, the 100 ms tick, the tray icon and, while a
// sign-in runs, its request client; holds the client state machine.
//
// States and their main roads (the full table is in ZClient_FSM.cpp):
//   Offline --LOGON--> Authenticating --answer--> Connecting --CONNECTED--> Online
//   Authenticating --refused--> Waiting --30 s--> Authenticating
//   Online --LOGOFF--> Logging off --BUDDYLOGGEDOFF--> Disconnecting --DISCONNECTED--> Offline
//
// Threading: every method runs on the UI thread (constructor, destructor and
// the platform's listener callbacks). Services reach the client only through
// "ZClient_commandQueue" and the store; a message there is taken at once
// (the store's waker posts a notification to the UI thread), and the tick
// takes whatever a modal part held back.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "ZClientSeams.h"
#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZObject.h"
#include "ZPortable_Helpers.h"

class ZHTTPClient;
class ZInstance;
class ZMegaPort;
class ZThreadObject;

// The client's version, sent at sign-in and shown after an upgrade.
constexpr int ZCLIENT_VERSION = 764;
// The authentication server when no setting names one.
constexpr const wchar_t* ZCLIENT_DEFAULT_AUTH_HOST = L"auth.zandrel.net:443";
// Longest silence of the authentication server once connected.
constexpr std::int64_t ZCLIENT_AUTH_ANSWER_TIMEOUT = 30000000;
// How often the sign-in request is looked at while it is out (microseconds).
constexpr std::int64_t ZCLIENT_SIGNIN_PUMP_PERIOD = 5000;
// After a stop signal the client quits even when the sign-off has not ended.
constexpr std::int64_t ZCLIENT_STOP_GRACE = 10000000;

// The client object.
class ZClient : public ZHeapObject,
                public IZTimerListener,
                public IZNotifyListener,
                public IZIconListener,
                public IZSystemListener {
public:
    enum State : std::uint32_t {
        Offline = 0,
        Waiting = 1,
        Authenticating = 2,
        Connecting = 3,
        Online = 4,
        LoggingOff = 5,
        Disconnecting = 6,
    };

    ZClient(const std::wstring& settingsFile, const std::wstring& avi, const std::wstring& host,
            const std::wstring& keepLogfiles, bool upgraded, bool uploadLogfiles, bool forceTurn);
    ~ZClient() override;
    void invariantTest() override;

    void onTimer(ZTimer* timer) override;
    void onNotification(int code, std::int64_t sentTime) override;

    void onLButtonDblClk(ZIcon* icon) override;
    void onRButtonDown(ZIcon* icon) override;
    void onBubbleClick(ZIcon* icon, int id) override;

    void onSuspend() override;
    void onResume() override;
    void onHotkeyDown(ZHotkey* hotkey, const std::wstring& name) override;
    void onHotkeyUp(ZHotkey* hotkey, const std::wstring& name) override;

    // A stop request from outside (SIGTERM, SIGINT): signs off as the exit
    // command does and quits once offline, or after ZCLIENT_STOP_GRACE.
    void requestStop();

    // For status views and tests.
    std::uint32_t getState() const { return _state; }
    ZInstance* getInstance() { return _instance; }
    ZIcon* getIcon() { return _icon; }
    ZTimer* getTimer() { return _timer; }
    static std::wstring _getState(std::uint32_t state);

    // The one input of the state machine: an event number and a message.
    void _onInput(int eventID, const ZHTTPHeaders& eventHeaders);

private:
    friend class ZClientTestAccess;
    void _startServices();
    // The log prefix "(<user>) [<state>] " of the client's own lines.
    std::wstring _context();
    std::int64_t _now() const;
    bool _admitChat(const std::wstring& buddy);

    // State machine.
    void _changeState(std::uint32_t state);
    void _publish();
    bool _onOffline(int eventID, const std::wstring& method, const ZHTTPHeaders& eventHeaders);
    bool _onWaiting(int eventID, const std::wstring& method);
    bool _onAuthenticating(int eventID, const std::wstring& method);
    bool _onConnecting(int eventID, const std::wstring& method);
    bool _onOnline(int eventID, const std::wstring& method, const ZHTTPHeaders& eventHeaders);
    bool _onLoggingOff(int eventID, const std::wstring& method);
    bool _onDisconnecting(int eventID, const std::wstring& method);
    void _signIn();
    void _goOffline();

    // Commands and notifications while online.
    void _assignHotkey(const ZHTTPHeaders& eventHeaders);
    bool _onNotification(int eventID, const std::wstring& method, const ZHTTPHeaders& eventHeaders);
    bool _onDeviceBroadcast(const ZHTTPHeaders& eventHeaders);
    void _onFileOffer(const std::wstring& buddy, const std::wstring& device, const ZHTTPHeaders& inner);
    void _showTrayMenu();
    void _execute(const std::wstring& command);
    void _activity(const std::wstring& text);

    // Sign-in exchange and the small service requests.
    void _requestAUTHENTICATE();
    void _processAUTHENTICATEResponse(const ZHTTPHeaders& response);
    void _requestCONNECT();
    void _requestDISCONNECT();
    void _requestBUDDYLOGON();
    void _requestBUDDYLOGOFF();
    void _reset();
    void _post(const wchar_t* queue, const wchar_t* method);

    // Tray and shell.
    // Shows the presence level with the privacy mode; returns the icon state.
    int _updateIcon(int level);
    void _publishTrayPresence();
    void _promptForUpgrade();
    // An upgrade that cannot be installed: said once per offer when the
    // client cannot go online without it.
    void _onUpgradeRefused(const ZHTTPHeaders& message);
    void _bubble(const std::wstring& title, const std::wstring& text, int id);
    // While a modal part runs inside a handler, the tray and system events
    // wait here and run once it has returned.
    void _raise(int eventID);
    void _runDeferred();

    // Tick helpers.
    void _drainCommands();
    // While the sign-in request is out, its answer is looked for every few
    // milliseconds instead of on the 100 ms tick.
    void _pumpSignIn();
    void _takeAuthenticateAnswer(const ZHTTPHeaders& response);
    void _checkNetwork();
    void _logPerformance();

    ZInstance* _instance = nullptr;
    ZMegaPort* _port = nullptr;
    std::uint32_t _state = Offline;
    ZThreadObject* _sipService = nullptr;
    ZThreadObject* _videoCaptureService = nullptr;
    ZThreadObject* _videoPlaybackService = nullptr;
    ZThreadObject* _logfileService = nullptr;
    ZThreadObject* _upgradeService = nullptr;
    ZThreadObject* _dispatchService = nullptr;
    ZThreadObject* _fileService = nullptr;
    ZThreadObject* _screenService = nullptr;
    IZClientTemplate* _template = nullptr;
    ZTimer* _timer = nullptr;
    ZTimer* _signInTimer = nullptr;
    ZNotifyHandle* _commandNotify = nullptr;
    ZIcon* _icon = nullptr;
    // Whether a tray held the icon at the last tick (-1: not yet looked).
    int _trayDocked = -1;
    // Suspend and resume each have their own debounce: the platform reports
    // both at once on waking, and one shared interval would drop the resume.
    ZInterval _powerInterval{0, 1000000};
    ZInterval _resumeInterval{0, 1000000};
    ZHTTPClient* _httpClient = nullptr;
    ZInterval _networkInterval{0, 1000000};
    ZInterval _retryInterval{0, 30000000};
    std::list<std::wstring> _localIPs;

    ZClientSources _sources;
    int _modal = 0;
    std::vector<int> _deferred;
    std::int64_t _stopDeadline = 0;
    // The tooltip shows a download's progress; it goes back to the status
    // when the download ends.
    bool _showingUpgrade = false;
    // What the tick reads of the store is read again only after the store
    // changed (ZInstance::changes, taken before the reads): an idle tick
    // costs its wake and little more. The count at the last full drain of
    // the queue, at the last reading of the download, and at the last
    // publication with what it showed.
    std::uint64_t _drainedChanges = UINT64_MAX;
    std::uint64_t _upgradeChanges = UINT64_MAX;
    bool _downloading = false;
    std::wstring _downloadText;
    std::uint64_t _publishedChanges = UINT64_MAX;
    std::uint32_t _publishedState = UINT32_MAX;
    int _publishedIcon = 0;
    std::wstring _publishedStatus;
    std::wstring _refusedUpgradeURL;
    // What each buddy (folded) may still chat; see _admitChat.
    struct ChatBudget {
        double tokens = ZCHAT_BURST;
        std::int64_t last = 0;
        bool flooding = false;
    };
    std::map<std::wstring, ChatBudget> _chatBudgets;
};

// The eight services in creation order, with their thread names.
extern const wchar_t* const ZCLIENT_SERVICE_NAMES[8];
