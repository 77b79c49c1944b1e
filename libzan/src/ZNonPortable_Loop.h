// The UI loop's registration points for the other platform families (X
// connection, tray, hotkeys, sound): descriptors to watch, calls to run on
// the UI thread, the 100 ms tick, and the system listeners' events.
//
// Threading: _ZLoopPost may be called from any thread (not from a signal
// handler); everything else is called on the UI thread, also from inside a
// callback of the loop.
#pragma once

#include <cstdint>
#include <string>

#include "ZNonPortable_Message.h"

// Calls onReadable on the UI thread whenever fd is readable (or hung up).
// One registration per descriptor; adding it again replaces the callback.
void _ZLoopAddSource(int fd, void (*onReadable)(void* context), void* context);
void _ZLoopRemoveSource(int fd);

// Called before each wait of the loop: a source that buffers what it read
// (Xlib) handles its queued events and flushes here.
void _ZLoopAddPrepare(void (*prepare)(void* context), void* context);
void _ZLoopRemovePrepare(void (*prepare)(void* context), void* context);

// Called every 100 ms on the UI thread while the loop runs (the hidden
// window's tick: hotkey release polling).
void _ZLoopAddTick(void (*onTick)(void* context), void* context);
void _ZLoopRemoveTick(void (*onTick)(void* context), void* context);

// Runs call(context) once on the UI thread, in post order. False (and the
// call is dropped) when the loop is not open. Calls still queued at
// shut-down, or arriving during a crash, are dropped without running.
bool _ZLoopPost(void (*call)(void* context), void* context);

// The system listeners' events, raised by the families that see them.
void _ZSystemSignalSuspend();
void _ZSystemSignalResume();
void _ZSystemSignalHotkey(ZHotkey* hotkey, const std::wstring& name, bool down);

// ---- inside the layer -----------------------------------------------------------

bool _ZLoopIsOpen();
void _ZLoopOpen();
void _ZLoopClose();
bool _ZLoopPostNotify(ZNotifyHandle* handle, int code, std::int64_t sentTime);
// Async-signal-safe: asks the loop to log the stop signal and then run the
// stop handler, or quit (restart 0) when none is set.
void _ZLoopRequestTerminate(int sig);
// Starts watching for a sleep of the machine on the tick (once).
void _ZPowerWatch();
void _ZNotifyDeliver(ZNotifyHandle* handle, int code, std::int64_t sentTime);

// Monotonic microseconds for deadlines.
std::int64_t _ZLoopClock();
// The first deadline a period after now that is a whole multiple of the
// period on the loop's clock: timers whose periods divide each other then
// fall due together and wake the loop once, not once each.
std::int64_t _ZLoopAlignedDeadline(std::int64_t now, std::int64_t period);
// The earliest timer deadline (INT64_MAX when none) and the ticks due now.
std::int64_t _ZTimerNextDue();
void _ZTimerRunDue(std::int64_t now);
