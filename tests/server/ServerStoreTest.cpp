// The service's database and session keys, driven with times of the test's
// choosing.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "ZServerSessions.h"
#include "ZServerStore.h"
#include "ZTestSupport.h"

TEST(ServerStore, RemovesDeviceIdentitiesNeverRegisteredOnceOldAndKeepsTheRest) {
    ZTempDir dir;
    ZServerStore store;
    std::string error;
    ASSERT_TRUE(store.open(dir.file("z.db"), error)) << error;
    const std::int64_t t0 = 1700000000;
    ASSERT_TRUE(store.addDevice("old-unused", "ann@zandrel.net", t0));
    ASSERT_TRUE(store.addDevice("old-used", "ann@zandrel.net", t0));
    ASSERT_TRUE(store.claimDevice("old-used", "ann@zandrel.net", "764"));
    ASSERT_TRUE(store.addDevice("new-unused", "ann@zandrel.net", t0 + 3000));
    EXPECT_FALSE(store.addDevice("new-unused", "bob@zandrel.net", t0 + 3000));
    // An hour after the first two were made.
    EXPECT_EQ(store.expireUnregisteredDevices(t0 + 3601 - 3600), 1);
    std::string owner;
    EXPECT_FALSE(store.findDevice("old-unused", owner));
    EXPECT_TRUE(store.findDevice("old-used", owner));
    EXPECT_TRUE(store.findDevice("new-unused", owner));
    EXPECT_EQ(owner, "ann@zandrel.net");
    EXPECT_EQ(store.expireUnregisteredDevices(t0 + 3001), 1);
    EXPECT_EQ(store.countDevices(), 1);
}

TEST(ServerStore, NamesItsPathWhenTheFileIsNoDatabase) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("z.db"), std::string(4096, 'x'));
    ZServerStore store;
    std::string error;
    EXPECT_FALSE(store.open(dir.file("z.db"), error));
    EXPECT_NE(error.find(dir.file("z.db")), std::string::npos) << error;
}

TEST(ServerSessions, KnowsAKeyForADayAndKeepsOnlyTheNewestKeysOfAUser) {
    ZServerSessions sessions;
    const std::int64_t t0 = 5000000;
    const std::string first = sessions.issue("ann@zandrel.net", t0);
    EXPECT_EQ(first.size(), 32u);
    EXPECT_EQ(sessions.userOf(first, t0 + 1), "ann@zandrel.net");
    EXPECT_EQ(sessions.userOf(first, t0 + ZServerSessions::kLifetime), "");
    EXPECT_EQ(sessions.userOf("", t0), "");
    EXPECT_EQ(sessions.userOf(first.substr(1), t0), "");
    std::string last;
    for (std::size_t i = 0; i < ZServerSessions::kKeysPerUser; ++i) last = sessions.issue("ann@zandrel.net", t0 + 10);
    EXPECT_EQ(sessions.userOf(first, t0 + 11), "");
    EXPECT_EQ(sessions.userOf(last, t0 + 11), "ann@zandrel.net");
    EXPECT_EQ(sessions.size(), ZServerSessions::kKeysPerUser);
    sessions.issue("bob@zandrel.net", t0 + ZServerSessions::kLifetime);
    EXPECT_EQ(sessions.expire(t0 + ZServerSessions::kLifetime + 10), static_cast<int>(ZServerSessions::kKeysPerUser));
    EXPECT_EQ(sessions.size(), 1u);
}

TEST(ServerStore, RemovesARegisteredDeviceOnlyOnceItsLastUseIsOlderThanTheTime) {
    ZTempDir dir;
    ZServerStore store;
    std::string error;
    ASSERT_TRUE(store.open(dir.file("z.db"), error)) << error;
    const std::int64_t t0 = 1700000000;
    ASSERT_TRUE(store.addDevice("old-idle", "ann@zandrel.net", t0));
    ASSERT_TRUE(store.addDevice("old-busy", "ann@zandrel.net", t0));
    ASSERT_TRUE(store.claimDevice("old-idle", "ann@zandrel.net", "764", t0 + 10));
    ASSERT_TRUE(store.claimDevice("old-busy", "ann@zandrel.net", "764", t0 + 10));
    // Registered again a year later: its creation no longer counts.
    ASSERT_TRUE(store.claimDevice("old-busy", "ann@zandrel.net", "765", t0 + 365 * 86400));
    EXPECT_EQ(store.expireUnregisteredDevices(t0 + 400 * 86400), 0);
    EXPECT_EQ(store.expireUnusedDevices(t0 + 180 * 86400), 1);
    std::string owner;
    EXPECT_FALSE(store.findDevice("old-idle", owner));
    EXPECT_TRUE(store.findDevice("old-busy", owner));
    EXPECT_EQ(store.expireUnusedDevices(t0 + 365 * 86400), 0);
}

TEST(ServerStore, GivesTheDevicesOfAnOlderDatabaseAnHourToRegisterAgain) {
    ZTempDir dir;
    // Written when REGISTER never marked a device: one in use, made a day ago.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(dir.file("z.db").c_str(), &db), SQLITE_OK);
    const std::string old = "CREATE TABLE devices(guid TEXT PRIMARY KEY, owner TEXT NOT NULL DEFAULT '',"
                            " version TEXT NOT NULL DEFAULT '', created INTEGER NOT NULL,"
                            " registered INTEGER NOT NULL DEFAULT 0);"
                            "INSERT INTO devices(guid, owner, created) VALUES('in-use', 'ann@zandrel.net', " +
                            std::to_string(ZServerStore::clock() - 86400) + ");";
    ASSERT_EQ(sqlite3_exec(db, old.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    ZServerStore store;
    std::string error;
    ASSERT_TRUE(store.open(dir.file("z.db"), error)) << error;
    EXPECT_EQ(store.expireUnregisteredDevices(ZServerStore::clock() - 3600), 0);
    ASSERT_TRUE(store.claimDevice("in-use", "ann@zandrel.net", "764"));
    EXPECT_EQ(store.expireUnregisteredDevices(ZServerStore::clock() + 7200), 0);
    EXPECT_EQ(store.countDevices(), 1);
}
