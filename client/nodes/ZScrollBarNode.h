// A scroll bar along the right (vertical) or bottom (horizontal) edge of its
// target: a tiled background and a draggable handle; it publishes the
// position, 0 to 1000, under an attribute name of the skin's choosing, which
// its children read, and jumps to the end when a watched queue changes length.
#pragma once

#include <string>

#include "ZTemplateNode.h"

class ZScrollBarNode : public ZTemplateNode, public IZInputHandler {
public:
    ZScrollBarNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

    int onLButtonDown(ZWin* window, int x, int y) override;
    int onLButtonUp(ZWin* window, int x, int y) override;
    int onMouseMove(ZWin* window, int x, int y) override;
    int onMouseoverChanged(bool entered) override;

    // The position, unchanged (not limited to 0..1); published at the next update.
    void setFrac(float frac) { _frac = frac; }
    float getFrac() const { return _frac; }

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;
    void _postChildRender(ZImageStack& stack) override;

private:
    void _updateFrac(int x, int y);

    std::wstring _nameAttribute;
    bool _horiz = false;
    std::wstring _watch;
    std::wstring _handleSrc;
    std::wstring _backSrc;
    int _handleWidth = 0;
    int _handleHeight = 0;
    bool _mouseover = false;
    int _originX = 0;
    int _originY = 0;
    int _track = 0;
    float _frac = 0.0f;
    unsigned int _watchLength = 0;
};
