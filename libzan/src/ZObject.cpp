// Object base classes and the object tracker behind the leak tally.
#include "ZObject.h"

#include <cstdio>
#include <map>
#include <tuple>

namespace {

struct ZAllocationRecord {
    const char* file;
    const char* function;
    int line;
    const char* className;
    bool operator<(const ZAllocationRecord& o) const {
        return std::tie(file, function, line, className) < std::tie(o.file, o.function, o.line, o.className);
    }
};

ZMutex trackerMutex() {
    static ZMutex mutex = ZMutexOpen();
    return mutex;
}

std::map<const ZHeapObject*, ZAllocationRecord>& objectTrackerMap() {
    static auto* map = new std::map<const ZHeapObject*, ZAllocationRecord>;
    return *map;
}

}  // namespace

void ZObject::invariantTest() {
    ZASSERT_T(ZValidPointer(this), ZVALIDPTR_TEXT(this));
}

ZHeapObject::ZHeapObject() {
    ZObject::invariantTest();
    trackerMutex();
}

ZHeapObject::~ZHeapObject() {
    ZMutexLock(trackerMutex());
    auto& map = objectTrackerMap();
    auto it = map.find(this);
    if (it == map.end()) {
        ZLOG(L"WARNING Object not tracked on destruction.  Did you forget to use ZSAFENEW or ZTRACK?");
    } else {
        map.erase(it);
    }
    ZMutexUnlock(trackerMutex());
}

ZHeapObject* ZHeapObject::trackMemory(ZHeapObject* object, const char* file, const char* function, int line,
                                      const char* className) {
    ZMutexLock(trackerMutex());
    auto& map = objectTrackerMap();
    ZWARNASSERT_T(!ZMAPCONTAINS(map, object), "!ZMAPCONTAINS( _objectTrackerMap, this )");
    map[object] = ZAllocationRecord{file, function, line, className};
    ZMutexUnlock(trackerMutex());
    return object;
}

int ZHeapObject::trackedCount() {
    ZMutexLock(trackerMutex());
    const int n = static_cast<int>(objectTrackerMap().size());
    ZMutexUnlock(trackerMutex());
    return n;
}

void ZHeapObject::logStatus() {
    auto& map = objectTrackerMap();
    if (map.empty()) {
        ZLOG(L"Leaked Object Tally: (none)");
        return;
    }
    std::map<ZAllocationRecord, int> sites;
    for (const auto& entry : map) ++sites[entry.second];
    ZLOG(L"Leaked Object Tally: " << static_cast<int>(map.size()) << L" objects in " << static_cast<int>(sites.size())
                                  << L" classes.");
    for (const auto& site : sites) {
        char line[1024];
        std::snprintf(line, sizeof line, "- %s -> %s (%d): new %s( ) = %d", site.first.file, site.first.function,
                      site.first.line, site.first.className, site.second);
        ZLOG(line);
    }
}

ZThreadSafeObject::ZThreadSafeObject() : _mutex(ZMutexOpen()) {}

ZThreadSafeObject::~ZThreadSafeObject() { ZMutexClose(_mutex); }

void ZThreadSafeObject::invariantTest() {
    ZASSERT(_mutex);
    ZObject::invariantTest();
}

void ZThreadSafeObject::lock() {
    ZTRACE();
    ZMutexLock(_mutex);
}

void ZThreadSafeObject::unlock() {
    ZTRACE();
    ZMutexUnlock(_mutex);
}
