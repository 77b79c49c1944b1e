// The switchboard on a real relay connection: whole frames only, under load
// and when the relay stops reading.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ZHTTPClient.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZTestRelay.h"
#include "ZTestServer.h"
#include "ZTestSupport.h"
#include "ZTestTLS.h"

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

// The session key of a new account, as the sign-in hands it to the client.
std::wstring sessionKey(const ZTestServer& server) {
    ZHTTPHeaders auth(L"AUTHENTICATE");
    auth.set(L"From", L"relayer");
    auth.set(L"Password", L"pw");
    auth.set(L"Email", L"relayer@example.org");
    auth.set(L"Version", L"764");
    ZHTTPClientSecurity security;
    security.tls = true;
    security.caFile = ZFromUTF8(zantest::testCertificate().ca);
    std::unique_ptr<ZHTTPClient> client(ZSAFENEW(ZHTTPClient, server.host(0), auth, security));
    ZHTTPHeaders answer;
    waitUntil([&] {
        client->update(10000);
        return client->recv(answer) || !client->isAlive();
    });
    return answer.get(L"Session-Key");
}

ZHTTPHeaders openRequest(const std::wstring& key) {
    ZHTTPHeaders open(L"OPENTURN");
    if (!key.empty()) open.set(L"Session-Key", key);
    return open;
}

