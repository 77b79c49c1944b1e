// The dispatch service: brings the client's one UDP port onto the network
// (connection class from the STUN hosts, UPnP, relay fallback, server
// choice, device identity, registration, keep-alive and NAT refresh) and is
// the one reader of the UDP port and the relay connection, filing every
// inbound packet in the switchboard.
//
// Threading: one thread of its own, "ZClient.ZDispatchService". The loop,
// the state machine and every request run on it with the object's lock
// held; the loop lets the lock go only while it waits for traffic. Other
// threads reach the service only through "ZDispatchService_commandQueue"
// (CONNECT, DISCONNECT, RESET) and the store; its outcome goes back to
// "ZClient_commandQueue" (CONNECTED, DISCONNECTED). The switchboard keeps
// its own locks; the service never holds one of them. setClock, setSleep
// and setPassWait are for the owner before start.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ZHTTPHeaders.h"
#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZPortable_Helpers.h"
#include "ZSIPClient.h"
#include "ZThreadObject.h"

class ZHTTPClient;
class ZMegaPort;
struct ZUPnPRequest;
class ZMegaPortBucket;

// Where the service reads the time; tests drive their own clock.
typedef std::int64_t (*ZDispatchClock)();
// How the service sleeps (microseconds); tests record the sleep instead.
typedef void (*ZDispatchSleep)(std::int64_t);

// The tick event of the state machine.
constexpr int ZDISPATCH_EVENT_UPDATE = 1;
// Packets read in one pass before commands and the tick get their turn.
constexpr int ZDISPATCH_PACKETS_PER_PASS = 256;
// Longest NAT refresh test and keep-alive period, in microseconds.
constexpr std::int64_t ZDISPATCH_MAX_REFRESH_PERIOD = 120000000;
// Longest "Startup_Sleep" before connecting, in milliseconds.
constexpr std::int64_t ZDISPATCH_MAX_STARTUP_SLEEP_MS = 60000;
// A periodic REGISTER that has no answer this long after it was first sent
// (the first resend after 1 s, then 5.5 s) ends the connection.
constexpr std::int64_t ZDISPATCH_REREGISTER_TIMEOUT = 6500000;
// Requests remembered for matching answers; older ones are forgotten.
constexpr std::size_t ZDISPATCH_MAX_PENDING_REQUESTS = 1024;

// Brings the UDP port online and keeps it there; files every inbound packet.
class ZDispatchService : public ZThreadObject {
public:
    ZDispatchService(ZInstance* instance, ZMegaPort* megaPort);
    ~ZDispatchService() override;
    void invariantTest() override;

    void setClock(ZDispatchClock clock);
    void setSleep(ZDispatchSleep sleep);
    // The longest wait of one loop pass for traffic (500 ms by default).
    void setPassWait(std::int64_t microseconds);
    // The current state, read under the lock (for status views and tests).
    std::uint32_t getState();

    enum State : std::uint32_t {
        Offline = 0,
        STUN = 1,
        TURN = 2,
        CHOOSESERVER = 3,
        DEVICEGUID = 4,
        Registering = 5,
        Online = 6,
        Reregistering = 7,
        UNREGISTERING = 8,
    };
    static std::wstring _getState(std::uint32_t state);
    static std::wstring _getEvent(int eventID);

protected:
    void _bZThreadObject_safe_onStartup() override;
    int _bZThreadObject_safe_onLoop() override;
    void _bZThreadObject_safe_onShutdown() override;

private:
    // One input of the state machine; exactly one kind is filled in.
    struct Input {
        const std::wstring& fromRemoteHost;
        const ZHTTPHeaders& recvRequest;
        const ZHTTPHeaders& originalRequest;
        const ZHTTPHeaders& recvResponse;
        const ZHTTPHeaders& commandRequest;
        int eventID;

        bool isTick() const { return eventID == ZDISPATCH_EVENT_UPDATE; }
        bool isCommand(const wchar_t* method) const;
        bool isResponseTo(const wchar_t* method) const;
    };

    // A request sent to a server and the hosts whose answers are taken.
    struct Sent {
        ZHTTPHeaders request;
        std::vector<std::wstring> answerHosts;
    };

