// Switchboard costs on the media path: filing and taking one RTP packet, and
// sending 1,052- and 1,400-byte datagrams as relay frames to a reader on
// loopback, against send() of the same frames on a plain socket.
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

namespace {

// A loopback TCP connection whose far end a thread reads as fast as the
// bytes come, as the relay does.
struct RelayLink {
    RelayLink() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(listener, 1);
        socklen_t size = sizeof(a);
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size);
        host = ZFromUTF8("127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
    }
    void accept() {
        peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        reader = std::thread([this] {
            std::string buffer(1 << 16, '\0');
            while (!stop) {
                pollfd p{peer, POLLIN, 0};
                if (poll(&p, 1, 100) == 1 && ::recv(peer, buffer.data(), buffer.size(), 0) <= 0) break;
            }
        });
    }
    ~RelayLink() {
        stop = true;
        if (reader.joinable()) reader.join();
        close(peer);
        close(listener);
    }
    int listener = -1;
    int peer = -1;
    std::wstring host;
    std::atomic<bool> stop{false};
    std::thread reader;
};

// The bytes of one relay frame of `datagram` to 198.51.100.9:5000.
std::string relayFrame(const std::string& datagram) {
    return "SENDUDP / HTTP/1.1\r\nContent-Length: " + std::to_string(datagram.size()) +
           "\r\nRemote-Host: 198.51.100.9:5000\r\n\r\n" + datagram;
}

void sendThroughRelay(benchmark::State& state, std::size_t size) {
    RelayLink link;
    ZNetTCPSocket* sock = ZNetTCPSocketOpen(link.host);
    link.accept();
    std::unique_ptr<ZMegaPort> port(ZSAFENEW(ZMegaPort, L"bench"));
    port->setTCPSocket(sock, L"203.0.113.7:40000");
    const std::string datagram(size, 'd');
    const std::wstring from;
    const std::wstring to = L"198.51.100.9:5000";
    for (auto _ : state) {
        // Paced like a congestion-controlled sender, so nothing is dropped.
        while (port->getPendingRelayBytes() > ZMEGAPORT_RELAY_PENDING_LIMIT / 2) port->flush();
        port->send(from, to, datagram);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    port->reset();
    ZNetTCPSocketClose(sock);
}

// The reference: the same frames written with send() on a plain socket of
// the same kind (non-blocking), the rest of a frame the socket did not take
// written as soon as it does.
void rawSendOfFrames(benchmark::State& state, std::size_t size) {
    RelayLink link;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    sockaddr_in a{};
    socklen_t length = sizeof(a);
    getsockname(link.listener, reinterpret_cast<sockaddr*>(&a), &length);
    connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    link.accept();
    const std::string frame = relayFrame(std::string(size, 'd'));
    for (auto _ : state) {
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n > 0) done += static_cast<std::size_t>(n);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    close(fd);
}

}  // namespace

static void BM_RawSendOfRelayFrames(benchmark::State& state) { rawSendOfFrames(state, 1052); }
BENCHMARK(BM_RawSendOfRelayFrames);

static void BM_SendDatagramThroughRelay(benchmark::State& state) { sendThroughRelay(state, 1052); }
BENCHMARK(BM_SendDatagramThroughRelay);

static void BM_RawSendOfRelayFrames1400(benchmark::State& state) { rawSendOfFrames(state, 1400); }
BENCHMARK(BM_RawSendOfRelayFrames1400);

static void BM_SendDatagramThroughRelay1400(benchmark::State& state) { sendThroughRelay(state, 1400); }
BENCHMARK(BM_SendDatagramThroughRelay1400);

BENCHMARK_MAIN();
