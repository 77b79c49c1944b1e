// The service against hostile peers on loopback: each attack is bounded in
// count and time, and after it a correct sign-in is still answered at once
// and nothing stored is lost.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "ZPortable_Text.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

std::int64_t rssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::stoll(line.substr(6));
    return -1;
}

// User and system time of the process so far, in clock ticks.
std::int64_t cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    std::int64_t user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stoll(field);
        if (i == 15) system = std::stoll(field);
    }
    return user + system;
}

// Milliseconds a correct sign-in takes, or -1 when it is not answered 200.
std::int64_t timedSignIn(const ServerProcess& server, const std::wstring& user) {
    const auto start = std::chrono::steady_clock::now();
    const ZHTTPHeaders answer = authenticate(server.port(0), user, L"secret");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    return answer.getResponse() == 200 ? ms : -1;
}

void raiseDescriptorLimit(rlim_t want) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < want) {
        limit.rlim_cur = std::min(want, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::vector<std::string> hiddenFilesUnder(const std::string& folder) {
    std::vector<std::string> found;
    DIR* top = opendir(folder.c_str());
    if (!top) return found;
    while (dirent* user = readdir(top)) {
        if (user->d_name[0] == '.') continue;
        DIR* inner = opendir((folder + "/" + user->d_name).c_str());
        if (!inner) continue;
        while (dirent* file = readdir(inner))
            if (file->d_name[0] == '.' && std::string(file->d_name) != "." && std::string(file->d_name) != "..")
                found.push_back(file->d_name);
        closedir(inner);
    }
    closedir(top);
    return found;
}

std::string logfileHead(const std::string& name, std::int64_t length) {
    return "LOGFILE / HTTP/1.1\r\nFrom: up@zandrel.net\r\nFilename: " + name +
           "\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

}  // namespace

TEST(ServiceUnderAttack, AStrangerCanNeitherClaimADeviceForAUserNorReadOrReplaceTheirBuddyList) {
    ZTempDir dir;
    auto server = std::make_unique<ServerProcess>(dir.file("data"));
    ASSERT_TRUE(server->start());
    const int sip = server->port(5);
    UDPClient victimSide;
    const Device victim = signUpAndRegister(*server, victimSide, L"vic", L"local://127.0.0.1:1");
    ASSERT_FALSE(victim.guid.empty());
    ASSERT_EQ(victimSide.ask(sip, request(L"SETBUDDYLIST", {{L"CSeq", L"3"}, {L"From", victim.user},
                                                            {L"Session-Key", victim.key},
                                                            {L"Buddy-List", L"pal@zandrel.net"}}))
                  .getResponse(),
              200);

    UDPClient mallory;
    const std::wstring ownKey = authenticate(server->port(0), L"mal", L"pw", L"m@example.org").get(L"Session-Key");
    ASSERT_FALSE(ownKey.empty());
    const auto ask = [&](const wchar_t* method, const std::wstring& cseq,
                         std::map<std::wstring, std::wstring> fields) {
        fields[L"CSeq"] = cseq;
        return mallory.ask(sip, request(method, fields)).getResponse();
    };
    // No identity without a key, nor with a made-up one.
    EXPECT_EQ(ask(L"DEVICEGUID", L"1", {}), 403);
    EXPECT_EQ(ask(L"DEVICEGUID", L"2", {{L"Session-Key", std::wstring(32, L'0')}}), 403);
    const std::wstring own = mallory.ask(sip, request(L"DEVICEGUID", {{L"CSeq", L"3"}, {L"Session-Key", ownKey}}))
                                 .get(L"Device-GUID");
    ASSERT_FALSE(own.empty());
    // The forged owner: the victim's name with no key, with a key of another
    // user, on the stranger's own device and on the victim's.
    const std::vector<std::map<std::wstring, std::wstring>> forged = {
        {{L"Device-GUID", own}},
        {{L"Device-GUID", own}, {L"Session-Key", ownKey}},
        {{L"Device-GUID", victim.guid}, {L"Session-Key", ownKey}},
        {{L"Device-GUID", own}, {L"Session-Key", std::wstring(32, L'f')}},
    };
    int cseq = 10;
    for (auto fields : forged) {
        fields[L"From"] = victim.user;
        fields[L"Route-List"] = L"local://127.0.0.1:2";
        EXPECT_EQ(ask(L"REGISTER", ZToString(cseq++), fields), 403) << ZToUTF8(fields[L"Device-GUID"]);
    }
    EXPECT_EQ(ask(L"GETBUDDYLIST", L"20", {{L"From", victim.user}}), 403);
    EXPECT_EQ(ask(L"SETBUDDYLIST", L"21", {{L"From", victim.user}, {L"Buddy-List", L"mal@zandrel.net"}}), 403);

    // The victim's list is intact, also after a restart.
    ASSERT_EQ(server->stop(), 0);
    server = std::make_unique<ServerProcess>(dir.file("data"));
    ASSERT_TRUE(server->start());
    const ZHTTPHeaders again = authenticate(server->port(0), victim.user, L"secret");
    ASSERT_EQ(again.getResponse(), 200);
    UDPClient back;
    const std::wstring key = again.get(L"Session-Key");
    ASSERT_EQ(back.ask(server->port(5), request(L"REGISTER", {{L"CSeq", L"1"}, {L"From", victim.user},
                                                               {L"Device-GUID", victim.guid}, {L"Session-Key", key},
                                                               {L"Route-List", L"local://127.0.0.1:1"}}))
                  .getResponse(),
              200);
    const ZHTTPHeaders list =
        back.ask(server->port(5), request(L"GETBUDDYLIST", {{L"CSeq", L"2"}, {L"From", victim.user},
                                                            {L"Session-Key", key}}));
    EXPECT_EQ(list.get(L"Buddy-List"), L"pal@zandrel.net");
}

TEST(ServiceUnderAttack, IdleRelayConnectionsFromManyAddressesLeaveRoomForSignIns) {
    raiseDescriptorLimit(6000);
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    ASSERT_EQ(authenticate(server.port(0), L"sam", L"secret", L"s@example.org").getResponse(), 200);
    // What a sign-in takes here without an attack (the password hashing
    // dominates, and a sanitized build on a busy machine is slow).
    const std::int64_t calm = timedSignIn(server, L"sam@zandrel.net");
    ASSERT_GE(calm, 0);
    // 4096 connections that never speak, 256 from each of 16 addresses.
    std::vector<std::unique_ptr<TCPClient>> held;
    for (int address = 2; address < 18; ++address)
        for (int i = 0; i < 256; ++i)
            held.push_back(std::make_unique<TCPClient>(server.port(7), "127.0.0." + std::to_string(address)));
    // The service has taken what it takes once a further connection is refused.
    TCPClient probe(server.port(7), "127.0.0.18");
    EXPECT_TRUE(probe.closedByPeer());
    const std::int64_t ms = timedSignIn(server, L"sam@zandrel.net");
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, std::max<std::int64_t>(1000, 3 * calm)) << "without the attack: " << calm << " ms";
    EXPECT_TRUE(server.running());
}

TEST(ServiceUnderAttack, ClosesRelayConnectionsThatNeverAskForAnAllocation) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--relay-open-timeout", "1"});
    ASSERT_TRUE(server.start());
    const std::wstring key = authenticate(server.port(0), L"wes", L"pw", L"w@example.org").get(L"Session-Key");
    TCPClient idle(server.port(7));
    TCPClient working(server.port(7));
    ASSERT_TRUE(working.send(request(L"OPENTURN", {{L"CSeq", L"1"}, {L"Session-Key", key}})));
    ZHTTPHeaders answer;
    ASSERT_TRUE(working.receive(answer));
    ASSERT_EQ(answer.getResponse(), 200);
    EXPECT_TRUE(idle.closedByPeer(5000));
    EXPECT_FALSE(working.closedByPeer(1500));
}

