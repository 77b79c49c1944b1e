// The desktop's windows, cursor and keys for screen sharing and the
// template's commands: window lists and geometry (EWMH stacking order, else
// the root's children), the pointer, key state, and the viewer's input
// replayed through XTest with the virtual-key table.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "ZNonPortable_Keys.h"
#include "ZNonPortable_Screen.h"
#include "ZNonPortable_ScreenRecord.h"
#include "ZNonPortable_X11.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// The connection of the handle-less functions; its mutex is a leaf lock.
std::mutex g_inputMutex;
Display* g_input = nullptr;

Display* inputDisplay() {
    if (g_input) return g_input;
    _ZX11InstallErrorHandler();
    g_input = XOpenDisplay(nullptr);
    if (g_input) {
        const int fd = ConnectionNumber(g_input);
        fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    return g_input;
}

Atom atom(Display* d, const char* name) { return XInternAtom(d, name, False); }

// Whether the window carries the WM_STATE a window manager puts on the
// windows it manages.
bool hasWMState(Display* d, Window w) {
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    const bool found = XGetWindowProperty(d, w, atom(d, "WM_STATE"), 0, 0, False, AnyPropertyType, &type, &format,
                                          &count, &after, &data) == Success &&
                       type != None;
    if (data) XFree(data);
    return found;
}

// The program's window inside a manager's frame: the first window below it
// that carries WM_STATE, searched two levels deep; 0 when there is none.
Window clientInFrame(Display* d, Window frame, int depth) {
    Window r = 0, parent = 0, *children = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, frame, &r, &parent, &children, &n)) return 0;
    Window found = 0;
    for (unsigned i = n; i-- > 0 && !found;)
        if (hasWMState(d, children[i])) found = children[i];
    for (unsigned i = n; i-- > 0 && !found && depth > 1;) found = clientInFrame(d, children[i], depth - 1);
    if (children) XFree(children);
    return found;
}

// Top-level windows, topmost first, in the server's own stacking order (the
// root's children): a window manager's frame stands for the program's
// window inside it, and windows the manager leaves alone (menus, tips,
// everything on a bare server) stand for themselves. A manager's client list
// would leave those out and may be stale after the manager has gone.
std::vector<Window> topLevelWindows(Display* d) {
    std::vector<Window> windows;
    const Window root = DefaultRootWindow(d);
    Window r = 0, parent = 0, *children = nullptr;
    unsigned n = 0;
    if (XQueryTree(d, root, &r, &parent, &children, &n)) {
        for (unsigned i = n; i-- > 0;) {
            XWindowAttributes a;
            if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable) continue;
            Window w = children[i];
            if (!a.override_redirect && !hasWMState(d, w)) {
                const Window client = clientInFrame(d, w, 2);
                if (client) w = client;
            }
            windows.push_back(w);
        }
        if (children) XFree(children);
    }
    return windows;
}

// A window's rectangle in screen pixels when it is shown and not empty.
bool visibleRect(Display* d, Window w, ZRect& rect) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w, &a) || a.map_state != IsViewable || a.width <= 0 || a.height <= 0) return false;
    int x = 0, y = 0;
    Window child = 0;
    if (!XTranslateCoordinates(d, w, a.root, 0, 0, &x, &y, &child)) return false;
    rect = ZRect{x, y, x + a.width, y + a.height};
    return true;
}

bool isDesktopWindow(Display* d, Window w) {
    std::uint64_t types[8];
    int count = 0;
    if (!_ZX11GetCardinals(d, w, atom(d, "_NET_WM_WINDOW_TYPE"), XA_ATOM, types, 8, count)) return false;
    const Atom desktop = atom(d, "_NET_WM_WINDOW_TYPE_DESKTOP");
    for (int i = 0; i < count; ++i)
        if (static_cast<Atom>(types[i]) == desktop) return true;
    return false;
}

std::wstring windowTitle(Display* d, Window w) {
    std::string utf8 = _ZX11GetText(d, w, atom(d, "_NET_WM_NAME"), atom(d, "UTF8_STRING"));
    if (!utf8.empty()) return ZFromUTF8(utf8);
    const std::string latin1 = _ZX11GetText(d, w, XA_WM_NAME, XA_STRING);
    std::wstring title;
    for (unsigned char c : latin1) title += static_cast<wchar_t>(c);
    return title;
}

ZRect screenRect(Display* d) {
    const int s = DefaultScreen(d);
    return ZRect{0, 0, DisplayWidth(d, s), DisplayHeight(d, s)};
}

