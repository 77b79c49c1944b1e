#include "ZServerWorkers.h"

#include "ZServerLoop.h"

ZServerWorkers::ZServerWorkers(ZServerLoop& loop, int threads, int maxQueued) : _loop(loop), _maxQueued(maxQueued) {
    for (int i = 0; i < threads; ++i) _threads.emplace_back([this] { _run(); });
}

ZServerWorkers::~ZServerWorkers() { stop(); }

bool ZServerWorkers::submit(std::function<void()> job, std::function<void()> done) {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        if (_stopping || static_cast<int>(_queue.size()) >= _maxQueued) return false;
        _queue.emplace_back(std::move(job), std::move(done));
    }
    _wake.notify_one();
    return true;
}

void ZServerWorkers::stop() {
    {
        std::lock_guard<std::mutex> guard(_mutex);
        _stopping = true;
        _queue.clear();
    }
    _wake.notify_all();
    for (std::thread& t : _threads)
        if (t.joinable()) t.join();
    _threads.clear();
}

void ZServerWorkers::_run() {
    for (;;) {
        std::pair<std::function<void()>, std::function<void()>> item;
        {
            std::unique_lock<std::mutex> lock(_mutex);
            _wake.wait(lock, [this] { return _stopping || !_queue.empty(); });
            if (_stopping) return;
            item = std::move(_queue.front());
            _queue.pop_front();
        }
        item.first();
        _loop.post(std::move(item.second));
    }
}
