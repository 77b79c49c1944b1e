#include "ZBorderNode.h"

#include <algorithm>
#include <cstdlib>

#include "ZImageStack.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

const wchar_t* const kSlotNames[ZBorderNode::SLOT_COUNT] = {
    L"topleft", L"top", L"topright", L"left", L"inside", L"right", L"bottomleft", L"bottom", L"bottomright"};


}  // namespace

ZBorderNode::ZBorderNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZBorderNode::_postChildUpdate(ZAttributeStack& stack) {
    const std::wstring aspect = stack.eval(L"$aspect");
    const bool changed = aspect != _aspect;
    _aspect = aspect;
    return changed;
}

void ZBorderNode::_findChildren(ZTemplateNode* (&slots)[SLOT_COUNT], int (&columnWidths)[3], int (&rowHeights)[3],
                                std::vector<ZTemplateNode*>& others) {
    std::fill(std::begin(slots), std::end(slots), nullptr);
    std::fill(std::begin(columnWidths), std::end(columnWidths), 0);
    std::fill(std::begin(rowHeights), std::end(rowHeights), 0);
    others.clear();
    for (ZTemplateNode* child : _children) {
        int slot = 0;
        while (slot < SLOT_COUNT && !ZCaseEquals(child->getName(), kSlotNames[slot])) ++slot;
        if (slot == SLOT_COUNT) others.push_back(child);
        else slots[slot] = child;  // a later one of the same name wins
    }
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        if (!slots[slot]) continue;
        int width = 0, height = 0;
        slots[slot]->calcMinSize(width, height);
        columnWidths[slot % 3] = std::max(columnWidths[slot % 3], width);
        rowHeights[slot / 3] = std::max(rowHeights[slot / 3], height);
    }
}

void ZBorderNode::calcMinSize(int& minWidth, int& minHeight) {
    ZTemplateNode* slots[SLOT_COUNT];
    int columns[3], rows[3];
    std::vector<ZTemplateNode*> others;
    _findChildren(slots, columns, rows, others);
    minWidth = std::max(minWidth, columns[0] + columns[1] + columns[2]);
    minHeight = std::max(minHeight, rows[0] + rows[1] + rows[2]);
    for (ZTemplateNode* other : others) other->calcMinSize(minWidth, minHeight);
}

void ZBorderNode::_renderChildren(ZImageStack& stack) {
    ZTemplateNode* slots[SLOT_COUNT];
    int c[3], r[3];
    std::vector<ZTemplateNode*> others;
    _findChildren(slots, c, r, others);
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    const int L = c[0], T = r[0];
    int R = std::max(width - c[2], L);
    int B = std::max(height - r[2], T);

    if (!_aspect.empty() && slots[INSIDE] && c[1] && r[1] && B > T) {
        const float current = static_cast<float>(R - L) / static_cast<float>(B - T);
        float wanted = current;
        if (ZCaseEquals(_aspect, L"inside")) {
            int w = 0, h = 0;
            slots[INSIDE]->calcMinSize(w, h);
            if (w > 0 && h > 0) wanted = static_cast<float>(w) / static_cast<float>(h);
        } else {
            const std::string number = ZToUTF8(_aspect);
            const float read = std::strtof(number.c_str(), nullptr);
            if (read > 0) wanted = read;
        }
        if (wanted != current && wanted > 0.01f) {
            if (wanted < current) R = L + static_cast<int>(wanted * static_cast<float>(B - T));
            else B = T + static_cast<int>(static_cast<float>(R - L) / wanted);
        }
    }

    const ZRect rects[SLOT_COUNT] = {
        {0, 0, L, T}, {L, 0, R, T}, {R, 0, R + c[2], T},
        {0, T, L, B}, {L, T, R, B}, {R, T, R + c[2], B},
        {0, B, L, B + r[2]}, {L, B, R, B + r[2]}, {R, B, R + c[2], B + r[2]},
    };
    for (int slot = 0; slot < SLOT_COUNT; ++slot) {
        if (!slots[slot]) continue;
        stack.pushTarget(ZNodeNormalised(rects[slot]));
        slots[slot]->render(stack);
        stack.pop();
    }
    const ZRect totalRect = ZNodeNormalised(ZRect{0, 0, R + c[2], B + r[2]});
    ZASSERT(ZVALIDRECT( totalRect ));
    stack.pushTarget(totalRect);
    for (ZTemplateNode* other : others) other->render(stack);
    stack.pop();
}
