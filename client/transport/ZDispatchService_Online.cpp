// The dispatch service while registered: Online and Re-registering.
//
//   Online         tick: keep-alive PING, NAT refresh test (direct only),
//                  REGISTER every 15 minutes   -> Re-registering
//   Re-registering REGISTER 200                -> Online
//                  REGISTER failed             -> DEVICEGUID (identity taken for stale)
//                  no answer within 6.5 s      -> disconnect (unless
//                                                 Disable_Connection_Timeout)
//   both           6 keep-alive periods lost, or the mapping changed -> disconnect
//                  (a keep-alive answer other than 200 with an address counts as lost)
//                  DISCONNECT                  -> UNREGISTERING
//
// Peer traffic is filed in both states. The NAT refresh test doubles its
// idle delay while answers come back and halves it when one is lost; the
// delay and the keep-alive period stay within one second and two minutes.
#include <algorithm>

#include "ZDispatchService.h"
#include "ZDispatchServiceLog.h"
#include "ZHTTPClient.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZSIPClient.h"

namespace {

constexpr std::int64_t kSecond = 1000000;
constexpr std::int64_t kRefreshGrace = 2000000;
constexpr int kMaxPingFailures = 5;

std::int64_t clampPeriod(std::int64_t period) {
    return std::clamp<std::int64_t>(period, kSecond, ZDISPATCH_MAX_REFRESH_PERIOD);
}

}  // namespace

void ZDispatchService::_goOnline() {
    ZTRACE();
    _notifyClient(L"CONNECTED");
    _changeState(Online);
    _megaPort->setUDPPort(_udpPort);
    if (_turnClient) {
        // Whatever the relay client still holds goes out before the
        // switchboard becomes the socket's one writer.
        _turnClient->update(0);
        ZNetTCPSocket* socket = _turnClient->getTCPSocket();
        if (!socket) {
            ZDISPATCH_LOG(L"WARNING 'TURN' connection lost while registering, disconnecting.");
            _disconnect();
            return;
        }
        _megaPort->setTCPSocket(socket, _instance->get(L"Global_Host"));
        _relayAttached = true;
        for (const wchar_t* name : {L"SIP_Ping", L"NAT_Refresh_Period_S", L"NAT_Mapping_Age"})
            _instance->set(name, std::wstring(L"-"), false);
    } else {
        _instance->set(L"NAT_Refresh_Period_S", std::int64_t{1}, false);
        _startRefreshTest(kSecond);
    }
}

bool ZDispatchService::_onOnline(const Input& in) {
    ZTRACE();
    if (in.isTick()) {
        _onOnlineTick();
        return true;
    }
    if (in.isResponseTo(L"PING")) {
        _onPINGAnswer(in);
        return true;
    }
    if (in.isResponseTo(L"STUN")) {
        _onRefreshAnswer(in);
        return true;
    }
    if (in.isCommand(L"DISCONNECT")) {
        ZDISPATCH_LOGC('p', L"Logging off");
        _requestUNREGISTER();
        // The sign-off leaves before the switchboard lets the relay socket go.
        _megaPort->flush();
        _changeState(UNREGISTERING);
        _megaPort->reset();
        _relayAttached = false;
        return true;
    }
    if (in.isResponseTo(L"REGISTER")) {
        if (!in.recvResponse.succeeded()) {
            // Taken for a stale identity, as at the first registration.
            ZDISPATCH_LOG(L"WARNING 'REGISTER' failed, suspect device GUID is stale -- requesting new DEVICEGUID");
            _requestDEVICEGUID();
            _changeState(DEVICEGUID);
            return true;
        }
        ZDISPATCH_LOGC('p', L"Re-registration successful");
        _changeState(Online);
        _reregisterInterval.restart(_now());
        return true;
    }
    return false;
}

