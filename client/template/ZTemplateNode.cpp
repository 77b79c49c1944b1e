#include "ZTemplateNode.h"

#include <algorithm>

#include "ZImageStack.h"
#include "ZPortable_Text.h"
#include "ZTemplateFactory.h"
#include "ZUtil.h"

ZTemplateNode::ZTemplateNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : _instance(instance), _commandEngine(commandEngine), _parent(parent) {
    ZTRACE_KIND("ZTemplateNode");
    ZPRECONDITION(instance && commandEngine);
}

ZTemplateNode::~ZTemplateNode() {
    for (auto childIt = _children.begin(); childIt != _children.end(); ++childIt) {
        ZASSERT_PTR(*childIt);
        delete *childIt;
    }
}

void ZTemplateNode::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_commandEngine);
    ZHeapObject::invariantTest();
}

void ZTemplateNode::calcMinSize(int& minWidth, int& minHeight) {
    for (ZTemplateNode* child : _children) child->calcMinSize(minWidth, minHeight);
}

bool ZTemplateNode::update(ZAttributeStack& stack) {
    invariantTest();
    stack.push(getPath(), _attributes);
    bool changed = false;
    if (_preChildUpdate(stack)) changed = _updateChildren(stack);
    // The node's own step runs even when it kept the children out.
    const bool own = _postChildUpdate(stack);
    stack.pop();
    return changed || own;
}

void ZTemplateNode::render(ZImageStack& stack) {
    invariantTest();
    if (!_preChildRender(stack)) return;
    _renderChildren(stack);
    _postChildRender(stack);
}

bool ZTemplateNode::_preChildUpdate(ZAttributeStack&) { return true; }

bool ZTemplateNode::_updateChildren(ZAttributeStack& stack) {
    bool changed = false;
    for (ZTemplateNode* child : _children) changed = child->update(stack) || changed;
    return changed;
}

bool ZTemplateNode::_postChildUpdate(ZAttributeStack&) { return false; }

bool ZTemplateNode::_preChildRender(ZImageStack&) { return true; }

void ZTemplateNode::_renderChildren(ZImageStack& stack) {
    for (ZTemplateNode* child : _children) child->render(stack);
}

void ZTemplateNode::_postChildRender(ZImageStack&) {}

std::wstring ZTemplateNode::getAttribute(const std::wstring& name) {
    invariantTest();
    for (const auto& [key, value] : _attributes)
        if (ZCaseEquals(key, name)) return value;
    return std::wstring();
}

void ZTemplateNode::setAttribute(const std::wstring& name, const std::wstring& value) {
    invariantTest();
    for (auto& attribute : _attributes) {
        if (ZCaseEquals(attribute.first, name)) {
            attribute.second = value;
            return;
        }
    }
    _attributes.emplace_front(name, value);
}

std::wstring ZTemplateNode::getID() {
    invariantTest();
    const std::wstring id = getAttribute(L"id");
    return id.empty() ? _name : _name + L"_" + id;
}

std::wstring ZTemplateNode::getParentPath() {
    invariantTest();
    return _parent ? _parent->getPath() : std::wstring();
}

std::wstring ZTemplateNode::getPath() {
    invariantTest();
    return getParentPath() + L"/" + getID();
}

ZTemplateNode* ZTemplateNode::getChild(const std::wstring& path) {
    invariantTest();
    ZPRECONDITION(!path.empty());
    if (path.empty()) return nullptr;
    const std::size_t slash = path.find(L'/');
    const std::wstring step = path.substr(0, slash);
    ZASSERT_T(!step.empty(), "step.size( )");
    if (step.empty()) return nullptr;
    for (ZTemplateNode* child : _children) {
        if (!ZCaseEquals(child->getID(), step)) continue;
        if (path.size() > step.size() + 1) return child->getChild(path.substr(step.size() + 1));
        return child;
    }
    return nullptr;
}

ZTemplateNode* ZTemplateNode::getNext(ZTemplateNode* stop) {
    invariantTest();
    if (!_children.empty()) return _children.front();
    // A childless stop has nothing of its own subtree left to visit.
    if (this == stop) return nullptr;
    ZTemplateNode* current = this;
    ZTemplateNode* ancestor = _parent;
    while (ancestor) {
        auto& siblings = ancestor->_children;
        auto it = std::find(siblings.begin(), siblings.end(), current);
        if (it != siblings.end() && ++it != siblings.end()) return *it;
        if (ancestor == stop) return nullptr;
        current = ancestor;
        ancestor = ancestor->_parent;
    }
    return nullptr;
}

ZTemplateNode* ZTemplateNode::clone(ZTemplateNode* newParent) {
    invariantTest();
    ZTemplateNode* copy = ZTemplateFactory::create(_instance, _commandEngine, newParent, _name, _attributes);
    for (ZTemplateNode* child : _children) copy->addChild(child->clone(copy));
    return copy;
}
