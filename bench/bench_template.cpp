// The template engine against references measured in the same run:
// - loading a skin (parse, tree, first update and render) against a SAX
//   parse of the same file with an empty handler; goal: at most 50 ms;
// - one command dispatch "(/system?set+name=Bench_Value+value=N)" against
//   ZInstance::set of the same variable; goal: at most 5 us;
// - eval and calc of one attribute, against a store read;
// - one update pass over a 300-node tree.
// The skin is generated (windows of rows of text, image and button nodes)
// with plain nodes, the size of a full skin.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include <xercesc/sax2/DefaultHandler.hpp>
#include <xercesc/sax2/SAX2XMLReader.hpp>
#include <xercesc/sax2/XMLReaderFactory.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "ZAttributeStack.h"
#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTemplate.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"

namespace {

const char* const kSkinFile = "/tmp/zandrel_bench_template.xml";

// About 300 elements with the attribute load of a real skin.
std::string generatedSkin(int windows) {
    std::string xml = "<skin>\n";
    for (int w = 0; w < windows; ++w) {
        xml += "<Window id=\"w" + std::to_string(w) +
               "\" x=\"{$screenleft}\" y=\"$screentop + 10\" width=\"320\" height=\"$screenheight / 2\" "
               "visible=\"$Window_Visible\" onopen=\"(/skin/window_w" + std::to_string(w) + "?fadein+duration=250)\">\n";
        for (int r = 0; r < 10; ++r) {
            xml += " <Row id=\"r" + std::to_string(r) + "\" height=\"24\">";
            xml += "<Text id=\"t\" color=\"#ffffff\" font=\"Arial\" size=\"12\">Buddy $Local_User_GUID row " +
                   std::to_string(r) + "</Text>";
            xml += "<Image id=\"i\" src=\"{$path}.png\" width=\"16\"/>";
            xml += "<Button id=\"b\" onclick=\"(/buddies/b?talk)\" enabled=\"$Audio_Capture_Online\"/>";
            xml += "</Row>\n";
        }
        xml += "</Window>\n";
    }
    return xml + "</skin>\n";
}

struct Setup {
    Setup() {
        ZInitializeNonPortable(nullptr);
        std::FILE* f = std::fopen(kSkinFile, "w");
        const std::string xml = generatedSkin(7);
        std::fwrite(xml.data(), 1, xml.size(), f);
        std::fclose(f);
        instance = new ZInstance(L"/tmp/zandrel_bench_settings.ini");
        instance->set(L"Local_User_GUID", std::wstring(L"bench@zandrel.net"), false);
    }
    ZInstance* instance;
};

Setup& setup() {
    static Setup s;
    return s;
}

void BM_SkinLoad(benchmark::State& state) {
    ZInstance* instance = setup().instance;
    for (auto _ : state) {
        ZTemplate skin(instance, ZFromUTF8(kSkinFile));
        benchmark::DoNotOptimize(skin.getRoot());
    }
}

void BM_SkinSAXReference(benchmark::State& state) {
    setup();
    xercesc::DefaultHandler handler;
    for (auto _ : state) {
        xercesc::XMLPlatformUtils::Initialize();
        {
            xercesc::SAX2XMLReader* reader = xercesc::XMLReaderFactory::createXMLReader();
            reader->setContentHandler(&handler);
            reader->setErrorHandler(&handler);
            reader->parse(kSkinFile);
            delete reader;
        }
        xercesc::XMLPlatformUtils::Terminate();
    }
}

void BM_CommandSet(benchmark::State& state) {
    ZInstance* instance = setup().instance;
    static ZTemplate* skin = new ZTemplate(instance, ZFromUTF8(kSkinFile));
    std::int64_t n = 0;
    for (auto _ : state) skin->executeCommand(L"(/system?set+name=Bench_Value+value=" + std::to_wstring(++n) + L")", nullptr);
}

void BM_InstanceSetReference(benchmark::State& state) {
    ZInstance* instance = setup().instance;
    std::int64_t n = 0;
    for (auto _ : state) instance->set(L"Bench_Value", std::to_wstring(++n), false);
}

ZNotifyHandle* benchHandle() {
    static char handle;
    return reinterpret_cast<ZNotifyHandle*>(&handle);
}

void BM_EvalAttribute(benchmark::State& state) {
    ZAttributeStack stack(setup().instance, benchHandle());
    stack.set(L"path", std::wstring(L"/skin/Window_w0/Row_r1/Image_i"));
    for (auto _ : state) benchmark::DoNotOptimize(stack.eval(L"{$path}.png"));
}

void BM_CalcAttribute(benchmark::State& state) {
    ZAttributeStack stack(setup().instance, benchHandle());
    stack.set(L"screenheight", std::int64_t{1024});
    for (auto _ : state) benchmark::DoNotOptimize(stack.calc(L"$screenheight / 2 - (24 * 3)"));
}

void BM_StoreGetReference(benchmark::State& state) {
    ZInstance* instance = setup().instance;
    for (auto _ : state) benchmark::DoNotOptimize(instance->get(L"Local_User_GUID"));
}

// Windows of 10 rows with 3 leaves each: 7 windows give 7 + 70 + 210 + root
// = 288 nodes; 8 windows 329. 300 lies between.
void BM_UpdatePass300(benchmark::State& state) {
    ZInstance* instance = setup().instance;
    static ZTemplate* skin = new ZTemplate(instance, ZFromUTF8(kSkinFile));
    for (auto _ : state) {
        ZAttributeStack stack(instance, skin->getNotifyListener());
        benchmark::DoNotOptimize(skin->getRoot()->update(stack));
    }
}

}  // namespace

BENCHMARK(BM_SkinLoad)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SkinSAXReference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommandSet);
BENCHMARK(BM_InstanceSetReference);
BENCHMARK(BM_EvalAttribute);
BENCHMARK(BM_CalcAttribute);
BENCHMARK(BM_StoreGetReference);
BENCHMARK(BM_UpdatePass300)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
