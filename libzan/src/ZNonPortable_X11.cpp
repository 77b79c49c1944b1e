// The UI thread's X connection: opening, atoms, the ARGB visual, error
// traps and event dispatch to the desktop families.
#include "ZNonPortable_X11.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <fcntl.h>
#include <poll.h>

#include <cstdlib>
#include <map>
#include <vector>

#include "ZNonPortable_Loop.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

Display* g_display = nullptr;
bool g_openFailed = false;
std::map<Window, _ZX11Handler> g_handlers;
std::vector<std::pair<int, std::function<bool(XEvent&)>>> g_filters;
int g_nextFilter = 1;

struct ErrorTrap {
    int depth = 0;
    int firstError = 0;
};
thread_local ErrorTrap t_trap;

int errorHandler(Display* display, XErrorEvent* error) {
    if (t_trap.depth > 0) {
        if (t_trap.firstError == 0) t_trap.firstError = error->error_code;
        return 0;
    }
    char text[256] = {0};
    XGetErrorText(display, error->error_code, text, sizeof(text) - 1);
    ZLOG(L"WARNING X error " << static_cast<int>(error->error_code) << L" '" << text << L"' on request "
                             << static_cast<int>(error->request_code) << L", ignoring.");
    return 0;
}

void onReadable(void*) { _ZX11Pump(); }

// The number of the first request not yet flushed by prepare.
unsigned long g_unflushed = 0;

// Xlib reads ahead: events already in its queue leave the socket quiet, so
// they are handled (and requests flushed) before the loop waits. A flush
// also reads the socket, so it is made only when a request went out since
// the last one: an idle client's tick makes no system call for X.
void prepare(void*) {
    if (!g_display) return;
    if (XEventsQueued(g_display, QueuedAlready) > 0) _ZX11Pump();
    if (NextRequest(g_display) == g_unflushed) return;
    XFlush(g_display);
    g_unflushed = NextRequest(g_display);
}

int ioErrorHandler(Display*) {
    ZLOG(L"ERROR Lost the connection to the X server, aborting.");
    ZAbort();
    std::_Exit(1);
}

}  // namespace

void _ZX11InstallErrorHandler() {
    static bool installed = [] {
        XInitThreads();
        XSetErrorHandler(errorHandler);
        XSetIOErrorHandler(ioErrorHandler);
        return true;
    }();
    (void)installed;
}

Display* _ZX11Display() {
    if (g_display || g_openFailed) return g_display;
    _ZX11InstallErrorHandler();
    g_display = XOpenDisplay(nullptr);
    if (!g_display) {
        g_openFailed = true;
        const char* name = std::getenv("DISPLAY");
        ZLOG(L"WARNING Cannot open the X display '" << (name ? name : "") << L"', no windows.");
        return nullptr;
    }
    const int fd = ConnectionNumber(g_display);
    fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    _ZLoopAddSource(fd, onReadable, nullptr);
    _ZLoopAddPrepare(prepare, nullptr);
    return g_display;
}

Window _ZX11Root() {
    Display* d = _ZX11Display();
    return d ? DefaultRootWindow(d) : 0;
}

Atom _ZX11Atom(const char* name) {
    Display* d = _ZX11Display();
    return d ? XInternAtom(d, name, False) : 0;
}

const _ZX11VisualInfo& _ZX11ArgbVisual() {
    static _ZX11VisualInfo info;
    static bool chosen = false;
    if (chosen) return info;
    Display* d = _ZX11Display();
    if (!d) return info;
    chosen = true;
    XVisualInfo want{};
    want.screen = DefaultScreen(d);
    want.depth = 32;
    want.c_class = TrueColor;
    XVisualInfo found{};
    if (XMatchVisualInfo(d, want.screen, 32, TrueColor, &found) && found.red_mask == 0xFF0000 &&
        found.green_mask == 0xFF00 && found.blue_mask == 0xFF) {
        info.visual = found.visual;
        info.depth = 32;
        info.colormap = XCreateColormap(d, DefaultRootWindow(d), found.visual, AllocNone);
    } else {
        ZLOG(L"WARNING No 32-bit ARGB visual, windows will be opaque.");
        info.visual = DefaultVisual(d, DefaultScreen(d));
        info.depth = DefaultDepth(d, DefaultScreen(d));
        info.colormap = DefaultColormap(d, DefaultScreen(d));
    }
    return info;
}

