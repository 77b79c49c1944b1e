// The UI thread's loop: one poll over an eventfd-backed queue of posted
// records, the registered descriptors and the next deadline (timers and the
// 100 ms tick). Works without any X display.
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <atomic>
#include <climits>
#include <deque>
#include <mutex>
#include <vector>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Loop.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t kTickPeriod = 100000;

enum class ZLoopKind { call, notify, quit };

struct ZLoopRecord {
    ZLoopKind kind;
    void (*call)(void*);
    void* context;
    ZNotifyHandle* handle;
    int code;
    std::int64_t sent;
};

struct ZLoopSource {
    int fd;
    void (*onReadable)(void*);
    void* context;
};

struct ZLoopHook {
    void (*fn)(void*);
    void* context;
    bool operator==(const ZLoopHook& o) const { return fn == o.fn && context == o.context; }
};

// The queue is shared with every posting thread; its mutex is a leaf lock.
std::mutex g_queueMutex;
std::deque<ZLoopRecord> g_queue;
int g_wakeFd = -1;
std::atomic<bool> g_open{false};
std::atomic<int> g_wakeFdForSignal{-1};
std::atomic<bool> g_terminateRequested{false};
std::atomic<int> g_terminateSignal{0};

// UI thread only.
std::vector<ZLoopSource> g_sources;
std::vector<ZLoopHook> g_prepares;
std::vector<ZLoopHook> g_ticks;
std::vector<IZSystemListener*> ZWin_systemListenerList;
std::int64_t g_nextTick = 0;
void (*g_stopHandler)(void*) = nullptr;
void* g_stopContext = nullptr;

bool post(const ZLoopRecord& record) {
    std::lock_guard<std::mutex> guard(g_queueMutex);
    if (g_wakeFd < 0) return false;
    g_queue.push_back(record);
    const std::uint64_t one = 1;
    ssize_t ignored = write(g_wakeFd, &one, sizeof one);
    (void)ignored;
    return true;
}

bool queueEmpty() {
    std::lock_guard<std::mutex> guard(g_queueMutex);
    return g_queue.empty();
}

void drainWake() {
    std::uint64_t count;
    while (read(g_wakeFd, &count, sizeof count) == sizeof count) {
    }
}

void logTerminate() {
    // The signal handler only raised a flag; its line is written here, on a
    // thread where logging is safe, under the handler's name.
    std::wstring line = ZLogPrefix(__FILE__, __LINE__, "_ZPOnSignal");
    line << (g_terminateSignal.load() == SIGINT ? L"WARNING System signalled SIGINT\n"
                                                : L"WARNING System signalled SIGTERM\n");
    ZLog(line);
}

// Runs the records posted so far; true when the quit message was among them.
bool dispatchPosted(bool* restart) {
    // A wake by a timer finds nothing posted: no batch (a deque allocates).
    if (queueEmpty()) return false;
    std::deque<ZLoopRecord> batch;
    {
        std::lock_guard<std::mutex> guard(g_queueMutex);
        batch.swap(g_queue);
    }
    while (!batch.empty()) {
        const ZLoopRecord record = batch.front();
        batch.pop_front();
        if (record.kind == ZLoopKind::quit) {
            // Later records wait for the next loop, as behind a quit message.
            std::lock_guard<std::mutex> guard(g_queueMutex);
            g_queue.insert(g_queue.begin(), batch.begin(), batch.end());
            *restart = record.code != 0;
            return true;
        }
        if (ZDebugIsCrashing()) continue;
        if (record.kind == ZLoopKind::notify)
            _ZNotifyDeliver(record.handle, record.code, record.sent);
        else
            record.call(record.context);
    }
    return false;
}

void runTicks(std::int64_t now) {
    if (now < g_nextTick) return;
    g_nextTick += kTickPeriod;
    if (g_nextTick <= now) g_nextTick = _ZLoopAlignedDeadline(now, kTickPeriod);
    if (ZDebugIsCrashing()) return;
    const std::vector<ZLoopHook> ticks = g_ticks;
    for (const ZLoopHook& tick : ticks)
        if (ZCONTAINS(g_ticks, tick)) tick.fn(tick.context);
}

