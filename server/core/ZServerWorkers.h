// A few threads for the slow work of the service (password hashing), so the
// event loop never waits for it; results come back on the loop's thread.
//
// Threading: submit() on the loop's thread; jobs run on the workers; their
// completions are posted to the loop.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class ZServerLoop;

class ZServerWorkers {
public:
    ZServerWorkers(ZServerLoop& loop, int threads, int maxQueued);
    ~ZServerWorkers();
    ZServerWorkers(const ZServerWorkers&) = delete;
    ZServerWorkers& operator=(const ZServerWorkers&) = delete;

    // Runs job on a worker, then done on the loop's thread. False when the
    // queue is full (the caller answers "busy").
    bool submit(std::function<void()> job, std::function<void()> done);
    void stop();

private:
    void _run();

    ZServerLoop& _loop;
    int _maxQueued;
    std::mutex _mutex;
    std::condition_variable _wake;
    std::deque<std::pair<std::function<void()>, std::function<void()>>> _queue;
    bool _stopping = false;
    std::vector<std::thread> _threads;
};
