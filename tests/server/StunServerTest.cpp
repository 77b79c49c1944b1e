// The STUN hosts, driven through the real process from 127.0.0.1.
#include <gtest/gtest.h>
#include <time.h>

#include <set>

#include "ZPortable_Text.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

class StunServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    ZTempDir dir;
    ServerProcess server{dir.file("data")};
    UDPClient client;
};

std::int64_t nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

TEST_F(StunServer, AnswersTheProbeThreeTimesFromTheThreeListedSocketsWithItsCSeq) {
    const std::wstring indirect = L"127.0.0.1:" + ZToString(server.port(2)) + L", 127.0.0.1:" + ZToString(server.port(3));
    client.send(server.port(1), request(L"STUN", {{L"CSeq", L"7 (ZDispatchService)"}, {L"Indirect-Host-List", indirect}}));
    std::set<int> senders;
    for (int i = 0; i < 3; ++i) {
        ZHTTPHeaders answer;
        int from = 0;
        ASSERT_TRUE(client.receive(answer, from)) << "answer " << i;
        EXPECT_EQ(answer.getResponse(), 200);
        EXPECT_EQ(answer.get(L"CSeq"), L"7 (ZDispatchService)");
        EXPECT_FALSE(answer.isSet(L"CSeq-Group"));
        if (from == server.port(1)) {
            EXPECT_EQ(ZToUTF8(answer.get(L"Global-Host")), client.host());
        }
        senders.insert(from);
    }
    EXPECT_EQ(senders, (std::set<int>{server.port(1), server.port(2), server.port(3)}));
}

TEST_F(StunServer, AnswersEveryResendOfTheProbe) {
    for (int round = 0; round < 3; ++round) {
        client.send(server.port(1), request(L"STUN", {{L"CSeq", L"9 (ZDispatchService)"}}));
        for (int i = 0; i < 3; ++i) {
            ZHTTPHeaders answer;
            int from = 0;
            ASSERT_TRUE(client.receive(answer, from)) << "round " << round << " answer " << i;
        }
    }
}

TEST_F(StunServer, IgnoresTheBareHolePunchDatagram) {
    client.sendRaw(server.port(2), "HOLEPUNCH");
    client.send(server.port(4), request(L"STUN", {{L"CSeq", L"1"}}));
    ZHTTPHeaders answer;
    int from = 0;
    ASSERT_TRUE(client.receive(answer, from));
    // The first thing back is host 4's answer: the hole punch drew none.
    EXPECT_EQ(from, server.port(4));
    EXPECT_FALSE(client.receive(answer, from, 300));
}

TEST_F(StunServer, AnswersARefreshTestAfterItsDelay) {
    const std::int64_t sent = nowMs();
    client.send(server.port(4), request(L"STUN", {{L"CSeq", L"12 (ZDispatchService)"}, {L"Delay", L"2000000"}}));
    ZHTTPHeaders answer;
    int from = 0;
    ASSERT_TRUE(client.receive(answer, from, 8000));
    const std::int64_t waited = nowMs() - sent;
    EXPECT_GE(waited, 1900);
    EXPECT_LE(waited, 6000);
    EXPECT_EQ(from, server.port(4));
    EXPECT_EQ(answer.getResponse(), 200);
    EXPECT_EQ(answer.get(L"CSeq"), L"12 (ZDispatchService)");
}

TEST_F(StunServer, KeepsOneTimerForARefreshTestThatIsSentTwice) {
    const auto test = request(L"STUN", {{L"CSeq", L"13 (ZDispatchService)"}, {L"Delay", L"300000"}});
    client.send(server.port(4), test);
    client.send(server.port(4), test);
    ZHTTPHeaders answer;
    int from = 0;
    ASSERT_TRUE(client.receive(answer, from, 5000));
    EXPECT_FALSE(client.receive(answer, from, 1000));
}

TEST(StunServerDelayCap, AnswersARefreshTestNoLaterThanTheServersLongestDelay) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--max-delay", "500000"});
    ASSERT_TRUE(server.start());
    UDPClient client;
    const std::int64_t sent = nowMs();
    client.send(server.port(4), request(L"STUN", {{L"CSeq", L"1"}, {L"Delay", L"900000000000"}}));
    ZHTTPHeaders answer;
    int from = 0;
    ASSERT_TRUE(client.receive(answer, from, 8000));
    const std::int64_t waited = nowMs() - sent;
    EXPECT_GE(waited, 450);
    EXPECT_LE(waited, 5000);
    EXPECT_EQ(answer.getResponse(), 200);
}
