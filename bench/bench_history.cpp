// The chat history's layout cost: a full re-layout (the view's width changed)
// of 1000 messages against the same for one message, and one new message
// arriving beside 1000 already laid out (only the new one is laid out).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "IZCommandEngine.h"
#include "ZAttributeStack.h"
#include "ZHTTPHeaders.h"
#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeLibrary.h"
#include "ZNonPortable.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"

namespace {

const wchar_t* const kQueue = L"bob@other.org_Chat_Queue";

struct Engine : IZCommandEngine, IZNotifyListener {
    ZNotifyHandle* handle = ZNotifyOpen(this);
    ~Engine() override { ZNotifyClose(handle); }
    void executeCommand(const std::wstring&, ZTemplateNode*, int) override {}
    ZNotifyHandle* getNotifyListener() override { return handle; }
    ZTemplateNode* getNode(const std::wstring&, ZTemplateNode*) override { return nullptr; }
    void onNotification(int, std::int64_t) override {}
};

// A 400 x 300 history over a queue of chat messages of ordinary length.
struct History {
    ZInstance instance{L"/tmp/zan_bench_history_settings.ini"};
    Engine engine;
    ZTemplateNode* node = nullptr;
    std::vector<unsigned char> pixels = std::vector<unsigned char>(401 * 300 * 4);
    std::vector<IZInputHandler*> handlers = std::vector<IZInputHandler*>(401 * 300);
    int posted = 0;

    explicit History(int messages) {
        ZNodeLibrary_install();
        instance.set(L"Local_User_GUID", L"me@zandrel.net", false);
        for (int i = 0; i < messages; ++i) post();
        node = ZTemplateFactory::create(&instance, &engine, nullptr, L"History",
                                        {{L"src", kQueue},
                                         {L"basefont", L"13,m"},
                                         {L"localtitlefont", L"13,bm"},
                                         {L"remotetitlefont", L"13,bm"},
                                         {L"vscrollfrac", L"1000"},
                                         {L"windowpath", L"/skin/window_chat"}});
        update();
        render(400);
    }
    ~History() { delete node; }
    void post() {
        ZHTTPHeaders message(L"CHAT");
        message.set(L"From", posted % 2 ? L"me@zandrel.net" : L"bob@other.org");
        message.addContent("message " + std::to_string(posted++) +
                           ": the quick brown fox jumps over the lazy dog, twice over, to fill a line or two");
        instance.enqueue(kQueue, message.serialize());
    }
    void update() {
        ZAttributeStack stack(&instance, engine.getNotifyListener());
        node->update(stack);
    }
    void render(int width) {
        ZImageStack stack;
        stack.pushLayer(ZImageFormat{ZIT_RGBA32, width, 300}, pixels.data(), handlers.data());
        node->render(stack);
    }
};

// Render at alternating widths: every render lays out every message again.
void BM_HistoryRelayout(benchmark::State& state) {
    History history(static_cast<int>(state.range(0)));
    int n = 0;
    for (auto _ : state) history.render(400 + (++n & 1));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_HistoryRelayout)->Arg(1)->Arg(1000)->Unit(benchmark::kMicrosecond);

// One message more, read and drawn, beside 1000 (and growing) laid out.
void BM_HistoryNewMessage(benchmark::State& state) {
    History history(1000);
    for (auto _ : state) {
        history.post();
        history.update();
        history.render(400);
    }
}
BENCHMARK(BM_HistoryNewMessage)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    ZInitializeNonPortable(nullptr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ZUninitializeNonPortable();
    return 0;
}
