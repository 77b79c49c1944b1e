// A few threads for the slow work of the service (password hashing), so the
// event loop never waits for it; results come back on the loop's thread.
//
// Work is queued per source address and taken round-robin across the
// sources, in three classes, each emptied before the next: urgent work
// (sign-ins from addresses with a clean record), suspect work (sign-ins
// after wrong passwords) and the rest (new accounts). One source's burst
// thus delays another source's request by one job at most, and each source
// may have only so many jobs queued or running.
//
// Threading: submit() on the loop's thread; jobs run on the workers; their
// completions are posted to the loop. The mutex guards the queues and the
// per-source counts.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

class ZServerLoop;

class ZServerWorkers {
public:
    ZServerWorkers(ZServerLoop& loop, int threads, int maxQueued);
    ~ZServerWorkers();
    ZServerWorkers(const ZServerWorkers&) = delete;
    ZServerWorkers& operator=(const ZServerWorkers&) = delete;

    enum class Priority { Urgent, Suspect, Later };
    enum class Result { Queued, Full, SourceFull };

    // Jobs one source may have queued or running at once; 0 for no cap.
    void setMaxPerSource(int jobs) { _maxPerSource = jobs; }
    // Runs job on a worker, then done on the loop's thread. Full when the
    // whole queue is, SourceFull when the source has its share (the caller
    // answers "busy" either way).
    Result submit(std::uint32_t source, Priority priority, std::function<void()> job, std::function<void()> done);
    // Urgent work of no particular source.
    bool submit(std::function<void()> job, std::function<void()> done) {
        return submit(0, Priority::Urgent, std::move(job), std::move(done)) == Result::Queued;
    }
    void stop();

private:
    struct Item {
        std::uint32_t source = 0;
        std::function<void()> job;
        std::function<void()> done;
    };
    // One class of work: a queue per source and the order they take turns in.
    struct Lane {
        std::map<std::uint32_t, std::deque<Item>> bySource;
        std::deque<std::uint32_t> turns;
        bool empty() const { return turns.empty(); }
    };
    bool _take(Item& out);
    void _run();

    ZServerLoop& _loop;
    int _maxQueued;
    int _maxPerSource = 0;
    std::mutex _mutex;
    std::condition_variable _wake;
    Lane _lanes[3];
    int _queued = 0;
    std::unordered_map<std::uint32_t, int> _perSource;
    bool _stopping = false;
    std::vector<std::thread> _threads;
};
