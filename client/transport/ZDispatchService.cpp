// The dispatch service's connection state machine.
//
// States: Offline, STUN (waiting for the three STUN answers), TURN (opening
// the relay), CHOOSESERVER (first signalling server to answer a PING),
// DEVICEGUID, Registering, Online, Re-registering (a periodic REGISTER is
// out), UNREGISTERING. "Disconnect" below means: tell the client
// DISCONNECTED, go Offline, close everything.
//
//   Offline        CONNECT, port opened           -> STUN
//   Offline        CONNECT, port failed           -> disconnect
//   any            RESET                          -> Offline (no notification)
//   STUN           tick, time-out or all answers  -> CHOOSESERVER (a class with UDP)
//                                                 -> TURN (SYMMETRIC, or no direct answer)
//   TURN           OPENTURN 200 with a host       -> CHOOSESERVER
//   TURN           failure, bad host, time-out    -> disconnect
//   CHOOSESERVER   PING 200 from a listed server  -> DEVICEGUID / Registering
//   CHOOSESERVER   time-out                       -> disconnect
//   DEVICEGUID     200 with an identity           -> Registering; else disconnect
//   Registering    REGISTER 200                   -> Online (CONNECTED)
//   Registering    REGISTER failed                -> DEVICEGUID
//   Registering    time-out                       -> disconnect
//   Online         15 minutes since REGISTER      -> Re-registering
//   Re-registering REGISTER 200                   -> Online
//   Re-registering REGISTER failed                -> DEVICEGUID
//   Re-registering no answer for 6.5 s            -> disconnect
//   Online/Re-reg. 6 keep-alives lost, mapping changed -> disconnect
//   Online/Re-reg. DISCONNECT                     -> UNREGISTERING
//   UNREGISTERING  answer or time-out             -> disconnect
//
// Online and Re-registering are in ZDispatchService_Online.cpp.
#include "ZDispatchService.h"

#include <algorithm>
#include <atomic>
#include <list>

#include "ZDispatchServiceLog.h"
#include "ZHTTPClient.h"
#include "ZMegaPort.h"
#include "ZPortable.h"

// One question to the router, asked on a thread of its own.
struct ZUPnPRequest {
    std::wstring localHost;
    int low = 0;
    int high = 0;
    ZNetUPnPMapping* mapping = nullptr;
    std::atomic<bool> done{false};
};

void ZUPnPRequestRun(void* param) {
    auto* request = static_cast<ZUPnPRequest*>(param);
    request->mapping = ZNetUPnPMappingOpen(request->localHost, request->low, request->high);
    request->done.store(true);
}

namespace {

constexpr std::int64_t kTimeout = 5500000;
constexpr std::int64_t kRetry = 1000000;
constexpr std::int64_t kFirstPeriod = 1000000;
constexpr std::int64_t kReregister = 900000000;

}  // namespace

bool ZDispatchService::Input::isCommand(const wchar_t* method) const {
    return !commandRequest.empty() && ZCaseEquals(commandRequest.getMethod(), method);
}

bool ZDispatchService::Input::isResponseTo(const wchar_t* method) const {
    return !recvResponse.empty() && ZCaseEquals(originalRequest.getMethod(), method);
}

ZDispatchService::ZDispatchService(ZInstance* instance, ZMegaPort* megaPort)
    : _instance(instance), _megaPort(megaPort), _clock(ZTimeNow), _sleep(ZThreadSleep) {
    ZTRACE_KIND("ZDispatchService");
    ZPRECONDITION_PTR(instance);
    _timeoutInterval.setPeriod(kTimeout);
    _retryInterval.setPeriod(kRetry);
    _pingInterval.setPeriod(kFirstPeriod);
    _refreshInterval.setPeriod(kFirstPeriod);
    _reregisterInterval.setPeriod(kReregister);
    _reregisterTimeout.setPeriod(ZDISPATCH_REREGISTER_TIMEOUT);
    // A command ends the loop's wait for traffic at once.
    _wake = ZNetWakeOpen();
    _instance->setQueueWake(L"ZDispatchService_commandQueue", _wake);
}

