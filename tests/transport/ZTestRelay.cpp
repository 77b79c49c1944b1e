#include "ZTestRelay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <list>

#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace transporttest {

namespace {

// A frame is never near this long: a stream holding this much without one is corrupt.
constexpr std::size_t kFrameLimit = 256 * 1024;
// Large socket buffers, so the loopback hops lose no datagram of a burst.
constexpr int kDatagramBuffer = 4 << 20;

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

int boundSocket(int type) {
    const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (type == SOCK_DGRAM) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kDatagramBuffer, sizeof(kDatagramBuffer));
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kDatagramBuffer, sizeof(kDatagramBuffer));
    }
    const sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    return fd;
}

int localPortOf(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

void openWakePipe(int (&fds)[2]) {
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) fds[0] = fds[1] = -1;
}

void drain(int fd) {
    char scratch[64];
    while (read(fd, scratch, sizeof(scratch)) > 0) {
    }
}

}  // namespace

std::wstring loopbackHost(int port) { return ZFromUTF8("127.0.0.1:" + std::to_string(port)); }

// ---- the echo ---------------------------------------------------------------------

ZTestUDPEcho::ZTestUDPEcho() : _fd(boundSocket(SOCK_DGRAM)) {
    _port = localPortOf(_fd);
    openWakePipe(_wake);
    _thread = std::thread([this] { _run(); });
}

ZTestUDPEcho::~ZTestUDPEcho() {
    if (write(_wake[1], "x", 1) < 0) {
    }
    _thread.join();
    close(_fd);
    close(_wake[0]);
    close(_wake[1]);
}

