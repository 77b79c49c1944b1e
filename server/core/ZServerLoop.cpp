#include "ZServerLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ZPortable_Text.h"
#include "ZUtil.h"

ZServerLoop::ZServerLoop() {
    _epoll = epoll_create1(EPOLL_CLOEXEC);
    _wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (_epoll < 0 || _wake < 0) {
        ZLOG(L"ERROR Cannot create the event loop (" << ZFromUTF8(std::strerror(errno)) << L").");
        return;
    }
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.ptr = nullptr;
    epoll_ctl(_epoll, EPOLL_CTL_ADD, _wake, &e);
}

ZServerLoop::~ZServerLoop() {
    _later.clear();
    _posted.clear();
    if (_wake >= 0) close(_wake);
    if (_epoll >= 0) close(_epoll);
}

std::int64_t ZServerLoop::now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool ZServerLoop::watch(int fd, IZServerHandler* handler, std::uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.ptr = handler;
    if (epoll_ctl(_epoll, EPOLL_CTL_ADD, fd, &e) != 0) {
        ZLOG(L"WARNING Cannot watch descriptor " << fd << L" (" << ZFromUTF8(std::strerror(errno)) << L"), ignoring.");
        return false;
    }
    _gone.erase(handler);
    return true;
}

void ZServerLoop::change(int fd, IZServerHandler* handler, std::uint32_t events) {
    epoll_event e{};
    e.events = events;
    e.data.ptr = handler;
    epoll_ctl(_epoll, EPOLL_CTL_MOD, fd, &e);
}

void ZServerLoop::unwatch(int fd, IZServerHandler* handler) {
    epoll_ctl(_epoll, EPOLL_CTL_DEL, fd, nullptr);
    _gone.insert(handler);
}

ZServerLoop::TimerId ZServerLoop::after(std::int64_t delay, std::function<void()> fn) {
    const TimerId id = _nextTimer++;
    const std::int64_t due = now() + (delay > 0 ? delay : 0);
    _timerOrder.emplace(due, id);
    _timers.emplace(id, std::make_pair(due, std::move(fn)));
    return id;
}

void ZServerLoop::cancel(TimerId id) {
    auto it = _timers.find(id);
    if (it == _timers.end()) return;
    auto range = _timerOrder.equal_range(it->second.first);
    for (auto o = range.first; o != range.second; ++o) {
        if (o->second == id) {
            _timerOrder.erase(o);
            break;
        }
    }
    _timers.erase(it);
}

void ZServerLoop::later(std::function<void()> fn) { _later.push_back(std::move(fn)); }

void ZServerLoop::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> guard(_postMutex);
        _posted.push_back(std::move(fn));
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(_wake, &one, sizeof(one));
}

void ZServerLoop::requestStop() {
    _stop.store(true);
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(_wake, &one, sizeof(one));
}

void ZServerLoop::_runTimers() {
    const std::int64_t t = now();
    while (!_timerOrder.empty() && _timerOrder.begin()->first <= t) {
        const TimerId id = _timerOrder.begin()->second;
        _timerOrder.erase(_timerOrder.begin());
        auto it = _timers.find(id);
        if (it == _timers.end()) continue;
        std::function<void()> fn = std::move(it->second.second);
        _timers.erase(it);
        fn();
    }
}

void ZServerLoop::_runLater() {
    while (!_later.empty()) {
        std::vector<std::function<void()>> batch;
        batch.swap(_later);
        for (auto& fn : batch) fn();
    }
}

bool ZServerLoop::run() {
    if (!valid()) return false;
    constexpr int kBatch = 128;
    epoll_event events[kBatch];
    while (!_stop.load()) {
        int timeoutMs = -1;
        if (!_timerOrder.empty()) {
            const std::int64_t wait = _timerOrder.begin()->first - now();
            timeoutMs = wait <= 0 ? 0 : static_cast<int>((wait + 999) / 1000);
        }
        const int n = epoll_wait(_epoll, events, kBatch, timeoutMs);
        if (n < 0 && errno != EINTR) {
            ZLOG(L"ERROR The event loop failed (" << ZFromUTF8(std::strerror(errno)) << L"), stopping.");
            return false;
        }
        _gone.clear();
        for (int i = 0; i < n; ++i) {
            auto* handler = static_cast<IZServerHandler*>(events[i].data.ptr);
            if (!handler) {
                std::uint64_t count = 0;
                [[maybe_unused]] ssize_t r = read(_wake, &count, sizeof(count));
                continue;
            }
            if (_gone.count(handler)) continue;
            handler->onEvents(events[i].events);
        }
        std::vector<std::function<void()>> posted;
        {
            std::lock_guard<std::mutex> guard(_postMutex);
            posted.swap(_posted);
        }
        for (auto& fn : posted) fn();
        _runTimers();
        _runLater();
    }
    return true;
}