ZDispatchService::~ZDispatchService() {
    ZTRACE();
    lock();
    _reset();
    ZWARNASSERT(!_turnClient);
    unlock();
    _instance->setQueueWake(L"ZDispatchService_commandQueue", nullptr);
    ZNetWakeClose(_wake);
}

void ZDispatchService::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_megaPort);
    ZThreadObject::invariantTest();
}

void ZDispatchService::setClock(ZDispatchClock clock) {
    ZTRACE();
    ZPRECONDITION(clock);
    ZScopedLock guard(this);
    _clock = clock;
}

void ZDispatchService::setSleep(ZDispatchSleep sleep) {
    ZTRACE();
    ZPRECONDITION(sleep);
    ZScopedLock guard(this);
    _sleep = sleep;
}

std::int64_t ZDispatchService::_setting(const wchar_t* name, std::int64_t low, std::int64_t high) {
    const std::int64_t value = _instance->calc(name);
    if (value >= low && value <= high) return value;
    const std::int64_t held = std::clamp(value, low, high);
    ZDISPATCH_LOG(L"WARNING Setting '" << name << L"' of " << value << L" is out of range, using " << held << L".");
    return held;
}

void ZDispatchService::setPassWait(std::int64_t microseconds) {
    ZTRACE();
    ZPRECONDITION(microseconds >= 0);
    ZScopedLock guard(this);
    _passWait = microseconds;
}

std::uint32_t ZDispatchService::getState() {
    ZScopedLock guard(this);
    return _state;
}

std::wstring ZDispatchService::_getState(std::uint32_t state) {
    switch (state) {
    case Offline: return L"Offline";
    case STUN: return L"STUN";
    case TURN: return L"TURN";
    case CHOOSESERVER: return L"CHOOSESERVER";
    case DEVICEGUID: return L"DEVICEGUID";
    case Registering: return L"Registering";
    case Online: return L"Online";
    case Reregistering: return L"Re-registering";
    case UNREGISTERING: return L"UNREGISTERING";
    }
    return L"<invalid>";
}

std::wstring ZDispatchService::_getEvent(int eventID) {
    return eventID == ZDISPATCH_EVENT_UPDATE ? L"UPDATE" : L"<invalid>";
}

void ZDispatchService::_collectUPnP(bool wait) {
    ZTRACE();
    if (!_upnpRequest || (!wait && !_upnpRequest->done.load())) return;
    // The asking thread never takes the service's lock: joining under it is safe.
    if (_upnpThread) ZThreadClose(_upnpThread);
    _upnpThread = 0;
    _upnpMapping = _upnpRequest->mapping;
    if (_upnpMapping)
        ZDISPATCH_ACTIVITY(L"Opened UPnP mapping for (" << _upnpRequest->localHost << L") with ("
                                                        << ZNetUPnPMappingGetHost(_upnpMapping) << L")");
    else
        ZDISPATCH_ACTIVITY(L"UPnP failed, ignoring.");
    delete _upnpRequest;
    _upnpRequest = nullptr;
}

std::wstring ZDispatchService::_prefix() {
    return L"(" + _instance->get(L"Local_User_GUID") + L") [" + _getState(_state) + L"] ";
}

void ZDispatchService::_bZThreadObject_safe_onStartup() {
    ZTRACE();
    // Nothing to initialise on this platform: the UPnP client needs no COM.
}

void ZDispatchService::_bZThreadObject_safe_onShutdown() {
    ZTRACE();
    _reset();
}

// ---- the state machine -------------------------------------------------------------

