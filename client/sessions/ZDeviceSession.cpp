// The device session's record, the messages it sends, the path and clock it
// keeps, and the commands it posts to the media and data services. When each
// runs is the state machine's business (ZDeviceSession_FSM.cpp).
#include "ZDeviceSession.h"

#include <algorithm>

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

const wchar_t* const kCaptureQueue = L"ZVideoCaptureService_commandQueue";
const wchar_t* const kPlaybackQueue = L"ZVideoPlaybackService_commandQueue";
const wchar_t* const kFileQueue = L"ZFileService_commandQueue";
const wchar_t* const kScreenQueue = L"ZScreenService_commandQueue";

ZHTTPHeaders responseLine(int code, const wchar_t* reason) {
    ZHTTPHeaders response;
    response.set(std::wstring(), L"HTTP/1.1 " + ZToString(code) + L" " + reason);
    return response;
}

// Own clock details that travel in INVITE and its answer.
void setOwnDetails(ZInstance* instance, ZHTTPHeaders& message) {
    std::wstring zoneName;
    const int bias = ZTimeGetTimezone(zoneName);
    message.set(L"Try-Route-List", instance->get(L"Route_List"));
    message.set(L"Audio-Enabled", instance->get(L"Audio_Capture_Online"));
    message.set(L"Video-Enabled", instance->get(L"Video_Capture_Online"));
    message.set(L"Time-Bias", bias);
    message.set(L"Time-Zone", zoneName);
}

// The message without the field of that (lower-case) name.
ZHTTPHeaders withoutField(const ZHTTPHeaders& message, const std::string& name) {
    const std::string text = message.serialize();
    const std::size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) return message;
    std::string kept;
    std::size_t pos = 0;
    while (pos < end + 2) {
        const std::size_t next = text.find("\r\n", pos) + 2;
        const std::string line = text.substr(pos, next - pos);
        std::string lower = line.substr(0, name.size() + 1);
        for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        if (lower != name + ":") kept += line;
        pos = next;
    }
    ZHTTPHeaders out;
    out.deserialize(kept + text.substr(end + 2));
    return out;
}

}  // namespace

ZDeviceSession::ZDeviceSession(ZInstance* instance, ZSIPClient* sipClient, const std::wstring& buddyGUID,
                               const std::wstring& deviceGUID)
    : _instance(instance), _sipClient(sipClient), _buddyGUID(buddyGUID), _deviceGUID(deviceGUID) {
    ZTRACE_KIND("ZDeviceSession");
    ZSIPSeedRandom();
    _reinviteInterval.setPeriod(10000000);
    _pingInterval.setPeriod(1000000);
    _requestTimeout.setPeriod(18000000);
    _retransmitInterval.setPeriod(1000000);
    _buddyDeviceGUID = ZComposeAddress(buddyGUID, deviceGUID);
    invariantTest();
    _instance->set(_buddyDeviceGUID + L"_Buddy", _buddyGUID, false);
}

ZDeviceSession::~ZDeviceSession() {
    ZTRACE();
    _reset();
}

void ZDeviceSession::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_sipClient);
    ZWARNASSERT(!_buddyGUID.empty( ));
    ZWARNASSERT(!_deviceGUID.empty( ));
    ZWARNASSERT(!_buddyDeviceGUID.empty( ));
    ZMegaPort* port = _sipClient->getPort();
    ZWARNASSERT_T(_sendFromHost.empty() || ZCaseEquals(_sendFromHost, port->getLocalHost()) ||
                      ZCaseEquals(_sendFromHost, port->getGlobalHost()),
                  "_sendFromHost.empty( ) || ZCaseEquals( _sendFromHost, localHost ) || ZCaseEquals( _sendFromHost, globalHost )");
    ZObject::invariantTest();
}

std::wstring ZDeviceSession::_getState(unsigned int state) {
    static const wchar_t* const names[] = {L"DISCONNECTED",   L"WF_INVITERESPONSE", L"WT_REINVITE",   L"WF_ACK",
                                           L"WF_ACKRESPONSE", L"CONNECTED",         L"WF_BYERESPONSE"};
    return state <= WF_BYERESPONSE ? names[state] : L"<invalid>";
}

std::wstring ZDeviceSession::_getEvent(unsigned int event) {
    static const wchar_t* const names[] = {L"INVALID",            L"UPDATE",       L"CAPTURECHANGED", L"WAITFORINVITEOK",
                                           L"RECVSERVICESONLINE", L"BYEREQUESTED", L"REMOVEREQUESTED"};
    return event <= REMOVEREQUESTED ? names[event] : L"<invalid>";
}

