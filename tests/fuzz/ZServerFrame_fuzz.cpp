// libFuzzer target for the service's TCP framing, which reads bytes from any
// client before anything is buffered beyond the caps.
#include <cstddef>
#include <cstdint>

#include "ZFuzz.h"
#include "ZHTTPHeaders.h"
#include "ZServerConnection.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZServerConnectionLimits limits;
    limits.maxHeader = 256;
    limits.maxContent = 512;
    limits.maxParts = 4;
    std::wstring reason;
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::int64_t length = ZServerFrameLength(bytes, size, limits, reason);
    if (length < -1 || length > static_cast<std::int64_t>(size)) __builtin_trap();
    if (length > static_cast<std::int64_t>(limits.maxHeader + 4 + limits.maxContent)) __builtin_trap();
    if (length > 0) {
        // The connection refuses a frame the parser reads otherwise; it
        // must never read past the frame.
        ZHTTPHeaders message;
        const int parsed = message.deserialize(bytes, static_cast<int>(length));
        if (parsed < 0 || parsed > length) __builtin_trap();
    }
    return 0;
}
