// libFuzzer target for the media file readers a capture loops (files a user
// names, so untrusted).
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>

#include "ZFuzz.h"
#include "ZCaptureMediaFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

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
