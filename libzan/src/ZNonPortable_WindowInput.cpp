// A layered window's X events turned into its listener's calls: geometry,
// show and close, keys and characters, the pointer with our own double
// click, the move and resize loop driven by the hit test, and Ctrl+V paste
// from the CLIPBOARD selection.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <string>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Keys.h"
#include "ZNonPortable_WindowRecord.h"
#include "ZNonPortable_X11.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

void _ZWinRepaintExposed(ZWinRecord* w, int x, int y, int width, int height);

namespace {

// Same as the system's defaults for a double click.
const Time kDoubleClickMs = 500;
const int kDoubleClickSlop = 4;
// A selection larger than this is cut: pasting megabytes into a chat line is never meant.
const size_t kPasteCap = 1 << 20;

XIM g_im = nullptr;
bool g_imTried = false;

// A paste in flight: the selection arrives in one property or in INCR chunks.
struct PasteState {
    ZWinRecord* window = nullptr;
    bool incremental = false;
    bool truncated = false;
    std::string bytes;
};
PasteState g_paste;

int16_t asShort(int v) { return static_cast<int16_t>(v); }

void deliverPaste() {
    ZWinRecord* w = g_paste.window;
    g_paste.window = nullptr;
    g_paste.incremental = false;
    if (g_paste.truncated)
        ZLOG(L"WARNING Clipboard text longer than " << static_cast<int>(kPasteCap) << L" bytes, cut.");
    std::wstring text = ZFromUTF8(g_paste.bytes);
    g_paste.bytes.clear();
    g_paste.truncated = false;
    if (w && w->listener) w->listener->onPaste(w, text);
}

void appendPaste(const unsigned char* data, unsigned long count) {
    const size_t room = kPasteCap - g_paste.bytes.size();
    if (count > room) {
        count = room;
        g_paste.truncated = true;
    }
    g_paste.bytes.append(reinterpret_cast<const char*>(data), count);
}

// Reads the paste property; returns false while INCR chunks are still due.
bool readPasteProperty(Display* d, Window window, Atom property) {
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, window, property, 0, static_cast<long>(kPasteCap / 4 + 1), True, AnyPropertyType,
                           &type, &format, &items, &after, &data) != Success) {
        g_paste.window = nullptr;
        return true;
    }
    if (type == _ZX11Atom("INCR")) {
        g_paste.incremental = true;
        if (data) XFree(data);
        return false;
    }
    if (data && format == 8 && items > 0) appendPaste(data, items);
    if (after > 0) g_paste.truncated = true;
    if (data) XFree(data);
    if (g_paste.incremental && items > 0) return false;  // a zero-length chunk ends INCR
    return true;
}

void startPaste(ZWinRecord* w, Time time) {
    Display* d = _ZX11Display();
    g_paste = PasteState{};
    g_paste.window = w;
    XConvertSelection(d, _ZX11Atom("CLIPBOARD"), _ZX11Atom("UTF8_STRING"), _ZX11Atom("ZAN_PASTE"), w->window, time);
    XFlush(d);
}

void deliverCharacters(ZWinRecord* w, XKeyEvent& event) {
    char buffer[64] = {};
    KeySym keysym = 0;
    int count = 0;
    std::wstring units;
    if (w->xic) {
        Status status = 0;
        count = Xutf8LookupString(w->xic, &event, buffer, sizeof(buffer) - 1, &keysym, &status);
        if (status != XLookupChars && status != XLookupBoth) count = 0;
    } else {
        count = XLookupString(&event, buffer, sizeof(buffer) - 1, &keysym, nullptr);
        for (int i = 0; i < count; ++i) units += static_cast<wchar_t>(static_cast<unsigned char>(buffer[i]));
    }
    if (count <= 0) return;
    if (w->xic) units = ZFromUTF8(std::string(buffer, count));
    for (wchar_t unit : units) {
        if (unit == 0x7F) continue;  // Delete produces no character
        if (unit == 0x16) {           // Ctrl+V is the paste command, not a character
            startPaste(w, event.time);
            continue;
        }
        if (w->listener) w->listener->onKeyPressed(w, static_cast<int>(unit));
    }
}

