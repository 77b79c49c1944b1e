// The tray icon as an XEmbed system-tray client: a small window of our own
// docked by the tray manager (_NET_SYSTEM_TRAY_S<n>), its tooltip and
// balloons as override-redirect windows of our own.
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cstdio>
#include <list>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_TrayRecord.h"
#include "ZNonPortable_X11.h"
#include "ZUtil.h"

namespace {

const int kIconSize = 16;
const std::int64_t kBalloonTime = 10000000;
const Time kDoubleClickMs = 500;
const long kSystemTrayRequestDock = 0;

// Closed handles stay valid (callers may keep them); they are kept here,
// in a list that outlives the program's static objects.
std::list<ZIconRecord*>* const g_closed = new std::list<ZIconRecord*>;

// Fill colour of each state: offline, changing, online; private ones carry a mark.
const unsigned long kStateColour[] = {0x909090, 0xE0B000, 0x20A040, 0x909090, 0xE0B000, 0x20A040};

void drawIcon(ZIconRecord* icon) {
    Display* d = _ZX11Display();
    if (!d || !icon->window) return;
    GC gc = XCreateGC(d, icon->window, 0, nullptr);
    XSetForeground(d, gc, 0x202020);
    XFillRectangle(d, icon->window, gc, 0, 0, kIconSize, kIconSize);
    XSetForeground(d, gc, kStateColour[icon->state]);
    XFillArc(d, icon->window, gc, 1, 1, kIconSize - 2, kIconSize - 2, 0, 360 * 64);
    if (icon->state >= ZIS_PRIVATE_OFFLINE) {
        XSetForeground(d, gc, 0x202020);
        XFillRectangle(d, icon->window, gc, 5, 5, 6, 6);
    }
    XFreeGC(d, gc);
    XFlush(d);
}

void hideTooltip(ZIconRecord* icon) {
    _ZPopupClose(icon->tooltip);
    icon->tooltip = nullptr;
}

// The balloon appears by the icon, or in the top right corner without a tray.
void balloonPosition(ZIconRecord* icon, int& x, int& y) {
    Display* d = _ZX11Display();
    x = DisplayWidth(d, DefaultScreen(d)) - 8;
    y = 8;
    if (!icon->docked) return;
    Window child = 0;
    int rx = 0, ry = 0;
    if (XTranslateCoordinates(d, icon->window, DefaultRootWindow(d), 0, 0, &rx, &ry, &child)) {
        x = rx;
        y = ry + kIconSize + 4;
    }
}

class ZBalloonTimer : public IZTimerListener {
public:
    void onTimer(ZTimer* timer) override;
};
ZBalloonTimer g_balloonTimer;
std::list<ZIconRecord*> g_open;

void hideBalloon(ZIconRecord* icon) {
    if (icon->balloonTimer) ZTimerClose(icon->balloonTimer);
    icon->balloonTimer = nullptr;
    _ZPopupClose(icon->balloon);
    icon->balloon = nullptr;
}

void ZBalloonTimer::onTimer(ZTimer* timer) {
    for (ZIconRecord* icon : g_open)
        if (icon->balloonTimer == timer) hideBalloon(icon);
}

void onBalloonEvent(ZIconRecord* icon, XEvent& e) {
    if (ZDebugIsCrashing()) return;
    if (e.type == Expose && e.xexpose.count == 0) _ZPopupDraw(icon->balloon);
    if (e.type != ButtonPress) return;
    const int id = icon->bubbleId;
    hideBalloon(icon);
    if (icon->listener) icon->listener->onBubbleClick(icon, id);
}

void onIconEvent(ZIconRecord* icon, XEvent& e) {
    if (ZDebugIsCrashing()) return;
    Display* d = _ZX11Display();
    switch (e.type) {
        case Expose:
            if (e.xexpose.count == 0) drawIcon(icon);
            break;
        case ReparentNotify:
            // Docked (or undocked when the tray went away).
            icon->docked = e.xreparent.parent != DefaultRootWindow(d);
            break;
        case EnterNotify:
            if (!icon->tooltipText.empty() && !icon->tooltip) {
            {
                // Below the pointer, or above it in a tray at the bottom of
                // the screen: a tip over the icon would take its clicks.
                const bool low = e.xcrossing.y_root > DisplayHeight(d, DefaultScreen(d)) / 2;
                icon->tooltip = _ZPopupOpen({icon->tooltipText}, e.xcrossing.x_root + 8,
                                            low ? e.xcrossing.y_root - 8 : e.xcrossing.y_root + 16, low);
            }
                if (icon->tooltip)
                    _ZX11SetHandler(icon->tooltip->window, [icon](XEvent& ev) {
                        if (ev.type == Expose && ev.xexpose.count == 0) _ZPopupDraw(icon->tooltip);
                    });
            }
            break;
        case LeaveNotify:
            hideTooltip(icon);
            break;
        case ButtonPress:
            hideTooltip(icon);
            if (!icon->listener) break;
            if (e.xbutton.button == Button1) {
                if (!icon->clickWasDouble && e.xbutton.time - icon->lastClickTime <= kDoubleClickMs) {
                    icon->clickWasDouble = true;
                    icon->listener->onLButtonDblClk(icon);
                } else {
                    icon->clickWasDouble = false;
                    icon->lastClickTime = e.xbutton.time;
                    icon->listener->onLButtonDown(icon);
                }
            } else if (e.xbutton.button == Button3) {
                icon->listener->onRButtonDown(icon);
            }
            break;
        default:
            break;
    }
}

bool dock(ZIconRecord* icon) {
    Display* d = _ZX11Display();
    if (!d) return false;
    char name[64];
    std::snprintf(name, sizeof(name), "_NET_SYSTEM_TRAY_S%d", DefaultScreen(d));
    const Window manager = XGetSelectionOwner(d, _ZX11Atom(name));
    if (manager == None) return false;
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = manager;
    e.xclient.message_type = _ZX11Atom("_NET_SYSTEM_TRAY_OPCODE");
    e.xclient.format = 32;
    e.xclient.data.l[0] = CurrentTime;
    e.xclient.data.l[1] = kSystemTrayRequestDock;
    e.xclient.data.l[2] = static_cast<long>(icon->window);
    _ZX11TrapErrors();
    XSendEvent(d, manager, False, NoEventMask, &e);
    return _ZX11UntrapErrors(d) == 0;
}

}  // namespace

