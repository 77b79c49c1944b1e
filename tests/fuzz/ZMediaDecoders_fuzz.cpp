// libFuzzer target of the two media decoders: any audio or video payload a
// peer sends must decode or be refused with std::runtime_error. The first
// byte picks the decoder, the next two its setting (a rate, or a side in
// units of 16), the rest is the payload.
// Build and run (clang; not part of the default build):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Ilibzan/include -Iclient/media \
//     tests/fuzz/ZMediaDecoders_fuzz.cpp client/media/ZOgg.cpp client/media/ZSpeex.cpp \
//     client/media/ZTheoraEncoder.cpp client/media/ZTheoraDecoder.cpp \
//     $(ls libzan/src/*.cpp | grep -v ZWinMain.cpp) imageprims/*.cpp \
//     -lspeex -ltheora -logg -lpng16 -lfreeimage -lcrypto -lX11 -lXext -lXtst -lasound -lminiupnpc \
//     -o /tmp/ZMediaDecoders_fuzz
//   /tmp/ZMediaDecoders_fuzz -max_len=4096 tests/fuzz/seeds/media
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "ZSpeex.h"
#include "ZTheora.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const int setting = data[1] | (data[2] << 8);
    const unsigned char* payload = data + 3;
    const int length = static_cast<int>(size - 3);
    std::string out;
    try {
        if (data[0] & 1) {
            std::string codebook;
            ZTheoraEncoder_generateCodebook(codebook, 16 * (setting % 8), 16 * (setting % 8));
            ZTheoraDecoder decoder(reinterpret_cast<const unsigned char*>(codebook.data()),
                                   static_cast<int>(codebook.size()));
            ZImageFormat format;
            decoder.decode(payload, length, format, out);
        } else {
            const std::int32_t rate = setting - 1000;
            ZSpeexDecoder decoder(reinterpret_cast<const unsigned char*>(&rate), 4);
            decoder.decode(payload, length, out);
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