void collectChildren(Display* d, Window top, const ZRect& topRect, std::list<ZFrag>& frags) {
    Window r = 0, parent = 0, *children = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, top, &r, &parent, &children, &n)) return;
    for (unsigned i = n; i-- > 0;) {  // topmost child first
        ZRect rect;
        if (!visibleRect(d, children[i], rect) || !ZRectIntersects(rect, topRect)) continue;
        ZRectClip(rect, topRect);
        rect = ZRect{rect.left - topRect.left, rect.top - topRect.top, rect.right - topRect.left,
                     rect.bottom - topRect.top};
        ZFragMerge(frags, ZFrag{static_cast<std::uint32_t>(children[i]), rect});
    }
    if (children) XFree(children);
}

}  // namespace

bool ZScreenGetWindowList(std::map<std::uint32_t, std::wstring>& windowIDNameMap) {
    ZTRACE();
    windowIDNameMap.clear();
    std::lock_guard<std::mutex> guard(g_inputMutex);
    Display* d = inputDisplay();
    if (!d) return false;
    const ZRect screen = screenRect(d);
    _ZX11TrapErrors();  // windows may vanish while we look at them
    for (Window w : topLevelWindows(d)) {
        ZRect rect;
        if (!visibleRect(d, w, rect) || !ZRectIntersects(rect, screen) || isDesktopWindow(d, w)) continue;
        const std::wstring title = windowTitle(d, w);
        if (title.empty() || ZCaseEquals(title, L"Program Manager")) continue;
        windowIDNameMap[static_cast<std::uint32_t>(w)] = title;
    }
    _ZX11UntrapErrors(d);
    return true;
}

bool ZScreenGetWindowRects(ZScreen* screen, std::list<ZFrag>& windowRects,
                           std::map<std::uint32_t, std::list<ZFrag>>& childRects) {
    ZTRACE();
    ZPRECONDITION(screen);
    windowRects.clear();
    childRects.clear();
    if (!screen->display) {
        _ZX11InstallErrorHandler();
        screen->display = XOpenDisplay(nullptr);
        if (!screen->display) return false;
        const int fd = ConnectionNumber(screen->display);
        fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    Display* d = screen->display;
    const ZRect desktop = screenRect(d);
    _ZX11TrapErrors();
    for (Window w : topLevelWindows(d)) {
        ZRect rect;
        if (!visibleRect(d, w, rect) || !ZRectIntersects(rect, desktop)) continue;
        const std::uint32_t id = static_cast<std::uint32_t>(w);
        windowRects.push_back(ZFrag{id, rect});
        std::list<ZFrag>& frags = childRects[id];
        collectChildren(d, w, rect, frags);
        ZFragMerge(frags, ZFrag{id, ZRect{0, 0, rect.right - rect.left, rect.bottom - rect.top}});
    }
    _ZX11UntrapErrors(d);
    return true;
}

std::uint32_t ZScreenGetWindowAt(int x, int y) {
    std::lock_guard<std::mutex> guard(g_inputMutex);
    Display* d = inputDisplay();
    if (!d) return 0;
    _ZX11TrapErrors();
    std::uint32_t found = 0;
    for (Window w : topLevelWindows(d)) {
        ZRect rect;
        if (visibleRect(d, w, rect) && x >= rect.left && x < rect.right && y >= rect.top && y < rect.bottom) {
            found = static_cast<std::uint32_t>(w);
            break;
        }
    }
    _ZX11UntrapErrors(d);
    return found;
}

std::uint32_t ZScreenGetFocusWindow() {
    std::lock_guard<std::mutex> guard(g_inputMutex);
    Display* d = inputDisplay();
    if (!d) return 0;
    _ZX11TrapErrors();
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(d, &focus, &revert);
    std::uint32_t found = 0;
    if (focus != None && focus != PointerRoot) {
        const std::vector<Window> tops = topLevelWindows(d);
        // The focus may sit in a child: walk up until a listed window.
        for (Window w = focus; w && !found;) {
            if (std::find(tops.begin(), tops.end(), w) != tops.end()) {
                found = static_cast<std::uint32_t>(w);
                break;
            }
            Window root = 0, parent = 0, *children = nullptr;
            unsigned n = 0;
            if (!XQueryTree(d, w, &root, &parent, &children, &n)) break;
            if (children) XFree(children);
            if (parent == root) break;
            w = parent;
        }
    }
    _ZX11UntrapErrors(d);
    return found;
}

bool ZScreenSetForegroundWindow(std::uint32_t windowID) {
    std::lock_guard<std::mutex> guard(g_inputMutex);
    Display* d = inputDisplay();
    if (!d) return false;
    const Window w = static_cast<Window>(windowID);
    _ZX11TrapErrors();
    XWindowAttributes a;
    const bool exists = XGetWindowAttributes(d, w, &a) != 0;
    if (exists) {
        XRaiseWindow(d, w);
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = w;
        e.xclient.message_type = atom(d, "_NET_ACTIVE_WINDOW");
        e.xclient.format = 32;
        e.xclient.data.l[0] = 2;  // from a pager: the user's own choice
        XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
    }
    return _ZX11UntrapErrors(d) == 0 && exists;
}

void ZSystemGetCursorPosition(int& x, int& y) {
    std::lock_guard<std::mutex> guard(g_inputMutex);
    x = y = 0;
    Display* d = inputDisplay();
    if (!d) return;
    Window root = 0, child = 0;
    int wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &wx, &wy, &mask);
}

