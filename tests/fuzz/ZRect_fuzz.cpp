// libFuzzer target of the rectangle and image-format readers, which take
// stored and sent texts and bytes: a read either fails or gives a value
// that writes back to what it read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ZFuzz.h"
#include "ZPortable_Rect.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ZRect rect;
    if (rect.deserialize(bytes)) {
        ZRect again;
        if (!again.deserialize(rect.serialize()) || !(again == rect)) __builtin_trap();
    }
    ZImageFormat format;
    if (format.deserialize(bytes)) {
        if (format.serialize() != bytes.substr(0, 12)) __builtin_trap();
        format.getBufferSize();
        format.toString();
    }
    return 0;
}
