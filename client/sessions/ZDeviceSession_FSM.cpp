// The device session's call-control state machine.
//
// States:
//   DISCONNECTED       no session; waits for an invitation either way
//   WF_INVITERESPONSE  our INVITE is out; HOLEPUNCH along the device's routes every second
//   WT_REINVITE        random back-off before we invite again; the device may still invite us
//   WF_ACK             we answered the device's INVITE with 200 (re-sent every second)
//   WF_ACKRESPONSE     we sent ACK for the device's 200 (re-sent every second)
//   CONNECTED          services open for the device; PING every second
//   WF_BYERESPONSE     we said BYE
//
// Transitions:
//   DISCONNECTED      --WAITFORINVITEOK--------------> WF_INVITERESPONSE
//   DISCONNECTED, WT_REINVITE --INVITE / 200---------> WF_ACK
//   DISCONNECTED, WF_INVITERESPONSE --200 to INVITE--> WF_ACKRESPONSE (ACK sent)
//   WF_INVITERESPONSE --other answer to INVITE-------> WT_REINVITE
//   WF_INVITERESPONSE --18 s-------------------------> DISCONNECTED
//   WT_REINVITE       --back-off over / INVITE-------> WF_INVITERESPONSE
//   WF_ACK            --ACK / ACKOK------------------> CONNECTED
//   WF_ACKRESPONSE    --ACKOK------------------------> CONNECTED
//   WF_ACK, WF_ACKRESPONSE --18 s--------------------> WT_REINVITE
//   WF_ACKRESPONSE    --ACK refused------------------> DISCONNECTED
//   CONNECTED         --10 s without contact---------> WT_REINVITE
//   CONNECTED         --ACK again / ACKOK again--------> CONNECTED
//   CONNECTED         --BYE / OK---------------------> DISCONNECTED
//   CONNECTED         --bye() / BYE------------------> WF_BYERESPONSE
//   WF_BYERESPONSE    --answer, BYE / OK, or 18 s----> DISCONNECTED
//   WF_INVITERESPONSE..WF_ACKRESPONSE --bye()--------> DISCONNECTED (nothing to say goodbye to)
// A remote INVITE in any other state is answered 300 Busy.
#include <cmath>

#include "ZDeviceSession.h"
#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZSessionHelpers.h"

#define ZDEVICE_LOG(...) ZLOGCTX(_context(), __VA_ARGS__)
#define ZDEVICE_LOGC(category, ...)                                            \
    do {                                                                       \
        if (ZLogIsEnabled(category)) ZDEVICE_LOG(__VA_ARGS__);                 \
    } while (0)

namespace {

constexpr std::int64_t kContactTimeout = 10000000;
constexpr std::size_t kPingWindow = 30;

}  // namespace

// ---- entry points --------------------------------------------------------------------

void ZDeviceSession::onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) {
    ZTRACE();
    _fsm_onInput(to, from, request, ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), INVALID);
}

void ZDeviceSession::onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& originalRequest,
                                const ZHTTPHeaders& response) {
    ZTRACE();
    _fsm_onInput(to, from, ZHTTPHeaders(), originalRequest, response, ZHTTPHeaders(), INVALID);
}

void ZDeviceSession::update() {
    ZTRACE();
    _fsm_onInput(L"", L"", ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), UPDATE);
}

void ZDeviceSession::onCaptureChanged() {
    ZTRACE();
    _fsm_onInput(L"", L"", ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), CAPTURECHANGED);
}

void ZDeviceSession::bye(bool removed) {
    ZTRACE();
    invariantTest();
    _onInput(L"", L"", ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(),
             removed ? REMOVEREQUESTED : BYEREQUESTED);
}

// ---- the input function ------------------------------------------------------------------

