// The headless client against the real zandrel-server on loopback: every
// client there is PUBLIC, and "-forceturn" puts it behind the relay.
#include <gtest/gtest.h>

#include "ZDispatchProcesses.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

using namespace dispatchtest;

namespace {

constexpr std::int64_t kSignInPatience = 20000000;
constexpr std::int64_t kOnlinePatience = 3000000;

// A server and a client in folders of one temporary folder.
class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        if (serverProgram().empty()) GTEST_SKIP() << "zandrel-server is not built";
        server = std::make_unique<ServerProcess>(dir.file("service"));
        ASSERT_TRUE(server->start());
    }

    std::unique_ptr<ClientProcess> startClient(const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"-auth", ZToUTF8(server->host(0)), "-user", name, "-password", "secret",
                                         "-email", name + "@example.org", "-upnp", "http://127.0.0.1:1/rootDesc.xml",
                                         "-log", "pP"};
        args.insert(args.end(), extra.begin(), extra.end());
        return std::make_unique<ClientProcess>(dir.file(name), args);
    }

    // Waits for the sign-in and then for CONNECTED within the online patience.
    static void expectOnline(ClientProcess& client) {
        ASSERT_FALSE(client.waitFor("AUTHENTICATED", kSignInPatience).empty()) << client.log();
        ASSERT_EQ(client.waitFor("NOTIFY", kOnlinePatience), "NOTIFY CONNECTED") << client.log();
    }

    static std::string localHostOf(const std::string& log) {
        const std::string marker = "route list is 'local://";
        const std::size_t at = log.find(marker);
        if (at == std::string::npos) return std::string();
        const std::size_t start = at + marker.size();
        return log.substr(start, log.find_first_of("',", start) - start);
    }

    ZTempDir dir;
    std::unique_ptr<ServerProcess> server;
};

TEST_F(Loopback, GoesOnlineAsPublicWithinThreeSecondsAndIsListedWithItsRoutes) {
    auto client = startClient("alice");
    expectOnline(*client);
    const std::string log = client->log();
    const std::string local = localHostOf(log);
    ASSERT_FALSE(local.empty()) << log;
    EXPECT_EQ(firstOutOfOrder(log, {"STUN complete, connection class is 'PUBLIC' and route list is 'local://" + local + "'",
                                    "first to respond, choosing it.",
                                    "Request 'DEVICEGUID' succeeded, received device GUID '",
                                    "Changing state from 'Registering' to 'Online'"}),
              -1)
        << log;
    const bool listed = log.find("SIP server '" + ZToUTF8(server->host(5)) + "' first to respond") != std::string::npos ||
                        log.find("SIP server '" + ZToUTF8(server->host(6)) + "' first to respond") != std::string::npos;
    EXPECT_TRUE(listed) << log;

    const auto devices = signedInDevices(*server, L"alice@zandrel.net");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices.begin()->second, L"local://" + ZFromUTF8(local));
    EXPECT_TRUE(client->quit());
}

TEST_F(Loopback, AskForADeviceIdentityOnTheFirstRunOnly) {
    auto first = startClient("dave");
    expectOnline(*first);
    ASSERT_TRUE(first->quit());
    auto second = startClient("dave");
    expectOnline(*second);
    const std::string log = second->log();
    EXPECT_EQ(log.find("Requesting device GUID"), std::string::npos) << log;
    EXPECT_NE(log.find("Registering with existing device GUID '"), std::string::npos) << log;
    EXPECT_TRUE(second->quit());
}

TEST_F(Loopback, SignsOffAndComesBackOnline) {
    auto client = startClient("erin");
    expectOnline(*client);
    client->command("disconnect");
    EXPECT_EQ(client->waitFor("NOTIFY", kOnlinePatience), "NOTIFY DISCONNECTED");
    EXPECT_TRUE(signedInDevices(*server, L"erin@zandrel.net").empty());
    client->command("connect");
    EXPECT_EQ(client->waitFor("NOTIFY", kOnlinePatience), "NOTIFY CONNECTED");
    const std::string log = client->log();
    EXPECT_NE(log.find("Changing state from 'UNREGISTERING' to 'Offline'"), std::string::npos) << log;
    EXPECT_EQ(signedInDevices(*server, L"erin@zandrel.net").size(), 1u);
    EXPECT_TRUE(client->quit());
}

TEST_F(Loopback, KeepsTheMappingAliveAndDoublesTheRefreshTest) {
    auto client = startClient("frank");
    expectOnline(*client);
    const std::int64_t end = ZTimeNow() + 12000000;
    std::string log;
    while (ZTimeNow() < end) {
        log = client->log();
        if (log.find("NAT refresh succeeded with 4s period, trying 8s") != std::string::npos) break;
        ZThreadSleep(100000);
    }
    EXPECT_EQ(firstOutOfOrder(log, {"NAT refresh succeeded with 1s period, trying 2s",
                                    "NAT refresh succeeded with 2s period, trying 4s",
                                    "NAT refresh succeeded with 4s period, trying 8s"}),
              -1)
        << log;
    EXPECT_NE(log.find("Mapping hasn't changed after "), std::string::npos);
    EXPECT_TRUE(client->quit());
}

TEST_F(Loopback, ASilentServiceEndsTheConnectionAfterSixLostKeepAlives) {
    auto client = startClient("grace");
    expectOnline(*client);
    server->pause();
    const std::string notice = client->waitFor("NOTIFY", 12000000);
    server->resume();
    EXPECT_EQ(notice, "NOTIFY DISCONNECTED");
    EXPECT_NE(client->log().find("WARING PING failed 6 consecutive times, reconnecting."), std::string::npos);
    EXPECT_TRUE(client->quit());
}

TEST_F(Loopback, GoesOnlineThroughTheRelayWhenUDPIsBlocked) {
    auto client = startClient("heidi", {"-forceturn", "1"});
    expectOnline(*client);
    const std::string log = client->log();
    const std::string local = localHostOf(log);
    const std::string marker = "TURN complete, connection class is 'FIREWALL' and route list is 'local://" + local +
                               ", turn://";
    const std::size_t at = log.find(marker);
    ASSERT_NE(at, std::string::npos) << log;
    const std::size_t start = at + marker.size();
    const std::string allocation = log.substr(start, log.find('\'', start) - start);

    const auto devices = signedInDevices(*server, L"heidi@zandrel.net");
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices.begin()->second, ZFromUTF8("local://" + local + ", turn://" + allocation));
    // The service saw the registration come from the relay's allocation.
    EXPECT_NE(server->log().find("device '" + ZToUTF8(devices.begin()->first) + "' at (" + allocation + ")"),
              std::string::npos)
        << server->log();
    EXPECT_TRUE(client->quit());
}

TEST_F(Loopback, LosingTheRelayWhileRelayedDisconnectsWithinASecond) {
    auto client = startClient("ivan", {"-forceturn", "1"});
    expectOnline(*client);
    server->stop();
    EXPECT_EQ(client->waitFor("NOTIFY", 1000000), "NOTIFY DISCONNECTED") << client->log();
    EXPECT_NE(client->log().find("WARNING 'TURN' request failed (or timed out), disconnected."), std::string::npos);
    EXPECT_TRUE(client->quit());
}

}  // namespace
