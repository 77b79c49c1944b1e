// The registry behind the signalling servers.
#include <gtest/gtest.h>

#include "ZSignalRegistry.h"

namespace {

ZSignalRegistration at(const std::string& user, const std::string& contact, std::int64_t seen) {
    ZSignalRegistration r;
    r.user = user;
    r.contact = contact;
    r.lastSeen = seen;
    return r;
}

constexpr std::int64_t kTimeout = 900000000;

}  // namespace

TEST(SignalRegistry, ExpiresADeviceOnlyAfterMoreThanTheTimeoutOfSilence) {
    ZSignalRegistry r;
    r.add("d1", at("u@x", "1.1.1.1:1", 0));
    r.add("d2", at("u@x", "2.2.2.2:2", 0));
    EXPECT_EQ(r.expire(kTimeout, kTimeout), 0);
    r.seen("2.2.2.2:2", 500);
    EXPECT_EQ(r.expire(kTimeout + 1, kTimeout), 1);
    EXPECT_EQ(r.find("d1"), nullptr);
    ASSERT_NE(r.find("d2"), nullptr);
    EXPECT_EQ(r.devicesOf("u@x"), std::vector<std::string>{"d2"});
}

TEST(SignalRegistry, MovesADeviceThatRegistersAgainFromANewAddress) {
    ZSignalRegistry r;
    r.add("d1", at("u@x", "1.1.1.1:1", 0));
    r.add("d1", at("u@x", "3.3.3.3:3", 0));
    EXPECT_EQ(r.size(), 1u);
    EXPECT_EQ(r.devicesOf("u@x"), std::vector<std::string>{"d1"});
    EXPECT_FALSE(r.userAt("u@x", "1.1.1.1:1"));
    EXPECT_TRUE(r.userAt("u@x", "3.3.3.3:3"));
    EXPECT_FALSE(r.userAt("v@x", "3.3.3.3:3"));
}

TEST(SignalRegistry, DropsEveryDeviceAtAContactThatGoesAway) {
    ZSignalRegistry r;
    r.add("d1", at("u@x", "9.9.9.9:9", 0));
    r.add("d2", at("v@x", "9.9.9.9:9", 0));
    r.add("d3", at("v@x", "8.8.8.8:8", 0));
    EXPECT_EQ(r.dropContact("9.9.9.9:9"), 2);
    EXPECT_EQ(r.dropContact("9.9.9.9:9"), 0);
    EXPECT_TRUE(r.devicesOf("u@x").empty());
    EXPECT_EQ(r.devicesOf("v@x"), std::vector<std::string>{"d3"});
}
