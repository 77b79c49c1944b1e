// Trace scopes: one call stack per thread, recorded in memory for the crash
// handler and for error lines.
//
// Entering and leaving a scope is on the path of nearly every method, so it
// takes no lock and reads no clock: the owning thread writes the frame into
// its own array and then publishes the new depth. Every frame field is an
// atomic written with plain stores, so another thread that dumps the stack
// while it changes reads whole pointers, never torn ones. The array only
// grows under the stack's mutex, which a dump holds while it reads.
#include <atomic>
#include <map>
#include <vector>

#include "ZNonPortable_Base.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

struct ZCallFrame {
    std::atomic<const char*> file{nullptr};
    std::atomic<const char*> function{nullptr};
    std::atomic<int> line{0};
    std::atomic<const char*> kind{nullptr};
    // Set only by ZCallEnter; a ZTRACE scope records where, not when.
    std::atomic<std::int64_t> entered{0};
};

struct ZCallStack {
    // Open scopes.
    std::atomic<int> depth{0};
    // Frames recorded: the depth after the last entry. Frames from depth up
    // to here belong to scopes already closed and show where the thread was
    // last.
    std::atomic<int> kept{0};
    std::atomic<ZCallFrame*> frames{nullptr};
    int capacity = 0;
    ZMutex mutex = nullptr;
};

constexpr int kFirstCapacity = 64;

// The calling thread's stack, also held as the thread's local value so the
// thread-exit callback receives it. The library is linked into programs
// only, so the initial-exec model is always available.
__attribute__((tls_model("initial-exec"))) thread_local ZCallStack* t_callStack = nullptr;

// The map mutex is taken before any stack's own mutex.
ZMutex mapMutex() {
    static ZMutex mutex = ZMutexOpen();
    return mutex;
}

std::map<ZThreadId, ZCallStack*>& callStackMap() {
    static auto* map = new std::map<ZThreadId, ZCallStack*>;
    return *map;
}

// The first scope of a thread.
ZCallStack* openCallStack() {
    ZMutexLock(mapMutex());
    auto* stack = new ZCallStack;
    stack->mutex = ZMutexOpen();
    stack->frames.store(new ZCallFrame[kFirstCapacity], std::memory_order_release);
    stack->capacity = kFirstCapacity;
    ZThreadSetLocal(stack);
    callStackMap()[ZThreadCurrentId()] = stack;
    t_callStack = stack;
    ZMutexUnlock(mapMutex());
    return stack;
}

// Makes room for one more frame; only the owning thread calls it.
__attribute__((noinline)) void growCallStack(ZCallStack* stack) {
    ZMutexLock(stack->mutex);
    // More leaves than entries are a programming error; the stack starts
    // again from nothing rather than writing before its array.
    if (stack->depth.load(std::memory_order_relaxed) < 0) {
        stack->depth.store(0, std::memory_order_release);
        stack->kept.store(0, std::memory_order_release);
    }
    if (stack->depth.load(std::memory_order_relaxed) >= stack->capacity) {
        const int capacity = stack->capacity * 2;
        ZCallFrame* old = stack->frames.load(std::memory_order_relaxed);
        auto* frames = new ZCallFrame[static_cast<std::size_t>(capacity)];
        for (int i = 0; i < stack->capacity; ++i) {
            frames[i].file.store(old[i].file.load(std::memory_order_relaxed), std::memory_order_relaxed);
            frames[i].function.store(old[i].function.load(std::memory_order_relaxed), std::memory_order_relaxed);
            frames[i].line.store(old[i].line.load(std::memory_order_relaxed), std::memory_order_relaxed);
            frames[i].kind.store(old[i].kind.load(std::memory_order_relaxed), std::memory_order_relaxed);
            frames[i].entered.store(old[i].entered.load(std::memory_order_relaxed), std::memory_order_relaxed);
        }
        stack->frames.store(frames, std::memory_order_release);
        stack->capacity = capacity;
        delete[] old;
    }
    ZMutexUnlock(stack->mutex);
}

inline void writeFrame(ZCallStack* stack, int at, const char* file, const char* function, int line,
                       const char* kind, std::int64_t entered) {
    ZCallFrame& frame = stack->frames.load(std::memory_order_relaxed)[at];
    frame.file.store(file, std::memory_order_relaxed);
    frame.function.store(function, std::memory_order_relaxed);
    frame.line.store(line, std::memory_order_relaxed);
    frame.kind.store(kind, std::memory_order_relaxed);
    frame.entered.store(entered, std::memory_order_relaxed);
    // The frame is written before it is counted.
    stack->kept.store(at + 1, std::memory_order_release);
    stack->depth.store(at + 1, std::memory_order_release);
}

