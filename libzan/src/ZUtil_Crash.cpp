// The crash handler and the base library's start-up, which installs it.
#include <unistd.h>

#include <atomic>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZUtil.h"
#include "ZWinMain.h"

namespace {

std::string g_restartCommand;
std::string g_restartArguments;
// One crashing thread runs the handler; any later caller waits and exits.
std::atomic<bool> g_handlerEntered{false};

// Every echoed line was flushed when written; flushing again could wait for
// a stream lock that the crashed code holds.
[[noreturn]] void endProcess() { _exit(255); }

}  // namespace

void ZInitializePortable(const std::string& restartCommand, const std::string& restartArguments) {
    g_restartCommand = restartCommand;
    g_restartArguments = restartArguments;
    ZInitializeNonPortable(ZCrashHandler);
    ZSetDebugHooks(ZLogWrite, ZCallStackDumpCurrent, ZCrashHandler);
    ZThreadSetLocalDestructor(_ZCallDestructor);
}

void ZCrashHandler() {
    if (g_handlerEntered.exchange(true)) {
        // A second thread crashed, or the handler itself failed: give the
        // first one time to finish.
        ZThreadSleep(5000000);
        endProcess();
    }
    ZDebugSetCrashing();
    ZLog(L"---- ERROR: UNCLEAN SHUTDOWN ----\n");
    ZCallStackDump(ZThreadCurrentId());
    const bool restart = ZDebugCaptureCrashInfo();
    std::string archived;
    if (!restart || g_restartCommand.empty()) {
        ZLog(L"-- Auto-restart declined. --\n");
        ZLogClose(archived, false);
    } else {
        const std::string command = g_restartCommand + " " + g_restartArguments;
        std::wstring line = L"-- Trying to auto-restart '";
        line << command << L"' --\n";
        ZLog(line);
        ZLogClose(archived, false);
        std::string error;
        if (!ZSystemExecute(g_restartCommand, g_restartArguments, error))
            ZPMailSend("crash@zandrel.invalid", "support@zandrel.invalid", "RESTART FAILED: '" + command + "'",
                       error);
    }
    endProcess();
}
