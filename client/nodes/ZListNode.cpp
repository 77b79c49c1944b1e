#include "ZListNode.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"

namespace {

template <typename T>
bool assign(T& field, const T& value) {
    if (field == value) return false;
    field = value;
    return true;
}

// Moves a watch of the named variable to a new name (names compare without
// regard to case); true when the name changed.
bool moveWatch(ZInstance* instance, ZNotifyHandle* listener, std::wstring& name, const std::wstring& newName) {
    if (ZCaseEquals(name, newName)) return false;
    if (!name.empty()) instance->unwatch(name, listener, ZNODE_UPDATE);
    name = newName;
    if (!name.empty()) instance->watch(name, listener, ZNODE_UPDATE);
    return true;
}

}  // namespace

ZListNode::ZListNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

std::vector<std::wstring> ZListNode::_items() {
    std::vector<std::wstring> items;
    if (!_listName.empty()) _instance->get(_listName, items);
    else ZParseList(items, _list);
    return items;
}

// Rows exist only for a font of positive height; a pointer above the first
// row is outside like one below the last.
int ZListNode::_row(int y, std::size_t count) {
    const int h = _font.getHeight();
    if (h <= 0 || count == 0) return -1;
    const std::int64_t offset = static_cast<std::int64_t>(y) - _y;
    if (offset < 0) return -1;
    const std::int64_t row = offset / h;
    return row < static_cast<std::int64_t>(count) ? static_cast<int>(row) : -1;
}

void ZListNode::calcMinSize(int& minWidth, int& minHeight) {
    if (!_list.empty() || !_listName.empty()) {
        const int h = _font.getHeight();
        const std::size_t count = _items().size();
        if (h > 0 && count > 0) {
            minWidth = std::max(minWidth, 10000);
            const std::int64_t rows = static_cast<std::int64_t>(h) * static_cast<std::int64_t>(count);
            const std::int64_t needed = std::min<std::int64_t>(rows, std::numeric_limits<int>::max());
            minHeight = static_cast<int>(std::max<std::int64_t>(minHeight, needed));
        }
    }
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

// ---- update -------------------------------------------------------------------------

bool ZListNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    changed |= _font.update(stack.eval(L"$font"));
    changed |= _mouseoverFont.update(stack.eval(L"$mouseoverfont"));
    changed |= assign(_onSelect, stack.eval(L"$onselect"));
    changed |= assign(_list, stack.eval(L"$list"));
    changed |= assign(_persist, stack.test(L"$persist"));

    // The list and the selection variables make the tree update again when
    // they change.
    ZNotifyHandle* listener = _commandEngine->getNotifyListener();
    changed |= moveWatch(_instance, listener, _listName, stack.eval(L"$listname"));
    changed |= moveWatch(_instance, listener, _varName, stack.eval(L"$varname"));

    if (!_varName.empty()) {
        const std::wstring value = _instance->get(_varName);
        changed |= !ZCaseEquals(value, _selected);
        _selected = value;
    }
    if (_selected.empty()) {
        const std::vector<std::wstring> items = _items();
        if (!items.empty()) {
            _selected = items.front();
            changed = true;
        }
    }
    const std::wstring select = stack.eval(L"$select");
    if (!select.empty()) {
        _selected = select;
        changed = true;
    }
    return changed;
}

// ---- render -------------------------------------------------------------------------

bool ZListNode::_preChildRender(ZImageStack& stack) {
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    stack.getPosition(_x, _y);
    const int h = _font.getHeight();
    if (width >= 1 && height >= 1 && h > 0) {
        const std::vector<std::wstring> items = _items();
        // Rows below the target would be clipped away entirely.
        const std::size_t visible = std::min<std::size_t>(items.size(), static_cast<std::size_t>(height / h) + 1);
        for (std::size_t i = 0; i < visible; ++i) {
            const int top = static_cast<int>(i) * h;
            const ZRect row{0, top, width, top + h};
            stack.pushTarget(row);
            stack.drawText(items[i], ZCaseEquals(items[i], _mouseover) ? _mouseoverFont : _font);
            stack.pop();
            if (ZCaseEquals(items[i], _selected)) stack.invertRect(row);
        }
    }
    stack.drawRect(ZRect{0, 0, width, height}, ZColor(L"#000000FF"));
    stack.setInputHandler(this);
    return true;
}

// ---- input --------------------------------------------------------------------------

int ZListNode::onMouseMove(ZWin*, int, int y) {
    const std::vector<std::wstring> items = _items();
    if (_font.getHeight() <= 0 || items.empty()) return 0;
    const int row = _row(y, items.size());
    const std::wstring over = row >= 0 ? items[row] : std::wstring();
    const bool changed = !ZCaseEquals(over, _mouseover);
    _mouseover = over;
    return changed ? 1 : 0;
}

int ZListNode::onMouseoverChanged(bool entered) {
    if (entered || _mouseover.empty()) return 0;
    _mouseover.clear();
    return 1;
}

int ZListNode::onLButtonDown(ZWin*, int, int y) {
    const std::vector<std::wstring> items = _items();
    const int row = _row(y, items.size());
    if (row < 0) return 0;
    const bool changed = !ZCaseEquals(items[row], _selected);
    _selected = items[row];
    // Clicking the selected item again still stores it and runs the command.
    if (!_varName.empty()) _instance->set(_varName, _selected, _persist);
    if (!_onSelect.empty()) _commandEngine->executeCommand(_onSelect, this, 0);
    return changed ? 1 : 0;
}
