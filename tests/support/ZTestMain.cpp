// Entry of every test program: installs log, call-stack and abort hooks that
// suit tests, then runs GoogleTest.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTestHooks.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

bool g_verbose = false;

void testLogHook(const std::wstring& line) {
    ZTestCaptureLine(line);
    if (g_verbose) ZDebugPrint(line);
}

void testAbortHook() { throw ZTestAbort(); }

}  // namespace

int main(int argc, char** argv) {
    g_verbose = std::getenv("ZAN_TEST_VERBOSE") != nullptr;
    ZSetDebugHooks(testLogHook, ZCallStackDumpCurrent, testAbortHook);
    ZThreadSetLocalDestructor(_ZCallDestructor);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
