#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "ZLogBudget.h"
#include "ZNonPortable.h"
#include "ZPortable_Text.h"
#include "ZTestHooks.h"
#include "ZTestSupport.h"
#include "ZUtil.h"
#include "ZUtil_LogFile.h"

namespace {

const char kOpening[] = "--------------- Opening Logfile -------------\n";
const char kClean[] = "---- Closed, Clean shutdown ----";
const char kDirty[] = "---- Closed, ERROR Dirty shutdown ----";

void captureOnly(const std::wstring& line) { ZTestCaptureLine(line); }
void captureAndWrite(const std::wstring& line) {
    ZTestCaptureLine(line);
    ZLogWrite(line);
}
void throwAbort() { throw ZTestAbort(); }

// Runs the test in a fresh working folder with the file writer as log hook,
// as the program does; puts the folder and the test hooks back afterwards.
class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getcwd(_previous, sizeof _previous));
        ASSERT_EQ(chdir(_dir.path().c_str()), 0);
        ZSetDebugHooks(captureAndWrite, ZCallStackDumpCurrent, throwAbort);
    }
    void TearDown() override {
        std::string ignored;
        ZLogClose(ignored, true);
        ZSetDebugHooks(captureOnly, ZCallStackDumpCurrent, throwAbort);
        EXPECT_EQ(chdir(_previous), 0);
    }

    // Names in the working folder other than the live log.
    static std::vector<std::string> archives() {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator("."))
            if (entry.path().filename() != "zandrel.log") names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The one archive, checked against the name pattern and the stamps
    // taken just before and after it was made.
    static std::string onlyArchive(const std::string& kind, const std::string& stampBefore,
                                   const std::string& stampAfter) {
        const std::vector<std::string> names = archives();
        EXPECT_EQ(names.size(), 1u);
        if (names.size() != 1) return "";
        const std::string& name = names[0];
        EXPECT_TRUE(std::regex_match(name, std::regex("zandrel_[0-9]{6}_[0-9]{6}_" + kind + "\\.log"))) << name;
        const std::string stamp = name.substr(8, 13);
        EXPECT_LE(stampBefore, stamp);
        EXPECT_LE(stamp, stampAfter);
        return name;
    }

    static std::string stampNow() { return ZToUTF8(ZTimeComposeTimestamp()); }

private:
    ZTempDir _dir;
    char _previous[4096];
};

}  // namespace

TEST_F(LogFileTest, FreshLogHoldsOnlyTheStampedOpeningLine) {
    const std::string before = stampNow();
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    const std::string after = stampNow();
    EXPECT_TRUE(archives().empty());
    const std::string text = ZTestReadFile("zandrel.log");
    ASSERT_EQ(text.size(), 13 + 2 + std::strlen(kOpening)) << text;
    EXPECT_EQ(text.substr(13), std::string(": ") + kOpening);
    EXPECT_LE(before, text.substr(0, 13));
    EXPECT_LE(text.substr(0, 13), after);
}

TEST_F(LogFileTest, OldLogIsArchivedCleanOnlyWhenItEndsWithTheMarkerAndOneLineEnd) {
    const std::string marker = kClean;
    struct Case {
        std::string old;
        const char* kind;
    } const cases[] = {
        {"090101_000000: start\n090101_000001: " + marker + "\r\n", "clean"},
        {"090101_000000: start\n090101_000001: " + marker + "\n", "clean"},
        {marker + "\n", "clean"},
        {"090101_000001: " + marker + "\n090101_000002: after\n", "dirty"},
        {"090101_000001: " + marker, "dirty"},
        {"090101_000001: " + marker + "\n\n", "dirty"},
        {"090101_000001: " + marker + "\r\r\n", "dirty"},
        {"090101_000001: " + std::string(kDirty) + "\n", "dirty"},
        {marker.substr(1) + "\n", "dirty"},
        {"short\n", "dirty"},
        {"", "dirty"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all("sub");
        std::filesystem::create_directory("sub");
        ZTestWriteFile("sub/zandrel.log", c.old);
        const std::string before = stampNow();
        ASSERT_TRUE(ZLogOpen(L"sub/zandrel", false)) << c.old;
        const std::string after = stampNow();
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator("sub"))
            if (entry.path().filename() != "zandrel.log") names.push_back(entry.path().filename().string());
        ASSERT_EQ(names.size(), 1u) << c.old;
        EXPECT_TRUE(std::regex_match(names[0], std::regex(std::string("zandrel_[0-9]{6}_[0-9]{6}_") + c.kind + "\\.log")))
            << names[0] << " for " << c.old;
        EXPECT_LE(before, names[0].substr(8, 13));
        EXPECT_LE(names[0].substr(8, 13), after);
        EXPECT_EQ(ZTestReadFile("sub/" + names[0]), c.old);
        EXPECT_NE(ZTestReadFile("sub/zandrel.log").find(kOpening), std::string::npos);
        std::string archived;
        ZLogClose(archived, true);
    }
}

