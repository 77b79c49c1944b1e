// The shared-screen view of a 1920 x 1080 screen at zoom 500 (a 2016 x 1134
// copy) in an 800 x 600 view: a full rebuild of the zoomed copy (the zoom
// changed) against a frame that changed one 64 x 64 patch, and a redraw with
// nothing new as the floor both include.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "IZCommandEngine.h"
#include "ZAttributeStack.h"
#include "ZImage.h"
#include "ZImageStack.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNodeLibrary.h"
#include "ZNonPortable.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"

namespace {

const std::wstring kImage = L"bob@other.org_Screen_Image";
constexpr int kWidth = 1920, kHeight = 1080;

struct Engine : IZCommandEngine, IZNotifyListener {
    ZNotifyHandle* handle = ZNotifyOpen(this);
    ~Engine() override { ZNotifyClose(handle); }
    void executeCommand(const std::wstring&, ZTemplateNode*, int) override {}
    ZNotifyHandle* getNotifyListener() override { return handle; }
    ZTemplateNode* getNode(const std::wstring&, ZTemplateNode*) override { return nullptr; }
    void onNotification(int, std::int64_t) override {}
};

struct Viewer {
    ZInstance instance{L"/tmp/zan_bench_screen_view_settings.ini"};
    Engine engine;
    ZTemplateNode* node = nullptr;
    std::vector<unsigned char> pixels = std::vector<unsigned char>(800 * 600 * 4);
    std::vector<IZInputHandler*> handlers = std::vector<IZInputHandler*>(800 * 600);
    int frame = 0;

    Viewer() {
        ZNodeLibrary_install();
        std::vector<unsigned char> screen(static_cast<size_t>(kWidth) * kHeight * 3);
        for (size_t i = 0; i < screen.size(); ++i) screen[i] = static_cast<unsigned char>(i * 13 + i / 7);
        ZImageTools_instanceWrite(&instance, kImage, ZImageFormat{ZIT_RGB24, kWidth, kHeight}, screen.data());
        node = ZTemplateFactory::create(&instance, &engine, nullptr, L"Screen",
                                        {{L"zoomfactor", L"500"}, {L"guid", L"bob@other.org"}});
        // The first render fits the new screen; the update restores zoom 500.
        update();
        render();
        update();
        render();
    }
    ~Viewer() { delete node; }
    void update() {
        ZAttributeStack stack(&instance, engine.getNotifyListener());
        node->update(stack);
    }
    void render() {
        ZImageStack stack;
        stack.pushLayer(ZImageFormat{ZIT_RGBA32, 800, 600}, pixels.data(), handlers.data());
        node->render(stack);
    }
    // The sharer's side: one 64 x 64 patch changes, somewhere new each frame.
    void patch() {
        ZImageFormat format;
        ZRect dirty;
        std::string& bytes = ZImageTools_instanceWriteOpen(&instance, kImage, format, dirty);
        const int left = (frame * 97) % (kWidth - 64), top = (frame * 53) % (kHeight - 64);
        ++frame;
        for (int y = top; y < top + 64; ++y)
            for (int x = left; x < left + 64; ++x) bytes[(static_cast<size_t>(y) * kWidth + x) * 3] ^= 0x55;
        ZImageTools_instanceWriteClose(&instance, kImage, format, ZRect{left, top, left + 64, top + 64});
    }
};

void BM_ScreenViewFullRebuild(benchmark::State& state) {
    Viewer viewer;
    int n = 0;
    for (auto _ : state) {
        // 500 and 499: each render rebuilds a copy of about 2016 x 1134.
        viewer.node->setAttribute(L"zoomfactor", (++n & 1) ? L"499" : L"500");
        viewer.update();
        viewer.render();
    }
}
BENCHMARK(BM_ScreenViewFullRebuild)->Unit(benchmark::kMicrosecond);

void BM_ScreenViewDirtyPatch64(benchmark::State& state) {
    Viewer viewer;
    for (auto _ : state) {
        viewer.patch();
        viewer.render();
    }
}
BENCHMARK(BM_ScreenViewDirtyPatch64)->Unit(benchmark::kMicrosecond);

// Nothing new: the view converts and draws its visible rows only.
void BM_ScreenViewRedraw(benchmark::State& state) {
    Viewer viewer;
    for (auto _ : state) viewer.render();
}
BENCHMARK(BM_ScreenViewRedraw)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    ZInitializeNonPortable(nullptr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ZUninitializeNonPortable();
    return 0;
}
