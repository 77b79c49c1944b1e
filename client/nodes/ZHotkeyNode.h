// The field in which the user assigns a key combination ("CONTROL+SPACE") to
// the store variable "$var". While it has the keyboard focus every press and
// release reads the keys held down; the longest combination held since all
// keys were last up is shown and written at once. Registering it as a system
// hotkey is the template engine's work.
#pragma once

#include <string>

#include "ZFont.h"
#include "ZTemplateNode.h"

class ZHotkeyNode : public ZTemplateNode, public IZInputHandler {
public:
    // Where the held keys are read: the keyboard's state as a key text.
    typedef std::wstring (*KeyReader)();

    ZHotkeyNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);

    // Replaces the keyboard for every hotkey field (a test's fake keys);
    // null restores the platform's own.
    static void setKeyReader(KeyReader reader);

    void calcMinSize(int& minWidth, int& minHeight) override;

    // The key argument is not used: the keyboard state says more.
    int onKeyDown(ZWin* window, int key) override;
    int onKeyUp(ZWin* window, int key) override;
    bool acceptsKeyboardFocus() override { return true; }
    int onKeyboardFocusChanged(bool gained) override;

    const std::wstring& getText() const { return _text; }
    bool isFocused() const { return _focused; }

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    int _updateHotkey();

    int _outer = 0;
    int _inner = 0;
    ZFont _font;
    bool _focused = false;
    std::wstring _var;
    std::wstring _text;
    int _x = 0;
    int _y = 0;
    // The next key event starts a new combination.
    bool _fresh = true;
};
