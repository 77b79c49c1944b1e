// The dispatch service's loop: the one reader of the UDP port and the relay
// connection. Each pass waits for traffic or a command (half a second at
// most), reads up to ZDISPATCH_PACKETS_PER_PASS packets, taking the two
// sources in turn, and sorts each: RTP by payload type and other signalling
// into the switchboard (only while registered), answers to this service's
// own requests to its state machine (only from the host the request went
// to); then it drains the command queue and ticks the state machine, so a
// flood of packets can never starve the tick.
#include "ZDispatchService.h"
#include "ZDispatchServiceLog.h"
#include "ZHTTPClient.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZRTP.h"

namespace {

const ZHTTPHeaders kNone;
constexpr std::size_t kQuoteLength = 64;
constexpr std::size_t kTraceLength = 1024;

// A text from the network, cut short and kept on one line for a log line.
std::wstring quote(const std::wstring& text) {
    std::wstring out = text.substr(0, kQuoteLength);
    for (wchar_t& c : out)
        if (c < 0x20 || c == 0x7f) c = L'?';
    if (text.size() > kQuoteLength) out += L"...";
    return out;
}

// A whole message from the network for the packet trace: its lines joined
// with " | " and cut short, so no peer can write a log line of its own.
std::wstring oneLine(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (out.size() >= kTraceLength) {
            out += L"...";
            break;
        }
        if (c == L'\r') continue;
        if (c == L'\n')
            out += L" | ";
        else
            out += c < 0x20 || c == 0x7f ? L'?' : c;
    }
    return out;
}

// The leading decimal number of a CSeq value; -1 when there is none or it
// does not fit.
int leadingNumber(const std::wstring& text) {
    long long value = -1;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') break;
        value = (value < 0 ? 0 : value) * 10 + (c - L'0');
        if (value > 0x7fffffff) return -1;
    }
    return static_cast<int>(value);
}

// A sender the relay names: a dotted IPv4 address and a port, nothing else
// (a name would send the loop to the resolver).
bool isSenderHost(const std::wstring& text) {
    if (!ZValidHost(text) || text.size() > 21) return false;
    int octets = 0;
    long long value = -1;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        const wchar_t c = i < text.size() ? text[i] : L'\0';
        if (c >= L'0' && c <= L'9') {
            value = (value < 0 ? 0 : value) * 10 + (c - L'0');
            if (value > 65535) return false;
            continue;
        }
        const bool separator = octets < 3 ? c == L'.' : octets == 3 ? c == L':' : c == L'\0';
        if (!separator || value < 0 || (octets < 4 && value > 255)) return false;
        ++octets;
        value = -1;
    }
    return octets == 5;
}

}  // namespace

int ZDispatchService::_bZThreadObject_safe_onLoop() {
    ZTRACE();
    invariantTest();
    if (!_udpPort) {
        // Nothing to read yet, but a command (CONNECT above all) is taken at once.
        const std::int64_t wait = _passWait;
        unlock();
        ZNetWait({}, {}, {}, wait, _wake);
        lock();
    } else {
        _waitForTraffic();
        _receivePackets();
    }
    _drainCommands();
    _collectUPnP(false);
    _fsm_onInput(std::wstring(), kNone, kNone, kNone, kNone, ZDISPATCH_EVENT_UPDATE);
    _watchRelay();
    return 0;
}

void ZDispatchService::_waitForTraffic() {
    ZTRACE();
    const std::list<ZNetUDPPort*> ports{_udpPort};
    std::list<ZNetTCPSocket*> sockets;
    if (_turnClient && _turnClient->getTCPSocket()) sockets.push_back(_turnClient->getTCPSocket());
    const std::int64_t wait = _passWait;
    unlock();
    ZNetWait(ports, {}, sockets, wait, _wake);
    lock();
}

void ZDispatchService::_receivePackets() {
    ZTRACE();
    const bool udpDisabled = _instance->test(L"Disable_UDP_Recv");
    _passLocalHost = _instance->get(L"Local_Host");
    ZMegaPortBucket* bucket = _megaPort->getEmtpyBucket();
    int budget = ZDISPATCH_PACKETS_PER_PASS;
    bool relayFirst = false;
    while (budget > 0 && _readPacket(bucket, relayFirst, udpDisabled, budget)) {
        relayFirst = !relayFirst;
        if (_filePacket(bucket)) bucket = _megaPort->getEmtpyBucket();
    }
    _megaPort->returnEmptyBucket(bucket);
}

bool ZDispatchService::_readPacket(ZMegaPortBucket* bucket, bool relayFirst, bool udpDisabled, int& budget) {
    if (relayFirst) return _readRelay(bucket, budget) || _readDirect(bucket, udpDisabled, budget);
    return _readDirect(bucket, udpDisabled, budget) || _readRelay(bucket, budget);
}

