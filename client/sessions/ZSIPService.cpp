// The buddy-list service.
//
// States:
//   OFFLINE             no buddy list; waits for "BUDDYLOGON"
//   GETTING_BUDDY_LIST  "GETBUDDYLIST" sent; waits for its answer (at most 20 s)
//   ONLINE              buddy sessions run; commands are served
//   LEAVING_BUDDIES     every buddy was told goodbye; waits until all are offline (at most 20 s)
//   SETTING_BUDDY_LIST  "SETBUDDYLIST" sent; waits for its answer (at most 20 s)
//
// Transitions:
//   OFFLINE            --BUDDYLOGON-----------------------> GETTING_BUDDY_LIST
//   OFFLINE            --BUDDYLOGOFF / BUDDYLOGGEDOFF-------> OFFLINE
//   GETTING_BUDDY_LIST --answer or time-out---------------> ONLINE
//   ONLINE             --BUDDYLOGOFF----------------------> LEAVING_BUDDIES
//   LEAVING_BUDDIES    --all offline or time-out----------> SETTING_BUDDY_LIST
//   SETTING_BUDDY_LIST --answer or time-out / BUDDYLOGGEDOFF-> OFFLINE
//   GETTING_BUDDY_LIST, LEAVING_BUDDIES --BUDDYLOGOFF / BUDDYLOGGEDOFF--> OFFLINE
//   any                --RESET----------------------------> OFFLINE
#include "ZSIPService.h"

#include <list>

#include "ZBuddySession.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZSessionHelpers.h"

#define ZSERVICE_LOG(...) ZLOGCTX(_context(), __VA_ARGS__)
#define ZSERVICE_LOGC(category, ...)                                           \
    do {                                                                       \
        if (ZLogIsEnabled(category)) ZSERVICE_LOG(__VA_ARGS__);                \
    } while (0)

namespace {

const wchar_t* const kCommandQueue = L"ZSIPService_commandQueue";

}  // namespace

ZSIPService::ZSIPService(ZInstance* instance, ZMegaPort* port) : _instance(instance), _port(port) {
    ZTRACE_KIND("ZSIPService");
    ZPRECONDITION(instance);
    ZSIPSeedRandom();
    _sipClient = ZSAFENEW(ZSIPClient, port);
    _stateTimeout.setPeriod(ZSIPSERVICE_STATE_TIMEOUT);
    _wake = std::make_unique<ZMegaPortQueueWake>(instance, port);
    _wake->watch(kCommandQueue);
}

ZSIPService::~ZSIPService() {
    ZTRACE();
    ZWARNASSERT(_buddyGUIDSessionMap.empty( ));
    _reset();
    ZASSERT_PTR(_sipClient);
    delete _sipClient;
}

void ZSIPService::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZASSERT_PTR(_sipClient);
    ZThreadObject::invariantTest();
}

std::wstring ZSIPService::_getState(unsigned int state) {
    static const wchar_t* const names[] = {L"Offline", L"Getting buddy list", L"Online", L"Leaving buddies",
                                           L"Setting buddy list"};
    return state <= SETTING_BUDDY_LIST ? names[state] : L"<invalid>";
}

std::wstring ZSIPService::_context() {
    return L"(" + _instance->get(L"Local_User_GUID") + L") [" + _getState(_state) + L"] ";
}

ZBuddySession* ZSIPService::getBuddy(const std::wstring& buddyGUID) {
    const auto found = _buddyGUIDSessionMap.find(buddyGUID);
    return found == _buddyGUIDSessionMap.end() ? nullptr : found->second;
}

// ---- the thread ------------------------------------------------------------------------------

void ZSIPService::_bZThreadObject_safe_onStartup() { invariantTest(); }

int ZSIPService::_bZThreadObject_safe_onLoop() { return runOnce(); }

void ZSIPService::_bZThreadObject_safe_onShutdown() { _reset(); }

