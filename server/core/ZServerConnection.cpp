#include "ZServerConnection.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "ZPortable_Text.h"
#include "ZServerGuard.h"
#include "ZServerNet.h"
#include "ZUtil.h"

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::size_t kFileChunk = 256 * 1024;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The "Content-Length" value of a header block (the last such line), or
// empty when there is none.
bool findContentLength(const char* data, std::size_t headerEnd, std::string& value) {
    static const char kName[] = "Content-Length:";
    const std::size_t nameLength = sizeof(kName) - 1;
    bool found = false;
    std::size_t line = 0;
    // Skip the first line: it is never a field.
    while (line + 1 < headerEnd && !(data[line] == '\r' && data[line + 1] == '\n')) ++line;
    line += 2;
    while (line < headerEnd) {
        std::size_t end = line;
        while (end + 1 < headerEnd && !(data[end] == '\r' && data[end + 1] == '\n')) ++end;
        if (end + 1 >= headerEnd) end = headerEnd;
        std::size_t p = line;
        while (p < end && isBlank(data[p])) ++p;
        if (end - p >= nameLength && std::memcmp(data + p, kName, nameLength) == 0) {
            value.assign(data + p + nameLength, end - p - nameLength);
            found = true;
        }
        line = end + 2;
    }
    return found;
}

}  // namespace

std::int64_t ZServerFrameLength(const char* data, std::size_t size, const ZServerConnectionLimits& limits,
                                std::wstring& reason, int* status) {
    std::int64_t content = 0;
    const std::int64_t head = ZServerFrameHead(data, size, limits, reason, content, status);
    if (head <= 0) return head;
    const std::int64_t whole = head + (content > 0 ? content : 0);
    return static_cast<std::int64_t>(size) >= whole ? whole : 0;
}

std::int64_t ZServerFrameHead(const char* data, std::size_t size, const ZServerConnectionLimits& limits,
                              std::wstring& reason, std::int64_t& content, int* status) {
    int unused = 0;
    int& code = status ? *status : unused;
    const std::size_t window = size < limits.maxHeader + 4 ? size : limits.maxHeader + 4;
    std::size_t headerEnd = std::string::npos;
    for (std::size_t i = 0; i < window; ++i) {
        // Our messages end every line with CR LF: a bare LF is not one of
        // them, and waiting for the CR LF CR LF it never sends would only
        // hold the connection.
        if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) {
            reason = L"line ends without CR";
            code = 400;
            return -1;
        }
        if (i + 3 < window && data[i] == '\r' && data[i + 1] == '\n' && data[i + 2] == '\r' && data[i + 3] == '\n') {
            headerEnd = i + 4;
            break;
        }
    }
    if (headerEnd == std::string::npos) {
        if (size >= limits.maxHeader + 4) {
            reason = L"header block longer than " + ZToString(static_cast<std::int64_t>(limits.maxHeader)) + L" bytes";
            code = 431;
            return -1;
        }
        return 0;
    }
    code = 400;
    std::string value;
    std::int64_t total = 0;
    content = -1;
    if (findContentLength(data, headerEnd, value)) {
        int parts = 0;
        std::size_t p = 0;
        while (p <= value.size()) {
            std::size_t end = p;
            while (end < value.size() && value[end] != ',' && value[end] != ';' && value[end] != '\t') ++end;
            std::size_t a = p, b = end;
            while (a < b && isBlank(value[a])) ++a;
            while (b > a && isBlank(value[b - 1])) --b;
            if (b > a) {
                if (b - a > 12 || ++parts > limits.maxParts) {
                    reason = L"content lengths beyond the cap";
                    return -1;
                }
                std::int64_t n = 0;
                for (std::size_t i = a; i < b; ++i) {
                    if (value[i] < '0' || value[i] > '9') {
                        reason = L"content length is not a number";
                        return -1;
                    }
                    n = n * 10 + (value[i] - '0');
                }
                total += n;
                if (total > limits.maxContent) {
                    reason = L"content longer than " + ZToString(limits.maxContent) + L" bytes";
                    code = 413;
                    return -1;
                }
            }
            p = end + 1;
        }
        content = total;
    }
    return static_cast<std::int64_t>(headerEnd);
}

