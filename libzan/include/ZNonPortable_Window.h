// Platform layer: borderless per-pixel-alpha top-level windows whose whole
// content the skin renders, and the listener that receives their input.
//
// Threading: every function and every listener call runs on the UI thread.
#pragma once

#include <string>

#include "ZPortable_Rect.h"

struct ZWinRecord;
typedef ZWinRecord ZWin;

// Hit-test answers that drive the layer's own move and resize loop.
enum ZWinHitTest : int {
    ZHT_NOWHERE = 0,
    ZHT_CLIENT = 1,
    ZHT_CAPTION = 2,
    ZHT_LEFT = 10,
    ZHT_RIGHT = 11,
    ZHT_TOP = 12,
    ZHT_TOPLEFT = 13,
    ZHT_TOPRIGHT = 14,
    ZHT_BOTTOM = 15,
    ZHT_BOTTOMLEFT = 16,
    ZHT_BOTTOMRIGHT = 17,
};

// The owner of a layered window: its input, in slot order. Coordinates are
// relative to the window's top-left corner; only getNCHITTEST's result is used.
class IZWinListener {
public:
    virtual ~IZWinListener() = default;
    virtual int getNCHITTEST(ZWin*, int /*x*/, int /*y*/) { return ZHT_CLIENT; }
    virtual int getMinSize(ZWin*, int* /*minWidth*/, int* /*minHeight*/) { return 0; }
    // Screen rectangle; during a move or resize the proposed one, which the
    // listener may change in place.
    virtual int onReposition(ZWin*, ZRect* /*rect*/) { return 0; }
    virtual int onKeyDown(ZWin*, int /*virtualKey*/) { return 0; }
    virtual int onKeyUp(ZWin*, int /*virtualKey*/) { return 0; }
    // One UTF-16 unit per call; Backspace, Tab, Return and Escape as 8, 9, 13, 27.
    virtual int onKeyPressed(ZWin*, int /*character*/) { return 0; }
    virtual int onMouseMove(ZWin*, int /*x*/, int /*y*/) { return 0; }
    virtual int onMouseLeft(ZWin*) { return 0; }
    virtual int onLButtonDown(ZWin*, int /*x*/, int /*y*/) { return 0; }
    virtual int onLButtonUp(ZWin*, int /*x*/, int /*y*/) { return 0; }
    virtual int onLButtonDblClk(ZWin*, int /*x*/, int /*y*/) { return 0; }
    virtual int onRButtonDown(ZWin*, int /*x*/, int /*y*/) { return 0; }
    virtual int onClose(ZWin*) { return 0; }
    virtual int onShow(ZWin*) { return 0; }
    virtual int onUnused(ZWin*, int) { return 0; }
    virtual int onPaste(ZWin*, const std::wstring& /*text*/) { return 0; }
};

ZWin* ZWinOpen(const std::wstring& title, const ZRect& rect, bool topmost, IZWinListener* listener);
// Pushes width x height RGBA pixels (rows from the top) with a global alpha
// 0..255; the window takes the image's size.
bool ZWinRepaint(ZWin* window, int width, int height, const unsigned char* pixels, int alpha);
void ZWinClose(ZWin* window);

void ZWinShow(ZWin* window);
void ZWinHide(ZWin* window);
void ZWinMinimize(ZWin* window);
void ZWinMaximize(ZWin* window);
void ZWinRestore(ZWin* window);
bool ZWinIsMaximized(ZWin* window);
bool ZWinIsMinimized(ZWin* window);
bool ZWinIsVisible(ZWin* window);
void ZWinSetForeground(ZWin* window);
bool ZWinHasKeyFocus(ZWin* window);
void ZWinMove(ZWin* window, int x, int y);
void ZWinMouseCapture(ZWin* window);
void ZWinMouseRelease(ZWin* window);
void ZWinGetScreenPosition(ZWin* window, ZRect& rect);
void ZWinFlash(ZWin* window);

// The desktop area not taken by panels, in screen pixels (the whole screen
// when no window manager says otherwise); false without a display.
bool ZSystemGetWorkArea(ZRect& rect);
