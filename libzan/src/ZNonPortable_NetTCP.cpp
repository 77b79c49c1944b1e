// Client TCP connections and ZNetWait, the one blocking point of the network
// code.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_NetHandles.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

constexpr int kRecvChunk = 2048;

std::int64_t monotonicMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

ZNetTCPSocket* ZNetTCPSocketOpen(const std::wstring& remoteHost) {
    ZWARNASSERT_T(ZValidHost(remoteHost), "ZValidHost( remoteHost )");
    if (ZDebugIsCrashing()) return nullptr;
    ZLOGC('N', L"Opening socket to '" << remoteHost << L"'");

    std::uint32_t hostIP = 0;
    int hostPort = 0;
    ZNetResolveHost(remoteHost, hostIP, hostPort);
    if (!hostIP) {
        ZLOG(L"WARNING Could not resolve host '" << remoteHost << L"', ignoring.");
        return nullptr;
    }
    const std::wstring resolved = ZNetAddressToHost(hostIP, hostPort);

    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (ZNetIsConnectionError(s) || s < 0) {
        ZLOG(L"WARNING Could not open socket to " << resolved << L", ignoring.(" << ZNetGetLastErrorText() << L")");
        return nullptr;
    }
    if (ZNetSetNonBlocking(s)) {
        ZLOG(L"WARNING Could not set non-blocking mode on " << resolved << L", closing.(" << ZNetGetLastErrorText()
                                                             << L")");
        close(s);
        return nullptr;
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_addr.s_addr = hostIP;
    remote.sin_port = htons(static_cast<std::uint16_t>(hostPort));
    // Non-blocking: "in progress" is the normal answer; refusal shows later.
    if (ZNetIsConnectionError(connect(s, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)))) {
        ZLOG(L"WARNING Could not connect to " << resolved << L", closing.(" << ZNetGetLastErrorText() << L")");
        close(s);
        return nullptr;
    }
    ZNetTCPSocket* sock = new ZNetTCPSocket;
    sock->socket = s;
    sock->alive = true;
    sock->remoteHost = remoteHost;
    return sock;
}

std::wstring ZNetTCPSocketGetLocalHost(ZNetTCPSocket* sock) {
    ZASSERT_PTR(sock);
    sockaddr_in local{};
    socklen_t localSize = sizeof(local);
    const int rc = getsockname(sock->socket, reinterpret_cast<sockaddr*>(&local), &localSize);
    if (ZNetIsConnectionError(rc)) {
        ZLOG(L"WARNING Could not 'getsockname' on socket " << sock->remoteHost << L", closing.("
                                                             << ZNetGetLastErrorText() << L")");
        return std::wstring();
    }
    if (rc != 0) return std::wstring();
    return ZNetAddressToHost(local.sin_addr.s_addr, ntohs(local.sin_port));
}

int ZNetTCPSocketSend(ZNetTCPSocket* sock, const void* data, int length) {
    ZPRECONDITION_PTR(sock);
    if (ZDebugIsCrashing() || !sock->alive || length <= 0) return 0;
    if (sock->ssl) return ZNetTLSSend(sock, data, length);
    // MSG_NOSIGNAL: a peer that went away must not raise SIGPIPE.
    const ssize_t sent = send(sock->socket, data, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (ZNetIsConnectionError(static_cast<int>(sent))) {
        ZLOG(L"WARNING Connection failed on send, error '" << ZNetGetLastErrorText() << L"'");
        sock->alive = false;
        return 0;
    }
    if (sent < 0) return 0;
    const long long numSent = sent;
    ZWARNASSERT(numSent <= length);
    return static_cast<int>(numSent);
}

bool ZNetTCPSocketRecv(ZNetTCPSocket* sock, std::string& data) {
    ZPRECONDITION_PTR(sock);
    if (ZDebugIsCrashing() || !sock->alive) return false;
    if (sock->ssl) return ZNetTLSRecv(sock, data);
    char chunk[kRecvChunk];
    std::size_t appended = 0;
    // Capped, so one call never holds its thread for an endless stream; the
    // rest wakes the next wait at once.
    while (appended < static_cast<std::size_t>(ZNET_TCP_RECV_LIMIT)) {
        const ssize_t got = recv(sock->socket, chunk, sizeof(chunk), 0);
        if (got > 0) {
            data.append(chunk, static_cast<std::size_t>(got));
            appended += static_cast<std::size_t>(got);
            continue;
        }
        if (got == 0 || ZNetIsConnectionError(static_cast<int>(got))) sock->alive = false;
        break;
    }
    return appended > 0;
}

void ZNetTCPSocketShutdown(ZNetTCPSocket* sock) {
    ZASSERT_PTR(sock);
    if (ZDebugIsCrashing()) return;
    ZLOGC('N', L"Shutting down socket '" << sock->remoteHost << L"'");
    if (sock->ssl) ZNetTLSShutdown(sock);
    shutdown(sock->socket, SHUT_WR);
}

bool ZNetTCPSocketIsAlive(ZNetTCPSocket* sock) {
    ZPRECONDITION_PTR(sock);
    return sock->alive;
}

void ZNetTCPSocketClose(ZNetTCPSocket* sock) {
    ZASSERT_PTR(sock);
    if (ZDebugIsCrashing()) return;
    ZLOGC('N', L"Closing socket '" << sock->remoteHost << L"'");
    if (sock->ssl) ZNetTLSFree(sock);
    shutdown(sock->socket, SHUT_RDWR);
    close(sock->socket);
    delete sock;
}

bool ZNetWait(const std::list<ZNetUDPPort*>& ports, const std::list<ZNetUDPPort*>& others,
              const std::list<ZNetTCPSocket*>& sockets, std::int64_t timeout) {
    return ZNetWait(ports, others, sockets, timeout, nullptr);
}

struct ZNetWake {
    int fd = -1;
};

ZNetWake* ZNetWakeOpen() {
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) {
        ZLOG(L"WARNING Cannot open a wake-up event (" << ZNetGetLastErrorText() << L"), waits run their time.");
        return nullptr;
    }
    return new ZNetWake{fd};
}

