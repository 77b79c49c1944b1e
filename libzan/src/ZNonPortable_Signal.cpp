// Signals, the exception filter and the crash guard: every way a fault
// reaches the abort handler (the crash handler).
//
// A fault raised by the processor (si_code > 0) on a thread inside a guard
// is named like the structured exception it would have been and goes
// through the exception filter; a signal sent from outside goes through
// _ZPOnSignal. SIGTERM and SIGINT are the ordinary stop requests: the loop
// quits, or runs the program's stop handler.
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Loop.h"
#include "ZNonPortable_Runtime.h"
#include "ZNonPortable_Signal.h"
#include "ZUtil.h"

namespace {

std::atomic<ZAbortHandler> g_abortHandler{nullptr};

// The innermost guard of this thread.
thread_local sigjmp_buf* t_guard = nullptr;
thread_local void* t_altStack = nullptr;
// The lowest address of this thread's stack, for telling an overflow from
// other access violations (0 when unknown).
thread_local std::uintptr_t t_stackLow = 0;
// A fault this close below (or just above) the stack's end is an overflow.
constexpr std::uintptr_t kOverflowReach = 256 * 1024;

// Big enough for the crash handler, which logs and may open a dialog.
constexpr std::size_t kAltStackSize = 1 << 20;

const int kHandledSignals[] = {SIGABRT, SIGFPE, SIGILL, SIGSEGV, SIGBUS, SIGTERM, SIGINT};
constexpr int kHandledCount = sizeof kHandledSignals / sizeof kHandledSignals[0];
struct sigaction g_previous[kHandledCount];
struct sigaction g_previousPipe;
bool g_installed = false;

struct ZExceptionName {
    unsigned int code;
    const char* name;
};

const ZExceptionName kExceptionNames[] = {
    {0x00000000u, "STATUS_WAIT_0"},
    {0x00000080u, "STATUS_ABANDONED_WAIT_0"},
    {0x000000C0u, "STATUS_USER_APC"},
    {0x00000102u, "STATUS_TIMEOUT"},
    {0x00000103u, "STATUS_PENDING"},
    {0x80000001u, "STATUS_GUARD_PAGE_VIOLATION"},
    {0x80000002u, "STATUS_DATATYPE_MISALIGNMENT"},
    {0xC0000005u, "STATUS_ACCESS_VIOLATION"},
    {0xC0000006u, "STATUS_IN_PAGE_ERROR"},
    {0xC0000017u, "STATUS_NO_MEMORY"},
    {0xC000001Du, "STATUS_ILLEGAL_INSTRUCTION"},
    {0xC0000025u, "STATUS_NONCONTINUABLE_EXCEPTION"},
    {0xC0000026u, "STATUS_INVALID_DISPOSITION"},
    {0xC000008Cu, "STATUS_ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008Du, "STATUS_FLOAT_DENORMAL_OPERAND"},
    {0xC000008Eu, "STATUS_FLOAT_DIVIDE_BY_ZERO"},
    {0xC000008Fu, "STATUS_FLOAT_INEXACT_RESULT"},
    {0xC0000090u, "STATUS_FLOAT_INVALID_OPERATION"},
    {0xC0000091u, "STATUS_FLOAT_OVERFLOW"},
    {0xC0000092u, "STATUS_FLOAT_STACK_CHECK"},
    {0xC0000093u, "STATUS_FLOAT_UNDERFLOW"},
    {0xC0000094u, "STATUS_INTEGER_DIVIDE_BY_ZERO"},
    {0xC0000095u, "STATUS_INTEGER_OVERFLOW"},
    {0xC0000096u, "STATUS_PRIVILEGED_INSTRUCTION"},
    {0xC00000FDu, "STATUS_STACK_OVERFLOW"},
    {0xC000013Au, "STATUS_CONTROL_C_EXIT"},
    {0xE06D7363u, "'int' to 'int64' upcast exception?"},
};

void onSignal(int sig, siginfo_t* info, void*) {
    if (sig == SIGTERM || sig == SIGINT) {
        _ZLoopRequestTerminate(sig);
        return;
    }
    if (info && info->si_code > 0 && t_guard) {
        unsigned int code = _ZPExceptionCodeForSignal(sig, info->si_code);
        const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
        if (sig == SIGSEGV && t_stackLow && address + kOverflowReach >= t_stackLow &&
            address < t_stackLow + kOverflowReach)
            code = 0xC00000FDu;
        _ZPInfoExceptFilter(code);
        // The abort hook came back: the guarded code ends here.
        sigjmp_buf* guard = t_guard;
        siglongjmp(*guard, 1);
    }
    _ZPOnSignal(sig);
}

}  // namespace

unsigned int _ZPExceptionCodeForSignal(int sig, int code) {
    switch (sig) {
        case SIGSEGV:
            return 0xC0000005u;
        case SIGBUS:
            return 0xC0000006u;
        case SIGILL:
            return code == ILL_PRVOPC || code == ILL_PRVREG ? 0xC0000096u : 0xC000001Du;
        case SIGFPE:
            switch (code) {
                case FPE_INTDIV: return 0xC0000094u;
                case FPE_INTOVF: return 0xC0000095u;
                case FPE_FLTDIV: return 0xC000008Eu;
                case FPE_FLTOVF: return 0xC0000091u;
                case FPE_FLTUND: return 0xC0000093u;
                case FPE_FLTRES: return 0xC000008Fu;
                case FPE_FLTSUB: return 0xC000008Cu;
                default: return 0xC0000090u;
            }
        default:
            return 0xFFFFFFFFu;
    }
}

const char* _ZPExceptionName(unsigned int code) {
    for (const ZExceptionName& entry : kExceptionNames)
        if (entry.code == code) return entry.name;
    return "(unknown)";
}

const char* _ZPSignalName(int sig) {
    switch (sig) {
        case SIGINT: return "SIGINT";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGABRT: return "SIGABRT";
        default: return "(unknown)";
    }
}

void _ZPOnSignal(int sig) {
    if (sig == SIGTERM) {
        ZLOG(L"WARNING System signalled SIGTERM");
        ZWinPostQuit(0);
        return;
    }
    ZLOG(L"ERROR Signal '" << _ZPSignalName(sig) << L"' caught, aborting.");
    if (ZAbortHandler handler = g_abortHandler.load()) handler();
    ZLOG(L"ERROR Abort handler not yet set, exiting.");
    _exit(255);
}

int _ZPInfoExceptFilter(unsigned int code) {
    // Breakpoints and single steps belong to a debugger.
    if (code == 0x80000003u || code == 0x80000004u || code == 0x40000005u) return 0;
    ZLOG(L"ERROR Uncaught '" << _ZPExceptionName(code) << L"' exception.");
    ZAbort();
    return 1;
}

bool _ZPGuard(void (*body)(void* context), void* context) {
    sigjmp_buf env;
    sigjmp_buf* const outer = t_guard;
    if (sigsetjmp(env, 1) != 0) {
        t_guard = outer;
        return false;
    }
    t_guard = &env;
    try {
        body(context);
    } catch (...) {
        t_guard = outer;
        _ZPInfoExceptFilter(ZEXCEPTION_CPP);
        return false;
    }
    t_guard = outer;
    return true;
}

void _ZPSetAbortHandler(ZAbortHandler handler) { g_abortHandler.store(handler); }

void _ZPInstallAltStack() {
    if (t_altStack) return;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0) t_stackLow = reinterpret_cast<std::uintptr_t>(low);
        pthread_attr_destroy(&attributes);
    }
    void* memory = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                        -1, 0);
    if (memory == MAP_FAILED) return;
    stack_t stack{};
    stack.ss_sp = memory;
    stack.ss_size = kAltStackSize;
    if (sigaltstack(&stack, nullptr) != 0) {
        munmap(memory, kAltStackSize);
        return;
    }
    t_altStack = memory;
}

void _ZPRemoveAltStack() {
    if (!t_altStack) return;
    stack_t stack{};
    stack.ss_flags = SS_DISABLE;
    sigaltstack(&stack, nullptr);
    munmap(t_altStack, kAltStackSize);
    t_altStack = nullptr;
}

void _ZPInstallSignalHandlers() {
    if (g_installed) return;
    struct sigaction action{};
    action.sa_sigaction = onSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kHandledCount; ++i) sigaction(kHandledSignals[i], &action, &g_previous[i]);
    struct sigaction ignore{};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &g_previousPipe);
    g_installed = true;
}

void _ZPRemoveSignalHandlers() {
    if (!g_installed) return;
    for (int i = 0; i < kHandledCount; ++i) sigaction(kHandledSignals[i], &g_previous[i], nullptr);
    sigaction(SIGPIPE, &g_previousPipe, nullptr);
    g_installed = false;
}
