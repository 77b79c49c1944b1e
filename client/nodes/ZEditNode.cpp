#include "ZEditNode.h"

#include <algorithm>
#include <cstdint>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"

namespace {

// Insets far beyond any screen are cut down so that the sums and the
// rectangles made from them stay inside int.
constexpr int kLargestInset = 1 << 16;

int inset(std::int32_t value) { return std::clamp(value, -kLargestInset, kLargestInset); }

template <typename T>
bool assign(T& field, const T& value) {
    if (field == value) return false;
    field = value;
    return true;
}

}  // namespace

ZEditNode::ZEditNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

void ZEditNode::calcMinSize(int& minWidth, int& minHeight) {
    minWidth = std::max(minWidth, 10000);
    minHeight = std::max(minHeight, _font.getHeight() + 2 * (_inner + _outer));
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

// ---- commands and the variable ------------------------------------------------------

void ZEditNode::refresh() {
    _text = _var.empty() ? std::wstring() : _instance->get(_var);
    _typed = false;
}

void ZEditNode::setText(const std::wstring& text) {
    _text = text;
    _typed = false;
    _dirty = true;
    _updateVariable();
}

int ZEditNode::_updateVariable() {
    if (!_dirty) return 0;
    _dirty = false;
    if (!_var.empty()) _instance->set(_var, _text, false);
    return 1;
}

int ZEditNode::_executeOnEnter() {
    const int result = _updateVariable();
    if (!_onEnter.empty()) _commandEngine->executeCommand(_onEnter, this, 0);
    _typed = false;
    return result;
}

void ZEditNode::_executeOnType() {
    if (!_onType.empty()) _commandEngine->executeCommand(_onType, this, 0);
}

void ZEditNode::_executeOnClear() {
    if (!_onClear.empty()) _commandEngine->executeCommand(_onClear, this, 0);
}

// ---- input --------------------------------------------------------------------------

int ZEditNode::_afterEdit(bool wasEmpty) {
    if (wasEmpty != _text.empty()) {
        if (_text.empty()) _executeOnClear();
        else _executeOnType();
    }
    return _updateVariable();
}

int ZEditNode::onKeyPressed(ZWin*, int character) {
    const bool wasEmpty = _text.empty();
    _dirty = true;
    _typed = true;
    switch (character) {
        case 8:
            if (!_text.empty()) _text.pop_back();
            break;
        case 9:
            return 0;
        case 13:
            return _executeOnEnter();
        case 27:
            _text.clear();
            break;
        default:
            _text.push_back(static_cast<wchar_t>(character));
            break;
    }
    return _afterEdit(wasEmpty);
}

int ZEditNode::onPaste(ZWin*, const std::wstring& text) {
    const bool wasEmpty = _text.empty();
    _dirty = true;
    _typed = true;
    _text += text;
    return _afterEdit(wasEmpty);
}

int ZEditNode::onKeyboardFocusChanged(bool gained) {
    _focused = gained;
    return 1;
}

// ---- update -------------------------------------------------------------------------

bool ZEditNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    changed |= _font.update(stack.eval(L"$font"));
    changed |= _emptyFont.update(stack.eval(L"$emptyfont"));
    changed |= assign(_emptyText, stack.eval(L"$emptyText"));
    changed |= assign(_inner, inset(stack.calc(L"$inner")));
    changed |= assign(_outer, inset(stack.calc(L"$outer")));
    changed |= assign(_onEnter, stack.eval(L"$onEnter"));
    changed |= assign(_onType, stack.eval(L"$onType"));
    changed |= assign(_onClear, stack.eval(L"$onClear"));
    changed |= assign(_password, stack.test(L"$password"));
    changed |= assign(_vscroll, stack.test(L"$vscroll"));
    changed |= assign(_untouchable, stack.test(L"$untouchable"));

    const std::wstring var = stack.eval(L"$var");
    if (!ZCaseEquals(var, _var)) {
        if (!_var.empty()) _instance->unwatch(_var, stack.getNotifyListener(), ZNODE_UPDATE);
        _var = var;
        if (!_var.empty()) _instance->watch(_var, stack.getNotifyListener(), ZNODE_UPDATE);
        changed = true;
    }
    if (!_var.empty()) {
        // While the user types, the field keeps their text against the
        // variable until Enter or a refresh, unless it is untouchable.
        const std::wstring value = stack.eval(L"$" + _var);
        if ((!_typed || _untouchable) && value != _text) {
            _text = value;
            changed = true;
        }
    }
    if (stack.test(L"$refresh")) {
        refresh();
        return true;
    }
    return changed;
}

// ---- render -------------------------------------------------------------------------

bool ZEditNode::_preChildRender(ZImageStack& stack) {
    std::wstring display = _password ? std::wstring(_text.size(), L'*') : _text;
    if (_focused) display += L'|';

    int width = 0, height = 0;
    stack.getDimensions(width, height);
    stack.getPosition(_x, _y);
    if (width > 0 && height > 0) {
        const int m = _inner + _outer;
        stack.pushTarget(ZNodeNormalised(ZRect{m, m, width - m, height - m}));
        const int innerWidth = std::max(0, width - 2 * m);
        const int innerHeight = std::max(0, height - 2 * m);
        ZRect textRect{0, 0, innerWidth, innerHeight};
        const bool showEmpty = display.empty();
        const std::wstring& text = showEmpty ? _emptyText : display;
        ZFont& font = showEmpty ? _emptyFont : _font;
        if (_vscroll) {
            // The end of a long text stays in view: what does not fit the
            // inner area moves up out of it.
            ZRect measured{0, 0, innerWidth, innerHeight};
            _font.measureText(measured, text);
            const int excess = (measured.bottom - measured.top) - innerHeight;
            if (excess > 0) textRect.top -= excess;
        }
        stack.drawText(text, font, textRect);
        stack.pop();
        stack.drawRect(ZNodeNormalised(ZRect{_outer, _outer, width - _outer, height - _outer}), ZColor(L"#000000FF"));
        stack.setInputHandler(this);
    }
    return true;
}