ZIcon* ZIconOpen(IZIconListener* listener) {
    ZTRACE();
    ZPRECONDITION(listener);
    ZIconRecord* icon = new ZIconRecord;
    icon->listener = listener;
    g_open.push_back(icon);
    Display* d = _ZX11Display();
    if (d) {
        XSetWindowAttributes a{};
        a.background_pixel = 0x202020;
        a.event_mask = ExposureMask | ButtonPressMask | EnterWindowMask | LeaveWindowMask | StructureNotifyMask;
        icon->window = XCreateWindow(d, DefaultRootWindow(d), 0, 0, kIconSize, kIconSize, 0, CopyFromParent,
                                     InputOutput, CopyFromParent, CWBackPixel | CWEventMask, &a);
        // XEmbed version 0, mapped by the embedder.
        unsigned long info[2] = {0, 1};
        XChangeProperty(d, icon->window, _ZX11Atom("_XEMBED_INFO"), _ZX11Atom("_XEMBED_INFO"), 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(info), 2);
        XSizeHints hints{};
        hints.flags = PMinSize | PBaseSize;
        hints.min_width = hints.base_width = kIconSize;
        hints.min_height = hints.base_height = kIconSize;
        XSetWMNormalHints(d, icon->window, &hints);
        XStoreName(d, icon->window, "Zandrel");
        _ZX11SetHandler(icon->window, [icon](XEvent& e) { onIconEvent(icon, e); });
    }
    ZWARNASSERT_T(d && dock(icon), "Shell_NotifyIconW( 0x00000000, &iconData )");
    ++icon->updates;
    if (d) XFlush(d);
    return icon;
}

void ZIconSetState(ZIcon* icon, int state) {
    ZPRECONDITION(icon);
    ZASSERT(ZWITHIN( ZIS_PUBLIC_OFFLINE, state, ZIS_PRIVATE_ONLINE ));
    if (ZDebugIsCrashing() || state == icon->state) return;
    icon->state = state;
    ++icon->updates;
    drawIcon(icon);
}

void ZIconSetText(ZIcon* icon, const std::wstring& text) {
    ZPRECONDITION(icon);
    if (ZDebugIsCrashing() || text == icon->lastText) return;
    icon->lastText = text;
    icon->tooltipText = text.substr(0, 62);
    ++icon->updates;
    if (icon->tooltip) {
        icon->tooltip->lines = {icon->tooltipText};
        _ZPopupDraw(icon->tooltip);
    }
    ZWARNASSERT_T(icon->window, "Shell_NotifyIconW( 0x00000001, &iconData )");
}

void ZIconSetBubble(ZIcon* icon, const std::wstring& title, const std::wstring& text, int bubbleId) {
    ZPRECONDITION(icon);
    if (ZDebugIsCrashing() || text == icon->lastText) return;
    icon->lastText = text;
    icon->bubbleId = bubbleId;
    ++icon->updates;
    hideBalloon(icon);  // one balloon at a time: the new one replaces the old
    ZWARNASSERT_T(icon->window, "Shell_NotifyIconW( 0x00000001, &iconData )");
    if (!icon->window) return;
    int x = 0, y = 0;
    balloonPosition(icon, x, y);
    icon->balloon = _ZPopupOpen({title.substr(0, 62), text.substr(0, 254)}, x, y, false);
    if (!icon->balloon) return;
    icon->balloon->boldFirstLine = true;
    _ZX11SetHandler(icon->balloon->window, [icon](XEvent& e) { onBalloonEvent(icon, e); });
    icon->balloonTimer = ZTimerOpen(kBalloonTime, &g_balloonTimer);
}

void ZIconClose(ZIcon* icon) {
    ZTRACE();
    ZPRECONDITION(icon);
    if (ZDebugIsCrashing()) return;
    hideTooltip(icon);
    hideBalloon(icon);
    Display* d = _ZX11Display();
    if (icon->window && d) {
        _ZX11RemoveHandler(icon->window);
        XDestroyWindow(d, icon->window);
        XFlush(d);
    }
    g_open.remove(icon);
    if (!ZCONTAINS(*g_closed, icon)) g_closed->push_back(icon);
    *icon = ZIconRecord{};
    icon->listener = nullptr;
}
