#include "ZTableNode.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"

namespace {

bool assign(std::wstring& field, const std::wstring& value) {
    if (field == value) return false;
    field = value;
    return true;
}

const ZColor& outlineColor() {
    static const ZColor color(L"#000000FF");
    return color;
}

}  // namespace

ZTableNode::ZTableNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

int ZTableNode::getRowHeight() { return std::max(1, headerfont.getHeight() + 4); }

std::wstring ZTableNode::_prefixListValue() {
    return prefixlistsrc.empty() ? std::wstring() : _instance->get(prefixlistsrc);
}

void ZTableNode::calcMinSize(int& minWidth, int& minHeight) {
    std::vector<std::wstring> prefixes;
    ZParseList(prefixes, _prefixListValue());
    const std::int64_t height = (static_cast<std::int64_t>(prefixes.size()) + 1) * getRowHeight();
    // Assigned, not raised: the table's own size replaces what came in.
    minWidth = 10000;
    minHeight = static_cast<int>(std::min<std::int64_t>(height, std::numeric_limits<int>::max()));
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

// ---- update -------------------------------------------------------------------------

bool ZTableNode::_postChildUpdate(ZAttributeStack& stack) {
    ZNotifyHandle* listener = stack.getNotifyListener();
    bool changed = false;
    const std::wstring source = stack.eval(L"$prefixlistsrc");
    if (!ZCaseEquals(source, prefixlistsrc)) {
        if (!prefixlistsrc.empty()) _instance->unwatch(prefixlistsrc, listener, ZNODE_UPDATE);
        prefixlistsrc = source;
        if (!prefixlistsrc.empty()) _instance->watch(prefixlistsrc, listener, ZNODE_UPDATE);
        changed = true;
    }
    changed |= assign(suffixlist, stack.eval(L"$suffixlist"));
    changed |= assign(headerlist, stack.eval(L"$headerlist"));
    const bool withPrefix = !ZCaseEquals(stack.eval(L"$prefixcolumn"), L"false");
    changed |= withPrefix != prefixColumn;
    prefixColumn = withPrefix;
    changed |= assign(title, stack.eval(L"$title"));
    changed |= assign(onrightclick, stack.eval(L"$onrightclick"));
    changed |= assign(ondblclk, stack.eval(L"$ondblclk"));
    changed |= cellfont.update(stack.eval(L"$cellfont"));
    changed |= headerfont.update(stack.eval(L"$headerfont"));
    changed |= mouseoverfont.update(stack.eval(L"$mouseoverfont"));
    const std::wstring value = _prefixListValue();
    changed |= !ZCaseEquals(value, prefixlist);
    if (!changed) return false;

    // The cells shown now: a change of one of them redraws the window.
    for (const std::wstring& cell : watchedCells) _instance->unwatch(cell, listener, ZNODE_REDRAW);
    watchedCells.clear();
    prefixlist = value;
    std::vector<std::wstring> prefixes, suffixes;
    ZParseList(prefixes, prefixlist);
    ZParseList(suffixes, suffixlist);
    for (const std::wstring& prefix : prefixes) {
        for (const std::wstring& suffix : suffixes) {
            watchedCells.push_back(prefix + suffix);
            _instance->watch(watchedCells.back(), listener, ZNODE_REDRAW);
        }
    }
    return true;
}

// ---- render -------------------------------------------------------------------------

void ZTableNode::_drawCell(ZImageStack& stack, const ZRect& cell, const std::wstring& text, ZFont& font) {
    // Text starts clear of the cell's outline: a "(" drawn on the line reads
    // as part of it.
    ZRect inside = ZNodeNormalised(cell);
    inside.left = std::min(inside.left + kCellPadding, inside.right);
    stack.pushTarget(inside);
    stack.drawText(text, font);
    stack.pop();
}

bool ZTableNode::_preChildRender(ZImageStack& stack) {
    stack.setInputHandler(this);
    stack.getPosition(originX, originY);
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    if (width < 1 || height < 1) return true;

    std::vector<std::wstring> prefixes, suffixes;
    ZParseList(prefixes, _prefixListValue());
    ZParseList(suffixes, suffixlist);
    std::vector<std::wstring> headers;
    ZParseList(headers, headerlist);
    const int rowHeight = getRowHeight();
    const std::int64_t columnCount = static_cast<std::int64_t>(suffixes.size()) + (prefixColumn ? 1 : 0);
    const int columnWidth = static_cast<int>(width / std::max<std::int64_t>(columnCount, 1));
    // Columns past the right edge are clipped away entirely.
    const std::size_t columns = std::min<std::size_t>(suffixes.size(), static_cast<std::size_t>(width));
    // Without the prefix column the first suffix's column starts at the left.
    const int firstLeft = prefixColumn ? 0 : -columnWidth;

    ZRect cell{firstLeft, 0, firstLeft + columnWidth, rowHeight};
    if (prefixColumn) _drawCell(stack, cell, title, headerfont);
    for (std::size_t i = 0; i < columns; ++i) {
        cell.left += columnWidth, cell.right += columnWidth;
        _drawCell(stack, cell, i < headers.size() && !headers[i].empty() ? headers[i] : suffixes[i], headerfont);
    }

    // Rows from the first one below the target on are clipped away entirely.
    int top = rowHeight;
    for (std::size_t row = 0; row < prefixes.size() && top < height; ++row, top += rowHeight) {
        const std::wstring& prefix = prefixes[row];
        ZFont& font = ZCaseEquals(prefix, mouseoverPrefix) ? mouseoverfont : cellfont;
        cell = ZRect{firstLeft, top, firstLeft + columnWidth, top + rowHeight};
        if (prefixColumn) {
            stack.drawRect(ZNodeNormalised(cell), outlineColor());
            _drawCell(stack, cell, prefix, font);
        }
        for (std::size_t i = 0; i < columns; ++i) {
            cell.left += columnWidth, cell.right += columnWidth;
            stack.drawRect(ZNodeNormalised(cell), outlineColor());
            _drawCell(stack, cell, _instance->get(prefix + suffixes[i]), font);
        }
        if (ZCaseEquals(prefix, selectedPrefix)) stack.invertRect(ZRect{0, top, width, top + rowHeight});
    }
    if (prefixes.empty()) {
        cell = ZRect{0, rowHeight, width, 2 * rowHeight};
        stack.drawRect(cell, outlineColor());
        _drawCell(stack, cell, L"(empty)", cellfont);
    }
    return true;
}

// ---- input --------------------------------------------------------------------------

std::wstring ZTableNode::_getPrefix(int y) {
    const std::int64_t offset = static_cast<std::int64_t>(y) - originY;
    // Above the table is no row; rounding toward zero would make it the header.
    if (offset < 0) return std::wstring();
    const std::int64_t index = offset / getRowHeight();
    if (index == 0) return std::wstring();
    std::vector<std::wstring> prefixes;
    ZParseList(prefixes, _prefixListValue());
    if (index > static_cast<std::int64_t>(prefixes.size())) return std::wstring();
    return prefixes[static_cast<std::size_t>(index - 1)];
}

bool ZTableNode::_select(int y) {
    const std::wstring prefix = _getPrefix(y);
    const bool changed = !ZCaseEquals(prefix, selectedPrefix);
    selectedPrefix = prefix;
    return changed;
}

void ZTableNode::_issue(const std::wstring& command) {
    if (!selectedPrefix.empty() && !command.empty()) _commandEngine->executeCommand(command, this, 0);
}

int ZTableNode::onLButtonDown(ZWin*, int, int y) {
    if (!_hasCommand()) return 0;
    return _select(y) ? 1 : 0;
}

int ZTableNode::onLButtonDblClk(ZWin*, int, int y) {
    if (!_hasCommand()) return 0;
    const bool changed = _select(y);
    _issue(ondblclk);
    return changed ? 1 : 0;
}

// The row is marked before the command runs, so a menu it opens belongs to it.
int ZTableNode::onRButtonDown(ZWin*, int, int y) {
    if (!_hasCommand()) return 0;
    const bool changed = _select(y);
    _issue(onrightclick);
    return changed ? 1 : 0;
}

int ZTableNode::onMouseMove(ZWin*, int, int y) {
    if (!_hasCommand()) return 0;
    const std::wstring prefix = _getPrefix(y);
    const bool changed = !ZCaseEquals(prefix, mouseoverPrefix);
    mouseoverPrefix = prefix;
    return changed ? 1 : 0;
}

int ZTableNode::onMouseoverChanged(bool entered) {
    if (entered || mouseoverPrefix.empty()) return 0;
    mouseoverPrefix.clear();
    return 1;
}
