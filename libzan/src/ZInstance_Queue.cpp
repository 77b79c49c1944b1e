// The store's named queues and its watchers: how threads pass messages and
// how UI listeners hear about changes.
#include "ZInstance.h"
#include "ZNonPortable_Net.h"
#include "ZPortable.h"
#include "ZUtil.h"

void ZInstance::enqueue(const std::wstring& name, const std::string& item) {
    ZTRACE();
    ZWARNASSERT(!name.empty( ));
    ZScopedLock lock(this);
    const std::wstring lname = ZToLower(name);
    _queueMap[lname].push_back(item);
    const auto wake = _queueWakeMap.find(lname);
    if (wake != _queueWakeMap.end()) wake->second();
    _notify(lname);
}

void ZInstance::setQueueWake(const std::wstring& name, ZNetWake* wake) {
    if (wake)
        setQueueWaker(name, [wake] { ZNetWakeSignal(wake); });
    else
        setQueueWaker(name, nullptr);
}

void ZInstance::setQueueWaker(const std::wstring& name, std::function<void()> wake) {
    ZScopedLock lock(this);
    const std::wstring lname = ZToLower(name);
    if (wake)
        _queueWakeMap[lname] = std::move(wake);
    else
        _queueWakeMap.erase(lname);
}

bool ZInstance::dequeue(const std::wstring& name, std::string& out) {
    ZTRACE();
    ZWARNASSERT(!name.empty( ));
    ZScopedLock lock(this);
    const std::wstring lname = ZToLower(name);
    const auto found = _queueMap.find(lname);
    if (found == _queueMap.end() || found->second.empty()) return false;
    out = std::move(found->second.front());
    found->second.pop_front();
    _notify(lname);
    return true;
}

bool ZInstance::index(const std::wstring& name, int position, std::string& out) {
    ZTRACE();
    ZScopedLock lock(this);
    const auto found = _queueMap.find(ZToLower(name));
    if (found == _queueMap.end() || position < 0) return false;
    const std::list<std::string>& items = found->second;
    if (static_cast<std::size_t>(position) >= items.size()) return false;
    auto at = items.begin();
    std::advance(at, position);
    out = *at;
    return true;
}

unsigned int ZInstance::length(const std::wstring& name) {
    ZTRACE();
    ZScopedLock lock(this);
    const auto found = _queueMap.find(ZToLower(name));
    return found == _queueMap.end() ? 0u : static_cast<unsigned int>(found->second.size());
}

void ZInstance::watch(const std::wstring& name, ZNotifyHandle* listener, unsigned int code) {
    ZTRACE();
    ZPRECONDITION(listener);
    ZScopedLock lock(this);
    _watcherMap[ZToLower(name)].push_back(ZInstanceWatcher{listener, code});
}

void ZInstance::unwatch(const std::wstring& name, ZNotifyHandle* listener, unsigned int code) {
    ZTRACE();
    ZPRECONDITION(listener);
    ZScopedLock lock(this);
    std::list<ZInstanceWatcher>& watchers = _watcherMap[ZToLower(name)];
    for (auto it = watchers.begin(); it != watchers.end(); ++it) {
        if (it->listener == listener && it->code == code) {
            watchers.erase(it);
            return;
        }
    }
    ZLOG(L"WARNING Unwatched '" << name << L"' when it wasn't being watched.");
}
