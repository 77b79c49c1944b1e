// Switchboard costs on the media path: filing and taking one RTP packet, and
// sending one 1,400-byte datagram as a relay frame to a reader on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "ZMegaPort.h"
#include "ZPortable.h"

static void BM_FileAndTakeRTPPacket(benchmark::State& state) {
    std::unique_ptr<ZMegaPort> port(ZSAFENEW(ZMegaPort, L"bench"));
    std::string packet(1200, 'v');
    packet[0] = static_cast<char>(0x80);
    packet[1] = static_cast<char>(ZRTP_VIDEO);
    for (auto _ : state) {
        ZMegaPortBucket* bucket = port->getEmtpyBucket();
        bucket->buffer = packet;
        port->fillRTPBucket(bucket);
        ZMegaPortBucket* taken = port->getRTPBucket(ZRTP_VIDEO);
        port->returnEmptyBucket(taken);
    }
}
BENCHMARK(BM_FileAndTakeRTPPacket);

static void BM_SendDatagramThroughRelay(benchmark::State& state) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
    listen(listener, 1);
    socklen_t size = sizeof(a);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size);
    const std::wstring host = ZFromUTF8("127.0.0.1:" + std::to_string(ntohs(a.sin_port)));

    ZNetTCPSocket* sock = ZNetTCPSocketOpen(host);
    const int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    std::atomic<bool> stop{false};
    // The relay's part: read everything, as fast as it comes.
    std::thread reader([&] {
        std::string buffer(1 << 16, '\0');
        while (!stop) {
            pollfd p{peer, POLLIN, 0};
            if (poll(&p, 1, 100) == 1 && ::recv(peer, buffer.data(), buffer.size(), 0) <= 0) break;
        }
    });
    std::unique_ptr<ZMegaPort> port(ZSAFENEW(ZMegaPort, L"bench"));
    port->setTCPSocket(sock, L"203.0.113.7:40000");
    const std::string datagram(1400, 'd');
    for (auto _ : state) {
        // Paced like a congestion-controlled sender, so nothing is dropped.
        while (port->getPendingRelayBytes() > ZMEGAPORT_RELAY_PENDING_LIMIT / 2) port->flush();
        port->send(L"", L"198.51.100.9:5000", datagram);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1400);
    port->reset();
    stop = true;
    reader.join();
    ZNetTCPSocketClose(sock);
    close(peer);
    close(listener);
}
BENCHMARK(BM_SendDatagramThroughRelay);

BENCHMARK_MAIN();
