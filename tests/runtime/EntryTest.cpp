// The process entry run for real: the stand-in program plays the client.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ZProcessTestSupport.h"
#include "ZTestSupport.h"

namespace {

std::string onlyLog(const ZTempDir& dir, const std::string& suffix) {
    const auto logs = ZArchivedLogs(dir.path(), suffix);
    EXPECT_EQ(logs.size(), 1u) << suffix;
    return logs.empty() ? std::string() : ZTestReadFile(logs[0]);
}

int countOf(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool endsWithLine(const std::string& text, const std::string& line) {
    const std::string tail = line + "\n";
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(WinMain, ACleanRunWritesTheStartUpLinesAndClosesTheLogClean) {
    ZTempDir dir;
    ZChildProcesses children;
    children.start(dir.path(), {"-log", "lt"});
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 0);
    const std::string log = onlyLog(dir, "_clean.log");
    EXPECT_NE(log.find(": Version: Zandrel/764\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": Command Line: -log lt\n"), std::string::npos);
    EXPECT_NE(log.find(": System: OS="), std::string::npos);
    EXPECT_NE(log.find("./src/ZWinMain.cpp(104): [WinMain] Setting log filter: 'lt'\n"), std::string::npos) << log;
    EXPECT_NE(log.find("stand-in body runs"), std::string::npos);
    EXPECT_NE(log.find("] Leaked Object Tally: (none)\n"), std::string::npos);
    EXPECT_TRUE(endsWithLine(log, "---- Closed, Clean shutdown ----")) << log;
    EXPECT_FALSE(ZTestReadFile(dir.file("zandrel.log")).size());
    // The echo went to standard output, only the lines a person needs: the
    // other start-up lines stay in the file.
    EXPECT_NE(children.output().find("Version: Zandrel/764"), std::string::npos);
    EXPECT_EQ(children.output().find("Command Line:"), std::string::npos) << children.output();
    EXPECT_EQ(children.output().find("System: OS="), std::string::npos) << children.output();
    EXPECT_EQ(children.output().find("Setting log filter"), std::string::npos) << children.output();
    EXPECT_EQ(children.runs().size(), 1u);
}

TEST(WinMain, SilentOnlyTurnsTheEchoOff) {
    ZTempDir dir;
    ZChildProcesses children;
    children.start(dir.path(), {"-silent"});
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 0);
    EXPECT_EQ(children.output().find("Version: Zandrel/764"), std::string::npos);
    const std::string log = onlyLog(dir, "_clean.log");
    EXPECT_NE(log.find(": Version: Zandrel/764\n"), std::string::npos);
    // Without the 'l' category there is no filter line.
    EXPECT_EQ(log.find("Setting log filter"), std::string::npos);
}

TEST(WinMain, SigtermShutsDownCleanly) {
    ZTempDir dir;
    ZChildProcesses children;
    const pid_t pid = children.start(dir.path(), {"-standin", "wait"});
    ASSERT_TRUE(children.readUntil("stand-in ready"));
    kill(pid, SIGTERM);
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 0);
    const std::string log = onlyLog(dir, "_clean.log");
    EXPECT_NE(log.find("): [_ZPOnSignal] WARNING System signalled SIGTERM\n"), std::string::npos) << log;
    EXPECT_TRUE(endsWithLine(log, "---- Closed, Clean shutdown ----"));
}

TEST(WinMain, ARestartAskedByTheBodyStartsTheProgramAgainWithoutArguments) {
    ZTempDir dir;
    ZChildProcesses children;
    children.start(dir.path(), {"-standin", "restart"});
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 1);
    ASSERT_EQ(children.runs().size(), 2u) << children.output();
    EXPECT_NE(children.output().find("argv: " + ZChildProcesses::standInPath() + "\n"), std::string::npos);
    // Both runs wrote a log; within one second the second keeps the plain
    // name, as archives never replace each other.
    auto logs = ZArchivedLogs(dir.path(), "_clean.log");
    logs.push_back(dir.file("zandrel.log"));
    int commandLines = 0;
    for (const auto& path : logs) commandLines += countOf(ZTestReadFile(path), ": Command Line: ");
    EXPECT_EQ(commandLines, 2);
}

TEST(WinMain, WithNorestartARequestedRestartFailsAloudAndStillReturnsTheFlag) {
    ZTempDir dir;
    ZChildProcesses children;
    // A display that refuses the connection: the box answers by itself and says so.
    children.start(dir.path(), {"-norestart", "-standin", "restart", "-password", "secret"}, ":29999");
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 1);
    EXPECT_EQ(children.runs().size(), 1u);
    // The restart's lines go to a log of their own, archived or, within the
    // same second, left as it is.
    std::string logs = ZTestReadFile(dir.file("zandrel.log"));
    for (const std::string& path : ZArchivedLogs(dir.path(), "_clean.log")) logs += ZTestReadFile(path);
    EXPECT_NE(logs.find("WARNING Unable to restart '" + ZChildProcesses::standInPath() +
                        "', because 'Restarting is turned off (-norestart).'.\n"),
              std::string::npos)
        << logs;
    EXPECT_EQ(countOf(logs, "WARNING Unable to open display ':29999', answering 'Auto-Restart Failed' unasked.\n"), 1)
        << logs;
    EXPECT_NE(logs.find(": Command Line: -norestart -standin restart -password ********\n"), std::string::npos);
    EXPECT_EQ(logs.find("secret"), std::string::npos);
}

