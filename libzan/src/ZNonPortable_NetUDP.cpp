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

// Whether a host text names a dotted quad and a port, digits only: its
// address never changes, unlike a name's.
bool isNumericHost(const std::wstring& host) {
    for (const wchar_t c : host)
        if (!(c >= L'0' && c <= L'9') && c != L'.' && c != L':') return false;
    return !host.empty();
}

// Resolves a destination, remembering the calling thread's last numeric
// one: a stream sends every datagram to the same text.
void resolveDestination(const std::wstring& to, std::uint32_t& address, int& port) {
    thread_local std::wstring lastTo;
    thread_local std::uint32_t lastAddress = 0;
    thread_local int lastPort = 0;
    if (!lastTo.empty() && to == lastTo) {
        address = lastAddress;
        port = lastPort;
        return;
    }
    ZNetResolveHost(to, address, port);
    if (address && port && isNumericHost(to)) {
        lastTo = to;
        lastAddress = address;
        lastPort = port;
    }
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

// Reads up to a batch of datagrams in one call; false when none waited or
// the socket failed.
static bool readBatch(ZNetUDPPort* port) {
    port->batchCount = 0;
    port->batchNext = 0;
    port->batch.resize(static_cast<std::size_t>(kRecvBufferSize) * ZNET_UDP_BATCH);
    mmsghdr messages[ZNET_UDP_BATCH] = {};
    iovec parts[ZNET_UDP_BATCH];
    sockaddr_in remote[ZNET_UDP_BATCH] = {};
    for (int i = 0; i < ZNET_UDP_BATCH; ++i) {
        parts[i].iov_base = &port->batch[static_cast<std::size_t>(i) * kRecvBufferSize];
        parts[i].iov_len = kRecvBufferSize;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &remote[i];
        messages[i].msg_hdr.msg_namelen = sizeof(remote[i]);
    }
    // MSG_TRUNC reports each datagram's real length, so an oversized one is
    // seen rather than silently cut.
    const int received = recvmmsg(port->socket, messages, ZNET_UDP_BATCH, MSG_TRUNC, nullptr);
    if (received < 1) {
        if (ZNetIsDatagramError(received)) {
            ZLOG(L"WARNING Error when receiving via port '" << port->localHost << L", closing.("
                                                              << ZNetGetLastErrorText() << L")");
            port->alive = false;
        }
        return false;
    }
    for (int i = 0; i < received; ++i) {
        ZASSERT(messages[i].msg_hdr.msg_namelen == sizeof(remote[i]));
        port->batchLength[i] = static_cast<int>(messages[i].msg_len);
        port->batchAddress[i] = remote[i].sin_addr.s_addr;
        port->batchPort[i] = ntohs(remote[i].sin_port);
    }
    port->batchCount = received;
    return true;
}

bool ZNetUDPPortRecv(ZNetUDPPort* port, std::string& data, std::wstring& from) {
    ZPRECONDITION_PTR(port);
    data.clear();
    if (ZDebugIsCrashing()) return false;
    from.clear();
    if (!port->alive || port->socket < 0) return false;

    if (port->batchNext == port->batchCount && !readBatch(port)) return false;
    {
        const int i = port->batchNext++;
        const int received = port->batchLength[i];
        if (received > kRecvBufferSize) {
            // A peer can send anything; one oversized datagram must not cost
            // us the only port.
            ZNetSetLastError(EMSGSIZE);
            ZLOG(L"WARNING Error when receiving via port '" << port->localHost << L", ignoring.("
                                                              << ZNetGetLastErrorText() << L")");
            return false;
        }
        // An empty datagram is nothing to hand out.
        if (received < 1) return false;
        data.assign(&port->batch[static_cast<std::size_t>(i) * kRecvBufferSize], static_cast<std::size_t>(received));
        if (port->batchAddress[i] != port->fromAddress || port->batchPort[i] != port->fromPort) {
            port->fromAddress = port->batchAddress[i];
            port->fromPort = port->batchPort[i];
            port->fromHost = ZNetAddressToHost(port->fromAddress, port->fromPort);
        }
        from = port->fromHost;
        return true;
    }
}

// What a send of length bytes that returned sent (errno sendError) means
// for the port.
static void reportSend(ZNetUDPPort* p, const std::wstring& to, ssize_t sent, int sendError, int length) {
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

// The checks of a send before its system call: false when nothing goes out.
static bool prepareSend(const std::wstring& to, int length, sockaddr_in& remote) {
    ZWARNASSERT(length > 0);
    if (ZDebugIsCrashing() || length < 0) return false;
    if (length > ZNET_UDP_MTU)
        ZLOG(L"WARNING Packet size (" << length << L") exceeds recommended MTU (" << ZNET_UDP_MTU << L")");

    std::uint32_t hostIP = 0;
    int hostPort = 0;
    resolveDestination(to, hostIP, hostPort);
    if (!hostIP || !hostPort) {
        ZWARNASSERT(hostIP && hostPort);
        ZLOG(L"WARNING Could not resolve host '" << to << L"', ignoring.");
        return false;
    }
    remote = socketAddress(hostIP, hostPort);
    return true;
}

void ZNetUDPPortSend(ZNetUDPPort* p, const std::wstring& to, const void* buffer, int length) {
    ZPRECONDITION(p && buffer);
    sockaddr_in remote{};
    if (!prepareSend(to, length, remote)) return;
    const ssize_t sent = sendto(p->socket, buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&remote), sizeof(remote));
    reportSend(p, to, sent, errno, length);
}

void ZNetUDPPortSendMany(ZNetUDPPort* p, const std::wstring& to, const std::string* datagrams, int count) {
    ZPRECONDITION(p && (datagrams || count == 0));
    mmsghdr messages[ZNET_UDP_BATCH] = {};
    iovec parts[ZNET_UDP_BATCH];
    sockaddr_in remote[ZNET_UDP_BATCH] = {};
    int index[ZNET_UDP_BATCH] = {};
    int next = 0;
    while (next < count) {
        // A batch of the datagrams that pass the checks, each checked (and
        // warned about) exactly as a single send would be.
        int batch = 0;
        while (next < count && batch < ZNET_UDP_BATCH) {
            const std::string& datagram = datagrams[next];
            const int length = datagram.size() > 0x7FFFFFFFu ? -1 : static_cast<int>(datagram.size());
            if (prepareSend(to, length, remote[batch])) {
                parts[batch].iov_base = const_cast<char*>(datagram.data());
                parts[batch].iov_len = datagram.size();
                messages[batch].msg_hdr = msghdr{};
                messages[batch].msg_hdr.msg_name = &remote[batch];
                messages[batch].msg_hdr.msg_namelen = sizeof(remote[batch]);
                messages[batch].msg_hdr.msg_iov = &parts[batch];
                messages[batch].msg_hdr.msg_iovlen = 1;
                index[batch++] = next;
            }
            ++next;
        }
        // The system stops a batch at the first failing datagram: that one
        // is reported like a single send's failure, and the rest go on.
        for (int done = 0; done < batch && p->alive;) {
            const int sent = sendmmsg(p->socket, messages + done, static_cast<unsigned>(batch - done), MSG_NOSIGNAL);
            const int sendError = errno;
            if (sent > 0) {
                for (int k = done; k < done + sent; ++k)
                    reportSend(p, to, static_cast<ssize_t>(messages[k].msg_len), 0,
                               static_cast<int>(datagrams[index[k]].size()));
                done += sent;
                continue;
            }
            errno = sendError;
            reportSend(p, to, -1, sendError, static_cast<int>(datagrams[index[done]].size()));
            ++done;
        }
    }
}
