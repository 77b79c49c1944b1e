// Popup menus: a list window at the pointer with the pointer and keyboard
// grabbed, run by a nested UI loop so that timers and notifications go on
// while the user chooses. An entry's '&' marks its access key, as menus on
// every desktop show it: underlined, and typing it chooses the entry.
#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <cwctype>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Nested.h"
#include "ZNonPortable_TrayRecord.h"
#include "ZNonPortable_Window.h"
#include "ZNonPortable_X11.h"
#include "ZUtil.h"

namespace {

_ZPopup* g_menu = nullptr;
bool g_done = false;
int g_choice = -1;

void finish(int choice) {
    if (g_done) return;
    g_done = true;
    g_choice = choice;
    _ZNestedEnd();
}

void highlight(int line) {
    if (g_menu->highlighted == line) return;
    g_menu->highlighted = line;
    _ZPopupDraw(g_menu);
}

bool inside(int x, int y) { return x >= 0 && y >= 0 && x < g_menu->width && y < g_menu->height; }

// Sees every event while the menu is up: it owns the pointer and keyboard.
bool filter(XEvent& e) {
    if (!g_menu || g_done) return false;
    switch (e.type) {
        case Expose:
            if (e.xexpose.window != g_menu->window) return false;
            if (e.xexpose.count == 0) _ZPopupDraw(g_menu);
            return true;
        case MotionNotify:
            if (e.xmotion.window != g_menu->window) return false;
            highlight(inside(e.xmotion.x, e.xmotion.y) ? _ZPopupLineAt(g_menu, e.xmotion.y) : -1);
            return true;
        case ButtonPress:
        case ButtonRelease: {
            // Coordinates relative to the menu whatever window the grab reports.
            Window child = 0;
            int x = 0, y = 0;
            XTranslateCoordinates(_ZX11Display(), DefaultRootWindow(_ZX11Display()), g_menu->window,
                                  e.xbutton.x_root, e.xbutton.y_root, &x, &y, &child);
            if (!inside(x, y)) {
                if (e.type == ButtonPress) finish(-1);  // a click elsewhere dismisses
                return true;
            }
            const int line = _ZPopupLineAt(g_menu, y);
            if (e.type == ButtonRelease && line >= 0) finish(line);
            return true;
        }
        case KeyPress: {
            char text[8] = {};
            KeySym key = 0;
            const int typed = XLookupString(&e.xkey, text, sizeof(text) - 1, &key, nullptr);
            const int count = static_cast<int>(g_menu->lines.size());
            if (typed == 1 && static_cast<unsigned char>(text[0]) > 0x20) {
                const wchar_t c = static_cast<wchar_t>(std::towlower(static_cast<unsigned char>(text[0])));
                for (int i = 0; i < count; ++i)
                    if (g_menu->keys[static_cast<std::size_t>(i)] == c) {
                        finish(i);
                        return true;
                    }
            }
            if (key == XK_Escape) finish(-1);
            else if (key == XK_Return || key == XK_KP_Enter) finish(g_menu->highlighted);
            else if (key == XK_Down && count > 0) highlight((g_menu->highlighted + 1) % count);
            else if (key == XK_Up && count > 0) highlight((g_menu->highlighted + count - 1) % count);
            return true;
        }
        case KeyRelease:
            return true;
        default:
            return false;
    }
}

}  // namespace

_ZPopup* _ZMenuCurrent() { return g_menu; }

int ZMenuExecute(const std::vector<std::wstring>& options) {
    ZTRACE();
    if (ZDebugIsCrashing() || g_menu) return -1;
    // Nothing to choose: the system shows no menu either.
    if (options.empty()) return -1;
    Display* d = _ZX11Display();
    if (!d) return -1;
    Window root = 0, child = 0;
    int x = 0, y = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    if (!XQueryPointer(d, DefaultRootWindow(d), &root, &child, &x, &y, &wx, &wy, &mask))
        ZWARNASSERT_T(false, "GetCursorPos( &position )");
    _ZPopupStyle style;
    style.accessKeys = true;
    g_menu = _ZPopupCreate(options, style);
    if (!g_menu) return -1;
    // At the pointer and inside the work area, so a menu never covers a
    // panel or a window's title bar unless the screen leaves no other room.
    ZRect area{};
    ZSystemGetWorkArea(area);
    const ZRect place = _ZPopupPlaceAt(x, y, g_menu->width + 2, g_menu->height + 2, area);
    _ZPopupShow(g_menu, place.left, place.top);
    g_done = false;
    g_choice = -1;
    const int filterId = _ZX11AddFilter(filter);
    XSync(d, False);
    // The grabs fail while another program holds them: that dismisses the menu.
    const bool grabbed =
        XGrabPointer(d, g_menu->window, True, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, GrabModeAsync,
                     GrabModeAsync, None, None, CurrentTime) == GrabSuccess &&
        XGrabKeyboard(d, g_menu->window, True, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess;
    if (!grabbed) g_done = true;
    _ZPopupDraw(g_menu);
    // The program's quit while the menu is up dismisses it.
    if (!_ZNestedRun(&g_done)) g_choice = -1;
    XUngrabPointer(d, CurrentTime);
    XUngrabKeyboard(d, CurrentTime);
    _ZX11RemoveFilter(filterId);
    _ZPopupClose(g_menu);
    g_menu = nullptr;
    const int choice = g_choice;
    return choice >= 0 && choice < static_cast<int>(options.size()) ? choice : -1;
}