// Outside signals, faults in service threads, exceptions and failed checks
// all end in the crash handler: call stack, dirty log, restart with "-log x".
TEST(ZCrashHandler, AKillSegvLogsTheCrashClosesDirtyAndRestartsWithLogX) {
    ZTempDir dir;
    ZChildProcesses children;
    const pid_t pid = children.start(dir.path(), {"-standin", "wait"});
    ASSERT_TRUE(children.readUntil("stand-in ready"));
    kill(pid, SIGSEGV);
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 255);
    const std::string log = onlyLog(dir, "_dirty.log");
    EXPECT_NE(log.find("): [_ZPOnSignal] ERROR Signal 'SIGSEGV' caught, aborting.\n"), std::string::npos) << log;
    EXPECT_EQ(countOf(log, ": ---- ERROR: UNCLEAN SHUTDOWN ----\n"), 1);
    EXPECT_NE(log.find("---- Call Stack for Thread #0x"), std::string::npos);
    EXPECT_NE(log.find("-- No User Comment Supplied --\n"), std::string::npos);
    const std::string command = ZChildProcesses::standInPath() + " -log x";
    EXPECT_NE(log.find(": -- Trying to auto-restart '" + command + "' --\n"), std::string::npos);
    EXPECT_TRUE(endsWithLine(log, "---- Closed, ERROR Dirty shutdown ----"));
    // The restarted program ran with exactly "-log x" and ended clean.
    ASSERT_EQ(children.runs().size(), 2u) << children.output();
    EXPECT_NE(children.output().find("argv: " + command + "\n"), std::string::npos);
    const std::string restarted = onlyLog(dir, "_clean.log");
    EXPECT_NE(restarted.find(": Command Line: -log x\n"), std::string::npos);
}

TEST(ZCrashHandler, ANullWriteInAServiceThreadIsNamedAndNorestartDeclines) {
    ZTempDir dir;
    ZChildProcesses children;
    children.start(dir.path(), {"-norestart", "-standin", "nullthread"});
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 255);
    const std::string log = onlyLog(dir, "_dirty.log");
    EXPECT_NE(log.find("): [_ZPInfoExceptFilter] ERROR Uncaught 'STATUS_ACCESS_VIOLATION' exception.\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(countOf(log, ": ---- ERROR: UNCLEAN SHUTDOWN ----\n"), 1);
    EXPECT_NE(log.find(": -- Auto-restart declined. --\n"), std::string::npos);
    EXPECT_EQ(children.runs().size(), 1u);
    // The dump after the shutdown line names the faulting thread's scope.
    const std::string dump = log.substr(log.find("---- ERROR: UNCLEAN SHUTDOWN ----"));
    EXPECT_NE(dump.find("):  [{anonymous}::writeNull] (function)\n"), std::string::npos) << log;
}

TEST(ZCrashHandler, TwoThreadsCrashingAtOnceRunTheHandlerOnce) {
    ZTempDir dir;
    ZChildProcesses children;
    children.start(dir.path(), {"-norestart", "-standin", "twothreads"});
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 255);
    const std::string log = onlyLog(dir, "_dirty.log");
    EXPECT_GE(countOf(log, "ERROR Uncaught 'STATUS_ACCESS_VIOLATION' exception.\n"), 1);
    EXPECT_EQ(countOf(log, ": ---- ERROR: UNCLEAN SHUTDOWN ----\n"), 1) << log;
    EXPECT_EQ(countOf(log, ": -- Auto-restart declined. --\n"), 1);
}

TEST(ZCrashHandler, AnExceptionOrAFailedCheckInTheBodyEndsTheSameWay) {
    const struct {
        const char* what;
        const char* line;
    } cases[] = {
        {"throw", ": Zandrel: ERROR Uncaught 'exception' exception in thread 'WinMain'. (stand-in body threw)\n"},
        {"precondition", "] ERROR: Precondition failed, aborting. (value > 0)\n"},
    };
    for (const auto& c : cases) {
        ZTempDir dir;
        ZChildProcesses children;
        children.start(dir.path(), {"-norestart", "-standin", c.what});
        ASSERT_TRUE(children.finish());
        EXPECT_EQ(children.status(), 255) << c.what;
        const std::string log = onlyLog(dir, "_dirty.log");
        EXPECT_EQ(countOf(log, c.line), 1) << log;
        EXPECT_EQ(countOf(log, ": ---- ERROR: UNCLEAN SHUTDOWN ----\n"), 1);
        EXPECT_NE(log.find(": -- Auto-restart declined. --\n"), std::string::npos);
    }
}

