// Threads: identity, the thread-local slot, sleeping, priorities, and the
// registry of named threads with their processor load.
//
// A new thread hands its kernel id back to ZThreadOpen before it runs its
// procedure, so the id is registered with the thread's pthread_t and CPU
// clock while the thread certainly lives. The registry keeps the full name
// (the kernel keeps 15 bytes); a thread that ended keeps its last figures.
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Signal.h"
#include "ZNonPortable_Thread.h"
#include "ZNonPortable_ThreadInternal.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

std::atomic<ZThreadLocalDestructor> g_localDestructor{nullptr};

void localTrampoline(void* value) {
    ZThreadLocalDestructor callback = g_localDestructor.load();
    if (callback && value) callback(value);
}

pthread_key_t localKey() {
    static pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, localTrampoline);
        return k;
    }();
    return key;
}

struct ZThreadRecord {
    std::wstring name;
    pthread_t thread{};
    bool joinable = false;
    bool hasClock = false;
    clockid_t clock{};
    bool ended = false;
    std::uint64_t load = 0;
    std::uint64_t lastCpu = 0;
};

struct ZThreadStart {
    ZThreadProc threadProc;
    void* param;
    std::wstring name;
    std::mutex mutex;
    std::condition_variable changed;
    ZThreadId id = 0;
    bool registered = false;
};

struct ZProcessCpu {
    std::uint64_t lastWall = 0;
    std::uint64_t processLoad = 0;
    std::uint64_t processLastCpu = 0;
};

// The registry mutex is a leaf lock; it exists from first use on, so the
// registry works before start-up and after shut-down too.
ZMutex registryMutex() {
    static ZMutex mutex = ZMutexOpen();
    return mutex;
}

std::map<ZThreadId, ZThreadRecord>& ZThread_threadIDThreadMap() {
    static auto* map = new std::map<ZThreadId, ZThreadRecord>;
    return *map;
}

ZProcessCpu g_processCpu;

// Names compare without regard to case, ASCII only.
bool sameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'A' && x <= L'Z') x += L'a' - L'A';
        if (y >= L'A' && y <= L'Z') y += L'a' - L'A';
        if (x != y) return false;
    }
    return true;
}

class ZRegistryLock {
public:
    ZRegistryLock() { ZMutexLock(registryMutex()); }
    ~ZRegistryLock() { ZMutexUnlock(registryMutex()); }
    ZRegistryLock(const ZRegistryLock&) = delete;
    ZRegistryLock& operator=(const ZRegistryLock&) = delete;
};

void _ZThreadRegister(ZThreadId id, pthread_t thread, bool joinable, const std::wstring& name) {
    ZRegistryLock lock;
    ZThreadRecord& record = ZThread_threadIDThreadMap()[id];
    record = ZThreadRecord{};
    record.name = name;
    record.thread = thread;
    record.joinable = joinable;
    // A thread that could not be made has no clock of its own to read.
    const bool ownClock = joinable || id == ZThreadCurrentId();
    record.hasClock = ownClock && pthread_getcpuclockid(thread, &record.clock) == 0;
}

std::uint64_t cpuTime100ns(clockid_t clock, bool& ok) {
    timespec ts;
    ok = clock_gettime(clock, &ts) == 0;
    if (!ok) return 0;
    return static_cast<std::uint64_t>(ts.tv_sec) * 10000000ULL + static_cast<std::uint64_t>(ts.tv_nsec) / 100;
}

void _ZThreadSetDebuggerName(const std::string& utf8) {
    // The kernel keeps 15 bytes; cut at a character boundary.
    std::string cut = utf8.substr(0, 15);
    while (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0x80) cut.pop_back();
    if (!cut.empty() && (static_cast<unsigned char>(cut.back()) & 0xC0) == 0xC0) cut.pop_back();
    pthread_setname_np(pthread_self(), cut.c_str());
}

struct ZThreadBodyArgs {
    ZThreadProc threadProc;
    void* param;
};

void runThreadProc(void* context) {
    auto* args = static_cast<ZThreadBodyArgs*>(context);
    args->threadProc(args->param);
}

void* _ZThreadStartRoutine(void* data) {
    // Both sides hold the start record; the last one to let go frees it.
    std::shared_ptr<ZThreadStart> start = *static_cast<std::shared_ptr<ZThreadStart>*>(data);
    delete static_cast<std::shared_ptr<ZThreadStart>*>(data);
    _ZPInstallAltStack();
    ZThreadBodyArgs args{start->threadProc, start->param};
    const std::string name = ZToUTF8(start->name);
    {
        std::unique_lock<std::mutex> guard(start->mutex);
        start->id = ZThreadCurrentId();
        start->changed.notify_all();
        start->changed.wait(guard, [start] { return start->registered; });
    }
    start.reset();
    _ZThreadSetDebuggerName(name);
    _ZPGuard(runThreadProc, &args);
    {
        ZRegistryLock lock;
        auto found = ZThread_threadIDThreadMap().find(ZThreadCurrentId());
        if (found != ZThread_threadIDThreadMap().end()) found->second.ended = true;
    }
    _ZPRemoveAltStack();
    return nullptr;
}

}  // namespace

