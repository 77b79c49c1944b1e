// The client state machine: one input at a time, an event number and a
// message, handled by the current state.
//
//   state             input                                   requests         next
//   Offline           tick + Reconnect_When_Offline; LOGON;    AUTHENTICATE     Authenticating
//                     resume + Reconnect_On_Resume
//   Offline           tick + Exit_When_Offline;                quit             (end)
//                     LOGFILESUPLOADED + Exit_When_Logfiles_Uploaded
//   Waiting           tick after 30 s; resume; network change  AUTHENTICATE     Authenticating
//   Waiting           LOGOFF                                   RESET            Offline
//   Authenticating    answer (or the request died)             CONNECT / RESET  Connecting, Waiting, Offline
//   Authenticating    suspend                                  -                Waiting
//   Authenticating    resume; network change                   RESET, AUTH...   Authenticating
//   Authenticating    LOGOFF                                   RESET            Offline
//   Connecting        CONNECTED                                BUDDYLOGON       Online
//   Connecting        DISCONNECTED                             RESET            Waiting
//   Connecting        resume; network change                   RESET            Offline (reconnects)
//   Connecting        LOGOFF; suspend                          DISCONNECT       Disconnecting
//   Online            LOGOFF; suspend                          BUDDYLOGOFF      Logging off
//   Online            DISCONNECTED; resume; network change     RESET            Offline (reconnects)
//   Logging off       BUDDYLOGGEDOFF                           DISCONNECT       Disconnecting
//   Logging off       DISCONNECTED; LOGOFF; change; resume     RESET            Offline
//   Disconnecting     DISCONNECTED; LOGOFF; change; resume     RESET            Offline
//   Disconnecting     CONNECTED (the first DISCONNECT came     DISCONNECT       Disconnecting
//                     too early and was dropped)
//
// A lost dispatch connection while connecting waits and retries like a
// refused sign-in instead of staying offline for good.
#include "ZClient.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

const wchar_t* const kStateNames[] = {L"Offline",  L"Waiting...",     L"Authenticating...", L"Connecting...",
                                      L"Online",   L"Logging off...", L"Disconnecting..."};
// The icon's presence level per state.
const int kIconLevels[] = {0, 0, 1, 1, 2, 1, 1};

}  // namespace

std::wstring ZClient::_getState(std::uint32_t state) {
    return state <= Disconnecting ? kStateNames[state] : L"<invalid>";
}

void ZClient::_changeState(std::uint32_t state) {
    ZTRACE();
    ZLOGC('c', _context() << L"Changing state to '" << _getState(state) << L"'");
    _state = state;
}

void ZClient::_publish() {
    // Every tick publishes; the store is read and written again only after
    // the state or the store changed.
    const std::uint64_t changes = _instance->changes();
    if (changes != _publishedChanges || _state != _publishedState) {
        _publishedChanges = changes;
        _publishedState = _state;
        _instance->set(L"Client_Status", _getState(_state), false);
        _publishedIcon = _updateIcon(kIconLevels[_state]);
        _publishedStatus = _instance->get(L"Client_Status");
    } else {
        ZIconSetState(_icon, _publishedIcon);
    }
    ZIconSetText(_icon, _publishedStatus);
}

void ZClient::_signIn() {
    _requestAUTHENTICATE();
    _changeState(Authenticating);
}

void ZClient::_goOffline() {
    _changeState(Offline);
    _reset();
}

void ZClient::_onInput(int eventID, const ZHTTPHeaders& eventHeaders) {
    ZTRACE();
    const std::wstring method = eventHeaders.getMethod();
    if (eventID == 0) ZLOGC('c', _context() << L"Received '" << method << L"' event");
    if (eventID == 8) {
        std::string error;
        if (!ZSystemExecute("CHANGELOG.txt", "", error))
            ZLOG(_context() << L"WARNING Cannot open 'CHANGELOG.txt' because '" << error << L"', ignoring.");
    }
    if (ZCaseEquals(method, L"NEWBUDDY")) {
        _assignHotkey(eventHeaders);
        return;
    }
    // Whatever the state: the client may be offline because of this upgrade.
    if (ZCaseEquals(method, L"UPGRADEREFUSED")) {
        _onUpgradeRefused(eventHeaders);
        return;
    }
    bool handled = false;
    switch (static_cast<State>(_state)) {
        case Offline: handled = _onOffline(eventID, method, eventHeaders); break;
        case Waiting: handled = _onWaiting(eventID, method); break;
        case Authenticating: handled = _onAuthenticating(eventID, method); break;
        case Connecting: handled = _onConnecting(eventID, method); break;
        case Online: handled = _onOnline(eventID, method, eventHeaders); break;
        case LoggingOff: handled = _onLoggingOff(eventID, method); break;
        case Disconnecting: handled = _onDisconnecting(eventID, method); break;
    }
    if (!handled) {
        if (eventID == 3) {
            _execute(L"(/skin/window_buddylist?open)");
        } else if (eventID == 2) {
            _showTrayMenu();
        } else {
            ZLOG(_context() << L"WARNING Ignored input eventID #" << eventID << L", eventHeaders='" << method << L"'");
        }
    }
    if (_modal == 0 && !_deferred.empty()) _runDeferred();
}

