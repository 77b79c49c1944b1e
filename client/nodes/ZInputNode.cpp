#include "ZInputNode.h"

#include "ZImageStack.h"
#include "ZPortable_Text.h"

namespace {

struct Edge {
    const wchar_t* name;
    int code;
};

constexpr Edge kEdges[] = {
    {L"topleft", ZHT_TOPLEFT},       {L"top", ZHT_TOP},       {L"topright", ZHT_TOPRIGHT},
    {L"left", ZHT_LEFT},             {L"right", ZHT_RIGHT},   {L"bottomleft", ZHT_BOTTOMLEFT},
    {L"bottom", ZHT_BOTTOM},         {L"bottomright", ZHT_BOTTOMRIGHT},
};

}  // namespace

ZInputNode::ZInputNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

int ZInputNode::edgeCode(const std::wstring& edge) {
    for (const Edge& known : kEdges)
        if (ZCaseEquals(edge, known.name)) return known.code;
    return ZHT_CLIENT;
}

int ZInputNode::getNCHITTEST(ZWin*, int, int) { return _hitCode; }

bool ZInputNode::_postChildUpdate(ZAttributeStack& stack) {
    const std::wstring edge = stack.eval(L"$edge");
    const bool changed = edge != _edge;
    _edge = edge;
    _hitCode = edgeCode(_edge);
    return changed;
}

bool ZInputNode::_preChildRender(ZImageStack& stack) {
    // Children drawn over the area may claim parts of it for themselves.
    stack.setInputHandler(this);
    return true;
}
