// libFuzzer target for the skin's expression grammars and the menu layer of
// the command language: store values can come from peers, and eval, calc,
// test and the menu parser must end without a fault on any text. Build and
// run (clang; not part of the default build; libzan.a of an unsanitized tree,
// such as the one scripts/run.sh builds):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Ilibzan/include -Iclient/template \
//     tests/fuzz/ZTemplateExpression_fuzz.cpp client/template/ZAttributeStack.cpp \
//     client/template/ZParseTools.cpp build/release/libzan/libzan.a -lX11 -lXext -lXtst -lXrender -lasound \
//     -lpng -lfreeimage -lminiupnpc -lcrypto -o /tmp/ZTemplateExpression_fuzz
//   /tmp/ZTemplateExpression_fuzz -max_len=256 tests/fuzz/seeds/template
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ZAttributeStack.h"
#include "ZInstance.h"
#include "ZParseTools.h"
#include "ZPortable_Text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ZInstance* instance = new ZInstance(L"/tmp/zanfuzz_template.ini");
    static char handle;
    const std::wstring text = ZFromUTF8(std::string(reinterpret_cast<const char*>(data), size));
    // The text is also a value that refers to itself.
    instance->set(L"fuzz", text, false);
    ZAttributeStack stack(instance, reinterpret_cast<ZNotifyHandle*>(&handle));
    stack.set(L"a", text);
    stack.eval(text);
    stack.eval(L"$fuzz$a");
    stack.calc(text);
    stack.test(text);
    std::vector<std::pair<std::wstring, std::wstring>> menu;
    ZParseTools_parseMenu(menu, text);
    return 0;
}
