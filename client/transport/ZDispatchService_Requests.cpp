// The dispatch service's requests to the service's servers. Every one
// carries a CSeq of its own number and " (ZDispatchService)" and is kept,
// with the hosts whose answers count, until the connection ends; the loop
// matches answers against it.
#include "ZDispatchService.h"
#include "ZDispatchServiceLog.h"
#include "ZHTTPClient.h"
#include "ZMegaPort.h"
#include "ZPortable.h"

namespace {

constexpr std::int64_t kSecond = 1000000;
constexpr std::int64_t kRefreshGrace = 2000000;
const char kHolePunch[] = "HOLEPUNCH";

}  // namespace

int ZDispatchService::_record(ZHTTPHeaders& request, const std::vector<std::wstring>& answerHosts) {
    ZTRACE();
    _cseq = ZSIPNextCSeq(_cseq);
    request.set(L"CSeq", ZToString(_cseq) + L" (ZDispatchService)");
    _cseqRequestMap[_cseq] = Sent{request, answerHosts};
    // Answers come within seconds (a refresh test within its delay); a long
    // online session must not keep every keep-alive it ever sent.
    // The oldest goes first; numbers above the last one are from before a wrap.
    while (_cseqRequestMap.size() > ZDISPATCH_MAX_PENDING_REQUESTS) {
        const auto older = _cseqRequestMap.upper_bound(_cseq);
        _cseqRequestMap.erase(older != _cseqRequestMap.end() ? older : _cseqRequestMap.begin());
    }
    return _cseq;
}

void ZDispatchService::_request(const std::wstring& host, const ZHTTPHeaders& request) {
    ZTRACE();
    if (!_udpPort) {
        ZDISPATCH_LOG(L"WARNING Cannot send request '" << request.getMethod() << L"' because no UDP port open, ignoring.");
        return;
    }
    _lastRequestHost = host;
    _lastRequest = request;
    _record(_lastRequest, {host});
    _sendGlobal(host, _lastRequest.serialize());
    const std::int64_t now = _now();
    _timeoutInterval.restart(now);
    _retryInterval.restart(now);
}

void ZDispatchService::_retryLastRequest() {
    ZTRACE();
    if (_lastRequest.empty()) return;
    ZDISPATCH_LOGC('p', L"Retrying '" << _lastRequest.getMethod() << L"' to (" << _lastRequestHost << L")");
    if (!_udpPort) {
        ZDISPATCH_LOG(L"WARNING Cannot re-send request '" << _lastRequest.getMethod()
                                                          << L"' because no UDP port open, ignoring.");
        return;
    }
    const std::string bytes = _lastRequest.serialize();
    ZNetUDPPortSend(_udpPort, _lastRequestHost, bytes.data(), static_cast<int>(bytes.size()));
}

void ZDispatchService::_sendGlobal(const std::wstring& host, const std::string& bytes) {
    ZTRACE();
    if (_turnClient) {
        if (_relayAttached) {
            // The switchboard writes the relay socket alone once it has it.
            _megaPort->send(L"", host, bytes);
            return;
        }
        ZHTTPHeaders frame(L"SENDUDP");
        frame.set(L"Remote-Host", host);
        frame.addContent(bytes);
        _turnClient->send(frame);
        return;
    }
    if (_udpPort) ZNetUDPPortSend(_udpPort, host, bytes.data(), static_cast<int>(bytes.size()));
}

void ZDispatchService::_sendHolePunch() {
    ZTRACE();
    if (!_udpPort) {
        ZDISPATCH_LOG(L"WARNING Attempting to 'HOLEPUNCH' to (" << _stunHosts[1] << L") but no UDP port, ignoring.");
        return;
    }
    ZNetUDPPortSend(_udpPort, _stunHosts[1], kHolePunch, static_cast<int>(sizeof(kHolePunch) - 1));
}

void ZDispatchService::_requestSTUN() {
    ZTRACE();
    _sendHolePunch();
    ZHTTPHeaders probe(L"STUN");
    probe.insert(L"Indirect-Host-List", _stunHosts[1]);
    probe.insert(L"Indirect-Host-List", _stunHosts[2]);
    _request(_stunHosts[0], probe);
    // Hosts 2 and 3 answer the probe sent to host 1.
    const auto sent = _cseqRequestMap.find(_cseq);
    if (sent != _cseqRequestMap.end() && ZCaseEquals(sent->second.request.getMethod(), L"STUN"))
        sent->second.answerHosts = {_stunHosts[0], _stunHosts[1], _stunHosts[2]};
}