ZThreadId ZThreadCurrentId() {
    thread_local ZThreadId id = static_cast<ZThreadId>(syscall(SYS_gettid));
    return id;
}

void* ZThreadGetLocal() { return pthread_getspecific(localKey()); }

void ZThreadSetLocal(void* value) { pthread_setspecific(localKey(), value); }

void ZThreadSetLocalDestructor(ZThreadLocalDestructor callback) {
    localKey();
    g_localDestructor.store(callback);
}

void ZThreadSleep(std::int64_t duration) {
    ZASSERT(duration >= 0);
    if (duration < 0) return;
    // The platform sleeps in whole milliseconds.
    const std::int64_t ms = duration / 1000;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

ZThreadId ZThreadOpen(const std::wstring& name, ZThreadProc threadProc, void* param) {
    ZASSERT(threadProc);
    auto start = std::make_shared<ZThreadStart>();
    start->threadProc = threadProc;
    start->param = param;
    start->name = name;
    auto* handOver = new std::shared_ptr<ZThreadStart>(start);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, _ZThreadStartRoutine, handOver) != 0) {
        delete handOver;
        _ZThreadRegister(0, pthread_self(), false, name);
        return 0;
    }
    ZThreadId id;
    {
        std::unique_lock<std::mutex> guard(start->mutex);
        start->changed.wait(guard, [start] { return start->id != 0; });
        id = start->id;
    }
    _ZThreadRegister(id, thread, true, name);
    {
        std::lock_guard<std::mutex> guard(start->mutex);
        start->registered = true;
        start->changed.notify_all();
    }
    return id;
}

void ZThreadClose(ZThreadId thread) {
    ZASSERT(thread);
    if (!thread) return;
    pthread_t handle{};
    bool joinable = false;
    {
        ZRegistryLock lock;
        auto found = ZThread_threadIDThreadMap().find(thread);
        if (found != ZThread_threadIDThreadMap().end() && found->second.joinable) {
            handle = found->second.thread;
            joinable = true;
            // Only one closer may join.
            found->second.joinable = false;
        }
    }
    // The wait happens outside the registry lock.
    if (joinable) pthread_join(handle, nullptr);
    ZRegistryLock lock;
    ZWARNASSERT_T(ZMAPCONTAINS(ZThread_threadIDThreadMap(), thread),
                  "ZMAPCONTAINS( ZThread_threadIDThreadMap, threadID )");
    ZThread_threadIDThreadMap().erase(thread);
}

void ZThreadSetPriority(int priority) {
    if (priority < -2) priority = -2;
    if (priority > 2) priority = 2;
    static const int kNice[] = {10, 5, 0, -5, -10};
    const int nice = kNice[priority + 2];
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(ZThreadCurrentId()), nice) != 0) {
        ZLOG(L"WARNING Cannot set thread priority, ignoring.");
    }
}

ZThreadId ZThreadFindByName(const std::wstring& name) {
    ZRegistryLock lock;
    for (const auto& entry : ZThread_threadIDThreadMap())
        if (sameName(entry.second.name, name)) return entry.first;
    return 0;
}

void ZDebugGetPerformance(double& process, std::map<std::wstring, double>& threads) {
    process = 0.0;
    threads.clear();
    ZRegistryLock lock;
    const std::uint64_t now = static_cast<std::uint64_t>(ZTimeNow()) * 10;
    const std::int64_t elapsed = static_cast<std::int64_t>(now - g_processCpu.lastWall);
    g_processCpu.lastWall = now;
    if (elapsed <= 0) return;
    bool ok;
    const std::uint64_t processCpu = cpuTime100ns(CLOCK_PROCESS_CPUTIME_ID, ok);
    ZWARNASSERT_T(ok, "clock_gettime( CLOCK_PROCESS_CPUTIME_ID, &ts )");
    const std::uint64_t load = (processCpu - g_processCpu.processLastCpu) * 1000 / static_cast<std::uint64_t>(elapsed);
    g_processCpu.processLastCpu = processCpu;
    g_processCpu.processLoad = (g_processCpu.processLoad + load) / 2;
    process = static_cast<double>(g_processCpu.processLoad) / 10.0;
    for (auto& entry : ZThread_threadIDThreadMap()) {
        ZThreadRecord& record = entry.second;
        if (record.hasClock && !record.ended) {
            const std::uint64_t cpu = cpuTime100ns(record.clock, ok);
            if (ok) {
                const std::uint64_t threadLoad = (cpu - record.lastCpu) * 1000 / static_cast<std::uint64_t>(elapsed);
                record.lastCpu = cpu;
                record.load = (record.load + threadLoad) / 2;
            } else {
                // The thread ended between two reports: keep its last figures.
                record.ended = true;
            }
        }
        threads[record.name] = static_cast<double>(record.load) / 10.0;
    }
}

void _ZThreadRegisterCurrent(const std::wstring& name) {
    _ZThreadRegister(ZThreadCurrentId(), pthread_self(), false, name);
}

void _ZThreadResetRegistry() {
    ZRegistryLock lock;
    ZThread_threadIDThreadMap().clear();
    g_processCpu = ZProcessCpu{};
}