TEST(ServiceUnderAttack, HeldUploadsCostNoMemoryAndACutUploadLeavesNoFile) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    // Over the cap: refused from the head, before any content.
    TCPClient huge(server.port(8));
    huge.sendRaw(logfileHead("huge.log", 32 * 1024 * 1024));
    EXPECT_TRUE(huge.closedByPeer());

    const std::int64_t before = rssKb(server.pid());
    // 24 uploads of 6 MB, all but the last byte sent, from 6 addresses
    // (4 each, the most one address may have at once).
    const std::int64_t size = 6 * 1024 * 1024;
    const std::string body(size - 1, 'h');
    std::vector<std::unique_ptr<TCPClient>> held;
    for (int i = 0; i < 24; ++i) {
        held.push_back(std::make_unique<TCPClient>(server.port(8), "127.0.0." + std::to_string(2 + i / 4)));
        ASSERT_TRUE(held.back()->sendRaw(logfileHead("held.log", size) + body)) << i;
    }
    TCPClient fifth(server.port(8), "127.0.0.2");
    EXPECT_TRUE(fifth.closedByPeer());
    const std::int64_t grown = rssKb(server.pid()) - before;
    EXPECT_LT(grown, 64 * 1024) << "RSS grew by " << grown << " kB";

    // A real 10 MB log still arrives whole.
    std::string log(10 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < log.size(); ++i) log[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    TCPClient uploader(server.port(8));
    ASSERT_TRUE(uploader.sendRaw(logfileHead("big.log", static_cast<std::int64_t>(log.size())) + log));
    ZHTTPHeaders answer;
    ASSERT_TRUE(uploader.receive(answer, 20000));
    EXPECT_EQ(answer.getResponse(), 200);
    EXPECT_TRUE(ZTestReadFile(server.dataFolder() + "/logs/up@zandrel.net/big.log") == log);

    // Cut off, the held uploads leave nothing behind.
    held.clear();
    std::vector<std::string> left = hiddenFilesUnder(server.dataFolder() + "/logs");
    for (int i = 0; i < 100 && !left.empty(); ++i) {
        usleep(50000);
        left = hiddenFilesUnder(server.dataFolder() + "/logs");
    }
    EXPECT_TRUE(left.empty()) << left.size() << " files left, the first " << left[0];
    EXPECT_NE(access((server.dataFolder() + "/logs/up@zandrel.net/held.log").c_str(), F_OK), 0);
}

