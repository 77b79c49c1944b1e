// A listening TCP socket that accepts as many connections as the caps allow
// and hands each to its role.
//
// Threading: the loop's thread only.
#pragma once

#include <functional>
#include <map>
#include <string>

#include "ZServerLoop.h"

class ZServerListener : public IZServerHandler {
public:
    // accepted(fd, peer host text) takes ownership of the descriptor.
    ZServerListener(ZServerLoop& loop, int fd, const wchar_t* role, std::function<void(int, const std::string&)> accepted);
    ~ZServerListener();
    ZServerListener(const ZServerListener&) = delete;
    ZServerListener& operator=(const ZServerListener&) = delete;

    bool start();
    std::string host() const;
    void onEvents(std::uint32_t events) override;

private:
    void _pause(int error);

    ZServerLoop& _loop;
    int _fd;
    const wchar_t* _role;
    std::function<void(int, const std::string&)> _accepted;
    // Out of descriptors: not watched until the timer runs; one warning per
    // stretch of pauses, until a connection is taken again.
    bool _pausing = false;
    ZServerLoop::TimerId _resume = 0;
};

// Counts the open connections of every role together. The last few places
// are a reserve that only the roles allowed to use it (authentication) get,
// so that connections held on other roles never stop users signing in.
class ZServerConnectionCount {
public:
    ZServerConnectionCount(int total, int reserve) : _total(total), _reserve(reserve) {}
    bool take(bool mayUseReserve);
    void give();
    int open() const { return _open; }

private:
    int _total;
    int _reserve;
    int _open = 0;
};

// Counts one role's open connections per peer address so one peer cannot
// take them all.
class ZServerPeerCount {
public:
    explicit ZServerPeerCount(int perPeer) : _perPeer(perPeer) {}
    bool take(std::uint32_t peer);
    void give(std::uint32_t peer);

private:
    int _perPeer;
    std::map<std::uint32_t, int> _byPeer;
};
