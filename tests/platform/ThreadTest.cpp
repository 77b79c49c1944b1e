#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <thread>

#include "ZNonPortable.h"
#include "ZPlatformTestSupport.h"
#include "ZTestSupport.h"

namespace {

struct ZThreadSeen {
    std::atomic<ZThreadId> id{0};
    char osName[32] = {0};
};

void recordSelf(void* param) {
    auto* seen = static_cast<ZThreadSeen*>(param);
    pthread_getname_np(pthread_self(), seen->osName, sizeof seen->osName);
    seen->id.store(ZThreadCurrentId());
}

}  // namespace

TEST(ZThreadOpen, ReturnsTheNewThreadsOwnIdAndRegistersItsFullName) {
    ZThreadSeen seen;
    const std::wstring name = L"ZClient.ZVideoPlaybackService";
    const ZThreadId id = ZThreadOpen(name, recordSelf, &seen);
    ASSERT_NE(id, 0u);
    EXPECT_NE(id, ZThreadCurrentId());
    EXPECT_EQ(ZThreadFindByName(L"zclient.zvideoplaybackservice"), id);
    EXPECT_EQ(ZThreadFindByName(L"ZCLIENT.ZVIDEOPLAYBACKSERVICE"), id);
    ZThreadClose(id);
    EXPECT_EQ(seen.id.load(), id);
    // The kernel keeps the first 15 bytes.
    EXPECT_STREQ(seen.osName, "ZClient.ZVideoP");
    EXPECT_EQ(ZThreadFindByName(name), 0u);
}

TEST(ZThreadOpen, StartUpRegistersTheUIThreadAsMain) {
    ZPlatformScope platform;
    EXPECT_EQ(ZThreadFindByName(L"(main)"), ZThreadCurrentId());
    EXPECT_EQ(ZThreadFindByName(L"(MAIN)"), ZThreadCurrentId());
    EXPECT_EQ(ZThreadFindByName(L"nobody"), 0u);
    double process = -1;
    std::map<std::wstring, double> threads;
    ZDebugGetPerformance(process, threads);
    ASSERT_EQ(threads.size(), 1u);
    EXPECT_EQ(threads.begin()->first, L"(main)");
    // Measured against the zero reading of start-up: near nothing.
    EXPECT_LT(process, 0.1);
}

TEST(ZThreadOpen, ANullProcedureAndAZeroIdAreFatal) {
    ZLogCapture log;
    EXPECT_ZABORT(ZThreadOpen(L"x", nullptr, nullptr));
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed, aborting. (threadProc)\n"));
    EXPECT_ZABORT(ZThreadClose(0));
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed, aborting. (thread)\n"));
    EXPECT_ZABORT(ZThreadSleep(-1));
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed, aborting. (duration >= 0)\n"));
}

TEST(ZThreadClose, ClosingAnUnregisteredIdOnlyWarns) {
    ZLogCapture log;
    ZThreadClose(0x7FFFFFF0u);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (ZMAPCONTAINS( ZThread_threadIDThreadMap, threadID ))\n"), 1);
}

namespace {
struct ZSpin {
    std::atomic<bool> stop{false};
    // The processor time the spinner has had so far, in microseconds.
    std::atomic<std::int64_t> used{0};
};
void spin(void* param) {
    auto* s = static_cast<ZSpin*>(param);
    while (!s->stop.load()) {
        timespec ts;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        s->used.store(static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000);
    }
}
}  // namespace

TEST(ZDebugGetPerformance, ShowsABusyThreadAndKeepsTheFiguresOfAnEndedOne) {
    ZPlatformScope platform;
    double process;
    std::map<std::wstring, double> threads;
    ZDebugGetPerformance(process, threads);
    ZSpin s;
    const ZThreadId id = ZThreadOpen(L"Spinner", spin, &s);
    // At least 200 ms, and until the spinner has had the processor for 20 ms
    // (at most 30 s): on a loaded machine a new thread may wait for its
    // turn. This thread sleeps meanwhile, leaving the processor to it.
    const std::int64_t begin = ZTimeNow();
    while (ZTimeNow() - begin < 200000 || (s.used.load() < 20000 && ZTimeNow() - begin < 30000000)) ZThreadSleep(5000);
    ZDebugGetPerformance(process, threads);
    ASSERT_EQ(threads.count(L"Spinner"), 1u);
    const double busy = threads[L"Spinner"];
    // Half-weight smoothing from zero: a thread that had the processor for
    // the whole interval shows up to 50; other tests share the machine.
    EXPECT_GT(busy, 1.0);
    EXPECT_LE(busy, 50.0);
    EXPECT_GT(process, 1.0);
    s.stop.store(true);
    ZLogCapture log;
    // Ended but not yet closed: the thread keeps its figures, silently.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%u", id);
    const std::int64_t stopped = ZTimeNow();
    while (access(path, F_OK) == 0 && ZTimeNow() - stopped < 30000000) ZThreadSleep(1000);
    ASSERT_NE(access(path, F_OK), 0) << "the spinner did not end";
    ZDebugGetPerformance(process, threads);
    ZDebugGetPerformance(process, threads);
    EXPECT_EQ(threads.count(L"Spinner"), 1u);
    EXPECT_TRUE(log.lines().empty());
    ZThreadClose(id);
}

