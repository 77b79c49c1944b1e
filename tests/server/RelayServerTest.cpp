// The relay host: OPENTURN, SENDUDP out of the allocation, datagrams back as
// 200 frames, and the allocation's end with its connection.
#include <gtest/gtest.h>

#include "ZPortable_Text.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

class Relay : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        key = authenticate(server.port(0), L"rho", L"pw", L"r@example.org").get(L"Session-Key");
        ASSERT_FALSE(key.empty());
    }
    // Opens an allocation on the connection and returns its port (0 on failure).
    int open(TCPClient& c) {
        c.send(request(L"OPENTURN", {{L"CSeq", L"1 (ZDispatchService)"}, {L"Session-Key", key}}));
        ZHTTPHeaders answer;
        if (!c.receive(answer) || answer.getResponse() != 200) return 0;
        EXPECT_EQ(answer.get(L"CSeq"), L"1 (ZDispatchService)");
        const std::string host = ZToUTF8(answer.get(L"Global-Host"));
        if (host.compare(0, 10, "127.0.0.1:") != 0) return 0;
        return std::stoi(host.substr(10));
    }
    static ZHTTPHeaders sendUDP(const std::string& to, const std::string& datagram) {
        ZHTTPHeaders h(L"SENDUDP");
        h.set(L"Remote-Host", ZFromUTF8(to));
        h.addContent(datagram);
        return h;
    }
    ZTempDir dir;
    // These tests open and close allocations faster than the service sees
    // the closes: the caps per user and address are not what they test.
    ServerProcess server{dir.file("data"),
                         {"--relay-allocations-per-user", "1000", "--relay-allocations-per-address", "1000"}};
    std::wstring key;
};

}  // namespace

TEST_F(Relay, OpensAnAllocationAndCarriesDatagramsBothWays) {
    TCPClient c(server.port(7));
    const int allocation = open(c);
    ASSERT_GE(allocation, server.port(10));
    ASSERT_LT(allocation, server.port(20));

    UDPClient peer;
    ASSERT_TRUE(c.send(sendUDP(peer.host(), "hello peer")));
    std::string got;
    int from = 0;
    ASSERT_TRUE(peer.receiveRaw(got, from));
    EXPECT_EQ(got, "hello peer");
    EXPECT_EQ(from, allocation);

    peer.sendRaw(allocation, std::string("back\0to you", 11));
    ZHTTPHeaders frame;
    ASSERT_TRUE(c.receive(frame));
    EXPECT_EQ(frame.get(std::wstring()), L"HTTP/1.1 200 OK");
    EXPECT_EQ(ZToUTF8(frame.get(L"Remote-Host")), peer.host());
    ASSERT_EQ(frame.getContentCount(), 1);
    EXPECT_EQ(frame.getContent(0), std::string("back\0to you", 11));
}

TEST_F(Relay, CarriesAThousandFullDatagramsEachWayInOrder) {
    TCPClient c(server.port(7));
    const int allocation = open(c);
    ASSERT_NE(allocation, 0);
    UDPClient peer;
    constexpr int kCount = 1000;
    const auto payload = [](int i) {
        std::string p(1400, static_cast<char>('a' + i % 26));
        p.replace(0, 8, std::to_string(100000000 + i).substr(1));
        return p;
    };
    std::string burst;
    for (int i = 0; i < kCount; ++i) burst += sendUDP(peer.host(), payload(i)).serialize();
    ASSERT_TRUE(c.sendRaw(burst));
    for (int i = 0; i < kCount; ++i) {
        std::string got;
        int from = 0;
        ASSERT_TRUE(peer.receiveRaw(got, from)) << i;
        ASSERT_EQ(got, payload(i)) << i;
    }
    // Datagrams back may be dropped by the system like any UDP when sent
    // faster than read, so they go in windows the relay's socket can hold.
    constexpr int kWindow = 25;
    for (int i = 0; i < kCount; ++i) {
        if (i % kWindow == 0)
            for (int j = i; j < i + kWindow && j < kCount; ++j) peer.sendRaw(allocation, payload(j));
        ZHTTPHeaders frame;
        ASSERT_TRUE(c.receive(frame)) << i;
        ASSERT_EQ(frame.getResponse(), 200);
        ASSERT_EQ(ZToUTF8(frame.get(L"Remote-Host")), peer.host());
        ASSERT_EQ(frame.getContent(0), payload(i)) << i;
    }
    EXPECT_EQ(server.log().find("WARNING"), std::string::npos) << server.log();
}

TEST_F(Relay, RefusesByClosingWhatItDoesNotCarry) {
    const std::vector<std::string> cases = {
        sendUDP("127.0.0.1:9", "too early").serialize(),
        request(L"PING", {{L"CSeq", L"1"}}).serialize(),
        "HTTP/1.1 200 OK\r\n\r\n",
        "garbage without an end\r\n\r\nmore",
        "SENDUDP / HTTP/1.1\r\nContent-Length: 999999999\r\n\r\n",
        std::string(20000, 'x'),
    };
    for (const std::string& bytes : cases) {
        TCPClient c(server.port(7));
        if (bytes.compare(0, 7, "SENDUDP") == 0 && bytes.find("999999999") != std::string::npos) open(c);
        c.sendRaw(bytes);
        EXPECT_TRUE(c.closedByPeer()) << bytes.substr(0, 40);
    }
    TCPClient opened(server.port(7));
    ASSERT_NE(open(opened), 0);
    for (const char* to : {"0.0.0.0:0", "127.0.0.1:0", "255.255.255.255:9", "239.1.1.1:9", "not-a-host"}) {
        TCPClient c(server.port(7));
        ASSERT_NE(open(c), 0);
        c.send(sendUDP(to, "x"));
        EXPECT_TRUE(c.closedByPeer()) << to;
    }
    EXPECT_TRUE(server.running());
}

