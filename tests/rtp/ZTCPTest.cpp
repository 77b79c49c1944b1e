#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "ZTCP.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

std::int64_t gNow = 0;
std::int64_t testClock() {
    return gNow;
}

// A sender on the driven clock.
struct DrivenSender : ZTCPServer {
    DrivenSender() {
        gNow = 1000000000;
        setClock(&testClock);
    }
};

}  // namespace

TEST(ZTCPSeq, WrapRuleComparesAcrossZero) {
    EXPECT_TRUE(ZTCPSeqBefore(65535, 0));
    EXPECT_FALSE(ZTCPSeqBefore(0, 65535));
    EXPECT_EQ(1, ZTCPSeqDelta(0, 65535));
    EXPECT_TRUE(ZTCPSeqBefore(10, 20));
    EXPECT_EQ(-10, ZTCPSeqDelta(10, 20));
    EXPECT_TRUE(ZTCPSeqBefore(65000, 10));
    EXPECT_FALSE(ZTCPSeqBefore(5, 5));
}

TEST(ZTCPServer, BudgetWindowAndTimeout) {
    DrivenSender s;
    EXPECT_EQ(1472, s.getBudget());
    EXPECT_EQ(250000, s.getRTORemaining());
    EXPECT_EQ(1000000, s._calcRTO());
    for (int i = 0; i < 3; ++i) s.onSend(static_cast<std::uint16_t>(i), 1000);
    EXPECT_EQ(0, s.getBudget());
    EXPECT_EQ(3000, s.getBytesInFlight());

    gNow += 1000000;  // exactly the time-out: not yet
    EXPECT_EQ(0, s.getRTORemaining());
    EXPECT_EQ(3000, s.getBytesInFlight());
    ZLogCapture log;
    ZLogSetFilter("T");
    gNow += 1;
    EXPECT_EQ(1472, s.getBudget());
    ZLogSetFilter("");
    EXPECT_EQ(0, s.getBytesInFlight());
    EXPECT_EQ(2944, s.getSlowStartThreshold());
    EXPECT_EQ(3, s.getBaseSeqNum());
    EXPECT_EQ(0u, s.getPipeQueueSize());
    EXPECT_EQ(1, log.count(L"RTO timeout, updating (cwnd=1472->1472)"));
    EXPECT_EQ(250000, s.getRTORemaining());
}

TEST(ZTCPServer, AckSettlesDeliveredAndLostOldestFirst) {
    DrivenSender s;
    for (int i = 0; i < 3; ++i) s.onSend(static_cast<std::uint16_t>(i), 400);
    gNow += 200000;
    std::vector<bool> flags;
    EXPECT_EQ(0, s.onACK(2, 0x5, flags));
    EXPECT_EQ((std::vector<bool>{true, false, true}), flags);
    EXPECT_EQ(1472, s.getCongestionWindow());
    EXPECT_EQ(1472, s.getSlowStartThreshold());
    EXPECT_EQ(3, s.getBaseSeqNum());
    EXPECT_EQ(0, s.getBytesInFlight());
    // The sample of packet 0 stopped without an update: 2 lies after it.
    EXPECT_EQ(300000, s.getSmoothedRTT());
}

TEST(ZTCPServer, WindowGrowsInSlowStartAndAvoidance) {
    DrivenSender s;
    std::vector<bool> flags;
    s.onSend(0, 1000);
    gNow += 100000;
    s.onACK(0, 1, flags);
    EXPECT_EQ(2472, s.getCongestionWindow());
    EXPECT_EQ((300000 * 85 + 100000 * 15) / 100, s.getSmoothedRTT());

    // Force a loss to bring the threshold down, then grow past it.
    s.onSend(1, 100);
    s.onSend(2, 100);
    s.onACK(2, 1, flags);  // 1 lost
    EXPECT_EQ(1472, s.getCongestionWindow());
    EXPECT_EQ(1472, s.getSlowStartThreshold());
    s.onSend(3, 100);
    s.onACK(3, 1, flags);
    EXPECT_EQ(1472 + 2166784 / 1472, s.getCongestionWindow());
}

TEST(ZTCPServer, AckForAnUnsentNumberChangesNothing) {
    DrivenSender s;
    s.onSend(0, 500);
    s.onSend(1, 500);
    gNow += 900000;
    std::vector<bool> flags{true};
    for (std::uint16_t forged : {2, 3, 100, 30000}) {
        EXPECT_EQ(0, s.onACK(forged, 0xFFFFFFFF, flags));
        EXPECT_TRUE(flags.empty());
    }
    EXPECT_EQ(1000, s.getBytesInFlight());
    EXPECT_EQ(2u, s.getPipeQueueSize());
    EXPECT_EQ(0, s.getBaseSeqNum());
    EXPECT_EQ(1472, s.getCongestionWindow());
    EXPECT_EQ(300000, s.getSmoothedRTT());
    // The timer still runs from the first send: a real acknowledgement would
    // have restarted it.
    EXPECT_EQ(100000, s.getRTORemaining());
}