bool ZDispatchService::_readDirect(ZMegaPortBucket* bucket, bool udpDisabled, int& budget) {
    while (budget > 0 && _udpPort && ZNetUDPPortIsAlive(_udpPort)) {
        if (!ZNetUDPPortRecv(_udpPort, bucket->buffer, bucket->from)) return false;
        --budget;
        // Pretending to be behind a firewall: direct datagrams never arrive.
        if (udpDisabled) continue;
        bucket->to = _passLocalHost;
        return true;
    }
    return false;
}

bool ZDispatchService::_readRelay(ZMegaPortBucket* bucket, int& budget) {
    while (budget > 0 && _turnClient) {
        ZHTTPHeaders message;
        if (!_turnClient->recv(message)) return false;
        --budget;
        // The relay's own refusal of our request is an answer too; any other
        // message that is not a 200 frame means nothing to us.
        const bool ownAnswer = ZEndsWith(ZToLower(message.get(L"CSeq")), L" (zdispatchservice)");
        if (message.getResponse() != ZHTTP_SUCCESS && !(ownAnswer && !message.hasContent())) continue;
        if (!message.hasContent()) {
            // A message of the relay server itself.
            bucket->buffer = message.serialize();
            bucket->to = _turnClient->getLocalHost();
            bucket->from = _turnClient->getRemoteHost();
            return true;
        }
        const std::wstring remote = message.get(L"Remote-Host");
        if (!isSenderHost(remote)) {
            ZDISPATCH_LOG(L"WARNING Received relay data from TURN server with invalid remote host (" << quote(remote)
                                                                                                    << L"), ignoring.");
            continue;
        }
        bucket->buffer = message.getContent(0);
        bucket->to = _instance->get(L"Global_Host");
        bucket->from = remote;
        ZDISPATCH_LOGC('P', L"Received relay data from (" << quote(remote) << L")");
        return true;
    }
    return false;
}

bool ZDispatchService::_filePacket(ZMegaPortBucket* bucket) {
    ZTRACE();
    const std::string& buffer = bucket->buffer;
    // The bucket is not touched again once it is filed.
    const std::wstring& from = bucket->from;
    ZDISPATCH_LOGC('K', L"Received packet (" << static_cast<int>(buffer.size()) << L"bytes) from (" << quote(from) << L")");

    if (ZIsRTP(buffer)) {
        if (_filesPeerTraffic()) {
            _megaPort->fillRTPBucket(bucket);
            return true;
        }
        ZDISPATCH_LOG(L"WARNING Received " << static_cast<int>(buffer.size()) << L" RTP bytes but not ONLINE, ignoring.");
        return false;
    }

    ZHTTPHeaders message;
    if (message.deserialize(buffer) <= 0) {
        ZDISPATCH_LOGC('p', L"Received invalid SIP packet, ignoring.");
        return false;
    }
    const bool isResponse = message.getResponse() != 0;
    if (ZLogIsEnabled('K')) {
        ZDISPATCH_LOG(L"Received packet: " << oneLine(ZFromUTF8(message.serialize())));
        if (isResponse)
            ZDISPATCH_LOG(L"'" << quote(message.get(L"Debug-Original-Method")) << L"' response received from ("
                               << quote(from) << L") on (" << bucket->to << L")");
        else
            ZDISPATCH_LOG(L"'" << quote(message.getMethod()) << L"' request received from (" << quote(from)
                               << L") on (" << bucket->to << L")");
    } else if (ZLogIsEnabled('k')) {
        if (!isResponse && ZCaseEquals(message.getMethod(), L"PING"))
            ZDISPATCH_LOG(L"PING request received from (" << quote(from) << L") on (" << bucket->to << L")");
        else if (isResponse && ZCaseEquals(message.get(L"Debug-Original-Method"), L"PING"))
            ZDISPATCH_LOG(L"PING response received from (" << quote(from) << L") on (" << bucket->to << L")");
    }

    if (ZEndsWith(ZToLower(message.get(L"CSeq")), L" (zdispatchservice)")) {
        if (isResponse)
            _fileOwnAnswer(message, from);
        else
            ZDISPATCH_LOG(L"WARNING Received unexpected '" << quote(message.getMethod()) << L"' request from ("
                                                           << quote(from) << L"), ignoring.");
        return false;
    }

    if (_filesPeerTraffic()) {
        _megaPort->fillSIPBucket(bucket);
        return true;
    }
    if (isResponse)
        ZDISPATCH_LOG(L"WARNING Received response " << quote(message.getResponseSummary()) << L" but not ONLINE, ignoring.");
    else
        ZDISPATCH_LOG(L"WARNING Recieved request '" << quote(message.getMethod()) << L"' but not ONLINE, ignoring.");
    return false;
}

