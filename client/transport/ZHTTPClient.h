// The request client: one outgoing TCP connection carrying messages of the
// message format, opened with one request, able to send further ones, and
// handing back one whole received message per recv.
//
// Threading: no lock of its own; each instance lives on its owner's thread
// (the sign-in client on the UI thread, the upgrade and log-upload clients
// on their service threads, the relay client on the dispatch thread). update
// is the one call that waits.
//
// Time-outs: a connection that has accepted no byte 5 s after opening is
// cancelled; once it has, the answer time-out (60 s unless the owner sets
// another, 0 for none) cancels a connection that awaits an answer and has
// moved no byte in either direction for that long. A cancelled client is
// dead: isAlive false, and its owner deletes it.
//
// Security: with TLS the handshake runs inside the first sends and receives;
// the connect time-out ends when the peer takes the connection, and the
// handshake, the peer's first answer, runs under the answer time-out. A
// failed handshake or verification leaves the client dead after one warning
// that names the reason, like a host that cannot be reached.
#pragma once

#include <cstdint>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZObject.h"

// Microseconds a new connection may take to accept its first byte.
constexpr std::int64_t ZHTTPCLIENT_CONNECT_TIMEOUT = 5000000;
// Default longest silence while an answer is awaited, in microseconds.
constexpr std::int64_t ZHTTPCLIENT_ANSWER_TIMEOUT = 60000000;
// Most bytes held for one message that is still incomplete; a peer that
// sends more is cut off rather than allowed to fill the memory.
constexpr int ZHTTPCLIENT_RECV_LIMIT = 64 << 20;

// Where the client reads the time; tests drive their own clock.
typedef std::int64_t (*ZHTTPClientClock)();

class ZInstance;

// How a request client protects its connection.
struct ZHTTPClientSecurity {
    bool tls = false;
    // Trusted besides the system's store (a self-hosted service's CA); empty for none.
    std::wstring caFile;
};

// What the settings ask for a connection to the host: TLS trusting the
// "TLS_CA_File", unless "TLS_Plain_Hosts" names the host (for debugging).
ZHTTPClientSecurity ZHTTPClientSecurityFor(ZInstance& instance, const std::wstring& host);

// One outgoing TCP connection that carries messages of the message format.
class ZHTTPClient : public ZHeapObject {
public:
    // Without security the connection is plain (the relay's datagrams).
    ZHTTPClient(const std::wstring& host, const ZHTTPHeaders& request,
                const ZHTTPClientSecurity& security = ZHTTPClientSecurity());
    ~ZHTTPClient() override;
    void invariantTest() override { ZObject::invariantTest(); }

    void send(const ZHTTPHeaders& message);
    void update(std::int64_t timeout);
    bool recv(ZHTTPHeaders& message);
    bool isAlive();
    void shutdown();
    std::wstring getLocalHost();
    std::wstring getRemoteHost() {
        ZTRACE();
        return _remoteHost;
    }
    ZNetTCPSocket* getTCPSocket() {
        ZTRACE();
        return _tcpSocket;
    }
    int getBytesRecv() {
        ZTRACE();
        return static_cast<int>(_recvBuffer.size() - _recvOffset);
    }

    // The answer time-out in microseconds; 0 turns it off (a relay connection
    // that only carries datagrams has no answer to wait for).
    void setAnswerTimeout(std::int64_t timeout);
    std::int64_t getAnswerTimeout() const { return _answerTimeout; }
    void setClock(ZHTTPClientClock clock);
    // Why the secure connection failed; empty when it did not.
    const std::wstring& getTLSFailure() const { return _tlsFailure; }

private:
    // Reads what the socket holds; true when bytes arrived.
    bool _read();
    // Parses one whole message at the front of the received bytes; its length, or 0.
    int _parse(ZHTTPHeaders& message);
    bool _answerOverdue(std::int64_t now);
    // Logs a failed handshake once; true when the connection failed so.
    bool _reportTLSFailure();

    std::wstring _remoteHost;
    ZNetTCPSocket* _tcpSocket = nullptr;
    bool _tls = false;
    bool _tlsReported = false;
    std::wstring _tlsFailure;
    std::string _sendBuffer;
    std::string _recvBuffer;
    // Received bytes before this offset were handed out already; the buffer
    // is compacted now and then rather than after every message.
    std::size_t _recvOffset = 0;
    std::int64_t _openTime = 0;

    ZHTTPClientClock _clock;
    std::int64_t _answerTimeout = ZHTTPCLIENT_ANSWER_TIMEOUT;
    // A message was sent and no whole message has come back since.
    bool _awaitingAnswer = false;
    // The last time a byte moved in either direction, or a message was queued.
    std::int64_t _lastProgress = 0;
};
