#include "ZBuddySession.h"

#include <list>

#include "ZDeviceSession.h"
#include "ZInstance.h"
#include "ZPortable.h"
#include "ZSessionHelpers.h"

#define ZBUDDY_LOG(...) ZLOGCTX(_context(), __VA_ARGS__)
#define ZBUDDY_LOGC(category, ...)                                             \
    do {                                                                       \
        if (ZLogIsEnabled(category)) ZBUDDY_LOG(__VA_ARGS__);                  \
    } while (0)

ZBuddySession::ZBuddySession(ZInstance* instance, ZSIPClient* sipClient, const std::wstring& buddyGUID)
    : _instance(instance), _sipClient(sipClient), _buddyGUID(buddyGUID) {
    ZTRACE_KIND("ZBuddySession");
    ZPRECONDITION(instance);
    ZPRECONDITION(sipClient);
    ZPRECONDITION(!buddyGUID.empty( ));
    ZSIPCopyPicture(_instance, _buddyGUID + L"_Image", L"defaultprofile.png");
    ZSIPCopyPicture(_instance, _buddyGUID + L"_Image_BW", L"defaultprofile_BW.png");
    _instance->set(_buddyGUID + L"_Time", std::wstring(L"-:--pm"), false);
}

ZBuddySession::~ZBuddySession() {
    ZTRACE();
    reset();
}

void ZBuddySession::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_sipClient);
    ZASSERT(!_buddyGUID.empty( ));
    ZObject::invariantTest();
}

std::wstring ZBuddySession::_context() {
    return L"(" + _instance->get(L"Local_User_GUID") + L"->" + _buddyGUID + L") ";
}

bool ZBuddySession::isOffline() {
    for (const auto& [device, session] : _deviceGUIDSessionMap)
        if (!session->isOffline()) return false;
    return true;
}

ZDeviceSession* ZBuddySession::getDevice(const std::wstring& deviceGUID) {
    const auto found = _deviceGUIDSessionMap.find(deviceGUID);
    return found == _deviceGUIDSessionMap.end() ? nullptr : found->second;
}

ZDeviceSession* ZBuddySession::_createDevice(const std::wstring& deviceGUID) {
    ZTRACE();
    invariantTest();
    if (ZDeviceSession* existing = getDevice(deviceGUID)) return existing;
    if (!ZSIPIsDeviceGUID(deviceGUID)) {
        ZBUDDY_LOG(L"WARNING Refusing device identifier '" << ZSIPPrintable(deviceGUID) << L"', ignoring.");
        return nullptr;
    }
    if (static_cast<int>(_deviceGUIDSessionMap.size()) >= ZSIP_MAX_DEVICES) {
        ZBUDDY_LOG(L"WARNING Buddy already has " << ZSIP_MAX_DEVICES << L" devices, ignoring device '" << deviceGUID
                                                 << L"'.");
        return nullptr;
    }
    ZDeviceSession* session = ZSAFENEW(ZDeviceSession, _instance, _sipClient, _buddyGUID, deviceGUID);
    _deviceGUIDSessionMap[deviceGUID] = session;
    _instance->insert(_buddyGUID + L"_Device_List", deviceGUID);
    _instance->insert(L"Combined_Buddy_Device_List", ZComposeAddress(_buddyGUID, deviceGUID));
    return session;
}

void ZBuddySession::invite() {
    ZTRACE();
    invariantTest();
    ZBUDDY_LOGC('b', L"Sending 'INVITE'");
    ZDeviceSession::sendINVITE(_instance, _sipClient, _buddyGUID);
    _instance->insert(L"Local_Buddy_List", _buddyGUID);
}

void ZBuddySession::reset() {
    ZTRACE();
    invariantTest();
    _instance->clear(_buddyGUID + L"_Device_List");
    for (auto& [device, session] : _deviceGUIDSessionMap) {
        ZASSERT_PTR(session);
        delete session;
    }
    _deviceGUIDSessionMap.clear();
    _instance->clear(_buddyGUID + L"_Online");
    _instance->clear(_buddyGUID + L"_Offline");
}

void ZBuddySession::bye(bool removed) {
    ZTRACE();
    invariantTest();
    if (removed) {
        _instance->remove(L"Local_Buddy_List", _buddyGUID);
        _instance->insert(L"Removed_Buddy_List", _buddyGUID);
    }
    for (auto& [device, session] : _deviceGUIDSessionMap) session->bye(removed);
}

void ZBuddySession::onCaptureChanged() {
    ZTRACE();
    for (auto& [device, session] : _deviceGUIDSessionMap) session->onCaptureChanged();
}

