// The buddy list: the buddies of "Local_Buddy_List" under a title, online
// ones first, each a row with name and picture (pictures alternate left and
// right); clicks, double clicks, the right button and Backspace become talk,
// chat, call, file, screen and removal commands. The store variables shown
// are watched so the window redraws when presence or a picture changes.
#pragma once

#include <list>
#include <string>
#include <vector>

#include "ZFont.h"
#include "ZTemplateNode.h"

class ZBuddyListNode : public ZTemplateNode, public IZInputHandler {
public:
    // One hit region of the last render, in the node's own coordinates.
    struct Region {
        ZRect rect;
        std::wstring buddy;
        std::wstring list;
        bool picture = false;
        // Same buddy and list (without regard to case) and same area kind.
        bool operator==(const Region& other) const;
    };

    ZBuddyListNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

    int onMouseMove(ZWin* window, int x, int y) override;
    int onMouseoverChanged(bool entered) override;
    int onLButtonDown(ZWin* window, int x, int y) override;
    int onLButtonUp(ZWin* window, int x, int y) override;
    int onLButtonDblClk(ZWin* window, int x, int y) override;
    int onRButtonDown(ZWin* window, int x, int y) override;
    int onKeyPressed(ZWin* window, int character) override;

    const std::vector<Region>& getRegions() const { return _regions; }
    const Region& getSelected() const { return _selected; }

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    int _select(int x, int y);
    const Region* _getRegion(int x, int y) const;
    void _addWatches();
    void _removeWatches();
    void _drawList(ZImageStack& stack, ZRect area, const std::wstring& title, const std::wstring& list,
                   const std::vector<std::wstring>& buddies);
    bool _drawPicture(ZImageStack& stack, const std::wstring& buddy, bool colour, ZRect& picture);

    bool _watchingList = false;
    ZFont _titleFont;
    ZFont _normalFont;
    ZFont _mouseoverFont;
    ZFont _offlineFont;
    std::wstring _selectedBGColor;
    std::wstring _mouseoverBGColor;
    std::vector<std::wstring> _buddies;
    std::wstring _buddyListText;
    Region _selected;
    Region _mouseover;
    std::vector<Region> _regions;
    int _x = 0;
    int _y = 0;
    ZNotifyHandle* _listener = nullptr;
    std::list<std::wstring> _watched;
};
