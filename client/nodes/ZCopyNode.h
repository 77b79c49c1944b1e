// See ZForeachNode.h for the family: a copy node clones, once, the subtree
// that "$src" names and takes it as its only child.
#pragma once

#include "ZTemplateNode.h"

// Clones the node at the template path "$src" (relative paths from this
// node) into itself on the first update that names one; the children the
// copy node had in the skin move to the end of the clone's root, so a shared
// frame can be filled with contents of each user's own. Its attribute "done"
// becomes "true" after that first try, found or not.
class ZCopyNode : public ZTemplateNode {
public:
    ZCopyNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
};
