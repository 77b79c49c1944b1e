#include "ZHotkeyNode.h"

#include <algorithm>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZNonPortable_Hotkey.h"
#include "ZPortable_Text.h"

namespace {

ZHotkeyNode::KeyReader gKeyReader = ZSystemGetKeysPressed;

}  // namespace

ZHotkeyNode::ZHotkeyNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

void ZHotkeyNode::setKeyReader(KeyReader reader) { gKeyReader = reader ? reader : ZSystemGetKeysPressed; }

void ZHotkeyNode::calcMinSize(int& minWidth, int& minHeight) {
    minWidth = std::max(minWidth, 10000);
    minHeight = std::max(minHeight, _font.getHeight() + 2 * (_inner + _outer));
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

// ---- capture ---------------------------------------------------------------------

int ZHotkeyNode::onKeyDown(ZWin*, int) { return _updateHotkey(); }

int ZHotkeyNode::onKeyUp(ZWin*, int) { return _updateHotkey(); }

int ZHotkeyNode::onKeyboardFocusChanged(bool gained) {
    _focused = gained;
    return 1;
}

int ZHotkeyNode::_updateHotkey() {
    const std::wstring keys = gKeyReader();
    // Control, then Space, then releasing Space: "CONTROL", "CONTROL+SPACE",
    // and "CONTROL" again, which is shorter and kept out; all keys up arms
    // the next combination, whatever its length.
    //
    // Events queue while the UI thread is busy and the state is read when
    // they are handled: two keys let go together give two releases with
    // nothing held. Only a key held starts a combination, so the second
    // release does not wipe the one just captured.
    if (_fresh && keys.empty()) return 0;
    if (_fresh) {
        _text = keys;
        if (!_var.empty()) _instance->set(_var, _text, false);
        _fresh = false;
        return 1;
    }
    if (keys.empty()) {
        _fresh = true;
        return 0;
    }
    if (keys.size() <= _text.size()) return 0;
    _text = keys;
    if (!_var.empty()) _instance->set(_var, _text, false);
    return 1;
}

// ---- update and render -----------------------------------------------------------

bool ZHotkeyNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = _font.update(stack.eval(L"$font"));
    const int inner = stack.calc(L"$inner");
    const int outer = stack.calc(L"$outer");
    changed |= inner != _inner || outer != _outer;
    _inner = inner;
    _outer = outer;
    const std::wstring var = stack.eval(L"$var");
    if (!ZCaseEquals(var, _var)) {
        if (!_var.empty()) _instance->unwatch(_var, stack.getNotifyListener(), ZNODE_UPDATE);
        _var = var;
        if (!_var.empty()) _instance->watch(_var, stack.getNotifyListener(), ZNODE_UPDATE);
        changed = true;
    }
    // The field shows the variable as it stands, so a command that assigns
    // or clears the hotkey shows here. Without a name there is nothing to read.
    if (!_var.empty()) {
        const std::wstring value = stack.eval(L"$" + _var);
        changed |= value != _text;
        _text = value;
    }
    return changed;
}

bool ZHotkeyNode::_preChildRender(ZImageStack& stack) {
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    stack.getPosition(_x, _y);
    if (width > 0 && height > 0) {
        const int margin = _inner + _outer;
        stack.drawText(_text, _font, ZNodeNormalised(ZRect{margin, margin, width - margin, height - margin}));
        stack.drawRect(ZNodeNormalised(ZRect{_outer, _outer, width - _outer, height - _outer}), ZColor(L"#000000FF"));
        stack.setInputHandler(this);
    }
    return true;
}
