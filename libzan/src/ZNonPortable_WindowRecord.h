// The record behind a ZWin handle, shared by the window operations and the
// window's event handling.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include <cstdint>

#include "ZNonPortable_Window.h"

struct ZWinRecord {
    Window window = 0;
    IZWinListener* listener = nullptr;
    bool topmost = false;

    // The pixel surface: reused while the image size stays the same.
    XImage* image = nullptr;
    XShmSegmentInfo shm{};
    bool shmAttached = false;
    GC gc = nullptr;
    int width = 0;
    int height = 0;
    int opacity = 255;

    // Geometry and state as the layer knows them (no window manager may run).
    ZRect rect;
    bool visible = false;
    bool minimized = false;
    bool maximized = false;
    ZRect restoreRect;

    // Input: our own double-click detection, the move and resize loop, the
    // keys held (to tell auto-repeat from a new press).
    XIC xic = nullptr;
    bool pointerInside = false;
    Time lastClickTime = 0;
    int lastClickX = -1000;
    int lastClickY = -1000;
    bool clickWasDouble = false;
    int dragHit = 0;
    int dragStartX = 0;
    int dragStartY = 0;
    ZRect dragStartRect;
    bool keysDown[256] = {};
};

// Installs the window's event handler (window input).
void _ZWinAttachInput(ZWinRecord* w);
void _ZWinDetachInput(ZWinRecord* w);
