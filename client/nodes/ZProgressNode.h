// A one-pixel bar whose length follows a number in the store: it ends at
// x + width and grows leftwards as the value rises toward the scale.
#pragma once

#include <string>

#include "ZPortable_Parse.h"
#include "ZTemplateNode.h"

class ZProgressNode : public ZTemplateNode {
public:
    ZProgressNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    int _x = 0;
    int _y = 0;
    int _width = 0;
    int _scale = 100;
    ZColor _color;
    std::wstring _src;
};