void ZDispatchService::_onOnlineTick() {
    ZTRACE();
    const std::int64_t now = _now();
    _instance->set(L"Dispatch_Status", std::wstring(L"Online"), false);

    if (!_turnClient) {
        if (_refreshInterval.isDue(now)) {
            const std::int64_t failed = _refreshInterval.period - kRefreshGrace;
            const std::int64_t next = clampPeriod(failed / 2);
            ZDISPATCH_LOGC('p', L"NAT refresh FAILED with " << failed / kSecond << L"s period, trying "
                                                            << next / kSecond << L"s");
            _instance->set(L"NAT_Refresh_Period_S", next / kSecond, false);
            _startRefreshTest(next);
        }
        if (_pingInterval.isDue(now)) {
            ++_pingFailures;
            if (_pingFailures > kMaxPingFailures && !_instance->test(L"Disable_Connection_Timeout")) {
                ZDISPATCH_LOG(L"WARING PING failed " << _pingFailures << L" consecutive times, reconnecting.");
                _disconnect();
                return;
            }
            const std::int64_t age = (now - static_cast<std::int64_t>(_instance->calc(L"Global_Host_Timestamp"))) / kSecond;
            ZDISPATCH_LOGC('p', L"Testing to see if mapping is still (" << _instance->get(L"Global_Host") << L") after "
                                                                         << age << L"s");
            _requestPING();
        }
    }

    if (_state == Reregistering) {
        if (_reregisterTimeout.isDue(now) && !_instance->test(L"Disable_Connection_Timeout")) {
            // Resends take new numbers and restart the request time-out, so
            // this one runs from the first periodic REGISTER.
            ZDISPATCH_LOG(L"WARNING Re-registration timed out.  Wtf?");
            _disconnect();
            return;
        }
        if (_retryInterval.isDue(now)) _requestREGISTER();
    } else if (_reregisterInterval.isDue(now)) {
        _requestREGISTER();
        _reregisterTimeout.restart(now);
        _changeState(Reregistering);
    }
}

void ZDispatchService::_onPINGAnswer(const Input& in) {
    ZTRACE();
    const std::int64_t now = _now();
    // Anyone who can guess the small sequence number can answer from the
    // server's address: only a success naming an address may move us. Any
    // other answer leaves the keep-alive unanswered, so it counts as lost
    // when its period ends.
    ZWARNASSERT_T(in.recvResponse.succeeded(), "recvResponse.succeeded( )");
    if (!in.recvResponse.succeeded()) return;
    const std::wstring observed = in.recvResponse.get(L"Observed-Host");
    if (!ZSIPIsDottedHost(observed)) {
        ZDISPATCH_LOG(L"WARNING Keep-alive answer without a valid 'Observed-Host', ignoring.");
        return;
    }
    const std::int64_t rtt = (now - in.originalRequest.calc64(L"Timestamp")) / 1000;
    _instance->set(L"SIP_Ping", ZToString(rtt) + L"ms", false);
    _pingFailures = 0;
    _pingInterval.setPeriod(
        clampPeriod(_setting(L"NAT_Refresh_Period_S", 1, ZDISPATCH_MAX_REFRESH_PERIOD / kSecond) * kSecond));
    _pingInterval.restart(now);

    const std::wstring original = in.originalRequest.get(L"Global-Host");
    ZWARNASSERT_T(ZCaseEquals(original, in.recvResponse.get(L"Reported-Host")),
                  "ZCaseEquals( original, recvResponse.get( L\"Reported-Host\" ) )");
    const std::int64_t age = (now - _instance->calc(L"Global_Host_Timestamp")) / kSecond;
    if (ZCaseEquals(observed, original)) {
        ZDISPATCH_LOGC('p', L"Mapping hasn't changed after " << age << L"s; still (" << original << L")");
        _instance->set(L"NAT_Mapping_Age", ZToString(age) + L"s", false);
        return;
    }
    ZDISPATCH_LOG(L"WARNING Global mapping has changed after " << age << L"s, was (" << original << L") but is now ("
                                                               << observed << L"), reconnecting.");
    _disconnect();
}

void ZDispatchService::_onRefreshAnswer(const Input& in) {
    ZTRACE();
    // Our own request's delay; the product is kept in 64 bits and capped.
    const std::int64_t delay = in.originalRequest.calc64(L"Delay");
    const std::int64_t next = clampPeriod(delay * 2);
    ZDISPATCH_LOGC('p', L"NAT refresh succeeded with " << delay / kSecond << L"s period, trying " << next / kSecond
                                                       << L"s");
    _instance->set(L"NAT_Refresh_Period_S", next / kSecond, false);
    _startRefreshTest(next);
}

void ZDispatchService::_startRefreshTest(std::int64_t delay) {
    ZTRACE();
    _requestREFRESHNAT(clampPeriod(delay));
}
