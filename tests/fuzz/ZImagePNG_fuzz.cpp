// libFuzzer target of the network PNG decoder: any bytes must decode to a
// buffer that matches its format, or be refused.
// Build and run (clang; not part of the default build):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Ilibzan/include -Iimageprims \
//     tests/fuzz/ZImagePNG_fuzz.cpp $(ls libzan/src/*.cpp | grep -v ZWinMain.cpp) imageprims/*.cpp \
//     -lpng16 -lfreeimage -lcrypto -lX11 -lXext -lXtst -lasound -lminiupnpc -o /tmp/ZImagePNG_fuzz
//   /tmp/ZImagePNG_fuzz -max_len=65536 tests/fuzz/seeds/png
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ZImage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZImageFormat format;
    std::string pixels;
    if (ZImageDecodePNG(data, static_cast<int>(size), 0, 0, format, pixels) &&
        !ZImageFormatFits(format, pixels.size()))
        std::abort();
    return 0;
}
