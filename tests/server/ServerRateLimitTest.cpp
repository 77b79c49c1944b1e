// The budgets per user and per address, driven with times of the test's
// choosing.
#include <gtest/gtest.h>

#include "ZServerNet.h"
#include "ZServerRateLimit.h"

TEST(ServerRateLimit, GivesTheBurstThenTheRateAndKeepsKeysApart) {
    ZServerRateLimit limit(2.0, 4.0);
    const std::int64_t t0 = 1000000000;
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(limit.take("ann", t0)) << i;
    EXPECT_FALSE(limit.take("ann", t0));
    EXPECT_TRUE(limit.take("bob", t0));
    // Half a second gives one token back; a cost above what is left takes nothing.
    EXPECT_FALSE(limit.take("ann", t0 + 500000, 2.0));
    EXPECT_DOUBLE_EQ(limit.available("ann", t0 + 500000), 1.0);
    EXPECT_TRUE(limit.take("ann", t0 + 500000));
    EXPECT_FALSE(limit.take("ann", t0 + 500000));
    // Full again after two seconds, and never more than the burst.
    EXPECT_DOUBLE_EQ(limit.available("ann", t0 + 60000000), 4.0);
}

TEST(ServerRateLimit, ForgetsKeysWhoseBucketsHaveFilledUpAgain) {
    ZServerRateLimit limit(1.0, 2.0);
    const std::int64_t t0 = 1000000000;
    for (int i = 0; i < 1000; ++i) limit.take("user" + std::to_string(i), t0);
    EXPECT_EQ(limit.size(), 1000u);
    limit.take("late", t0 + 20000000);
    EXPECT_EQ(limit.size(), 1u);
}

TEST(ServerRateLimit, ARateOfZeroLetsEverythingThrough) {
    ZServerRateLimit limit(0.0, 0.0);
    for (int i = 0; i < 100; ++i) EXPECT_TRUE(limit.take("ann", 0, 10.0));
    EXPECT_EQ(limit.size(), 0u);
}

TEST(ServerNet, TellsPublicAddressesFromTheOnesTheRelayMustNotReach) {
    struct Row {
        const char* host;
        bool isPublic;
    };
    const Row rows[] = {
        {"8.8.8.8:53", true},          {"198.51.100.9:1", true},  {"172.32.0.1:1", true},
        {"100.128.0.1:1", true},       {"127.0.0.1:1", false},    {"127.255.255.254:1", false},
        {"10.1.2.3:1", false},         {"172.16.0.1:1", false},   {"172.31.255.255:1", false},
        {"192.168.1.20:5060", false},  {"169.254.1.1:1", false},  {"100.64.0.1:1", false},
        {"0.0.0.0:1", false},          {"0.1.2.3:1", false},      {"224.0.0.1:1", false},
        {"239.255.255.250:1900", false}, {"255.255.255.255:1", false},
    };
    for (const Row& row : rows) {
        sockaddr_in a{};
        ASSERT_TRUE(ZServerParseHost(row.host, a)) << row.host;
        EXPECT_EQ(ZServerPublicAddress(a), row.isPublic) << row.host;
    }
}
