// Every element without a class of its own: plain containers, wizard pages
// and their parts, edge pieces that align their content toward the inner
// corner, and the two control elements "on" (shown for one event) and "if"
// (shown while a condition or a watched store value holds).
#pragma once

#include <string>

#include "ZTemplateNode.h"

class ZDefaultNode : public ZTemplateNode {
public:
    ZDefaultNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);

    // The page texts a wizard reads (filled for "page" elements only).
    std::wstring getOnShow();
    std::wstring getOnHide();
    std::wstring getTitle();
    std::wstring getText();
    bool isHidden() const { return _hidden; }

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    bool _hidden = false;
    bool _becameShown = false;
    std::wstring _onShow;
    std::wstring _onHide;
    std::wstring _title;
    std::wstring _text;
    std::wstring _watch;
};
