// Platform layer: threads started by the program and the registry that
// names them, joins them and reports their processor load.
//
// Threading: every function may be called from any thread, except
// ZDebugGetPerformance, which belongs to the UI thread. The registry mutex
// is a leaf lock.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "ZNonPortable_Base.h"

typedef void (*ZThreadProc)(void* param);

// Starts a thread at once and returns its system id (0 when it could not be
// made). The thread runs inside the crash guard and stays registered until
// ZThreadClose.
ZThreadId ZThreadOpen(const std::wstring& name, ZThreadProc threadProc, void* param);
// Waits for the thread without a time limit, then forgets it.
void ZThreadClose(ZThreadId thread);
// -2 lowest .. 2 highest, for the calling thread; other values are clamped.
void ZThreadSetPriority(int priority);
// The first registered thread whose name equals the given one, ignoring
// case; 0 when none does.
ZThreadId ZThreadFindByName(const std::wstring& name);
// Smoothed loads in percent of one processor, for the process and by thread
// name.
void ZDebugGetPerformance(double& process, std::map<std::wstring, double>& threads);
