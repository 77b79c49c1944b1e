// libFuzzer target for the service's TCP framing, which reads bytes from any
// client before anything is buffered beyond the caps.
// Build and run from the top folder (clang; not part of the default build):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Ilibzan/include -Iimageprims \
//     -Iserver/core tests/fuzz/ZServerFrame_fuzz.cpp server/core/ZServer{Connection,Loop,Guard,Net}.cpp \
//     $(ls libzan/src/*.cpp | grep -v ZWinMain) imageprims/*.cpp \
//     $(pkg-config --libs libcrypto miniupnpc x11 xext xtst alsa libpng) -lfreeimage -o /tmp/ZServerFrame_fuzz
//   mkdir -p /tmp/frame-corpus && /tmp/ZServerFrame_fuzz -max_total_time=60 /tmp/frame-corpus \
//     tests/fuzz/seeds/serverframe
#include <cstddef>
#include <cstdint>

#include "ZHTTPHeaders.h"
#include "ZServerConnection.h"

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
