#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZTestRelay.h"
#include "ZTestSupport.h"

using namespace transporttest;

namespace {

// The relay frame of the 5 bytes "hello" for 1.2.3.4:5, byte for byte.
const char kHelloFrame[] =
    "SENDUDP / HTTP/1.1\r\n"
    "Content-Length: 5\r\n"
    "Remote-Host: 1.2.3.4:5\r\n"
    "\r\n"
    "hello";

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

int portOf(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

// A plain socket on 127.0.0.1 at a port the system chose.
struct Plain {
    explicit Plain(int type) : fd(socket(AF_INET, type | SOCK_CLOEXEC, 0)) {
        const sockaddr_in a = loopback(0);
        bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
        if (type == SOCK_STREAM) listen(fd, 4);
    }
    ~Plain() { close(fd); }
    std::wstring host() const { return loopbackHost(portOf(fd)); }
    // One datagram, or "" when none comes within the time.
    std::string datagram(int timeoutMs = 5000) const {
        if (!readable(fd, timeoutMs)) return std::string();
        std::string buffer(65536, '\0');
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return buffer;
    }
    int fd;
};

std::string readExactly(int fd, std::size_t count) {
    std::string got;
    char buffer[4096];
    while (got.size() < count && readable(fd, 5000)) {
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof(buffer), count - got.size()), 0);
        if (n <= 0) break;
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

// A switchboard with a UDP port and, optionally, a relay socket whose far end the test holds.
struct Attached {
    Attached() { port.setUDPPort(udp); }
    ~Attached() {
        port.reset();
        if (relay) ZNetTCPSocketClose(relay);
        if (relayPeer >= 0) close(relayPeer);
        ZNetUDPPortClose(udp);
    }
    void attachRelay(const std::wstring& globalHost) {
        relay = ZNetTCPSocketOpen(listener.host());
        relayPeer = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC);
        port.setTCPSocket(relay, globalHost);
    }
    std::unique_ptr<ZMegaPort> portOwner{ZSAFENEW(ZMegaPort, L"me")};
    ZMegaPort& port = *portOwner;
    ZNetUDPPort* udp = ZNetUDPPortOpen(L"127.0.0.1:0");
    Plain listener{SOCK_STREAM};
    ZNetTCPSocket* relay = nullptr;
    int relayPeer = -1;
};

}  // namespace

TEST(ZMegaPortSend, WithoutAWayOutWarnsAndDrops) {
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    ZLogCapture log;
    port.send(L"", L"1.2.3.4:5", std::string("x"));
    EXPECT_EQ(log.count(L"(me) WARNING Cannot send from () to (1.2.3.4:5) because not connected, ignoring.\n"), 1);
}

TEST(ZMegaPortSend, TakesTheLocalHostOfItsPortAndSendsDirectlyFromItOrFromNoAddress) {
    Attached a;
    Plain peer(SOCK_DGRAM);
    const std::wstring local = ZNetUDPPortGetLocalHost(a.udp);
    EXPECT_EQ(a.port.getLocalHost(), local);
    ZLogCapture log;
    a.port.send(L"", peer.host(), std::string("first"));
    a.port.send(ZToLower(local), peer.host(), std::string("second"));
    EXPECT_EQ(peer.datagram(), "first");
    EXPECT_EQ(peer.datagram(), "second");
    EXPECT_TRUE(log.lines().empty());
}

TEST(ZMegaPortSend, FromAnAddressThatIsNotItsOwnWarnsWithTheCallStackAndStillSends) {
    Attached a;
    Plain peer(SOCK_DGRAM);
    ZLogCapture log;
    a.port.send(L"9.9.9.9:9", peer.host(), std::string("odd"));
    EXPECT_EQ(peer.datagram(), "odd");
    const std::wstring expected = L"(me) WARNING Possibly send from mismatch: from=(9.9.9.9:9), localHost=(" +
                                  a.port.getLocalHost() + L"), globalHost=(0.0.0.0:0)\n";
    EXPECT_EQ(log.count(expected), 1);
    EXPECT_GT(log.lines().size(), 1u);  // the call stack follows
}

TEST(ZMegaPortSend, ChoosesTheRelayForThePublicAddressOrNoAddressAndUDPForTheLocalOne) {
    Attached a;
    a.attachRelay(L"5.6.7.8:9000");
    ASSERT_GE(a.relayPeer, 0);
    Plain peer(SOCK_DGRAM);
    ZLogCapture log;

    a.port.send(L"", L"1.2.3.4:5", std::string("hello"));
    EXPECT_EQ(readExactly(a.relayPeer, sizeof(kHelloFrame) - 1), kHelloFrame);
    a.port.send(L"5.6.7.8:9000", L"1.2.3.4:5", "hello", 5);
    EXPECT_EQ(readExactly(a.relayPeer, sizeof(kHelloFrame) - 1), kHelloFrame);

    a.port.send(a.port.getLocalHost(), peer.host(), std::string("direct"));
    EXPECT_EQ(peer.datagram(), "direct");
    EXPECT_FALSE(readable(a.relayPeer, 0));
    EXPECT_EQ(a.port.getGlobalHost(), L"5.6.7.8:9000");
    EXPECT_EQ(a.port.getPendingRelayBytes(), 0);
    EXPECT_TRUE(log.lines().empty());
}

