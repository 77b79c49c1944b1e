// Platform layer: the program's icon in the desktop's notification area
// (XEmbed system tray) with its tooltip and clickable balloons, and popup
// menus of plain text entries.
//
// Threading: UI thread only; the icon's callbacks and the menu's nested
// loop run there.
#pragma once

#include <string>
#include <vector>

struct ZIconRecord;
typedef ZIconRecord ZIcon;

// The icon's images: the presence shown, public or private.
enum ZIconState : int {
    ZIS_PUBLIC_OFFLINE = 0,
    ZIS_PUBLIC_CHANGING = 1,
    ZIS_PUBLIC_ONLINE = 2,
    ZIS_PRIVATE_OFFLINE = 3,
    ZIS_PRIVATE_CHANGING = 4,
    ZIS_PRIVATE_ONLINE = 5,
};

// Hears the clicks on the tray icon and its balloons.
class IZIconListener {
public:
    virtual ~IZIconListener() = default;
    virtual void onLButtonDown(ZIcon* /*icon*/) {}
    virtual void onLButtonDblClk(ZIcon* /*icon*/) {}
    virtual void onRButtonDown(ZIcon* /*icon*/) {}
    virtual void onBubbleClick(ZIcon* /*icon*/, int /*bubbleId*/) {}
};

// Adds the icon (private offline image); without a tray the handle still works.
ZIcon* ZIconOpen(IZIconListener* listener);
void ZIconSetState(ZIcon* icon, int state);
// The tooltip shows the first 62 characters.
void ZIconSetText(ZIcon* icon, const std::wstring& text);
// Shows a balloon (title cut to 62, text to 254 characters) for ten seconds;
// a click on it calls back with bubbleId.
void ZIconSetBubble(ZIcon* icon, const std::wstring& title, const std::wstring& text, int bubbleId);
// Removes the icon; the handle stays valid and empty.
void ZIconClose(ZIcon* icon);
// Whether a system tray holds the icon now. Without one nothing on the
// desktop can bring back a hidden window; a tray that starts later gets the
// icon at once.
bool ZIconIsDocked(const ZIcon* icon);

// Shows the options as a popup menu at the pointer (inside the work area,
// flipped only where it would leave it) and returns the chosen index, -1
// when dismissed. An '&' marks the entry's access key, "&&" is one '&'.
int ZMenuExecute(const std::vector<std::wstring>& options);
