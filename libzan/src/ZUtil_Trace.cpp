// Trace scopes: one call stack per thread, recorded in memory for the crash
// handler and for error lines.
#include <map>
#include <mutex>
#include <vector>

#include "ZNonPortable_Base.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

struct ZCallFrame {
    const char* file;
    const char* function;
    int line;
    const char* kind;
    std::int64_t entered;
};

struct ZCallStack {
    int depth = 0;
    std::vector<ZCallFrame> frames;
    ZMutex mutex = nullptr;
};

// The map mutex is taken before any stack's own mutex.
ZMutex mapMutex() {
    static ZMutex mutex = ZMutexOpen();
    return mutex;
}

std::map<ZThreadId, ZCallStack*>& callStackMap() {
    static auto* map = new std::map<ZThreadId, ZCallStack*>;
    return *map;
}

}  // namespace

std::int64_t ZCallEnter(const char* file, const char* function, int line, const char* kind) {
    auto* stack = static_cast<ZCallStack*>(ZThreadGetLocal());
    if (!stack) {
        ZMutexLock(mapMutex());
        stack = new ZCallStack;
        stack->mutex = ZMutexOpen();
        ZThreadSetLocal(stack);
        callStackMap()[ZThreadCurrentId()] = stack;
        ZMutexUnlock(mapMutex());
    }
    const std::int64_t now = ZTimeNow();
    ZMutexLock(stack->mutex);
    const int old = stack->depth;
    stack->depth = old + 1;
    stack->frames.resize(static_cast<std::size_t>(old));
    stack->frames.push_back(ZCallFrame{file, function, line, kind, now});
    ZMutexUnlock(stack->mutex);
    return now;
}

void ZCallLeave() {
    auto* stack = static_cast<ZCallStack*>(ZThreadGetLocal());
    ZASSERT_T(ZValidPointer(stack), "ptr");
    if (!stack) return;
    ZMutexLock(stack->mutex);
    stack->depth = stack->depth - 1;
    ZMutexUnlock(stack->mutex);
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
    ZMutexClose(callStack->mutex);
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
    for (std::size_t i = stack->frames.size(); i-- > 0;) {
        const ZCallFrame& f = stack->frames[i];
        std::wstring line;
        line << f.file << L"(" << f.line << L"): " << (static_cast<int>(i) < stack->depth ? L" " : L"*") << L"["
             << f.function << L"] (" << f.kind << L")\n";
        ZLog(line);
    }
    ZMutexUnlock(stack->mutex);
    ZMutexUnlock(mapMutex());
}

void ZCallStackDumpCurrent() { ZCallStackDump(ZThreadCurrentId()); }
