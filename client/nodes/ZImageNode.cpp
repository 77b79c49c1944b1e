#include "ZImageNode.h"

#include <algorithm>

#include "ZImageStack.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"

ZImageNode::ZImageNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZImageNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    const int x = stack.calc(L"$x");
    const int y = stack.calc(L"$y");
    changed |= x != _x || y != _y;
    _x = x;
    _y = y;

    const std::wstring src = stack.eval(L"$src");
    if (!ZCaseEquals(src, _src)) {
        if (!_src.empty() && !_disabled) _instance->unwatch(_src, stack.getNotifyListener(), ZNODE_REDRAW);
        _disabled = true;
        _src = src;
        ZImageFormat format;
        ZRect rect;
        if (!_src.empty() && ZImageTools_instanceReadOpen(_instance, _src, format, rect, 0, 0)) {
            _width = rect.right - rect.left;
            _height = rect.bottom - rect.top;
            ZImageTools_instanceReadClose(_instance, _src);
        }
        changed = true;
    }
    const bool disabled = stack.test(L"$disabled");
    if (disabled != _disabled && !_src.empty()) {
        if (disabled) _instance->unwatch(_src, stack.getNotifyListener(), ZNODE_REDRAW);
        else _instance->watch(_src, stack.getNotifyListener(), ZNODE_REDRAW);
    }
    _disabled = disabled;

    const std::uint32_t flags =
        ZNodeAlignFlags(stack.eval(L"$align"), stack.eval(L"$valign")) | ZNodeModeFlags(stack.eval(L"$mode"));
    changed |= flags != _flags;
    _flags = flags;
    return changed;
}

void ZImageNode::calcMinSize(int& minWidth, int& minHeight) {
    minWidth = std::max(minWidth, _width);
    minHeight = std::max(minHeight, _height);
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

bool ZImageNode::_preChildRender(ZImageStack& stack) {
    // The size is read before the target is placed, so an image that has
    // just arrived is drawn at its own size in this very render.
    ZImageFormat format;
    ZRect rect;
    const unsigned char* pixels =
        _src.empty() ? nullptr : ZImageTools_instanceReadOpen(_instance, _src, format, rect, 0, 0);
    if (pixels) {
        _width = rect.right - rect.left;
        _height = rect.bottom - rect.top;
    }
    if (_x || _y) stack.pushTarget(ZRect{_x, _y, _x + _width, _y + _height});
    if (pixels) {
        stack.drawBitmap(format, pixels, rect, _flags);
        ZImageTools_instanceReadClose(_instance, _src);
    }
    return true;
}

void ZImageNode::_postChildRender(ZImageStack& stack) {
    if (_x || _y) stack.pop();
}