int ZSIPService::runOnce() {
    ZTRACE();
    ZScopedLock lock(this);
    invariantTest();
    for (auto& [guid, buddy] : _buddyGUIDSessionMap) buddy->update();
    _port->waitForSIPBucket(_passWait, _wake->event());
    _sipClient->dispatch(this);
    std::string item;
    while (_instance->dequeue(kCommandQueue, item)) {
        ZHTTPHeaders command;
        if (!command.deserialize(item)) continue;
        _onInput(L"", L"", ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), command, 0);
    }
    _onInput(L"", L"", ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), 1);
    return 0;
}

void ZSIPService::onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) {
    ZTRACE();
    ZScopedLock lock(this);
    if (ZCaseEquals(request.getMethod(), L"HOLEPUNCH")) {
        const std::wstring sentFrom = request.get(L"Sent-From");
        if (!ZCaseEquals(sentFrom, from) && ZSIPIsUserGUID(request.get(L"From")) && ZSIPIsDottedHost(sentFrom))
            ZSERVICE_LOGC('S', L"Remote buddy '" << request.get(L"From") << L"' thinks it's sending from (" << sentFrom
                                                 << L") but is actually sending from (" << from
                                                 << L"), maybe behind a NAT; ignoring.");
        return;
    }
    _onInput(to, from, request, ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), 0);
}

void ZSIPService::onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& originalRequest,
                             const ZHTTPHeaders& response) {
    ZTRACE();
    ZScopedLock lock(this);
    // Numbers are easy to guess: what only the server answers must come from it.
    const bool fromDevice = !originalRequest.get(L"To-Device-GUID").empty() || !response.get(L"From-Device-GUID").empty();
    if (!fromDevice && !ZCaseEquals(from, _signallingServer())) {
        ZSERVICE_LOG(L"WARNING Received response " << response.getResponseSummary() << L" to '"
                                                   << originalRequest.getMethod() << L"' from (" << from
                                                   << L"), which is not the signalling server, ignoring.");
        return;
    }
    _onInput(to, from, ZHTTPHeaders(), originalRequest, response, ZHTTPHeaders(), 0);
}

std::wstring ZSIPService::_signallingServer() {
    const std::wstring host = _instance->get(L"Global_SIP_Host");
    if (host != _sipHostText) {
        // Answers come from an address; the setting may name the server.
        std::uint32_t address = 0;
        int port = 0;
        ZNetResolveHost(host, address, port);
        _sipHostText = host;
        _sipHostAddress = address ? ZNetAddressToHost(address, port) : host;
    }
    return _sipHostAddress;
}

// ---- the input function ----------------------------------------------------------------------

void ZSIPService::_onInput(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& recvRequest,
                           const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& recvResponse,
                           const ZHTTPHeaders& command, int eventID) {
    ZTRACE();
    const std::wstring requestMethod = recvRequest.getMethod();
    const std::wstring originalMethod = originalRequest.getMethod();
    const std::wstring commandMethod = command.getMethod();
    if (!ZCaseEquals(requestMethod, L"PING") && !ZCaseEquals(originalMethod, L"PING")) {
        if (!requestMethod.empty())
            ZSERVICE_LOGC('s', L"Recieved '" << requestMethod << L"' request");
        else if (!originalMethod.empty())
            ZSERVICE_LOGC('s', L"Received response " << recvResponse.getResponseSummary() << L" to '" << originalMethod
                                                     << L"' request");
        else if (!commandMethod.empty())
            ZSERVICE_LOGC('s', L"Received '" << commandMethod << L"' command");
    }
    _instance->set(L"SIP_Status", _getState(_state), false);
    if (_onStateInput(to, from, recvRequest, originalRequest, recvResponse, command, eventID)) return;

    if (ZCaseEquals(requestMethod, L"INVITE")) {
        ZSERVICE_LOGC('s', L"Received 'INVITE' but not online, ignoring.");
    } else if (!ZCaseEquals(requestMethod, L"PING") && !ZCaseEquals(originalMethod, L"PING")) {
        ZSERVICE_LOG(L"WARNING: Ignored input, recvMethod='" << requestMethod << L"', originalMethod='" << originalMethod
                                                             << L"', recvResponse=" << recvResponse.getResponseSummary()
                                                             << L", commandMethod='" << commandMethod << L"', eventID="
                                                             << eventID << L", ignoring.");
    }
}

