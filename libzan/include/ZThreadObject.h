// The base of every long-running service: one worker thread that runs
// onStartup, then onLoop until it returns a negative value or the service
// is stopped, sleeping the milliseconds onLoop returns, then onShutdown.
//
// Threading: the worker holds the object's lock during each callback and
// releases it only while sleeping, so another thread that takes the lock
// runs between two iterations. start, stop and join are called by the
// owner's thread; stop never waits for a running callback. Any thread may
// call wake; its own mutex is a leaf, so it may be called with the store's
// lock or any other held.
#pragma once

#include <atomic>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string>

#include "ZNonPortable_Thread.h"
#include "ZObject.h"

// What onLoop returns when it has no timed work: the worker sleeps until
// wake or stop.
constexpr int ZTHREADOBJECT_UNTIL_WOKEN = INT_MAX;

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
    // Ends the sleep between two iterations now, or the next one if the
    // worker is not sleeping: work posted to the service is done at once
    // instead of after the time onLoop asked for. Wakes do not count.
    void wake();

protected:
    virtual void _bZThreadObject_safe_onStartup() {}
    // Milliseconds to sleep before the next iteration (ZTHREADOBJECT_UNTIL_WOKEN:
    // until a wake); negative ends the loop.
    virtual int _bZThreadObject_safe_onLoop() { return -1; }
    virtual void _bZThreadObject_safe_onShutdown() {}
    // Sleeps with the object's lock released, until the time passes, wake is
    // called or the service is stopped. No time at all only lets another
    // thread take the lock: the worker does not block.
    void _sleep(int ms);

private:
    friend void ZThreadObject_ThreadProc(void* data);

    std::wstring _name;
    std::atomic<bool> _stop{false};
    ZThreadId _thread = 0;
    std::mutex _wakeMutex;
    std::condition_variable _wakeCondition;
    bool _woken = false;
};

// The worker's start routine; data is the object.
void ZThreadObject_ThreadProc(void* data);
