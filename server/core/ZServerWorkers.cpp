#include "ZServerWorkers.h"

#include "ZServerLoop.h"

ZServerWorkers::ZServerWorkers(ZServerLoop& loop, int threads, int maxQueued) : _loop(loop), _maxQueued(maxQueued) {
    for (int i = 0; i < threads; ++i) _threads.emplace_back([this] { _run(); });
}

ZServerWorkers::~ZServerWorkers() { stop(); }

ZServerWorkers::Result ZServerWorkers::submit(std::uint32_t source, Priority priority, std::function<void()> job,
                                              std::function<void()> done) {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_stopping || _queued >= _maxQueued) return Result::Full;
        int& mine = _perSource[source];
        if (_maxPerSource > 0 && mine >= _maxPerSource) return Result::SourceFull;
        ++mine;
        ++_queued;
        Lane& lane = _lanes[static_cast<int>(priority)];
        std::deque<Item>& queue = lane.bySource[source];
        if (queue.empty()) lane.turns.push_back(source);
        queue.push_back(Item{source, std::move(job), std::move(done)});
    }
    _wake.notify_one();
    return Result::Queued;
}

void ZServerWorkers::stop() {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _stopping = true;
        for (Lane& lane : _lanes) {
            lane.bySource.clear();
            lane.turns.clear();
        }
        _queued = 0;
    }
    _wake.notify_all();
    for (std::thread& t : _threads)
        if (t.joinable()) t.join();
    _threads.clear();
}

bool ZServerWorkers::_take(Item& out) {
    for (Lane& lane : _lanes) {
        if (lane.empty()) continue;
        const std::uint32_t source = lane.turns.front();
        lane.turns.pop_front();
        auto it = lane.bySource.find(source);
        out = std::move(it->second.front());
        it->second.pop_front();
        if (it->second.empty())
            lane.bySource.erase(it);
        else
            lane.turns.push_back(source);
        --_queued;
        return true;
    }
    return false;
}

void ZServerWorkers::_run() {
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _wake.wait(lock, [this] { return _stopping || _queued > 0; });
            if (_stopping) return;
            _take(item);
        }
        item.job();
        {
            // The source's place is free once its job has run, before its
            // answer is written.
            std::lock_guard<std::mutex> guard(_mutex);
            auto it = _perSource.find(item.source);
            if (it != _perSource.end() && --it->second <= 0) _perSource.erase(it);
        }
        _loop.post(std::move(item.done));
    }
}
