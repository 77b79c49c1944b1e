// A list of text items, one row each, from a list written in the skin or
// held in a store variable; a click picks an item, which goes to a store
// variable (optionally persisted) and runs the skin's command. The row under
// the mouse is drawn in a second font, the selected one inverted.
#pragma once

#include <string>
#include <vector>

#include "ZFont.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"

class ZListNode : public ZTemplateNode, public IZInputHandler, public IZListControl {
public:
    ZListNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

    int onMouseMove(ZWin* window, int x, int y) override;
    int onMouseoverChanged(bool entered) override;
    int onLButtonDown(ZWin* window, int x, int y) override;

    std::wstring getSelection() override { return _selected; }
    const std::wstring& getMouseover() const { return _mouseover; }

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    // The items as they are now: the list variable's value, or the skin's list.
    std::vector<std::wstring> _items();
    // The row index under window row y; -1 for none (no rows, or outside).
    int _row(int y, std::size_t count);

    ZFont _font;
    ZFont _mouseoverFont;
    std::wstring _list;
    std::wstring _listName;
    std::wstring _onSelect;
    std::wstring _selected;
    std::wstring _mouseover;
    std::wstring _varName;
    bool _persist = false;
    int _x = 0;
    int _y = 0;
};
