// The tray icon as an XEmbed system-tray client: a small window of our own
// docked by the tray manager (_NET_SYSTEM_TRAY_S<n>), drawn in the tray's
// visual with transparency where it offers one, docked again whenever a
// tray manager announces itself (MANAGER on the root); its tooltip and
// balloons as override-redirect windows of our own.
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdio>
#include <list>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_TrayRecord.h"
#include "ZNonPortable_Window.h"
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

const int kBalloonWrap = 300;
const int kBalloonGap = 4;

// The picture of the icon's state, in the tray's own colours: on a window of
// the tray's ARGB visual the badge's soft edge blends with the tray; on any
// other the badge's solid pixels are drawn over the tray's background,
// which the window shows through (ParentRelative).
void drawIcon(ZIconRecord* icon) {
    Display* d = _ZX11Display();
    if (!d || !icon->window) return;
    std::vector<std::uint32_t> pixels = _ZX11BadgePixels(icon->state, kIconSize);
    XWindowAttributes wa{};
    if (!XGetWindowAttributes(d, icon->window, &wa)) return;
    GC gc = XCreateGC(d, icon->window, 0, nullptr);
    Pixmap mask = None;
    if (icon->argb) {
        for (std::uint32_t& p : pixels) {
            const std::uint32_t a = p >> 24;
            const auto premultiply = [a](std::uint32_t c) { return (c * a + 127) / 255; };
            p = a << 24 | premultiply(p >> 16 & 0xFF) << 16 | premultiply(p >> 8 & 0xFF) << 8 | premultiply(p & 0xFF);
        }
    } else {
        std::vector<unsigned char> bits(static_cast<std::size_t>((kIconSize + 7) / 8) * kIconSize, 0);
        for (int y = 0; y < kIconSize; ++y)
            for (int x = 0; x < kIconSize; ++x)
                if ((pixels[static_cast<std::size_t>(y) * kIconSize + x] >> 24) >= 128)
                    bits[static_cast<std::size_t>(y) * ((kIconSize + 7) / 8) + x / 8] |= static_cast<unsigned char>(1 << (x % 8));
        mask = XCreateBitmapFromData(d, icon->window, reinterpret_cast<const char*>(bits.data()), kIconSize, kIconSize);
        XClearWindow(d, icon->window);
        XSetClipMask(d, gc, mask);
    }
    XImage* image = XCreateImage(d, wa.visual, static_cast<unsigned>(wa.depth), ZPixmap, 0,
                                 reinterpret_cast<char*>(pixels.data()), kIconSize, kIconSize, 32, kIconSize * 4);
    if (image && image->bits_per_pixel == 32) XPutImage(d, icon->window, gc, image, 0, 0, 0, 0, kIconSize, kIconSize);
    if (image) {
        image->data = nullptr;  // the pixels belong to the vector
        XDestroyImage(image);
    }
    if (mask != None) XFreePixmap(d, mask);
    XFreeGC(d, gc);
    XFlush(d);
}

void hideTooltip(ZIconRecord* icon) {
    _ZPopupClose(icon->tooltip);
    icon->tooltip = nullptr;
}

