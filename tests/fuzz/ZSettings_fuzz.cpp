// libFuzzer target of the settings-file reader: any file loads into a store
// whose values, pictures included, are read without stopping the program,
// and what it saves loads back to the same values.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "ZFuzz.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZPortable_Text.h"

namespace {

const std::string& settingsPath() {
    static std::string folder;
    static const std::string path = [] {
        char name[] = "/tmp/zan-settings-fuzz-XXXXXX";
        if (!mkdtemp(name)) abort();
        folder = name;
        std::atexit([] { std::filesystem::remove_all(folder); });
        return folder + "/settings.ini";
    }();
    return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = settingsPath();
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data),
                                                                    static_cast<std::streamsize>(size));
    std::wstring saved;
    {
        ZInstance store(ZFromUTF8(path));
        store.calc(L"Startup_Sleep");
        std::list<std::wstring> buddies;
        store.get(L"Local_Buddy_List", buddies);
        ZImageFormat format;
        ZRect rect;
        if (ZImageTools_instanceReadOpen(&store, L"Local_Picture", format, rect, 1, 1))
            ZImageTools_instanceReadClose(&store, L"Local_Picture");
        ZImageTools_instanceReadCheck(&store, L"Local_Picture(0,0,4,4)", format, rect);
        saved = store.get(L"Local_Username");
    }
    // The store saved itself on the way out; the next load reads the same.
    ZInstance again(ZFromUTF8(path));
    if (again.get(L"Local_Username") != saved) __builtin_trap();
    unlink(path.c_str());
    return 0;
}