namespace {

// The header block without its "Content-Length" lines: what a streamed
// message's fields are read from.
std::string withoutContentLength(const char* data, std::size_t size) {
    static const char kName[] = "content-length:";
    std::string out;
    std::size_t line = 0;
    while (line < size) {
        std::size_t end = line;
        while (end + 1 < size && !(data[end] == '\r' && data[end + 1] == '\n')) ++end;
        end = end + 1 < size ? end + 2 : size;
        std::size_t p = line;
        while (p < end && isBlank(data[p])) ++p;
        bool skip = line > 0 && end - p >= sizeof(kName) - 1;
        for (std::size_t i = 0; skip && i < sizeof(kName) - 1; ++i)
            if (static_cast<char>(std::tolower(static_cast<unsigned char>(data[p + i]))) != kName[i]) skip = false;
        if (!skip) out.append(data + line, end - line);
        line = end;
    }
    return out;
}

}  // namespace

ZServerConnection::ZServerConnection(ZServerLoop& loop, int fd, const std::string& peer,
                                     IZServerConnectionOwner& owner, const ZServerConnectionLimits& limits,
                                     const wchar_t* role)
    : _loop(loop), _fd(fd), _peer(peer), _owner(owner), _limits(limits), _role(role) {}

ZServerConnection::~ZServerConnection() {
    if (_idleTimer) _loop.cancel(_idleTimer);
    if (_firstTimer) _loop.cancel(_firstTimer);
    if (_ssl) SSL_free(_ssl);
    if (_fd >= 0) ::close(_fd);
    if (_file >= 0) ::close(_file);
}

bool ZServerConnection::useTLS(ssl_ctx_st* context) {
    _ssl = SSL_new(context);
    if (!_ssl || SSL_set_fd(_ssl, _fd) != 1) {
        ERR_clear_error();
        return false;
    }
    SSL_set_accept_state(_ssl);
    return true;
}

bool ZServerConnection::start() {
    _interest = EPOLLIN | EPOLLRDHUP;
    _lastInput = ZServerLoop::now();
    if (!_loop.watch(_fd, this, _interest)) return false;
    _armIdle();
    if (_limits.firstMessageTimeout > 0)
        _firstTimer = _loop.after(_limits.firstMessageTimeout, [this] {
            _firstTimer = 0;
            if (!_gotMessage) refuse(L"no whole request in time");
        });
    return true;
}

std::uint32_t ZServerConnection::peerAddress() const {
    sockaddr_in a{};
    ZServerParseHost(_peer, a);
    return a.sin_addr.s_addr;
}

void ZServerConnection::_armIdle() {
    if (_limits.idleTimeout <= 0) return;
    _idleTimer = _loop.after(_limits.idleTimeout, [this] {
        _idleTimer = 0;
        if (_fd < 0) return;
        const std::int64_t quiet = ZServerLoop::now() - _lastInput;
        if (quiet >= _limits.idleTimeout && !_paused) {
            refuse(L"idle for too long");
            return;
        }
        _armIdle();
    });
}

void ZServerConnection::send(const std::string& bytes) {
    if (_fd < 0) return;
    if (_outOffset > 0 && _outOffset * 2 > _out.size()) {
        _out.erase(0, _outOffset);
        _outOffset = 0;
    }
    _out += bytes;
    _flush();
}

void ZServerConnection::sendFile(int fd, std::int64_t size) {
    if (_fd < 0) {
        ::close(fd);
        return;
    }
    if (_file >= 0) ::close(_file);
    _file = fd;
    _fileLeft = size;
    _flush();
}

void ZServerConnection::closeWhenSent() {
    _closing = true;
    _flush();
}

void ZServerConnection::refuse(const std::wstring& reason) {
    if (_fd < 0) return;
    if (!reason.empty() && ZServerWarnAllowed())
        ZLOG(L"WARNING " << _role << L" connection from (" << _peer << L") refused: " << reason << L", closing.");
    close();
}

void ZServerConnection::_refuseRequest(int status, const std::wstring& reason) {
    if (!_limits.answerRefusals || _fd < 0) {
        refuse(reason);
        return;
    }
    if (ZServerWarnAllowed())
        ZLOG(L"WARNING " << _role << L" connection from (" << _peer << L") refused: " << reason << L", answering "
                         << status << L" and closing.");
    const wchar_t* text = status == 431   ? L"Request Header Fields Too Large"
                          : status == 413 ? L"Content Too Large"
                                          : L"Bad Request";
    ZHTTPHeaders answer;
    answer.set(std::wstring(), L"HTTP/1.1 " + ZToString(status) + L" " + text);
    answer.set(L"Content-Length", 0);
    answer.set(L"Connection", L"close");
    // Nothing more is read from a sender that cannot frame its requests.
    _in.clear();
    _inOffset = 0;
    _inputEnded = true;
    send(answer.serialize());
    closeWhenSent();
}

