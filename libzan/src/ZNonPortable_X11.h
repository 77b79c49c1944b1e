// The UI thread's X connection shared by the desktop families (windows,
// tray, menus, hotkeys): opening it, atoms, the ARGB visual, error traps and
// the per-window event dispatch.
//
// Threading: the UI connection, its handler table and its dispatch belong to
// the UI thread. The error trap is per thread, so the screen family may trap
// errors on its own connection from the screen service's thread.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The UI connection, opened on first use (null with one warning line when no
// display can be reached).
Display* _ZX11Display();
Window _ZX11Root();
Atom _ZX11Atom(const char* name);

// The depth-32 TrueColor visual with its own colormap, or the default visual
// (depth 24) after one warning when the server has none.
struct _ZX11VisualInfo {
    Visual* visual = nullptr;
    int depth = 0;
    Colormap colormap = 0;
};
const _ZX11VisualInfo& _ZX11ArgbVisual();

// Whether an EWMH window manager runs (_NET_SUPPORTING_WM_CHECK on the root).
bool _ZX11HasWindowManager();
// The same asked over another connection.
bool _ZX11HasWindowManager(Display* d);

// Collects X errors raised on the calling thread between trap and untrap
// instead of ending the process; untrap syncs and returns the first error
// code (0 when none).
void _ZX11TrapErrors();
int _ZX11UntrapErrors(Display* display);
// Installs the process's error handler (done by every connection opener).
void _ZX11InstallErrorHandler();

// Events of one window go to its handler; root-window key events go to the
// root handler (global hotkeys); every event is offered to the filters first
// (selection transfers, the popup menu's grab).
typedef std::function<void(XEvent&)> _ZX11Handler;
void _ZX11SetHandler(Window window, _ZX11Handler handler);
void _ZX11RemoveHandler(Window window);
int _ZX11AddFilter(std::function<bool(XEvent&)> filter);
void _ZX11RemoveFilter(int id);

// Dispatches every event already queued on the UI connection.
void _ZX11Pump();
// Waits up to timeoutMs for the UI connection to become readable, then
// pumps; false when nothing arrived in time.
bool _ZX11WaitAndPump(int timeoutMs);

// Window properties.
bool _ZX11GetCardinals(Display* display, Window window, Atom property, Atom type,
                       std::uint64_t* values, int maxCount, int& count);
std::string _ZX11GetText(Display* display, Window window, Atom property, Atom type);
void _ZX11SendClientMessage(Window window, Atom type, long a, long b, long c, long d, long e);

// Marks a top-level window as the program's: WM_CLASS "zandrel", "Zandrel"
// and the program's icon (_NET_WM_ICON), so panels and task lists show and
// group it under the program.
void _ZX11SetProgramIdentity(Display* display, Window window);
// Pixels 0xAARRGGBB (straight alpha) of the round presence badge of a tray
// state (0..5) at size x size, drawn with soft edges on transparency.
std::vector<std::uint32_t> _ZX11BadgePixels(int state, int size);