TEST(ZThreadSetPriority, ClampsToTheFiveLevels) {
    ZLogCapture log;
    int lowest = 0, highest = 0;
    std::thread([&] {
        ZThreadSetPriority(-9);
        lowest = getpriority(PRIO_PROCESS, static_cast<id_t>(ZThreadCurrentId()));
        ZThreadSetPriority(5);
        highest = getpriority(PRIO_PROCESS, static_cast<id_t>(ZThreadCurrentId()));
    }).join();
    EXPECT_EQ(lowest, 10);
    // Raising needs a privilege: either it happened or it was refused aloud.
    if (highest != -10) {
        EXPECT_EQ(highest, 10);
        EXPECT_EQ(log.count(L"WARNING Cannot set thread priority, ignoring.\n"), 1);
    }
}

namespace {
void throwInt(void*) { throw 7; }

__attribute__((no_sanitize("address", "undefined"))) void writeNull(void*) {
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

__attribute__((no_sanitize("address", "undefined"))) void divideByZero(void*) {
    volatile int zero = 0;
    volatile int dividend = 1000;
    volatile int result = dividend / zero;
    (void)result;
}

void trap(void*) { __builtin_trap(); }

// Deep enough for any stack; the limit only keeps the compiler from
// calling it endless.
volatile int g_depthLimit = 1 << 30;

__attribute__((no_sanitize("address", "undefined"), noinline)) int recurse(int depth) {
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    if (depth >= g_depthLimit) return frame[0];
    return recurse(depth + 1) + frame[0];
}

void overflowStack(void*) { recurse(0); }
}  // namespace

TEST(ZThreadGuard, AnExceptionOrAFaultEndsTheThreadThroughTheExceptionFilter) {
    ZPlatformScope platform;
    const struct {
        ZThreadProc proc;
        const wchar_t* line;
    } cases[] = {
        {throwInt, L"): [_ZPInfoExceptFilter] ERROR Uncaught ''int' to 'int64' upcast exception?' exception.\n"},
        {writeNull, L"): [_ZPInfoExceptFilter] ERROR Uncaught 'STATUS_ACCESS_VIOLATION' exception.\n"},
        {divideByZero, L"): [_ZPInfoExceptFilter] ERROR Uncaught 'STATUS_INTEGER_DIVIDE_BY_ZERO' exception.\n"},
        {trap, L"): [_ZPInfoExceptFilter] ERROR Uncaught 'STATUS_ILLEGAL_INSTRUCTION' exception.\n"},
        {overflowStack, L"): [_ZPInfoExceptFilter] ERROR Uncaught 'STATUS_STACK_OVERFLOW' exception.\n"},
    };
    for (const auto& c : cases) {
        ZLogCapture log;
        ZRecordingAbort abort;
        const ZThreadId id = ZThreadOpen(L"Faulty", c.proc, nullptr);
        ZThreadClose(id);
        EXPECT_EQ(abort.count(), 1) << c.line;
        EXPECT_EQ(log.count(c.line), 1) << c.line;
    }
}

TEST(ZThreadGuard, DebuggerCodesAreLeftAloneAndUnknownCodesNamedUnknown) {
    ZLogCapture log;
    ZRecordingAbort abort;
    for (unsigned int code : {0x80000003u, 0x80000004u, 0x40000005u}) EXPECT_EQ(_ZPInfoExceptFilter(code), 0);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(abort.count(), 0);
    EXPECT_EQ(_ZPInfoExceptFilter(0x12345678u), 1);
    EXPECT_EQ(log.count(L"ERROR Uncaught '(unknown)' exception.\n"), 1);
    EXPECT_EQ(abort.count(), 1);
    EXPECT_STREQ(_ZPExceptionName(0xC00000FDu), "STATUS_STACK_OVERFLOW");
}