void ZBuddySession::update() {
    ZTRACE();
    invariantTest();
    bool online = false;
    bool offline = true;
    for (auto& [device, session] : _deviceGUIDSessionMap) {
        session->update();
        online = online || session->isOnline();
        offline = offline && session->isOffline();
    }
    _instance->set(_buddyGUID + L"_Online", std::wstring(online ? L"1" : L"0"), false);
    _instance->set(_buddyGUID + L"_Offline", std::wstring(offline ? L"1" : L"0"), false);
    if (offline) _instance->set(_buddyGUID + L"_Chat_Status", _buddyGUID + L" is offline.", false);

    const std::wstring queue = _buddyGUID + L"_commandQueue";
    std::string item;
    while (_instance->dequeue(queue, item)) {
        ZHTTPHeaders command;
        if (!command.deserialize(item)) {
            ZBUDDY_LOG(L"WARNING Malformed command to '" << _buddyGUID << L"@ZSIPService_commandQueue', ignoring.");
            continue;
        }
        if (!ZCaseEquals(command.getMethod(), L"DEVICEBROADCAST")) {
            ZBUDDY_LOG(L"WARNING Unrecognized command '" << command.getMethod() << L"' to ZSIPService, ignoring.");
            continue;
        }
        for (auto& [device, session] : _deviceGUIDSessionMap) session->broadcast(command);
    }
}

// ---- signalling ----------------------------------------------------------------------------

void ZBuddySession::_refuse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) {
    ZHTTPHeaders response;
    response.set(std::wstring(), L"HTTP/1.1 400 Invalid request");
    _sipClient->sendResponse(to, from, request, response);
}

void ZBuddySession::onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) {
    ZTRACE();
    invariantTest();
    const bool invitation = ZCaseEquals(request.getMethod(), L"INVITE");
    // Only an invitation makes somebody a buddy, and never one the user
    // removed in this run.
    if (_instance->contains(L"Removed_Buddy_List", _buddyGUID)) {
        if (invitation) {
            ZBUDDY_LOG(L"WARNING Received 'INVITE' from removed buddy '" << _buddyGUID << L"', ignoring.");
            return;
        }
    } else if (invitation) {
        _instance->insert(L"Local_Buddy_List", _buddyGUID);
    }
    const std::wstring deviceGUID = request.get(L"From-Device-GUID");
    ZDeviceSession* session = nullptr;
    if (!deviceGUID.empty() && (session = (invitation ? _createDevice(deviceGUID) : getDevice(deviceGUID))) != nullptr) {
        session->onRequest(to, from, request);
        return;
    }
    if (deviceGUID.empty() || invitation) {
        ZBUDDY_LOG(L"WARNING Unexpected request '" << request.getMethod() << L"' from '" << from << L"'");
        _refuse(to, from, request);
        return;
    }
    // A device we hold no session with: it learns so when its requests go unanswered.
    ZBUDDY_LOG(L"WARNING Request '" << request.getMethod() << L"' from unknown device '" << ZSIPPrintable(deviceGUID)
                                    << L"', ignoring.");
}

void ZBuddySession::onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& originalRequest,
                               const ZHTTPHeaders& response) {
    ZTRACE();
    invariantTest();
    std::wstring deviceGUID = originalRequest.get(L"To-Device-GUID");
    if (deviceGUID.empty()) deviceGUID = response.get(L"From-Device-GUID");
    if (!deviceGUID.empty()) {
        if (ZCaseEquals(deviceGUID, _instance->get(L"Local_Device_GUID"))) {
            ZBUDDY_LOG(L"WARNING Somehow received a response from ourselves; ignoring.");
            return;
        }
        if (ZDeviceSession* session = _createDevice(deviceGUID)) session->onResponse(to, from, originalRequest, response);
        return;
    }
    if (ZCaseEquals(originalRequest.getMethod(), L"INVITE")) {
        _onINVITEResponse(response);
        return;
    }
    ZBUDDY_LOG(L"WARNING Received response #" << response.getResponse() << L" (" << response.getResponseReason()
                                              << L") to unknown request '" << originalRequest.getMethod() << L"' for '"
                                              << _buddyGUID << L"', ignoring.");
}

void ZBuddySession::_onINVITEResponse(const ZHTTPHeaders& response) {
    std::wstring reason;
    const int code = response.getResponse(reason);
    if (code == 100) {
        std::list<std::wstring> devices;
        response.get(L"Device-List", devices);
        ZBUDDY_LOGC('b', L"Buddy '" << _buddyGUID << L"' is online at " << static_cast<int>(devices.size())
                                    << L" locations, sending HOLEPUNCH to each.");
        for (const std::wstring& deviceGUID : devices) {
            int refused = 0;
            const std::wstring routes = ZSIPCleanRouteList(response.get(deviceGUID + L"-Route-List"), &refused);
            if (refused)
                ZBUDDY_LOG(L"WARNING Refused " << refused << L" route entries of device '" << ZSIPPrintable(deviceGUID)
                                               << L"'.");
            std::list<std::wstring> routeList;
            ZParseList(routeList, routes);
            if (routeList.empty()) continue;
            ZDeviceSession* session = _createDevice(deviceGUID);
            if (!session) continue;
            session->waitForINVITEOK(routeList);
            _instance->set(deviceGUID + L"_Route_List", routes, false);
        }
    } else if (code == 400) {
        ZBUDDY_LOGC('b', L"Buddy '" << _buddyGUID << L"' is offline.");
    } else {
        ZBUDDY_LOG(L"WARNING Received invalid response #" << code << L" (" << reason << L") to INVITE request for '"
                                                          << _buddyGUID << L"', ignoring.");
    }
}