void ZDispatchService::_requestTURN() {
    ZTRACE();
    ZWARNASSERT(_instance->isSet( L"Global_TURN_Host" ));
    if (_turnClient) {
        ZASSERT_PTR(_turnClient);
        delete _turnClient;
        _turnClient = nullptr;
    }
    _relayAttached = false;
    const std::wstring turnHost = _instance->get(L"Global_TURN_Host");
    ZHTTPHeaders request(L"OPENTURN");
    _addSessionKey(request);
    _record(request, {turnHost});
    _timeoutInterval.restart(_now());
    _turnClient = ZSAFENEW(ZHTTPClient, turnHost, request);
    _turnClient->setClock(_clock);
    // The relay carries datagrams, not answers: only its loss ends it.
    _turnClient->setAnswerTimeout(0);
}

void ZDispatchService::_requestPINGAll() {
    ZTRACE();
    std::list<std::wstring> servers;
    _instance->get(L"Global_SIP_Host_List", servers);
    const std::wstring global = _instance->get(L"Global_Host");
    for (const std::wstring& server : servers) {
        if (!ZUnicastHost(server)) {
            ZDISPATCH_LOG(L"WARNING Refusing SIP host '" << server << L"' that names no single host, ignoring.");
            continue;
        }
        ZHTTPHeaders ping(L"PING");
        ping.set(L"Global-Host", global);
        ping.set(L"Timestamp", _now());
        _record(ping, {server});
        _sendGlobal(server, ping.serialize());
    }
}

void ZDispatchService::_requestPING() {
    ZTRACE();
    const std::wstring server = _instance->get(L"Global_SIP_Host");
    ZHTTPHeaders ping(L"PING");
    ping.set(L"Global-Host", _instance->get(L"Global_Host"));
    ping.set(L"Timestamp", _now());
    _record(ping, {server});
    const std::string bytes = ping.serialize();
    if (_udpPort) ZNetUDPPortSend(_udpPort, server, bytes.data(), static_cast<int>(bytes.size()));
    _pingInterval.setPeriod(kSecond);
    _pingInterval.restart(_now());
}

void ZDispatchService::_requestREFRESHNAT(std::int64_t delay) {
    ZTRACE();
    ZHTTPHeaders test(L"STUN");
    test.set(L"Delay", delay);
    _record(test, {_stunHosts[3]});
    const std::string bytes = test.serialize();
    if (_udpPort) ZNetUDPPortSend(_udpPort, _stunHosts[3], bytes.data(), static_cast<int>(bytes.size()));
    _refreshInterval.setPeriod(delay + kRefreshGrace);
    _refreshInterval.restart(_now());
}

void ZDispatchService::_requestDEVICEGUID() {
    ZTRACE();
    ZDISPATCH_LOGC('p', L"Sending 'DEVICEGUID' request");
    ZHTTPHeaders request(L"DEVICEGUID");
    _addSessionKey(request);
    _request(_instance->get(L"Global_SIP_Host"), request);
}

// The service hands out a device, registers or signs one out, and opens a
// relay allocation only for the key of this sign-in; peers never see it.
void ZDispatchService::_addSessionKey(ZHTTPHeaders& request) const {
    if (_instance->isSet(L"Local_Session_Key")) request.set(L"Session-Key", _instance->get(L"Local_Session_Key"));
}

void ZDispatchService::_requestREGISTER() {
    ZTRACE();
    const std::wstring routes = _instance->get(L"Route_List");
    ZDISPATCH_LOGC('p', L"Sending 'REGISTER' request with hostlist='" << routes << L"'");
    ZHTTPHeaders request(L"REGISTER");
    request.set(L"From", _instance->get(L"Local_User_GUID"));
    request.set(L"Device-GUID", _instance->get(L"Local_Device_GUID"));
    request.set(L"Version", _instance->get(L"Current_Version"));
    request.set(L"Route-List", routes);
    _addSessionKey(request);
    _request(_instance->get(L"Global_SIP_Host"), request);
    _reregisterInterval.restart(_now());
}

void ZDispatchService::_requestUNREGISTER() {
    ZTRACE();
    ZDISPATCH_LOGC('p', L"Sending 'UNREGISTER' request");
    ZHTTPHeaders request(L"UNREGISTER");
    request.set(L"From", _instance->get(L"Local_User_GUID"));
    request.set(L"Device-GUID", _instance->get(L"Local_Device_GUID"));
    _addSessionKey(request);
    _request(_instance->get(L"Global_SIP_Host"), request);
}
