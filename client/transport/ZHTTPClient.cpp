// The request client. Its states:
//   Opening  socket, nothing accepted yet  -> Open (first byte accepted)
//                                          -> Dead (5 s without one)
//   Open     socket alive                  -> Dead (send or receive failure,
//                                             close by the peer, answer time-out,
//                                             an oversized message)
//   Dead     no socket, or socket not alive   (left only by deletion)
#include "ZHTTPClient.h"

#include <climits>
#include <list>

#include "ZInstance.h"
#include "ZNonPortable_NetTLS.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

// Reads per recv before a message is looked for again, so one call does not
// follow a fast sender for ever.
constexpr int kReadsPerRecv = 4;

}  // namespace

ZHTTPClientSecurity ZHTTPClientSecurityFor(ZInstance& instance, const std::wstring& host) {
    ZHTTPClientSecurity security;
    security.tls = true;
    security.caFile = instance.get(L"TLS_CA_File");
    std::list<std::wstring> plain;
    ZParseList(plain, instance.get(L"TLS_Plain_Hosts"));
    for (const std::wstring& entry : plain)
        if (ZCaseEquals(entry, host)) security.tls = false;
    return security;
}

ZHTTPClient::ZHTTPClient(const std::wstring& host, const ZHTTPHeaders& request, const ZHTTPClientSecurity& security)
    : _remoteHost(host), _tls(security.tls), _clock(ZTimeNow) {
    ZTRACE_KIND("ZHTTPClient");
    _tcpSocket = ZNetTCPSocketOpen(host);
    _openTime = _clock();
    _lastProgress = _openTime;
    if (!_tcpSocket) {
        ZLOG(L"WARNING Cannot contact '" << host << L"', ignoring request.");
        return;
    }
    std::wstring reason;
    if (_tls && !ZNetTCPSocketStartTLS(_tcpSocket, security.caFile, reason)) {
        ZLOG(L"WARNING Secure connection to '" << host << L"' failed: " << reason << L", cancelling.");
        _tlsReported = true;
        _tlsFailure = reason;
        ZNetTCPSocketClose(_tcpSocket);
        _tcpSocket = nullptr;
        return;
    }
    send(request);
}

ZHTTPClient::~ZHTTPClient() {
    ZTRACE();
    if (_tcpSocket) ZNetTCPSocketClose(_tcpSocket);
    _tcpSocket = nullptr;
}

void ZHTTPClient::send(const ZHTTPHeaders& message) {
    ZTRACE();
    _sendBuffer += message.serialize();
    _awaitingAnswer = true;
    _lastProgress = _clock();
    update(0);
}

void ZHTTPClient::update(std::int64_t timeout) {
    ZTRACE();
    ZPRECONDITION(timeout >= 0);
    if (!_tcpSocket) {
        ZThreadSleep(timeout);
        return;
    }

    const int debug_sendBufferSize = static_cast<int>(_sendBuffer.size());
    std::int64_t totalSent = 0;
    while (totalSent < static_cast<std::int64_t>(_sendBuffer.size())) {
        const std::int64_t left = static_cast<std::int64_t>(_sendBuffer.size()) - totalSent;
        const int chunk = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        const int sent = ZNetTCPSocketSend(_tcpSocket, _sendBuffer.data() + totalSent, chunk);
        if (sent <= 0) break;
        totalSent += sent;
        _openTime = 0;
        _lastProgress = _clock();
    }
    if (totalSent > static_cast<std::int64_t>(_sendBuffer.size())) {
        ZLOG(L"We've sent more bytes than we have: totalSent=" << static_cast<long long>(totalSent)
                                                               << L", sendBuffer.size()="
                                                               << static_cast<long long>(_sendBuffer.size())
                                                               << L"( originally " << debug_sendBufferSize << L")");
        ZAbort();
        return;
    }
    ZWARNASSERT(debug_sendBufferSize == (int)_sendBuffer.size( ));
    _sendBuffer.erase(0, static_cast<std::size_t>(totalSent));

    if (_reportTLSFailure()) return;
    // With TLS the connect ends when the peer took the connection; the
    // handshake is the peer's first answer and runs under the answer time-out
    // (a loaded service may take longer than the connect time-out for it).
    if (_tls && _openTime != 0 && ZNetTCPSocketConnected(_tcpSocket)) {
        _openTime = 0;
        _lastProgress = _clock();
    }
    const std::int64_t now = _clock();
    if (_openTime != 0 && now - _openTime > ZHTTPCLIENT_CONNECT_TIMEOUT) {
        ZLOG(L"WARNING Connection to '" << _remoteHost << L"' timed out, cancelling.");
        ZNetTCPSocketClose(_tcpSocket);
        _tcpSocket = nullptr;
        return;
    }
    if (_answerOverdue(now)) {
        if (_tls && !ZNetTCPSocketSecured(_tcpSocket)) {
            _tlsFailure = L"no TLS handshake within " + ZToString(_answerTimeout / 1000) + L" ms";
            ZLOG(L"WARNING Secure connection to '" << _remoteHost << L"' failed: " << _tlsFailure << L", cancelling.");
        } else {
            ZLOG(L"WARNING No answer from '" << _remoteHost << L"' for "
                                             << static_cast<long long>(_answerTimeout / 1000) << L" ms, cancelling.");
        }
        ZNetTCPSocketClose(_tcpSocket);
        _tcpSocket = nullptr;
        return;
    }
    if (timeout > 0) ZNetWait({}, {}, {_tcpSocket}, timeout);
}