std::wstring ZDeviceSession::_context() const {
    return L"(" + _instance->get(L"Local_User_GUID") + L"->" + _buddyDeviceGUID + L") [" + _getState(_state) + L"] ";
}

void ZDeviceSession::_changeState(State state) {
    const State old = _state;
    _state = state;
    ZDEVICE_LOGC('d', L"Changing state from '" << _getState(old) << L"' to '" << _getState(state) << L"'");
}

void ZDeviceSession::_setHeaders(ZHTTPHeaders& message) {
    message.set(L"User-Agent", _instance->get(L"User_Agent_String"));
    message.set(L"From", _instance->get(L"Local_User_GUID"));
    message.set(L"From-Device-GUID", _instance->get(L"Local_Device_GUID"));
    message.set(L"To", _buddyGUID);
    message.set(L"To-Device-GUID", _deviceGUID);
    message.set(L"Time-Sent", _now());
}

// ---- route, clock and remote media ---------------------------------------------------

void ZDeviceSession::_updateRoute(const std::wstring& sendFrom, const std::wstring& sendTo,
                                  const std::wstring& sendToType, const std::wstring& recvFrom,
                                  const std::wstring& recvFromType, const std::wstring& recvTo,
                                  const std::wstring& recvToType) {
    ZTRACE();
    ZWARNASSERT(!sendFrom.empty( ) && !sendTo.empty( ) && !sendToType.empty( ));
    ZWARNASSERT(!recvFrom.empty( ) && !recvTo.empty( ) && !recvToType.empty( ) && !recvFromType.empty( ));
    _sendFromHost = sendFrom;
    _sendToHost = sendTo;
    _sendToType = sendToType;
    _recvFromHost = recvFrom;
    const std::wstring sendRoute =
        (ZCaseEquals(sendFrom, _sipClient->getPort()->getLocalHost()) ? L"local->" : L"turn->") + sendToType;
    const std::wstring recvRoute = recvToType + L"<-" + recvFromType;
    _instance->set(_buddyDeviceGUID + L"_Send_Route", sendRoute, false);
    _instance->set(_buddyDeviceGUID + L"_Recv_Route", recvRoute, false);
    _instance->set(_buddyDeviceGUID + L"_Send_From", sendFrom, false);
    _instance->set(_buddyDeviceGUID + L"_Send_To", sendTo, false);
    _instance->set(_buddyDeviceGUID + L"_Recv_From", recvFrom, false);
    ZDEVICE_LOGC('d', L"Switched route, sendFrom=(" << sendFrom << L"), sendTo=(" << sendTo << L"), sendRoute=("
                                                    << sendRoute << L"), recvFrom=(" << recvFrom << L"), recvRoute=("
                                                    << recvRoute << L")");
}

void ZDeviceSession::_updateClock() {
    std::int64_t bias = _instance->calc(_buddyGUID + L"_Time_Bias");
    bias = std::clamp(bias, -ZSIP_MAX_TIME_BIAS, ZSIP_MAX_TIME_BIAS);
    _instance->set(_buddyGUID + L"_Time", ZTimeComposeTime(_now() + bias * -60000000LL), false);
}

void ZDeviceSession::_updateRemoteMedia(bool audio, bool video) {
    ZTRACE();
    const std::wstring a = audio ? L"1" : L"0";
    _instance->set(_buddyGUID + L"_Audio_Enabled", a, false);
    _instance->set(_buddyDeviceGUID + L"_Audio_Enabled", a, false);
    _instance->set(_buddyDeviceGUID + L"_Video_Enabled", std::wstring(video ? L"1" : L"0"), false);
    std::wstring name = L"defaultprofile";
    if (audio && video)
        name += L"_av";
    else if (audio)
        name += L"_a";
    else if (video)
        name += L"_v";
    ZSIPCopyPicture(_instance, _buddyGUID + L"_Image", name + L".png");
    ZSIPCopyPicture(_instance, _buddyGUID + L"_Image_BW", name + L"_BW.png");
}

void ZDeviceSession::_adoptRemoteDetails(const ZHTTPHeaders& message) {
    _updateRemoteMedia(message.test(L"Audio-Enabled"), message.test(L"Video-Enabled"));
    // Display texts only; a peer's bias is held to a day either way.
    _instance->set(_buddyGUID + L"_Time_Zone", message.get(L"Time-Zone").substr(0, 64), false);
    const std::int64_t bias = std::clamp(message.calc64(L"Time-Bias"), -ZSIP_MAX_TIME_BIAS, ZSIP_MAX_TIME_BIAS);
    _instance->set(_buddyGUID + L"_Time_Bias", ZToString(bias), false);
    _updateClock();
}

