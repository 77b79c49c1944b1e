// A one-line or multi-line text entry field, optionally masked for
// passwords: the text is edited at its end only, written to a store
// variable on every change, and Enter, the first character and emptying the
// field run the skin's commands. An empty unfocused field shows a
// placeholder.
#pragma once

#include <string>

#include "ZFont.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"

class ZEditNode : public ZTemplateNode, public IZInputHandler, public IZEditControl {
public:
    ZEditNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

    int onKeyPressed(ZWin* window, int character) override;
    int onPaste(ZWin* window, const std::wstring& text) override;
    int onKeyboardFocusChanged(bool gained) override;
    bool acceptsKeyboardFocus() override { return true; }

    std::wstring getText() override { return _text; }
    // Replaces the text and writes it to the variable as typing does, so the
    // next update pass keeps it.
    void setText(const std::wstring& text) override;

    // Reloads the text from the variable and forgets that the user typed.
    void refresh();

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    int _updateVariable();
    int _executeOnEnter();
    void _executeOnType();
    void _executeOnClear();
    // Runs the type or clear command when the text went from empty to not
    // empty or back, then writes the variable.
    int _afterEdit(bool wasEmpty);

    int _outer = 0;
    int _inner = 0;
    std::wstring _text;
    std::wstring _emptyText;
    ZFont _font;
    ZFont _emptyFont;
    int _x = 0;
    int _y = 0;
    bool _focused = false;
    std::wstring _onEnter;
    std::wstring _onType;
    std::wstring _onClear;
    bool _password = false;
    std::wstring _var;
    bool _dirty = false;
    bool _typed = false;
    bool _vscroll = false;
    bool _untouchable = false;
};
