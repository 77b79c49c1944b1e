// Feeds arbitrary UTF-8 to every text parser; none may crash or abort.
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "ZFuzz.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = ZFromUTF8(std::string(reinterpret_cast<const char*>(data), size));
    std::list<std::wstring> items;
    ZParseList(items, text);
    std::wstring a, b;
    int port = 0;
    ZPathSplit(text, a, b);
    ZSplitAddress(text, a, b);
    ZSplitHostPort(text, a, port);
    if (port < 0 || port > 65535) __builtin_trap();
    ZSplitHTTPURL(text, a, b);
    ZSplitURL(text, a, b);
    std::map<std::wstring, std::wstring> arguments;
    ZParseCommandItem(text, a, arguments);
    ZRect rect;
    ZParseNameRect(text, a, rect);
    ZColor color(text);
    return 0;
}
