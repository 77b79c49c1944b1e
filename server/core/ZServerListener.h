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
    ZServerLoop& _loop;
    int _fd;
    const wchar_t* _role;
    std::function<void(int, const std::string&)> _accepted;
};

// Counts open connections per peer address so one peer cannot take them all.
class ZServerConnectionCount {
public:
    ZServerConnectionCount(int total, int perPeer) : _total(total), _perPeer(perPeer) {}
    bool take(std::uint32_t peer);
    void give(std::uint32_t peer);
    int open() const { return _open; }

private:
    int _total;
    int _perPeer;
    int _open = 0;
    std::map<std::uint32_t, int> _byPeer;
};
