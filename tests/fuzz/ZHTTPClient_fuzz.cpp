// libFuzzer target of the request client's stream buffering: whatever a
// server sends, cut into whatever pieces, comes out as whole messages in
// order or leaves the connection cut; nothing is read past what arrived.
//
// Input: the first byte picks the piece size (1 to 256 bytes); the rest is
// what the server sends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ZFuzz.h"
#include "ZHTTPClient.h"
#include "ZPortable.h"

namespace {

struct Listener {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    std::wstring host;
    Listener() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof(a);
        if (bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, 16) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0)
            abort();
        host = L"127.0.0.1:" + ZToString(static_cast<int>(ntohs(a.sin_port)));
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Listener listener;
    if (size < 1) return 0;
    const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
    const std::string stream(reinterpret_cast<const char*>(data + 1), size - 1);

    ZHTTPClient* client = ZSAFENEW(ZHTTPClient, listener.host, ZHTTPHeaders(L"OPENTURN"));
    pollfd p{listener.fd, POLLIN, 0};
    client->update(0);
    if (poll(&p, 1, 2000) != 1) __builtin_trap();
    const int server = accept(listener.fd, nullptr, nullptr);
    std::size_t received = 0;
    for (std::size_t at = 0; at < stream.size() || at == 0; at += piece) {
        const std::string part = stream.substr(at, piece);
        if (!part.empty() && send(server, part.data(), part.size(), MSG_NOSIGNAL) < 0) break;
        for (int pass = 0; pass < 3; ++pass) client->update(1000);
        ZHTTPHeaders message;
        while (client->recv(message)) {
            received += message.serialize().size();
            message.clear();
        }
        if (client->getBytesRecv() < 0 || client->getBytesRecv() > ZHTTPCLIENT_RECV_LIMIT) __builtin_trap();
        if (!client->isAlive() || stream.empty()) break;
    }
    close(server);
    for (int pass = 0; pass < 3; ++pass) client->update(1000);
    ZHTTPHeaders message;
    while (client->recv(message)) message.clear();
    delete client;
    (void)received;
    return 0;
}
