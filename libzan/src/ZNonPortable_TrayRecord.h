// The record behind a ZIcon handle.
#pragma once

#include <X11/Xlib.h>

#include <string>

#include "ZNonPortable_Message.h"
#include "ZNonPortable_Popup.h"
#include "ZNonPortable_Tray.h"

struct ZIconRecord {
    IZIconListener* listener = nullptr;
    int state = ZIS_PRIVATE_OFFLINE;
    // Our 16 x 16 window, embedded by the tray manager; made in the tray's
    // visual when it offers one with an alpha channel (argb).
    Window window = 0;
    bool argb = false;
    bool docked = false;
    // The last tooltip or balloon text given, shared by both.
    std::wstring lastText;
    std::wstring tooltipText;
    int bubbleId = 0;
    _ZPopup* tooltip = nullptr;
    _ZPopup* balloon = nullptr;
    ZTimer* balloonTimer = nullptr;
    // Changes made to what the tray shows (the image, tooltip or a balloon).
    int updates = 0;
    Time lastClickTime = 0;
    bool clickWasDouble = false;
};

// Where a balloon of width x height opens beside the icon's rectangle on the
// screen (null without a tray), inside the work area.
ZRect _ZBalloonPlace(const ZRect* iconRect, int width, int height, const ZRect& area);

// The popup menu being shown, null when none (for tests driving it).
_ZPopup* _ZMenuCurrent();
