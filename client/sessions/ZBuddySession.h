// One buddy of the user: its presence variables in the store, the invitation
// through the signalling server, and one device session per device on which
// the buddy is signed in. Routes the buddy's signalling to the right device
// session and hands the user's DEVICEBROADCAST commands to all of them.
//
// Threading: the buddy-list service's thread only, under that service's lock.
// Other threads reach it only through the queue "<buddy>_commandQueue".
#pragma once

#include <map>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZObject.h"
#include "ZSIPClient.h"

class ZInstance;
class ZDeviceSession;

// A buddy and the sessions with its devices.
class ZBuddySession : public ZHeapObject, public IZSIPClientListener {
public:
    ZBuddySession(ZInstance* instance, ZSIPClient* sipClient, const std::wstring& buddyGUID);
    ~ZBuddySession() override;
    void invariantTest() override;

    bool isOffline();
    void update();
    void invite();
    void reset();
    void bye(bool removed);
    void onCaptureChanged();
    void onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) override;
    void onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& originalRequest,
                    const ZHTTPHeaders& response) override;

    // The session of the device, made when absent; null for an identifier
    // that is refused or a buddy that already has its most devices.
    ZDeviceSession* _createDevice(const std::wstring& deviceGUID);
    // The session of the device, or null.
    ZDeviceSession* getDevice(const std::wstring& deviceGUID);
    int getNumDevices() const { return static_cast<int>(_deviceGUIDSessionMap.size()); }

private:
    std::wstring _context();
    void _onINVITEResponse(const ZHTTPHeaders& response);
    void _refuse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request);

    ZInstance* _instance;
    ZSIPClient* _sipClient;
    std::wstring _buddyGUID;
    std::map<std::wstring, ZDeviceSession*> _deviceGUIDSessionMap;
};
