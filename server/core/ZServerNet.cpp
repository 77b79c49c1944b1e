#include "ZServerNet.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

bool ZServerParseHost(const std::string& text, sockaddr_in& out) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size() || text.size() > 21) return false;
    const std::string ip = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5) return false;
    int value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535) return false;
    in_addr a{};
    if (inet_pton(AF_INET, ip.c_str(), &a) != 1) return false;
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_addr = a;
    out.sin_port = htons(static_cast<std::uint16_t>(value));
    return true;
}

bool ZServerSendableHost(const sockaddr_in& address) {
    const std::uint32_t ip = ntohl(address.sin_addr.s_addr);
    if (address.sin_port == 0 || ip == 0 || ip == 0xFFFFFFFFu) return false;
    return (ip >> 28) != 0xE;  // multicast
}

bool ZServerPublicAddress(const sockaddr_in& address) {
    const std::uint32_t ip = ntohl(address.sin_addr.s_addr);
    const auto in = [ip](std::uint32_t network, int bits) { return (ip >> (32 - bits)) == (network >> (32 - bits)); };
    return !(in(0x00000000u, 8) ||   // this network, unspecified
             in(0x0A000000u, 8) ||   // private
             in(0x64400000u, 10) ||  // carrier-grade NAT
             in(0x7F000000u, 8) ||   // loopback
             in(0xA9FE0000u, 16) ||  // link-local
             in(0xAC100000u, 12) ||  // private
             in(0xC0A80000u, 16) ||  // private
             in(0xE0000000u, 4) ||   // multicast
             in(0xF0000000u, 4));    // reserved and broadcast
}

std::string ZServerAddressText(const sockaddr_in& address) {
    std::string text = ZServerHostText(address);
    text.resize(text.rfind(':'));
    return text;
}

std::string ZServerHostText(const sockaddr_in& address) {
    // Dotted decimal and the port, as inet_ntop and to_string write them,
    // without their formatting machinery: every datagram needs its source.
    char text[24];
    char* p = text;
    auto decimal = [&p](unsigned value) {
        char digits[5];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + value % 10);
        while ((value /= 10) != 0);
        while (n) *p++ = digits[--n];
    };
    const std::uint32_t ip = ntohl(address.sin_addr.s_addr);
    for (int shift = 24; shift >= 0; shift -= 8) {
        decimal((ip >> shift) & 0xFF);
        *p++ = shift ? '.' : ':';
    }
    decimal(ntohs(address.sin_port));
    return std::string(text, static_cast<std::size_t>(p - text));
}

std::string ZServerHostText(const std::string& ip, int port) { return ip + ":" + std::to_string(port); }

std::string ZServerLocalHost(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) return std::string();
    return ZServerHostText(a);
}

namespace {

int openBound(int type, const sockaddr_in& address, std::string& error) {
    const int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (type == SOCK_STREAM) {
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int ZServerOpenUDP(const sockaddr_in& address, std::string& error, int receiveBuffer) {
    const int fd = openBound(SOCK_DGRAM, address, error);
    if (fd >= 0 && receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &receiveBuffer, sizeof(receiveBuffer));
    }
    return fd;
}

int ZServerOpenListener(const sockaddr_in& address, std::string& error) {
    const int fd = openBound(SOCK_STREAM, address, error);
    if (fd < 0) return -1;
    if (listen(fd, 512) != 0) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}
