// The service thread base.
#include "ZThreadObject.h"

#include "ZNonPortable_Base.h"
#include "ZPortable.h"
#include "ZUtil.h"

ZThreadObject::ZThreadObject() { ZTRACE_KIND("ZThreadObject"); }

ZThreadObject::~ZThreadObject() {
    lock();
    ZWARNASSERT(!_thread);
    unlock();
}

void ZThreadObject::start(const std::wstring& name) {
    ZTRACE();
    ZScopedLock guard(this);
    ZLOGC('t', L"Starting thread '" << name << L"'");
    ZWARNASSERT(!_thread);
    _name = name;
    _stop.store(false);
    _thread = ZThreadOpen(name, ZThreadObject_ThreadProc, this);
    ZASSERT(_thread);
}

void ZThreadObject::stop(bool join) {
    ZTRACE();
    ZLOGC('t', L"Stopping thread '" << _name << L"'");
    // Without the lock: the worker sees the flag at the top of its next
    // iteration, after its current callback and sleep.
    _stop.store(true);
    // A worker asleep between two iterations sees the flag now.
    wake();
    if (join) this->join();
}

void ZThreadObject::join() {
    ZTRACE();
    ZLOGC('t', L"Joining thread '" << getThreadName() << L"'");
    const ZThreadId id = getThread();
    if (id) {
        ZThreadClose(id);
        ZScopedLock guard(this);
        _thread = 0;
    }
}

ZThreadId ZThreadObject::getThread() {
    ZScopedLock guard(this);
    return _thread;
}

std::wstring ZThreadObject::getThreadName() {
    ZScopedLock guard(this);
    return _name;
}

void ZThreadObject::wake() {
    {
        std::lock_guard<std::mutex> guard(_wakeMutex);
        _woken = true;
    }
    _wakeCondition.notify_all();
}

void ZThreadObject::_sleep(int ms) {
    ZPRECONDITION(ms >= 0);
    unlock();
    // No time at all only lets another thread take the lock: a wait that is
    // over before it starts still blocks in the kernel, and a service that
    // waits inside its pass (on the switchboard) would wake twice a pass.
    {
        std::unique_lock<std::mutex> guard(_wakeMutex);
        const auto due = [this] { return _woken || _stop.load(); };
        if (ms == ZTHREADOBJECT_UNTIL_WOKEN)
            _wakeCondition.wait(guard, due);
        else if (ms > 0)
            _wakeCondition.wait_for(guard, std::chrono::milliseconds(ms), due);
        _woken = false;
    }
    lock();
}

void ZThreadObject_ThreadProc(void* data) {
    ZTRACE();
    ZPRECONDITION(data);
    auto* object = static_cast<ZThreadObject*>(data);
    // The id comes from ZThreadOpen once start's lock is released.
    ZScopedLock guard(object);
    const ZThreadId id = object->getThread();
    const std::wstring name = object->getThreadName();
    ZLOGC('t', L"'" << name << L"' startup (" << ZToHex(id, 8) << L")");
    object->_bZThreadObject_safe_onStartup();
    ZLOGC('t', L"'" << name << L"' beginning loop");
    if (!ZDebugIsCrashing()) {
        for (;;) {
            if (object->_stop.load()) break;
            const int ms = object->_bZThreadObject_safe_onLoop();
            if (ms < 0) break;
            object->_sleep(ms);
            if (ZDebugIsCrashing()) break;
        }
    }
    ZLOGC('t', name << L" shutting down");
    object->_bZThreadObject_safe_onShutdown();
    ZLOGC('t', name << L" shutdown");
}
