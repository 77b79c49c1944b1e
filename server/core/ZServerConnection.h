// One accepted TCP connection of a role: reads whole messages of the message
// format within the role's caps, writes through a pending-bytes buffer and
// can stream a file after it. With TLS every byte goes through the
// connection's SSL object and the handshake is the first step of its own
// state machine: it runs on the loop's events like the reads it precedes,
// under the same time-outs.
//
// Threading: the loop's thread only.
#pragma once

#include <cstdint>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZServerLoop.h"

class ZServerConnection;
struct ssl_st;
struct ssl_ctx_st;

// What a role does with its connections.
class IZServerConnectionOwner {
public:
    // One whole message.
    virtual void onMessage(ZServerConnection& connection, ZHTTPHeaders& message) = 0;
    // The connection is closed; the owner forgets it (it is deleted after).
    virtual void onClosed(ZServerConnection& connection) = 0;
    // The pending bytes fell below the low mark after having been above it.
    virtual void onDrained(ZServerConnection&) {}
    // With streamed content: the fields of a message and its content length
    // (-1 without "Content-Length"), then the content in pieces as it
    // arrives, then its end (also right after the head for a length of 0).
    virtual void onHead(ZServerConnection&, ZHTTPHeaders&, std::int64_t) {}
    virtual void onBody(ZServerConnection&, const char*, std::size_t) {}
    virtual void onBodyEnd(ZServerConnection&) {}

protected:
    ~IZServerConnectionOwner() = default;
};

// The caps of one role's connections.
struct ZServerConnectionLimits {
    std::size_t maxHeader = 16 * 1024;
    std::int64_t maxContent = 64 * 1024;
    int maxParts = 16;
    // Microseconds without a received byte before the connection is closed; 0 never.
    std::int64_t idleTimeout = 60000000;
    // Microseconds from the start by which the first whole message (or
    // streamed head) must have come, however slowly its bytes trickle in; 0 never.
    std::int64_t firstMessageTimeout = 0;
    // Pending output above which onDrained is armed (and the owner may pause input).
    std::size_t highMark = 4 * 1024 * 1024;
    // Content goes to onHead/onBody/onBodyEnd as it arrives, instead of
    // whole messages to onMessage (one content part at most).
    bool streamContent = false;
    // A request that cannot be framed (a header block over the cap, content
    // over the cap, bare LF line ends) is answered with its status before
    // the connection closes, as an HTTP client expects; otherwise it just
    // closes.
    bool answerRefusals = false;
};

class ZServerConnection : public IZServerHandler {
public:
    ZServerConnection(ZServerLoop& loop, int fd, const std::string& peer, IZServerConnectionOwner& owner,
                      const ZServerConnectionLimits& limits, const wchar_t* role);
    ~ZServerConnection();
    ZServerConnection(const ZServerConnection&) = delete;
    ZServerConnection& operator=(const ZServerConnection&) = delete;

    // Before start: the connection speaks TLS as the server of the context.
    bool useTLS(ssl_ctx_st* context);
    bool start();
    const std::string& peer() const { return _peer; }
    int fd() const { return _fd; }
    std::uint32_t peerAddress() const;
    bool closed() const { return _fd < 0; }

    void send(const std::string& bytes);
    // Streams the descriptor's next size bytes after the pending bytes; owns fd.
    void sendFile(int fd, std::int64_t size);
    // Closes once everything pending has been written; reads nothing more.
    void closeWhenSent();
    // Closes now: one warning line (rate-limited) when a reason is given.
    void refuse(const std::wstring& reason);
    void close();
    std::size_t pending() const { return _out.size() - _outOffset; }
    bool overHighMark() const { return pending() >= _limits.highMark; }
    void pauseInput(bool paused);

    void onEvents(std::uint32_t events) override;

    // Opaque slot for the owner's per-connection state.
    void* tag = nullptr;
    // Answers the owner still owes (work on another thread); a connection
    // closing when sent waits for them.
    int busy = 0;

private:
    void _read();
    // One step of the TLS handshake; true once it is done.
    bool _handshake();
    // recv/send through TLS when it is on (-1 with errno EAGAIN when it would block).
    long _receive(char* data, std::size_t size);
    long _transmit(const char* data, std::size_t size);
    void _parse();
    void _flush();
    void _updateInterest();
    void _armIdle();
    void _refuseRequest(int status, const std::wstring& reason);

    ZServerLoop& _loop;
    int _fd;
    ssl_st* _ssl = nullptr;
    bool _handshaken = false;
    std::string _peer;
    IZServerConnectionOwner& _owner;
    ZServerConnectionLimits _limits;
    const wchar_t* _role;
    std::string _in;
    std::size_t _inOffset = 0;
    std::size_t _scanFrom = 0;
    std::string _out;
    std::size_t _outOffset = 0;
    int _file = -1;
    std::int64_t _fileLeft = 0;
    bool _closing = false;
    bool _inputEnded = false;
    bool _paused = false;
    bool _aboveHigh = false;
    bool _wantWrite = false;
    std::uint32_t _interest = 0;
    std::int64_t _lastInput = 0;
    ZServerLoop::TimerId _idleTimer = 0;
    ZServerLoop::TimerId _firstTimer = 0;
    bool _gotMessage = false;
    // Content bytes of the streamed message still to come; -1 between messages.
    std::int64_t _bodyLeft = -1;
};

// Finds the length of the whole message at the front of the bytes, within the
// caps: >0 its length, 0 not complete yet, -1 refused (reason filled, and
// the status to answer with: 431 for the header block, 413 for the content,
// 400 for the rest).
std::int64_t ZServerFrameLength(const char* data, std::size_t size, const ZServerConnectionLimits& limits,
                                std::wstring& reason, int* status = nullptr);
// Finds the header block at the front of the bytes: >0 its length with the
// total content length filled (-1 without "Content-Length"), 0 not complete
// yet, -1 refused (reason and status filled; also for content over the cap).
std::int64_t ZServerFrameHead(const char* data, std::size_t size, const ZServerConnectionLimits& limits,
                              std::wstring& reason, std::int64_t& content, int* status = nullptr);