void ZTestUDPEcho::_run() {
    std::string buffer(65536, '\0');
    for (;;) {
        pollfd watched[2] = {{_wake[0], POLLIN, 0}, {_fd, POLLIN, 0}};
        poll(watched, 2, -1);
        if (watched[0].revents) return;
        for (;;) {
            sockaddr_in from{};
            socklen_t size = sizeof(from);
            const ssize_t n = recvfrom(_fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
            if (n < 0) break;
            sendto(_fd, buffer.data(), static_cast<std::size_t>(n), 0, reinterpret_cast<const sockaddr*>(&from), size);
            ++_echoed;
        }
    }
}

// ---- the relay --------------------------------------------------------------------

struct ZTestRelay::Connection {
    int tcp = -1;
    int allocation = -1;
    std::wstring allocationHost;
    std::string in;
    std::size_t inOffset = 0;
    std::string out;
};

ZTestRelay::ZTestRelay() : _listener(boundSocket(SOCK_STREAM)) {
    listen(_listener, 8);
    _port = localPortOf(_listener);
    openWakePipe(_wake);
    _thread = std::thread([this] { _run(); });
}

ZTestRelay::~ZTestRelay() {
    _paused = false;
    _stopping = true;
    _wakeUp();
    _thread.join();
    close(_listener);
    close(_wake[0]);
    close(_wake[1]);
}

void ZTestRelay::pause() {
    _paused = true;
    _wakeUp();
}

void ZTestRelay::resume() {
    _paused = false;
    _wakeUp();
}

void ZTestRelay::_wakeUp() {
    if (write(_wake[1], "x", 1) < 0) {
    }
}

std::vector<std::string> ZTestRelay::relayed() const {
    std::lock_guard<std::mutex> guard(_mutex);
    return _relayed;
}

int ZTestRelay::relayedCount() const {
    std::lock_guard<std::mutex> guard(_mutex);
    return static_cast<int>(_relayed.size());
}

void ZTestRelay::_framingError(Connection& c, const std::wstring& why) {
    ++_framingErrors;
    ZLOG(L"WARNING Test relay framing error on the connection of (" << c.allocationHost << L"): " << why);
}

// Takes every whole frame at the front of the stream; false when the stream
// is corrupt and the connection must close.
bool ZTestRelay::_readFrames(Connection& c) {
    while (c.inOffset < c.in.size()) {
        ZHTTPHeaders frame;
        const std::size_t left = c.in.size() - c.inOffset;
        const int n = frame.deserialize(c.in.data() + c.inOffset, static_cast<int>(left));
        if (n == 0) {
            if (left <= kFrameLimit) break;
            _framingError(c, L"no frame in " + ZToString(static_cast<std::int64_t>(left)) + L" bytes");
            return false;
        }
        c.inOffset += static_cast<std::size_t>(n);
        const std::wstring method = frame.getMethod();
        if (method == L"OPENTURN" && c.allocation < 0) {
            c.allocation = boundSocket(SOCK_DGRAM);
            c.allocationHost = loopbackHost(localPortOf(c.allocation));
            ZHTTPHeaders answer;
            answer.set(std::wstring(), L"HTTP/1.1 200 OK");
            answer.set(L"Global-Host", c.allocationHost);
            if (frame.isSet(L"CSeq")) answer.set(L"CSeq", frame.get(L"CSeq"));
            c.out += answer.serialize();
            continue;
        }
        if (method != L"SENDUDP" || c.allocation < 0) {
            _framingError(c, L"unexpected first line '" + frame.get(std::wstring()) + L"'");
            return false;
        }
        std::uint32_t address = 0;
        int port = 0;
        ZNetResolveHost(frame.get(L"Remote-Host"), address, port);
        if (frame.getContentCount() != 1 || !address || !port) {
            _framingError(c, L"a SENDUDP frame without one part and a remote host");
            return false;
        }
        const std::string& datagram = frame.getContent(0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = address;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        sendto(c.allocation, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        std::lock_guard<std::mutex> guard(_mutex);
        _relayed.push_back(datagram);
    }
    if (c.inOffset == c.in.size()) {
        c.in.clear();
        c.inOffset = 0;
    } else if (c.inOffset > c.in.size() / 2) {
        c.in.erase(0, c.inOffset);
        c.inOffset = 0;
    }
    return true;
}

void ZTestRelay::_run() {
    std::list<Connection> connections;
    std::string buffer(65536, '\0');
    while (!_stopping) {
        const bool paused = _paused;
        std::vector<pollfd> watched{{_wake[0], POLLIN, 0}, {_listener, POLLIN, 0}};
        for (const Connection& c : connections) {
            const short events = static_cast<short>((paused ? 0 : POLLIN) | (c.out.empty() ? 0 : POLLOUT));
            // A paused connection is not watched at all: its hang-up would wake the loop for ever.
            watched.push_back({events ? c.tcp : -1, events, 0});
            watched.push_back({c.allocation, POLLIN, 0});
        }
        poll(watched.data(), watched.size(), -1);
        if (watched[0].revents) drain(_wake[0]);
        std::size_t index = 2;
        for (auto it = connections.begin(); it != connections.end(); index += 2) {
            Connection& c = *it;
            bool open = true;
            if (watched[index].revents & (POLLIN | POLLHUP | POLLERR)) {
                for (std::size_t got = 0; open && got < kFrameLimit;) {
                    const ssize_t n = ::recv(c.tcp, buffer.data(), buffer.size(), 0);
                    if (n == 0) open = false;
                    if (n <= 0) break;
                    c.in.append(buffer.data(), static_cast<std::size_t>(n));
                    got += static_cast<std::size_t>(n);
                }
                open = _readFrames(c) && open;
            }
            if (open && c.allocation >= 0 && (watched[index + 1].revents & POLLIN)) {
                for (;;) {
                    sockaddr_in from{};
                    socklen_t size = sizeof(from);
                    const ssize_t n = recvfrom(c.allocation, buffer.data(), buffer.size(), 0,
                                               reinterpret_cast<sockaddr*>(&from), &size);
                    if (n < 0) break;
                    ZHTTPHeaders frame;
                    frame.set(std::wstring(), L"HTTP/1.1 200 OK");
                    frame.set(L"Remote-Host", ZNetAddressToHost(from.sin_addr.s_addr, ntohs(from.sin_port)));
                    frame.addContent(buffer.data(), static_cast<int>(n));
                    c.out += frame.serialize();
                }
            }
            while (open && !c.out.empty()) {
                const ssize_t n = ::send(c.tcp, c.out.data(), c.out.size(), MSG_NOSIGNAL);
                if (n <= 0) {
                    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) open = false;
                    break;
                }
                c.out.erase(0, static_cast<std::size_t>(n));
            }
            if (open) {
                ++it;
                continue;
            }
            close(c.tcp);
            if (c.allocation >= 0) close(c.allocation);
            it = connections.erase(it);
        }
        // Accepted last: the loop above walks only the connections that were watched.
        if (watched[1].revents) {
            const int fd = accept4(_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                connections.emplace_back();
                connections.back().tcp = fd;
            }
        }
    }
    for (Connection& c : connections) {
        close(c.tcp);
        if (c.allocation >= 0) close(c.allocation);
    }
}

}  // namespace transporttest
