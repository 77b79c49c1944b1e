// libFuzzer target of the WAV header reader: any bytes must give a sample
// range inside the file, or be refused.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ZFuzz.h"
#include "ZNonPortable_Sound.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

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
