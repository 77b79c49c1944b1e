// The object base classes and the process-wide object tracker.
//
// Threading: tracking and untracking come from every thread and are
// serialised by the tracker mutex, a leaf lock. A ZThreadSafeObject's mutex
// is re-entrant.
#pragma once

#include "ZNonPortable_Base.h"
#include "ZUtil.h"

// Root of the program's classes.
class ZObject {
public:
    virtual void invariantTest();
    virtual ~ZObject() = default;
};

// An object that lives on the stack or inside another one: not tracked.
class ZStackObject : public ZObject {};

// A heap object, registered in the object tracker with the place that made it.
class ZHeapObject : public ZObject {
public:
    ZHeapObject();
    ~ZHeapObject() override;
    ZHeapObject(const ZHeapObject&) = delete;
    ZHeapObject& operator=(const ZHeapObject&) = delete;

    static ZHeapObject* trackMemory(ZHeapObject* object, const char* file, const char* function, int line,
                                    const char* className);
    // Logs the leak tally: what is still registered.
    static void logStatus();
    // Number of registered objects (for tests and the tally).
    static int trackedCount();
};

// A heap object shared between threads, with one re-entrant mutex.
class ZThreadSafeObject : public ZHeapObject {
public:
    ZThreadSafeObject();
    ~ZThreadSafeObject() override;
    void invariantTest() override;
    void lock();
    void unlock();

protected:
    ZMutex _mutex;
};

// Holds an object's lock for the scope.
class ZScopedLock {
public:
    explicit ZScopedLock(ZThreadSafeObject* object) : _object(object) { _object->lock(); }
    ~ZScopedLock() { _object->unlock(); }
    ZScopedLock(const ZScopedLock&) = delete;
    ZScopedLock& operator=(const ZScopedLock&) = delete;

private:
    ZThreadSafeObject* _object;
};

template <typename T>
inline T* ZTrackAs(T* object, const char* file, const char* function, int line, const char* className) {
    ZHeapObject::trackMemory(object, file, function, line, className);
    return object;
}

// ZSAFENEW(ZInstance, fileName) creates and registers; ZTRACK(object, ZClass)
// registers an object made with plain new.
#define ZSAFENEW(Class, ...) ZTrackAs<Class>(new Class(__VA_ARGS__), __FILE__, ZFUNC, __LINE__, #Class)
#define ZTRACK(object, Class) ZTrackAs(object, __FILE__, ZFUNC, __LINE__, #Class)
