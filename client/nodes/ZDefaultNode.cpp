#include "ZDefaultNode.h"

#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"

ZDefaultNode::ZDefaultNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

std::wstring ZDefaultNode::getOnShow() {
    invariantTest();
    return _onShow;
}

std::wstring ZDefaultNode::getOnHide() {
    invariantTest();
    return _onHide;
}

std::wstring ZDefaultNode::getTitle() {
    invariantTest();
    return _title;
}

std::wstring ZDefaultNode::getText() {
    invariantTest();
    return _text;
}

bool ZDefaultNode::_preChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    if (ZCaseEquals(_name, L"on")) {
        _hidden = !ZCaseEquals(stack.eval(L"$g_event"), stack.eval(L"$event"));
    } else if (ZCaseEquals(_name, L"if")) {
        const std::wstring watch = stack.eval(L"$watch");
        if (!ZCaseEquals(watch, _watch)) {
            if (!_watch.empty()) _instance->unwatch(_watch, stack.getNotifyListener(), ZNODE_UPDATE);
            _watch = watch;
            if (!_watch.empty()) _instance->watch(_watch, stack.getNotifyListener(), ZNODE_UPDATE);
        }
        bool cond = stack.test(L"$cond");
        const std::wstring equals = stack.eval(L"$equals");
        if (!cond && !equals.empty()) cond = ZCaseEquals(stack.eval(L"${$watch}"), equals);
        const bool hidden = !cond;
        changed = hidden != _hidden;
        // Coming into view changes the picture as much as leaving it.
        _becameShown = changed && !hidden;
        _hidden = hidden;
    } else {
        if (ZBeginsWith(ZToLower(_name), L"top")) stack.set(L"valign", L"bottom");
        else if (ZBeginsWith(ZToLower(_name), L"bottom")) stack.set(L"valign", L"top");
        if (ZEndsWith(ZToLower(_name), L"left")) stack.set(L"align", L"right");
        else if (ZEndsWith(ZToLower(_name), L"right")) stack.set(L"align", L"left");
        _hidden = false;
    }
    return _hidden ? changed : true;
}

bool ZDefaultNode::_postChildUpdate(ZAttributeStack& stack) {
    if (_hidden) return false;
    const bool becameShown = _becameShown;
    _becameShown = false;
    if (!ZCaseEquals(_name, L"page")) return becameShown;
    const std::wstring onShow = stack.eval(L"$onshow");
    const std::wstring onHide = stack.eval(L"$onhide");
    const std::wstring title = stack.eval(L"$title");
    const std::wstring text = stack.eval(L"$text");
    const bool changed = onShow != _onShow || onHide != _onHide || title != _title || text != _text;
    _onShow = onShow;
    _onHide = onHide;
    _title = title;
    _text = text;
    return changed;
}

bool ZDefaultNode::_preChildRender(ZImageStack&) { return !_hidden; }
