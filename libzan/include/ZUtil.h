// Logging, checks and trace scopes: the conventions every source follows.
//
// Log lines read  <source>(<line>): [<Class::method>] <message>\n  and go
// through three replaceable hooks (line, call-stack dump, abort) so the
// library has no fixed dependency on the log file or the crash handler.
//
// Threading: every function here may be called from any thread. The hooks
// and the category filter are set on the UI thread during start-up, before
// other threads exist.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "ZFuncName.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the wire and file formats are little-endian: port the byte order first");

// ---- hooks and the log -----------------------------------------------------

typedef void (*ZLogHook)(const std::wstring& line);
typedef void (*ZDebugHook)();

void ZSetDebugHooks(ZLogHook logHook, ZDebugHook callStackHook, ZDebugHook abortHook);
void ZLog(const std::wstring& line);
void ZLogCallStack();
void ZAbort();

bool ZLogOpen(const std::wstring& baseName, bool echo);
void ZLogClose(std::string& archivedName, bool clean);
void ZLogWrite(const std::wstring& line);
void ZLogSetFilter(const std::string& filter);
std::string ZLogGetFilter();
bool ZLogIsEnabled(char category);

// The standard prefix "<file>(<line>): [<function>] ".
std::wstring ZLogPrefix(const char* file, int line, const char* function);

// Message builders; each appends and returns the string so calls chain.
std::wstring& operator<<(std::wstring& s, int value);
std::wstring& operator<<(std::wstring& s, unsigned int value);
std::wstring& operator<<(std::wstring& s, long value);
std::wstring& operator<<(std::wstring& s, unsigned long value);
std::wstring& operator<<(std::wstring& s, long long value);
std::wstring& operator<<(std::wstring& s, unsigned long long value);
std::wstring& operator<<(std::wstring& s, const char* utf8);
std::wstring& operator<<(std::wstring& s, const std::string& utf8);
std::wstring& operator<<(std::wstring& s, const wchar_t* text);
std::wstring& operator<<(std::wstring& s, const std::wstring& text);
std::wstring& operator<<(std::wstring& s, wchar_t unit);
std::string& operator<<(std::string& s, int value);

// Logs a line made of the standard prefix and the streamed message:
//   ZLOG(L"WARNING Unknown command '" << name << L"', ignoring.");
#define ZLOG(...)                                                              \
    do {                                                                       \
        std::wstring _zanLine = ZLogPrefix(__FILE__, __LINE__, ZFUNC);         \
        _zanLine << __VA_ARGS__;                                               \
        _zanLine += L'\n';                                                     \
        ZLog(_zanLine);                                                        \
    } while (0)

// The same after a per-object context text (for example a session's peer).
#define ZLOGCTX(context, ...)                                                  \
    do {                                                                       \
        std::wstring _zanLine = ZLogPrefix(__FILE__, __LINE__, ZFUNC);         \
        _zanLine << (context) << __VA_ARGS__;                                  \
        _zanLine += L'\n';                                                     \
        ZLog(_zanLine);                                                        \
    } while (0)

// Logs only when the category is enabled by the filter; the message is not
// built otherwise.
#define ZLOGC(category, ...)                                                   \
    do {                                                                       \
        if (ZLogIsEnabled(category)) ZLOG(__VA_ARGS__);                        \
    } while (0)

// ---- checks ----------------------------------------------------------------
//
// Three strengths, active in every build. The logged text is the expression
// as written in the source, or an explicit text with the _T forms.

#define ZCHECK_PRECONDITION_TEXT "ERROR: Precondition failed, aborting. ("
#define ZCHECK_ASSERTION_TEXT "ERROR: Assertion failed, aborting. ("
#define ZCHECK_WARNING_TEXT "WARNING: Assertion failed. ("

// Logs a failed check; the fatal strengths then call ZAbort.
void ZCheckFailed(const char* file, int line, const char* function, const char* strength,
                  const char* expression, bool fatal);

#define ZCHECK_IMPL(cond, strength, text, fatal)                               \
    do {                                                                       \
        if (!(cond)) ZCheckFailed(__FILE__, __LINE__, ZFUNC, strength, text, fatal); \
    } while (0)

#define ZPRECONDITION(expr) ZCHECK_IMPL(expr, ZCHECK_PRECONDITION_TEXT, #expr, true)
#define ZASSERT(expr) ZCHECK_IMPL(expr, ZCHECK_ASSERTION_TEXT, #expr, true)
#define ZWARNASSERT(expr) ZCHECK_IMPL(expr, ZCHECK_WARNING_TEXT, #expr, false)
#define ZPRECONDITION_T(expr, text) ZCHECK_IMPL(expr, ZCHECK_PRECONDITION_TEXT, text, true)
#define ZASSERT_T(expr, text) ZCHECK_IMPL(expr, ZCHECK_ASSERTION_TEXT, text, true)
#define ZWARNASSERT_T(expr, text) ZCHECK_IMPL(expr, ZCHECK_WARNING_TEXT, text, false)

// The pointer rule: not null and not the uninitialised fill 0xCDCDCDCD. The
// freed-memory test of the original rule is kept in the text only: we never
// read through a pointer to check it.
inline bool ZValidPointer(const void* p) {
    return p != nullptr && reinterpret_cast<std::uintptr_t>(p) != 0xCDCDCDCDu;
}
#define ZVALIDPTR_TEXT(p)                                                      \
    "(" #p ") && (((unsigned long)(" #p ")) != 0xCDCDCDCD) && ((*(unsigned long*)(" #p ")) != 0xFEEEFEEE)"
#define ZPRECONDITION_PTR(p) ZPRECONDITION_T(ZValidPointer(p), ZVALIDPTR_TEXT(p))
#define ZASSERT_PTR(p) ZASSERT_T(ZValidPointer(p), ZVALIDPTR_TEXT(p))

// Predicates used inside check expressions.
#define ZWITHIN(low, value, high) ((low) <= (value) && (value) <= (high))
#define ZCONTAINS(list, item) (std::find((list).begin(), (list).end(), (item)) != (list).end())
#define ZMAPCONTAINS(map, key) ((map).find(key) != (map).end())

// ---- trace scopes ----------------------------------------------------------

// Opens a scope on the calling thread's call stack; returns the entry time.
std::int64_t ZCallEnter(const char* file, const char* function, int line, const char* kind);
// The same without reading the clock: what every traced method pays.
void ZCallPush(const char* file, const char* function, int line, const char* kind);
void ZCallLeave();
void _ZCallDestructor(void* callStack);
void ZCallStackDump(std::uint32_t threadId);
void ZCallStackDumpCurrent();

// Keeps one scope open for its lifetime.
class ZCallScope {
public:
    ZCallScope(const char* file, const char* function, int line, const char* kind) {
        ZCallPush(file, function, line, kind);
    }
    ~ZCallScope() { ZCallLeave(); }
    ZCallScope(const ZCallScope&) = delete;
    ZCallScope& operator=(const ZCallScope&) = delete;
};

// ZTRACE() at the top of a method; constructors name their class as kind:
// ZTRACE_KIND("ZInstance").
#define ZTRACE() ZCallScope _zanScope(__FILE__, ZFUNC, __LINE__, "function")
#define ZTRACE_KIND(kind) ZCallScope _zanScope(__FILE__, ZFUNC, __LINE__, kind)
