// The process entry: start-up, the second-instance prompt, the start-up
// lines, a waiting installer, the program body under its guards, and the
// clean shut-down with an optional restart; plus the crash handler that
// every fatal path ends in.
//
// Threading: everything here runs on the UI thread (the process's first
// thread), except ZCrashHandler, which runs on whichever thread crashed.
#pragma once

#include <string>

// The program body, defined by the program (the client, or a test program
// standing in for it): builds what it needs, runs the message loop, and
// returns the restart flag.
int ZWinMain(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd);

// Returns the restart flag (0 or 1), or 0 when the user cancels at the
// second-instance prompt.
int WinMain(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd);
// The two guards around the body; each returns the body's result or 0.
int ZWinMainSafe(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd);
int ZWinMainCatch(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd);

// The process's main: joins argv[1..] with blanks into the command line and
// returns WinMain's result as the exit status.
int ZProcessMain(int argc, char** argv);

// Base-library start-up: keeps the restart command and the crash-restart
// arguments, starts the platform layer and installs the log hooks.
void ZInitializePortable(const std::string& restartCommand, const std::string& restartArguments);

// The abort hook: logs the unclean shutdown and the call stack, asks the
// user, closes the log dirty, restarts unless declined, and ends the
// process with status 255. Never returns.
[[noreturn]] void ZCrashHandler();

// The product's version text.
constexpr const char* ZPRODUCT_VERSION = "Zandrel/764";