void ZSystemSetCursorPosition(int x, int y) {
    std::lock_guard<std::mutex> guard(g_inputMutex);
    Display* d = inputDisplay();
    if (!d) return;
    XWarpPointer(d, None, DefaultRootWindow(d), 0, 0, 0, 0, x, y);
    // The pointer is there when the call returns: whatever asks for its
    // position next, on whichever connection, sees the new one.
    XSync(d, False);
}

bool ZSystemIsKeyPressed(int virtualKey) {
    if (virtualKey < 0 || virtualKey > 255) return false;
    std::lock_guard<std::mutex> guard(g_inputMutex);
    Display* d = inputDisplay();
    if (!d) return false;
    bool held[256];
    _ZKeysQueryState(d, held);
    return held[virtualKey];
}

void ZSystemInjectKey(int virtualKey, unsigned flags) {
    // The code comes from a viewer: anything outside the table is dropped.
    if (virtualKey <= 0 || virtualKey > 255) return;
    std::lock_guard<std::mutex> guard(g_inputMutex);
    Display* d = inputDisplay();
    if (!d) return;
    if (virtualKey <= 6) {  // mouse buttons as keys
        const unsigned button = virtualKey == 1 ? 1 : virtualKey == 2 ? 3 : virtualKey == 4 ? 2 : 0;
        if (button) XTestFakeButtonEvent(d, button, (flags & ZKEYEVENTF_KEYUP) ? False : True, CurrentTime);
    } else {
        const KeyCode code = _ZKeysKeycodeOfVirtualKey(d, static_cast<unsigned>(virtualKey));
        if (code) XTestFakeKeyEvent(d, code, (flags & ZKEYEVENTF_KEYUP) ? False : True, CurrentTime);
    }
    XFlush(d);
}

void ZSystemInjectMouse(unsigned flags, int x, int y) {
    std::lock_guard<std::mutex> guard(g_inputMutex);
    Display* d = inputDisplay();
    if (!d) return;
    const int screen = DefaultScreen(d);
    if (flags & ZMOUSEEVENTF_MOVE) {
        if (flags & ZMOUSEEVENTF_ABSOLUTE) {
            // 0..65536 spans the screen; a viewer's out-of-range value is clamped to its edge.
            const long long w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
            const long long px = std::clamp<long long>(static_cast<long long>(x) * w / 65536, 0, w - 1);
            const long long py = std::clamp<long long>(static_cast<long long>(y) * h / 65536, 0, h - 1);
            XTestFakeMotionEvent(d, screen, static_cast<int>(px), static_cast<int>(py), CurrentTime);
        } else {
            XTestFakeRelativeMotionEvent(d, x, y, CurrentTime);
        }
    }
    const struct {
        unsigned flag;
        unsigned button;
        Bool down;
    } buttons[] = {{ZMOUSEEVENTF_LEFTDOWN, 1, True},   {ZMOUSEEVENTF_LEFTUP, 1, False},
                   {ZMOUSEEVENTF_RIGHTDOWN, 3, True},  {ZMOUSEEVENTF_RIGHTUP, 3, False},
                   {ZMOUSEEVENTF_MIDDLEDOWN, 2, True}, {ZMOUSEEVENTF_MIDDLEUP, 2, False}};
    for (const auto& b : buttons)
        if (flags & b.flag) XTestFakeButtonEvent(d, b.button, b.down, CurrentTime);
    XFlush(d);
}