bool ZClient::_onOffline(int eventID, const std::wstring& method, const ZHTTPHeaders&) {
    if (eventID == 1) {
        _publish();
        if (_instance->test(L"Reconnect_When_Offline")) {
            ZLOGC('c', _context() << L"'Reconnect_When_Offline' set, reconnecting.");
            _signIn();
        } else if (_instance->test(L"Exit_When_Offline")) {
            ZLOGC('c', _context() << L"'Exit_When_Offline' set, exiting with 'Restart_On_Exit'="
                                  << _instance->get(L"Restart_On_Exit"));
            ZWinPostQuit(_instance->test(L"Restart_On_Exit") ? 1 : 0);
        }
        _instance->clear(L"Reconnect_When_Offline");
        _instance->clear(L"Exit_When_Offline");
        _instance->clear(L"Restart_On_Exit");
        return true;
    }
    if (ZCaseEquals(method, L"LOGON")) {
        _instance->set(L"Prompt_On_AUTHENTICATE_Failure", std::wstring(L"1"), false);
        _signIn();
        return true;
    }
    if (eventID == 11 && _instance->test(L"Reconnect_On_Resume")) {
        _instance->clear(L"Reconnect_On_Resume");
        _signIn();
        return true;
    }
    if (ZCaseEquals(method, L"UPGRADEDOWNLOADED")) {
        _promptForUpgrade();
        return true;
    }
    if (eventID == 10 || eventID == 11 || eventID == 12) return true;
    if (ZCaseEquals(method, L"LOGFILESUPLOADED") && _instance->test(L"Exit_When_Logfiles_Uploaded")) {
        _activity(L"Logfiles uploaded, exiting.");
        ZWinPostQuit(0);
        return true;
    }
    return false;
}

bool ZClient::_onWaiting(int eventID, const std::wstring& method) {
    if (eventID == 1) {
        _updateIcon(0);
        if (_retryInterval.isDue(_now())) {
            ZLOGC('c', _context() << L"Retrying AUTHENTICATE");
            _signIn();
        } else {
            _instance->set(L"Client_Status",
                           ZToString(_retryInterval.getRemaining(_now()) / 1000000) + L" Waiting...", false);
        }
        return true;
    }
    if (ZCaseEquals(method, L"UPGRADEDOWNLOADED")) {
        _promptForUpgrade();
        return true;
    }
    if (eventID == 11 || eventID == 12) {
        _signIn();
        return true;
    }
    if (ZCaseEquals(method, L"LOGOFF")) {
        _goOffline();
        return true;
    }
    return ZCaseEquals(method, L"LOGFILESUPLOADED") || eventID == 10;
}

void ZClient::_takeAuthenticateAnswer(const ZHTTPHeaders& response) {
    ZHTTPClient* client = _httpClient;
    _processAUTHENTICATEResponse(response);
    // The answer is in: the connection is of no further use, and keeping it
    // would make every tick wait on it.
    if (_httpClient == client) {
        client->shutdown();
        delete client;
        _httpClient = nullptr;
    }
}

bool ZClient::_onAuthenticating(int eventID, const std::wstring& method) {
    if (eventID == 1) {
        _publish();
        if (_httpClient) {
            ZHTTPHeaders response;
            if (_httpClient->recv(response)) _takeAuthenticateAnswer(response);
        } else {
            ZLOGC('c', _context() << L"'AUTHENTICATE' request failed prematurely, going offlne.");
            _processAUTHENTICATEResponse(ZHTTPHeaders());
        }
        return true;
    }
    if (ZCaseEquals(method, L"UPGRADEDOWNLOADED")) {
        _promptForUpgrade();
        return true;
    }
    if (eventID == 10) {
        if (_httpClient) _httpClient->shutdown();
        _changeState(Waiting);
        return true;
    }
    if (eventID == 11 || eventID == 12) {
        if (_httpClient) _httpClient->shutdown();
        _reset();
        _signIn();
        return true;
    }
    if (ZCaseEquals(method, L"LOGOFF")) {
        _goOffline();
        return true;
    }
    return ZCaseEquals(method, L"LOGFILESUPLOADED");
}