bool ZSIPService::_onStateInput(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& recvRequest,
                                const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& recvResponse,
                                const ZHTTPHeaders& command, int eventID) {
    const std::wstring commandMethod = command.getMethod();
    const std::wstring requestMethod = recvRequest.getMethod();
    const std::wstring originalMethod = originalRequest.getMethod();
    auto commandIs = [&](const wchar_t* m) { return !commandMethod.empty() && ZCaseEquals(commandMethod, m); };
    auto responseTo = [&](const wchar_t* m) { return !originalMethod.empty() && ZCaseEquals(originalMethod, m); };
    const bool tick = eventID == 1;
    const bool isRequest = !requestMethod.empty();
    const bool isResponse = !originalMethod.empty();

    if (commandIs(L"RESET")) {
        _changeState(OFFLINE);
        _reset();
        return true;
    }
    switch (_state) {
        case OFFLINE:
            if (tick || commandIs(L"UPDATECAPTURE")) return true;
            if (commandIs(L"BUDDYLOGON")) {
                _requestGETBUDDYLIST();
                _changeState(GETTING_BUDDY_LIST);
                return true;
            }
            if (commandIs(L"BUDDYLOGOFF")) {
                // Never logged on: nobody to leave, but the client waits for the answer.
                _notifyClient(L"BUDDYLOGGEDOFF");
                return true;
            }
            return false;

        case GETTING_BUDDY_LIST:
            if (tick) {
                if (_stateTimeout.isDue(_sipClient->now())) {
                    ZSERVICE_LOG(L"WARNING Request 'GETBUDDYLIST' timed out, going online without buddies.");
                    _changeState(ONLINE);
                }
                return true;
            }
            if (commandIs(L"UPDATECAPTURE")) return true;
            if (responseTo(L"GETBUDDYLIST")) {
                _processGETBUDDYLISTResponse(recvResponse);
                _changeState(ONLINE);
                return true;
            }
            if (commandIs(L"BUDDYLOGOFF")) {
                _notifyClient(L"BUDDYLOGGEDOFF");
                _changeState(OFFLINE);
                _reset();
                return true;
            }
            return false;

        case ONLINE:
            if (tick) return true;
            if (commandIs(L"BUDDYLOGOFF")) {
                for (auto& [guid, buddy] : _buddyGUIDSessionMap) buddy->bye(false);
                _changeState(LEAVING_BUDDIES);
                return true;
            }
            if (commandIs(L"ADDBUDDY")) {
                _addBuddy(command);
                return true;
            }
            if (responseTo(L"ADDBUDDY")) {
                _finishAddBuddy(originalRequest, recvResponse);
                return true;
            }
            if (commandIs(L"RECONNECTBUDDY")) {
                _reconnectBuddy(command);
                return true;
            }
            if (commandIs(L"REMOVEBUDDY")) {
                _removeBuddy(command);
                return true;
            }
            if (commandIs(L"BUGREPORT")) {
                _instance->set(L"Bug_Report_Status", std::wstring(L"Report sent..."), false);
                _requestBUGREPORT();
                return true;
            }
            if (responseTo(L"BUGREPORT")) {
                if (recvResponse.getResponse() == ZHTTP_SUCCESS) {
                    _instance->set(L"Bug_Report_Status", std::wstring(L"Report submitted."), false);
                    _instance->clear(L"Bug_Report");
                } else {
                    _instance->set(L"Bug_Report_Status", L"Report submission failed: " + recvResponse.getResponseSummary(),
                                   false);
                }
                return true;
            }
            if (isRequest) {
                _routeRequest(to, from, recvRequest);
                return true;
            }
            if (isResponse) {
                _routeResponse(to, from, originalRequest, recvResponse);
                return true;
            }
            if (commandIs(L"UPDATECAPTURE")) {
                for (auto& [guid, buddy] : _buddyGUIDSessionMap) buddy->onCaptureChanged();
                return true;
            }
            return false;

        case LEAVING_BUDDIES:
            if (tick || commandIs(L"UPDATECAPTURE")) {
                _leaveWhenAllOffline();
                return true;
            }
            if (commandIs(L"BUDDYLOGOFF")) {
                _notifyClient(L"BUDDYLOGGEDOFF");
                _changeState(OFFLINE);
                _reset();
                return true;
            }
            if (isRequest && ZCaseEquals(requestMethod, L"INVITE")) {
                ZSERVICE_LOGC('s', L"Received 'INVITE' but trying to say 'BYE', ignoring.");
                return true;
            }
            if (isRequest) {
                _routeRequest(to, from, recvRequest);
                return true;
            }
            if (isResponse) {
                _routeResponse(to, from, originalRequest, recvResponse);
                return true;
            }
            return false;

        case SETTING_BUDDY_LIST:
            if (tick) {
                if (_stateTimeout.isDue(_sipClient->now())) {
                    ZSERVICE_LOG(L"WARNING Request 'SETBUDDYLIST' timed out, signing off all the same.");
                    _notifyClient(L"BUDDYLOGGEDOFF");
                    _changeState(OFFLINE);
                    _reset();
                }
                return true;
            }
            if (commandIs(L"UPDATECAPTURE")) return true;
            if (responseTo(L"SETBUDDYLIST")) {
                _notifyClient(L"BUDDYLOGGEDOFF");
                _changeState(OFFLINE);
                _reset();
                return true;
            }
            return false;
    }
    return false;
}

