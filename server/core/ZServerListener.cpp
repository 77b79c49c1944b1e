#include "ZServerListener.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ZPortable_Text.h"
#include "ZServerNet.h"
#include "ZUtil.h"

namespace {

// How long the listener rests when the system has no descriptor to give.
constexpr std::int64_t kPause = 100000;

// A few descriptors held in reserve: given back while a listener rests, so
// that the rest of the service (the database, a log line, a finished
// upload) still gets the descriptors it needs while connections use up all
// the others.
int g_spare[4] = {-1, -1, -1, -1};

void holdSpares() {
    for (int& fd : g_spare)
        if (fd < 0) fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void releaseSpares() {
    for (int& fd : g_spare) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

}  // namespace

ZServerListener::ZServerListener(ZServerLoop& loop, int fd, const wchar_t* role,
                                 std::function<void(int, const std::string&)> accepted)
    : _loop(loop), _fd(fd), _role(role), _accepted(std::move(accepted)) {}

ZServerListener::~ZServerListener() {
    if (_resume) _loop.cancel(_resume);
    if (_fd >= 0) {
        _loop.unwatch(_fd, this);
        ::close(_fd);
    }
}

bool ZServerListener::start() {
    holdSpares();
    return _loop.watch(_fd, this, EPOLLIN);
}

std::string ZServerListener::host() const { return ZServerLocalHost(_fd); }

void ZServerListener::onEvents(std::uint32_t) {
    for (int turn = 0; turn < 64; ++turn) {
        sockaddr_in peer{};
        socklen_t size = sizeof(peer);
        const int fd = accept4(_fd, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            // A connection that went before it was taken: the next one may be fine.
            if (error == ECONNABORTED || error == EPROTO) continue;
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) _pause(error);
            return;
        }
        _pausing = false;
        _accepted(fd, ZServerHostText(peer));
    }
}

void ZServerListener::_pause(int error) {
    // The waiting connection stays in the backlog and the listener stays
    // readable: watching it now would only spin. Look again a little later.
    if (!_pausing)
        ZLOG(L"WARNING " << _role << L" cannot accept connections (" << ZFromUTF8(std::strerror(error))
                         << L"), pausing the listener.");
    _pausing = true;
    if (_resume) return;
    releaseSpares();
    _loop.change(_fd, this, 0);
    _resume = _loop.after(kPause, [this] {
        _resume = 0;
        holdSpares();
        _loop.change(_fd, this, EPOLLIN);
    });
}

bool ZServerConnectionCount::take(bool mayUseReserve) {
    if (_open >= (mayUseReserve ? _total : _total - _reserve)) return false;
    ++_open;
    return true;
}

void ZServerConnectionCount::give() {
    if (_open > 0) --_open;
}

bool ZServerPeerCount::take(std::uint32_t peer) {
    int& n = _byPeer[peer];
    if (n >= _perPeer) {
        if (n == 0) _byPeer.erase(peer);
        return false;
    }
    ++n;
    return true;
}

void ZServerPeerCount::give(std::uint32_t peer) {
    auto it = _byPeer.find(peer);
    if (it == _byPeer.end()) return;
    if (--it->second <= 0) _byPeer.erase(it);
}