TEST_F(Relay, FreesTheAllocationAndItsRegistrationsWhenTheConnectionCloses) {
    const int sip = server.port(5);
    ZHTTPHeaders frame;
    int allocation = 0;
    std::wstring device;
    {
        TCPClient c(server.port(7));
        allocation = open(c);
        ASSERT_NE(allocation, 0);
        const ZHTTPHeaders account = authenticate(server.port(0), L"lou", L"pw", L"l@example.org");
        ASSERT_EQ(account.getResponse(), 200);
        const std::wstring key = account.get(L"Session-Key");
        const std::string to = "127.0.0.1:" + std::to_string(sip);
        c.send(sendUDP(to, request(L"DEVICEGUID", {{L"CSeq", L"2 (ZDispatchService)"}, {L"Session-Key", key}}).serialize()));
        ASSERT_TRUE(c.receive(frame));
        ZHTTPHeaders inner;
        ASSERT_GT(inner.deserialize(frame.getContent(0)), 0);
        device = inner.get(L"Device-GUID");
        c.send(sendUDP(to, request(L"REGISTER", {{L"CSeq", L"3 (ZDispatchService)"}, {L"From", L"lou@zandrel.net"},
                                                 {L"Device-GUID", device}, {L"Route-List", L"turn://x:1"},
                                                 {L"Session-Key", key}})
                               .serialize()));
        ASSERT_TRUE(c.receive(frame));
        ASSERT_GT(inner.deserialize(frame.getContent(0)), 0);
        ASSERT_EQ(inner.getResponse(), 200);
    }
    UDPClient other;
    const Device inviter = signUpAndRegister(server, other, L"max", L"local://127.0.0.1:1");
    ASSERT_FALSE(inviter.guid.empty());
    const auto invite = [&](const wchar_t* cseq) {
        return other.ask(sip, request(L"INVITE", {{L"CSeq", cseq}, {L"From", inviter.user},
                                                  {L"From-Device-GUID", inviter.guid}, {L"To", L"lou@zandrel.net"}}))
            .getResponse();
    };
    // The close reaches the service at its own pace: wait (bounded) for it.
    int code = 100;
    for (int i = 0; i < 200 && code == 100; ++i) code = invite(ZToString(100 + i).c_str());
    EXPECT_EQ(code, 400);
    // The port is free again: a new connection may be given it.
    bool reused = false;
    for (int i = 0; i < 40 && !reused; ++i) {
        TCPClient again(server.port(7));
        reused = open(again) == allocation;
    }
    EXPECT_TRUE(reused);
}

TEST_F(Relay, DeliversAnInviteForADeviceSignedInThroughTheRelayOverItsConnection) {
    const std::string sip = "127.0.0.1:" + std::to_string(server.port(5));
    TCPClient c(server.port(7));
    ASSERT_NE(open(c), 0);
    const ZHTTPHeaders account = authenticate(server.port(0), L"nell", L"pw", L"n@example.org");
        ASSERT_EQ(account.getResponse(), 200);
        const std::wstring key = account.get(L"Session-Key");
    ZHTTPHeaders frame;
    ZHTTPHeaders inner;
    c.send(sendUDP(sip, request(L"DEVICEGUID", {{L"CSeq", L"1 (ZDispatchService)"}, {L"Session-Key", key}}).serialize()));
    ASSERT_TRUE(c.receive(frame));
    ASSERT_GT(inner.deserialize(frame.getContent(0)), 0);
    const std::wstring device = inner.get(L"Device-GUID");
    c.send(sendUDP(sip, request(L"REGISTER", {{L"CSeq", L"2 (ZDispatchService)"}, {L"From", L"nell@zandrel.net"},
                                              {L"Device-GUID", device}, {L"Route-List", L"turn://127.0.0.1:1"},
                                              {L"Session-Key", key}})
                            .serialize()));
    ASSERT_TRUE(c.receive(frame));
    ASSERT_GT(inner.deserialize(frame.getContent(0)), 0);
    ASSERT_EQ(inner.getResponse(), 200);

    UDPClient other;
    const Device inviter = signUpAndRegister(server, other, L"otto", L"local://127.0.0.1:1");
    ASSERT_FALSE(inviter.guid.empty());
    const ZHTTPHeaders invite = request(L"INVITE", {{L"CSeq", L"5"}, {L"From", inviter.user},
                                                    {L"From-Device-GUID", inviter.guid}, {L"To", L"nell@zandrel.net"}});
    EXPECT_EQ(other.ask(server.port(5), invite).getResponse(), 100);
    ASSERT_TRUE(c.receive(frame));
    EXPECT_EQ(ZToUTF8(frame.get(L"Remote-Host")), sip);
    EXPECT_EQ(frame.getContent(0), invite.serialize());
}