void ZDispatchService::_fileOwnAnswer(const ZHTTPHeaders& message, const std::wstring& from) {
    ZTRACE();
    const std::wstring cseqText = message.get(L"CSeq");
    const int cseq = leadingNumber(cseqText);
    const auto found = _cseqRequestMap.find(cseq);
    if (found == _cseqRequestMap.end()) {
        ZWARNASSERT(ZMAPCONTAINS( _cseqRequestMap, cseq ));
        return;
    }
    // A copy: the state machine may end the connection and forget every request.
    const Sent sent = found->second;
    if (!ZCaseEquals(sent.request.get(L"CSeq"), cseqText)) {
        ZDISPATCH_LOG(L"WARNING Received response with malformed CSeq '" << quote(cseqText) << L"' from (" << quote(from)
                                                                          << L"), ignoring.");
        return;
    }
    bool fromAddressee = false;
    for (const std::wstring& host : sent.answerHosts) fromAddressee = fromAddressee || ZCaseEquals(host, from);
    if (!fromAddressee) {
        ZDISPATCH_LOG(L"WARNING Received response to '" << sent.request.getMethod() << L"' from (" << quote(from)
                                                         << L"), which it was not sent to, ignoring.");
        return;
    }
    _fsm_onInput(from, kNone, sent.request, message, kNone, 0);
}

void ZDispatchService::_drainCommands() {
    ZTRACE();
    std::string item;
    while (_instance->dequeue(L"ZDispatchService_commandQueue", item)) {
        ZHTTPHeaders command;
        if (command.deserialize(item) <= 0) {
            ZDISPATCH_LOG(L"WARNING Malformed command sent to 'ZDispatchService_commandQueue', ignoring.");
            continue;
        }
        _fsm_onInput(std::wstring(), kNone, kNone, kNone, command, 0);
    }
}

void ZDispatchService::_watchRelay() {
    ZTRACE();
    if (_turnClient && !_turnClient->isAlive()) {
        ZDISPATCH_LOG(L"WARNING 'TURN' request failed (or timed out), disconnected.");
        _disconnect();
    }
    if (_turnClient) _turnClient->update(0);
    if (_relayAttached) _megaPort->flush();
}

void ZDispatchService::_fsm_onInput(const std::wstring& fromRemoteHost, const ZHTTPHeaders& recvRequest,
                                    const ZHTTPHeaders& originalRequest, const ZHTTPHeaders& recvResponse,
                                    const ZHTTPHeaders& commandRequest, int eventID) {
    ZTRACE();
    const std::wstring requestMethod = recvRequest.getMethod();
    const std::wstring originalMethod = originalRequest.getMethod();
    const std::wstring commandMethod = commandRequest.getMethod();
    std::wstring reason;
    const int responseCode = recvResponse.empty() ? 0 : recvResponse.getResponse(reason);

    if (!requestMethod.empty())
        ZDISPATCH_LOGC('P', L"Received request '" << requestMethod << L"' from (" << fromRemoteHost << L")");
    else if (responseCode)
        ZDISPATCH_LOGC('P', L"Received response #" << responseCode << L" '" << quote(reason) << L"' to request '"
                                                   << originalMethod << L"' from (" << fromRemoteHost << L")");
    else if (!commandMethod.empty())
        ZDISPATCH_LOGC('p', L"Received command '" << commandMethod << L"'");
    else if (eventID != ZDISPATCH_EVENT_UPDATE)
        ZDISPATCH_LOGC('P', L"Received eventID #" << eventID << L" '" << _getEvent(eventID) << L"'");

    if (!originalMethod.empty()) {
        ZWARNASSERT(ZCaseEquals( originalRequest.get( L"CSeq" ), recvResponse.get( L"CSeq" ) ));
        ZWARNASSERT(ZValidHost( fromRemoteHost ));
        ZWARNASSERT(!eventID);
        ZWARNASSERT(requestMethod.empty( ));
        ZWARNASSERT(commandMethod.empty( ));
        if (responseCode != ZHTTP_SUCCESS)
            ZDISPATCH_LOG(L"WARNING Request '" << originalMethod << L"' failed with response #" << responseCode << L" '"
                                               << quote(reason) << L"'.");
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

    const Input input{fromRemoteHost, recvRequest, originalRequest, recvResponse, commandRequest, eventID};
    if (_onInput(input)) return;

    if (!requestMethod.empty())
        ZDISPATCH_LOG(L"WARNING Request '" << requestMethod << L"' from (" << fromRemoteHost
                                           << L") ignored, no state change.");
    else if (!originalMethod.empty())
        ZDISPATCH_LOG(L"WARNING Response #" << responseCode << L" '" << quote(reason) << L"' from (" << fromRemoteHost
                                            << L") to request '" << originalMethod << L"' ignored, no state change.");
    else if (!commandMethod.empty())
        ZDISPATCH_LOG(L"WARNING Command '" << quote(commandMethod) << L"' ignored, no state change.");
    else
        ZDISPATCH_LOG(L"WARNING Event '" << _getEvent(eventID) << L"' ignored, no state change.");
}