bool ZHTTPClient::recv(ZHTTPHeaders& message) {
    ZTRACE();
    if (!_tcpSocket) return false;
    // A whole message already held goes out before more is read, so a peer
    // that sends faster than its owner reads cannot grow the buffer.
    ZHTTPHeaders received;
    int length = _parse(received);
    if (length == 0 && _read()) length = _parse(received);
    if (_reportTLSFailure()) return false;
    if (length > 0) {
        _recvOffset += static_cast<std::size_t>(length);
        if (_recvOffset == _recvBuffer.size()) {
            _recvBuffer.clear();
            _recvOffset = 0;
        } else if (_recvOffset > _recvBuffer.size() / 2) {
            _recvBuffer.erase(0, _recvOffset);
            _recvOffset = 0;
        }
        _awaitingAnswer = false;
        message = received;
        return true;
    }
    if (_recvBuffer.size() - _recvOffset > static_cast<std::size_t>(ZHTTPCLIENT_RECV_LIMIT)) {
        ZLOG(L"WARNING Message from '" << _remoteHost << L"' is larger than " << ZHTTPCLIENT_RECV_LIMIT
                                       << L" bytes, closing.");
        ZNetTCPSocketClose(_tcpSocket);
        _tcpSocket = nullptr;
    }
    return false;
}

bool ZHTTPClient::isAlive() {
    ZTRACE();
    return _tcpSocket && ZNetTCPSocketIsAlive(_tcpSocket);
}

void ZHTTPClient::shutdown() {
    ZTRACE();
    if (_tcpSocket) ZNetTCPSocketShutdown(_tcpSocket);
}

std::wstring ZHTTPClient::getLocalHost() {
    ZTRACE();
    return _tcpSocket ? ZNetTCPSocketGetLocalHost(_tcpSocket) : std::wstring(L"0.0.0.0:0");
}

void ZHTTPClient::setAnswerTimeout(std::int64_t timeout) {
    ZTRACE();
    ZPRECONDITION(timeout >= 0);
    _answerTimeout = timeout;
}

void ZHTTPClient::setClock(ZHTTPClientClock clock) {
    ZTRACE();
    ZPRECONDITION(clock);
    _clock = clock;
    // The armed times were read from the old clock.
    const std::int64_t now = _clock();
    if (_openTime != 0) _openTime = now;
    _lastProgress = now;
}

bool ZHTTPClient::_reportTLSFailure() {
    if (!_tls || !_tcpSocket || _tlsReported) return false;
    const std::wstring reason = ZNetTCPSocketTLSFailure(_tcpSocket);
    if (reason.empty()) return false;
    _tlsReported = true;
    _tlsFailure = reason;
    ZLOG(L"WARNING Secure connection to '" << _remoteHost << L"' failed: " << reason << L", cancelling.");
    return true;
}

bool ZHTTPClient::_read() {
    bool appended = false;
    for (int turn = 0; turn < kReadsPerRecv && ZNetTCPSocketRecv(_tcpSocket, _recvBuffer); ++turn) appended = true;
    if (appended) _lastProgress = _clock();
    return appended;
}

// While connecting, the connect time-out rules; afterwards a connection that
// awaits an answer must move some byte within the answer time-out.
bool ZHTTPClient::_answerOverdue(std::int64_t now) {
    if (_answerTimeout <= 0 || !_awaitingAnswer || _openTime != 0) return false;
    if (now - _lastProgress <= _answerTimeout) return false;
    // Bytes that came while the owner was busy are progress too, and a whole
    // message waiting to be taken is the answer.
    if (_read()) return false;
    ZHTTPHeaders waiting;
    return _parse(waiting) == 0;
}

int ZHTTPClient::_parse(ZHTTPHeaders& message) {
    const std::size_t held = _recvBuffer.size() - _recvOffset;
    if (held == 0) return 0;
    // Beyond the format's 32-bit lengths nothing parses; the receive limit ends such a stream.
    const int length = held > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(held);
    return message.deserialize(_recvBuffer.data() + _recvOffset, length);
}