// ---- services ------------------------------------------------------------------------

void ZDeviceSession::_post(const std::wstring& queue, const ZHTTPHeaders& command) {
    _instance->enqueue(queue, command.serialize());
}

void ZDeviceSession::_startServices() {
    ZTRACE();
    ZWARNASSERT(ZValidHost( _sendToHost ));
    ZWARNASSERT(ZValidHost( _sendFromHost ));
    ZWARNASSERT(ZValidHost( _recvFromHost ));
    ZDEVICE_LOGC('d', L"Starting services: sendTo=(" << _sendToHost << L"), sendFrom=(" << _sendFromHost
                                                     << L"), recvFrom=(" << _recvFromHost << L")");
    ZHTTPHeaders playback(L"OPEN");
    playback.set(L"Buddy-Device-GUID", _buddyDeviceGUID);
    playback.set(L"Recv-From-Host", _recvFromHost);
    _post(kPlaybackQueue, playback);

    const bool video = !ZCaseEquals(_instance->get(L"Video_Privacy_Choice_Mode"), L"Private - Allow nobody to see me") &&
                       ZCaseEquals(_instance->get(L"Video_Privacy_Choice_When"), L"Always") &&
                       (ZCaseEquals(_instance->get(L"Video_Privacy_Choice_Who"), L"All my buddies") ||
                        _instance->test(_buddyDeviceGUID + L"_Video_Enabled"));
    ZHTTPHeaders capture(L"OPEN");
    capture.set(L"Buddy-Device-GUID", _buddyDeviceGUID);
    capture.set(L"Send-To", _sendToHost);
    capture.set(L"Send-From", _sendFromHost);
    capture.set(L"Video-FPS", L"1");
    capture.set(L"Audio-Enable", L"false");
    capture.set(L"Video-Enable", video);
    _post(kCaptureQueue, capture);
}

void ZDeviceSession::_stopMedia() {
    ZHTTPHeaders close(L"CLOSE");
    close.set(L"Buddy-Device-GUID", _buddyDeviceGUID);
    _post(kCaptureQueue, close);
    _post(kPlaybackQueue, close);
}

void ZDeviceSession::_stopServices() {
    ZTRACE();
    _stopMedia();
    ZHTTPHeaders cancel(L"CANCEL");
    cancel.set(L"Buddy-Device-GUID", _buddyDeviceGUID);
    _post(kFileQueue, cancel);
    ZHTTPHeaders screen(L"CLOSESEND");
    screen.set(L"Buddy-GUID", _buddyGUID);
    _post(kScreenQueue, screen);
    screen.setMethod(L"CLOSERECV");
    _post(kScreenQueue, screen);
}

// ---- messages --------------------------------------------------------------------------

void ZDeviceSession::sendINVITE(ZInstance* instance, ZSIPClient* sipClient, const std::wstring& buddyGUID) {
    ZTRACE();
    ZPRECONDITION_PTR(instance);
    ZPRECONDITION_PTR(sipClient);
    ZHTTPHeaders invite(L"INVITE");
    invite.set(L"User-Agent", instance->get(L"User_Agent_String"));
    invite.set(L"From", instance->get(L"Local_User_GUID"));
    invite.set(L"From-Device-GUID", instance->get(L"Local_Device_GUID"));
    invite.set(L"To", buddyGUID);
    setOwnDetails(instance, invite);
    // Owned by no session: every device of the buddy answers this one request.
    sipClient->sendRequest(L"", instance->get(L"Global_SIP_Host"), invite, true);
}

void ZDeviceSession::_sendINVITE() {
    ZTRACE();
    ZDEVICE_LOGC('d', L"Sending 'INVITE' to '" << _buddyGUID << L"'");
    waitForINVITEOK(_tryRouteList);
    sendINVITE(_instance, _sipClient, _buddyGUID);
    _retransmitInterval.restart(_now());
}

void ZDeviceSession::_sendINVITEResponse(const ZHTTPHeaders& invite, int code) {
    ZTRACE();
    _adoptRemoteDetails(invite);
    ZHTTPHeaders response = responseLine(code, code == 200 ? L"OK" : code == 300 ? L"Busy" : L"Failed");
    _setHeaders(response);
    setOwnDetails(_instance, response);
    const std::wstring routes = _peerRoutes(invite);
    ZDEVICE_LOGC('D', L"Sending INVITE response " << response.getResponseSummary() << L"  to (" << routes << L")");
    _sipClient->sendResponseToRouteList(routes, invite, response);
    _retransmitInterval.restart(_now());
}