void ZDeviceSession::_fsm_onInput(const std::wstring& to, const std::wstring& fromRemoteHost,
                                  const ZHTTPHeaders& recvRequest, const ZHTTPHeaders& originalRequest,
                                  const ZHTTPHeaders& recvResponse, const ZHTTPHeaders& commandRequest, int eventID) {
    ZTRACE();
    const std::wstring requestMethod = recvRequest.getMethod();
    const std::wstring originalMethod = originalRequest.getMethod();
    const std::wstring commandMethod = commandRequest.getMethod();
    std::wstring reason;
    const int responseCode = recvResponse.getResponse(reason);

    if (eventID != UPDATE && !ZCaseEquals(requestMethod, L"PING") && !ZCaseEquals(originalMethod, L"PING")) {
        if (!requestMethod.empty())
            ZDEVICE_LOGC('d', L"Received request '" << requestMethod << L"' from (" << fromRemoteHost << L")");
        else if (responseCode)
            ZDEVICE_LOGC('d', L"Received response #" << responseCode << L" '" << reason << L"' to request '"
                                                     << originalMethod << L"' from (" << fromRemoteHost << L")");
        else if (!commandMethod.empty())
            ZDEVICE_LOGC('d', L"Received command '" << commandMethod << L"'");
        else
            ZDEVICE_LOGC('d', L"Received eventID #" << eventID << L" '" << _getEvent(static_cast<unsigned>(eventID))
                                                    << L"'");
    }

    if (!originalMethod.empty()) {
        ZWARNASSERT_T(ZCaseEquals(originalRequest.get(L"CSeq"), recvResponse.get(L"CSeq")),
                      "ZCaseEquals( originalRequest.get( L\"CSeq\" ), recvResponse.get( L\"CSeq\" ) )");
        ZWARNASSERT(ZValidHost( fromRemoteHost ));
        ZWARNASSERT(!eventID);
        ZWARNASSERT(requestMethod.empty( ));
        ZWARNASSERT(commandMethod.empty( ));
        if (responseCode != ZHTTP_SUCCESS)
            ZDEVICE_LOGC('d', L"Request '" << originalMethod << L"' failed with response #" << responseCode << L" '"
                                          << reason << L"'.");
    } else {
        ZWARNASSERT(!responseCode);
        if (eventID) {
            ZWARNASSERT(requestMethod.empty( ));
            ZWARNASSERT(commandMethod.empty( ));
        } else if (!commandMethod.empty()) {
            ZWARNASSERT(requestMethod.empty( ));
        } else {
            ZWARNASSERT(!recvRequest.getMethod( ).empty( ));
            ZWARNASSERT(ZValidHost( fromRemoteHost ));
            ZWARNASSERT(commandRequest.empty( ));
        }
    }

    if (_onInput(to, fromRemoteHost, recvRequest, originalRequest, recvResponse, commandRequest, eventID)) return;
    if (!requestMethod.empty())
        ZDEVICE_LOG(L"WARNING Request '" << requestMethod << L"' from (" << fromRemoteHost
                                         << L") ignored, no state change.");
    else if (!originalMethod.empty())
        ZDEVICE_LOG(L"WARNING Response #" << responseCode << L" '" << reason << L"' from (" << fromRemoteHost
                                          << L") to request '" << originalMethod << L"' ignored, no state change.");
    else if (!commandMethod.empty())
        ZDEVICE_LOG(L"WARNING Command '" << commandMethod << L"' ignored, no state change.");
    else
        ZDEVICE_LOG(L"WARNING Event '" << _getEvent(static_cast<unsigned>(eventID)) << L"' ignored, no state change.");
}

void ZDeviceSession::_checkStateInvariants(int eventID) {
    if (_state <= WF_ACKRESPONSE) {
        ZWARNASSERT(_sendToHost.empty( ));
        ZWARNASSERT(_sendToType.empty( ));
        ZWARNASSERT(_sendFromHost.empty( ));
        ZWARNASSERT(_recvFromHost.empty( ));
    } else {
        ZWARNASSERT(ZValidHost( _sendToHost ));
        ZWARNASSERT(ZValidHost( _sendFromHost ));
        ZWARNASSERT(ZValidHost( _recvFromHost ));
        ZWARNASSERT(!_sendToType.empty( ));
    }
    if (_state == WF_ACK)
        ZWARNASSERT(!_originalINVITERequest.empty( ));
    else
        ZWARNASSERT(_originalINVITERequest.empty( ));
    if (_state == WF_ACKRESPONSE)
        ZWARNASSERT(!_originalINVITEResponse.empty( ));
    else
        ZWARNASSERT(_originalINVITEResponse.empty( ));
    if (_state == CONNECTED && eventID == UPDATE) ZWARNASSERT(_lastPingSuccessTimestamp);
}

// ---- helpers of the transitions -----------------------------------------------------------

