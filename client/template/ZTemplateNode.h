// The base of every node of the skin's tree, and the input interface of the
// interactive ones.
//
// Threading: UI thread only, no lock.
#pragma once

#include <string>
#include <vector>

#include "IZCommandEngine.h"
#include "ZAttributeStack.h"
#include "ZNonPortable_Window.h"
#include "ZObject.h"

class ZInstance;
class ZImageStack;

// One element of the skin: its name, raw attributes and children, and the
// update and render passes the template root runs over the tree.
//
// A node's ID is its element name, followed by "_" and its "id" attribute
// when that is not empty; its path is the parent's path, "/" and the ID.
class ZTemplateNode : public ZHeapObject {
public:
    ZTemplateNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    // Deletes the whole subtree.
    ~ZTemplateNode() override;

    void invariantTest() override;
    // Children add their minimum sizes into the two references.
    virtual void calcMinSize(int& minWidth, int& minHeight);

    // Opens this node's scope, evaluates its attributes and visits the
    // children; true when something changed and the tree must be drawn again.
    bool update(ZAttributeStack& stack);
    void render(ZImageStack& stack);

    // Raw attribute text, compared without regard to case; "" when absent.
    std::wstring getAttribute(const std::wstring& name);
    // Replaces an existing value (keeping its name) or adds the pair in front.
    void setAttribute(const std::wstring& name, const std::wstring& value);
    const ZAttributeList& getAttributes() const { return _attributes; }
    void setAttributes(const ZAttributeList& attributes) { _attributes = attributes; }

    std::wstring getID();
    std::wstring getPath();
    std::wstring getParentPath();
    const std::wstring& getName() const { return _name; }
    void setName(const std::wstring& name) { _name = name; }
    ZTemplateNode* getParent() const { return _parent; }
    // The parent pointer only; the caller keeps the child lists consistent.
    void setParent(ZTemplateNode* parent) { _parent = parent; }
    // Owned, in document order.
    std::vector<ZTemplateNode*>& getChildren() { return _children; }
    void addChild(ZTemplateNode* child) { _children.push_back(child); }

    // Resolves "step/step/..." below this node by IDs, without regard to case.
    ZTemplateNode* getChild(const std::wstring& path);
    // The next node of a document-order walk of stop's subtree; null at its end.
    ZTemplateNode* getNext(ZTemplateNode* stop);
    // A fresh copy of the subtree, its class chosen again from the element
    // name; not yet added to newParent's children.
    ZTemplateNode* clone(ZTemplateNode* newParent);

    ZInstance* getInstance() const { return _instance; }
    IZCommandEngine* getCommandEngine() const { return _commandEngine; }

protected:
    // The steps node classes override; the base visits every child.
    virtual bool _preChildUpdate(ZAttributeStack& stack);
    virtual bool _updateChildren(ZAttributeStack& stack);
    virtual bool _postChildUpdate(ZAttributeStack& stack);
    virtual bool _preChildRender(ZImageStack& stack);
    virtual void _renderChildren(ZImageStack& stack);
    virtual void _postChildRender(ZImageStack& stack);

    ZInstance* _instance;
    IZCommandEngine* _commandEngine;
    ZTemplateNode* _parent;
    std::wstring _name;
    std::vector<ZTemplateNode*> _children;
    ZAttributeList _attributes;
};

// The input interface of interactive nodes: the window events, then
// keyboard focus and mouse-over. Results of 0 mean not handled.
class IZInputHandler : public IZWinListener {
public:
    // Asked when the window moves the keyboard focus; false skips the node.
    virtual bool acceptsKeyboardFocus() { return false; }
    virtual int onKeyboardFocusChanged(bool /*gained*/) { return 0; }
    virtual int onMouseoverChanged(bool /*entered*/) { return 0; }
};