void ZServerConnection::close() {
    if (_fd < 0) return;
    _loop.unwatch(_fd, this);
    if (_ssl && _handshaken) {
        // The closing alert, when the socket takes it now; never waited for.
        ERR_clear_error();
        SSL_shutdown(_ssl);
        ERR_clear_error();
    }
    ::close(_fd);
    _fd = -1;
    if (_idleTimer) {
        _loop.cancel(_idleTimer);
        _idleTimer = 0;
    }
    if (_firstTimer) {
        _loop.cancel(_firstTimer);
        _firstTimer = 0;
    }
    _owner.onClosed(*this);
}

void ZServerConnection::pauseInput(bool paused) {
    if (_paused == paused) return;
    _paused = paused;
    if (!paused) _lastInput = ZServerLoop::now();
    _updateInterest();
    if (!paused && _fd >= 0 && !_closing) _parse();
}

void ZServerConnection::_updateInterest() {
    if (_fd < 0) return;
    std::uint32_t want = 0;
    if (!_paused && !_closing && !_inputEnded) want |= EPOLLIN | EPOLLRDHUP;
    if (_wantWrite) want |= EPOLLOUT;
    if (want != _interest) {
        _interest = want;
        _loop.change(_fd, this, want);
    }
}

void ZServerConnection::onEvents(std::uint32_t events) {
    if (_fd < 0) return;
    if (_ssl && !_handshaken) {
        if (events & (EPOLLHUP | EPOLLERR)) {
            refuse(L"closed during the TLS handshake");
            return;
        }
        if (!_handshake()) return;
        // Bytes that came with the end of the handshake wait in the TLS
        // layer, where no event reports them.
        events |= EPOLLIN;
    }
    if (events & EPOLLOUT) _flush();
    if (events & EPOLLERR) {
        close();
        return;
    }
    if (_fd < 0) return;
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) {
        if (events & (EPOLLHUP | EPOLLERR)) {
            if (!_paused && !_closing && !_inputEnded) _read();
            close();
        } else if (!_paused && !_closing && !_inputEnded) {
            _read();
        }
    }
}

bool ZServerConnection::_handshake() {
    ERR_clear_error();
    const int result = SSL_do_handshake(_ssl);
    if (result == 1) {
        _handshaken = true;
        _wantWrite = pending() > 0;
        _updateInterest();
        return true;
    }
    const int error = SSL_get_error(_ssl, result);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        _wantWrite = error == SSL_ERROR_WANT_WRITE;
        _updateInterest();
        return false;
    }
    const unsigned long code = ERR_peek_last_error();
    const char* text = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    refuse(L"TLS handshake failed (" + ZFromUTF8(text ? text : "the connection closed") + L")");
    return false;
}

long ZServerConnection::_receive(char* data, std::size_t size) {
    if (!_ssl) return static_cast<long>(::recv(_fd, data, size, 0));
    if (!_handshaken) {
        errno = EAGAIN;
        return -1;
    }
    ERR_clear_error();
    const int n = SSL_read(_ssl, data, static_cast<int>(size));
    if (n > 0) return n;
    const int error = SSL_get_error(_ssl, n);
    ERR_clear_error();
    if (error == SSL_ERROR_ZERO_RETURN) return 0;
    errno = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? EAGAIN : EPROTO;
    return -1;
}

