// Lays its cells out side by side ("Row") or one above the other (any other
// element name, "Col"), sharing spare room by the cells' weights.
#pragma once

#include "ZTemplateNode.h"

class ZRowNode : public ZTemplateNode {
public:
    ZRowNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
    void _renderChildren(ZImageStack& stack) override;

private:
    bool _horizontal() const;
};
