// Costs of the skin's nodes (run under Xvfb: DISPLAY=:n ./bench_nodes):
// text drawing against FreeType's own glyph rendering of the same string, a
// cache hit against a miss, a 256-buddy list (update, render and repaint
// apart, beside a memcpy of its window buffer) and a 1024 x 768 window's
// render and repaint against the 66,666 us frame period.
#include <benchmark/benchmark.h>

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstring>
#include <string>
#include <vector>

#include "IZCommandEngine.h"
#include "ZAttributeStack.h"
#include "ZFont.h"
#include "ZImage.h"
#include "ZImageStack.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNodeLibrary.h"
#include "ZNonPortable.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"
#include "ZWindowNode.h"

namespace {

const std::wstring kText = L"The quick brown fox jumps over the lazy d";  // 40 characters + a varying one

// ---- text ------------------------------------------------------------------------------

struct Target {
    ZImageFormat format{ZIT_RGBA32, 400, 40};
    std::vector<unsigned char> pixels = std::vector<unsigned char>(400 * 40 * 4);
};

void BM_FontDrawNewText(benchmark::State& state) {
    ZFont font;
    font.update(std::to_wstring(state.range(0)));
    Target target;
    std::wstring text = kText.substr(0, 39) + L"x";
    int n = 0;
    for (auto _ : state) {
        text[39] = static_cast<wchar_t>(L'a' + (n++ % 26));
        text[0] = static_cast<wchar_t>(L'A' + (n % 26));
        benchmark::DoNotOptimize(font.drawText(target.format, target.pixels.data(), text, ZRect{0, 0, 400, 40},
                                               ZRect{0, 0, 400, 40}));
    }
}
BENCHMARK(BM_FontDrawNewText)->Arg(12)->Arg(16);

void BM_FontDrawCacheHit(benchmark::State& state) {
    ZFont font;
    font.update(std::to_wstring(state.range(0)));
    Target target;
    for (auto _ : state) {
        benchmark::DoNotOptimize(font.drawText(target.format, target.pixels.data(), kText, ZRect{0, 0, 400, 40},
                                               ZRect{0, 0, 400, 40}));
    }
}
BENCHMARK(BM_FontDrawCacheHit)->Arg(12)->Arg(16);

// The reference: FreeType loading and rendering every glyph of the string.
void BM_FreeTypeRenderString(benchmark::State& state) {
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("Tahoma"));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcChar8* file = nullptr;
    FcPatternGetString(match, FC_FILE, 0, &file);
    FT_Library library;
    FT_Init_FreeType(&library);
    FT_Face face;
    FT_New_Face(library, reinterpret_cast<const char*>(file), 0, &face);
    FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(state.range(0)));
    for (auto _ : state) {
        for (wchar_t c : kText) {
            FT_Load_Char(face, static_cast<FT_ULong>(c), FT_LOAD_DEFAULT);
            FT_Render_Glyph(face->glyph, FT_RENDER_MODE_NORMAL);
        }
        benchmark::DoNotOptimize(face->glyph->bitmap.buffer);
    }
    FT_Done_Face(face);
    FT_Done_FreeType(library);
    FcPatternDestroy(match);
    FcPatternDestroy(pattern);
}
BENCHMARK(BM_FreeTypeRenderString)->Arg(12)->Arg(16);

// ---- trees -----------------------------------------------------------------------------

struct Engine : IZCommandEngine, IZNotifyListener {
    ZNotifyHandle* handle = ZNotifyOpen(this);
    ~Engine() override { ZNotifyClose(handle); }
    void executeCommand(const std::wstring&, ZTemplateNode*, int) override {}
    ZNotifyHandle* getNotifyListener() override { return handle; }
    ZTemplateNode* getNode(const std::wstring&, ZTemplateNode*) override { return nullptr; }
    void onNotification(int, std::int64_t) override {}
};

ZTemplateNode* make(ZInstance& instance, Engine& engine, ZTemplateNode* parent, const std::wstring& element,
                    const ZAttributeList& attributes) {
    ZTemplateNode* node = ZTemplateFactory::create(&instance, &engine, parent, element, attributes);
    if (parent) parent->addChild(node);
    return node;
}

