// Platform layer: start-up and shut-down, the signal handler and exception
// filter, the crash-report dialog and message boxes, the system
// description, the executable path and starting programs.
//
// Threading: start-up, shut-down and the message boxes run on the UI
// thread; the crash functions run on the crashing thread; the rest may run
// on any thread.
#pragma once

#include <string>

typedef void (*ZAbortHandler)();

// Brings the layer up on the thread that will run the message loop, before
// any other thread exists: signal handlers, the loop with its 100 ms tick,
// the thread registry with this thread as "(main)".
void ZInitializeNonPortable(ZAbortHandler abortHandler);
// Takes it down again on the same thread after every other thread ended.
void ZUninitializeNonPortable();

// The program's instance handle (kept for the dialogs; no meaning here).
void ZSystemSetInstance(void* instance);
void* ZSystemGetInstance();

// ---- crash handling -------------------------------------------------------------

// The handler for signals sent to the process (and faults outside a guard).
void _ZPOnSignal(int sig);
// Names and logs an uncaught exception by its code, calls the abort hook
// and answers 1 (the guarded code ends); 0 for debugger codes, unlogged.
int _ZPInfoExceptFilter(unsigned int code);
// The name of an exception code ("(unknown)" when unlisted).
const char* _ZPExceptionName(unsigned int code);
// The code of the C++ exception mechanism: what escapes a guard as a throw.
constexpr unsigned int ZEXCEPTION_CPP = 0xE06D7363u;

// Runs body(context) so that a fault on this thread, or a C++ exception
// escaping it, goes to the exception filter; the body then ends quietly.
// Returns false when it ended that way.
bool _ZPGuard(void (*body)(void* context), void* context);

// The crash-report dialog: logs the comment, returns whether to restart.
// Without a display it answers "restart, no comment".
bool ZDebugCaptureCrashInfo();
// Mail is not sent on this platform: one warning line.
void ZPMailSend(const std::string& from, const std::string& to, const std::string& subject,
                const std::string& body);

// ---- message boxes ----------------------------------------------------------------

constexpr unsigned int ZMB_OK = 0x0;
constexpr unsigned int ZMB_CANCELTRYCONTINUE = 0x6;
constexpr unsigned int ZMB_ICONERROR = 0x10;
constexpr unsigned int ZMB_ICONEXCLAMATION = 0x30;
constexpr unsigned int ZMB_DEFBUTTON2 = 0x100;
constexpr int ZID_OK = 1;
constexpr int ZID_CANCEL = 2;
constexpr int ZID_TRYAGAIN = 10;
constexpr int ZID_CONTINUE = 11;

// A modal box without owner; returns the button's id. Without a display it
// answers Cancel (or OK for a box that has only OK).
int ZSystemMessageBox(const std::wstring& caption, const std::wstring& text, unsigned int style);

// ---- the system ---------------------------------------------------------------------

// One line describing the machine for the log's "System: " line.
std::wstring ZSystemGetDescription();
// Full path of the running executable.
std::wstring ZSystemGetExecutablePath();
// Starts a program (parameters split at blanks, no shell) or opens a
// document with the desktop's handler; does not wait for it.
bool ZSystemExecute(const std::string& file, const std::string& parameters, std::string& error);