TEST(ZTCPServer, AfterATimeoutTheNextAckSettlesOnlyNewPackets) {
    DrivenSender s;
    s.onSend(0, 700);
    s.onSend(1, 700);
    gNow += 1000001;
    s.getBudget();
    s.onSend(2, 300);
    std::vector<bool> flags;
    ZLogCapture log;
    ZLogSetFilter("T");
    EXPECT_EQ(2, s.onACK(1, 0x3, flags));  // the given-up packets: old
    EXPECT_TRUE(flags.empty());
    EXPECT_EQ(1, log.count(L"Received old ACK (seqNum=1, offset=1, ignoring."));
    EXPECT_EQ(2, s.onACK(2, 0x1, flags));
    ZLogSetFilter("");
    EXPECT_EQ(std::vector<bool>{true}, flags);
    EXPECT_EQ(0, s.getBytesInFlight());
    EXPECT_EQ(0u, s.getPipeQueueSize());
}

TEST(ZTCPServer, SequenceNumbersWrap) {
    DrivenSender s;
    std::vector<bool> flags;
    // Walk the sender up to 65535 one acknowledged packet at a time.
    for (int i = 0; i < 65535; ++i) {
        s.onSend(static_cast<std::uint16_t>(i), 1);
        s.onACK(static_cast<std::uint16_t>(i), 1, flags);
    }
    s.onSend(65535, 10);
    s.onSend(0, 10);
    EXPECT_EQ(65535, s.onACK(0, 0x3, flags));
    EXPECT_EQ((std::vector<bool>{true, true}), flags);
    EXPECT_EQ(1, s.getBaseSeqNum());
}

TEST(ZTCPClient, VectorTracksGapsReorderingAndOldPackets) {
    ZTCPClient c(10, 0);
    c.onRecv(5);
    EXPECT_EQ(1u << 4, c.getVector());
    c.onRecv(100);
    EXPECT_EQ(1u, c.getVector());
    EXPECT_EQ(101, c.getNextSeqNum());

    ZTCPClient d(10, 0xFFFFFFFF);
    ZLogCapture log;
    d.onRecv(65000);
    EXPECT_EQ(0xFFFFFFFFu, d.getVector());
    EXPECT_EQ(10, d.getNextSeqNum());
    EXPECT_EQ(1, log.count(L"WARNING Received very old packet (nextSeqNum=10, delta="));

    ZTCPClient viewer(0, 0xFFFFFFFF);
    const std::uint16_t received[] = {0, 1, 3};
    const std::pair<int, std::uint32_t> acks[] = {{0, 0xFFFFFFFF}, {1, 0xFFFFFFFF}, {3, 0xFFFFFFFD}};
    for (int i = 0; i < 3; ++i) {
        viewer.onRecv(received[i]);
        EXPECT_EQ(acks[i].first, viewer.getAckSeqNum());
        EXPECT_EQ(acks[i].second, viewer.getVector());
    }

    ZTCPClient wrap(65535, 0);
    wrap.onRecv(65535);
    wrap.onRecv(0);
    EXPECT_EQ(1, wrap.getNextSeqNum());
    EXPECT_EQ(3u, wrap.getVector());
}

// Sender and receiver over a channel that loses, duplicates and reorders in
// both directions, with forged acknowledgements mixed in: every packet is
// settled exactly once and the bytes in flight never go negative.
TEST(ZTCPServer, SeededLossyChannelSettlesEveryPacketOnce) {
    for (unsigned seed = 1; seed <= 5; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> percent(0, 99);
        DrivenSender s;
        ZTCPClient r(0, 0xFFFFFFFF);
        std::map<std::uint16_t, int> settled;  // by number: how many times
        int sent = 0;
        std::uint16_t next = 0;
        struct InFlight {
            std::int64_t at;
            std::uint16_t seq;
            std::uint32_t vector;
            bool ack;
        };
        std::vector<InFlight> wire;
        const int total = 3000;
        while (sent < total || !wire.empty()) {
            while (sent < total && s.getBudget() >= 1) {
                s.onSend(next, 200 + percent(rng) * 10);
                if (percent(rng) >= 10) wire.push_back({gNow + 20000 + percent(rng) * 500, next, 0, false});
                if (percent(rng) < 5) wire.push_back({gNow + 30000, next, 0, false});
                ++next;
                ++sent;
            }
            if (percent(rng) < 5)
                wire.push_back({gNow + 1000, static_cast<std::uint16_t>(next + percent(rng)), 0xFFFFFFFF, true});
            gNow += 10000;
            std::stable_sort(wire.begin(), wire.end(), [](const InFlight& a, const InFlight& b) { return a.at < b.at; });
            std::vector<InFlight> later;
            for (const InFlight& p : wire) {
                if (p.at > gNow) {
                    later.push_back(p);
                    continue;
                }
                if (p.ack) {
                    std::vector<bool> flags;
                    const std::uint16_t base = s.onACK(p.seq, p.vector, flags);
                    for (std::size_t i = 0; i < flags.size(); ++i) ++settled[static_cast<std::uint16_t>(base + i)];
                } else {
                    r.onRecv(p.seq);
                    if (percent(rng) >= 10)
                        later.push_back({gNow + 20000 + percent(rng) * 300, r.getAckSeqNum(), r.getVector(), true});
                }
                ASSERT_GE(s.getBytesInFlight(), 0);
            }
            wire = later;
            s.getRTORemaining();
            if (sent == total && wire.empty()) break;
        }
        // Whatever a time-out gave up never comes back as settled.
        gNow += 2000000;
        s.getBudget();
        for (const auto& entry : settled) EXPECT_EQ(1, entry.second) << entry.first;
        EXPECT_EQ(0, s.getBytesInFlight());
        EXPECT_EQ(0u, s.getPipeQueueSize());
        EXPECT_GT(settled.size(), static_cast<std::size_t>(total / 2));
    }
}
