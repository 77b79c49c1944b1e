// How long zandrel takes from its start to its sign-in window on the screen,
// beside xmessage, the smallest X program at hand, started the same way in
// the same run: an X event watcher on the root window times each program from
// the fork to the MapNotify of its first top-level window (matched by its
// WM_CLASS), the two programs taking turns; the processor time each had used
// by then is reported beside. One untimed start of each first fills the page
// cache. The client runs in a fresh folder with the default
// skin and no stored password, so it opens the sign-in window and asks no
// service anything.
// Goal: at most 2 times xmessage.
// Needs a display: DISPLAY=:n ./bench_startup (Xvfb will do). Starts
// ../client/zandrel and /usr/bin/xmessage.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <benchmark/benchmark.h>
#include <poll.h>

#include "ZBenchPrograms.h"

using namespace benchprograms;

namespace {

// The root's children are watched from before each fork, so every new
// top-level window and its mapping reach this connection.
class ZMapWatcher {
public:
    ZMapWatcher() : _d(XOpenDisplay(nullptr)) {
        if (_d) XSelectInput(_d, DefaultRootWindow(_d), SubstructureNotifyMask);
    }
    ~ZMapWatcher() {
        if (_d) XCloseDisplay(_d);
    }
    ZMapWatcher(const ZMapWatcher&) = delete;
    ZMapWatcher& operator=(const ZMapWatcher&) = delete;

    bool ok() const { return _d != nullptr; }

    // Drops what earlier runs left on the connection.
    void drain() {
        XSync(_d, False);
        while (XPending(_d)) {
            XEvent e;
            XNextEvent(_d, &e);
        }
    }

    // The time (seconds()) at which a top-level window of the class was
    // mapped, or -1 after the limit.
    double waitForMap(const char* windowClass, double limit = 30) {
        const double since = seconds();
        while (seconds() - since < limit) {
            while (XPending(_d)) {
                XEvent e;
                XNextEvent(_d, &e);
                if (e.type != MapNotify || e.xmap.override_redirect) continue;
                const double at = seconds();
                if (hasClass(e.xmap.window, windowClass)) return at;
            }
            pollfd p{ConnectionNumber(_d), POLLIN, 0};
            poll(&p, 1, 100);
        }
        return -1;
    }

private:
    bool hasClass(Window w, const char* windowClass) {
        XClassHint hint{};
        if (!XGetClassHint(_d, w, &hint)) return false;
        const bool same = hint.res_class && std::string(hint.res_class) == windowClass;
        if (hint.res_name) XFree(hint.res_name);
        if (hint.res_class) XFree(hint.res_class);
        return same;
    }

    Display* _d;
};

struct ZStartedProgram {
    std::string path;
    std::vector<std::string> args;
    std::string folder;
    const char* windowClass;
};

// Milliseconds from the fork to the window (-1 when it never came), and the
// processor time all the program's threads had used by then: on a busy
// machine the second shows what the program itself did, without the time it
// waited for a processor.
struct ZStartTime {
    double wallMs = -1, cpuMs = -1;
};
ZStartTime timeToWindow(ZMapWatcher& watcher, const ZStartedProgram& program) {
    watcher.drain();
    const double t0 = seconds();
    const pid_t pid = start(program.path, program.args, program.folder, program.folder + "/out");
    const double mapped = watcher.waitForMap(program.windowClass);
    const double cpu = cpuSeconds(pid);
    stop(pid);
    if (mapped < 0) return {};
    return {(mapped - t0) * 1000, cpu * 1000};
}

void BM_StartToSignInWindowBesideXmessage(benchmark::State& state) {
    if (!getenv("DISPLAY")) {
        state.SkipWithError("no DISPLAY");
        return;
    }
    ZMapWatcher watcher;
    if (!watcher.ok()) {
        state.SkipWithError("cannot open the display");
        return;
    }
    const std::string build = buildDir();
    const std::string top =
        std::filesystem::temp_directory_path() / ("zan-bench-startup-" + std::to_string(getpid()));
    int run = 0;
    // A fresh folder per start: no log or settings of an earlier run.
    const auto client = [&] {
        const std::string folder = top + "/client" + std::to_string(++run);
        std::filesystem::create_directories(folder);
        std::filesystem::copy(std::string(ZAN_SOURCE_DIR) + "/skin", folder, std::filesystem::copy_options::recursive);
        std::ofstream(folder + "/settings.ini") << "First_Run_Complete: 1\n";
        return ZStartedProgram{build + "/client/zandrel", {"-norestart", "1", "-silent", "1"}, folder, "Zandrel"};
    };
    const ZStartedProgram xmessage{"/usr/bin/xmessage", {"hello"}, top + "/xmessage", "Xmessage"};

    if (timeToWindow(watcher, xmessage).wallMs < 0 || timeToWindow(watcher, client()).wallMs < 0) {
        state.SkipWithError("a program did not map its window");
        return;
    }
    std::vector<double> clientMs, xmessageMs, ratio, clientCpuMs, xmessageCpuMs, cpuRatio;
    for (auto _ : state) {
        const ZStartTime x = timeToWindow(watcher, xmessage);
        const ZStartTime c = timeToWindow(watcher, client());
        if (x.wallMs < 0 || c.wallMs < 0) {
            state.SkipWithError("a program did not map its window");
            break;
        }
        xmessageMs.push_back(x.wallMs);
        clientMs.push_back(c.wallMs);
        ratio.push_back(c.wallMs / x.wallMs);
        xmessageCpuMs.push_back(x.cpuMs);
        clientCpuMs.push_back(c.cpuMs);
        cpuRatio.push_back(c.cpuMs / x.cpuMs);
        state.SetIterationTime(c.wallMs / 1000);
    }
    const auto report = [&](const char* name, const std::vector<double>& values) {
        reportSpread(state, name, values);
    };
    report("zandrel_ms", clientMs);
    report("xmessage_ms", xmessageMs);
    report("ratio_x", ratio);
    report("zandrel_cpu_ms", clientCpuMs);
    report("xmessage_cpu_ms", xmessageCpuMs);
    report("cpu_ratio_x", cpuRatio);
    std::error_code ignored;
    std::filesystem::remove_all(top, ignored);
}
BENCHMARK(BM_StartToSignInWindowBesideXmessage)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
