// Platform start-up and shut-down: signal handlers, the UI loop with its
// 100 ms tick, and the thread registry with the UI thread as "(main)".
#include <atomic>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Loop.h"
#include "ZNonPortable_Runtime.h"
#include "ZNonPortable_Signal.h"
#include "ZNonPortable_ThreadInternal.h"
#include "ZUtil.h"

namespace {
std::atomic<void*> g_instance{nullptr};
}

void ZSystemSetInstance(void* instance) { g_instance.store(instance); }

void* ZSystemGetInstance() { return g_instance.load(); }

void ZInitializeNonPortable(ZAbortHandler abortHandler) {
    _ZPInstallAltStack();
    _ZPInstallSignalHandlers();
    _ZPSetAbortHandler(abortHandler);
    _ZLoopOpen();
    _ZThreadResetRegistry();
    _ZThreadRegisterCurrent(L"(main)");
}

void ZUninitializeNonPortable() {
    _ZLoopClose();
    _ZThreadResetRegistry();
    _ZPRemoveSignalHandlers();
    _ZPSetAbortHandler(nullptr);
    _ZPRemoveAltStack();
}
