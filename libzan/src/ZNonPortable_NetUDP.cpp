// The client's UDP port: one bound, non-blocking datagram socket.
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_NetHandles.h"
#include "ZUtil.h"

namespace {

// Four MTUs: anything longer is not one of our datagrams.
constexpr int kRecvBufferSize = 4 * ZNET_UDP_MTU;
// The socket's own buffers for datagrams waiting to be read or sent.
constexpr int kSocketBufferSize = 4 * 1024 * 1024;

sockaddr_in socketAddress(std::uint32_t address, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

// Send errors that concern one destination, not the socket: a broadcast
// without permission, a route the system lacks, an address it refuses.
bool isDestinationError(int code) {
    return code == EACCES || code == EPERM || code == ENETUNREACH || code == EHOSTUNREACH || code == EADDRNOTAVAIL ||
           code == EINVAL;
}

}  // namespace

ZNetUDPPort* ZNetUDPPortOpen(const std::wstring& host) {
    if (ZDebugIsCrashing()) return nullptr;
    ZLOGC('N', L"Opening port to host '" << host << L"'");

    std::uint32_t hostIP = 0;
    int hostPort = 0;
    ZNetResolveHost(host, hostIP, hostPort);
    if (!hostIP) {
        ZLOG(L"WARNING Could not resolve host '" << host << L"', ignoring.(" << ZNetGetLastErrorText() << L")");
        return nullptr;
    }
    const std::wstring resolved = ZNetAddressToHost(hostIP, hostPort);

    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (ZNetIsDatagramError(s) || s < 0) {
        ZLOG(L"WARNING Could not open port on " << resolved << L", ignoring.(" << ZNetGetLastErrorText() << L")");
        return nullptr;
    }
    // Re-binding a fixed port right after a restart needs REUSEADDR; a port the
    // kernel picks must not: Linux would then hand out a port another live
    // socket with the flag holds, and one of the two would lose its datagrams.
    const int one = 1;
    if (hostPort != 0 && ZNetIsDatagramError(setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)))) {
        ZLOG(L"WARNING Could not set REUSEADDR on port " << resolved << L", closing.(" << ZNetGetLastErrorText()
                                                          << L")");
        close(s);
        return nullptr;
    }
    if (ZNetSetNonBlocking(s)) {
        ZLOG(L"WARNING Could not set port " << resolved << L" to be non-blocking, closing.(" << ZNetGetLastErrorText()
                                            << L")");
        close(s);
        return nullptr;
    }
    // One port carries every stream and transfer: a burst of a reliable
    // sender's window must fit while the reading thread is busy elsewhere.
    // Best effort; the system caps it at its own limit.
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &kSocketBufferSize, sizeof(kSocketBufferSize));
    setsockopt(s, SOL_SOCKET, SO_SNDBUF, &kSocketBufferSize, sizeof(kSocketBufferSize));
    const sockaddr_in local = socketAddress(hostIP, hostPort);
    if (ZNetIsDatagramError(bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof(local)))) {
        ZLOG(L"WARNING Could not bind port " << resolved << L", closing.(" << ZNetGetLastErrorText() << L")");
        close(s);
        return nullptr;
    }
    sockaddr_in bound{};
    socklen_t boundSize = sizeof(bound);
    if (ZNetIsDatagramError(getsockname(s, reinterpret_cast<sockaddr*>(&bound), &boundSize))) {
        ZLOG(L"WARNING Could not 'getsockname' on port " << resolved << L", closing.(" << ZNetGetLastErrorText()
                                                           << L")");
        close(s);
        return nullptr;
    }
    ZNetUDPPort* port = new ZNetUDPPort;
    port->socket = s;
    port->alive = true;
    port->localHost = ZNetAddressToHost(bound.sin_addr.s_addr, ntohs(bound.sin_port));
    return port;
}

int ZNetUDPPortGetMTU(ZNetUDPPort* port) {
    ZPRECONDITION_PTR(port);
    return ZNET_UDP_MTU;
}

bool ZNetUDPPortIsAlive(ZNetUDPPort* port) {
    ZPRECONDITION_PTR(port);
    return port->alive;
}

