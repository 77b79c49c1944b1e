#include "ZServerListener.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "ZServerNet.h"

ZServerListener::ZServerListener(ZServerLoop& loop, int fd, const wchar_t* role,
                                 std::function<void(int, const std::string&)> accepted)
    : _loop(loop), _fd(fd), _role(role), _accepted(std::move(accepted)) {}

ZServerListener::~ZServerListener() {
    if (_fd >= 0) {
        _loop.unwatch(_fd, this);
        ::close(_fd);
    }
}

bool ZServerListener::start() { return _loop.watch(_fd, this, EPOLLIN); }

std::string ZServerListener::host() const { return ZServerLocalHost(_fd); }

void ZServerListener::onEvents(std::uint32_t) {
    for (int turn = 0; turn < 64; ++turn) {
        sockaddr_in peer{};
        socklen_t size = sizeof(peer);
        const int fd = accept4(_fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        _accepted(fd, ZServerHostText(peer));
    }
}

bool ZServerConnectionCount::take(std::uint32_t peer) {
    if (_open >= _total) return false;
    int& n = _byPeer[peer];
    if (n >= _perPeer) return false;
    ++n;
    ++_open;
    return true;
}

void ZServerConnectionCount::give(std::uint32_t peer) {
    auto it = _byPeer.find(peer);
    if (it == _byPeer.end()) return;
    --_open;
    if (--it->second <= 0) _byPeer.erase(it);
}
