// The service's one event loop: epoll over every socket of every role, timers
// on the monotonic clock, calls posted from other threads and a stop request
// that a signal handler may make.
//
// Threading: everything runs on the thread that calls run(), except post()
// and requestStop(), which any thread (requestStop also a signal handler)
// may call.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

// Receives the readiness events of one descriptor.
class IZServerHandler {
public:
    virtual void onEvents(std::uint32_t events) = 0;

protected:
    ~IZServerHandler() = default;
};

// One epoll loop with timers and a cross-thread queue.
class ZServerLoop {
public:
    typedef std::uint64_t TimerId;

    ZServerLoop();
    ~ZServerLoop();
    ZServerLoop(const ZServerLoop&) = delete;
    ZServerLoop& operator=(const ZServerLoop&) = delete;

    // False (after a warning) when the system refuses the descriptor.
    bool watch(int fd, IZServerHandler* handler, std::uint32_t events);
    void change(int fd, IZServerHandler* handler, std::uint32_t events);
    // Stops the events of a handler at once, also those already fetched in
    // the batch being dispatched; the caller closes the descriptor.
    void unwatch(int fd, IZServerHandler* handler);

    // Calls fn once, after the given delay in microseconds.
    TimerId after(std::int64_t delay, std::function<void()> fn);
    void cancel(TimerId id);
    // Calls fn after the current batch of events (for deleting handlers).
    void later(std::function<void()> fn);
    // Any thread: calls fn on the loop's thread.
    void post(std::function<void()> fn);

    // Any thread or a signal handler: run() returns soon.
    void requestStop();
    bool stopRequested() const { return _stop.load(); }
    // Runs until requestStop(); false when the loop could not be built.
    bool run();
    bool valid() const { return _epoll >= 0 && _wake >= 0; }

    // Microseconds on the monotonic clock.
    static std::int64_t now();

private:
    void _runTimers();
    void _runLater();

    int _epoll = -1;
    int _wake = -1;
    std::atomic<bool> _stop{false};
    TimerId _nextTimer = 1;
    std::multimap<std::int64_t, TimerId> _timerOrder;
    std::map<TimerId, std::pair<std::int64_t, std::function<void()>>> _timers;
    std::vector<std::function<void()>> _later;
    std::set<IZServerHandler*> _gone;
    std::mutex _postMutex;
    std::vector<std::function<void()>> _posted;
};
