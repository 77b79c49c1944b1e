#include "ZTextNode.h"

#include <algorithm>
#include <list>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"

ZTextNode::ZTextNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZTextNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    const std::wstring text = stack.eval(L"$text");
    changed |= text != _text;
    _text = text;
    changed |= _font.update(stack.eval(L"$font"));
    const std::wstring watch = stack.eval(L"$watch");
    if (!ZCaseEquals(watch, _watch)) {
        std::list<std::wstring> names;
        ZParseList(names, _watch);
        for (const std::wstring& name : names) _instance->unwatch(name, stack.getNotifyListener(), ZNODE_UPDATE);
        _watch = watch;
        ZParseList(names, _watch);
        for (const std::wstring& name : names) _instance->watch(name, stack.getNotifyListener(), ZNODE_UPDATE);
        changed = true;
    }
    return changed;
}

void ZTextNode::calcMinSize(int& minWidth, int& minHeight) {
    ZRect rect{0, 0, 10000, 10000};
    _font.measureText(rect, _text);
    minWidth = std::max(minWidth, rect.right - rect.left);
    minHeight = std::max(minHeight, rect.bottom - rect.top);
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

bool ZTextNode::_preChildRender(ZImageStack& stack) {
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    if (width >= 1 && height >= 1) stack.drawText(_text, _font);
    return true;
}