// ---- actions -----------------------------------------------------------------------------------

void ZSIPService::_leaveWhenAllOffline() {
    bool allOffline = true;
    for (auto& [guid, buddy] : _buddyGUIDSessionMap) allOffline = allOffline && buddy->isOffline();
    if (!allOffline && !_stateTimeout.isDue(_sipClient->now())) return;
    if (allOffline)
        ZSERVICE_LOGC('s', L"All buddies are offline, sending 'SETTINGBUDDYLIST'");
    else
        ZSERVICE_LOG(L"WARNING Buddies still not offline, sending 'SETBUDDYLIST' all the same.");
    _requestSETBUDDYLIST();
    _changeState(SETTING_BUDDY_LIST);
}

ZBuddySession* ZSIPService::_createBuddy(const std::wstring& buddyGUID) {
    ZTRACE();
    ZWARNASSERT(!buddyGUID.empty( ));
    if (ZBuddySession* existing = getBuddy(buddyGUID)) return existing;
    if (!ZSIPIsUserGUID(buddyGUID)) {
        ZSERVICE_LOG(L"WARNING Refusing user identifier '" << ZSIPPrintable(buddyGUID) << L"', ignoring.");
        return nullptr;
    }
    if (static_cast<int>(_buddyGUIDSessionMap.size()) >= ZSIP_MAX_BUDDIES) {
        ZSERVICE_LOG(L"WARNING Buddy list already holds " << ZSIP_MAX_BUDDIES << L" buddies, ignoring '" << buddyGUID
                                                          << L"'.");
        return nullptr;
    }
    ZSERVICE_LOGC('s', L"Creating buddy for '" << buddyGUID << L"'");
    ZBuddySession* buddy = ZSAFENEW(ZBuddySession, _instance, _sipClient, buddyGUID);
    _buddyGUIDSessionMap[buddyGUID] = buddy;
    _wake->watch(buddyGUID + L"_commandQueue");
    ZHTTPHeaders notification(L"NEWBUDDY");
    notification.set(L"Buddy-GUID", buddyGUID);
    _instance->enqueue(L"ZClient_commandQueue", notification.serialize());
    return buddy;
}

