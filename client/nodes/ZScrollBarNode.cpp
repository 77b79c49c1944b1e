#include "ZScrollBarNode.h"

#include <algorithm>
#include <cmath>

#include "ZImage.h"
#include "ZImageStack.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZNonPortable_Screen.h"
#include "ZPortable_Text.h"

ZScrollBarNode::ZScrollBarNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZScrollBarNode::_preChildUpdate(ZAttributeStack& stack) {
    if (!_nameAttribute.empty()) {
        // setFrac takes any value; only a finite one in range converts.
        const float published = std::isfinite(_frac) ? std::clamp(_frac * 1000.0f, -1e9f, 1e9f) : 0.0f;
        stack.set(_nameAttribute, static_cast<std::int64_t>(published));
    }
    return true;
}

bool ZScrollBarNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    const std::wstring name = stack.eval(L"$name");
    changed |= name != _nameAttribute;
    _nameAttribute = name;
    const bool horiz = stack.test(L"$horiz");
    changed |= horiz != _horiz;
    _horiz = horiz;

    const std::wstring watch = stack.eval(L"$watch");
    if (!ZCaseEquals(watch, _watch)) {
        if (!_watch.empty()) _instance->unwatch(_watch, stack.getNotifyListener(), ZNODE_UPDATE);
        _watch = watch;
        if (!_watch.empty()) _instance->watch(_watch, stack.getNotifyListener(), ZNODE_UPDATE);
        changed = true;
    }
    if (!_watch.empty()) {
        const unsigned int length = _instance->length(_watch);
        if (length != _watchLength) {
            _watchLength = length;
            _frac = 1.0f;
        }
    }
    const std::wstring handle = stack.eval(L"$handleSrc");
    if (!ZCaseEquals(handle, _handleSrc)) {
        _handleSrc = handle;
        ZNodeImageFrameSize(_instance, _handleSrc, _handleWidth, _handleHeight);
        changed = true;
    }
    const std::wstring back = stack.eval(L"$backSrc");
    changed |= back != _backSrc;
    _backSrc = back;
    return changed;
}

void ZScrollBarNode::calcMinSize(int& minWidth, int& minHeight) {
    int width = 0, height = 0;
    ZTemplateNode::calcMinSize(width, height);
    if (_horiz) height += _handleHeight;
    else width += _handleWidth;
    minWidth = std::max(minWidth, width);
    minHeight = std::max(minHeight, height);
}

bool ZScrollBarNode::_preChildRender(ZImageStack& stack) {
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    stack.getPosition(_originX, _originY);
    const int thickness = _horiz ? _handleHeight : _handleWidth;
    const ZRect strip = ZNodeNormalised(_horiz ? ZRect{0, height - thickness, width, height}
                                          : ZRect{width - thickness, 0, width, height});
    ZImageFormat format;
    ZRect rect;
    if (!_backSrc.empty()) {
        if (const unsigned char* pixels = ZImageTools_instanceReadOpen(_instance, _backSrc, format, rect, 0, 0)) {
            stack.pushTarget(strip);
            stack.setInputHandler(this);
            stack.drawBitmap(format, pixels, rect, ZIC_TILE_X | ZIC_TILE_Y);
            ZImageTools_instanceReadClose(_instance, _backSrc);
            stack.pop();
        }
    }
    if (!_handleSrc.empty()) {
        if (const unsigned char* pixels = ZImageTools_instanceReadOpen(_instance, _handleSrc, format, rect, 0, 0)) {
            const int hw = rect.right - rect.left;
            const int hh = rect.bottom - rect.top;
            _track = _horiz ? width - hw : height - hh;
            const int p = static_cast<int>(_frac * static_cast<float>(_track));
            const ZRect handle = ZNodeNormalised(_horiz ? ZRect{p, height - thickness, p + hw, height}
                                                   : ZRect{width - thickness, p, width, p + hh});
            stack.pushTarget(handle);
            stack.drawBitmap(format, pixels, rect, ZIC_ALIGN_HCENTER | ZIC_ALIGN_VCENTER);
            ZImageTools_instanceReadClose(_instance, _handleSrc);
            stack.pop();
        }
    }
    stack.pushTarget(ZNodeNormalised(_horiz ? ZRect{0, 0, width, height - thickness} : ZRect{0, 0, width - thickness, height}));
    return true;
}

void ZScrollBarNode::_postChildRender(ZImageStack& stack) { stack.pop(); }

void ZScrollBarNode::_updateFrac(int x, int y) {
    const int position = _horiz ? x - _originX : y - _originY;
    if (_track == 0) {
        _frac = 0.0f;
        return;
    }
    _frac = std::clamp(static_cast<float>(position) / static_cast<float>(_track), 0.0f, 1.0f);
}

int ZScrollBarNode::onLButtonDown(ZWin*, int x, int y) {
    _updateFrac(x, y);
    return 6;
}

int ZScrollBarNode::onLButtonUp(ZWin*, int x, int y) {
    _updateFrac(x, y);
    return 10;
}

int ZScrollBarNode::onMouseMove(ZWin*, int x, int y) {
    if (!ZSystemIsKeyPressed(1)) return 8;
    _updateFrac(x, y);
    return 2;
}

int ZScrollBarNode::onMouseoverChanged(bool entered) {
    _mouseover = entered;
    return 1;
}
