// zandrel-server: every role of the Zandrel service in one foreground process.
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

// Each line starts with the UTC time to the millisecond; control characters
// (which peers can put into method names and fields) are written as '?', so
// a line never carries a terminal escape or a second line.
void logToStandardError(const std::wstring& line) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char stamp[96];
    std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02d %02d:%02d:%02d.%03dZ ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
    std::wstring clean = line;
    const std::size_t body = !clean.empty() && clean.back() == L'\n' ? clean.size() - 1 : clean.size();
    for (std::size_t i = 0; i < body; ++i)
        if (clean[i] < 0x20 || clean[i] == 0x7f) clean[i] = L'?';
    const std::string bytes = stamp + ZToUTF8(clean);
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
        std::fprintf(stderr, "zandrel-server: %s\nTry 'zandrel-server --help' for the options.\n", error.c_str());
        return 2;
    }
    if (help) {
        std::fputs(ZServerUsage().c_str(), stdout);
        return 0;
    }
    ZLogSetFilter(config.logFilter);
    if (config.nofile > 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(static_cast<rlim_t>(config.nofile), limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
            std::fprintf(stderr, "zandrel-server: cannot set the descriptor limit to %d\n", config.nofile);
            return 1;
        }
    }

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
    sigaction(SIGHUP, &stop, nullptr);

    std::printf("%s\n", service.readyLine().c_str());
    std::fflush(stdout);
    const bool ok = service.run();
    g_service = nullptr;
    ZLOG(L"ACTIVITY: zandrel-server stopped " << (ok ? L"cleanly" : L"after a failure"));
    return ok ? 0 : 1;
}
