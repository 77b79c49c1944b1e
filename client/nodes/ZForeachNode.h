// Nodes that build parts of the tree at run time: a foreach repeats its
// prototype children once per item of a store list, and a copy clones a
// subtree found elsewhere in the template into itself, once.
#pragma once

#include <set>
#include <string>

#include "ZTemplateNode.h"

// Keeps one copy of the prototype child per item of the list variable
// "$list", each copy bound to its item through the attribute named by "$as".
// Children on which that attribute is empty are the prototypes (never
// updated or drawn); copies stand in the order their items first appeared.
class ZForeachNode : public ZTemplateNode {
public:
    ZForeachNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);

    const std::wstring& getList() const { return _list; }
    const std::wstring& getAs() const { return _as; }

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
    bool _updateChildren(ZAttributeStack& stack) override;
    bool _postChildUpdate(ZAttributeStack& stack) override;
    void _renderChildren(ZImageStack& stack) override;

private:
    bool _isCopy(ZTemplateNode* child);

    std::wstring _list;
    std::wstring _as;
    // Copies were added or destroyed in this pass: the window must draw
    // again, and its input handlers no longer point into the removed ones.
    bool _copiesChanged = false;
    // Items refused because they would be read as expressions or commands;
    // each is warned about once.
    std::set<std::wstring> _refused;
};