TEST(ServiceUnderAttack, OutOfDescriptorsTheListenerRestsInsteadOfSpinning) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--nofile", "128"});
    ASSERT_TRUE(server.start());
    std::vector<std::unique_ptr<TCPClient>> held;
    for (int i = 0; i < 400; ++i)
        held.push_back(std::make_unique<TCPClient>(server.port(0), "127.0.0." + std::to_string(2 + i / 200)));
    usleep(300000);
    const std::int64_t start = cpuTicks(server.pid());
    usleep(1000000);
    const std::int64_t used = cpuTicks(server.pid()) - start;
    EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 10) << used << " ticks in one second";
    const std::string log = server.log();
    std::size_t warnings = 0;
    for (std::size_t at = log.find("pausing the listener"); at != std::string::npos;
         at = log.find("pausing the listener", at + 1))
        ++warnings;
    EXPECT_EQ(warnings, 1u) << log;
    held.clear();
    EXPECT_EQ(authenticate(server.port(0), L"late", L"pw", L"l@example.org").getResponse(), 200) << server.log();
}

TEST(ServiceUnderAttack, WritesDatedLogLinesWithControlCharactersEscapedAndFloodsRateLimited) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--log", "g", "--flood-limit", "0"});
    ASSERT_TRUE(server.start());
    UDPClient noisy;
    noisy.sendRaw(server.port(5), std::string("BAD\x01\x1b[31mX / HTTP/1.1\r\nCSeq: 1\r\n\r\n", 35));
    const std::string refused = request(L"DEVICEGUID", {{L"CSeq", L"2"}}).serialize();
    const auto floodStart = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000; ++i) noisy.sendRaw(server.port(5), refused);
    std::string bytes;
    int from = 0;
    while (noisy.receiveRaw(bytes, from, 300)) {
    }
    usleep(1100000);
    // The next line after the flood tells how many were held back.
    EXPECT_EQ(noisy.ask(server.port(5), request(L"DEVICEGUID", {{L"CSeq", L"3"}})).getResponse(), 403);
    // 50 lines in each second the flood lasted (a loaded machine stretches it
    // over several), counting the partial seconds at both ends.
    const auto floodSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - floodStart).count();
    const std::size_t allowedRefusals = 50u * static_cast<std::size_t>(floodSeconds + 2);
    ASSERT_EQ(server.stop(), 0);
    const std::string log = server.log();
    EXPECT_NE(log.find("'BAD??[31mX'"), std::string::npos) << log.substr(0, 2000);
    EXPECT_NE(log.find("further 'g' log lines were suppressed"), std::string::npos);
    std::size_t refusals = 0;
    for (std::size_t at = log.find("Refusing 'DEVICEGUID'"); at != std::string::npos;
         at = log.find("Refusing 'DEVICEGUID'", at + 1))
        ++refusals;
    EXPECT_GE(refusals, 1u);
    EXPECT_LE(refusals, allowedRefusals);
    EXPECT_LT(refusals, 2000u);
    const std::regex dated(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}Z .*)");
    std::istringstream lines(log);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(std::regex_match(line, dated)) << line;
        for (unsigned char c : line) EXPECT_GE(c, 0x20) << line;
    }
    EXPECT_GT(count, 0);
}