// Each relay frame is, byte for byte, the "SENDUDP" message that names the
// destination and carries the datagram, however the destination changes
// between frames and whatever the datagram holds.
TEST(ZMegaPortSend, RelayFramesAreTheSendUdpMessageByteForByte) {
    Attached a;
    a.attachRelay(L"5.6.7.8:9000");
    ASSERT_GE(a.relayPeer, 0);
    const struct {
        std::wstring to;
        std::string datagram;
    } frames[] = {
        {L"1.2.3.4:5", "hello"},
        {L"1.2.3.4:5", std::string(1052, 'd')},
        {L"198.51.100.9:5000", std::string("\0\r\n\r\n\\:", 8)},
        {L"198.51.100.9:5000", ""},
        // Text a peer could have sent us as an address, written through its escapes.
        {L"a\tb\\c\r\n:d \x00E9\x4E2D", "x"},
        {L"", "no address"},
        {L"1.2.3.4:5", std::string(65000, 'z')},
    };
    for (const auto& frame : frames) {
        ZHTTPHeaders message(L"SENDUDP");
        message.set(L"Remote-Host", frame.to);
        message.addContent(frame.datagram);
        const std::string expected = message.serialize();
        a.port.send(L"", frame.to, frame.datagram);
        // A frame larger than the socket takes at once is pushed by flush.
        std::string got;
        for (int round = 0; round < 500 && got.size() < expected.size(); ++round) {
            a.port.flush();
            got += readExactly(a.relayPeer, std::min<std::size_t>(expected.size() - got.size(), 4096));
        }
        EXPECT_EQ(got, expected) << frame.datagram.size();
    }
    EXPECT_FALSE(readable(a.relayPeer, 0));
    EXPECT_EQ(a.port.getPendingRelayBytes(), 0);
}

TEST(ZMegaPortSend, ResetDetachesEverythingAndForgetsHeldBackRelayBytes) {
    Attached a;
    a.attachRelay(L"5.6.7.8:9000");
    ASSERT_GE(a.relayPeer, 0);
    // The far end reads nothing, so the socket soon holds bytes back.
    const std::string payload(1400, 'p');
    for (int i = 0; i < 50000 && a.port.getPendingRelayBytes() == 0; ++i) a.port.send(L"", L"1.2.3.4:5", payload);
    ASSERT_GT(a.port.getPendingRelayBytes(), 0);
    a.port.reset();
    EXPECT_EQ(a.port.getPendingRelayBytes(), 0);
    ZLogCapture log;
    a.port.send(L"", L"1.2.3.4:5", payload);
    EXPECT_EQ(log.count(L"because not connected, ignoring."), 1);
}

TEST(ZMegaPortSend, ARelayConnectionThatFailedHoldsNothingBack) {
    Attached a;
    a.attachRelay(L"5.6.7.8:9000");
    ASSERT_GE(a.relayPeer, 0);
    // The far end goes away unread: the next sends fail and mark the socket dead.
    linger abort{1, 0};
    setsockopt(a.relayPeer, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
    close(a.relayPeer);
    a.relayPeer = -1;
    const std::string payload(1400, 'p');
    ZLogCapture log;
    for (int i = 0; i < 2000 && ZNetTCPSocketIsAlive(a.relay); ++i) a.port.send(L"", L"1.2.3.4:5", payload);
    ASSERT_FALSE(ZNetTCPSocketIsAlive(a.relay));
    a.port.send(L"", L"1.2.3.4:5", payload);
    EXPECT_EQ(a.port.getPendingRelayBytes(), 0);
    EXPECT_EQ(log.count(L"not keeping up"), 0);
}

TEST(ZMegaPortSend, ABatchHoldsItsThreadsDatagramsBackAndSendsThemInOrderAcrossDestinationsAndTheRelay) {
    Attached a;
    a.attachRelay(L"5.6.7.8:9000");
    ASSERT_GE(a.relayPeer, 0);
    Plain first(SOCK_DGRAM), second(SOCK_DGRAM);
    const std::wstring local = a.port.getLocalHost();
    ZLogCapture log;
    {
        ZMegaPortSendBatch batch(&a.port);
        // More than one system call's worth to one place, then another place,
        // then the relay.
        for (int i = 0; i < 40; ++i) a.port.send(local, first.host(), "d" + std::to_string(i));
        a.port.send(local, second.host(), std::string("other"));
        a.port.send(L"", L"1.2.3.4:5", std::string("hello"));
        // The last run waits for the batch's end.
        EXPECT_FALSE(readable(a.relayPeer, 0));
    }
    for (int i = 0; i < 40; ++i) EXPECT_EQ(first.datagram(), "d" + std::to_string(i));
    EXPECT_EQ(second.datagram(), "other");
    EXPECT_EQ(readExactly(a.relayPeer, sizeof(kHelloFrame) - 1), kHelloFrame);
    // Outside the batch a send leaves at once.
    a.port.send(local, first.host(), std::string("now"));
    EXPECT_EQ(first.datagram(), "now");
    EXPECT_TRUE(log.lines().empty());
}