TEST_F(LogFileTest, CleanCloseWritesTheMarkerLastAndArchivesClean) {
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    ZLOG(L"ACTIVITY: something happened");
    const std::string before = stampNow();
    std::string archived;
    ZLogClose(archived, true);
    const std::string after = stampNow();
    EXPECT_FALSE(std::filesystem::exists("zandrel.log"));
    const std::string name = onlyArchive("clean", before, after);
    EXPECT_EQ(archived, name);
    const std::string text = ZTestReadFile(name);
    EXPECT_NE(text.find(": ./base/LogFileTest.cpp("), std::string::npos) << text;
    EXPECT_NE(text.find("] ACTIVITY: something happened\n"), std::string::npos) << text;
    ASSERT_GT(text.size(), 35u);
    EXPECT_EQ(text.substr(text.size() - 35), std::string(": ") + kClean + "\n");

    // Later lines go nowhere, and the next run sees a clean old log.
    ZLOG(L"after close");
    EXPECT_EQ(ZTestReadFile(name), text);
    ASSERT_TRUE(std::filesystem::remove(name));
    ZTestWriteFile("zandrel.log", text);
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    EXPECT_EQ(onlyArchive("clean", before, stampNow()).size(), name.size());
}

TEST_F(LogFileTest, DirtyCloseArchivesDirtyAndTheNextOpenAgrees) {
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    const std::string before = stampNow();
    std::string archived;
    ZLogClose(archived, false);
    const std::string name = onlyArchive("dirty", before, stampNow());
    EXPECT_EQ(archived, name);
    const std::string text = ZTestReadFile(name);
    EXPECT_EQ(text.substr(text.size() - std::strlen(kDirty) - 1), std::string(kDirty) + "\n");
    ASSERT_TRUE(std::filesystem::remove(name));
    ZTestWriteFile("zandrel.log", text);
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    EXPECT_EQ(onlyArchive("dirty", before, stampNow()).size(), name.size());
}

