// The uploaded logs on disk and the caps around them: the log store's quota
// and free-space reserve in-process with a free-space source of the test's
// own, then the log host, the database and the bug reports of the real
// program at their caps.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "ZLogStore.h"
#include "ZPortable_Text.h"
#include "ZServerQuota.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

void writeDated(const std::string& path, std::size_t size, std::int64_t seconds) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    ZTestWriteFile(path, std::string(size, 'l'));
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
}

std::string logfile(const std::string& from, const std::string& name, std::size_t size) {
    return "LOGFILE / HTTP/1.1\r\nFrom: " + from + "\r\nFilename: " + name +
           "\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" + std::string(size, 'u');
}

// One whole upload on its own connection from the address: the answer.
ZHTTPHeaders upload(const ServerProcess& server, const std::string& address, const std::string& from,
                    const std::string& name, std::size_t size) {
    TCPClient c(server.port(8), address);
    c.sendRaw(logfile(from, name, size));
    ZHTTPHeaders answer;
    if (!c.receive(answer)) answer.clear();
    return answer;
}

std::int64_t bytesBelow(const std::string& folder) {
    std::int64_t total = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
        if (e.is_regular_file()) total += static_cast<std::int64_t>(e.file_size());
    return total;
}

}  // namespace

TEST(ServerQuota, CountsEachKeyWithinItsWindowAndStartsAfreshAfterIt) {
    ZServerQuota quota(100, 1000, 2);
    EXPECT_TRUE(quota.take("a", 60, 0));
    EXPECT_FALSE(quota.take("a", 41, 10));
    EXPECT_TRUE(quota.take("a", 40, 10));
    EXPECT_TRUE(quota.take("b", 100, 20));
    EXPECT_FALSE(quota.take("c", 101, 20));
    EXPECT_EQ(quota.waitFor("a", 500), 500);
    EXPECT_TRUE(quota.take("a", 100, 1000));
    quota.give("a", 30);
    EXPECT_EQ(quota.used("a", 1001), 70);
    // A third key finds the table full: the window nearest its end goes.
    EXPECT_TRUE(quota.take("c", 5, 1100));
    EXPECT_EQ(quota.size(), 2u);
    EXPECT_EQ(quota.used("b", 1100), 0);
    EXPECT_TRUE(ZServerQuota(0, 1000).take("x", 1 << 30, 0));
}

TEST(LogStore, RemovesTheOldestLogsToStayWithinItsQuota) {
    ZTempDir dir;
    const std::string logs = dir.file("logs");
    writeDated(logs + "/ann@zandrel.net@d1/a.log", 30000, 1000);
    writeDated(logs + "/bob@zandrel.net@d2/b.log", 30000, 3000);
    writeDated(logs + "/ann@zandrel.net@d1/c.log", 30000, 2000);
    writeDated(logs + "/bob@zandrel.net@d2/.upload-x1", 500, 4000);
    ZLogStore store(logs, ZLogStore::Limits{100000, 0}, [] { return std::int64_t(1) << 40; });
    EXPECT_EQ(store.scan(), 1);
    EXPECT_EQ(store.used(), 90000);
    // Room for 30,000 more: the oldest (a.log) goes, then the next (c.log).
    ASSERT_EQ(store.reserve(30000), ZLogStore::Verdict::Taken);
    EXPECT_FALSE(std::filesystem::exists(logs + "/ann@zandrel.net@d1/a.log"));
    EXPECT_TRUE(std::filesystem::exists(logs + "/ann@zandrel.net@d1/c.log"));
    ZTestWriteFile(logs + "/new.log", std::string(30000, 'n'));
    store.stored(logs + "/new.log", 30000, 30000);
    ASSERT_EQ(store.reserve(20000), ZLogStore::Verdict::Taken);
    EXPECT_FALSE(std::filesystem::exists(logs + "/ann@zandrel.net@d1/c.log"));
    EXPECT_TRUE(std::filesystem::exists(logs + "/bob@zandrel.net@d2/b.log"));
    EXPECT_EQ(store.expired(), 2);
    // What held uploads hold cannot be had: nothing is removed for it.
    EXPECT_EQ(store.reserve(90000), ZLogStore::Verdict::OverQuota);
    EXPECT_TRUE(std::filesystem::exists(logs + "/bob@zandrel.net@d2/b.log"));
    EXPECT_EQ(store.reserve(100001), ZLogStore::Verdict::OverQuota);
    store.release(20000);
    EXPECT_EQ(store.used(), 60000);
    // Empty uploads cost a block each, so a flood of them counts.
    ZLogStore tiny(dir.file("tiny"), ZLogStore::Limits{8192, 0}, [] { return std::int64_t(1) << 40; });
    EXPECT_EQ(tiny.reserve(0), ZLogStore::Verdict::Taken);
    EXPECT_EQ(tiny.reserve(0), ZLogStore::Verdict::Taken);
    EXPECT_EQ(tiny.reserve(0), ZLogStore::Verdict::OverQuota);
}

