#include "ZGradientNode.h"

#include "ZImageStack.h"

ZGradientNode::ZGradientNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZGradientNode::_postChildUpdate(ZAttributeStack& stack) {
    const std::wstring from = stack.eval(L"$from");
    const std::wstring to = stack.eval(L"$to");
    const bool alphaOnly = stack.test(L"$alphaOnly");
    const bool vertical = stack.test(L"$vertical");
    const bool changed = from != _from || to != _to || alphaOnly != _alphaOnly || vertical != _vertical;
    _from = from;
    _to = to;
    _alphaOnly = alphaOnly;
    _vertical = vertical;
    _fromColor = ZColor(_from);
    _toColor = ZColor(_to);
    return changed;
}

bool ZGradientNode::_preChildRender(ZImageStack& stack) {
    stack.drawGradient(_fromColor, _toColor, (_alphaOnly ? 2 : 0) + (_vertical ? 1 : 0));
    return true;
}
