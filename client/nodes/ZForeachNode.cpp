#include "ZForeachNode.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"
#include "ZSessionHelpers.h"
#include "ZUtil.h"
#include "ZWindowNode.h"

ZForeachNode::ZForeachNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

namespace {

// A copy reads its item through an attribute, so the item is read as an
// expression again, and skins splice it into command strings such as
// "(/buddies/$id?chatdone)". Items come from the network (buddy lists,
// screens offered): one that the expression or command language would act
// on gets no copy.
bool isPlainItem(const std::wstring& item) {
    for (wchar_t c : item)
        if (c < 0x20 || c == 0x7F || std::wstring_view(L"$(){};+?&=\"'\\").find(c) != std::wstring_view::npos)
            return false;
    return true;
}

}  // namespace

bool ZForeachNode::_isCopy(ZTemplateNode* child) { return !_as.empty() && !child->getAttribute(_as).empty(); }

bool ZForeachNode::_preChildUpdate(ZAttributeStack& stack) {
    const std::wstring list = stack.eval(L"$list");
    if (!ZCaseEquals(list, _list)) {
        // The old name stays watched: a window that re-updates once too often
        // costs less than bookkeeping of every name the list ever had.
        _list = list;
        if (!_list.empty()) _instance->watch(_list, stack.getNotifyListener(), ZNODE_UPDATE);
    }
    _as = stack.eval(L"$as");

    std::vector<std::wstring> items;
    if (!_list.empty()) _instance->get(_list, items);
    // Without a name to bind them by there are no copies, and none to keep.
    if (_as.empty()) items.clear();

    ZTemplateNode* prototype = nullptr;
    bool searched = false;
    for (const std::wstring& item : items) {
        // An empty item would make its copy look like a prototype.
        if (item.empty()) continue;
        if (!isPlainItem(item)) {
            if (_refused.insert(item).second)
                ZLOG(L"WARNING Foreach '" << getID() << L"' gives no copy to the item '" << ZSIPPrintable(item)
                                          << L"': it holds characters of the expression or command language.");
            continue;
        }
        const bool present = std::any_of(_children.begin(), _children.end(),
                                         [&](ZTemplateNode* child) { return child->getAttribute(_as) == item; });
        if (present) continue;
        if (!searched) {
            searched = true;
            const auto found = std::find_if(_children.begin(), _children.end(),
                                            [&](ZTemplateNode* child) { return !_isCopy(child); });
            prototype = found != _children.end() ? *found : nullptr;
        }
        // Nothing to repeat: the item waits until the skin gives a prototype.
        if (!prototype) break;
        ZTemplateNode* copy = prototype->clone(this);
        copy->setAttribute(_as, item);
        _children.push_back(copy);
        _copiesChanged = true;
        if (copy->update(stack)) {
            ZImageStack surfaces;
            copy->render(surfaces);
        }
    }

    const std::vector<ZTemplateNode*> snapshot = _children;
    for (ZTemplateNode* child : snapshot) {
        if (!_isCopy(child)) continue;
        if (std::find(items.begin(), items.end(), child->getAttribute(_as)) != items.end()) continue;
        _children.erase(std::find(_children.begin(), _children.end(), child));
        // The window may hover, focus or capture a node of the copy.
        ZWindowNode::forgetSubtree(child);
        delete child;
        _copiesChanged = true;
    }
    return true;
}

bool ZForeachNode::_updateChildren(ZAttributeStack& stack) {
    bool changed = false;
    for (ZTemplateNode* child : _children)
        if (_isCopy(child)) changed = child->update(stack) || changed;
    return changed;
}

bool ZForeachNode::_postChildUpdate(ZAttributeStack&) {
    const bool changed = _copiesChanged;
    _copiesChanged = false;
    return changed;
}

void ZForeachNode::_renderChildren(ZImageStack& stack) {
    for (ZTemplateNode* child : _children)
        if (_isCopy(child)) child->render(stack);
}
