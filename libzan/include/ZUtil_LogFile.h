// The log file's names and what of it reaches the terminal.
//
// Threading: the echo filter is set on the UI thread during start-up, before
// other threads exist; the name check may be called from any thread.
#pragma once

#include <string>

// Whether the name is one the log gave an earlier run's file when it archived
// it: "<base>_<yymmdd>_<hhmmss>_clean.log" or "_dirty.log" (any case).
bool ZLogIsArchivedName(const std::wstring& name);

// Which echoed lines reach standard output; without a filter every one does.
typedef bool (*ZLogEchoFilter)(const std::wstring& line);
void ZLogSetEchoFilter(ZLogEchoFilter filter);

// The program's terminal filter: warnings and errors, and the few lines that
// tell a person where the client stands (started, signed in, signed off,
// ended). Everything stays in the file.
bool ZLogIsForTheTerminal(const std::wstring& line);