void ZSIPService::_routeRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) {
    const std::wstring user = request.get(L"From");
    const std::wstring method = request.getMethod();
    if (!ZSIPIsUserGUID(user)) {
        ZSERVICE_LOG(L"WARNING Received request '" << ZSIPPrintable(method) << L"' from unidentified source (" << from
                                                   << L"), ignoring.");
        return;
    }
    // An invitation is routed by the server: one from anywhere else is a
    // stranger's, who would become a buddy the user never asked for.
    if (ZCaseEquals(method, L"INVITE") && !ZCaseEquals(from, _signallingServer())) {
        ZSERVICE_LOG(L"WARNING Received 'INVITE' from '" << user << L"' at (" << from
                                                          << L"), which is not the signalling server, ignoring.");
        return;
    }
    ZBuddySession* buddy = getBuddy(user);
    if (!buddy) {
        // Only an invitation makes a stranger a buddy, and never one removed in this run.
        if (!ZCaseEquals(method, L"INVITE") || _instance->contains(L"Removed_Buddy_List", user)) {
            ZSERVICE_LOG(L"WARNING Received request '" << ZSIPPrintable(method) << L"' from '" << user
                                                       << L"', who is not a buddy, ignoring.");
            return;
        }
        buddy = _createBuddy(user);
        if (!buddy) return;
    }
    buddy->onRequest(to, from, request);
}

void ZSIPService::_routeResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& originalRequest,
                                 const ZHTTPHeaders& response) {
    const std::wstring user = originalRequest.get(L"To");
    if (user.empty()) {
        ZSERVICE_LOG(L"WARNING Received recvResponse " << response.getResponseSummary() << L" to originalRequest '"
                                                       << originalRequest.getMethod()
                                                       << L"' sent to unidentified destination, ignoring.");
        return;
    }
    if (ZBuddySession* buddy = _createBuddy(user)) buddy->onResponse(to, from, originalRequest, response);
}

void ZSIPService::_addBuddy(const ZHTTPHeaders& command) {
    const std::wstring buddyGUID = ZToLower(ZTrim(command.get(L"Buddy-GUID")));
    ZWARNASSERT(!buddyGUID.empty( ));
    if (!buddyGUID.empty() && !ZSIPIsUserGUID(buddyGUID)) {
        ZSERVICE_LOG(L"WARNING Refusing to add '" << ZSIPPrintable(buddyGUID) << L"', not a user identifier.");
        _instance->set(L"Add_Buddy_Status", std::wstring(L"Unknown user."), false);
        return;
    }
    _requestADDBUDDY(buddyGUID);
}

void ZSIPService::_finishAddBuddy(const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& response) {
    const std::wstring buddyGUID = originalRequest.get(L"Buddy-GUID");
    if (response.getResponse() != ZHTTP_SUCCESS) {
        _instance->set(L"Add_Buddy_Status", std::wstring(L"Unknown user."), false);
        return;
    }
    if (_instance->contains(L"Local_Buddy_List", buddyGUID)) {
        _instance->set(L"Add_Buddy_Status", std::wstring(L"Already in buddy list."), false);
        ZSERVICE_LOG(L"WARNING Trying to add '" << buddyGUID << L"' to buddy list, but already added.");
        return;
    }
    _instance->set(L"Add_Buddy_Status", std::wstring(L"Added to buddy list."), false);
    ZSERVICE_LOGC('s', L"'ADDBUDDY' adding '" << buddyGUID << L"'");
    ZWARNASSERT(!buddyGUID.empty( ));
    if (buddyGUID.empty()) return;
    // The user asked for this buddy again.
    _instance->remove(L"Removed_Buddy_List", buddyGUID);
    if (ZBuddySession* buddy = _createBuddy(buddyGUID)) buddy->invite();
}

