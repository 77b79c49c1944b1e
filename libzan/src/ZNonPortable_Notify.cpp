// Cross-thread notification: a record on the UI loop's queue per call,
// delivered to the handle's listener on the UI thread.
#include <mutex>
#include <vector>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Loop.h"
#include "ZUtil.h"

// A listener's handle; its listener is cleared on close, the handle itself
// stays so that notifications still queued find it empty.
struct ZNotifyHandle {
    IZNotifyListener* listener;
};

namespace {

// Every handle ever opened, so that they stay reachable for the life of the
// process.
void keep(ZNotifyHandle* handle) {
    static std::mutex mutex;
    static auto* handles = new std::vector<ZNotifyHandle*>;
    std::lock_guard<std::mutex> guard(mutex);
    handles->push_back(handle);
}

}  // namespace

ZNotifyHandle* ZNotifyOpen(IZNotifyListener* listener) {
    ZPRECONDITION(listener);
    auto* handle = new ZNotifyHandle{listener};
    keep(handle);
    return handle;
}

void ZNotifyClose(ZNotifyHandle* handle) {
    ZPRECONDITION_T(handle, "listener");
    handle->listener = nullptr;
}

void ZNotify(ZNotifyHandle* handle, int code) {
    ZPRECONDITION_T(handle, "listener");
    if (ZDebugIsCrashing()) return;
    const std::int64_t sent = ZTimeNow();
    if (!_ZLoopIsOpen()) {
        ZWARNASSERT_T(false, "ZWin_invisibleHWND");
        return;
    }
    _ZLoopPostNotify(handle, code, sent);
}

void _ZNotifyDeliver(ZNotifyHandle* handle, int code, std::int64_t sentTime) {
    if (handle && handle->listener) handle->listener->onNotification(code, sentTime);
}
