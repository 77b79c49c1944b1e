// Platform layer: mutexes, time, the thread-local slot, debugger output and
// the crash flag.
//
// Threading: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

// ---- mutexes ----------------------------------------------------------------

// A re-entrant mutex: the owner may lock again; each lock needs its unlock.
struct ZMutexRecord;
typedef ZMutexRecord* ZMutex;

ZMutex ZMutexOpen();
void ZMutexLock(ZMutex mutex);
void ZMutexUnlock(ZMutex mutex);
void ZMutexClose(ZMutex mutex);

// ---- time ---------------------------------------------------------------------
// Microseconds since 1601-01-01 00:00 UTC.

std::int64_t ZTimeNow();
std::int64_t ZTimeNowLocal();
// Bias in minutes, UTC = local time + bias (west of Greenwich positive).
int ZTimeGetTimezone(std::wstring& zoneName);
// The same for the zone state in force at a given time value.
int ZTimeGetTimezoneAt(std::int64_t time, std::wstring& zoneName);
std::wstring ZTimeComposeTime(std::int64_t time);
std::wstring ZTimeComposeTimestamp();
// The same stamp (yymmdd_hhmmss, UTC) of a given time value.
std::wstring ZTimeComposeTimestamp(std::int64_t time);

// Seconds between 1601-01-01 and 1970-01-01.
constexpr std::int64_t ZTIME_UNIX_EPOCH_SECONDS = 11644473600LL;

// ---- threads: identity and the thread-local slot --------------------------------

typedef std::uint32_t ZThreadId;

// The calling thread's system id (never 0).
ZThreadId ZThreadCurrentId();

// One process-wide slot holding one pointer per thread.
void* ZThreadGetLocal();
void ZThreadSetLocal(void* value);
// Called on an exiting thread with its non-null local value.
typedef void (*ZThreadLocalDestructor)(void* value);
void ZThreadSetLocalDestructor(ZThreadLocalDestructor callback);

void ZThreadSleep(std::int64_t microseconds);

// ---- debugging ------------------------------------------------------------------

// Writes a line to standard output (the debugger's view of the log).
void ZDebugPrint(const std::wstring& line);

// Set once, by the crash handler: loops end, UI and sockets fall silent.
void ZDebugSetCrashing();
bool ZDebugIsCrashing();