// Beside the icon inside the work area, so it never covers the icon or a
// panel: above an icon in the lower half of the screen, below one in the
// upper half, its right edge at the icon's where the area lets it; without a
// tray in the work area's top right corner.
ZRect balloonPosition(ZIconRecord* icon, int width, int height) {
    Display* d = _ZX11Display();
    ZRect area{};
    ZSystemGetWorkArea(area);
    Window child = 0;
    int rx = 0, ry = 0;
    if (!icon->docked || !XTranslateCoordinates(d, icon->window, DefaultRootWindow(d), 0, 0, &rx, &ry, &child))
        return _ZBalloonPlace(nullptr, width, height, area);
    const ZRect at{rx, ry, rx + kIconSize, ry + kIconSize};
    return _ZBalloonPlace(&at, width, height, area);
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

Atom traySelection(Display* d) {
    char name[64];
    std::snprintf(name, sizeof(name), "_NET_SYSTEM_TRAY_S%d", DefaultScreen(d));
    return _ZX11Atom(name);
}

// The tray's visual when it offers one with an alpha channel (the tray
// protocol's _NET_SYSTEM_TRAY_VISUAL), else null.
Visual* trayArgbVisual(Display* d, Window manager) {
    std::uint64_t id = 0;
    int count = 0;
    _ZX11TrapErrors();
    const bool found = _ZX11GetCardinals(d, manager, _ZX11Atom("_NET_SYSTEM_TRAY_VISUAL"), XA_VISUALID, &id, 1, count);
    if (_ZX11UntrapErrors(d) != 0 || !found || count != 1) return nullptr;
    XVisualInfo want{};
    want.visualid = static_cast<VisualID>(id);
    int matches = 0;
    XVisualInfo* info = XGetVisualInfo(d, VisualIDMask, &want, &matches);
    Visual* visual = info && matches > 0 && info->depth == 32 ? info->visual : nullptr;
    if (info) XFree(info);
    return visual;
}

// (Re)makes the icon's window for the tray that runs now, in its visual.
void makeWindow(ZIconRecord* icon, Window manager) {
    Display* d = _ZX11Display();
    if (icon->window) {
        _ZX11RemoveHandler(icon->window);
        XDestroyWindow(d, icon->window);
    }
    Visual* argb = manager != None ? trayArgbVisual(d, manager) : nullptr;
    icon->argb = argb != nullptr;
    icon->docked = false;
    XSetWindowAttributes a{};
    a.event_mask = ExposureMask | ButtonPressMask | EnterWindowMask | LeaveWindowMask | StructureNotifyMask;
    unsigned long mask = CWEventMask;
    if (argb) {
        a.colormap = XCreateColormap(d, DefaultRootWindow(d), argb, AllocNone);
        a.background_pixel = 0;
        a.border_pixel = 0;
        mask |= CWColormap | CWBackPixel | CWBorderPixel;
        icon->window = XCreateWindow(d, DefaultRootWindow(d), 0, 0, kIconSize, kIconSize, 0, 32, InputOutput, argb,
                                     mask, &a);
    } else {
        a.background_pixmap = ParentRelative;
        mask |= CWBackPixmap;
        icon->window = XCreateWindow(d, DefaultRootWindow(d), 0, 0, kIconSize, kIconSize, 0, CopyFromParent,
                                     InputOutput, CopyFromParent, mask, &a);
    }
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
    _ZX11SetProgramIdentity(d, icon->window);
    _ZX11SetHandler(icon->window, [icon](XEvent& e) { onIconEvent(icon, e); });
}

bool dock(ZIconRecord* icon, Window manager) {
    Display* d = _ZX11Display();
    if (!d || manager == None) return false;
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

// A tray manager that starts (or restarts) announces itself with MANAGER on
// the root window: every icon that no tray holds docks in it.
bool onRootEvent(XEvent& e) {
    if (e.type != ClientMessage || e.xclient.window != DefaultRootWindow(e.xany.display) ||
        e.xclient.message_type != _ZX11Atom("MANAGER"))
        return false;
    Display* d = _ZX11Display();
    if (static_cast<Atom>(e.xclient.data.l[1]) != traySelection(d)) return false;
    const Window manager = static_cast<Window>(e.xclient.data.l[2]);
    for (ZIconRecord* icon : g_open) {
        if (icon->docked || !icon->window) continue;
        makeWindow(icon, manager);
        drawIcon(icon);
        dock(icon, manager);
    }
    XFlush(d);
    return false;
}

void watchForTrays(Display* d) {
    static bool watching = false;
    if (watching) return;
    watching = true;
    XWindowAttributes wa{};
    XGetWindowAttributes(d, DefaultRootWindow(d), &wa);
    XSelectInput(d, DefaultRootWindow(d), wa.your_event_mask | StructureNotifyMask);
    _ZX11AddFilter(onRootEvent);
}

}  // namespace

ZIcon* ZIconOpen(IZIconListener* listener) {
    ZTRACE();
    ZPRECONDITION(listener);
    ZIconRecord* icon = new ZIconRecord;
    icon->listener = listener;
    g_open.push_back(icon);
    Display* d = _ZX11Display();
    Window manager = None;
    if (d) {
        watchForTrays(d);
        manager = XGetSelectionOwner(d, traySelection(d));
        makeWindow(icon, manager);
    }
    ZWARNASSERT_T(d && dock(icon, manager), "Shell_NotifyIconW( 0x00000000, &iconData )");
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
    _ZPopupStyle style;
    style.boldFirstLine = true;
    style.wrapWidth = kBalloonWrap;
    icon->balloon = _ZPopupCreate({title.substr(0, 62), text.substr(0, 254)}, style);
    if (!icon->balloon) return;
    const ZRect at = balloonPosition(icon, icon->balloon->width + 2, icon->balloon->height + 2);
    _ZPopupShow(icon->balloon, at.left, at.top);
    _ZX11SetHandler(icon->balloon->window, [icon](XEvent& e) { onBalloonEvent(icon, e); });
    icon->balloonTimer = ZTimerOpen(kBalloonTime, &g_balloonTimer);
}

bool ZIconIsDocked(const ZIcon* icon) { return icon && icon->window && icon->docked; }

ZRect _ZBalloonPlace(const ZRect* iconRect, int width, int height, const ZRect& area) {
    if (!iconRect) {
        const int left = std::max(area.left, area.right - kBalloonGap * 2 - width);
        return ZRect{left, area.top + kBalloonGap * 2, left + width, area.top + kBalloonGap * 2 + height};
    }
    const int middle = (area.top + area.bottom) / 2;
    const bool low = (iconRect->top + iconRect->bottom) / 2 > middle;
    int top = low ? iconRect->top - kBalloonGap - height : iconRect->bottom + kBalloonGap;
    int left = iconRect->right - width;
    left = std::max(area.left, std::min(left, area.right - width));
    top = std::max(area.top, std::min(top, area.bottom - height));
    return ZRect{left, top, left + width, top + height};
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