bool ZDispatchService::_onInput(const Input& in) {
    ZTRACE();
    _checkStateInvariants();
    if (in.isCommand(L"RESET")) {
        if (_state != Offline) _changeState(Offline);
        _reset();
        return true;
    }
    switch (static_cast<State>(_state)) {
    case Offline: return _onOffline(in);
    case STUN: return _onSTUN(in);
    case TURN: return _onTURN(in);
    case CHOOSESERVER: return _onChooseServer(in);
    case DEVICEGUID: return _onDeviceGUID(in);
    case Registering: return _onRegistering(in);
    case Online:
    case Reregistering: return _onOnline(in);
    case UNREGISTERING: return _onUnregistering(in);
    }
    return false;
}

bool ZDispatchService::_onOffline(const Input& in) {
    ZTRACE();
    if (in.isTick()) {
        _instance->set(L"Dispatch_Status", std::wstring(L"Offline"), false);
        return true;
    }
    if (!in.isCommand(L"CONNECT")) return false;

    const std::int64_t startupSleep = _setting(L"Startup_Sleep", 0, ZDISPATCH_MAX_STARTUP_SLEEP_MS);
    if (startupSleep > 0) _sleep(startupSleep * 1000);

    const std::wstring localIP = _instance->get(L"Local_IP");
    ZWARNASSERT(!localIP.empty( ));
    const std::wstring host = localIP + L":" + ZToString(_instance->calc(L"Local_Port"));
    if (_instance->isSet(L"Local_Port")) ZDISPATCH_ACTIVITY(L"Using fixed local port, trying host '" << host << L"'");

    // The server is chosen anew for every connection; a choice left from the
    // last one must not be mistaken for this one's.
    _instance->clear(L"Global_SIP_Host");

    _udpPort = ZNetUDPPortOpen(host);
    if (!_udpPort) {
        ZDISPATCH_LOG(L"WARNING Can't open UDP port on IP '" << host << L"', disconnecting.");
        _disconnect();
        return true;
    }
    const std::wstring localHost = ZNetUDPPortGetLocalHost(_udpPort);
    ZWARNASSERT(ZValidHost( localHost ));
    _instance->set(L"Local_Host", localHost, false);

    _collectUPnP(true);
    _upnpRequest = new ZUPnPRequest;
    _upnpRequest->localHost = localHost;
    _upnpRequest->low = static_cast<int>(_instance->calc(L"UPnP_Low_Port"));
    _upnpRequest->high = static_cast<int>(_instance->calc(L"UPnP_High_Port"));
    _upnpThread = ZThreadOpen(L"ZClient.ZDispatchService.UPnP", ZUPnPRequestRun, _upnpRequest);
    if (!_upnpThread) ZUPnPRequestRun(_upnpRequest);

    std::vector<std::wstring> stunHostList;
    _instance->get(L"Global_STUN_Host_List", stunHostList);
    std::erase_if(stunHostList, [this](const std::wstring& host) {
        if (ZUnicastHost(host)) return false;
        ZDISPATCH_LOG(L"WARNING Refusing STUN host '" << host << L"' that names no single host, ignoring.");
        return true;
    });
    ZWARNASSERT(stunHostList.size( ) >= 4);
    if (stunHostList.size() < 4) {
        // The class needs three distinct STUN hosts and the refresh test a fourth.
        ZDISPATCH_LOG(L"WARNING Fewer than four STUN hosts in 'Global_STUN_Host_List', disconnecting.");
        _disconnect();
        return true;
    }
    for (int i = 0; i < 4; ++i) _stunHosts[i] = stunHostList[static_cast<std::size_t>(i)];

    _directSTUNResponse.clear();
    _indirectPunchedSTUNResponse.clear();
    _indirectUnpunchedSTUNResponse.clear();
    if (_instance->test(L"Pretend_Firewall"))
        _timeoutInterval.start = 0;  // classify at the first tick, whenever the last step ended
    else
        _requestSTUN();
    _changeState(STUN);
    return true;
}