TEST(LogStore, TakesNoUploadThatWouldLeaveLessThanTheReserveFree) {
    ZTempDir dir;
    std::int64_t free = 10000000;
    ZLogStore store(dir.file("logs"), ZLogStore::Limits{1LL << 30, 4000000}, [&free] { return free; });
    store.scan();
    EXPECT_EQ(store.reserve(6000000), ZLogStore::Verdict::Taken);
    free = 9000000;
    EXPECT_EQ(store.reserve(5000001), ZLogStore::Verdict::LowSpace);
    EXPECT_EQ(store.reserve(5000000), ZLogStore::Verdict::Taken);
    free = 3000000;
    EXPECT_EQ(store.reserve(0), ZLogStore::Verdict::LowSpace);
}

TEST(LogHostUnderAttack, ChargesUploadsToTheHourlyQuotaOfTheirAddressAndOfTheirAccount) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--log-quota-per-source", "100000", "--log-quota-per-account", "60000"});
    ASSERT_TRUE(server.start());
    struct Step {
        const char* address;
        const char* from;
        int status;
    };
    const Step steps[] = {
        {"127.0.0.2", "ann@zandrel.net@d1", 200}, {"127.0.0.2", "ann@zandrel.net@d2", 200},
        {"127.0.0.2", "ann@zandrel.net@d1", 200},
        // The account has had its 60,000 bytes, from whichever device.
        {"127.0.0.2", "ann@zandrel.net@d3", 429}, {"127.0.0.3", "ann@zandrel.net@d1", 429},
        {"127.0.0.2", "bob@zandrel.net@d1", 200}, {"127.0.0.2", "cid@zandrel.net@d1", 200},
        // The address has had its 100,000 bytes, for whichever account.
        {"127.0.0.2", "dee@zandrel.net@d1", 429},
        {"127.0.0.3", "dee@zandrel.net@d1", 200},
    };
    for (const Step& s : steps) {
        const ZHTTPHeaders answer = upload(server, s.address, s.from, "run.log", 20000);
        EXPECT_EQ(answer.getResponse(), s.status) << s.address << " " << s.from;
        EXPECT_EQ(answer.get(L"Content-Length"), L"0");
    }
    EXPECT_EQ(bytesBelow(server.dataFolder() + "/logs"), 6 * 20000);
    EXPECT_NE(server.log().find("over the hourly quota of its address, answering 429."), std::string::npos);
}

TEST(LogHostUnderAttack, KeepsItsTotalWithinTheQuotaByRemovingTheOldestUploads) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--log-quota", "100000"});
    ASSERT_TRUE(server.start());
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(upload(server, "127.0.0." + std::to_string(2 + i), "u" + std::to_string(i) + "@zandrel.net@d",
                         "run.log", 30000)
                      .getResponse(),
                  200)
            << i;
    const std::string logs = server.dataFolder() + "/logs";
    EXPECT_LE(bytesBelow(logs), 100000);
    EXPECT_TRUE(std::filesystem::exists(logs + "/u7@zandrel.net@d/run.log"));
    EXPECT_TRUE(std::filesystem::exists(logs + "/u6@zandrel.net@d/run.log"));
    EXPECT_FALSE(std::filesystem::exists(logs + "/u0@zandrel.net@d/run.log"));
    // One larger than the whole quota is refused from its head.
    EXPECT_EQ(upload(server, "127.0.0.20", "big@zandrel.net@d", "run.log", 100001).getResponse(), 507);
}

