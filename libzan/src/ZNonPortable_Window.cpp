// Layered windows on X11: a depth-32 ARGB window without decorations whose
// pixels are pushed through a reused shared-memory image, and the one-call
// window operations over EWMH (tracked by the layer when no manager runs).
#include <X11/Xatom.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ZNonPortable_WindowRecord.h"
#include "ZNonPortable_X11.h"
#include "ZObject.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

void _ZPowerWatch();

namespace {

const long kNetWmStateRemove = 0;
const long kNetWmStateAdd = 1;

void setNetWmState(ZWinRecord* w, long action, const char* first, const char* second) {
    _ZX11SendClientMessage(w->window, _ZX11Atom("_NET_WM_STATE"), action, static_cast<long>(_ZX11Atom(first)),
                           second ? static_cast<long>(_ZX11Atom(second)) : 0, 1, 0);
}

void destroySurface(ZWinRecord* w) {
    Display* d = _ZX11Display();
    if (w->shmAttached) {
        XShmDetach(d, &w->shm);
        XSync(d, False);
        shmdt(w->shm.shmaddr);
        w->shmAttached = false;
        w->image->data = nullptr;
    }
    if (w->image) XDestroyImage(w->image);  // frees plain (non-shared) pixel memory
    w->image = nullptr;
    w->width = w->height = 0;
}

// A shared-memory image when the server offers MIT-SHM on a local
// connection, else a plain client-side image pushed with XPutImage.
bool buildSurface(ZWinRecord* w, int width, int height) {
    Display* d = _ZX11Display();
    const _ZX11VisualInfo& vis = _ZX11ArgbVisual();
    destroySurface(w);
    if (XShmQueryExtension(d)) {
        XImage* image = XShmCreateImage(d, vis.visual, vis.depth, ZPixmap, nullptr, &w->shm, width, height);
        if (image && image->bits_per_pixel == 32) {
            w->shm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * height, IPC_CREAT | 0600);
            if (w->shm.shmid >= 0) {
                void* addr = shmat(w->shm.shmid, nullptr, 0);
                if (addr != reinterpret_cast<void*>(-1)) {
                    w->shm.shmaddr = image->data = static_cast<char*>(addr);
                    w->shm.readOnly = False;
                    _ZX11TrapErrors();
                    XShmAttach(d, &w->shm);
                    const int error = _ZX11UntrapErrors(d);
                    shmctl(w->shm.shmid, IPC_RMID, nullptr);  // freed when both sides detach
                    if (error == 0) {
                        w->image = image;
                        w->shmAttached = true;
                    } else {
                        shmdt(addr);
                        image->data = nullptr;
                    }
                } else {
                    shmctl(w->shm.shmid, IPC_RMID, nullptr);
                }
            }
        }
        if (!w->image && image) XDestroyImage(image);
    }
    if (!w->image) {
        char* data = static_cast<char*>(std::calloc(static_cast<size_t>(width) * height, 4));
        if (!data) return false;
        w->image = XCreateImage(d, vis.visual, vis.depth, ZPixmap, 0, data, width, height, 32, width * 4);
        if (!w->image || w->image->bits_per_pixel != 32) {
            if (w->image) XDestroyImage(w->image);
            else std::free(data);
            w->image = nullptr;
            ZLOG(L"WARNING Cannot make a " << width << L"x" << height << L" window image, ignoring.");
            return false;
        }
    }
    w->width = width;
    w->height = height;
    return true;
}

void setOpacity(ZWinRecord* w, int alpha) {
    if (alpha == w->opacity) return;
    w->opacity = alpha;
    Display* d = _ZX11Display();
    const Atom opacity = _ZX11Atom("_NET_WM_WINDOW_OPACITY");
    if (alpha == 255) {
        XDeleteProperty(d, w->window, opacity);
        return;
    }
    unsigned long value = static_cast<unsigned long>(alpha) * 0x01010101ul;
    XChangeProperty(d, w->window, opacity, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(&value), 1);
}

void applyGeometry(ZWinRecord* w, const ZRect& r) {
    w->rect = r;
    XMoveResizeWindow(_ZX11Display(), w->window, r.left, r.top, static_cast<unsigned>(r.right - r.left),
                      static_cast<unsigned>(r.bottom - r.top));
}

}  // namespace

