// libFuzzer target of the network PNG decoder: any bytes must decode to a
// buffer that matches its format, or be refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ZFuzz.h"
#include "ZImage.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZImageFormat format;
    std::string pixels;
    if (ZImageDecodePNG(data, static_cast<int>(size), 0, 0, format, pixels) &&
        !ZImageFormatFits(format, pixels.size()))
        std::abort();
    return 0;
}