int pollTimeout(std::int64_t now) {
    if (!queueEmpty() || g_terminateRequested.load()) return 0;
    const std::int64_t deadline = std::min(g_nextTick, _ZTimerNextDue());
    if (deadline <= now) return 0;
    const std::int64_t ms = (deadline - now + 999) / 1000;
    return static_cast<int>(std::min<std::int64_t>(ms, INT_MAX));
}

}  // namespace

std::int64_t _ZLoopClock() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

std::int64_t _ZLoopAlignedDeadline(std::int64_t now, std::int64_t period) {
    const std::int64_t earliest = now + period;
    const std::int64_t rest = earliest % period;
    return rest == 0 ? earliest : earliest + (period - rest);
}

bool _ZLoopIsOpen() { return g_open.load(); }

void _ZLoopOpen() {
    std::lock_guard<std::mutex> guard(g_queueMutex);
    if (g_wakeFd >= 0) return;
    g_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    g_wakeFdForSignal.store(g_wakeFd);
    g_queue.clear();
    g_terminateRequested.store(false);
    g_nextTick = _ZLoopAlignedDeadline(_ZLoopClock(), kTickPeriod);
    g_open.store(g_wakeFd >= 0);
}

void _ZLoopClose() {
    std::lock_guard<std::mutex> guard(g_queueMutex);
    g_open.store(false);
    g_wakeFdForSignal.store(-1);
    if (g_wakeFd >= 0) close(g_wakeFd);
    g_wakeFd = -1;
    g_queue.clear();
}

bool _ZLoopPost(void (*call)(void* context), void* context) {
    ZPRECONDITION(call);
    return post(ZLoopRecord{ZLoopKind::call, call, context, nullptr, 0, 0});
}

bool _ZLoopPostNotify(ZNotifyHandle* handle, int code, std::int64_t sentTime) {
    return post(ZLoopRecord{ZLoopKind::notify, nullptr, nullptr, handle, code, sentTime});
}

void _ZLoopRequestTerminate(int sig) {
    g_terminateSignal.store(sig);
    g_terminateRequested.store(true);
    const int fd = g_wakeFdForSignal.load();
    if (fd >= 0) {
        const std::uint64_t one = 1;
        ssize_t ignored = write(fd, &one, sizeof one);
        (void)ignored;
    }
}

void ZWinPostQuit(int restart) { post(ZLoopRecord{ZLoopKind::quit, nullptr, nullptr, nullptr, restart, 0}); }

void _ZLoopAddSource(int fd, void (*onReadable)(void* context), void* context) {
    ZPRECONDITION(fd >= 0 && onReadable);
    for (ZLoopSource& source : g_sources)
        if (source.fd == fd) {
            source.onReadable = onReadable;
            source.context = context;
            return;
        }
    g_sources.push_back(ZLoopSource{fd, onReadable, context});
}

void _ZLoopRemoveSource(int fd) {
    g_sources.erase(std::remove_if(g_sources.begin(), g_sources.end(),
                                   [fd](const ZLoopSource& s) { return s.fd == fd; }),
                    g_sources.end());
}

void _ZLoopAddPrepare(void (*prepare)(void* context), void* context) {
    g_prepares.push_back(ZLoopHook{prepare, context});
}

void _ZLoopRemovePrepare(void (*prepare)(void* context), void* context) {
    const ZLoopHook hook{prepare, context};
    g_prepares.erase(std::remove(g_prepares.begin(), g_prepares.end(), hook), g_prepares.end());
}

void _ZLoopAddTick(void (*onTick)(void* context), void* context) { g_ticks.push_back(ZLoopHook{onTick, context}); }

void _ZLoopRemoveTick(void (*onTick)(void* context), void* context) {
    const ZLoopHook hook{onTick, context};
    g_ticks.erase(std::remove(g_ticks.begin(), g_ticks.end(), hook), g_ticks.end());
}

