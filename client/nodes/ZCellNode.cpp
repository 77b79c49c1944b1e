#include "ZCellNode.h"

#include <algorithm>

#include "ZImage.h"
#include "ZImageStack.h"
#include "ZNodeHelpers.h"

ZCellNode::ZCellNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZCellNode::_preChildUpdate(ZAttributeStack& stack) {
    // Children read 0 for "$x" and "$y" unless they set their own.
    stack.push();
    stack.set(L"x", std::int64_t{0});
    stack.set(L"y", std::int64_t{0});
    return true;
}

bool ZCellNode::_postChildUpdate(ZAttributeStack& stack) {
    stack.pop();
    const int fixedWidth = stack.calc(L"$fixedwidth");
    const int fixedHeight = stack.calc(L"$fixedheight");
    const int extra = stack.calc(L"$extra");
    const int x = stack.calc(L"$x");
    const int y = stack.calc(L"$y");
    const std::uint32_t flags = ZNodeAlignFlags(stack.eval(L"$align"), stack.eval(L"$valign"));
    const bool changed = fixedWidth != _fixedWidth || fixedHeight != _fixedHeight || extra != _extra || x != _x ||
                         y != _y || flags != _alignFlags;
    _fixedWidth = fixedWidth;
    _fixedHeight = fixedHeight;
    _extra = extra;
    _x = x;
    _y = y;
    _alignFlags = flags;
    return changed;
}

void ZCellNode::calcMinSize(int& minWidth, int& minHeight) {
    int width = 0, height = 0;
    ZTemplateNode::calcMinSize(width, height);
    if (_fixedWidth) width = _fixedWidth;
    if (_fixedHeight) height = _fixedHeight;
    minWidth = std::max(minWidth, width);
    minHeight = std::max(minHeight, height);
}

bool ZCellNode::_preChildRender(ZImageStack& stack) {
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    if (_fixedWidth) width = _fixedWidth;
    if (_fixedHeight) height = _fixedHeight;
    int minWidth = 0, minHeight = 0;
    calcMinSize(minWidth, minHeight);

    ZRect rect{0, 0, width, height};
    if (width > minWidth && _extra == 0 && !(_alignFlags & ZIC_SCALE_X)) {
        if (_alignFlags & ZIC_ALIGN_HCENTER) rect.left = (width - minWidth) / 2;
        else if (_alignFlags & ZIC_ALIGN_RIGHT) rect.left = width - minWidth;
        rect.right = rect.left + minWidth;
    }
    if (height > minHeight && _extra == 0 && !(_alignFlags & ZIC_SCALE_Y)) {
        if (_alignFlags & ZIC_ALIGN_VCENTER) rect.top = (height - minHeight) / 2;
        else if (_alignFlags & ZIC_ALIGN_BOTTOM) rect.top = height - minHeight;
        rect.bottom = rect.top + minHeight;
    }
    rect.left += _x;
    rect.right += _x;
    rect.top += _y;
    rect.bottom += _y;
    rect.right = std::max(rect.right, rect.left);
    rect.bottom = std::max(rect.bottom, rect.top);
    stack.pushTarget(rect);
    return true;
}

void ZCellNode::_postChildRender(ZImageStack& stack) { stack.pop(); }
