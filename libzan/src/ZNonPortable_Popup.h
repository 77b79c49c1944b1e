// Small override-redirect text windows of our own: the tray's tooltip and
// balloons, the popup menu's list and the fallback file chooser, drawn with
// the skin's face through Xft (fontconfig and FreeType).
//
// Threading: UI thread only (the UI connection).
#pragma once

#include <X11/Xlib.h>

#include <string>
#include <vector>

#include "ZPortable_Rect.h"

typedef struct _XftDraw XftDraw;

// How a popup lays out its lines.
struct _ZPopupStyle {
    // '&' marks the next character as the line's access key (drawn
    // underlined); "&&" stands for one '&'.
    bool accessKeys = false;
    bool boldFirstLine = false;
    // Lines longer than this many pixels wrap at blanks; 0: never.
    int wrapWidth = 0;
};

// One drawn row: a line's text, or a part of it when the line wraps.
struct _ZPopupRow {
    int line = 0;
    std::wstring text;
    // The underlined access key's position in text, -1 when none.
    int mark = -1;
};

// One text window: lines of text, one of them optionally highlighted.
struct _ZPopup {
    Window window = 0;
    GC gc = nullptr;
    XftDraw* draw = nullptr;
    _ZPopupStyle style;
    // The texts as given (with their access-key marks).
    std::vector<std::wstring> lines;
    std::vector<_ZPopupRow> rows;
    // Each line's access key in lower case, 0 when it has none.
    std::vector<wchar_t> keys;
    int width = 0;
    int height = 0;
    // Height of one row.
    int lineHeight = 0;
    int highlighted = -1;
    bool boldFirstLine = false;
};

// Makes a popup of the lines, measured but not shown; null without a display.
_ZPopup* _ZPopupCreate(const std::vector<std::wstring>& lines, const _ZPopupStyle& style);
// Shows a made popup with its top-left corner at (x, y).
void _ZPopupShow(_ZPopup* popup, int x, int y);
// Opens and shows a popup at (x, y) on the screen (its bottom edge at y when
// bottomAligned), kept inside the screen; null without a display.
_ZPopup* _ZPopupOpen(const std::vector<std::wstring>& lines, int x, int y, bool bottomAligned);
// Where a width x height popup opens at a point: its top-left corner at the
// point, flipped to the left or upwards only where it would leave the area,
// and kept inside the area.
ZRect _ZPopupPlaceAt(int x, int y, int width, int height, const ZRect& area);
// The text of a line with its access-key marks taken out, the key's position
// in it (-1 when none) and the key itself in lower case (0 when none).
std::wstring _ZPopupStripMarks(const std::wstring& line, int& mark, wchar_t& key);
void _ZPopupDraw(_ZPopup* popup);
// The line at a y inside the popup, -1 outside.
int _ZPopupLineAt(const _ZPopup* popup, int y);
void _ZPopupClose(_ZPopup* popup);