ZWin* ZWinOpen(const std::wstring& title, const ZRect& rect, bool topmost, IZWinListener* listener) {
    ZTRACE();
    ZPRECONDITION(listener);
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    ZASSERT(ZWITHIN( 1, width, 1024 ) && ZWITHIN( 1, height, 1024 ));
    Display* display = _ZX11Display();
    ZASSERT(display);
    const _ZX11VisualInfo& vis = _ZX11ArgbVisual();

    ZWinRecord* w = new ZWinRecord;
    w->listener = listener;
    w->topmost = topmost;
    w->rect = rect;

    XSetWindowAttributes attributes{};
    attributes.colormap = vis.colormap;
    attributes.border_pixel = 0;
    attributes.background_pixel = 0;
    attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                            PointerMotionMask | EnterWindowMask | LeaveWindowMask | ExposureMask |
                            StructureNotifyMask | FocusChangeMask | PropertyChangeMask;
    w->window = XCreateWindow(display, DefaultRootWindow(display), rect.left, rect.top, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), 0, vis.depth, InputOutput, vis.visual,
                              CWColormap | CWBorderPixel | CWBackPixel | CWEventMask, &attributes);
    ZASSERT(w->window);

    const std::string utf8 = ZToUTF8(title);
    XSizeHints sizeHints{};
    sizeHints.flags = USPosition | PPosition;
    sizeHints.x = rect.left;
    sizeHints.y = rect.top;
    XWMHints wmHints{};
    wmHints.flags = InputHint | StateHint;
    wmHints.input = topmost ? False : True;  // a topmost window never takes the activation
    wmHints.initial_state = NormalState;
    Xutf8SetWMProperties(display, w->window, utf8.c_str(), utf8.c_str(), nullptr, 0, &sizeHints, &wmHints,
                         nullptr);
    _ZX11SetProgramIdentity(display, w->window);
    XChangeProperty(display, w->window, _ZX11Atom("_NET_WM_NAME"), _ZX11Atom("UTF8_STRING"), 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(utf8.data()), static_cast<int>(utf8.size()));

    Atom protocols[] = {_ZX11Atom("WM_DELETE_WINDOW")};
    XSetWMProtocols(display, w->window, protocols, 1);
    // flags = decorations, decorations = none
    unsigned long motif[5] = {2, 0, 0, 0, 0};
    XChangeProperty(display, w->window, _ZX11Atom("_MOTIF_WM_HINTS"), _ZX11Atom("_MOTIF_WM_HINTS"), 32,
                    PropModeReplace, reinterpret_cast<unsigned char*>(motif), 5);
    if (topmost) {
        Atom above = _ZX11Atom("_NET_WM_STATE_ABOVE");
        XChangeProperty(display, w->window, _ZX11Atom("_NET_WM_STATE"), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&above), 1);
    }
    _ZWinAttachInput(w);
    _ZPowerWatch();
    XFlush(display);
    return w;
}

bool ZWinRepaint(ZWin* window, int width, int height, const unsigned char* pixels, int alpha) {
    ZTRACE();
    ZPRECONDITION(window);
    ZPRECONDITION(pixels);
    ZPRECONDITION(width > 0 && height > 0);
    ZWinRecord* w = window;
    Display* d = _ZX11Display();
    if (width != w->width || height != w->height) {
        if (!buildSurface(w, width, height)) return false;
    }
    // RGBA in, the server's little-endian ARGB (bytes B, G, R, A) out; no premultiplication here.
    unsigned char* out = reinterpret_cast<unsigned char*>(w->image->data);
    const int stride = w->image->bytes_per_line;
    for (int y = 0; y < height; ++y) {
        const unsigned char* s = pixels + static_cast<size_t>(y) * width * 4;
        unsigned char* o = out + static_cast<size_t>(y) * stride;
        for (int x = 0; x < width; ++x, s += 4, o += 4) {
            o[0] = s[2];
            o[1] = s[1];
            o[2] = s[0];
            o[3] = s[3];
        }
    }
    ZASSERT(ZWITHIN( 0, alpha, 255 ));
    _ZX11TrapErrors();
    if (w->rect.right - w->rect.left != width || w->rect.bottom - w->rect.top != height) {
        w->rect.right = w->rect.left + width;
        w->rect.bottom = w->rect.top + height;
        XResizeWindow(d, w->window, static_cast<unsigned>(width), static_cast<unsigned>(height));
    }
    setOpacity(w, alpha);
    if (!w->gc) w->gc = XCreateGC(d, w->window, 0, nullptr);
    if (w->shmAttached)
        XShmPutImage(d, w->window, w->gc, w->image, 0, 0, 0, 0, static_cast<unsigned>(width),
                     static_cast<unsigned>(height), False);
    else
        XPutImage(d, w->window, w->gc, w->image, 0, 0, 0, 0, static_cast<unsigned>(width),
                  static_cast<unsigned>(height));
    // The sync also tells us the server has read the shared segment before we reuse it.
    return _ZX11UntrapErrors(d) == 0;
}

