// The process entry. The three lines WinMain logs with its own prefix keep
// the line numbers their readers know (101, 112 and 127), so the code below
// is laid out to hold them there.
#include <string>

#include "ZNonPortable.h"
#include "ZObject.h"
#include "ZOptionMap.h"
#include "ZPortable.h"
#include "ZUtil.h"
#include "ZUtil_File.h"
#include "ZUtil_LogFile.h"
#include "ZWinMain.h"

namespace {

const wchar_t kAlreadyRunningText[] =
    L"Another instance of Zandrel might already be running:\n\n"
    L"- To keep the old instance and shut down the new, click Cancel\n"
    L"- To keep the new instance after closing the old, click Try Again\n"
    L"- To keep both instances, click Continue.";

const char kUpgradeFile[] = "upgrade.exe";

struct ZBodyCall {
    void* hInstance;
    void* hPrevInstance;
    char* lpCmdLine;
    int nShowCmd;
    int result;
};

void runBody(void* context) {
    auto* call = static_cast<ZBodyCall*>(context);
    call->result = ZWinMainCatch(call->hInstance, call->hPrevInstance, call->lpCmdLine, call->nShowCmd);
}

// The log could not be opened: another instance may hold it. False when
// the user chose to end this one.
bool openLogOrAsk(bool echo) {
    // The terminal shows what a person needs; the file keeps every line.
    ZLogSetEchoFilter(ZLogIsForTheTerminal);
    while (!ZLogOpen(L"zandrel", echo)) {
        const int answer = ZSystemMessageBox(L"Zandrel Already Running", kAlreadyRunningText,
                                             ZMB_CANCELTRYCONTINUE | ZMB_ICONEXCLAMATION | ZMB_DEFBUTTON2);
        if (answer == ZID_TRYAGAIN) continue;
        if (answer == ZID_CONTINUE) return true;
        return false;
    }
    return true;
}

void logStartUpLines(const std::string& commandLine) {
    std::wstring version = L"Version: ";
    version << ZPRODUCT_VERSION << L"\n";
    ZLog(version);
    std::wstring command = L"Command Line: ";
    command << ZOptionMap(commandLine).printableCommandLine() << L"\n";
    ZLog(command);
    ZLog(L"System: " + ZSystemGetDescription() + L"\n");
}

void showRestartFailed(const std::string& command, const std::string& error) {
    std::wstring text = L"Zandrel was unable to automatically restart itself.\r\n";
    text << L"'" << error << L"'\r\n" << L"Please restart Zandrel manually.\r\n" << L"(" << command << L")";
    ZSystemMessageBox(L"Auto-Restart Failed", text, ZMB_ICONERROR);
}

}  // namespace

int ZWinMainCatch(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd) {
    try {
        return ZWinMain(hInstance, hPrevInstance, lpCmdLine, nShowCmd);
    } catch (const std::exception& e) {
        std::wstring line = L"Zandrel: ERROR Uncaught 'exception' exception in thread 'WinMain'. (";
        line << e.what() << L")\n";
        ZLog(line);
        ZCrashHandler();
    }
    return 0;
}

int ZWinMainSafe(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd) {
    ZBodyCall call{hInstance, hPrevInstance, lpCmdLine, nShowCmd, 0};
    if (!_ZPGuard(runBody, &call)) return 0;
    return call.result;
}

int WinMain(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd) {
    ZSystemSetInstance(hInstance);
    const std::string commandLine = lpCmdLine ? lpCmdLine : "";
    ZOptionMap options(commandLine);
    const std::string restartCommand =
        options.isSet("norestart") ? std::string() : ZToUTF8(ZSystemGetExecutablePath());
    ZInitializePortable(restartCommand, "-log x");
    if (!openLogOrAsk(!options.isSet("silent"))) return 0;
    logStartUpLines(commandLine);
    // The filter comes from the command line; a crash restart passes "x",
    // so the restarted program logs every lower-case category. An absent
    // option clears the filter.
    const std::string filter = options.get("log");
    ZLogSetFilter(filter);
    if (ZLogIsEnabled('l')) {
        ZLOG(L"Setting log filter: '" << filter << L"'");
    }
    const bool upgraded = options.isSet("upgraded");
    const std::wstring upgradeFile = ZFromUTF8(kUpgradeFile);
    if (upgraded) {
        ZLog(L"Started from upgrade\n");
        // The installer may still be ending and holding its file: at most
        // four attempts with three waits between them. What cannot be
        // deleted stays, and is never executed in this start.
        int counter = 3;
        while (ZFileExists(upgradeFile) && !ZFileDelete(upgradeFile) && counter-- >= 1) {
            ZLOG(L"WARNING: Cannot delete 'upgrade.exe', waiting a bit and trying again " << counter << L" more times.");
            ZThreadSleep(500000);
        }
    }
    bool restart = false;
    // An installer still there after an upgrade could not be deleted: running
    // it again would loop install and restart for ever, so only a fresh
    // download is executed.
    if (!upgraded && ZFileExists(upgradeFile)) {
        std::string error;
        if (ZSystemExecute(kUpgradeFile, "", error)) {
            ZLog(L"Executed 'upgrade.exe', shutting down.\n");
        } else {
            // The download cannot run here (no execute bit, not found):
            // drop it and start normally.
            ZLOG(L"WARNING Unable to execute 'upgrade.exe', because '" << error << L"'; deleting and ignoring.");
            ZFileDelete(upgradeFile);
            restart = ZWinMainSafe(hInstance, hPrevInstance, lpCmdLine, nShowCmd) != 0;
        }
    } else {
        restart = ZWinMainSafe(hInstance, hPrevInstance, lpCmdLine, nShowCmd) != 0;
    }
    ZHeapObject::logStatus();
    std::string archived;
    ZLogClose(archived, true);
    ZUninitializeNonPortable();
    if (restart) {
        std::string error;
        if (!ZSystemExecute(restartCommand, "", error)) {
            // Without a command (-norestart) nothing says why: name the
            // program and the reason, in the box and in a log of its own,
            // since this run's log is closed already.
            const std::string program = restartCommand.empty() ? ZToUTF8(ZSystemGetExecutablePath()) : restartCommand;
            if (error.empty()) error = restartCommand.empty() ? "Restarting is turned off (-norestart)." : "Unknown error.";
            const bool logged = ZLogOpen(L"zandrel", false);
            ZLOG(L"WARNING Unable to restart '" << program << L"', because '" << error << L"'.");
            showRestartFailed(program, error);
            std::string ignored;
            if (logged) ZLogClose(ignored, true);
        }
    }
    return restart ? 1 : 0;
}

int ZProcessMain(int argc, char** argv) {
    std::string commandLine;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) commandLine += ' ';
        commandLine += argv[i];
    }
    return WinMain(nullptr, nullptr, commandLine.data(), 1);
}
