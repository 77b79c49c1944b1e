// An invisible area of a window that tells the platform which part of the
// window's frame it is ("$edge": "topleft", "bottom", ...), so the user can
// resize the borderless window by dragging it.
#pragma once

#include <string>

#include "ZTemplateNode.h"

class ZInputNode : public ZTemplateNode, public IZInputHandler {
public:
    ZInputNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);

    // The hit-test code of the edge name (without regard to case); the
    // client area for any other name.
    static int edgeCode(const std::wstring& edge);

    // The same answer anywhere in the area.
    int getNCHITTEST(ZWin* window, int x, int y) override;

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    std::wstring _edge;
    int _hitCode = ZHT_CLIENT;
};