std::wstring ZDeviceSession::_peerRoutes(const ZHTTPHeaders& message) {
    int refused = 0;
    const std::wstring routes = ZSIPCleanRouteList(message.get(L"Try-Route-List"), &refused);
    if (refused)
        ZDEVICE_LOG(L"WARNING Refused " << refused << L" route entries of device '" << _buddyDeviceGUID << L"'.");
    return routes;
}

void ZDeviceSession::_sendACK(const ZHTTPHeaders& inviteResponse) {
    ZTRACE();
    ZWARNASSERT(inviteResponse.isSet( L"Sent-From" ));
    ZWARNASSERT(inviteResponse.isSet( L"Sent-To" ));
    ZWARNASSERT(inviteResponse.isSet( L"Sent-To-Type" ));
    _adoptRemoteDetails(inviteResponse);
    const std::wstring routes = _peerRoutes(inviteResponse);
    ZDEVICE_LOGC('D', L"Sending ACK to (" << routes << L")");
    ZHTTPHeaders ack(L"ACK");
    _setHeaders(ack);
    ack.set(L"Send-From", inviteResponse.get(L"Sent-From"));
    ack.set(L"Send-To", inviteResponse.get(L"Sent-To"));
    ack.set(L"Send-To-Type", inviteResponse.get(L"Sent-To-Type"));
    _sipClient->sendRequestToRouteList(routes, ack, true, this);
    _retransmitInterval.restart(_now());
}

void ZDeviceSession::_sendACKOK(const ZHTTPHeaders& ack) {
    ZTRACE();
    ZWARNASSERT(ZValidHost( _sendToHost ));
    ZWARNASSERT(ZValidHost( _sendFromHost ));
    ZDEVICE_LOGC('D', L"Sending ACKOK from (" << _sendFromHost << L") to (" << _sendToHost << L")");
    ZHTTPHeaders ok = responseLine(200, L"OK");
    _setHeaders(ok);
    ok.set(L"Send-From", ack.get(L"Sent-From"));
    ok.set(L"Send-To", ack.get(L"Sent-To"));
    ok.set(L"Send-To-Type", ack.get(L"Sent-To-Type"));
    ok.set(L"Sent-To-Type", _sendToType);
    // One answer settles every copy of a fanned-out ACK.
    if (ack.isSet(L"CSeq-Group")) ok.set(L"CSeq-Group", ack.get(L"CSeq-Group"));
    _sipClient->sendResponse(_sendFromHost, _sendToHost, ack, ok);
    _retransmitInterval.restart(_now());
}

void ZDeviceSession::_sendUPDATE() {
    ZTRACE();
    ZDEVICE_LOGC('D', L"Sending UPDATE request to (" << _sendToHost << L")");
    ZHTTPHeaders message(L"UPDATE");
    _setHeaders(message);
    message.set(L"Audio-Enabled", _instance->get(L"Audio_Capture_Online"));
    message.set(L"Video-Enabled", _instance->get(L"Video_Capture_Online"));
    _sipClient->sendRequest(_sendFromHost, _sendToHost, message, true, this);
}

void ZDeviceSession::_writeLoss() {
    const double loss = _pingsSent ? (1.0 - static_cast<double>(_pingsReceived) / _pingsSent) * 100.0 : 0.0;
    std::wstring text = ZToString(loss, 2);
    text << L"% (" << (_pingsSent - _pingsReceived) << L"/" << _pingsSent << L")";
    _instance->set(_buddyDeviceGUID + L"_Loss", text, false);
}

void ZDeviceSession::_sendPING() {
    ZTRACE();
    ZWARNASSERT(ZValidHost( _sendToHost ));
    ZHTTPHeaders ping(L"PING");
    _setHeaders(ping);
    _sipClient->sendRequest(_sendFromHost, _sendToHost, ping, false, this);
    ZDEVICE_LOGC('k', L"PING request sent from (" << _sendFromHost << L") to (" << _sendToHost << L")");
    ++_pingsSent;
    _writeLoss();
}

void ZDeviceSession::_sendOK(const ZHTTPHeaders& request) {
    ZTRACE();
    ZWARNASSERT(ZValidHost( _sendToHost ));
    ZHTTPHeaders ok = responseLine(200, L"OK");
    _setHeaders(ok);
    _sipClient->sendResponse(_sendFromHost, _sendToHost, request, ok);
}

void ZDeviceSession::_sendBYE(bool removed) {
    ZTRACE();
    ZWARNASSERT(ZValidHost( _sendToHost ));
    ZHTTPHeaders message(L"BYE");
    _setHeaders(message);
    message.set(L"Removed", removed);
    _sipClient->sendRequest(_sendFromHost, _sendToHost, message, true, this);
}

