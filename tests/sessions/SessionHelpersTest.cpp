#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZPortable.h"
#include "ZSessionHelpers.h"
#include "ZTestSupport.h"

TEST(ZSessionHelpers, AcceptsOnlyCanonicalUserIdentifiers) {
    struct Row {
        std::wstring text;
        bool valid;
    };
    const std::vector<Row> rows = {
        {L"bob@zandrel.net", true},
        {L"b.o-b_1@z-1.example", true},
        {L"bob", false},
        {L"zclient", false},
        {L"@zandrel.net", false},
        {L"bob@", false},
        {L"bob@zandrel@net", false},
        {L"Bob@zandrel.net", false},
        {L"bob @zandrel.net", false},
        {L"bob@zandrel.net)", false},
        {L"bob;x@zandrel.net", false},
        {L"bob+x@zandrel.net", false},
        {std::wstring(123, L'a') + L"@b.cd", true},
        {std::wstring(124, L'a') + L"@b.cd", false},
        {L"b\u00f6b@zandrel.net", false},
    };
    for (const Row& row : rows) EXPECT_EQ(ZSIPIsUserGUID(row.text), row.valid) << ZToUTF8(row.text);
}

TEST(ZSessionHelpers, AcceptsOnlyShortPlainDeviceIdentifiers) {
    struct Row {
        std::wstring text;
        bool valid;
    };
    const std::vector<Row> rows = {
        {L"4d2ee5e8-b8e6-ff2d-2804-bf7d41da0b42", true},
        {L"dev_1.a", true},
        {L"", false},
        {L"Dev", false},
        {L"a@b", false},
        {L"../x", false},
        {std::wstring(64, L'a'), true},
        {std::wstring(65, L'a'), false},
    };
    for (const Row& row : rows) EXPECT_EQ(ZSIPIsDeviceGUID(row.text), row.valid) << ZToUTF8(row.text);
}

TEST(ZSessionHelpers, SplitsABuddyDeviceNameAtItsLastAt) {
    std::wstring buddy;
    std::wstring device;
    ASSERT_TRUE(ZSIPSplitBuddyDeviceGUID(L"bob@zandrel.net@dev1", buddy, device));
    EXPECT_EQ(buddy, L"bob@zandrel.net");
    EXPECT_EQ(device, L"dev1");
    EXPECT_FALSE(ZSIPSplitBuddyDeviceGUID(L"bob@zandrel.net", buddy, device));
    EXPECT_FALSE(ZSIPSplitBuddyDeviceGUID(L"bob@dev1", buddy, device));
    EXPECT_FALSE(ZSIPSplitBuddyDeviceGUID(L"nothing", buddy, device));
}

// A child started by the test below writes its first draws to the file named
// by ZAN_TEST_DRAWS and ends before any test runs.
const bool g_drawingChild = [] {
    const char* path = std::getenv("ZAN_TEST_DRAWS");
    if (!path) return false;
    std::string out;
    for (int i = 0; i < 4; ++i) out += std::to_string(ZSIPRandomProduct()) + " ";
    ZTestWriteFile(path, out);
    std::fflush(nullptr);
    _exit(0);
}();

TEST(ZSessionHelpers, TwoProcessesStartedAlikeDrawDifferentNumbers) {
    ZTempDir dir;
    std::vector<std::string> draws;
    for (int child = 0; child < 2; ++child) {
        const std::string file = dir.file("draws" + std::to_string(child));
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("ZAN_TEST_DRAWS", file.c_str(), 1);
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, 1);
            execl("/proc/self/exe", "test_sessions", static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        draws.push_back(ZTestReadFile(file));
    }
    ASSERT_FALSE(draws[0].empty());
    EXPECT_NE(draws[0], draws[1]);
    for (int i = 0; i < 100; ++i) {
        const std::int32_t product = ZSIPRandomProduct();
        EXPECT_GE(product, 0);
        EXPECT_LE(product, 32767 * 32767);
    }
}

TEST(ZSessionHelpers, MakesAPeersTextFitForOneLogLine) {
    EXPECT_EQ(ZSIPPrintable(L"bob\n12:00: [ZClient] ACTIVITY"), L"bob?12:00: [ZClient] ACTIVITY");
    EXPECT_EQ(ZSIPPrintable(std::wstring(200, L'x')).size(), 80u);
    EXPECT_EQ(ZSIPPrintable(L"dev\x7F\t1"), L"dev??1");
}