bool ZDispatchService::_onSTUN(const Input& in) {
    ZTRACE();
    const std::int64_t now = _now();
    if (in.isTick()) {
        if (_timeoutInterval.isDue(now)) {
            _classify();
        } else if (_retryInterval.isDue(now)) {
            ZDISPATCH_LOGC('p', L"Retrying STUN while waiting for responses");
            _sendHolePunch();
            _retryLastRequest();
        } else {
            _setStatus(L"STUN");
        }
        return true;
    }
    if (!in.isResponseTo(L"STUN")) return false;

    if (ZCaseEquals(in.fromRemoteHost, _stunHosts[0]))
        _directSTUNResponse = in.recvResponse;
    else if (ZCaseEquals(in.fromRemoteHost, _stunHosts[1]))
        _indirectPunchedSTUNResponse = in.recvResponse;
    else if (ZCaseEquals(in.fromRemoteHost, _stunHosts[2]))
        _indirectUnpunchedSTUNResponse = in.recvResponse;
    else
        ZDISPATCH_LOG(L"WARNING Received 'STUN' response from unknown remote host (" << in.fromRemoteHost
                                                                                     << L"), ignoring.");
    if (_directSTUNResponse.succeeded() && _indirectPunchedSTUNResponse.succeeded() &&
        _indirectUnpunchedSTUNResponse.succeeded())
        _timeoutInterval.start = 0;
    return true;
}

void ZDispatchService::_classify() {
    ZTRACE();
    const std::wstring localHost = _instance->get(L"Local_Host");
    const std::wstring global = _directSTUNResponse.get(L"Global-Host");
    bool direct = _directSTUNResponse.succeeded();
    if (direct && !ZValidHost(global)) {
        ZDISPATCH_LOG(L"WARNING 'STUN' response from (" << _stunHosts[0] << L") has no valid 'Global-Host', ignoring it.");
        direct = false;
    }
    if (!direct) {
        ZWARNASSERT(!_indirectPunchedSTUNResponse.succeeded( ));
        ZWARNASSERT(!_indirectUnpunchedSTUNResponse.succeeded( ));
        ZDISPATCH_LOGC('p', L"STUN failed, must be behind 'FIREWALL', establishing TURN connection.");
        _instance->set(L"Connection_Class", std::wstring(L"FIREWALL"), false);
        _requestTURN();
        _changeState(TURN);
        return;
    }

    std::wstring connectionClass;
    if (ZCaseEquals(global, localHost)) {
        ZWARNASSERT(_indirectPunchedSTUNResponse.succeeded( ));
        ZWARNASSERT(_indirectUnpunchedSTUNResponse.succeeded( ));
        connectionClass = L"PUBLIC";
    } else if (_indirectUnpunchedSTUNResponse.succeeded()) {
        ZWARNASSERT(_indirectPunchedSTUNResponse.succeeded( ));
        connectionClass = L"UNRESTRICTED";
    } else if (_indirectPunchedSTUNResponse.succeeded()) {
        connectionClass = L"RESTRICTED";
    } else {
        connectionClass = L"SYMMETRIC";
    }
    if (_instance->isSet(L"Force_NAT")) connectionClass = _instance->get(L"Force_NAT");
    _instance->set(L"Connection_Class", connectionClass, false);

    if (ZCaseEquals(connectionClass, L"SYMMETRIC")) {
        ZDISPATCH_LOGC('p', L"STUN found 'SYMMETRIC' NAT, treating it like firewall.");
        _requestTURN();
        _changeState(TURN);
        return;
    }
    std::list<std::wstring> routes = {L"local://" + localHost};
    std::wstring globalHost = localHost;
    if (!ZCaseEquals(connectionClass, L"PUBLIC")) {
        routes.push_back(ZToLower(connectionClass) + L"://" + global);
        globalHost = global;
    }
    _instance->set(L"Route_List", routes, false);
    _instance->set(L"Global_Host", globalHost, false);
    _instance->set(L"Global_Host_Timestamp", _now(), false);
    ZDISPATCH_LOGC('p', L"STUN complete, connection class is '" << connectionClass << L"' and route list is '"
                                                                  << _instance->get(L"Route_List") << L"'");
    _requestPINGAll();
    _timeoutInterval.restart(_now());
    _changeState(CHOOSESERVER);
}