// A 300 x 600 window holding a list of 256 buddies, half online, 48 x 48 pictures.
struct BuddyWindow {
    ZInstance instance{L"/tmp/zan_bench_nodes_settings.ini"};
    Engine engine;
    ZTemplateNode* window = nullptr;
    BuddyWindow() {
        ZNodeLibrary_install();
        std::wstring list;
        std::vector<unsigned char> picture(48 * 48 * 4);
        for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<unsigned char>(i * 7);
        for (int i = 0; i < 256; ++i) {
            const std::wstring buddy = L"buddy" + std::to_wstring(i) + L"@zandrel.net";
            list += buddy + L",";
            instance.set(buddy + (i % 2 ? L"_Online" : L"_Offline"), L"true", false);
            ZImageTools_instanceWrite(&instance, buddy + L"_Image", ZImageFormat{ZIT_RGBA32, 48, 48}, picture.data());
        }
        instance.set(L"Local_Buddy_List", list, false);
        window = make(instance, engine, nullptr, L"Window",
                      {{L"x", L"0"}, {L"y", L"0"}, {L"width", L"300"}, {L"height", L"600"}});
        make(instance, engine, window, L"BuddyList",
             {{L"titlefont", L"16,b"}, {L"normalfont", L"16"}, {L"offlinefont", L"16,i"}, {L"mouseoverfont", L"16,u"}});
        update();
    }
    ~BuddyWindow() { delete window; }
    bool update() {
        ZAttributeStack stack(&instance, engine.getNotifyListener());
        return window->update(stack);
    }
};

void BM_BuddyListUpdate(benchmark::State& state) {
    BuddyWindow w;
    for (auto _ : state) benchmark::DoNotOptimize(w.update());
}
BENCHMARK(BM_BuddyListUpdate)->Unit(benchmark::kMicrosecond);

// The subtree drawn into a memory layer, without the window's repaint.
void BM_BuddyListRender(benchmark::State& state) {
    BuddyWindow w;
    ZImageFormat format{ZIT_RGBA32, 300, 600};
    std::vector<unsigned char> pixels(300 * 600 * 4);
    std::vector<IZInputHandler*> handlers(300 * 600);
    ZTemplateNode* list = w.window->getChildren().front();
    for (auto _ : state) {
        std::memset(pixels.data(), 0, pixels.size());
        ZImageStack stack;
        stack.pushLayer(format, pixels.data(), handlers.data());
        list->render(stack);
    }
}
BENCHMARK(BM_BuddyListRender)->Unit(benchmark::kMicrosecond);

// The whole window: update, render and repaint, as one store change costs.
void BM_BuddyListWindowFrame(benchmark::State& state) {
    BuddyWindow w;
    for (auto _ : state) {
        w.update();
        ZImageStack stack;
        w.window->render(stack);
    }
}
BENCHMARK(BM_BuddyListWindowFrame)->Unit(benchmark::kMicrosecond);

void BM_RepaintBuddyWindowBuffer(benchmark::State& state) {
    struct Quiet : IZWinListener {} listener;
    ZWin* win = ZWinOpen(L"bench", ZRect{0, 0, 300, 600}, false, &listener);
    std::vector<unsigned char> pixels(300 * 600 * 4, 0x80);
    ZWinShow(win);
    for (auto _ : state) benchmark::DoNotOptimize(ZWinRepaint(win, 300, 600, pixels.data(), 255));
    ZWinClose(win);
}
BENCHMARK(BM_RepaintBuddyWindowBuffer)->Unit(benchmark::kMicrosecond);

void BM_MemcpyBuddyWindowBuffer(benchmark::State& state) {
    std::vector<unsigned char> from(300 * 600 * 4, 1), to(300 * 600 * 4);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_MemcpyBuddyWindowBuffer)->Unit(benchmark::kMicrosecond);

// A 1024 x 768 window of a gradient, a border and text: render and repaint.
void BM_LargeWindowFrame(benchmark::State& state) {
    ZNodeLibrary_install();
    ZInstance instance(L"/tmp/zan_bench_nodes_settings.ini");
    Engine engine;
    ZTemplateNode* window = make(instance, engine, nullptr, L"Window",
                                 {{L"x", L"0"}, {L"y", L"0"}, {L"width", L"1024"}, {L"height", L"768"}});
    make(instance, engine, window, L"Gradient", {{L"from", L"#FFFFFFFF"}, {L"to", L"#8090A0FF"}, {L"vertical", L"1"}});
    ZTemplateNode* border = make(instance, engine, window, L"Border", {});
    ZTemplateNode* top = make(instance, engine, border, L"top", {});
    make(instance, engine, top, L"Text", {{L"text", L"Zandrel"}, {L"font", L"24,bc"}});
    ZTemplateNode* inside = make(instance, engine, border, L"inside", {});
    make(instance, engine, inside, L"Text",
         {{L"text", L"A longer text that is broken into several lines within the window's width."}, {L"font", L"16,m"}});
    {
        ZAttributeStack stack(&instance, engine.getNotifyListener());
        window->update(stack);
    }
    for (auto _ : state) {
        ZImageStack stack;
        window->render(stack);
    }
    delete window;
}
BENCHMARK(BM_LargeWindowFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    ZInitializeNonPortable(nullptr);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ZUninitializeNonPortable();
    return 0;
}