void ZNetWakeSignal(ZNetWake* wake) {
    if (!wake) return;
    const std::uint64_t one = 1;
    // A full counter is as signalled as can be: nothing to do about EAGAIN.
    [[maybe_unused]] const ssize_t written = ::write(wake->fd, &one, sizeof(one));
}

void ZNetWakeClose(ZNetWake* wake) {
    if (!wake) return;
    ::close(wake->fd);
    delete wake;
}

bool ZNetWait(const std::list<ZNetUDPPort*>& ports, const std::list<ZNetUDPPort*>& others,
              const std::list<ZNetTCPSocket*>& sockets, std::int64_t timeout, ZNetWake* wake) {
    ZPRECONDITION(timeout >= 0);
    if (ZDebugIsCrashing()) {
        ZThreadSleep(timeout);
        return false;
    }
    std::vector<ZNetHandle*> handles;
    for (ZNetUDPPort* p : ports) handles.push_back(p);
    for (ZNetUDPPort* p : others) handles.push_back(p);
    for (ZNetTCPSocket* s : sockets) handles.push_back(s);

    // Datagrams read already but not handed out make their port ready.
    for (ZNetUDPPort* p : ports)
        if (ZNetUDPPortHasBatch(p)) return true;
    for (ZNetUDPPort* p : others)
        if (ZNetUDPPortHasBatch(p)) return true;
    // Likewise decrypted bytes a receive left behind its cap.
    for (ZNetTCPSocket* s : sockets)
        if (s && s->alive && ZNetTLSHasPending(s)) return true;

    std::vector<pollfd> watched;
    for (ZNetHandle* h : handles) {
        if (h && h->alive && watched.size() < static_cast<std::size_t>(ZNET_WAIT_MAX))
            watched.push_back(pollfd{h->socket, POLLIN, 0});
    }
    if (wake) watched.push_back(pollfd{wake->fd, POLLIN, 0});
    if (watched.empty()) {
        ZThreadSleep(timeout);
        return false;
    }

    // A signal only interrupts the wait: go on for the time that is left.
    const std::int64_t deadline = monotonicMicroseconds() + timeout;
    std::int64_t left = timeout;
    for (;;) {
        const timespec ts{static_cast<time_t>(left / 1000000), static_cast<long>(left % 1000000) * 1000};
        const int ready = ppoll(watched.data(), static_cast<nfds_t>(watched.size()), &ts, nullptr);
        if (ready == -1 && errno == EINTR) {
            left = deadline - monotonicMicroseconds();
            if (left < 0) left = 0;
            continue;
        }
        if (ZNetIsDatagramError(ready)) {
            ZLOG(L"WARNING Error while polling, resetting everything .(" << ZNetGetLastErrorText() << L")");
            for (ZNetHandle* h : handles)
                if (h) h->alive = false;
        }
        if (wake && ready > 0 && (watched.back().revents & POLLIN)) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t taken = ::read(wake->fd, &count, sizeof(count));
        }
        return ready != 0;
    }
}