void _ZWinRepaintExposed(ZWinRecord* w, int x, int y, int width, int height) {
    if (!w->image || !w->gc) return;
    Display* d = _ZX11Display();
    if (x >= w->width || y >= w->height) return;
    width = std::min(width, w->width - x);
    height = std::min(height, w->height - y);
    if (w->shmAttached)
        XShmPutImage(d, w->window, w->gc, w->image, x, y, x, y, static_cast<unsigned>(width),
                     static_cast<unsigned>(height), False);
    else
        XPutImage(d, w->window, w->gc, w->image, x, y, x, y, static_cast<unsigned>(width),
                  static_cast<unsigned>(height));
    XSync(d, False);
}

void ZWinClose(ZWin* window) {
    ZTRACE();
    ZPRECONDITION(window);
    ZWinRecord* w = window;
    Display* d = _ZX11Display();
    _ZWinDetachInput(w);
    destroySurface(w);
    if (w->gc) XFreeGC(d, w->gc);
    XDestroyWindow(d, w->window);
    XFlush(d);
    ZASSERT_PTR(w);
    delete w;
}

void ZWinShow(ZWin* window) {
    ZPRECONDITION(window);
    window->visible = true;
    if (!window->minimized) XMapWindow(_ZX11Display(), window->window);
    XFlush(_ZX11Display());
}

void ZWinHide(ZWin* window) {
    ZPRECONDITION(window);
    window->visible = false;
    Display* d = _ZX11Display();
    if (_ZX11HasWindowManager()) XWithdrawWindow(d, window->window, DefaultScreen(d));
    else XUnmapWindow(d, window->window);
    XFlush(d);
}

void ZWinMinimize(ZWin* window) {
    ZPRECONDITION(window);
    Display* d = _ZX11Display();
    window->minimized = true;
    window->visible = true;
    if (_ZX11HasWindowManager()) XIconifyWindow(d, window->window, DefaultScreen(d));
    else XUnmapWindow(d, window->window);
    XFlush(d);
}

void ZWinMaximize(ZWin* window) {
    ZPRECONDITION(window);
    Display* d = _ZX11Display();
    if (!window->maximized) window->restoreRect = window->rect;
    window->maximized = true;
    window->minimized = false;
    window->visible = true;
    XMapWindow(d, window->window);
    if (_ZX11HasWindowManager())
        setNetWmState(window, kNetWmStateAdd, "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ");
    ZRect work;
    if (ZSystemGetWorkArea(work)) applyGeometry(window, work);
    XFlush(d);
}

void ZWinRestore(ZWin* window) {
    ZPRECONDITION(window);
    Display* d = _ZX11Display();
    if (window->minimized) {
        window->minimized = false;
        window->visible = true;
        XMapWindow(d, window->window);
    } else if (window->maximized) {
        window->maximized = false;
        if (_ZX11HasWindowManager())
            setNetWmState(window, kNetWmStateRemove, "_NET_WM_STATE_MAXIMIZED_VERT", "_NET_WM_STATE_MAXIMIZED_HORZ");
        applyGeometry(window, window->restoreRect);
    }
    XFlush(d);
}

bool ZWinIsMaximized(ZWin* window) {
    ZPRECONDITION(window);
    return window->maximized;
}

bool ZWinIsMinimized(ZWin* window) {
    ZPRECONDITION(window);
    return window->minimized;
}

bool ZWinIsVisible(ZWin* window) {
    ZPRECONDITION(window);
    return window->visible;
}

