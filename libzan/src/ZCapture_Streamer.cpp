// Streaming threads of capture sources. They stand for the system's own
// capture threads: the program does not start them as services, and they
// enter the thread registry from the tap on their first sample.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "ZCaptureBackend.h"
#include "ZNonPortable_Base.h"

struct ZCaptureStreamer::State {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

ZCaptureStreamer::ZCaptureStreamer() : _state(new State) {}

ZCaptureStreamer::~ZCaptureStreamer() {
    stop();
    delete _state;
}

void ZCaptureStreamer::start(Loop loop, void* param) {
    stop();
    {
        std::lock_guard<std::mutex> lock(_state->mutex);
        _state->stop = false;
    }
    _state->thread = std::thread([this, loop, param] { loop(*this, param); });
}

void ZCaptureStreamer::stop() {
    {
        std::lock_guard<std::mutex> lock(_state->mutex);
        _state->stop = true;
    }
    _state->wake.notify_all();
    if (_state->thread.joinable()) _state->thread.join();
}

bool ZCaptureStreamer::stopping() const {
    std::lock_guard<std::mutex> lock(_state->mutex);
    return _state->stop;
}

bool ZCaptureStreamer::waitUntil(std::int64_t time) {
    std::unique_lock<std::mutex> lock(_state->mutex);
    while (!_state->stop) {
        const std::int64_t remaining = time - ZTimeNow();
        if (remaining <= 0) return true;
        _state->wake.wait_for(lock, std::chrono::microseconds(remaining));
    }
    return false;
}
