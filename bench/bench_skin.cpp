// The default skin's start (run under Xvfb from the source tree's build:
// DISPLAY=:n ./bench_skin): reading skin/template.xml with the real template
// root and the node library, then the sign-in window's first frame, against
// the bare platform cost of a window of that size (ZWinOpen, one
// ZWinRepaint, ZWinClose). The goal is 300 ms from start to the first frame.
#include <benchmark/benchmark.h>

#include <unistd.h>

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

// The source tree's skin/, found from this file's place.
std::filesystem::path skinFolder() { return std::filesystem::path(__FILE__).parent_path().parent_path() / "skin"; }

// A working folder holding a copy of the skin, as the client runs in one.
class SkinFolder {
public:
    SkinFolder() {
        char name[] = "/tmp/zandrel_bench_skin_XXXXXX";
        _path = mkdtemp(name);
        for (const auto& entry : std::filesystem::directory_iterator(skinFolder()))
            std::filesystem::copy_file(entry.path(), _path / entry.path().filename());
        _previous = std::filesystem::current_path();
        std::filesystem::current_path(_path);
    }
    ~SkinFolder() {
        std::filesystem::current_path(_previous);
        std::filesystem::remove_all(_path);
    }

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