bool ZDispatchService::_onTURN(const Input& in) {
    ZTRACE();
    if (in.isTick()) {
        if (_timeoutInterval.isDue(_now())) {
            ZDISPATCH_LOG(L"WARNING 'TURN' request failed (or timed out), logon process failed.");
            _disconnect();
        } else {
            _setStatus(L"TURN");
        }
        return true;
    }
    if (!in.isResponseTo(L"OPENTURN")) return false;
    if (!in.recvResponse.succeeded()) {
        ZDISPATCH_LOG(L"WARNING 'TURN' request failed with response " << in.recvResponse.getResponseSummary()
                                                                      << L", disconnecting.");
        _disconnect();
        return true;
    }
    // The switchboard takes this host for every relayed send; a relay that
    // gives none leaves nothing to reach us at.
    const std::wstring global = in.recvResponse.get(L"Global-Host");
    if (!ZValidHost(global)) {
        ZDISPATCH_LOG(L"WARNING 'TURN' response carries no valid 'Global-Host', disconnecting.");
        _disconnect();
        return true;
    }
    _instance->set(L"Global_Host", global, false);
    _instance->set(L"Global_Host_Timestamp", _now(), false);
    _instance->set(L"Route_List",
                   std::list<std::wstring>{L"local://" + _instance->get(L"Local_Host"), L"turn://" + global}, false);
    ZDISPATCH_LOGC('p', L"TURN complete, connection class is 'FIREWALL' and route list is '"
                            << _instance->get(L"Route_List") << L"'");
    _requestPINGAll();
    _timeoutInterval.restart(_now());
    _changeState(CHOOSESERVER);
    return true;
}

bool ZDispatchService::_onChooseServer(const Input& in) {
    ZTRACE();
    const std::int64_t now = _now();
    if (in.isTick()) {
        if (_timeoutInterval.isDue(now)) {
            ZDISPATCH_LOG(L"WARNING 'PING' requests timed out to '" << _instance->get(L"Global_SIP_Host_List")
                                                                    << L"', disconnecting.");
            _disconnect();
        } else if (_retryInterval.isDue(now)) {
            _requestPINGAll();
        } else {
            _setStatus(L"CHOOSESERVER");
        }
        return true;
    }
    if (!in.isResponseTo(L"PING")) return false;
    // Only a server that is ours and says yes may become the chosen one.
    if (!in.recvResponse.succeeded()) {
        ZDISPATCH_LOG(L"WARNING 'PING' answer from (" << in.fromRemoteHost << L") is not a success, not choosing it.");
        return true;
    }
    if (!_instance->contains(L"Global_SIP_Host_List", in.fromRemoteHost)) {
        ZDISPATCH_LOG(L"WARNING 'PING' answer from (" << in.fromRemoteHost
                                                      << L") which is not a listed server, not choosing it.");
        return true;
    }
    ZDISPATCH_LOGC('p', L"SIP server '" << in.fromRemoteHost << L"' first to respond, choosing it.");
    _instance->set(L"Global_SIP_Host", in.fromRemoteHost, false);
    if (!_instance->isSet(L"Local_Device_GUID")) {
        ZDISPATCH_LOGC('p', L"Requesting device GUID");
        _requestDEVICEGUID();
        _changeState(DEVICEGUID);
    } else {
        ZDISPATCH_LOGC('p', L"Registering with existing device GUID '" << _instance->get(L"Local_Device_GUID")
                                                                         << L"'");
        _requestREGISTER();
        _changeState(Registering);
    }
    return true;
}

