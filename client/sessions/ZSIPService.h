// The buddy-list and presence service: fetches the buddy list from the
// signalling server after sign-in, keeps one buddy session per buddy, adds,
// removes and re-invites buddies on the user's command, sends bug reports,
// routes every signalling request and response to its buddy's session, and
// at sign-off says goodbye to every buddy, stores the list on the server and
// tells the client the buddies are logged off.
//
// Threading: its own service thread runs the loop, the transaction layer's
// listener calls and every buddy and device session, all under the service
// lock, which stays held while the loop waits up to 500 ms for signalling.
// Other threads reach it only through "ZSIPService_commandQueue" and the
// buddies' queues, and read its state only through the store; a message on
// any of those queues ends the wait at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZPortable_Helpers.h"
#include "ZSIPClient.h"
#include "ZThreadObject.h"

class ZInstance;
class ZMegaPort;
class ZMegaPortQueueWake;
class ZBuddySession;

// Longest wait for the server during sign-in and sign-off, in microseconds.
constexpr std::int64_t ZSIPSERVICE_STATE_TIMEOUT = 20000000;

// The service that keeps the buddy list and its sessions.
class ZSIPService : public ZThreadObject, public IZSIPClientListener {
public:
    enum State : unsigned int {
        OFFLINE = 0,
        GETTING_BUDDY_LIST = 1,
        ONLINE = 2,
        LEAVING_BUDDIES = 3,
        SETTING_BUDDY_LIST = 4,
    };

    ZSIPService(ZInstance* instance, ZMegaPort* port);
    ~ZSIPService() override;
    void invariantTest() override;

    void onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) override;
    void onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& originalRequest,
                    const ZHTTPHeaders& response) override;

    // The transaction layer, whose clock the sessions share (tests set it).
    ZSIPClient* getSIPClient() { return _sipClient; }
    State getState() const { return _state; }
    ZBuddySession* getBuddy(const std::wstring& buddyGUID);
    int getNumBuddies() const { return static_cast<int>(_buddyGUIDSessionMap.size()); }
    static std::wstring _getState(unsigned int state);

    // One pass of the loop; the thread runs it, tests may call it directly.
    int runOnce();
    // The longest wait of one pass for signalling (500 ms by default); for
    // the owner before start.
    void setPassWait(std::int64_t microseconds) { _passWait = microseconds; }

protected:
    void _bZThreadObject_safe_onStartup() override;
    int _bZThreadObject_safe_onLoop() override;
    void _bZThreadObject_safe_onShutdown() override;

private:
    void _onInput(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& recvRequest,
                  const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& recvResponse, const ZHTTPHeaders& command,
                  int eventID);
    bool _onStateInput(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& recvRequest,
                       const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& recvResponse,
                       const ZHTTPHeaders& command, int eventID);
    // Null for an identifier that is refused or when the list is full.
    ZBuddySession* _createBuddy(const std::wstring& buddyGUID);
    void _routeRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request);
    void _routeResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& originalRequest,
                        const ZHTTPHeaders& response);
    void _addBuddy(const ZHTTPHeaders& command);
    void _finishAddBuddy(const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& response);
    void _reconnectBuddy(const ZHTTPHeaders& command);
    void _removeBuddy(const ZHTTPHeaders& command);
    void _leaveWhenAllOffline();
    void _sendServerRequest(ZHTTPHeaders& request);
    void _requestGETBUDDYLIST();
    void _requestSETBUDDYLIST();
    void _requestADDBUDDY(const std::wstring& buddyGUID);
    void _requestBUGREPORT();
    void _processGETBUDDYLISTResponse(const ZHTTPHeaders& response);
    void _notifyClient(const std::wstring& method);
    void _changeState(State state);
    void _reset();
    std::wstring _context();
    // The signalling server's address as its answers show it.
    std::wstring _signallingServer();

    ZInstance* _instance;
    ZMegaPort* _port;
    ZSIPClient* _sipClient;
    State _state = OFFLINE;
    std::map<std::wstring, ZBuddySession*> _buddyGUIDSessionMap;
    // Paces the states that wait for the server, so sign-in and sign-off
    // always move on.
    ZInterval _stateTimeout;
    std::int64_t _passWait = 500000;
    // Ends the wait when a command reaches the service's or a buddy's queue.
    std::unique_ptr<ZMegaPortQueueWake> _wake;
    std::wstring _sipHostText;
    std::wstring _sipHostAddress;
};