TEST(LogHostUnderAttack, RefusesUploadsBelowTheFreeSpaceReserveWhileTheDatabaseKeepsWorking) {
    ZTempDir dir;
    // More than any disk has free.
    ServerProcess server(dir.file("data"), {"--min-free-space", "100000000000000000"});
    ASSERT_TRUE(server.start());
    const ZHTTPHeaders refused = upload(server, "127.0.0.2", "ann@zandrel.net@d1", "run.log", 1000);
    EXPECT_EQ(refused.get(std::wstring()), L"HTTP/1.1 507 Insufficient Storage");
    EXPECT_EQ(refused.get(L"Content-Length"), L"0");
    EXPECT_FALSE(std::filesystem::exists(server.dataFolder() + "/logs/ann@zandrel.net@d1"));
    EXPECT_NE(server.log().find("the disk is nearly full, answering 507."), std::string::npos);
    UDPClient client;
    const Device d = signUpAndRegister(server, client, L"ann", L"local://127.0.0.1:1");
    EXPECT_FALSE(d.guid.empty());
    EXPECT_EQ(authenticate(server.port(0), L"ann@zandrel.net", L"secret").getResponse(), 200);
}

TEST(ServiceStoreUnderAttack, SaysTheDatabaseIsFullRatherThanThatANameIsTaken) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"),
                         {"--max-database", "65536", "--pbkdf2-iterations", "1000", "--accounts-per-source", "0"});
    ASSERT_TRUE(server.start());
    int created = 0;
    int refused = 0;
    const std::wstring email = L"somebody-with-a-long-address-" + std::wstring(200, L'e') + L"@example.org";
    for (int i = 0; i < 400 && refused == 0; ++i) {
        const int status = authenticate(server.port(0), L"user-" + ZToString(i) + std::wstring(100, L'n'),
                                        L"pw", email)
                               .getResponse();
        if (status == 200)
            ++created;
        else
            refused = status;
    }
    EXPECT_GT(created, 0);
    EXPECT_EQ(refused, 507);
    EXPECT_NE(server.log().find("the database is out of space, answering 507."), std::string::npos);
}

TEST(ServiceStoreUnderAttack, TakesBugReportsOfOneUserUpToItsHourlyCountAndSize) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    UDPClient client;
    const Device d = signUpAndRegister(server, client, L"gus", L"local://127.0.0.1:1");
    ASSERT_FALSE(d.guid.empty());
    const auto report = [&](int n, std::size_t size) {
        return client
            .ask(server.port(5), request(L"BUGREPORT", {{L"CSeq", ZToString(100 + n)},
                                                        {L"From", d.user},
                                                        {L"Session-Key", d.key},
                                                        {L"Email", L"g@example.org"},
                                                        {L"Text", std::wstring(size, L'r')}}))
            .getResponse();
    };
    // Over the default 16 KiB, and not counted.
    EXPECT_EQ(report(0, 16385), 400);
    for (int i = 1; i <= 10; ++i) EXPECT_EQ(report(i, 16384), 200) << i;
    EXPECT_EQ(report(11, 10), 429);
    EXPECT_NE(server.log().find("bug reports this hour, answering 429."), std::string::npos);
    // Another user is not held back by it.
    UDPClient other;
    const Device e = signUpAndRegister(server, other, L"hal", L"local://127.0.0.1:2");
    ASSERT_FALSE(e.guid.empty());
    EXPECT_EQ(other.ask(server.port(5), request(L"BUGREPORT", {{L"CSeq", L"1"},
                                                               {L"From", e.user},
                                                               {L"Session-Key", e.key},
                                                               {L"Email", L"h@example.org"},
                                                               {L"Text", L"flicker"}}))
                  .getResponse(),
              200);
}
