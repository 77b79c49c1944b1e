#include <set>
#include <string>
#include <vector>

#include "NetTestPeers.h"
#include "ZNonPortable.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

using namespace nettest;

namespace {

int portOf(const std::wstring& host) { return std::stoi(ZToUTF8(host.substr(host.find(L':') + 1))); }

}  // namespace

TEST(ZNetUDPPort, OpensOnLoopbackWithASystemChosenPortAndLogsOpenAndClose) {
    LogCategory n("N");
    ZLogCapture log;
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    const std::wstring local = ZNetUDPPortGetLocalHost(port);
    EXPECT_EQ(local.rfind(L"127.0.0.1:", 0), 0u) << ZToUTF8(local);
    EXPECT_NE(portOf(local), 0);
    EXPECT_TRUE(ZNetUDPPortIsAlive(port));
    EXPECT_EQ(ZNetUDPPortGetMTU(port), 1472);
    ZNetUDPPortClose(port);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(L"): [ZNetUDPPortOpen] Opening port to host '127.0.0.1:0'\n"), std::wstring::npos)
        << ZToUTF8(lines[0]);
    EXPECT_NE(lines[1].find(L"): [ZNetUDPPortClose] Closing port bound to '" + local + L"'\n"), std::wstring::npos)
        << ZToUTF8(lines[1]);
}

TEST(ZNetUDPPort, RefusesHostTextsThatNameNoSingleAddress) {
    for (const wchar_t* host : {L"0.0.0.0:0", L"", L"127.0.0.1:70000"}) {
        ZLogCapture log;
        EXPECT_EQ(ZNetUDPPortOpen(host), nullptr) << ZToUTF8(host);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.contains(L"WARNING Could not resolve host '" + std::wstring(host) + L"', ignoring.("));
    }
}

TEST(ZNetUDPPort, ABindConflictLogsTheSystemTextAndOpensNothing) {
    RawUDP holder;  // bound without SO_REUSEADDR, so nobody may share it
    ZLogCapture log;
    EXPECT_EQ(ZNetUDPPortOpen(holder.host()), nullptr);
    EXPECT_EQ(log.count(L"WARNING Could not bind port " + holder.host() + L", closing.(Address already in use)\n"), 1);
}

TEST(ZNetUDPPort, SendsAnOversizedButLegalDatagramAfterTheMTUWarningAndItArrivesWhole) {
    ZNetUDPPort* a = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetUDPPort* b = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_TRUE(a && b);
    std::string payload(1500, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    {
        ZLogCapture log;
        ZNetUDPPortSend(a, ZNetUDPPortGetLocalHost(b), payload.data(), static_cast<int>(payload.size()));
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.contains(L"WARNING Packet size (1500) exceeds recommended MTU (1472)\n"));
    }
    std::string data = "stale";
    std::wstring from = L"stale";
    ASSERT_TRUE(receiveWithin(b, data, from));
    EXPECT_EQ(data, payload);
    EXPECT_EQ(from, ZNetUDPPortGetLocalHost(a));
    ZNetUDPPortClose(a);
    ZNetUDPPortClose(b);
}

TEST(ZNetUDPPort, DropsADatagramLongerThanItsBufferWithOneWarningAndStaysAlive) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    const int p = portOf(ZNetUDPPortGetLocalHost(port));
    RawUDP peer;
    ASSERT_TRUE(peer.sendTo(p, std::string(6000, 'x')));
    ASSERT_TRUE(peer.sendTo(p, "next"));

    ZLogCapture log;
    std::string data;
    std::wstring from;
    ASSERT_TRUE(receiveWithin(port, data, from));
    EXPECT_EQ(data, "next");
    EXPECT_EQ(from, peer.host());
    EXPECT_TRUE(ZNetUDPPortIsAlive(port));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains(L"WARNING Error when receiving via port '" + ZNetUDPPortGetLocalHost(port) +
                             L", ignoring.(Message too long)\n"));
    ZNetUDPPortClose(port);
}

TEST(ZNetUDPPort, TakesTheLargestDatagramThatFitsItsBuffer) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    RawUDP peer;
    const std::string full(5888, 'f');
    ASSERT_TRUE(peer.sendTo(portOf(ZNetUDPPortGetLocalHost(port)), full));
    std::string data;
    std::wstring from;
    ASSERT_TRUE(receiveWithin(port, data, from));
    EXPECT_EQ(data, full);
    ZNetUDPPortClose(port);
}

TEST(ZNetUDPPort, ANothingToReadReceiveReturnsFalseQuietlyAndClearsBothOutputs) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    ZLogCapture log;
    std::string data = "old";
    std::wstring from = L"old";
    EXPECT_FALSE(ZNetUDPPortRecv(port, data, from));
    EXPECT_TRUE(data.empty());
    EXPECT_TRUE(from.empty());
    EXPECT_TRUE(ZNetUDPPortIsAlive(port));
    EXPECT_TRUE(log.lines().empty());
    ZNetUDPPortClose(port);
}

TEST(ZNetUDPPort, SendingToATextWithoutPortLogsTwoWarningsAndSendsNothing) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    ZLogCapture log;
    ZNetUDPPortSend(port, L"127.0.0.1", "x", 1);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(L"WARNING: Assertion failed. (hostIP && hostPort)"), std::wstring::npos);
    EXPECT_NE(lines[1].find(L"WARNING Could not resolve host '127.0.0.1', ignoring.\n"), std::wstring::npos);
    EXPECT_TRUE(ZNetUDPPortIsAlive(port));
    ZNetUDPPortClose(port);
}

