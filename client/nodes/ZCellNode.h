// The slot of a row or column: fixes or aligns its content inside the room
// the row gives it.
#pragma once

#include <cstdint>

#include "ZTemplateNode.h"

class ZCellNode : public ZTemplateNode {
public:
    ZCellNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;
    // The share weight as read; the row clamps it.
    int getExtra() const { return _extra; }

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;
    void _postChildRender(ZImageStack& stack) override;

private:
    int _fixedWidth = 0;
    int _fixedHeight = 0;
    std::uint32_t _alignFlags = 0;
    int _extra = 0;
    int _x = 0;
    int _y = 0;
};