void ZDeviceSession::_onINVITEResponse(const ZHTTPHeaders& inviteResponse) {
    ZTRACE();
    if (inviteResponse.getResponse() != ZHTTP_SUCCESS) {
        _reinviteInterval.randomize(_now());
        _changeState(WT_REINVITE);
        _reset();
        return;
    }
    _sendACK(inviteResponse);
    _changeState(WF_ACKRESPONSE);
    _lastPingSuccessTimestamp = _now();
}

void ZDeviceSession::_endQuietly() {
    _changeState(DISCONNECTED);
    _reset();
}

void ZDeviceSession::_onBYE(const ZHTTPHeaders& bye) {
    _sendOK(bye);
    _endQuietly();
    if (bye.test(L"Removed")) {
        ZDEVICE_LOGC('d', L"Remote user '" << _buddyGUID << L"' removed us from his buddy list, so we'll do the same.");
        _instance->remove(L"Local_Buddy_List", _buddyGUID);
        _instance->insert(L"Removed_Buddy_List", _buddyGUID);
    }
}

bool ZDeviceSession::_acceptRoute(const std::wstring& fromRemoteHost, const ZHTTPHeaders& message,
                                  const std::wstring& peerRouteList) {
    const std::wstring sendFrom = message.get(L"Send-From");
    const std::wstring sendTo = message.get(L"Send-To");
    const std::wstring sendToType = message.get(L"Send-To-Type");
    ZMegaPort* port = _sipClient->getPort();
    const bool fromOurs = ZValidHost(sendFrom) &&
                          (ZCaseEquals(sendFrom, port->getLocalHost()) || ZCaseEquals(sendFrom, port->getGlobalHost()));
    bool toPeer = ZCaseEquals(sendTo, fromRemoteHost);
    std::list<std::pair<std::wstring, std::wstring>> routes;
    ZSIPParseRouteList(peerRouteList, routes);
    for (const std::wstring& entry : _tryRouteList) {
        std::list<std::pair<std::wstring, std::wstring>> one;
        ZSIPParseRouteList(entry, one);
        routes.splice(routes.end(), one);
    }
    for (const auto& route : routes) toPeer = toPeer || ZCaseEquals(route.second, sendTo);
    std::list<std::pair<std::wstring, std::wstring>> typed;
    const bool typeKnown = ZSIPParseRouteList(sendToType + L"://" + sendTo, typed) == 0 && typed.size() == 1;
    if (fromOurs && toPeer && typeKnown) return true;
    ZDEVICE_LOG(L"WARNING Refusing path sendFrom=(" << ZSIPPrintable(sendFrom) << L"), sendTo=(" << ZSIPPrintable(sendTo)
                                                   << L"), sendToType=(" << ZSIPPrintable(sendToType) << L") from ("
                                                   << fromRemoteHost << L"), ignoring.");
    return false;
}

void ZDeviceSession::_onPingResponse(const ZHTTPHeaders& originalRequest) {
    const std::int64_t now = _now();
    const std::int64_t roundTrip = now - originalRequest.calc64(L"Time-Sent");
    _lastPingSuccessTimestamp = now;
    _pingTimes.push_back(static_cast<double>(roundTrip));
    if (_pingTimes.size() > kPingWindow) _pingTimes.pop_front();
    double sum = 0;
    for (double t : _pingTimes) sum += t;
    const double mean = sum / static_cast<double>(_pingTimes.size());
    double squares = 0;
    for (double t : _pingTimes) squares += (t - mean) * (t - mean);
    const double deviation = std::sqrt(squares / static_cast<double>(_pingTimes.size()));
    std::wstring text;
    text << static_cast<long long>(roundTrip / 1000) << wchar_t(0x00B1)
         << static_cast<long long>(static_cast<std::int64_t>(deviation) / 1000) << L"ms";
    _instance->set(_buddyDeviceGUID + L"_Ping", text, false);
    ++_pingsReceived;
    _writeLoss();
}

void ZDeviceSession::_writeStatus(std::int64_t remaining) {
    std::wstring text;
    if (remaining >= 0) text << static_cast<long long>(remaining / 1000000) << L" ";
    text += _getState(_state);
    _instance->set(_buddyDeviceGUID + L"_Status", text, false);
}

