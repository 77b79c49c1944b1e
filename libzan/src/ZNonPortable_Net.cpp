// Host texts, error classification and system error texts shared by the UDP
// port, the TCP sockets and the UPnP mapping; the local address list.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ZNonPortable_NetHandles.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

// Per thread, so a warning line never carries another thread's error.
thread_local int t_lastError = 0;

// glibc offers either strerror_r; take the text from whichever we got.
[[maybe_unused]] const char* errorTextOf(int result, const char* buffer) { return result == 0 ? buffer : ""; }
[[maybe_unused]] const char* errorTextOf(const char* result, const char*) { return result ? result : ""; }

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Resolves a host name (not a dotted quad) to its first IPv4 address; 0 when
// it has none. A failure is recorded as the last socket error.
std::uint32_t lookUpName(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (rc != 0) {
        ZNetSetLastError(rc == EAI_SYSTEM ? errno : rc);
        return 0;
    }
    std::uint32_t address = 0;
    for (const addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
            address = reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
            break;
        }
    }
    freeaddrinfo(found);
    return address;
}

bool isIgnorableConnectionCode(int code) {
    return code == EWOULDBLOCK || code == EAGAIN || code == ENOTCONN || code == EINTR || code == EINPROGRESS ||
           code == EALREADY;
}

}  // namespace

void ZNetSetLastError(int code) { t_lastError = code; }

void ZNetSplitHost(const std::wstring& text, std::wstring& host, std::int64_t& port) {
    host.clear();
    port = 0;
    const std::size_t colon = text.find(L':');
    if (colon == std::wstring::npos) {
        host = text;
        return;
    }
    host = text.substr(0, colon);
    std::size_t i = colon + 1;
    while (i < text.size() && isBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        // Anything past six digits is out of range already; stop growing.
        if (value < 1000000) value = value * 10 + (text[i] - L'0');
    }
    port = negative ? -value : value;
}

void ZNetResolveHost(const std::wstring& host, std::uint32_t& address, int& port) {
    address = 0;
    port = 0;
    std::wstring name;
    std::int64_t portValue = 0;
    ZNetSplitHost(host, name, portValue);
    if (portValue < 0 || portValue > 65535) {
        ZNetSetLastError(EINVAL);
        return;
    }
    port = static_cast<int>(portValue);
    if (name.empty() || name.find(L'\0') != std::wstring::npos) {
        ZNetSetLastError(EINVAL);
        return;
    }
    const std::string utf8 = ZToUTF8(name);
    in_addr parsed{};
    if (inet_pton(AF_INET, utf8.c_str(), &parsed) == 1) {
        // A dotted quad never goes to the resolver; "0.0.0.0" stays unresolved.
        address = parsed.s_addr;
        if (address == 0) ZNetSetLastError(EINVAL);
        return;
    }
    address = lookUpName(utf8);
}

std::wstring ZNetAddressToHost(std::uint32_t address, int port) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return ZNetComposeHost(ZFromUTF8(text), port);
}

bool ZNetSetNonBlocking(int socket) {
    const int flags = fcntl(socket, F_GETFL, 0);
    if (flags == -1 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) == -1) {
        ZNetSetLastError(errno);
        return true;
    }
    return false;
}

bool ZNetIsConnectionError(int result) {
    if (result != -1) return false;
    const int code = errno;
    ZNetSetLastError(code);
    return !isIgnorableConnectionCode(code);
}

bool ZNetIsDatagramError(int result) {
    if (result != -1) return false;
    const int code = errno;
    ZNetSetLastError(code);
    // A port-unreachable answer to an earlier datagram reads as refused or
    // reset; it says nothing about our own port.
    return !(isIgnorableConnectionCode(code) || code == ECONNRESET || code == ECONNREFUSED || code == EHOSTUNREACH);
}

std::wstring ZSystemGetErrorText(int code) {
    if (code < 0) return ZTrim(ZFromUTF8(gai_strerror(code)));
    char buffer[256] = {};
    const std::string text = errorTextOf(strerror_r(code, buffer, sizeof(buffer)), buffer);
    if (text.rfind("Unknown error", 0) == 0) return std::wstring();
    return ZTrim(ZFromUTF8(text));
}

std::wstring ZNetGetLastErrorText() { return ZSystemGetErrorText(t_lastError); }

bool ZNetListIPs(std::list<std::wstring>& list) {
    list.clear();
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) {
        ZLOG(L"WARNING Unable to 'getifaddrs', ignoring.");
        return false;
    }
    for (const ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
        const std::wstring host = ZNetAddressToHost(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr, 0);
        list.push_back(host.substr(0, host.find(L':')));
    }
    freeifaddrs(all);
    return !list.empty();
}

ZNetAddressList::~ZNetAddressList() {
    if (_fd >= 0) close(_fd);
}

// A route socket in the groups of IPv4 addresses and of links (up, down)
// hears of every change that could change the list. Its first look, and any
// look after the kernel dropped announcements for want of room, counts as a
// change.
bool ZNetAddressList::_changed() {
    if (!_opened) {
        _opened = true;
        _fd = socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
        sockaddr_nl local{};
        local.nl_family = AF_NETLINK;
        local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR;
        if (_fd >= 0 && bind(_fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            close(_fd);
            _fd = -1;
        }
        return true;
    }
    if (_fd < 0) return true;
    bool changed = false;
    char buffer[8192];
    for (;;) {
        const ssize_t n = recv(_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && errno == ENOBUFS)) {
            changed = true;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return changed;
    }
}

bool ZNetAddressList::list(std::list<std::wstring>& out) {
    if (_changed()) _any = ZNetListIPs(_last);
    out = _last;
    return _any;
}
