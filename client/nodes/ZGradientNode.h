// Fills its target with a two-colour gradient, across or down, of all
// channels or of the alpha channel only.
#pragma once

#include <string>

#include "ZPortable_Parse.h"
#include "ZTemplateNode.h"

class ZGradientNode : public ZTemplateNode {
public:
    ZGradientNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    std::wstring _from = L"#FFFFFFFF";
    std::wstring _to = L"#000000FF";
    ZColor _fromColor{255, 255, 255, 255};
    ZColor _toColor{0, 0, 0, 255};
    bool _alphaOnly = false;
    bool _vertical = false;
};
