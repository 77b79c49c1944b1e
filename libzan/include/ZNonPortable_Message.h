// Platform layer: the UI thread's message loop, the system listeners,
// cross-thread notification and timers.
//
// Threading: ZWinUpdate, the listener lists, ZNotifyOpen/Close and the
// timers belong to the UI thread (the thread that called
// ZInitializeNonPortable); every listener is called there. ZNotify and
// ZWinPostQuit may be called from any thread and never wait.
#pragma once

#include <cstdint>
#include <string>

// ---- message loop and system listeners ----------------------------------------

// A global hotkey, owned by the hotkey family.
struct ZHotkey;

// Hears power events and global hotkeys.
class IZSystemListener {
public:
    virtual ~IZSystemListener() = default;
    virtual void onSuspend() = 0;
    virtual void onResume() = 0;
    virtual void onHotkeyDown(ZHotkey* hotkey, const std::wstring& name) = 0;
    virtual void onHotkeyUp(ZHotkey* hotkey, const std::wstring& name) = 0;
};

// Runs the loop until the quit message; stores its restart flag and returns
// false, so  while (ZWinUpdate(&restart)) {}  runs the whole life of the UI.
bool ZWinUpdate(bool* restart);
// Posts the quit message; a non-zero restart asks for a restart after exit.
void ZWinPostQuit(int restart);

// What a stop signal (SIGTERM, SIGINT) does once the loop has logged it:
// by default the loop quits; a program that must sign off first sets a
// handler (and quits itself). Null restores the default.
void ZSystemSetStopHandler(void (*handler)(void* context), void* context);
void ZSystemRegisterListener(IZSystemListener* listener);
void ZSystemResignListener(IZSystemListener* listener);

// ---- cross-thread notification ------------------------------------------------

// Hears notifications on the UI thread.
class IZNotifyListener {
public:
    virtual ~IZNotifyListener() = default;
    // sentTime: ZTimeNow when ZNotify was called.
    virtual void onNotification(int code, std::int64_t sentTime) = 0;
};

// A listener's notification handle; kept for the life of the process after
// its close, so late notifications find it empty.
struct ZNotifyHandle;

ZNotifyHandle* ZNotifyOpen(IZNotifyListener* listener);
void ZNotifyClose(ZNotifyHandle* handle);
// Queues one notification for the UI thread, from any thread.
void ZNotify(ZNotifyHandle* handle, int code);

// ---- timers ---------------------------------------------------------------------

struct ZTimer;

// Hears the ticks of its timers.
class IZTimerListener {
public:
    virtual ~IZTimerListener() = default;
    virtual void onTimer(ZTimer* timer) { (void)timer; }
};

// period in microseconds; served in whole milliseconds with a 10 ms floor
// and at most one pending tick.
ZTimer* ZTimerOpen(std::int64_t period, IZTimerListener* listener);
void ZTimerClose(ZTimer* timer);