    // ---- the state machine (ZDispatchService.cpp, _Online.cpp)
    bool _onInput(const Input& in);
    bool _onOffline(const Input& in);
    bool _onSTUN(const Input& in);
    void _classify();
    bool _onTURN(const Input& in);
    bool _onChooseServer(const Input& in);
    bool _onDeviceGUID(const Input& in);
    bool _onRegistering(const Input& in);
    bool _onOnline(const Input& in);
    void _onOnlineTick();
    void _onPINGAnswer(const Input& in);
    void _onRefreshAnswer(const Input& in);
    bool _onUnregistering(const Input& in);
    void _startRefreshTest(std::int64_t delay);
    void _goOnline();
    void _checkStateInvariants();
    void _changeState(std::uint32_t state);
    void _notifyClient(const wchar_t* method);
    void _disconnect();
    void _reset();
    void _setStatus(const wchar_t* word);
    std::wstring _prefix();
    std::int64_t _now() const { return _clock(); }
    // A number of the settings held to [low, high], with one warning when
    // it was outside: every product of it stays in range.
    std::int64_t _setting(const wchar_t* name, std::int64_t low, std::int64_t high);

    // ---- requests (ZDispatchService_Requests.cpp)
    void _request(const std::wstring& host, const ZHTTPHeaders& request);
    void _retryLastRequest();
    void _sendGlobal(const std::wstring& host, const std::string& bytes);
    void _sendHolePunch();
    void _requestSTUN();
    void _requestTURN();
    void _requestPINGAll();
    void _requestPING();
    void _requestREFRESHNAT(std::int64_t delay);
    void _requestDEVICEGUID();
    void _addSessionKey(ZHTTPHeaders& request) const;
    void _requestREGISTER();
    void _requestUNREGISTER();
    // Numbers the request and remembers it with the hosts that may answer it.
    int _record(ZHTTPHeaders& request, const std::vector<std::wstring>& answerHosts);

    // ---- the loop (ZDispatchService_Loop.cpp)
    void _waitForTraffic();
    void _receivePackets();
    // Reads the next packet into the bucket; false when nothing is ready.
    bool _readPacket(ZMegaPortBucket* bucket, bool relayFirst, bool udpDisabled, int& budget);
    bool _readDirect(ZMegaPortBucket* bucket, bool udpDisabled, int& budget);
    bool _readRelay(ZMegaPortBucket* bucket, int& budget);
    // Sorts one packet; true when the bucket was filed and a fresh one is needed.
    bool _filePacket(ZMegaPortBucket* bucket);
    void _fileOwnAnswer(const ZHTTPHeaders& message, const std::wstring& from);
    void _drainCommands();
    // Takes the mapping once the router has answered (wait: join at once).
    void _collectUPnP(bool wait);
    void _watchRelay();
    void _fsm_onInput(const std::wstring& fromRemoteHost, const ZHTTPHeaders& recvRequest,
                      const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& recvResponse,
                      const ZHTTPHeaders& commandRequest, int eventID);
    bool _filesPeerTraffic() const { return _state == Online || _state == Reregistering; }

    ZInstance* _instance;
    ZMegaPort* _megaPort;
    std::uint32_t _state = Offline;
    ZInterval _timeoutInterval;
    ZInterval _retryInterval;
    ZInterval _pingInterval;
    ZInterval _refreshInterval;
    ZInterval _reregisterInterval;
    ZInterval _reregisterTimeout;
    std::wstring _stunHosts[4];
    ZHTTPHeaders _directSTUNResponse;
    ZHTTPHeaders _indirectPunchedSTUNResponse;
    ZHTTPHeaders _indirectUnpunchedSTUNResponse;
    ZNetUDPPort* _udpPort = nullptr;
    ZNetUPnPMapping* _upnpMapping = nullptr;
    // The router is asked for the mapping on a thread of its own: it may take
    // seconds to answer, and nothing on the way online waits for the outcome.
    ZUPnPRequest* _upnpRequest = nullptr;
    ZThreadId _upnpThread = 0;
    std::map<int, Sent> _cseqRequestMap;
    // The last number used; the first is drawn at random (see ZSIPFirstCSeq).
    int _cseq = ZSIPFirstCSeq() - 1;
    std::wstring _lastRequestHost;
    ZHTTPHeaders _lastRequest;
    ZHTTPClient* _turnClient = nullptr;
    // The relay socket is handed to the switchboard, which then writes it alone.
    bool _relayAttached = false;
    int _pingFailures = 0;
    // "Local_Host" as a pass of reads found it: every direct datagram of the
    // pass is addressed to it, without a store look-up each.
    std::wstring _passLocalHost;

    ZDispatchClock _clock;
    ZDispatchSleep _sleep;
    std::int64_t _passWait = 500000;
    ZNetWake* _wake = nullptr;
};
