// The default skin's start (run under Xvfb from the source tree's build:
// DISPLAY=:n ./bench_skin), against the bare platform cost of a window of the
// sign-in window's size (ZWinOpen, one ZWinRepaint, ZWinClose) in the same
// run:
// - in this process: reading skin/template.xml with the real template root
//   and the node library, then the sign-in window's first frame;
// - the zandrel program started in a folder holding the skin, with no stored
//   sign-in: start until its sign-in window is on the screen, and its
//   resident memory 10 s later.
// Goals: 300 ms from start to the first frame, 60 MB when idle.
#include <benchmark/benchmark.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeLibrary.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTemplate.h"
#include "ZTemplateNode.h"
#include "ZWindowNode.h"

namespace {

// The source tree's skin/.
std::filesystem::path skinFolder() { return std::filesystem::path(ZAN_SOURCE_DIR) / "skin"; }

// A working folder holding a copy of the skin, as the client runs in one.
class SkinFolder {
public:
    SkinFolder(bool enter = true) {
        char name[] = "/tmp/zandrel_bench_skin_XXXXXX";
        _path = mkdtemp(name);
        for (const auto& entry : std::filesystem::directory_iterator(skinFolder()))
            std::filesystem::copy_file(entry.path(), _path / entry.path().filename());
        _previous = std::filesystem::current_path();
        if (enter) std::filesystem::current_path(_path);
    }
    ~SkinFolder() {
        std::filesystem::current_path(_previous);
        std::filesystem::remove_all(_path);
    }
    const std::filesystem::path& path() const { return _path; }

private:
    std::filesystem::path _path, _previous;
};

struct NoListener : IZWinListener {};

void BM_DefaultSkinLoadAndSignInFrame(benchmark::State& state) {
    SkinFolder folder;
    ZInstance instance(L"settings.ini");
    ZRect size;
    for (auto _ : state) {
        auto skin = std::make_unique<ZTemplate>(&instance, L"template.xml");
        auto* login = dynamic_cast<ZWindowNode*>(skin->getNode(L"/skin/window_login", nullptr));
        if (!login) {
            state.SkipWithError("no window_login");
            break;
        }
        // Opening fades in; a fade of no length is the first frame at once.
        login->fadeIn(0);
        ZImageStack surfaces;
        login->render(surfaces);
        size = login->getRect();
        // Closing the windows is not part of the start.
        state.PauseTiming();
        skin.reset();
        state.ResumeTiming();
    }
    state.counters["width"] = size.right - size.left;
    state.counters["height"] = size.bottom - size.top;
}
BENCHMARK(BM_DefaultSkinLoadAndSignInFrame)->Unit(benchmark::kMillisecond);

// The reference: a bare native window of the sign-in window's size, opened,
// painted once and closed.
void BM_BareWindowOpenAndRepaint(benchmark::State& state) {
    NoListener listener;
    const int width = 300, height = 250;
    std::vector<unsigned char> pixels(static_cast<std::size_t>(width) * height * 4, 0x80);
    for (auto _ : state) {
        ZWin* win = ZWinOpen(L"bench", ZRect{100, 100, 100 + width, 100 + height}, false, &listener);
        ZWinShow(win);
        benchmark::DoNotOptimize(ZWinRepaint(win, width, height, pixels.data(), 255));
        ZWinClose(win);
    }
}
BENCHMARK(BM_BareWindowOpenAndRepaint)->Unit(benchmark::kMillisecond);

// ---- the program ---------------------------------------------------------------

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string buildDir() {
    char self[PATH_MAX] = {0};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    return std::filesystem::path(std::string(self, n > 0 ? n : 0)).parent_path().parent_path().string();
}

double rssMB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// Whether a viewable top-level window of the process's with this title is
// on the screen (the platform names it in WM_NAME).
bool windowShown(Display* d, const char* title) {
    Window root = DefaultRootWindow(d), parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(d, root, &root, &parent, &children, &count)) return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i) {
        XWindowAttributes a;
        char* name = nullptr;
        if (XGetWindowAttributes(d, children[i], &a) && a.map_state == IsViewable && XFetchName(d, children[i], &name) &&
            name) {
            found = std::string(name) == title;
            XFree(name);
        }
    }
    if (children) XFree(children);
    return found;
}

void BM_ClientStartToSignInWindow(benchmark::State& state) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        state.SkipWithError("no X display");
        return;
    }
    const std::string program = buildDir() + "/client/zandrel";
    double shown = 0, rss = 0;
    int runs = 0;
    for (auto _ : state) {
        SkinFolder folder(false);
        const double t0 = seconds();
        const pid_t pid = fork();
        if (pid == 0) {
            if (chdir(folder.path().c_str()) != 0) _exit(127);
            const int fd = open("out", O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            execl(program.c_str(), program.c_str(), "-norestart", "1", "-silent", "1", static_cast<char*>(nullptr));
            _exit(127);
        }
        double after = -1;
        while (seconds() - t0 < 20) {
            if (windowShown(d, "Zandrel")) {
                after = seconds() - t0;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (after < 0) {
            state.SkipWithError("the sign-in window did not show");
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            break;
        }
        state.SetIterationTime(after);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        rss += rssMB(pid);
        shown += after;
        ++runs;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    if (runs) {
        state.counters["start_to_signin_ms"] = shown / runs * 1000;
        state.counters["idle_rss_mb"] = rss / runs;
    }
    XCloseDisplay(d);
}
BENCHMARK(BM_ClientStartToSignInWindow)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    ZInitializeNonPortable(nullptr);
    ZNodeLibrary_install();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ZUninitializeNonPortable();
    return 0;
}
