#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

int g_out = -1;

void lineToPipe(const std::wstring& line) {
    const std::string utf8 = ZToUTF8(line);
    ssize_t ignored = write(g_out, utf8.data(), utf8.size());
    (void)ignored;
}

void returningAbortHandler() {
    const char text[] = "abort handler ran\n";
    ssize_t ignored = write(g_out, text, sizeof text - 1);
    (void)ignored;
}

// Runs the signal in a child that started the layer; gives its lines and
// exit status.
std::string signalledChild(int sig, ZAbortHandler handler, int& status) {
    int fds[2];
    if (pipe(fds) != 0) return "(no pipe)";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        g_out = fds[1];
        ZSetDebugHooks(lineToPipe, nullptr, nullptr);
        ZInitializeNonPortable(handler);
        kill(getpid(), sig);
        _exit(3);  // not reached: the handler ends the process
    }
    close(fds[1]);
    std::string lines;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) lines.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    waitpid(child, &status, 0);
    return lines;
}

}  // namespace

TEST(ZPOnSignal, ASignalFromOutsideIsNamedRunsTheAbortHandlerAndEndsTheProcess) {
    const struct {
        int sig;
        const char* name;
    } cases[] = {{SIGSEGV, "SIGSEGV"}, {SIGABRT, "SIGABRT"}, {SIGFPE, "SIGFPE"}, {SIGILL, "SIGILL"}, {SIGBUS, "SIGBUS"}};
    for (const auto& c : cases) {
        int status = 0;
        const std::string lines = signalledChild(c.sig, returningAbortHandler, status);
        const std::string caught = "[_ZPOnSignal] ERROR Signal '" + std::string(c.name) + "' caught, aborting.\n";
        const std::size_t first = lines.find(caught);
        const std::size_t handler = lines.find("abort handler ran\n");
        const std::size_t last = lines.find("[_ZPOnSignal] ERROR Abort handler not yet set, exiting.\n");
        ASSERT_NE(first, std::string::npos) << lines;
        EXPECT_LT(first, handler) << lines;
        EXPECT_LT(handler, last) << lines;
        EXPECT_NE(last, std::string::npos) << lines;
        ASSERT_TRUE(WIFEXITED(status)) << c.name;
        EXPECT_EQ(WEXITSTATUS(status), 255) << c.name;
    }
}

TEST(ZPOnSignal, WithoutAnAbortHandlerItStillLogsAndExits) {
    int status = 0;
    const std::string lines = signalledChild(SIGSEGV, nullptr, status);
    EXPECT_NE(lines.find("ERROR Signal 'SIGSEGV' caught, aborting.\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("ERROR Abort handler not yet set, exiting.\n"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("abort handler ran"), std::string::npos);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
}

// SIGTERM and SIGINT are stop requests: the loop logs the signal and quits,
// or hands the request to the program's stop handler, which then decides.
TEST(ZPOnSignal, StopSignalsReachTheStopHandlerOrQuitTheLoop) {
    for (const int sig : {SIGTERM, SIGINT}) {
        for (const bool withHandler : {false, true}) {
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            const pid_t child = fork();
            if (child == 0) {
                close(fds[0]);
                g_out = fds[1];
                ZSetDebugHooks(lineToPipe, nullptr, nullptr);
                ZInitializeNonPortable(returningAbortHandler);
                static int handled = 0;
                if (withHandler)
                    ZSystemSetStopHandler([](void*) { ++handled == 1 ? (void)kill(getpid(), SIGINT) : ZWinPostQuit(1); },
                                          nullptr);
                kill(getpid(), sig);
                bool restart = false;
                while (ZWinUpdate(&restart)) {
                }
                lineToPipe(restart ? L"quit restart\n" : L"quit\n");
                _exit(handled);
            }
            close(fds[1]);
            std::string lines;
            char buffer[512];
            for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
                lines.append(buffer, static_cast<std::size_t>(n));
            close(fds[0]);
            int status = 0;
            waitpid(child, &status, 0);
            const std::string name = sig == SIGINT ? "SIGINT" : "SIGTERM";
            EXPECT_NE(lines.find("[_ZPOnSignal] WARNING System signalled " + name + "\n"), std::string::npos) << lines;
            ASSERT_TRUE(WIFEXITED(status)) << lines;
            // The handler ran for the signal and for the second one it raised,
            // and the loop ended only when the handler quit it.
            EXPECT_EQ(WEXITSTATUS(status), withHandler ? 2 : 0) << lines;
            EXPECT_NE(lines.find(withHandler ? "quit restart\n" : "quit\n"), std::string::npos) << lines;
        }
    }
}

namespace {
void queryAltStack(void* param) {
    stack_t current{};
    sigaltstack(nullptr, &current);
    *static_cast<bool*>(param) = !(current.ss_flags & SS_DISABLE) && current.ss_size >= 65536;
}
}  // namespace

TEST(ZInitializeNonPortable, IgnoresSigpipeGivesThreadsASignalStackAndRestoresAtShutDown) {
    struct sigaction before{};
    sigaction(SIGPIPE, nullptr, &before);
    ZInitializeNonPortable(nullptr);
    struct sigaction during{};
    sigaction(SIGPIPE, nullptr, &during);
    EXPECT_EQ(during.sa_handler, SIG_IGN);
    bool hasStack = false;
    ZThreadClose(ZThreadOpen(L"StackProbe", queryAltStack, &hasStack));
    EXPECT_TRUE(hasStack);
    ZUninitializeNonPortable();
    struct sigaction after{};
    sigaction(SIGPIPE, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
}
