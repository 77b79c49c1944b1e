// The call-control session with one device of one buddy: INVITE, its answer,
// ACK and the answer to the ACK settle one path each way; PING keeps it alive
// and measures it; UPDATE reports capture changes; BYE ends it;
// DEVICEBROADCAST carries the user's messages. While connected the media and
// data services hold streams for the device; the session opens and closes
// them with commands on their queues.
//
// Threading: the buddy-list service's thread only, under that service's lock;
// the session has no lock of its own. It reaches other services only through
// the store's queues. Its clock is the transaction layer's (ZSIPClient::now).
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZObject.h"
#include "ZPortable_Helpers.h"
#include "ZSIPClient.h"

class ZInstance;

// One remote device of a buddy and the session with it.
class ZDeviceSession : public ZHeapObject {
public:
    enum State : unsigned int {
        DISCONNECTED = 0,
        WF_INVITERESPONSE = 1,
        WT_REINVITE = 2,
        WF_ACK = 3,
        WF_ACKRESPONSE = 4,
        CONNECTED = 5,
        WF_BYERESPONSE = 6,
    };
    enum Event : int {
        INVALID = 0,
        UPDATE = 1,
        CAPTURECHANGED = 2,
        WAITFORINVITEOK = 3,
        RECVSERVICESONLINE = 4,
        BYEREQUESTED = 5,
        REMOVEREQUESTED = 6,
    };

    ZDeviceSession(ZInstance* instance, ZSIPClient* sipClient, const std::wstring& buddyGUID,
                   const std::wstring& deviceGUID);
    ~ZDeviceSession() override;
    void invariantTest() override;

    // Sends the server-routed "INVITE" for a buddy; the server passes it to
    // every device on which the buddy is signed in.
    static void sendINVITE(ZInstance* instance, ZSIPClient* sipClient, const std::wstring& buddyGUID);

    void waitForINVITEOK(const std::list<std::wstring>& routeList);
    void broadcast(const ZHTTPHeaders& message);
    void update();
    void onCaptureChanged();
    void bye(bool removed);
    void onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request);
    void onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& originalRequest,
                    const ZHTTPHeaders& response);
    bool isOnline() const { return _state == CONNECTED; }
    bool isOffline() const { return _state == DISCONNECTED; }
    unsigned int getState() const { return _state; }

    static std::wstring _getState(unsigned int state);
    static std::wstring _getEvent(unsigned int event);

private:
    // ---- the state machine (ZDeviceSession_FSM.cpp)
    void _fsm_onInput(const std::wstring& to, const std::wstring& fromRemoteHost, const ZHTTPHeaders& recvRequest,
                      const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& recvResponse,
                      const ZHTTPHeaders& commandRequest, int eventID);
    bool _onInput(const std::wstring& to, const std::wstring& fromRemoteHost, const ZHTTPHeaders& recvRequest,
                  const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& recvResponse,
                  const ZHTTPHeaders& commandRequest, int eventID);
    void _checkStateInvariants(int eventID);
    void _onINVITEResponse(const ZHTTPHeaders& inviteResponse);
    // Ends the session without a goodbye and without re-inviting.
    void _endQuietly();
    // The device's BYE: answered, the session ends, a removal is taken over.
    void _onBYE(const ZHTTPHeaders& bye);
    // Adopts the path the peer reported in its ACK or ACKOK, when it is ours
    // to take; false (one warning) otherwise.
    bool _acceptRoute(const std::wstring& fromRemoteHost, const ZHTTPHeaders& message,
                      const std::wstring& peerRouteList);
    void _onPingResponse(const ZHTTPHeaders& originalRequest);
    void _writeStatus(std::int64_t remaining);
    void _writeChatStatus(const wchar_t* suffix);
    void _writeLoss();

    // ---- messages, route and services (ZDeviceSession.cpp)
    void _changeState(State state);
    void _setHeaders(ZHTTPHeaders& message);
    void _updateRoute(const std::wstring& sendFrom, const std::wstring& sendTo, const std::wstring& sendToType,
                      const std::wstring& recvFrom, const std::wstring& recvFromType, const std::wstring& recvTo,
                      const std::wstring& recvToType);
    void _updateClock();
    void _updateRemoteMedia(bool audio, bool video);
    // Takes the device's media flags and clock from its INVITE or INVITE answer.
    void _adoptRemoteDetails(const ZHTTPHeaders& message);
    void _startServices();
    void _stopServices();
    // Only the capture and playback streams: what a media change restarts.
    void _stopMedia();
    void _sendINVITE();
    void _sendINVITEResponse(const ZHTTPHeaders& invite, int code);
    // The peer's "Try-Route-List" without the entries we refuse to send to,
    // one warning when there were any.
    std::wstring _peerRoutes(const ZHTTPHeaders& message);
    void _sendACK(const ZHTTPHeaders& inviteResponse);
    void _sendACKOK(const ZHTTPHeaders& ack);
    void _sendUPDATE();
    void _sendPING();
    void _sendOK(const ZHTTPHeaders& request);
    void _sendBYE(bool removed);
    void _sendHOLEPUNCH();
    void _post(const std::wstring& queue, const ZHTTPHeaders& command);
    void _reset();
    std::int64_t _now() const { return _sipClient->now(); }
    std::wstring _context() const;

    ZInterval _reinviteInterval;
    ZInterval _pingInterval;
    ZInterval _requestTimeout;
    ZInterval _retransmitInterval;
    ZInstance* _instance;
    ZSIPClient* _sipClient;
    std::wstring _buddyGUID;
    std::wstring _deviceGUID;
    std::wstring _buddyDeviceGUID;
    State _state = DISCONNECTED;
    ZHTTPHeaders _originalINVITERequest;
    ZHTTPHeaders _originalINVITEResponse;
    std::int64_t _lastPingSuccessTimestamp = 0;
    std::list<double> _pingTimes;
    int _pingsSent = 0;
    int _pingsReceived = 0;
    std::wstring _recvFromHost;
    std::wstring _sendFromHost;
    std::wstring _sendToHost;
    std::wstring _sendToType;
    std::list<std::wstring> _tryRouteList;
};
