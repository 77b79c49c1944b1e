// One UDP socket of a role: reads every datagram that is ready, within a
// budget per event, and hands it to the role; sends whole datagrams.
//
// Threading: the loop's thread only.
#pragma once

#include <netinet/in.h>

#include <functional>
#include <string>

#include "ZServerLoop.h"

class ZServerUDP : public IZServerHandler {
public:
    typedef std::function<void(ZServerUDP&, const std::string&, const sockaddr_in&)> Receiver;

    ZServerUDP(ZServerLoop& loop, int fd, Receiver receiver);
    ~ZServerUDP();
    ZServerUDP(const ZServerUDP&) = delete;
    ZServerUDP& operator=(const ZServerUDP&) = delete;

    bool start();
    int fd() const { return _fd; }
    // The host text this socket answers from.
    const std::string& host() const { return _host; }
    // False when the datagram could not be handed to the system now.
    bool send(const sockaddr_in& to, const std::string& bytes);
    // Reading stops while paused (the system's buffer then holds or drops).
    void pauseInput(bool paused);
    // Called once when a send that would have blocked can be retried.
    void whenWritable(std::function<void()> fn);

    void onEvents(std::uint32_t events) override;

private:
    void _update();

    ZServerLoop& _loop;
    int _fd;
    std::string _host;
    Receiver _receiver;
    bool _paused = false;
    std::function<void()> _writable;
    std::string _buffer;
    // The datagram handed to the receiver, kept from one to the next.
    std::string _datagram;
};