TEST(ZCrashHandler, TheCrashDumpNamesTheOpenScopesAndTheOneJustClosed) {
    ZTempDir dir;
    ZChildProcesses children;
    children.start(dir.path(), {"-norestart", "-standin", "precondition"});
    ASSERT_TRUE(children.finish());
    const std::string log = onlyLog(dir, "_dirty.log");
    const std::size_t shutdown = log.find("---- ERROR: UNCLEAN SHUTDOWN ----");
    ASSERT_NE(shutdown, std::string::npos) << log;
    const std::size_t head = log.find("---- Call Stack for Thread #0x", shutdown);
    ASSERT_NE(head, std::string::npos) << log;
    // Innermost first: the closed scope, then the open ones outwards.
    const char* const frames[] = {
        "): *[{anonymous}::checkedValue] (function)\n",
        "):  [{anonymous}::failPrecondition] (function)\n",
        "):  [ZWinMain] (function)\n",
    };
    std::size_t at = head;
    for (const char* frame : frames) {
        const std::size_t found = log.find(frame, at);
        ASSERT_NE(found, std::string::npos) << frame << "\n" << log;
        at = found;
    }
}

namespace {
void writeInstaller(const ZTempDir& dir, const std::string& body, bool executable) {
    ZTestWriteFile(dir.file("upgrade.exe"), "#!/bin/sh\n" + body);
    chmod(dir.file("upgrade.exe").c_str(), executable ? 0755 : 0644);
}
}  // namespace

TEST(WinMain, AWaitingInstallerRunsInsteadOfTheBody) {
    ZTempDir dir;
    writeInstaller(dir, "echo \"stand-in pid $$ argv: installer\"\necho installer ran\n", true);
    ZChildProcesses children;
    children.start(dir.path(), {});
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 0);
    EXPECT_NE(children.output().find("installer ran"), std::string::npos);
    const std::string log = onlyLog(dir, "_clean.log");
    EXPECT_NE(log.find(": Executed 'upgrade.exe', shutting down.\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("stand-in body runs"), std::string::npos);
}

TEST(WinMain, AnInstallerWithoutTheExecuteBitIsDeletedAndTheBodyRuns) {
    ZTempDir dir;
    writeInstaller(dir, "echo installer ran\n", false);
    ZChildProcesses children;
    children.start(dir.path(), {});
    ASSERT_TRUE(children.finish());
    const std::string log = onlyLog(dir, "_clean.log");
    EXPECT_NE(log.find("./src/ZWinMain.cpp(130): [WinMain] WARNING Unable to execute 'upgrade.exe', because 'The "
                       "operating system denied access to the specified file.'; deleting and ignoring.\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("stand-in body runs"), std::string::npos);
    EXPECT_FALSE(ZTestReadFile(dir.file("upgrade.exe")).size());
    EXPECT_EQ(children.output().find("installer ran"), std::string::npos);
}

TEST(WinMain, AfterAnUpgradeTheInstallerIsDeletedAndNeverRunAgain) {
    ZTempDir dir;
    writeInstaller(dir, "echo installer ran\n", true);
    ZChildProcesses children;
    children.start(dir.path(), {"-upgraded"});
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 0);
    const std::string log = onlyLog(dir, "_clean.log");
    EXPECT_NE(log.find(": Started from upgrade\n"), std::string::npos);
    EXPECT_NE(log.find("stand-in body runs"), std::string::npos);
    EXPECT_EQ(children.output().find("installer ran"), std::string::npos);
    struct stat info;
    EXPECT_NE(stat(dir.file("upgrade.exe").c_str(), &info), 0);
}

// An installer left behind by an upgrade that cannot be deleted is never
// executed again in that start: executing it would install and restart for
// ever. The folder is sticky and the installer belongs to another user, so
// the program (running as nobody) may write its log but not delete it.
TEST(WinMain, AnUndeletableInstallerAfterAnUpgradeWarnsThreeTimesAndTheBodyRuns) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    ZTempDir dir;
    chmod(dir.path().c_str(), 01777);
    writeInstaller(dir, "echo \"stand-in pid $$ argv: installer\"\necho installer ran\n", true);
    ZChildProcesses children;
    children.start(dir.path(), {"-upgraded"}, "", 65534);
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 0) << children.output();
    const std::string log = onlyLog(dir, "_clean.log");
    for (int left : {2, 1, 0}) {
        const std::string line = "./src/ZWinMain.cpp(115): [WinMain] WARNING: Cannot delete 'upgrade.exe', waiting a bit "
                                 "and trying again " + std::to_string(left) + " more times.\n";
        EXPECT_EQ(countOf(log, line), 1) << log;
    }
    EXPECT_NE(log.find("stand-in body runs"), std::string::npos);
    EXPECT_EQ(log.find("Executed 'upgrade.exe'"), std::string::npos);
    EXPECT_EQ(children.output().find("installer ran"), std::string::npos);
    struct stat info;
    EXPECT_EQ(stat(dir.file("upgrade.exe").c_str(), &info), 0);
}
