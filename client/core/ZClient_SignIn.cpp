// The sign-in exchange: one "AUTHENTICATE" to the authentication server
// (which also creates an account when no identifier is stored yet), the
// processing of its answer, and the small commands to the services.
#include "ZClient.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

// A usable answer names at least four STUN hosts and every other host.
bool validAnswer(const ZHTTPHeaders& response) {
    std::list<std::wstring> stun;
    ZParseList(stun, response.get(L"STUN-Host-List"));
    return stun.size() >= 4 && response.isSet(L"SIP-Host-List") && response.isSet(L"TURN-Host") &&
           response.isSet(L"Logfile-Host");
}

}  // namespace

void ZClient::_requestAUTHENTICATE() {
    ZTRACE();
    if (_httpClient) {
        ZASSERT_PTR(_httpClient);
        delete _httpClient;
        _httpClient = nullptr;
    }
    ZLOGC('c', _context() << L"Sending 'AUTHENTICATE' request");
    ZHTTPHeaders request(L"AUTHENTICATE");
    const std::wstring from = _instance->isSet(L"Local_User_GUID") ? _instance->get(L"Local_User_GUID")
                                                                   : _instance->get(L"Local_Username");
    request.set(L"From", ZNormalizeGUID(from));
    request.set(L"Password", _instance->get(L"Local_Password"));
    request.set(L"Email", _instance->get(L"Local_Email"));
    request.set(L"Version", _instance->get(L"Current_Version"));
    const std::wstring host = _instance->get(L"AUTHENTICATE_Host");
    _httpClient = ZSAFENEW(ZHTTPClient, host, request, ZHTTPClientSecurityFor(*_instance, host));
    // A host that accepts the connection and then says nothing must not
    // hold the sign-in for ever.
    _httpClient->setAnswerTimeout(ZCLIENT_AUTH_ANSWER_TIMEOUT);
    _instance->set(L"Logon_Status", std::wstring(L"-- Connecting... --"), false);
    if (!_signInTimer) _signInTimer = ZTimerOpen(ZCLIENT_SIGNIN_PUMP_PERIOD, this);
}

