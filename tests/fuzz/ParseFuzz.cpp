// Feeds arbitrary UTF-8 to every text parser; none may crash or abort.
// Build and run from the top folder (clang, not part of CI):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Ilibzan/include \
//     tests/fuzz/ParseFuzz.cpp libzan/src/ZPortable_Parse.cpp libzan/src/ZPortable_Text.cpp \
//     libzan/src/ZUtil_Log.cpp libzan/src/ZUtil_Check.cpp -o /tmp/ParseFuzz
//   mkdir -p /tmp/parse-corpus && /tmp/ParseFuzz -max_total_time=60 /tmp/parse-corpus tests/fuzz/seeds/parse
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"

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