bool ZDispatchService::_onDeviceGUID(const Input& in) {
    ZTRACE();
    const std::int64_t now = _now();
    if (in.isTick()) {
        if (_timeoutInterval.isDue(now)) {
            ZDISPATCH_LOG(L"WARNING 'DEVICEGUID' request timed out, disconnecting.");
            _disconnect();
        } else if (_retryInterval.isDue(now)) {
            _retryLastRequest();
        } else {
            _setStatus(L"DEVICEGUID");
        }
        return true;
    }
    if (!in.isResponseTo(L"DEVICEGUID")) return false;
    if (!in.recvResponse.succeeded()) {
        _disconnect();
        return true;
    }
    const std::wstring guid = in.recvResponse.get(L"Device-GUID");
    if (guid.empty()) {
        ZDISPATCH_LOG(L"WARNING 'DEVICEGUID' response carries no 'Device-GUID', disconnecting.");
        _disconnect();
        return true;
    }
    ZDISPATCH_LOGC('p', L"Request 'DEVICEGUID' succeeded, received device GUID '" << guid << L"'");
    _instance->set(L"Local_Device_GUID", guid, true);
    _instance->save();
    _requestREGISTER();
    _changeState(Registering);
    return true;
}

bool ZDispatchService::_onRegistering(const Input& in) {
    ZTRACE();
    const std::int64_t now = _now();
    if (in.isTick()) {
        if (_timeoutInterval.isDue(now) && !_instance->test(L"Disable_Connection_Timeout")) {
            ZDISPATCH_LOG(L"WARNING 'REGISTER' request timed out, reconnecting.");
            _disconnect();
        } else if (_retryInterval.isDue(now)) {
            _retryLastRequest();
        } else {
            _setStatus(L"REGISTER");
        }
        return true;
    }
    if (!in.isResponseTo(L"REGISTER")) return false;
    if (in.recvResponse.succeeded()) {
        _goOnline();
    } else {
        ZDISPATCH_LOG(L"WARNING 'REGISTER' failed, suspect device GUID is stale -- requesting new DEVICEGUID");
        _requestDEVICEGUID();
        _changeState(DEVICEGUID);
    }
    return true;
}

bool ZDispatchService::_onUnregistering(const Input& in) {
    ZTRACE();
    const std::int64_t now = _now();
    if (in.isTick()) {
        if (_timeoutInterval.isDue(now)) {
            ZDISPATCH_LOG(L"WARNING 'UNREGISTER' request timed out, hard logoff.");
            _disconnect();
        } else if (_retryInterval.isDue(now)) {
            _retryLastRequest();
        } else {
            _setStatus(L"UNREGISTER");
        }
        return true;
    }
    if (!in.isResponseTo(L"UNREGISTER")) return false;
    _disconnect();
    return true;
}

// ---- companions ----------------------------------------------------------------------

void ZDispatchService::_setStatus(const wchar_t* word) {
    const std::int64_t seconds = _timeoutInterval.getRemaining(_now()) / 1000000;
    _instance->set(L"Dispatch_Status", ZToString(seconds) + L" " + word, false);
}

void ZDispatchService::_changeState(std::uint32_t state) {
    ZTRACE();
    ZDISPATCH_LOGC('p', L"Changing state from '" << _getState(_state) << L"' to '" << _getState(state) << L"'");
    _state = state;
}

void ZDispatchService::_notifyClient(const wchar_t* method) {
    ZTRACE();
    _instance->enqueue(L"ZClient_commandQueue", ZHTTPHeaders(method).serialize());
}

void ZDispatchService::_disconnect() {
    ZTRACE();
    _notifyClient(L"DISCONNECTED");
    _changeState(Offline);
    _reset();
}

