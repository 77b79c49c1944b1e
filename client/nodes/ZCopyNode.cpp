#include "ZCopyNode.h"

#include "ZUtil.h"

ZCopyNode::ZCopyNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

bool ZCopyNode::_preChildUpdate(ZAttributeStack& stack) {
    const std::wstring path = stack.eval(L"$src");
    if (stack.test(L"$done") || path.empty()) return true;
    ZTemplateNode* source = _commandEngine->getNode(path, this);
    // A source that holds this node would hold a fresh copy node in each
    // clone, which would clone again: a tree growing with every pass.
    for (ZTemplateNode* up = this; up && source; up = up->getParent()) {
        if (up != source) continue;
        ZLOG(L"WARNING Copy of '" << path << L"' inside itself, ignoring.");
        source = nullptr;
        break;
    }
    if (source) {
        ZTemplateNode* copy = source->clone(this);
        for (ZTemplateNode* child : _children) {
            child->setParent(copy);
            copy->addChild(child);
        }
        _children.assign(1, copy);
        // The base pass goes on into the clone with this pass's scopes, so
        // its watches report to this window like every other node's.
    }
    setAttribute(L"done", L"true");
    return true;
}
