// libFuzzer target for the media file readers a capture loops (files a user
// names, so untrusted). Build and run (clang; not part of the default build):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Ilibzan/include \
//     tests/fuzz/ZCaptureMediaFile_fuzz.cpp libzan/src/ZCapture_MediaFile.cpp libzan/src/ZUtil_Log.cpp \
//     libzan/src/ZPortable_Text.cpp -o /tmp/ZCaptureMediaFile_fuzz
//   /tmp/ZCaptureMediaFile_fuzz -max_len=4096 tests/fuzz/seeds/capture
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "ZCaptureMediaFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = [] {
        char name[] = "/tmp/zanfuzz.XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        return std::string(name);
    }();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
    ZCaptureMediaFile file;
    if (!ZCaptureReadMediaFile(path, file)) return 0;
    // Every indexed frame must read back as exactly one image of the type.
    std::ifstream in(path, std::ios::binary);
    std::string frame;
    for (std::size_t i = 0; i < file.frames.size() && i < 64; ++i)
        if (ZCaptureReadMediaFrame(in, file, i, frame) && frame.size() != file.video.header.sizeImage) __builtin_trap();
    return 0;
}
