// The switchboard on a real relay connection: whole frames only, under load
// and when the relay stops reading.
#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "ZHTTPClient.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZTestRelay.h"
#include "ZTestSupport.h"

using namespace transporttest;

namespace {

constexpr int kDatagrams = 10000;
constexpr int kDatagramSize = 1400;

// Datagram number n: its number, then bytes that differ from every other
// datagram's (line ends and blank lines included).
std::string datagram(int n) {
    std::string bytes(kDatagramSize, '\0');
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(n >> (8 * i));
    for (int i = 4; i < kDatagramSize; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<char>(n * 31 + i * 7);
    return bytes;
}

// A relay connection opened the way the dispatch service opens it.
struct RelayConnection {
    explicit RelayConnection(const std::wstring& relayHost)
        : client(ZSAFENEW(ZHTTPClient, relayHost, ZHTTPHeaders(L"OPENTURN"))) {
        ZHTTPHeaders answer;
        waitUntil([&] {
            client->update(10000);
            return client->recv(answer) || !client->isAlive();
        });
        if (answer.succeeded()) globalHost = answer.get(L"Global-Host");
    }
    ~RelayConnection() { delete client; }
    ZHTTPClient* client;
    std::wstring globalHost;
};

}  // namespace

TEST(ZMegaPortRelay, TenThousandDatagramsSentBackToBackComeBackWholeAndInOrder) {
    ZTestRelay relay;
    ZTestUDPEcho echo;
    ZLogCapture log;
    RelayConnection turn(relay.host());
    ASSERT_TRUE(ZValidHost(turn.globalHost));
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    port.setTCPSocket(turn.client->getTCPSocket(), turn.globalHost);

    // The dispatch loop's part: read the relay, check each frame, flush the switchboard.
    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    std::atomic<int> faults{0};
    std::wstring firstFault;
    std::thread dispatch([&] {
        ZHTTPHeaders frame;
        while (!stop && received < kDatagrams && turn.client->isAlive()) {
            turn.client->update(10000);
            while (turn.client->recv(frame)) {
                const int n = received;
                const bool whole = frame.getResponse() == 200 && frame.get(L"Remote-Host") == echo.host() &&
                                   frame.getContentCount() == 1 && frame.getContent(0) == datagram(n);
                if (!whole && faults++ == 0)
                    firstFault = L"frame " + ZToString(n) + L": " + ZFromUTF8(frame.getDebugText());
                ++received;
            }
            port.flush();
        }
    });

    for (int n = 0; n < kDatagrams; ++n) {
        // A sender that paces itself by the bytes held back, as a congestion-controlled service does.
        ASSERT_TRUE(waitUntil([&] { return port.getPendingRelayBytes() < ZMEGAPORT_RELAY_PENDING_LIMIT / 2; }));
        port.send(L"", echo.host(), datagram(n));
    }
    EXPECT_TRUE(waitUntil([&] { return received == kDatagrams || !turn.client->isAlive(); }, 120000000));
    stop = true;
    dispatch.join();

    EXPECT_EQ(received, kDatagrams);
    EXPECT_EQ(faults, 0) << ZToUTF8(firstFault);
    EXPECT_EQ(relay.framingErrors(), 0);
    EXPECT_EQ(relay.relayedCount(), kDatagrams);
    EXPECT_TRUE(turn.client->isAlive());
    EXPECT_EQ(log.count(L"WARNING"), 0);
    port.reset();
}

TEST(ZMegaPortRelay, ARelayThatStopsReadingGetsWholeFramesAndTheSwitchboardDropsWholeDatagramsAtItsLimit) {
    ZTestRelay relay;
    ZTestUDPEcho sink;
    RelayConnection turn(relay.host());
    ASSERT_TRUE(ZValidHost(turn.globalHost));
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    port.setTCPSocket(turn.client->getTCPSocket(), turn.globalHost);
    relay.pause();

    ZLogCapture log;
    int peak = 0;
    for (int n = 0; n < kDatagrams; ++n) {
        port.send(L"", sink.host(), datagram(n));
        peak = std::max(peak, port.getPendingRelayBytes());
    }
    EXPECT_LE(peak, ZMEGAPORT_RELAY_PENDING_LIMIT);
    EXPECT_GT(peak, ZMEGAPORT_RELAY_PENDING_LIMIT - 2 * kDatagramSize);

    relay.resume();
    ASSERT_TRUE(waitUntil([&] {
        port.flush();
        return port.getPendingRelayBytes() == 0;
    }));
    // The next datagram fits again and reports how many were lost.
    port.send(L"", sink.host(), datagram(kDatagrams));
    int dropped = 0;
    for (const std::wstring& line : log.lines()) {
        const std::size_t at = line.find(L"(me) WARNING Dropped ");
        if (at != std::wstring::npos) dropped += static_cast<int>(ZToInt64(line.substr(at + 21)));
    }
    const int episodes = log.count(L" datagrams while the relay connection was not keeping up.\n");
    EXPECT_GE(episodes, 1);
    EXPECT_EQ(log.count(L"(me) WARNING Relay connection is not keeping up ("), episodes);
    const int accepted = kDatagrams + 1 - dropped;
    ASSERT_GT(dropped, 0);
    ASSERT_TRUE(waitUntil([&] {
        port.flush();
        return relay.relayedCount() >= accepted;
    }));
    EXPECT_EQ(relay.relayedCount(), accepted);

    // Every frame arrived whole; the datagrams that did not fit are missing, nothing else.
    const std::vector<std::string> got = relay.relayed();
    int last = -1;
    for (const std::string& bytes : got) {
        ASSERT_EQ(bytes.size(), static_cast<std::size_t>(kDatagramSize));
        const int n = static_cast<unsigned char>(bytes[0]) | static_cast<unsigned char>(bytes[1]) << 8;
        ASSERT_GT(n, last);
        ASSERT_EQ(bytes, datagram(n));
        last = n;
    }
    EXPECT_EQ(last, kDatagrams);
    EXPECT_EQ(relay.framingErrors(), 0);
    port.reset();
}
