// libFuzzer target of the WAV header reader: any bytes must give a sample
// range inside the file, or be refused.
// Build and run (clang; not part of the default build):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Ilibzan/include \
//     tests/fuzz/ZSoundWave_fuzz.cpp $(ls libzan/src/*.cpp | grep -v ZWinMain.cpp) imageprims/*.cpp \
//     -lpng16 -lfreeimage -lcrypto -lX11 -lXext -lXtst -lasound -lminiupnpc -o /tmp/ZSoundWave_fuzz
//   /tmp/ZSoundWave_fuzz -max_len=4096 tests/fuzz/seeds/wave
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ZNonPortable_Sound.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ZWaveInfo info;
    if (_ZSoundParseWave(bytes, info)) {
        const std::size_t frame = static_cast<std::size_t>(info.channels * info.bitsPerSample / 8);
        if (info.dataOffset > size || info.dataLength > size - info.dataOffset || frame == 0 ||
            info.dataLength < frame)
            std::abort();
    }
    return 0;
}
