// Popup menus: a list window at the pointer with the pointer and keyboard
// grabbed, run by a nested UI loop so that timers and notifications go on
// while the user chooses.
#include <X11/keysym.h>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Nested.h"
#include "ZNonPortable_TrayRecord.h"
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
            const KeySym key = XLookupKeysym(&e.xkey, 0);
            const int count = static_cast<int>(g_menu->lines.size());
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
    g_menu = _ZPopupOpen(options, x, y, true);
    if (!g_menu) return -1;
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
