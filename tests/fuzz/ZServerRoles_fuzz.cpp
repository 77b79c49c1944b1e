// libFuzzer target of the service as clients reach it: the whole service
// runs in this process on loopback, over a real SQLite store in a temporary
// folder, and the input's records go to its UDP roles (STUN hosts 1-4, the
// two signalling servers) as datagrams and to its TCP hosts (authentication,
// the relay, the log host, the upgrade host) as the bytes of a connection.
// Nothing may stop the service; after every input it still answers a PING.
//
// Input: records of one role byte (modulo 10: STUN 1-4, signalling 1-2,
// authentication, relay, log host, upgrade host), two length bytes
// (little-endian) and the bytes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>

#include "ZFuzz.h"
#include "ZHTTPHeaders.h"
#include "ZServerService.h"

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

struct Service {
    ZServerConfig config;
    ZServerService* service = nullptr;
    int base = 0;

    Service() {
        char folder[] = "/tmp/zan-service-fuzz-XXXXXX";
        if (!mkdtemp(folder)) abort();
        config.data = folder;
        static std::string made;
        made = folder;
        std::atexit([] { std::filesystem::remove_all(made); });
        config.pbkdf2Iterations = 1000;
        config.workers = 1;
        config.floodLimit = 1 << 30;
        // The datagram roles are fuzzed; the TCP hosts may speak in clear.
        config.insecurePlainHttp = true;
        std::string error;
        for (int attempt = 0; attempt < 50 && !service; ++attempt) {
            base = 30000 + static_cast<int>(getpid() * 7 + attempt * 211) % 25000;
            config.portBase = base;
            config.relayPortLow = base + 100;
            config.relayPortCount = 50;
            ZServerConfig resolved = config;
            if (!ZServerResolveLayout(resolved, error)) continue;
            service = new ZServerService(resolved);
            if (!service->start(error)) {
                delete service;
                service = nullptr;
            }
        }
        if (!service) abort();
        std::thread([this] { service->run(); }).detach();
    }
};

// The service still answers: a PING to the first signalling server.
bool answersPING(int fd, int base) {
    ZHTTPHeaders ping(L"PING");
    ping.set(L"CSeq", L"4242");
    const std::string bytes = ping.serialize();
    const sockaddr_in to = loopback(base + 5);
    for (int attempt = 0; attempt < 3; ++attempt) {
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        while (readable(fd, 2000)) {
            char answer[2048];
            const ssize_t n = recv(fd, answer, sizeof(answer), 0);
            if (n > 0 && std::string(answer, static_cast<std::size_t>(n)).find("4242") != std::string::npos) return true;
        }
    }
    return false;
}

void sendTCP(int port, const std::string& bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) == 0) {
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        shutdown(fd, SHUT_WR);
        char sink[4096];
        while (readable(fd, 50) && recv(fd, sink, sizeof(sink), 0) > 0) {
        }
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Service service;
    static const int udp = [] {
        const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const sockaddr_in any = loopback(0);
        bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof(any));
        return fd;
    }();
    // The TCP hosts' ports by their offset from the base.
    static const int tcpOffsets[4] = {0, 7, 8, 9};
    std::size_t at = 0;
    while (size - at >= 3) {
        const int role = data[at] % 10;
        const std::size_t length = std::min<std::size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
        const std::string bytes(reinterpret_cast<const char*>(data + at + 3), length);
        at += 3 + length;
        if (role < 6) {
            const sockaddr_in to = loopback(service.base + 1 + role);
            sendto(udp, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        } else {
            sendTCP(service.base + tcpOffsets[role - 6], bytes);
        }
    }
    if (!answersPING(udp, service.base)) __builtin_trap();
    return 0;
}
