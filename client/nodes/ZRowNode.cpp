#include "ZRowNode.h"

#include <algorithm>
#include <vector>

#include "ZCellNode.h"
#include "ZImageStack.h"
#include "ZPortable_Text.h"

ZRowNode::ZRowNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZRowNode::_horizontal() const { return ZCaseEquals(_name, L"row"); }

bool ZRowNode::_preChildUpdate(ZAttributeStack& stack) {
    // Cells never inherit these from the row, its ancestors or the store.
    stack.set(L"extra", L"");
    stack.set(L"align", L"");
    stack.set(L"valign", L"");
    return true;
}

void ZRowNode::calcMinSize(int& minWidth, int& minHeight) {
    const bool horizontal = _horizontal();
    int along = 0, across = 0;
    for (ZTemplateNode* child : _children) {
        ZCellNode* cell = dynamic_cast<ZCellNode*>(child);
        if (!cell) continue;
        int width = 0, height = 0;
        cell->calcMinSize(width, height);
        along += horizontal ? width : height;
        across = std::max(across, horizontal ? height : width);
    }
    minWidth = std::max(minWidth, horizontal ? along : across);
    minHeight = std::max(minHeight, horizontal ? across : along);
}

void ZRowNode::_renderChildren(ZImageStack& stack) {
    const bool horizontal = _horizontal();
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    const int length = horizontal ? width : height;

    struct Slot {
        int minimum;
        int weight;
        ZCellNode* cell;
    };
    std::vector<Slot> slots;
    int weightSum = 0, minimumSum = 0;
    for (ZTemplateNode* child : _children) {
        ZCellNode* cell = dynamic_cast<ZCellNode*>(child);
        if (!cell) continue;
        int w = 0, h = 0;
        cell->calcMinSize(w, h);
        const int weight = std::clamp(cell->getExtra(), 0, 100);
        weightSum += weight;
        minimumSum += horizontal ? w : h;
        slots.push_back(Slot{horizontal ? w : h, weight, cell});
    }
    const int spare = length - minimumSum;
    int remainder = spare;
    int weightLeft = weightSum;
    int position = 0;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        const Slot& slot = slots[i];
        int share = weightSum ? slot.weight * spare / weightSum : 0;
        if (weightLeft != 0) {
            weightLeft -= slot.weight;
            if (weightLeft == 0) share = remainder;
        }
        if (i + 1 == slots.size()) share = remainder;
        remainder -= share;
        const int size = slot.minimum + share;
        ZRect rect = horizontal ? ZRect{position, 0, position + size, height} : ZRect{0, position, width, position + size};
        rect.right = std::max(rect.right, rect.left);
        rect.bottom = std::max(rect.bottom, rect.top);
        stack.pushTarget(rect);
        slot.cell->render(stack);
        stack.pop();
        position += size;
    }
}
