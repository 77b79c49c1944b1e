// Draws an image of the shared store (loaded from its file on first use),
// placed by the alignment attributes; watched so that a new picture redraws
// the window.
#pragma once

#include <cstdint>
#include <string>

#include "ZTemplateNode.h"

class ZImageNode : public ZTemplateNode {
public:
    ZImageNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;
    void _postChildRender(ZImageStack& stack) override;

private:
    std::wstring _src;
    int _x = 0;
    int _y = 0;
    int _width = 0;
    int _height = 0;
    std::uint32_t _flags = 0;
    bool _disabled = false;
};