// The first scope of a thread, or one more than the array holds.
__attribute__((noinline)) void pushFrameSlow(const char* file, const char* function, int line, const char* kind,
                                             std::int64_t entered) {
    ZCallStack* stack = t_callStack;
    if (!stack) stack = openCallStack();
    if (static_cast<unsigned>(stack->depth.load(std::memory_order_relaxed)) >=
        static_cast<unsigned>(stack->capacity))
        growCallStack(stack);
    writeFrame(stack, stack->depth.load(std::memory_order_relaxed), file, function, line, kind, entered);
}

inline void pushFrame(const char* file, const char* function, int line, const char* kind, std::int64_t entered) {
    ZCallStack* stack = t_callStack;
    if (__builtin_expect(stack != nullptr, 1)) {
        const int old = stack->depth.load(std::memory_order_relaxed);
        if (__builtin_expect(static_cast<unsigned>(old) < static_cast<unsigned>(stack->capacity), 1)) {
            writeFrame(stack, old, file, function, line, kind, entered);
            return;
        }
    }
    pushFrameSlow(file, function, line, kind, entered);
}

}  // namespace

std::int64_t ZCallEnter(const char* file, const char* function, int line, const char* kind) {
    const std::int64_t now = ZTimeNow();
    pushFrame(file, function, line, kind, now);
    return now;
}

void ZCallPush(const char* file, const char* function, int line, const char* kind) {
    pushFrame(file, function, line, kind, 0);
}

void ZCallLeave() {
    ZCallStack* stack = t_callStack;
    ZASSERT_T(ZValidPointer(stack), "ptr");
    if (!stack) return;
    stack->depth.store(stack->depth.load(std::memory_order_relaxed) - 1, std::memory_order_release);
}

void _ZCallDestructor(void* value) {
    auto* callStack = static_cast<ZCallStack*>(value);
    const ZThreadId thread = ZThreadCurrentId();
    if (thread == 0 || !callStack) {
        ZLOG(L"WARNING Invalid thread key on close, ignoring.");
        return;
    }
    ZMutexLock(mapMutex());
    ZASSERT_T(ZValidPointer(callStack), ZVALIDPTR_TEXT(callStack));
    // A scope opened later in this thread's exit starts a new stack.
    if (t_callStack == callStack) t_callStack = nullptr;
    ZMutexClose(callStack->mutex);
    delete[] callStack->frames.load(std::memory_order_relaxed);
    delete callStack;
    auto& map = callStackMap();
    ZWARNASSERT_T(ZMAPCONTAINS(map, thread), "ZMAPCONTAINS( ZDebug_threadIDCallStackMap, thread )");
    map.erase(thread);
    ZMutexUnlock(mapMutex());
}

void ZCallStackDump(std::uint32_t threadId) {
    ZMutexLock(mapMutex());
    auto& map = callStackMap();
    auto it = map.find(threadId);
    if (it == map.end()) {
        ZMutexUnlock(mapMutex());
        return;
    }
    ZCallStack* stack = it->second;
    ZMutexLock(stack->mutex);
    std::wstring head = L"---- Call Stack for Thread #";
    head << ZToHex(threadId, 8) << L" -----\n";
    ZLog(head);
    const int depth = stack->depth.load(std::memory_order_acquire);
    const int kept = stack->kept.load(std::memory_order_acquire);
    const ZCallFrame* frames = stack->frames.load(std::memory_order_acquire);
    for (int i = kept; i-- > 0;) {
        const ZCallFrame& f = frames[i];
        std::wstring line;
        line << f.file.load(std::memory_order_relaxed) << L"(" << f.line.load(std::memory_order_relaxed) << L"): "
             << (i < depth ? L" " : L"*") << L"[" << f.function.load(std::memory_order_relaxed) << L"] ("
             << f.kind.load(std::memory_order_relaxed) << L")\n";
        ZLog(line);
    }
    ZMutexUnlock(stack->mutex);
    ZMutexUnlock(mapMutex());
}

void ZCallStackDumpCurrent() { ZCallStackDump(ZThreadCurrentId()); }