void ZDeviceSession::_sendHOLEPUNCH() {
    ZTRACE();
    const std::wstring localHost = _sipClient->getPort()->getLocalHost();
    ZDEVICE_LOGC('D', L"Punching holes from (" << localHost << L") to '" << ZJoin(_tryRouteList, L", ") << L"'");
    for (const std::wstring& entry : _tryRouteList) {
        std::wstring type;
        std::wstring host;
        ZSplitURL(entry, type, host);
        ZHTTPHeaders punch(L"HOLEPUNCH");
        _setHeaders(punch);
        _sipClient->sendRequest(localHost, host, punch, false, this);
    }
}

// ---- entry points of the buddy session --------------------------------------------------

void ZDeviceSession::waitForINVITEOK(const std::list<std::wstring>& routeList) {
    ZTRACE();
    invariantTest();
    // The list may be the member itself (a re-invite): copy before anything changes it.
    const std::list<std::wstring> routes = routeList;
    ZDEVICE_LOGC('d', L"Preparing to receive INVITE response along (" << ZJoin(routes, L", ") << L")");
    _onInput(L"", L"", ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), ZHTTPHeaders(), WAITFORINVITEOK);
    _tryRouteList = routes;
    _pingInterval.start = 0;
}

void ZDeviceSession::broadcast(const ZHTTPHeaders& message) {
    ZTRACE();
    invariantTest();
    ZWARNASSERT(ZCaseEquals( message.getMethod( ), L"DEVICEBROADCAST" ));
    if (_state != CONNECTED) {
        ZDEVICE_LOG(L"WARNING Tried to broadcast to '" << _buddyDeviceGUID << L"' while not connected, ignoring.");
        return;
    }
    ZHTTPHeaders payload;
    if (!message.hasContent() || !payload.deserialize(message.getContent(0))) {
        ZDEVICE_LOG(L"WARNING Malformed broadcast to '" << _buddyDeviceGUID << L"', ignoring.");
        return;
    }
    ZHTTPHeaders copy(payload);
    const std::wstring method = payload.getMethod();
    if (ZCaseEquals(method, L"SENDFILE")) {
        const std::int32_t id = ZSIPRandomProduct();
        copy.set(L"File-ID", ZToString(id));
        ZHTTPHeaders command(L"SENDFILE");
        command.set(L"File-ID", ZToString(id));
        command.set(L"Path", payload.get(L"Path"));
        command.set(L"Send-To", _sendToHost);
        command.set(L"Send-From", _sendFromHost);
        command.set(L"Recv-From", _recvFromHost);
        command.set(L"Buddy-Device-GUID", _buddyDeviceGUID);
        // The local path is ours alone: the device learns only the identifier.
        copy = withoutField(copy, "path");
        _post(kFileQueue, command);
    } else if (ZCaseEquals(method, L"SHARESCREEN")) {
        copy.set(L"SSRC", ZToString(ZSIPRandomProduct()));
        ZDEVICE_LOGC('d', L"Sending screen share: sendTo=(" << _sendToHost << L"), sendFrom=(" << _sendFromHost
                                                            << L"), recvFrom=(" << _recvFromHost << L")");
        ZHTTPHeaders command(copy);
        command.setMethod(L"OPENSEND");
        command.set(L"Buddy-GUID", _buddyGUID);
        command.set(L"Send-To", _sendToHost);
        command.set(L"Send-From", _sendFromHost);
        // The viewer's packets may arrive by the other leg of the path.
        command.set(L"Recv-From", _recvFromHost);
        _post(kScreenQueue, command);
    }
    ZHTTPHeaders outer;
    outer.setMethod(message.getMethod());
    _setHeaders(outer);
    outer.addContent(copy.serialize());
    _sipClient->sendRequest(_sendFromHost, _sendToHost, outer, true, this);
}

void ZDeviceSession::_reset() {
    ZTRACE();
    invariantTest();
    _stopServices();
    _originalINVITERequest.clear();
    _originalINVITEResponse.clear();
    _lastPingSuccessTimestamp = 0;
    _pingsSent = 0;
    _pingsReceived = 0;
    _recvFromHost.clear();
    _sendFromHost.clear();
    _sendToHost.clear();
    _sendToType.clear();
    // Only this session's transactions: other sessions' answers stay matched.
    _sipClient->cancel(this);
    _instance->set(_buddyGUID + L"_Time", std::wstring(L"-:--pm"), false);
}