void ZSIPService::_reconnectBuddy(const ZHTTPHeaders& command) {
    const std::wstring buddyGUID = command.get(L"Buddy-GUID");
    ZBuddySession* buddy = getBuddy(buddyGUID);
    if (!buddy) {
        ZSERVICE_LOG(L"WARNING Trying to reconnect '" << ZSIPPrintable(buddyGUID) << L"', but doesn't exist.");
        return;
    }
    ZSERVICE_LOGC('s', L"'RECONNECTBUDDY' reinviting '" << buddyGUID << L"'");
    buddy->reset();
    buddy->invite();
}

void ZSIPService::_removeBuddy(const ZHTTPHeaders& command) {
    const std::wstring buddyGUID = command.get(L"Buddy-GUID");
    ZBuddySession* buddy = getBuddy(buddyGUID);
    if (!buddy) {
        ZSERVICE_LOG(L"WARNING Trying to remove '" << ZSIPPrintable(buddyGUID) << L"' from buddy list, but doesn't exist.");
        return;
    }
    ZSERVICE_LOGC('s', L"'REMOVEBUDDY' removing '" << buddyGUID << L"'");
    buddy->bye(true);
}

// ---- server requests -----------------------------------------------------------------------------

void ZSIPService::_sendServerRequest(ZHTTPHeaders& request) {
    request.set(L"From", _instance->get(L"Local_User_GUID"));
    // The service takes a request for a user only with the key of its
    // sign-in; these go to the service alone, never to a peer.
    if (_instance->isSet(L"Local_Session_Key")) request.set(L"Session-Key", _instance->get(L"Local_Session_Key"));
    _sipClient->sendRequest(L"", _instance->get(L"Global_SIP_Host"), request, true);
}

void ZSIPService::_requestGETBUDDYLIST() {
    ZHTTPHeaders request(L"GETBUDDYLIST");
    _sendServerRequest(request);
}

void ZSIPService::_requestSETBUDDYLIST() {
    ZHTTPHeaders request(L"SETBUDDYLIST");
    request.set(L"Buddy-List", _instance->get(L"Local_Buddy_List"));
    _sendServerRequest(request);
}

void ZSIPService::_requestADDBUDDY(const std::wstring& buddyGUID) {
    ZHTTPHeaders request(L"ADDBUDDY");
    request.set(L"Buddy-GUID", buddyGUID);
    _sendServerRequest(request);
}

void ZSIPService::_requestBUGREPORT() {
    ZHTTPHeaders request(L"BUGREPORT");
    request.set(L"Email", _instance->get(L"Local_Email"));
    request.set(L"Text", _instance->get(L"Bug_Report"));
    _sendServerRequest(request);
}

void ZSIPService::_processGETBUDDYLISTResponse(const ZHTTPHeaders& response) {
    if (response.getResponse() != ZHTTP_SUCCESS) {
        ZSERVICE_LOG(L"WARNING Request 'GETBUDDYLIST' failed, ignoring.");
        return;
    }
    std::list<std::wstring> buddies;
    ZParseList(buddies, response.get(L"Buddy-List"));
    for (const std::wstring& buddyGUID : buddies) {
        ZWARNASSERT(!buddyGUID.empty( ));
        if (buddyGUID.empty()) continue;
        if (ZBuddySession* buddy = _createBuddy(buddyGUID)) buddy->invite();
    }
}

void ZSIPService::_notifyClient(const std::wstring& method) {
    ZHTTPHeaders command(method);
    _instance->enqueue(L"ZClient_commandQueue", command.serialize());
}

void ZSIPService::_changeState(State state) {
    ZSERVICE_LOGC('s', L"Changing state to '" << _getState(state) << L"'");
    _state = state;
    _stateTimeout.restart(_sipClient->now());
}

void ZSIPService::_reset() {
    ZTRACE();
    for (auto& [guid, buddy] : _buddyGUIDSessionMap) {
        ZASSERT_PTR(buddy);
        delete buddy;
        _wake->unwatch(guid + L"_commandQueue");
    }
    _buddyGUIDSessionMap.clear();
    _instance->clear(L"Combined_Buddy_Device_List");
}
