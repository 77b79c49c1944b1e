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
    Queue& queue = _queueMap[lname];
    queue.items.push_back(item);
    queue.bytes += item.size();
    const auto wake = _queueWakeMap.find(lname);
    if (wake != _queueWakeMap.end()) wake->second();
    _notify(lname);
}

bool ZInstance::enqueueBounded(const std::wstring& name, const std::string& item, std::size_t maxItems,
                               std::size_t maxBytes) {
    ZTRACE();
    ZScopedLock lock(this);
    enqueue(name, item);
    Queue& queue = _queueMap[ZToLower(name)];
    bool dropped = false;
    while (queue.items.size() > 1 && (queue.items.size() > maxItems || queue.bytes > maxBytes)) {
        queue.bytes -= queue.items.front().size();
        queue.items.pop_front();
        ++queue.taken;
        dropped = true;
    }
    return dropped;
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
    if (found == _queueMap.end() || found->second.items.empty()) return false;
    Queue& queue = found->second;
    out = std::move(queue.items.front());
    queue.items.pop_front();
    queue.bytes -= out.size();
    ++queue.taken;
    _notify(lname);
    return true;
}

bool ZInstance::index(const std::wstring& name, int position, std::string& out) {
    ZTRACE();
    ZScopedLock lock(this);
    const auto found = _queueMap.find(ZToLower(name));
    if (found == _queueMap.end() || position < 0) return false;
    const std::deque<std::string>& items = found->second.items;
    if (static_cast<std::size_t>(position) >= items.size()) return false;
    out = items[static_cast<std::size_t>(position)];
    return true;
}

bool ZInstance::read(const std::wstring& name, std::uint64_t& serial, std::string& out) {
    ZTRACE();
    ZScopedLock lock(this);
    const auto found = _queueMap.find(ZToLower(name));
    if (found == _queueMap.end()) return false;
    const Queue& queue = found->second;
    if (serial < queue.taken) serial = queue.taken;
    const std::uint64_t position = serial - queue.taken;
    if (position >= queue.items.size()) return false;
    out = queue.items[static_cast<std::size_t>(position)];
    return true;
}

unsigned int ZInstance::length(const std::wstring& name) {
    ZTRACE();
    ZScopedLock lock(this);
    const auto found = _queueMap.find(ZToLower(name));
    return found == _queueMap.end() ? 0u : static_cast<unsigned int>(found->second.items.size());
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
