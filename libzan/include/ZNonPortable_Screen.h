// Platform layer: the desktop for screen sharing: a persistent capture of
// the whole screen refreshed region by region, the shareable windows and
// their geometry, the cursor, key state and the viewer's replayed input.
//
// Threading: a ZScreen handle belongs to the thread that uses it (the
// screen service) and talks to the X server over its own connection. The
// handle-less functions may be called from any thread; they share one
// connection under a leaf lock.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "ZPortable_Rect.h"

struct ZScreenRecord;
typedef ZScreenRecord ZScreen;

// Returns a new, empty capture handle.
ZScreen* ZScreenOpen();
// Refreshes at least the dirty rectangle (clipped to the desktop) of the
// handle's whole-desktop picture and returns its pixels (rows from the top,
// type ZIT_BGRA32 on a 24- or 32-bit desktop); null when the capture failed.
unsigned char* ZScreenCapture(ZScreen* screen_, const ZRect& dirtyRect_, ZImageFormat& format);
void ZScreenClose(ZScreen* screen);

// The visible, titled top-level windows by id (the desktop itself left out).
bool ZScreenGetWindowList(std::map<std::uint32_t, std::wstring>& windowIDNameMap);
// The visible top-level windows on the screen, topmost first, with their
// screen rectangles; per window its visible direct children (clipped,
// relative to the window) and then the parts they leave uncovered.
bool ZScreenGetWindowRects(ZScreen* screen, std::list<ZFrag>& windowRects,
                           std::map<std::uint32_t, std::list<ZFrag>>& childRects);
// The top-level window under a screen point, 0 for the bare desktop.
std::uint32_t ZScreenGetWindowAt(int x, int y);
bool ZScreenSetForegroundWindow(std::uint32_t windowID);
// The top-level window that holds the keyboard focus, 0 when none does.
std::uint32_t ZScreenGetFocusWindow();

void ZSystemGetCursorPosition(int& x, int& y);
void ZSystemSetCursorPosition(int x, int y);
// Whether the key (or mouse button: 1 left, 2 right, 4 middle) is held now.
bool ZSystemIsKeyPressed(int virtualKey);

// Replayed input, with the codes of the wire: a virtual key with flags 0
// (down) or ZKEYEVENTF_KEYUP; mouse flags of ZMOUSEEVENTF_* with x and y
// normalised to 0..65536 over the screen when ZMOUSEEVENTF_ABSOLUTE is set.
constexpr unsigned ZKEYEVENTF_KEYUP = 0x0002;
constexpr unsigned ZMOUSEEVENTF_MOVE = 0x0001;
constexpr unsigned ZMOUSEEVENTF_LEFTDOWN = 0x0002;
constexpr unsigned ZMOUSEEVENTF_LEFTUP = 0x0004;
constexpr unsigned ZMOUSEEVENTF_RIGHTDOWN = 0x0008;
constexpr unsigned ZMOUSEEVENTF_RIGHTUP = 0x0010;
constexpr unsigned ZMOUSEEVENTF_MIDDLEDOWN = 0x0020;
constexpr unsigned ZMOUSEEVENTF_MIDDLEUP = 0x0040;
constexpr unsigned ZMOUSEEVENTF_ABSOLUTE = 0x8000;
void ZSystemInjectKey(int virtualKey, unsigned flags);
void ZSystemInjectMouse(unsigned flags, int x, int y);