void ZClient::_processAUTHENTICATEResponse(const ZHTTPHeaders& response) {
    ZTRACE();
    const bool valid = validAnswer(response);
    if (response.getResponse() == 200 && valid) {
        const std::wstring newGUID = response.get(L"User-GUID");
        if (!newGUID.empty()) {
            ZLOGC('c', _context() << L"Request 'AUTHENTICATE' succeeded, created new account '" << newGUID << L"'");
            _instance->set(L"Local_User_GUID", ZNormalizeGUID(newGUID), true);
            _instance->set(L"Logon_Status", std::wstring(L"-- Account created --"), false);
        } else {
            ZLOGC('c', _context() << L"Request 'AUTHENTICATE' succeeded, logged into account '"
                                  << _instance->get(L"Local_User_GUID") << L"'");
            _instance->set(L"Logon_Status", std::wstring(L"-- Logon successful --"), false);
        }
        for (const wchar_t* name : {L"Local_Password", L"Local_Email"}) {
            const std::wstring value = _instance->get(name);
            _instance->clear(name);
            _instance->set(name, value, true);
        }
        _instance->set(L"Local_Upgrade_URL", response.get(L"Upgrade-URL"), false);
        _instance->set(L"Local_Upgrade_Name", response.get(L"Upgrade-Name"), false);
        _instance->set(L"Local_Upgrade_Priority", response.get(L"Upgrade-Priority"), false);
        if (ZCaseEquals(_instance->get(L"Local_Upgrade_Priority"), L"critical")) {
            _bubble(L"Critical update in progress",
                    L"Zandrel is downloading the critical update '" + response.get(L"Upgrade-Name") +
                        L"'.  You will automatically go online when prompted to upgrade.",
                    0);
            _instance->save();
            _changeState(Offline);
            _reset();
            return;
        }
        if (_instance->isSet(L"Local_Upgrade_URL"))
            _bubble(L"Update in progress",
                    L"Zandrel is downloading the service update '" + response.get(L"Upgrade-Name") + L"'." +
                        L"  You can use Zandrel as normal, and upgrade when prompted.",
                    0);
        std::wstring localIP;
        int localPort = 0;
        ZSplitHostPort(_httpClient ? _httpClient->getLocalHost() : std::wstring(), localIP, localPort);
        _instance->set(L"Global_SIP_Host_List", response.get(L"SIP-Host-List"), false);
        _instance->set(L"Global_TURN_Host", response.get(L"TURN-Host"), false);
        _instance->set(L"Global_Logfile_Host", response.get(L"Logfile-Host"), false);
        _instance->set(L"Global_STUN_Host_List", response.get(L"STUN-Host-List"), false);
        // The service's proof of this sign-in; the dispatch service shows it
        // when it names the device. Kept for this run only.
        _instance->set(L"Local_Session_Key", response.get(L"Session-Key"), false);
        _instance->set(L"Local_IP", localIP, false);
        // The command names its host: upload-and-exit resets the client right
        // away, which clears "Global_Logfile_Host" before the service reads it.
        ZHTTPHeaders upload(L"UPLOADLOGFILES");
        upload.set(L"Logfile-Host", response.get(L"Logfile-Host"));
        _instance->enqueue(L"ZLogfileService_commandQueue", upload.serialize());
        if (_instance->test(L"Exit_When_Logfiles_Uploaded")) {
            _activity(L"Uploading logfiles; will exit when complete.");
            _bubble(L"Logfile upload in progress", L"Zandrel is uploading its logfiles and will exit when complete.",
                    0);
            _instance->save();
            _changeState(Offline);
            _reset();
            return;
        }
        if (!_instance->test(L"First_Logon_Complete")) _execute(L"(/skin/window_buddylist?open)");
        _instance->set(L"First_Logon_Complete", std::int64_t{1}, false);
        if (!_instance->test(L"First_Run_Complete")) _execute(L"(/skin/window_options?open)");
        _instance->set(L"First_Run_Complete", std::int64_t{1}, true);
        _requestCONNECT();
        // The account is written to disk once the connection is under way:
        // the disk's flush need not hold up the sign-in.
        _instance->save();
        _changeState(Connecting);
        return;
    }
    ZLOGC('c', _context() << L"Request 'AUTHENTICATE' failed with response " << response.getResponseSummary()
                          << L" (valid=" << (valid ? L"TRUE" : L"FALSE") << L"), staying offline.");
    ZLOGC('c', _context() << L"Response='" << response.serialize() << L"'");
    const int status = response.getResponse();
    const wchar_t* text = status == 0     ? L"-- Server unavailable --"
                          : status == 200 ? L"-- Invalid server reply --"
                          : _instance->isSet(L"Local_User_GUID") ? L"-- Incorrect name/password --"
                                                                 : L"-- Username already in use --";
    _instance->set(L"Logon_Status", std::wstring(text), false);
    if (_instance->test(L"Prompt_On_AUTHENTICATE_Failure")) {
        _execute(_instance->isSet(L"Local_User_GUID") ? L"(/skin/window_login?open)" : L"(/skin/window_new?open)");
        _changeState(Offline);
    } else {
        _changeState(Waiting);
    }
    _reset();
}

void ZClient::_requestCONNECT() { _post(L"ZDispatchService_commandQueue", L"CONNECT"); }

void ZClient::_requestDISCONNECT() { _post(L"ZDispatchService_commandQueue", L"DISCONNECT"); }

void ZClient::_requestBUDDYLOGON() { _post(L"ZSIPService_commandQueue", L"BUDDYLOGON"); }

void ZClient::_requestBUDDYLOGOFF() { _post(L"ZSIPService_commandQueue", L"BUDDYLOGOFF"); }

void ZClient::_reset() {
    ZTRACE();
    for (const wchar_t* queue :
         {L"ZDispatchService_commandQueue", L"ZSIPService_commandQueue", L"ZFileService_commandQueue"})
        _post(queue, L"RESET");
    for (const wchar_t* name : {L"Prompt_On_AUTHENTICATE_Failure", L"Global_SIP_Host", L"Global_SIP_Host_List",
                                L"Global_TURN_Host", L"Global_Logfile_Host"})
        _instance->clear(name);
}

void ZClient::requestStop() {
    ZTRACE();
    if (_stopDeadline) {
        // A second request: no more waiting.
        ZWinPostQuit(0);
        return;
    }
    _stopDeadline = _now() + ZCLIENT_STOP_GRACE;
    _instance->set(L"Reconnect_When_Offline", std::wstring(L"0"), false);
    _instance->set(L"Exit_When_Offline", std::wstring(L"1"), false);
    _instance->set(L"Restart_On_Exit", std::wstring(L"0"), false);
    _post(L"ZClient_commandQueue", L"LOGOFF");
}
