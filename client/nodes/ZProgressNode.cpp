#include "ZProgressNode.h"

#include <algorithm>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"

ZProgressNode::ZProgressNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZProgressNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    const int x = stack.calc(L"$x");
    const int y = stack.calc(L"$y");
    const int width = stack.calc(L"$width");
    changed |= x != _x || y != _y || width != _width;
    _x = x;
    _y = y;
    _width = width;
    const int scale = stack.calc(L"$scale");
    if (scale != 0 && scale != _scale) {
        _scale = scale;
        changed = true;
    }
    const std::wstring src = stack.eval(L"$src");
    if (!ZCaseEquals(src, _src)) {
        if (!_src.empty()) _instance->unwatch(_src, stack.getNotifyListener(), ZNODE_REDRAW);
        _src = src;
        if (!_src.empty()) _instance->watch(_src, stack.getNotifyListener(), ZNODE_REDRAW);
        changed = true;
    }
    _color = ZColor(stack.get(L"color"));
    return changed;
}

bool ZProgressNode::_preChildRender(ZImageStack& stack) {
    // The value may be anything a store variable holds; the bar is clipped
    // to the target anyway, so only keep the arithmetic in range.
    const std::int64_t value = std::clamp<std::int64_t>(_src.empty() ? 0 : _instance->calc(_src), -(1LL << 31), 1LL << 31);
    const int length = static_cast<int>(
        std::clamp<std::int64_t>(static_cast<std::int64_t>(_width) * value / _scale, -(1 << 24), 1 << 24));
    // A one-pixel bar of exactly length pixels, ending at x + width.
    if (length > 0) stack.fillRect(ZRect{_x + _width - length, _y, _x + _width, _y + 1}, _color);
    return true;
}
