// zandrel-server: every role of the Zandrel service in one foreground process.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "ZPortable_Text.h"
#include "ZServerService.h"
#include "ZUtil.h"

namespace {

ZServerService* g_service = nullptr;
std::mutex g_logMutex;

void logToStandardError(const std::wstring& line) {
    const std::string bytes = ZToUTF8(line);
    std::lock_guard<std::mutex> guard(g_logMutex);
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
    std::fflush(stderr);
}

void abortNow() { std::abort(); }

void onStopSignal(int) {
    if (g_service) g_service->requestStop();
}

}  // namespace

int main(int argc, char** argv) {
    ZSetDebugHooks(logToStandardError, ZCallStackDumpCurrent, abortNow);
    std::vector<std::string> args(argv + 1, argv + argc);
    ZServerConfig config;
    bool help = false;
    std::string error;
    if (!ZServerParseOptions(args, config, help, error)) {
        std::fprintf(stderr, "zandrel-server: %s\n%s", error.c_str(), ZServerUsage().c_str());
        return 2;
    }
    if (help) {
        std::fputs(ZServerUsage().c_str(), stdout);
        return 0;
    }
    ZLogSetFilter(config.logFilter);

    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);

    ZServerService service(config);
    if (!service.start(error)) {
        std::fprintf(stderr, "zandrel-server: %s\n", error.c_str());
        return 1;
    }
    g_service = &service;
    struct sigaction stop {};
    stop.sa_handler = onStopSignal;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    ZLOG(L"ACTIVITY: " << ZFromUTF8(service.readyLine()));
    std::printf("%s\n", service.readyLine().c_str());
    std::fflush(stdout);
    const bool ok = service.run();
    g_service = nullptr;
    ZLOG(L"ACTIVITY: zandrel-server stopped " << (ok ? L"cleanly" : L"after a failure"));
    return ok ? 0 : 1;
}