void ZWinSetForeground(ZWin* window) {
    ZPRECONDITION(window);
    Display* d = _ZX11Display();
    XRaiseWindow(d, window->window);
    if (_ZX11HasWindowManager()) {
        _ZX11SendClientMessage(window->window, _ZX11Atom("_NET_ACTIVE_WINDOW"), 1, CurrentTime, 0, 0, 0);
    } else if (!window->topmost) {
        XWindowAttributes a;
        if (XGetWindowAttributes(d, window->window, &a) && a.map_state == IsViewable) {
            _ZX11TrapErrors();
            XSetInputFocus(d, window->window, RevertToParent, CurrentTime);
            _ZX11UntrapErrors(d);
        }
    }
    XFlush(d);
}

bool ZWinHasKeyFocus(ZWin* window) {
    ZPRECONDITION(window);
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(_ZX11Display(), &focus, &revert);
    return focus == window->window;
}

void ZWinMove(ZWin* window, int x, int y) {
    ZPRECONDITION(window);
    const int width = window->rect.right - window->rect.left;
    const int height = window->rect.bottom - window->rect.top;
    window->rect = ZRect{x, y, x + width, y + height};
    XMoveWindow(_ZX11Display(), window->window, x, y);
    XFlush(_ZX11Display());
}

void ZWinMouseCapture(ZWin* window) {
    ZPRECONDITION(window);
    Display* d = _ZX11Display();
    XGrabPointer(d, window->window, True, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                 GrabModeAsync, None, None, CurrentTime);
    XFlush(d);
}

void ZWinMouseRelease(ZWin* window) {
    ZPRECONDITION(window);
    XUngrabPointer(_ZX11Display(), CurrentTime);
    XFlush(_ZX11Display());
}

void ZWinGetScreenPosition(ZWin* window, ZRect& rect) {
    ZPRECONDITION(window);
    Display* d = _ZX11Display();
    Window root = 0, child = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(d, window->window, &root, &x, &y, &width, &height, &border, &depth) ||
        !XTranslateCoordinates(d, window->window, root, 0, 0, &x, &y, &child)) {
        rect = window->rect;
        return;
    }
    rect = ZRect{x, y, x + static_cast<int>(width), y + static_cast<int>(height)};
}

void ZWinFlash(ZWin* window) {
    ZPRECONDITION(window);
    Display* d = _ZX11Display();
    // The urgency hint is the task bar's "look at me"; it is cleared when the window gets the focus.
    XWMHints* hints = XGetWMHints(d, window->window);
    XWMHints fresh{};
    XWMHints* h = hints ? hints : &fresh;
    h->flags |= XUrgencyHint;
    XSetWMHints(d, window->window, h);
    if (hints) XFree(hints);
    if (_ZX11HasWindowManager()) setNetWmState(window, kNetWmStateAdd, "_NET_WM_STATE_DEMANDS_ATTENTION", nullptr);
    XFlush(d);
}

bool ZSystemGetWorkArea(ZRect& rect) {
    Display* d = _ZX11Display();
    if (!d) return false;
    const Window root = DefaultRootWindow(d);
    std::uint64_t desktop = 0;
    int count = 0;
    if (!_ZX11GetCardinals(d, root, _ZX11Atom("_NET_CURRENT_DESKTOP"), XA_CARDINAL, &desktop, 1, count) ||
        count != 1)
        desktop = 0;
    std::uint64_t areas[4 * 16] = {};
    if (desktop < 16 && _ZX11GetCardinals(d, root, _ZX11Atom("_NET_WORKAREA"), XA_CARDINAL, areas, 4 * 16, count) &&
        count >= static_cast<int>(desktop * 4 + 4)) {
        const std::uint64_t* a = areas + desktop * 4;
        if (a[2] > 0 && a[3] > 0 && a[2] < 65536 && a[3] < 65536 && a[0] < 65536 && a[1] < 65536) {
            rect = ZRect{static_cast<int>(a[0]), static_cast<int>(a[1]), static_cast<int>(a[0] + a[2]),
                         static_cast<int>(a[1] + a[3])};
            return true;
        }
    }
    rect = ZRect{0, 0, DisplayWidth(d, DefaultScreen(d)), DisplayHeight(d, DefaultScreen(d))};
    return true;
}
