// A node type for the engine's tests: records which element-table entry
// chose it and what the passes did, and takes the results of its virtual
// steps from its own raw attributes:
//   pre="false"        _preChildUpdate keeps the children out
//   changed="true"     _postChildUpdate reports a change (the value is
//                      evaluated, so "$name" lets the store decide)
//   watch="name"       the store variable is watched from the first pass on
//   prerender="false"  _preChildRender draws nothing of the subtree
//   minwidth, minheight  added by calcMinSize
// Every step appends "<step> <ID>" to the journal; _postChildUpdate also
// records "<ID> probe=<value>" when the node has a "probe" attribute, the
// value as the scopes saw it.
#pragma once

#include <string>
#include <vector>

#include "IZCommandEngine.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"

namespace zantest {

std::vector<std::wstring>& nodeJournal();

class ZTestNode : public ZTemplateNode, public IZInputHandler {
public:
    ZTestNode(ZInstance* instance, IZCommandEngine* engine, ZTemplateNode* parent, int entry)
        : ZTemplateNode(instance, engine, parent), entry(entry) {}
    const int entry;
    // Which copies were made: a clone is a fresh object, never this one.
    int runtimeState = 0;
    bool watching = false;

    void calcMinSize(int& minWidth, int& minHeight) override;
    bool acceptsKeyboardFocus() override { return getAttribute(L"focus") == L"true"; }

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
    bool _updateChildren(ZAttributeStack& stack) override;
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;
    void _renderChildren(ZImageStack& stack) override;
    void _postChildRender(ZImageStack& stack) override;
};

// The node kinds the command engine acts on, journalling each call as
// "<operation> <ID>[ <argument>]".
class ZTestWindowNode : public ZTestNode, public IZWindowControl {
public:
    using ZTestNode::ZTestNode;
    void open() override;
    void close() override;
    void flash() override;
    void fadeIn(std::int64_t duration) override;
    void fadeOut(std::int64_t duration) override;
    void maximize() override;
    void minimize() override;
    void fit() override;
};

class ZTestWizardNode : public ZTestNode, public IZWizardControl {
public:
    using ZTestNode::ZTestNode;
    void next() override;
    void back() override;
    void done() override;
    void jump(const std::wstring& page) override;
};

class ZTestScreenNode : public ZTestNode, public IZScreenControl {
public:
    using ZTestNode::ZTestNode;
    void fit() override;
};

// Edit, list and table: text from the raw "text" / "selection" attributes.
class ZTestEditNode : public ZTestNode, public IZEditControl {
public:
    using ZTestNode::ZTestNode;
    std::wstring getText() override { return getAttribute(L"text"); }
    void setText(const std::wstring& text) override { setAttribute(L"text", text); }
};

class ZTestListNode : public ZTestNode, public IZListControl {
public:
    using ZTestNode::ZTestNode;
    std::wstring getSelection() override { return getAttribute(L"selection"); }
};

class ZTestTableNode : public ZTestNode, public IZTableControl {
public:
    using ZTestNode::ZTestNode;
    std::wstring getSelection() override { return getAttribute(L"selection"); }
};

// Installs creators of these types for every entry of the element table.
void installTestNodes();

// A command engine that only records what it is asked.
class ZTestCommandEngine : public IZCommandEngine {
public:
    void executeCommand(const std::wstring& command, ZTemplateNode* context, int) override {
        commands.push_back(command);
        contexts.push_back(context);
    }
    ZNotifyHandle* getNotifyListener() override;
    ZTemplateNode* getNode(const std::wstring&, ZTemplateNode*) override { return nullptr; }
    std::vector<std::wstring> commands;
    std::vector<ZTemplateNode*> contexts;
};

// A handle that is never notified: the scopes only carry it.
ZNotifyHandle* testNotifyHandle();

}  // namespace zantest
