// A nine-part frame: corners, edges and an inside laid out 3 by 3 from the
// children's element names, with an optional aspect ratio for the inside;
// children of other names are drawn over the whole frame.
#pragma once

#include <string>
#include <vector>

#include "ZTemplateNode.h"

class ZBorderNode : public ZTemplateNode {
public:
    enum Slot { TOPLEFT, TOP, TOPRIGHT, LEFT, INSIDE, RIGHT, BOTTOMLEFT, BOTTOM, BOTTOMRIGHT, SLOT_COUNT };

    ZBorderNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    void _renderChildren(ZImageStack& stack) override;

private:
    void _findChildren(ZTemplateNode* (&slots)[SLOT_COUNT], int (&columnWidths)[3], int (&rowHeights)[3],
                       std::vector<ZTemplateNode*>& others);

    std::wstring _aspect;
};