TEST(ZNetUDPPort, AnEmptySendWarnsButGoesOutAndAnEmptyDatagramIsNoDatagram) {
    ZNetUDPPort* a = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetUDPPort* b = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_TRUE(a && b);
    ZLogCapture log;
    ZNetUDPPortSend(a, ZNetUDPPortGetLocalHost(b), "", 0);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (length > 0)"), 1);
    ASSERT_TRUE(ZNetWait({b}, {}, {}, kPatienceUs));
    std::string data;
    std::wstring from;
    EXPECT_FALSE(ZNetUDPPortRecv(b, data, from));
    EXPECT_TRUE(ZNetUDPPortIsAlive(b));
    EXPECT_EQ(log.lines().size(), 1u);
    ZNetUDPPortClose(a);
    ZNetUDPPortClose(b);
}

TEST(ZNetUDPPort, SendingToAClosedLoopbackPortKeepsThePortAlive) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    int closed = 0;
    {
        RawUDP gone;
        closed = gone.port();
    }
    ZLogCapture log;
    for (int i = 0; i < 3; ++i) {
        ZNetUDPPortSend(port, hostText(closed), "ping", 4);
        std::string data;
        std::wstring from;
        ZNetWait({port}, {}, {}, 0);
        EXPECT_FALSE(ZNetUDPPortRecv(port, data, from));
    }
    EXPECT_TRUE(ZNetUDPPortIsAlive(port));
    EXPECT_TRUE(log.lines().empty());
    ZNetUDPPortClose(port);
}

TEST(ZNetUDPPort, ADestinationTheSystemRefusesCostsOneDatagramNotThePort) {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    RawUDP peer;
    ASSERT_NE(port, nullptr);
    for (const wchar_t* refused : {L"255.255.255.255:9", L"10.255.255.1:9"}) {
        ZLogCapture log;
        ZNetUDPPortSend(port, refused, "ping", 4);
        EXPECT_TRUE(ZNetUDPPortIsAlive(port)) << ZToUTF8(refused);
        EXPECT_EQ(log.count(L"WARNING Error when sending via port '" + ZNetUDPPortGetLocalHost(port) + L" to '" +
                            refused + L"', ignoring.("),
                  1)
            << ZToUTF8(refused);
    }
    ZNetUDPPortSend(port, peer.host(), "pong", 4);
    EXPECT_EQ(peer.receive(), "pong");
    ZNetUDPPortClose(port);
}

TEST(ZNetUDPPort, HandleChecksStopTheProgram) {
    ZLogCapture log;
    EXPECT_ZABORT(ZNetUDPPortSend(nullptr, L"127.0.0.1:9", "x", 1));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (p && buffer)"));
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_NE(port, nullptr);
    EXPECT_ZABORT(ZNetUDPPortSend(port, L"127.0.0.1:9", nullptr, 1));
    EXPECT_ZABORT(ZNetUDPPortIsAlive(nullptr));
    EXPECT_ZABORT(ZNetUDPPortClose(nullptr));
    ZNetUDPPortClose(port);
}

TEST(ZNetUDPPort, PortsTheSystemChoosesAreNeverShared) {
    // With address reuse on, Linux may give one chosen port to several
    // sockets at once; 600 ports would then almost surely meet twice.
    std::vector<ZNetUDPPort*> ports;
    std::set<int> numbers;
    for (int i = 0; i < 600; ++i) {
        ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
        ASSERT_NE(port, nullptr);
        ports.push_back(port);
        numbers.insert(portOf(ZNetUDPPortGetLocalHost(port)));
    }
    EXPECT_EQ(numbers.size(), ports.size());
    for (ZNetUDPPort* port : ports) ZNetUDPPortClose(port);
}

TEST(ZNetUDPPort, DatagramsSentTogetherArriveInOrderAndThoseReadAheadKeepTheWaitReady) {
    ZNetUDPPort* a = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetUDPPort* b = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetUDPPort* c = ZNetUDPPortOpen(L"127.0.0.1:0");
    ASSERT_TRUE(a && b && c);
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i)
        sent.push_back(std::string(static_cast<std::size_t>(1 + i * 30), static_cast<char>('a' + i % 26)));
    ZLogCapture log;
    ZNetUDPPortSendMany(a, ZNetUDPPortGetLocalHost(b), sent.data(), static_cast<int>(sent.size()));
    ZNetUDPPortSend(c, ZNetUDPPortGetLocalHost(b), "from c", 6);
    // One datagram per wait, as a reader with a budget per pass takes them:
    // what was read ahead must not wait for the next datagram to come.
    std::vector<std::string> got;
    std::vector<std::wstring> senders;
    for (int i = 0; i < 41; ++i) {
        ASSERT_TRUE(ZNetWait({b}, {}, {}, kPatienceUs)) << i;
        std::string data;
        std::wstring from;
        ASSERT_TRUE(ZNetUDPPortRecv(b, data, from)) << i;
        got.push_back(data);
        senders.push_back(from);
    }
    EXPECT_FALSE(ZNetWait({b}, {}, {}, 0));
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(got[static_cast<std::size_t>(i)], sent[static_cast<std::size_t>(i)]) << i;
        EXPECT_EQ(senders[static_cast<std::size_t>(i)], ZNetUDPPortGetLocalHost(a)) << i;
    }
    EXPECT_EQ(got[40], "from c");
    EXPECT_EQ(senders[40], ZNetUDPPortGetLocalHost(c));
    EXPECT_TRUE(log.lines().empty());
    // Each datagram is checked as a single send would be.
    ZNetUDPPortSendMany(a, L"127.0.0.1", sent.data(), 2);
    EXPECT_EQ(log.count(L"WARNING Could not resolve host '127.0.0.1', ignoring.\n"), 2);
    ZNetUDPPortClose(a);
    ZNetUDPPortClose(b);
    ZNetUDPPortClose(c);
}
