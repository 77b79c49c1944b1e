// Debugger output and the crash flag.
#include <atomic>
#include <cstdio>

#include "ZNonPortable_Base.h"
#include "ZPortable.h"

namespace {
std::atomic<bool> g_crashing{false};
}

void ZDebugPrint(const std::wstring& line) {
    const std::string utf8 = ZToUTF8(line);
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

void ZDebugSetCrashing() { g_crashing.store(true); }

bool ZDebugIsCrashing() { return g_crashing.load(); }