void clampToMinimum(ZWinRecord* w, ZRect& r, int hit) {
    int minWidth = 1, minHeight = 1;
    if (w->listener) w->listener->getMinSize(w, &minWidth, &minHeight);
    if (minWidth > 1000) minWidth = 100;
    if (minHeight > 1000) minHeight = 100;
    if (minWidth < 1) minWidth = 1;
    if (minHeight < 1) minHeight = 1;
    const bool left = hit == ZHT_LEFT || hit == ZHT_TOPLEFT || hit == ZHT_BOTTOMLEFT;
    const bool top = hit == ZHT_TOP || hit == ZHT_TOPLEFT || hit == ZHT_TOPRIGHT;
    if (r.right - r.left < minWidth) {
        if (left) r.left = r.right - minWidth;
        else r.right = r.left + minWidth;
    }
    if (r.bottom - r.top < minHeight) {
        if (top) r.top = r.bottom - minHeight;
        else r.bottom = r.top + minHeight;
    }
}

void dragTo(ZWinRecord* w, int rootX, int rootY) {
    const int dx = rootX - w->dragStartX;
    const int dy = rootY - w->dragStartY;
    ZRect r = w->dragStartRect;
    switch (w->dragHit) {
        case ZHT_CAPTION:
            r = ZRect{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
            break;
        case ZHT_LEFT: r.left += dx; break;
        case ZHT_RIGHT: r.right += dx; break;
        case ZHT_TOP: r.top += dy; break;
        case ZHT_BOTTOM: r.bottom += dy; break;
        case ZHT_TOPLEFT: r.left += dx; r.top += dy; break;
        case ZHT_TOPRIGHT: r.right += dx; r.top += dy; break;
        case ZHT_BOTTOMLEFT: r.left += dx; r.bottom += dy; break;
        case ZHT_BOTTOMRIGHT: r.right += dx; r.bottom += dy; break;
        default: return;
    }
    if (w->dragHit != ZHT_CAPTION) clampToMinimum(w, r, w->dragHit);
    if (w->listener) w->listener->onReposition(w, &r);
    if (r.right <= r.left || r.bottom <= r.top) return;
    Display* d = _ZX11Display();
    if (r.right - r.left == w->rect.right - w->rect.left && r.bottom - r.top == w->rect.bottom - w->rect.top)
        XMoveWindow(d, w->window, r.left, r.top);
    else
        XMoveResizeWindow(d, w->window, r.left, r.top, static_cast<unsigned>(r.right - r.left),
                          static_cast<unsigned>(r.bottom - r.top));
    w->rect = r;
    XFlush(d);
}

void updateGeometry(ZWinRecord* w) {
    Display* d = _ZX11Display();
    Window child = 0;
    int x = 0, y = 0;
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, w->window, &a)) return;
    if (!XTranslateCoordinates(d, w->window, a.root, 0, 0, &x, &y, &child)) return;
    w->rect = ZRect{x, y, x + a.width, y + a.height};
}

bool isResizeOrMove(int hit) { return hit == ZHT_CAPTION || (hit >= ZHT_LEFT && hit <= ZHT_BOTTOMRIGHT); }

void onButtonPress(ZWinRecord* w, XButtonEvent& e) {
    IZWinListener* l = w->listener;
    // A window manager's frame moves the window without always telling it:
    // the press's own window coordinates are exact, and a drag starts from
    // where the server has the window now.
    const ZRect before = w->rect;
    updateGeometry(w);
    if (l && !(w->rect == before)) {
        ZRect r = w->rect;
        l->onReposition(w, &r);
    }
    const int hit = l ? l->getNCHITTEST(w, asShort(e.x), asShort(e.y)) : ZHT_CLIENT;
    if (e.button == Button1 && isResizeOrMove(hit)) {
        w->dragHit = hit;
        w->dragStartX = e.x_root;
        w->dragStartY = e.y_root;
        w->dragStartRect = w->rect;
        XGrabPointer(_ZX11Display(), w->window, False, ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                     GrabModeAsync, None, None, e.time);
        return;
    }
    if (hit != ZHT_CLIENT || !l) return;
    const int x = asShort(e.x), y = asShort(e.y);
    if (e.button == Button1) {
        const bool near = std::abs(x - w->lastClickX) <= kDoubleClickSlop && std::abs(y - w->lastClickY) <= kDoubleClickSlop;
        if (!w->clickWasDouble && near && e.time - w->lastClickTime <= kDoubleClickMs) {
            w->clickWasDouble = true;
            l->onLButtonDblClk(w, x, y);
        } else {
            w->clickWasDouble = false;
            w->lastClickTime = e.time;
            w->lastClickX = x;
            w->lastClickY = y;
            l->onLButtonDown(w, x, y);
        }
    } else if (e.button == Button3) {
        l->onRButtonDown(w, x, y);
    }
}