// A relay connection opened the way the dispatch service opens it (the
// service's relay wants the key of a signed-in user).
struct RelayConnection {
    explicit RelayConnection(const std::wstring& relayHost, const std::wstring& key = std::wstring())
        : client(ZSAFENEW(ZHTTPClient, relayHost, openRequest(key))) {
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

// What came back through the relay.
struct Returned {
    int received = 0;
    // Frames of the datagrams proper, markers not counted.
    int datagrams = 0;
    int faults = 0;
    int last = -1;
    std::wstring firstFault;
    bool alive = false;
};

// Sends the datagrams back to back through the relay to an echo while a
// second thread plays the dispatch loop and checks each frame that comes
// back: a 200 from the echo's address holding one datagram, whole, later
// than the one before. With a window the sender keeps at most that many
// datagrams on their way; then it waits for all of them, else for one
// marker sent after the last, which shows the stream is still in step.
// beforeSend runs before each datagram and answers whether the sender paces itself there.
Returned sendThroughRelayAndBack(const std::wstring& relayHost, const std::wstring& key, int window,
                                 const std::function<bool(int)>& beforeSend = [](int) { return true; }) {
    Returned r;
    ZTestUDPEcho echo;
    RelayConnection turn(relayHost, key);
    EXPECT_TRUE(ZValidHost(turn.globalHost));
    if (!ZValidHost(turn.globalHost)) return r;
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    port.setTCPSocket(turn.client->getTCPSocket(), turn.globalHost);

    std::atomic<bool> stop{false};
    std::atomic<int> received{0};
    std::atomic<int> datagrams{0};
    std::atomic<int> last{-1};
    std::thread dispatch([&] {
        ZHTTPHeaders frame;
        while (!stop && turn.client->isAlive()) {
            turn.client->update(10000);
            while (turn.client->recv(frame)) {
                const std::string bytes = frame.getContentCount() == 1 ? frame.getContent(0) : std::string();
                int n = -1;
                if (bytes.size() == static_cast<std::size_t>(kDatagramSize))
                    n = static_cast<unsigned char>(bytes[0]) | static_cast<unsigned char>(bytes[1]) << 8;
                const bool whole = frame.getResponse() == 200 && frame.get(L"Remote-Host") == echo.host() &&
                                   n > last && bytes == datagram(n);
                if (!whole && r.faults++ == 0)
                    r.firstFault = L"frame " + ZToString(static_cast<int>(received)) + L": " +
                                   ZFromUTF8(frame.getDebugText());
                if (whole) last = n;
                if (whole && n < kDatagrams) ++datagrams;
                ++received;
            }
            port.flush();
        }
    });

    for (int n = 0; n < kDatagrams; ++n) {
        // Paced by the bytes held back, as a congestion-controlled service is, and by the window.
        if (!beforeSend(n)) {
            port.send(L"", echo.host(), datagram(n));
            continue;
        }
        const bool paced = waitUntil([&] {
            return port.getPendingRelayBytes() < ZMEGAPORT_RELAY_PENDING_LIMIT / 2 &&
                   (window == 0 || n - datagrams < window);
        });
        EXPECT_TRUE(paced) << n;
        if (!paced) break;
        port.send(L"", echo.host(), datagram(n));
    }
    if (window > 0) {
        EXPECT_TRUE(waitUntil([&] { return datagrams >= kDatagrams || !turn.client->isAlive(); }, 60000000));
    } else {
        // A datagram may be lost on its way, as UDP allows; markers go until one is back.
        int marker = kDatagrams;
        EXPECT_TRUE(waitUntil([&] {
            if (last >= kDatagrams || !turn.client->isAlive()) return true;
            port.send(L"", echo.host(), datagram(marker++));
            return waitUntil([&] { return last >= kDatagrams; }, 100000);
        }, 60000000));
    }
    stop = true;
    dispatch.join();
    r.received = received;
    r.datagrams = datagrams;
    r.last = last;
    r.alive = turn.client->isAlive();
    port.reset();
    return r;
}

}  // namespace

TEST(ZMegaPortRelay, TenThousandDatagramsSentThroughTheServiceRelayComeBackWholeInOrderFromTheEcho) {
    if (!ZTestServer::available()) GTEST_SKIP() << "this build has no zandrel-server";
    ZTempDir folder;
    ZTestServer server(folder.path());
    ASSERT_TRUE(server.start()) << server.log();
    ZLogCapture log;
    const Returned r = sendThroughRelayAndBack(server.host(7), sessionKey(server), 64);
    EXPECT_EQ(r.received, kDatagrams);
    EXPECT_EQ(r.datagrams, kDatagrams);
    EXPECT_EQ(r.faults, 0) << ZToUTF8(r.firstFault);
    EXPECT_EQ(r.last, kDatagrams - 1);
    EXPECT_TRUE(r.alive);
    EXPECT_EQ(log.count(L"WARNING"), 0);
    EXPECT_EQ(server.stop(), 0);
    // The relay refuses, with a warning, a connection whose stream is not whole frames.
    EXPECT_EQ(server.log().find("refused"), std::string::npos) << server.log();
}

TEST(ZMegaPortRelay, AFullSpeedBurstThroughTheServiceRelayKeepsTheStreamWhole) {
    if (!ZTestServer::available()) GTEST_SKIP() << "this build has no zandrel-server";
    ZTempDir folder;
    ZTestServer server(folder.path());
    ASSERT_TRUE(server.start()) << server.log();
    ZLogCapture log;
    const Returned r = sendThroughRelayAndBack(server.host(7), sessionKey(server), 0);
    EXPECT_EQ(r.faults, 0) << ZToUTF8(r.firstFault);
    EXPECT_GE(r.last, kDatagrams);
    EXPECT_GT(r.received, 0);
    EXPECT_TRUE(r.alive);
    EXPECT_EQ(log.count(L"WARNING"), 0);
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(server.log().find("refused"), std::string::npos) << server.log();
}

TEST(ZMegaPortRelay, AServiceRelayThatStallsMidBurstGetsWholeFramesAndTheDatagramsThatDidNotFitAreDroppedWhole) {
    if (!ZTestServer::available()) GTEST_SKIP() << "this build has no zandrel-server";
    ZTempDir folder;
    ZTestServer server(folder.path());
    ASSERT_TRUE(server.start()) << server.log();
    ZLogCapture log;
    // The service reads nothing for most of the burst (10 MB, more than the
    // connection's buffers hold): the socket takes frames in part, then the
    // switchboard's limit is reached.
    constexpr int kThaw = kDatagrams * 7 / 10;
    const Returned r = sendThroughRelayAndBack(server.host(7), sessionKey(server), 0, [&](int n) {
        if (n == 0) server.freeze();
        if (n == kThaw) server.thaw();
        return n >= kThaw;
    });
    EXPECT_EQ(r.faults, 0) << ZToUTF8(r.firstFault);
    EXPECT_GE(r.last, kDatagrams);
    EXPECT_TRUE(r.alive);
    EXPECT_GE(log.count(L"(me) WARNING Relay connection is not keeping up ("), 1);
    EXPECT_EQ(log.count(L"(me) WARNING Relay connection is not keeping up ("),
              log.count(L" datagrams while the relay connection was not keeping up.\n"));
    EXPECT_EQ(server.stop(), 0);
    EXPECT_EQ(server.log().find("refused"), std::string::npos) << server.log();
}

TEST(ZMegaPortRelay, TenThousandDatagramsSentBackToBackThroughAStandInRelayComeBackWholeAndInOrder) {
    ZTestRelay relay;
    ZLogCapture log;
    const Returned r = sendThroughRelayAndBack(relay.host(), std::wstring(), 0);
    // The stand-in and the echo lose nothing.
    EXPECT_EQ(r.datagrams, kDatagrams);
    EXPECT_EQ(r.faults, 0) << ZToUTF8(r.firstFault);
    EXPECT_GE(r.last, kDatagrams);
    EXPECT_TRUE(r.alive);
    EXPECT_EQ(log.count(L"WARNING"), 0);
    EXPECT_EQ(relay.framingErrors(), 0);
    EXPECT_GT(relay.relayedCount(), kDatagrams);
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
    // Thousands of frames may wait in the socket buffers; on a loaded machine
    // with sanitizers they take longer than the usual patience to drain.
    constexpr std::int64_t kDrainPatienceUs = 60000000;
    ASSERT_TRUE(waitUntil(
        [&] {
            port.flush();
            return port.getPendingRelayBytes() == 0;
        },
        kDrainPatienceUs));
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
    ASSERT_TRUE(waitUntil(
        [&] {
            port.flush();
            return relay.relayedCount() >= accepted;
        },
        kDrainPatienceUs))
        << relay.relayedCount() << " of " << accepted << " relayed";
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

TEST(ZMegaPortRelay, SendersOnManyThreadsShareTheRelayWithoutMixingTheirFrames) {
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    ZTestRelay relay;
    ZTestUDPEcho sink;
    RelayConnection turn(relay.host());
    ASSERT_TRUE(ZValidHost(turn.globalHost));
    std::unique_ptr<ZMegaPort> portOwner(ZSAFENEW(ZMegaPort, L"me"));
    ZMegaPort& port = *portOwner;
    port.setTCPSocket(turn.client->getTCPSocket(), turn.globalHost);
    ZLogCapture log;

    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int n = 0; n < kEach; ++n) {
                const bool paced = waitUntil([&] {
                    port.flush();
                    return port.getPendingRelayBytes() < ZMEGAPORT_RELAY_PENDING_LIMIT / 2;
                });
                EXPECT_TRUE(paced);
                std::string bytes = datagram(n);
                bytes[2] = static_cast<char>(t);  // the sender, beside the number
                port.send(L"", sink.host(), bytes);
            }
        });
    }
    for (std::thread& s : senders) s.join();
    ASSERT_TRUE(waitUntil([&] {
        port.flush();
        return relay.relayedCount() >= kThreads * kEach;
    }));

    // Each sender's datagrams arrive whole and in its order, however they interleave.
    std::vector<int> next(kThreads, 0);
    for (const std::string& bytes : relay.relayed()) {
        ASSERT_EQ(bytes.size(), static_cast<std::size_t>(kDatagramSize));
        const int t = bytes[2];
        ASSERT_TRUE(t >= 0 && t < kThreads);
        const int n = static_cast<unsigned char>(bytes[0]) | static_cast<unsigned char>(bytes[1]) << 8;
        ASSERT_EQ(n, next[static_cast<std::size_t>(t)]) << "sender " << t;
        std::string expected = datagram(n);
        expected[2] = static_cast<char>(t);
        ASSERT_EQ(bytes, expected);
        ++next[static_cast<std::size_t>(t)];
    }
    EXPECT_EQ(relay.framingErrors(), 0);
    EXPECT_EQ(log.count(L"WARNING"), 0);
    port.reset();
}