long ZServerConnection::_transmit(const char* data, std::size_t size) {
    if (!_ssl) return static_cast<long>(::send(_fd, data, size, MSG_NOSIGNAL));
    if (!_handshaken) {
        errno = EAGAIN;
        return -1;
    }
    ERR_clear_error();
    const int n = SSL_write(_ssl, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
    if (n > 0) return n;
    const int error = SSL_get_error(_ssl, n);
    ERR_clear_error();
    errno = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
    return -1;
}

void ZServerConnection::_read() {
    // Bounded per event so that one fast sender cannot hold the loop.
    for (int turn = 0; turn < 16 && _fd >= 0; ++turn) {
        const std::size_t old = _in.size();
        _in.resize(old + kReadChunk);
        const ssize_t n = _receive(_in.data() + old, kReadChunk);
        if (n <= 0) {
            _in.resize(old);
            if (n == 0) {
                // The peer finished sending: what it asked for is still answered.
                _inputEnded = true;
                _parse();
                closeWhenSent();
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                close();
            }
            return;
        }
        _in.resize(old + static_cast<std::size_t>(n));
        _lastInput = ZServerLoop::now();
        _parse();
        if (_paused || _closing) return;
    }
}

void ZServerConnection::_parse() {
    while (_fd >= 0 && !_paused && (!_closing || _inputEnded) && _inOffset < _in.size()) {
        if (_bodyLeft >= 0) {
            const std::size_t n = static_cast<std::size_t>(
                std::min<std::int64_t>(_bodyLeft, static_cast<std::int64_t>(_in.size() - _inOffset)));
            const char* bytes = _in.data() + _inOffset;
            _inOffset += n;
            _bodyLeft -= static_cast<std::int64_t>(n);
            _owner.onBody(*this, bytes, n);
            if (_bodyLeft == 0 && _fd >= 0) {
                _bodyLeft = -1;
                _owner.onBodyEnd(*this);
            }
            continue;
        }
        std::wstring reason;
        int status = 400;
        if (_limits.streamContent) {
            std::int64_t content = 0;
            const std::int64_t head =
                ZServerFrameHead(_in.data() + _inOffset, _in.size() - _inOffset, _limits, reason, content, &status);
            if (head < 0) {
                _refuseRequest(status, reason);
                return;
            }
            if (head == 0) break;
            const std::string fields = withoutContentLength(_in.data() + _inOffset, static_cast<std::size_t>(head));
            ZHTTPHeaders message;
            const int fieldsSize = static_cast<int>(fields.size());
            if (message.deserialize(fields.data(), fieldsSize) != fieldsSize) {
                _refuseRequest(400, L"malformed message");
                return;
            }
            _inOffset += static_cast<std::size_t>(head);
            _gotMessage = true;
            _bodyLeft = content > 0 ? content : -1;
            _owner.onHead(*this, message, content);
            if (content == 0 && _fd >= 0) _owner.onBodyEnd(*this);
            continue;
        }
        const std::int64_t length =
            ZServerFrameLength(_in.data() + _inOffset, _in.size() - _inOffset, _limits, reason, &status);
        if (length < 0) {
            _refuseRequest(status, reason);
            return;
        }
        if (length == 0) break;
        ZHTTPHeaders message;
        const int parsed = message.deserialize(_in.data() + _inOffset, static_cast<int>(length));
        if (parsed != length) {
            _refuseRequest(400, L"malformed message");
            return;
        }
        _inOffset += static_cast<std::size_t>(length);
        _gotMessage = true;
        _owner.onMessage(*this, message);
    }
    if (_inOffset > 0 && (_inOffset == _in.size() || _inOffset > kReadChunk)) {
        _in.erase(0, _inOffset);
        _inOffset = 0;
    }
}

void ZServerConnection::_flush() {
    while (_fd >= 0) {
        if (_outOffset == _out.size() && _file >= 0 && _fileLeft > 0) {
            _out.clear();
            _outOffset = 0;
            const std::size_t want = _fileLeft < static_cast<std::int64_t>(kFileChunk) ? _fileLeft : kFileChunk;
            _out.resize(want);
            const ssize_t n = ::read(_file, _out.data(), want);
            if (n <= 0) {
                _out.clear();
                refuse(L"the file being sent cannot be read");
                return;
            }
            _out.resize(static_cast<std::size_t>(n));
            _fileLeft -= n;
        }
        if (_outOffset == _out.size()) break;
        const ssize_t n = _transmit(_out.data() + _outOffset, _out.size() - _outOffset);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
            close();
            return;
        }
        _outOffset += static_cast<std::size_t>(n);
    }
    if (_fd < 0) return;
    if (_outOffset == _out.size()) {
        _out.clear();
        _outOffset = 0;
    }
    const bool idle = pending() == 0 && (_file < 0 || _fileLeft == 0);
    if (idle && _file >= 0) {
        ::close(_file);
        _file = -1;
    }
    if (idle && _closing && busy == 0) {
        close();
        return;
    }
    _wantWrite = !idle;
    _updateInterest();
    if (overHighMark()) {
        _aboveHigh = true;
    } else if (_aboveHigh && pending() < _limits.highMark / 4) {
        _aboveHigh = false;
        _owner.onDrained(*this);
    }
}