void handleEvent(ZWinRecord* w, XEvent& e) {
    if (ZDebugIsCrashing()) return;
    IZWinListener* l = w->listener;
    Display* d = _ZX11Display();
    switch (e.type) {
        case Expose:
            _ZWinRepaintExposed(w, e.xexpose.x, e.xexpose.y, e.xexpose.width, e.xexpose.height);
            break;
        case ConfigureNotify: {
            updateGeometry(w);
            ZRect r = w->rect;
            if (l) l->onReposition(w, &r);
            break;
        }
        case MapNotify:
        case UnmapNotify:
            if (l) l->onShow(w);
            break;
        case FocusIn:
        case FocusOut:
            if (e.type == FocusIn) {
                XWMHints* hints = XGetWMHints(d, w->window);
                if (hints && (hints->flags & XUrgencyHint)) {
                    hints->flags &= ~XUrgencyHint;
                    XSetWMHints(d, w->window, hints);
                }
                if (hints) XFree(hints);
                if (w->xic) XSetICFocus(w->xic);
            }
            if (l) l->onShow(w);
            break;
        case ClientMessage:
            if (e.xclient.message_type == _ZX11Atom("WM_PROTOCOLS") &&
                static_cast<Atom>(e.xclient.data.l[0]) == _ZX11Atom("WM_DELETE_WINDOW") && l)
                l->onClose(w);
            break;
        case KeyPress: {
            const unsigned vk = _ZKeysVirtualKeyOfEvent(e.xkey);
            if (vk && l) l->onKeyDown(w, static_cast<int>(vk));
            if (vk) w->keysDown[vk & 0xFF] = true;
            deliverCharacters(w, e.xkey);
            break;
        }
        case KeyRelease: {
            const unsigned vk = _ZKeysVirtualKeyOfEvent(e.xkey);
            if (vk) w->keysDown[vk & 0xFF] = false;
            if (vk && l) l->onKeyUp(w, static_cast<int>(vk));
            break;
        }
        case MotionNotify:
            if (w->dragHit) {
                dragTo(w, e.xmotion.x_root, e.xmotion.y_root);
                break;
            }
            w->pointerInside = true;
            if (l) l->onMouseMove(w, asShort(e.xmotion.x), asShort(e.xmotion.y));
            break;
        case EnterNotify:
            w->pointerInside = true;
            break;
        case LeaveNotify:
            if (w->dragHit || e.xcrossing.mode != NotifyNormal) break;
            if (w->pointerInside && l) l->onMouseLeft(w);
            w->pointerInside = false;
            break;
        case ButtonPress:
            onButtonPress(w, e.xbutton);
            break;
        case ButtonRelease:
            if (e.xbutton.button != Button1) break;
            if (w->dragHit) {
                w->dragHit = 0;
                XUngrabPointer(d, e.xbutton.time);
                XFlush(d);
                break;
            }
            if (l) l->onLButtonUp(w, asShort(e.xbutton.x), asShort(e.xbutton.y));
            break;
        case SelectionNotify:
            if (g_paste.window != w) break;
            if (e.xselection.property == None) {
                g_paste.window = nullptr;  // nobody owns the clipboard, or not as text
                break;
            }
            if (readPasteProperty(d, w->window, e.xselection.property) && g_paste.window) deliverPaste();
            break;
        case PropertyNotify:
            if (g_paste.window == w && g_paste.incremental && e.xproperty.state == PropertyNewValue &&
                e.xproperty.atom == _ZX11Atom("ZAN_PASTE")) {
                if (readPasteProperty(d, w->window, e.xproperty.atom) && g_paste.window) deliverPaste();
            }
            break;
        default:
            break;
    }
}

}  // namespace

void _ZWinAttachInput(ZWinRecord* w) {
    Display* d = _ZX11Display();
    // Held keys repeat as presses only, the way the listener expects.
    Bool supported = False;
    XkbSetDetectableAutoRepeat(d, True, &supported);
    if (!g_imTried) {
        g_imTried = true;
        XSetLocaleModifiers("@im=none");
        g_im = XOpenIM(d, nullptr, nullptr, nullptr);
    }
    if (g_im)
        w->xic = XCreateIC(g_im, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, w->window,
                           XNFocusWindow, w->window, nullptr);
    _ZX11SetHandler(w->window, [w](XEvent& e) { handleEvent(w, e); });
}

void _ZWinDetachInput(ZWinRecord* w) {
    _ZX11RemoveHandler(w->window);
    if (g_paste.window == w) g_paste = PasteState{};
    if (w->xic) XDestroyIC(w->xic);
    w->xic = nullptr;
}