TEST_F(LogFileTest, CloseWithoutAnOpenLogGivesAnEmptyNameAndWritesNothing) {
    ZLogCapture log;
    std::string archived = "previous";
    testing::internal::CaptureStdout();
    ZLogClose(archived, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(archived, "");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_TRUE(archives().empty());
    EXPECT_FALSE(std::filesystem::exists("zandrel.log"));
}

TEST_F(LogFileTest, EchoSendsLinesWithoutStampToStandardOutput) {
    ASSERT_TRUE(ZLogOpen(L"zandrel", true));
    testing::internal::CaptureStdout();
    ZLogWrite(L"echoed line \x00E9\n");
    std::string archived;
    ZLogClose(archived, true);
    ZLogWrite(L"closed but echoed\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "echoed line \xC3\xA9\n" + std::string(kClean) + "\nclosed but echoed\n");
    const std::string text = ZTestReadFile(archived);
    EXPECT_NE(text.find(": echoed line \xC3\xA9\n"), std::string::npos);
    EXPECT_EQ(text.find("closed but echoed"), std::string::npos);
}

TEST_F(LogFileTest, TheTerminalFilterEchoesWarningsAndMilestonesAndTheFileKeepsEveryLine) {
    struct Case {
        const wchar_t* line;
        bool echoed;
    };
    const Case cases[] = {
        {L"Version: Zandrel/764\n", true},
        {L"Command Line: -log x\n", false},
        {L"System: OS=Linux(6,1)[0.0]#1, RAM=1/2MB\n", false},
        {L"a.cpp(1): [ZDispatchService::_filePacket] (a@zandrel.net) [Online] PING response received from "
         L"(127.0.0.1:24005) on (127.0.0.1:5000)\n",
         false},
        {L"a.cpp(1): [ZDispatchService::_changeState] (a) [Registering] Changing state from 'Registering' to "
         L"'Online'\n",
         false},
        {L"a.cpp(1): [ZSIPService::_changeState] (a) [Getting buddy list] Changing state to 'Online'\n", false},
        {L"a.cpp(1): [ZInstance::logDump] SETTINGS: local_password: ********\n", false},
        {L"a.cpp(1): [x] ALSA: function snd_func_card_inum returned error: No such device\n", false},
        {L"a.cpp(1): [x] WARNING Cannot read 'a.log', skipping.\n", true},
        {L"ZLogOpen: ERROR Cannot open log file 'zandrel.log', ignoring.\n", true},
        {L"a.cpp(50): [ZClient::_processAUTHENTICATEResponse] (alice) [Authenticating...] Request 'AUTHENTICATE' "
         L"succeeded, logged into account 'alice@zandrel.net'\n",
         true},
        {L"a.cpp(113): [ZClient::_processAUTHENTICATEResponse] (alice) [Authenticating...] Request 'AUTHENTICATE' "
         L"failed with response 403 Incorrect name or password\n",
         true},
        {L"a.cpp(50): [ZClient::_changeState] (alice@zandrel.net) [Connecting...] Changing state to 'Online'\n", true},
        {L"a.cpp(50): [ZClient::_changeState] (alice@zandrel.net) [Logging off...] Changing state to 'Offline'\n",
         true},
        {L"---- Closed, Clean shutdown ----\n", true},
    };
    ZLogSetEchoFilter(ZLogIsForTheTerminal);
    ASSERT_TRUE(ZLogOpen(L"zandrel", true));
    testing::internal::CaptureStdout();
    std::string expected;
    for (const Case& c : cases) {
        ZLogWrite(c.line);
        if (c.echoed) expected += ZToUTF8(c.line);
    }
    const std::string echoed = testing::internal::GetCapturedStdout();
    ZLogSetEchoFilter(nullptr);
    EXPECT_EQ(echoed, expected);
    const std::string text = ZTestReadFile("zandrel.log");
    for (const Case& c : cases) EXPECT_NE(text.find(": " + ZToUTF8(c.line)), std::string::npos) << ZToUTF8(c.line);
}

TEST_F(LogFileTest, OnlyTheNamesOfArchivedLogsAreTakenForOurs) {
    struct Case {
        const wchar_t* name;
        bool ours;
    };
    const Case cases[] = {
        {L"zandrel_261210_101010_clean.log", true},
        {L"zandrel_261210_101010_dirty.log", true},
        {L"ZANDREL_261210_101010_CLEAN.LOG", true},
        {L"zandrel.log", false},
        {L"service.log", false},
        {L"old_clean.log", false},
        {L"zandrel_2612_1010_clean.log", false},
        {L"zandrel_261210_10101x_clean.log", false},
        {L"zandrel_261210_101010_clean.log.1", false},
        {L"zandrel_261210_101010_other.log", false},
        {L"other_261210_101010_clean.log", false},
        {L"xzandrel_261210_101010_clean.log", false},
    };
    // The names follow the base name the log was opened under.
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    for (const Case& c : cases) EXPECT_EQ(ZLogIsArchivedName(c.name), c.ours) << ZToUTF8(c.name);
}

TEST_F(LogFileTest, WithEchoOffAndNoFileALineGoesNowhere) {
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    std::string archived;
    ZLogClose(archived, true);
    const std::string text = ZTestReadFile(archived);
    testing::internal::CaptureStdout();
    ZLogWrite(L"lost\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ZTestReadFile(archived), text);
    EXPECT_FALSE(std::filesystem::exists("zandrel.log"));
}

TEST_F(LogFileTest, ALogHeldByARunningInstanceIsLeftAlone) {
    ZTestWriteFile("zandrel.log", "the running instance's log\n");
    // The other instance holds its lock on its own open file.
    const int other = open("zandrel.log", O_RDWR | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ZLogOpen(L"zandrel", false));
    const std::string echoed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(echoed, std::regex("ZLogOpen: ERROR Cannot open rename 'zandrel\\.log' to "
                                                    "'zandrel_[0-9]{6}_[0-9]{6}_dirty\\.log' and thus can't open "
                                                    "logfile, ignoring\\.\n")))
        << echoed;
    EXPECT_EQ(ZTestReadFile("zandrel.log"), "the running instance's log\n");
    EXPECT_TRUE(archives().empty());
    close(other);

    // Once it is gone the log is taken over.
    EXPECT_TRUE(ZLogOpen(L"zandrel", false));
    EXPECT_EQ(archives().size(), 1u);
}

TEST_F(LogFileTest, OurOwnOpenLogLocksOutASecondOpener) {
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    const int other = open("zandrel.log", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ZLogOpen(L"zandrel", false));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("ZLogOpen: ERROR Cannot open rename 'zandrel.log'"),
              std::string::npos);
    // The log that is open stays open and keeps its lines.
    ZLOG(L"still here");
    EXPECT_NE(ZTestReadFile("zandrel.log").find("still here"), std::string::npos);
}

TEST_F(LogFileTest, ALogThatCannotBeCreatedIsReportedOnStandardOutput) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ZLogOpen(L"missing/zandrel", false));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "ZLogOpen: ERROR Cannot open log file 'missing/zandrel.log', ignoring.\n");
    std::string archived = "x";
    ZLogClose(archived, true);
    EXPECT_EQ(archived, "");
}