bool ZWinUpdate(bool* restart) {
    ZTRACE();
    ZPRECONDITION(restart);
    *restart = false;
    if (!_ZLoopIsOpen()) {
        ZWARNASSERT_T(false, "ZWin_invisibleHWND");
        return false;
    }
    std::vector<pollfd> fds;
    std::vector<ZLoopSource> polled;
    for (;;) {
        const std::vector<ZLoopHook> prepares = g_prepares;
        for (const ZLoopHook& prepare : prepares)
            if (ZCONTAINS(g_prepares, prepare)) prepare.fn(prepare.context);

        polled = g_sources;
        fds.assign(1, pollfd{g_wakeFd, POLLIN, 0});
        for (const ZLoopSource& source : polled) fds.push_back(pollfd{source.fd, POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), pollTimeout(_ZLoopClock()));
        if (ready < 0 && errno != EINTR) {
            ZLOG(L"WARNING poll failed (" << std::strerror(errno) << L"), ignoring.");
        }
        if (ready > 0 && (fds[0].revents & POLLIN)) drainWake();
        if (g_terminateRequested.exchange(false)) {
            logTerminate();
            if (g_stopHandler)
                g_stopHandler(g_stopContext);
            else
                ZWinPostQuit(0);
        }
        if (dispatchPosted(restart)) return false;
        for (std::size_t i = 1; ready > 0 && i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))) continue;
            const ZLoopSource& source = polled[i - 1];
            if (fds[i].revents & POLLNVAL) {
                // Closed without being removed: it would wake the loop for ever.
                ZLOG(L"WARNING Descriptor " << source.fd << L" was closed while watched, ignoring it.");
                _ZLoopRemoveSource(source.fd);
                continue;
            }
            const bool stillRegistered =
                std::any_of(g_sources.begin(), g_sources.end(), [&](const ZLoopSource& s) {
                    return s.fd == source.fd && s.onReadable == source.onReadable && s.context == source.context;
                });
            if (stillRegistered && !ZDebugIsCrashing()) source.onReadable(source.context);
        }
        const std::int64_t now = _ZLoopClock();
        runTicks(now);
        _ZTimerRunDue(now);
    }
}

void ZSystemSetStopHandler(void (*handler)(void* context), void* context) {
    g_stopHandler = handler;
    g_stopContext = context;
}

void ZSystemRegisterListener(IZSystemListener* listener) {
    ZWARNASSERT(!ZCONTAINS( ZWin_systemListenerList, listener ));
    ZWin_systemListenerList.push_back(listener);
    // Power events come from watching the clocks on the tick, also when no
    // window is open.
    _ZPowerWatch();
}

void ZSystemResignListener(IZSystemListener* listener) {
    ZWARNASSERT(ZCONTAINS( ZWin_systemListenerList, listener ));
    ZWin_systemListenerList.erase(
        std::remove(ZWin_systemListenerList.begin(), ZWin_systemListenerList.end(), listener),
        ZWin_systemListenerList.end());
}

void _ZSystemSignalSuspend() {
    if (ZDebugIsCrashing()) return;
    ZLOGC('w', L"PBT_APMSUSPEND");
    const auto listeners = ZWin_systemListenerList;
    for (IZSystemListener* listener : listeners) listener->onSuspend();
}

void _ZSystemSignalResume() {
    if (ZDebugIsCrashing()) return;
    ZLOGC('w', L"PBT_APMRESUMESUSPEND");
    const auto listeners = ZWin_systemListenerList;
    for (IZSystemListener* listener : listeners) listener->onResume();
}

void _ZSystemSignalHotkey(ZHotkey* hotkey, const std::wstring& name, bool down) {
    if (ZDebugIsCrashing()) return;
    const auto listeners = ZWin_systemListenerList;
    for (IZSystemListener* listener : listeners) {
        if (down)
            listener->onHotkeyDown(hotkey, name);
        else
            listener->onHotkeyUp(hotkey, name);
    }
}
