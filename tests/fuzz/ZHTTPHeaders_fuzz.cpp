// libFuzzer target for the message parser, which reads bytes from any peer.
#include <cstddef>
#include <cstdint>

#include "ZFuzz.h"
#include "ZHTTPHeaders.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZHTTPHeaders message(L"SEED");
    const int consumed = message.deserialize(reinterpret_cast<const char*>(data), static_cast<int>(size));
    if (consumed < 0 || static_cast<std::size_t>(consumed) > size) __builtin_trap();
    std::wstring reason;
    message.getResponse(reason);
    message.getMethod();
    // What we parsed must write out as a message we can parse again.
    if (consumed > 0 && message.get(L"").find_first_of(L"\r\n") == std::wstring::npos) {
        ZHTTPHeaders again;
        if (again.deserialize(message.serialize()) == 0 && !message.get(L"").empty()) __builtin_trap();
    }
    return 0;
}