std::wstring ZNetUDPPortGetLocalHost(ZNetUDPPort* port) {
    ZASSERT_PTR(port);
    return port->localHost;
}

void ZNetUDPPortClose(ZNetUDPPort* port) {
    ZASSERT_PTR(port);
    // The crash handler may still be writing through this port's owner.
    if (ZDebugIsCrashing()) return;
    ZLOGC('N', L"Closing port bound to '" << port->localHost << L"'");
    close(port->socket);
    delete port;
}

bool ZNetUDPPortRecv(ZNetUDPPort* port, std::string& data, std::wstring& from) {
    ZPRECONDITION_PTR(port);
    data.clear();
    if (ZDebugIsCrashing()) return false;
    from.clear();
    if (!port->alive || port->socket < 0) return false;

    data.resize(kRecvBufferSize);
    sockaddr_in remoteAddr{};
    socklen_t remoteAddrSize = sizeof(remoteAddr);
    // MSG_TRUNC reports a datagram's real length, so an oversized one is seen
    // rather than silently cut.
    const ssize_t received = recvfrom(port->socket, data.data(), data.size(), MSG_TRUNC,
                                      reinterpret_cast<sockaddr*>(&remoteAddr), &remoteAddrSize);
    if (received < 1) {
        data.clear();
        if (ZNetIsDatagramError(static_cast<int>(received))) {
            ZLOG(L"WARNING Error when receiving via port '" << port->localHost << L", closing.("
                                                              << ZNetGetLastErrorText() << L")");
            port->alive = false;
        }
        return false;
    }
    if (received > kRecvBufferSize) {
        // A peer can send anything; one oversized datagram must not cost us
        // the only port.
        data.clear();
        ZNetSetLastError(EMSGSIZE);
        ZLOG(L"WARNING Error when receiving via port '" << port->localHost << L", ignoring.(" << ZNetGetLastErrorText()
                                                          << L")");
        return false;
    }
    ZASSERT(remoteAddrSize == sizeof(remoteAddr));
    data.resize(static_cast<std::size_t>(received));
    from = ZNetAddressToHost(remoteAddr.sin_addr.s_addr, ntohs(remoteAddr.sin_port));
    return !data.empty();
}

void ZNetUDPPortSend(ZNetUDPPort* p, const std::wstring& to, const void* buffer, int length) {
    ZPRECONDITION(p && buffer);
    ZWARNASSERT(length > 0);
    if (ZDebugIsCrashing() || length < 0) return;
    if (length > ZNET_UDP_MTU)
        ZLOG(L"WARNING Packet size (" << length << L") exceeds recommended MTU (" << ZNET_UDP_MTU << L")");

    std::uint32_t hostIP = 0;
    int hostPort = 0;
    ZNetResolveHost(to, hostIP, hostPort);
    if (!hostIP || !hostPort) {
        ZWARNASSERT(hostIP && hostPort);
        ZLOG(L"WARNING Could not resolve host '" << to << L"', ignoring.");
        return;
    }
    const sockaddr_in remote = socketAddress(hostIP, hostPort);
    const ssize_t sent = sendto(p->socket, buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    const int sendError = errno;
    if (ZNetIsDatagramError(static_cast<int>(sent))) {
        if (isDestinationError(sendError)) {
            // The peer named a place we may not or cannot reach; the port
            // itself is fine and stays open for everyone else.
            ZLOG(L"WARNING Error when sending via port '" << p->localHost << L" to '" << to << L"', ignoring.("
                                                            << ZNetGetLastErrorText() << L")");
            return;
        }
        ZLOG(L"WARNING Error when sending via port '" << p->localHost << L", closing.(" << ZNetGetLastErrorText()
                                                        << L")");
        p->alive = false;
    } else if (sent >= 0 && sent != length) {
        ZLOG(L"WARNING Send buffer overflow; " << static_cast<long long>(sent) << L" of " << length
                                                << L" bytes sent, ignoring.(" << ZNetGetLastErrorText() << L")");
    }
}