TEST_F(LogFileTest, LinesFromManyThreadsStayWholeWhileTheLogIsReopened) {
    std::atomic<bool> stop{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t, &stop] {
            for (int i = 0; !stop.load(); ++i) ZLogWrite(L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L" end\n");
        });
    std::vector<std::string> files;
    for (int round = 0; round < 20; ++round) {
        // A base name per round, so that archives made within one second differ.
        const std::wstring base = L"zan" + std::to_wstring(round);
        ASSERT_TRUE(ZLogOpen(base, false));
        std::string archived;
        ZLogClose(archived, round % 2 == 0);
        files.push_back(archived);
    }
    stop = true;
    for (auto& w : writers) w.join();
    const std::regex whole("[0-9]{6}_[0-9]{6}: (thread [0-3] line [0-9]+ end|" + std::string(kOpening).substr(0, 45) +
                           "|" + kClean + "|" + kDirty + ")");
    for (const std::string& name : files) {
        const std::string text = ZTestReadFile(name);
        ASSERT_FALSE(text.empty()) << name;
        std::size_t start = 0;
        int lines = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            ASSERT_NE(end, std::string::npos) << name;
            const std::string line = text.substr(start, end - start);
            EXPECT_TRUE(std::regex_match(line, whole)) << name << ": " << line;
            start = end + 1;
            ++lines;
        }
        EXPECT_GE(lines, 2);
        EXPECT_EQ(text.rfind(kOpening, 15), 15u) << name;
        EXPECT_TRUE(text.ends_with(std::string(kClean) + "\n") || text.ends_with(std::string(kDirty) + "\n")) << name;
    }
}

TEST_F(LogFileTest, OpeningUnderANewBaseNameLetsTheOldLogGo) {
    ASSERT_TRUE(ZLogOpen(L"first", false));
    ASSERT_TRUE(ZLogOpen(L"second", false));
    ZLOG(L"to the second log");
    EXPECT_EQ(ZTestReadFile("first.log").find("to the second log"), std::string::npos);
    EXPECT_NE(ZTestReadFile("second.log").find("to the second log"), std::string::npos);
    // The first log is no longer held, so a later start takes it over.
    ASSERT_TRUE(ZLogOpen(L"first", false));
    bool dirtyArchive = false;
    for (const std::string& name : archives())
        dirtyArchive |= std::regex_match(name, std::regex("first_[0-9]{6}_[0-9]{6}_dirty\\.log"));
    EXPECT_TRUE(dirtyArchive);
}

namespace {

std::int64_t g_logNow = 0;
std::int64_t logNow() { return g_logNow; }

// One call site, as a receiver's warning about a stranger's datagram is.
int g_junkLine = 0;
void junk(int i) {
    g_junkLine = __LINE__ + 1;
    ZLOG(L"WARNING Received junk datagram #" << i << L" from (10.9.8.7:4000), ignoring.");
}

std::size_t countOf(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace

TEST_F(LogFileTest, AFloodFromOneCallSiteIsCountedNotWritten) {
    g_logNow = 5000000000;
    _ZLogSetClock(logNow);
    ASSERT_TRUE(ZLogOpen(L"zandrel", false));
    // A stranger's junk datagrams, a warning each, 5000 a second for 10 s,
    // beside a line of another site once a second.
    const int kPerSecond = 5000;
    for (int second = 0; second < 10; ++second) {
        for (int i = 0; i < kPerSecond; ++i) junk(i);
        ZLOG(L"ACTIVITY: second " << second);
        g_logNow += 1000000;
    }
    junk(-1);  // the first line of a new second tells what the last one held back
    std::string archived;
    ZLogClose(archived, true);
    _ZLogSetClock(nullptr);
    const std::string text = ZTestReadFile(archived);
    const std::size_t junkLines = countOf(text, "] WARNING Received junk datagram #");
    EXPECT_EQ(junkLines, static_cast<std::size_t>(10 * ZLOG_LINES_PER_SECOND + 1));
    // Every line written is whole, and what was held back is counted.
    EXPECT_EQ(countOf(text, " from (10.9.8.7:4000), ignoring.\n"), junkLines);
    const std::string report = "WARNING " + std::to_string(kPerSecond - ZLOG_LINES_PER_SECOND) + " further lines of '";
    EXPECT_EQ(countOf(text, report), 10u) << text.substr(0, 2000);
    EXPECT_EQ(countOf(text, "LogFileTest.cpp(" + std::to_string(g_junkLine) + "): [{anonymous}::junk]' were suppressed.\n"), 10u);
    EXPECT_EQ(countOf(text, "] ACTIVITY: second "), 10u);
    EXPECT_LT(text.size(), 200u * 1000) << "about 1,000,000 bytes without a limit";
}