void ZDispatchService::_reset() {
    ZTRACE();
    _megaPort->reset();
    if (_turnClient) {
        ZASSERT_PTR(_turnClient);
        delete _turnClient;
        _turnClient = nullptr;
    }
    _relayAttached = false;
    if (_udpPort) ZNetUDPPortClose(_udpPort);
    _udpPort = nullptr;
    _collectUPnP(true);
    if (_upnpMapping) ZNetUPnPMappingClose(_upnpMapping);
    _upnpMapping = nullptr;
    _pingFailures = 0;
    _cseqRequestMap.clear();
    for (const wchar_t* name : {L"Local_Host", L"Global_Host", L"Connection_Class", L"Route_List"})
        _instance->clear(name);
    for (std::wstring& host : _stunHosts) host.clear();
    _directSTUNResponse.clear();
    _indirectPunchedSTUNResponse.clear();
    _indirectUnpunchedSTUNResponse.clear();
    _lastRequest.clear();
    _lastRequestHost.clear();
    // The next connection keeps alive and tests its NAT from the start again.
    _pingInterval = ZInterval{0, kFirstPeriod};
    _refreshInterval = ZInterval{0, kFirstPeriod};
}

void ZDispatchService::_checkStateInvariants() {
    ZTRACE();
    ZInstance* i = _instance;
    switch (static_cast<State>(_state)) {
    case Offline:
        ZWARNASSERT(!_udpPort);
        ZWARNASSERT(!_turnClient);
        ZWARNASSERT(!i->isSet( L"Local_Host" ));
        ZWARNASSERT(!i->isSet( L"Global_Host" ));
        ZWARNASSERT(!i->isSet( L"Connection_Class" ));
        ZWARNASSERT(!i->isSet( L"Route_List" ));
        return;
    case STUN:
    case TURN:
        ZASSERT(_udpPort);
        if (_state == STUN) ZWARNASSERT(!_turnClient);
        if (_state == TURN) ZASSERT(_turnClient);
        ZWARNASSERT(i->isSet( L"Local_Host" ));
        ZWARNASSERT(!i->isSet( L"Global_Host" ));
        ZWARNASSERT(!i->isSet( L"Global_SIP_Host" ));
        ZWARNASSERT(i->isSet( L"Global_SIP_Host_List" ));
        ZWARNASSERT(i->isSet( L"Global_TURN_Host" ));
        ZWARNASSERT(i->isSet( L"Global_Logfile_Host" ));
        if (_state == STUN) ZWARNASSERT(!i->isSet( L"Connection_Class" ));
        if (_state == TURN)
            ZWARNASSERT(ZCaseEquals( i->get( L"Connection_Class" ), L"FIREWALL" ) ||
                        ZCaseEquals( i->get( L"Connection_Class" ), L"SYMMETRIC" ));
        ZWARNASSERT(!i->isSet( L"Route_List" ));
        return;
    case CHOOSESERVER:
        ZASSERT(_udpPort);
        ZWARNASSERT(i->isSet( L"Local_Host" ));
        ZWARNASSERT(i->isSet( L"Global_SIP_Host_List" ));
        ZWARNASSERT(i->isSet( L"Global_TURN_Host" ));
        ZWARNASSERT(i->isSet( L"Global_Logfile_Host" ));
        ZWARNASSERT(i->isSet( L"Connection_Class" ));
        ZWARNASSERT(i->isSet( L"Route_List" ));
        ZWARNASSERT(!i->isSet( L"Global_SIP_Host" ));
        return;
    case DEVICEGUID:
    case Registering:
    case Online:
    case Reregistering:
    case UNREGISTERING:
        ZASSERT(_udpPort);
        ZWARNASSERT(i->isSet( L"Local_Host" ));
        ZWARNASSERT(i->isSet( L"Global_SIP_Host" ));
        ZWARNASSERT(i->isSet( L"Global_TURN_Host" ));
        ZWARNASSERT(i->isSet( L"Global_Logfile_Host" ));
        ZWARNASSERT(i->isSet( L"Connection_Class" ));
        ZWARNASSERT(i->isSet( L"Route_List" ));
        if (_state == DEVICEGUID) ZWARNASSERT(i->isSet( L"Global_SIP_Host_List" ));
        return;
    }
}
