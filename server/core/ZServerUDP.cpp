#include "ZServerUDP.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ZServerNet.h"

ZServerUDP::ZServerUDP(ZServerLoop& loop, int fd, Receiver receiver)
    : _loop(loop), _fd(fd), _host(ZServerLocalHost(fd)), _receiver(std::move(receiver)), _buffer(65536, '\0') {}

ZServerUDP::~ZServerUDP() {
    if (_fd >= 0) {
        _loop.unwatch(_fd, this);
        ::close(_fd);
    }
}

bool ZServerUDP::start() { return _loop.watch(_fd, this, EPOLLIN); }

bool ZServerUDP::send(const sockaddr_in& to, const std::string& bytes) {
    const ssize_t n = ::sendto(_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&to),
                               sizeof(to));
    return n == static_cast<ssize_t>(bytes.size());
}

void ZServerUDP::pauseInput(bool paused) {
    if (_paused == paused) return;
    _paused = paused;
    _update();
}

void ZServerUDP::whenWritable(std::function<void()> fn) {
    _writable = std::move(fn);
    _update();
}

void ZServerUDP::_update() {
    std::uint32_t want = 0;
    if (!_paused) want |= EPOLLIN;
    if (_writable) want |= EPOLLOUT;
    _loop.change(_fd, this, want);
}

void ZServerUDP::onEvents(std::uint32_t events) {
    if ((events & EPOLLOUT) && _writable) {
        std::function<void()> fn = std::move(_writable);
        _writable = nullptr;
        _update();
        fn();
    }
    if (!(events & EPOLLIN)) return;
    // A budget per event keeps one busy socket from starving the others.
    for (int turn = 0; turn < 256 && !_paused; ++turn) {
        sockaddr_in from{};
        socklen_t size = sizeof(from);
        const ssize_t n = ::recvfrom(_fd, _buffer.data(), _buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
        if (n < 0) return;
        if (size != sizeof(from) || from.sin_family != AF_INET) continue;
        _datagram.assign(_buffer.data(), static_cast<std::size_t>(n));
        _receiver(*this, _datagram, from);
    }
}
