// The clickable element of a skin: an image frame chosen by its state, an
// optional caption, and commands issued on mouse-down, mouse-up and double
// click. A push button keeps a pushed state that each click flips.
#pragma once

#include <string>

#include "ZFont.h"
#include "ZTemplateNode.h"

class ZButtonNode : public ZTemplateNode, public IZInputHandler {
public:
    ZButtonNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

    int onLButtonDown(ZWin* window, int x, int y) override;
    int onLButtonUp(ZWin* window, int x, int y) override;
    int onLButtonDblClk(ZWin* window, int x, int y) override;
    int onMouseoverChanged(bool entered) override;

    bool isPushed() const { return _pushed; }

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;
    void _postChildRender(ZImageStack& stack) override;

private:
    void _issue(const std::wstring& command);

    std::wstring _command;
    std::wstring _downCommand;
    std::wstring _upCommand;
    std::wstring _dblClkCommand;
    std::wstring _text;
    ZFont _font;
    ZFont _mouseoverFont;
    std::wstring _src;
    int _width = 0;
    int _height = 0;
    bool _mouseover = false;
    bool _disabled = false;
    std::wstring _type;
    bool _pushed = false;
    bool _pushedTarget = false;
};