bool _ZX11HasWindowManager() { return _ZX11HasWindowManager(_ZX11Display()); }

// A manager that was killed leaves its properties on the root: only a check
// window that still exists and names itself proves one runs.
bool _ZX11HasWindowManager(Display* d) {
    if (!d) return false;
    std::uint64_t check = 0;
    int count = 0;
    if (!_ZX11GetCardinals(d, DefaultRootWindow(d), _ZX11Atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, &check, 1,
                           count) ||
        count != 1)
        return false;
    std::uint64_t self = 0;
    _ZX11TrapErrors();
    bool ok = _ZX11GetCardinals(d, static_cast<Window>(check), _ZX11Atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW,
                                &self, 1, count);
    int error = _ZX11UntrapErrors(d);
    return ok && error == 0 && count == 1 && self == check;
}

void _ZX11TrapErrors() {
    if (t_trap.depth++ == 0) t_trap.firstError = 0;
}

int _ZX11UntrapErrors(Display* display) {
    if (display) XSync(display, False);
    int error = t_trap.firstError;
    if (t_trap.depth > 0 && --t_trap.depth == 0) t_trap.firstError = 0;
    return error;
}

void _ZX11SetHandler(Window window, _ZX11Handler handler) { g_handlers[window] = std::move(handler); }

void _ZX11RemoveHandler(Window window) { g_handlers.erase(window); }

int _ZX11AddFilter(std::function<bool(XEvent&)> filter) {
    g_filters.emplace_back(g_nextFilter, std::move(filter));
    return g_nextFilter++;
}

void _ZX11RemoveFilter(int id) {
    for (auto it = g_filters.begin(); it != g_filters.end(); ++it) {
        if (it->first == id) {
            g_filters.erase(it);
            return;
        }
    }
}

void _ZX11Pump() {
    Display* d = g_display;
    if (!d) return;
    while (XPending(d) > 0) {
        XEvent event;
        XNextEvent(d, &event);
        if (XFilterEvent(&event, None)) continue;
        bool taken = false;
        // A filter may remove itself or add another while it runs.
        const auto filters = g_filters;
        for (const auto& f : filters) {
            if (f.second(event)) {
                taken = true;
                break;
            }
        }
        if (taken) continue;
        auto it = g_handlers.find(event.xany.window);
        if (it == g_handlers.end()) continue;
        _ZX11Handler handler = it->second;  // the handler may close its window
        handler(event);
    }
}

bool _ZX11WaitAndPump(int timeoutMs) {
    Display* d = _ZX11Display();
    if (!d) return false;
    if (XPending(d) == 0) {
        pollfd p{ConnectionNumber(d), POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return false;
    }
    _ZX11Pump();
    return true;
}

bool _ZX11GetCardinals(Display* display, Window window, Atom property, Atom type, std::uint64_t* values,
                       int maxCount, int& count) {
    count = 0;
    Atom actualType = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, maxCount, False, type, &actualType, &format, &items,
                           &after, &data) != Success)
        return false;
    bool ok = data && actualType == type && format == 32;
    if (ok) {
        // Format-32 properties come back as an array of C longs.
        const long* longs = reinterpret_cast<const long*>(data);
        for (unsigned long i = 0; i < items && static_cast<int>(i) < maxCount; ++i)
            values[count++] = static_cast<std::uint32_t>(longs[i]);  // 32-bit items, sign-extended by Xlib
    }
    if (data) XFree(data);
    return ok;
}

std::string _ZX11GetText(Display* display, Window window, Atom property, Atom type) {
    Atom actualType = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    std::string text;
    // Titles are short; 4096 bytes is plenty and bounds what a peer window can make us copy.
    if (XGetWindowProperty(display, window, property, 0, 1024, False, type, &actualType, &format, &items, &after,
                           &data) == Success &&
        data && format == 8 && actualType == type)
        text.assign(reinterpret_cast<const char*>(data), items);
    if (data) XFree(data);
    return text;
}

void _ZX11SendClientMessage(Window window, Atom type, long a, long b, long c, long d, long e) {
    Display* display = _ZX11Display();
    if (!display) return;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = type;
    event.xclient.format = 32;
    event.xclient.data.l[0] = a;
    event.xclient.data.l[1] = b;
    event.xclient.data.l[2] = c;
    event.xclient.data.l[3] = d;
    event.xclient.data.l[4] = e;
    XSendEvent(display, DefaultRootWindow(display), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
}