void ZDeviceSession::_writeChatStatus(const wchar_t* suffix) {
    _instance->set(_buddyGUID + L"_Chat_Status", _buddyGUID + suffix, false);
}

// ---- the transitions ------------------------------------------------------------------------

bool ZDeviceSession::_onInput(const std::wstring&, const std::wstring& fromRemoteHost,
                              const ZHTTPHeaders& recvRequest, const ZHTTPHeaders& originalRequest,
                              const ZHTTPHeaders& recvResponse, const ZHTTPHeaders&, int eventID) {
    ZTRACE();
    const std::wstring requestMethod = recvRequest.getMethod();
    const std::wstring originalMethod = originalRequest.getMethod();
    const int responseCode = recvResponse.getResponse();
    _checkStateInvariants(eventID);

    auto request = [&](const wchar_t* method) { return !requestMethod.empty() && ZCaseEquals(requestMethod, method); };
    auto responseTo = [&](const wchar_t* method) {
        return !originalMethod.empty() && ZCaseEquals(originalMethod, method);
    };
    auto busy = [&](const wchar_t* line, bool warning) {
        if (warning)
            ZDEVICE_LOG(line);
        else
            ZDEVICE_LOGC('d', line);
        _sendINVITEResponse(recvRequest, 300);
    };
    auto acceptInvite = [&]() {
        _sendINVITEResponse(recvRequest, 200);
        _changeState(WF_ACK);
        _requestTimeout.restart(_now());
        _originalINVITERequest = recvRequest;
    };
    auto late = [&]() {
        ZDEVICE_LOGC('d', L"Request '" << originalMethod << L"' received late response #" << responseCode << L" '"
                                      << recvResponse.getResponseReason() << L"', ignoring.");
    };
    const bool ending = eventID == BYEREQUESTED || eventID == REMOVEREQUESTED;
    const std::int64_t now = _now();

    switch (_state) {
        case DISCONNECTED:
            if (eventID == UPDATE) {
                _writeStatus(-1);
                return true;
            }
            if (eventID == WAITFORINVITEOK) {
                _changeState(WF_INVITERESPONSE);
                _requestTimeout.restart(now);
                return true;
            }
            if (request(L"INVITE")) {
                acceptInvite();
                return true;
            }
            if (responseTo(L"INVITE")) {
                _originalINVITEResponse = recvResponse;
                // A fresh session gets the full time for the rest of the exchange.
                _requestTimeout.restart(now);
                _onINVITEResponse(recvResponse);
                return true;
            }
            if (ending) return true;
            break;

        case WF_INVITERESPONSE:
            if (eventID == UPDATE) {
                if (_pingInterval.isDue(now)) _sendHOLEPUNCH();
                if (_requestTimeout.isDue(now)) {
                    ZDEVICE_LOGC('d', L"Request 'INVITE' timed out, giving up.");
                    _endQuietly();
                } else {
                    _writeStatus(_requestTimeout.getRemaining(now));
                }
                _writeChatStatus(L" is connecting...");
                return true;
            }
            if (responseTo(L"INVITE")) {
                _originalINVITEResponse = recvResponse;
                _onINVITEResponse(recvResponse);
                return true;
            }
            if (request(L"INVITE")) {
                busy(L"Received INVITE while waiting for ours to complete, responding BUSY.", false);
                return true;
            }
            if (ending) {
                _endQuietly();
                return true;
            }
            break;

        case WT_REINVITE:
            if (eventID == UPDATE) {
                if (_reinviteInterval.isDue(now)) {
                    ZDEVICE_LOGC('d', L"Reinviting");
                    _sendINVITE();
                    _changeState(WF_INVITERESPONSE);
                    _requestTimeout.restart(now);
                } else {
                    _writeStatus(_reinviteInterval.getRemaining(now));
                }
                _writeChatStatus(L" is connecting...");
                return true;
            }
            if (request(L"INVITE")) {
                acceptInvite();
                return true;
            }
            if (ending) {
                _endQuietly();
                return true;
            }
            break;

        case WF_ACK:
            if (eventID == UPDATE) {
                if (_retransmitInterval.isDue(now)) {
                    ZDEVICE_LOGC('d', L"Retransmitting INVITEOK while waiting for ACK");
                    _sendINVITEResponse(_originalINVITERequest, 200);
                } else if (_requestTimeout.isDue(now)) {
                    ZDEVICE_LOGC('d', L"Response 'INVITEOK' timed out, trying to INVITE back.");
                    _lastPingSuccessTimestamp = 0;
                    _reinviteInterval.randomize(now);
                    _changeState(WT_REINVITE);
                    _reset();
                } else {
                    _writeStatus(_requestTimeout.getRemaining(now));
                }
                _writeChatStatus(L" is connecting...");
                return true;
            }
            if (request(L"ACK")) {
                if (!_acceptRoute(fromRemoteHost, recvRequest, _originalINVITERequest.get(L"Try-Route-List")))
                    return true;
                _updateRoute(recvRequest.get(L"Send-From"), recvRequest.get(L"Send-To"),
                             recvRequest.get(L"Send-To-Type"), fromRemoteHost, recvRequest.get(L"Sent-From-Type"),
                             recvRequest.get(L"Sent-To"), recvRequest.get(L"Sent-To-Type"));
                _startServices();
                _sendACKOK(recvRequest);
                _changeState(CONNECTED);
                _lastPingSuccessTimestamp = now;
                _instance->clear(_buddyGUID + L"_Chat_Status");
                _originalINVITERequest.clear();
                return true;
            }
            if (request(L"INVITE")) {
                busy(L"Received INVITE while waiting for ACK, responding BUSY.", false);
                return true;
            }
            if (ending) {
                _endQuietly();
                return true;
            }
            break;

        case WF_ACKRESPONSE:
            if (eventID == UPDATE) {
                if (_retransmitInterval.isDue(now)) {
                    ZDEVICE_LOGC('d', L"Retransmitting ACK while waiting for ACKOK");
                    _onINVITEResponse(_originalINVITEResponse);
                } else if (_requestTimeout.isDue(now)) {
                    ZDEVICE_LOGC('d', L"Request 'ACK' timed out, retrying INVITE.");
                    _lastPingSuccessTimestamp = 0;
                    _reinviteInterval.randomize(now);
                    _changeState(WT_REINVITE);
                    _reset();
                } else {
                    _writeStatus(_requestTimeout.getRemaining(now));
                }
                _writeChatStatus(L" is connecting...");
                return true;
            }
            if (responseTo(L"ACK")) {
                if (responseCode != ZHTTP_SUCCESS) {
                    ZDEVICE_LOG(L"WARNING Request 'ACK' failed, giving up.");
                    _endQuietly();
                    return true;
                }
                if (!_acceptRoute(fromRemoteHost, recvResponse, _originalINVITEResponse.get(L"Try-Route-List")))
                    return true;
                _updateRoute(recvResponse.get(L"Send-From"), recvResponse.get(L"Send-To"),
                             recvResponse.get(L"Send-To-Type"), fromRemoteHost, recvResponse.get(L"Sent-From-Type"),
                             recvResponse.get(L"Sent-To"), recvResponse.get(L"Sent-To-Type"));
                _startServices();
                _changeState(CONNECTED);
                _lastPingSuccessTimestamp = now;
                _instance->clear(_buddyGUID + L"_Chat_Status");
                _originalINVITEResponse.clear();
                return true;
            }
            if (request(L"INVITE")) {
                busy(L"Received INVITE while waiting for ours to complete, responding BUSY.", false);
                return true;
            }
            if (responseTo(L"INVITE")) {
                late();
                return true;
            }
            if (ending) {
                _endQuietly();
                return true;
            }
            break;

        case CONNECTED:
            // Inside the session the device speaks from the path it agreed;
            // anyone else who knows its names is not the device.
            if (!requestMethod.empty() && !request(L"INVITE") && !request(L"ACK") &&
                !ZCaseEquals(fromRemoteHost, _recvFromHost)) {
                ZDEVICE_LOG(L"WARNING Request '" << requestMethod << L"' from (" << fromRemoteHost
                                                 << L") off the agreed path (" << _recvFromHost << L"), ignoring.");
                return true;
            }
            if (eventID == UPDATE) {
                if (now - _lastPingSuccessTimestamp > kContactTimeout && !_instance->test(L"Disable_Connection_Timeout")) {
                    ZDEVICE_LOG(L"WARNING Lost contact with '" << _buddyDeviceGUID << L"', reinviting. (Loss="
                                                              << _instance->get(_buddyDeviceGUID + L"_Loss") << L")");
                    _lastPingSuccessTimestamp = 0;
                    _reinviteInterval.randomize(now);
                    _changeState(WT_REINVITE);
                    _reset();
                    return true;
                }
                if (_pingInterval.isDue(now)) {
                    _sendPING();
                    _updateClock();
                }
                _writeStatus(-1);
                return true;
            }
            if (eventID == CAPTURECHANGED) {
                _sendUPDATE();
                _stopMedia();
                _startServices();
                return true;
            }
            if (request(L"UPDATE")) {
                _updateRemoteMedia(recvRequest.test(L"Audio-Enabled"), recvRequest.test(L"Video-Enabled"));
                _stopMedia();
                _startServices();
                _sendOK(recvRequest);
                return true;
            }
            if (responseTo(L"UPDATE") || responseTo(L"DEVICEBROADCAST")) {
                ZWARNASSERT(recvResponse.succeeded( ));
                return true;
            }
            if (request(L"BYE")) {
                _onBYE(recvRequest);
                return true;
            }
            if (request(L"DEVICEBROADCAST")) {
                _instance->enqueue(L"ZClient_commandQueue", recvRequest.serialize());
                _sendOK(recvRequest);
                return true;
            }
            if (request(L"PING")) {
                _sendOK(recvRequest);
                ZDEVICE_LOGC('k', L"PING response sent from (" << _sendFromHost << L") to (" << _sendToHost << L")");
                _lastPingSuccessTimestamp = now;
                return true;
            }
            if (responseTo(L"PING")) {
                if (responseCode == ZHTTP_SUCCESS)
                    _onPingResponse(originalRequest);
                else
                    ZDEVICE_LOG(L"WARNING Ping failed on '" << _buddyDeviceGUID << L"', ignoring.");
                return true;
            }
            if (request(L"INVITE")) {
                busy(L"WARNING Received INVITE while waiting already CONNECTED, responding BUSY.", true);
                return true;
            }
            if (request(L"ACK")) {
                // Another copy of the ACK, or a repeat because our answer was
                // lost: answered again, so the device stops waiting for it.
                ZDEVICE_LOGC('d', L"Received ACK while already CONNECTED, answering again.");
                _sendACKOK(recvRequest);
                return true;
            }
            if (ending) {
                _stopServices();
                _sendBYE(eventID == REMOVEREQUESTED);
                _changeState(WF_BYERESPONSE);
                _requestTimeout.restart(now);
                _lastPingSuccessTimestamp = 0;
                return true;
            }
            if (responseTo(L"INVITE") || responseTo(L"ACK")) {
                late();
                return true;
            }
            break;

        case WF_BYERESPONSE:
            if (eventID == UPDATE) {
                if (_requestTimeout.isDue(now)) {
                    ZDEVICE_LOGC('d', L"Response 'BYE' timed out, giving up.");
                    _endQuietly();
                } else {
                    _writeStatus(_requestTimeout.getRemaining(now));
                }
                _writeChatStatus(L" is disconnecting...");
                return true;
            }
            if (responseTo(L"BYE")) {
                ZWARNASSERT(responseCode == ZHTTP_SUCCESS);
                _endQuietly();
                return true;
            }
            if (request(L"INVITE")) {
                busy(L"WARNING Received INVITE while waiting for BYE to complete, responding BUSY.", true);
                return true;
            }
            if (request(L"BYE")) {
                // Both ends said goodbye at once: each one's BYE answers the
                // other's, so neither waits for an answer that never comes.
                if (!ZCaseEquals(fromRemoteHost, _recvFromHost)) {
                    ZDEVICE_LOG(L"WARNING Request 'BYE' from (" << fromRemoteHost << L") off the agreed path ("
                                                                << _recvFromHost << L"), ignoring.");
                    return true;
                }
                ZDEVICE_LOGC('d', L"Received BYE while waiting for ours to complete, ending.");
                _onBYE(recvRequest);
                return true;
            }
            if (ending) return true;
            break;
    }
    if (_state > WF_BYERESPONSE) {
        ZDEVICE_LOG(L"WARNING In invalid state '" << _getState(_state) << L"', ignoring.");
        return false;
    }
    // PING outside CONNECTED: dropped without an answer or a line.
    return request(L"PING") || responseTo(L"PING");
}