bool ZClient::_onConnecting(int eventID, const std::wstring& method) {
    if (eventID == 1) {
        _publish();
        return true;
    }
    if (ZCaseEquals(method, L"CONNECTED")) {
        _requestBUDDYLOGON();
        _changeState(Online);
        return true;
    }
    if (ZCaseEquals(method, L"DISCONNECTED")) {
        // The service could not be reached: wait and try again, as after a
        // refused sign-in.
        _changeState(Waiting);
        _reset();
        return true;
    }
    if (ZCaseEquals(method, L"UPGRADEDOWNLOADED")) {
        _promptForUpgrade();
        return true;
    }
    if (ZCaseEquals(method, L"LOGOFF")) {
        _requestDISCONNECT();
        _changeState(Disconnecting);
        return true;
    }
    if (eventID == 10) {
        _instance->set(L"Reconnect_On_Resume", std::wstring(L"1"), false);
        _requestDISCONNECT();
        _changeState(Disconnecting);
        return true;
    }
    if (eventID == 11 || eventID == 12) {
        _instance->set(L"Reconnect_When_Offline", std::wstring(L"1"), false);
        _goOffline();
        return true;
    }
    return ZCaseEquals(method, L"LOGFILESUPLOADED");
}

bool ZClient::_onOnline(int eventID, const std::wstring& method, const ZHTTPHeaders& eventHeaders) {
    if (eventID == 1) {
        _publish();
        return true;
    }
    if (ZCaseEquals(method, L"LOGOFF")) {
        _requestBUDDYLOGOFF();
        _changeState(LoggingOff);
        return true;
    }
    if (eventID == 10) {
        _instance->set(L"Reconnect_On_Resume", std::wstring(L"1"), false);
        _requestBUDDYLOGOFF();
        _changeState(LoggingOff);
        return true;
    }
    if (ZCaseEquals(method, L"DISCONNECTED") || eventID == 11 || eventID == 12) {
        _instance->set(L"Reconnect_When_Offline", std::wstring(L"1"), false);
        _goOffline();
        return true;
    }
    if (ZCaseEquals(method, L"UPGRADEDOWNLOADED")) {
        _promptForUpgrade();
        return true;
    }
    if (ZCaseEquals(method, L"LOGFILESUPLOADED")) return true;
    return _onNotification(eventID, method, eventHeaders);
}

bool ZClient::_onLoggingOff(int eventID, const std::wstring& method) {
    if (eventID == 1) {
        _publish();
        return true;
    }
    if (ZCaseEquals(method, L"BUDDYLOGGEDOFF")) {
        _requestDISCONNECT();
        _changeState(Disconnecting);
        return true;
    }
    if (ZCaseEquals(method, L"DISCONNECTED") || ZCaseEquals(method, L"LOGOFF") || eventID == 12) {
        _goOffline();
        return true;
    }
    if (eventID == 11) {
        _instance->set(L"Reconnect_When_Offline", _instance->get(L"Reconnect_On_Resume"), false);
        _goOffline();
        return true;
    }
    return eventID == 10 || ZCaseEquals(method, L"LOGFILESUPLOADED");
}

bool ZClient::_onDisconnecting(int eventID, const std::wstring& method) {
    if (eventID == 1) {
        _publish();
        return true;
    }
    if (ZCaseEquals(method, L"DISCONNECTED") || ZCaseEquals(method, L"LOGOFF")) {
        _goOffline();
        return true;
    }
    if (ZCaseEquals(method, L"CONNECTED")) {
        // The dispatch service takes DISCONNECT only once connected: one sent
        // while it was still connecting was dropped, so ask again.
        _requestDISCONNECT();
        return true;
    }
    if (eventID == 11 || eventID == 12) {
        _instance->set(L"Reconnect_When_Offline", _instance->get(L"Reconnect_On_Resume"), false);
        _goOffline();
        return true;
    }
    return eventID == 10 || ZCaseEquals(method, L"LOGFILESUPLOADED");
}
