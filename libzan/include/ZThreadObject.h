// The base of every long-running service: one worker thread that runs
// onStartup, then onLoop until it returns a negative value or the service
// is stopped, sleeping the milliseconds onLoop returns, then onShutdown.
//
// Threading: the worker holds the object's lock during each callback and
// releases it only while sleeping, so another thread that takes the lock
// runs between two iterations. start, stop and join are called by the
// owner's thread; stop never waits for a running callback.
#pragma once

#include <atomic>
#include <string>

#include "ZNonPortable_Thread.h"
#include "ZObject.h"

// A service with its own worker thread.
class ZThreadObject : public ZThreadSafeObject {
public:
    ZThreadObject();
    ~ZThreadObject() override;

    void start(const std::wstring& name);
    // Asks the thread to end after its current iteration; join waits for it.
    void stop(bool join);
    void join();
    ZThreadId getThread();
    // True once stop was called: a service that waits inside its loop looks
    // at it after each wait.
    bool isStopping() const { return _stop.load(); }
    std::wstring getThreadName();

protected:
    virtual void _bZThreadObject_safe_onStartup() {}
    // Milliseconds to sleep before the next iteration; negative ends the loop.
    virtual int _bZThreadObject_safe_onLoop() { return -1; }
    virtual void _bZThreadObject_safe_onShutdown() {}
    // Sleeps with the object's lock released.
    void _sleep(int ms);

private:
    friend void ZThreadObject_ThreadProc(void* data);

    std::wstring _name;
    std::atomic<bool> _stop{false};
    ZThreadId _thread = 0;
};

// The worker's start routine; data is the object.
void ZThreadObject_ThreadProc(void* data);
