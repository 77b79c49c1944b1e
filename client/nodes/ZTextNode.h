// A piece of text in a font; can make its window run the update pass when
// named store variables change.
#pragma once

#include <string>

#include "ZFont.h"
#include "ZTemplateNode.h"

class ZTextNode : public ZTemplateNode {
public:
    ZTextNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    std::wstring _text;
    ZFont _font;
    std::wstring _watch;
};
