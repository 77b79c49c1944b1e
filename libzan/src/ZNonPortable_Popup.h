// Small override-redirect text windows of our own: the tray's tooltip and
// balloons and the popup menu's list, drawn with the server's core font.
//
// Threading: UI thread only (the UI connection).
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <vector>

// One text window: lines of text, one of them optionally highlighted.
struct _ZPopup {
    Window window = 0;
    GC gc = nullptr;
    XFontStruct* font = nullptr;
    std::vector<std::wstring> lines;
    int width = 0;
    int height = 0;
    int lineHeight = 0;
    int highlighted = -1;
    bool boldFirstLine = false;
};

// Opens and shows a popup at (x, y) on the screen (its bottom edge at y when
// bottomAligned), kept inside the screen; null without a display.
_ZPopup* _ZPopupOpen(const std::vector<std::wstring>& lines, int x, int y, bool bottomAligned);
void _ZPopupDraw(_ZPopup* popup);
// The line at a y inside the popup, -1 outside.
int _ZPopupLineAt(const _ZPopup* popup, int y);
void _ZPopupClose(_ZPopup* popup);
