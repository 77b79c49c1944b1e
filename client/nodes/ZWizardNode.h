// A sequence of pages shown one at a time inside a window, with an optional
// header, sidebar and footer around the current page. The template's
// commands move it ("next", "back", "jump", "done"); it publishes the current
// page's title and text, whether back and next are possible and the list of
// page titles for the parts around the page to show, and runs each page's
// show and hide commands when the page changes.
#pragma once

#include <string>

#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"

class ZDefaultNode;

// The current page is the wizard's own attribute "page": the "id" of the
// page element shown. Header, sidebar and footer are the children of those
// element names; pages are the "page" children, in document order. Parts
// and pages count only as default nodes.
class ZWizardNode : public ZTemplateNode, public IZWizardControl {
public:
    ZWizardNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);

    void next() override;
    void back() override;
    // The first page whose title, or else whose id, is target (without
    // regard to case).
    void jump(const std::wstring& target) override;
    // Runs "$ondone" and refreshes the window; the page stays.
    void done() override;

    void calcMinSize(int& minWidth, int& minHeight) override;

    ZDefaultNode* getCurrentPage();

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
    bool _updateChildren(ZAttributeStack& stack) override;
    bool _postChildUpdate(ZAttributeStack& stack) override;
    void _renderChildren(ZImageStack& stack) override;

private:
    ZDefaultNode* _part(const wchar_t* name);
    ZDefaultNode* _nextPage();
    ZDefaultNode* _previousPage();
    void _setPage(ZDefaultNode* page);
    void _runCommand(const std::wstring& command, ZTemplateNode* context);
    // A page's "$title" and "$text" as the page itself reads them in this
    // pass, which has not reached it yet.
    void _readPage(ZAttributeStack& stack, ZTemplateNode* page, std::wstring& title, std::wstring& text);

    std::wstring _onDone;
    std::wstring _windowPath;
    bool _changed = true;
    // What the last update published, and where its watches reported, for
    // the sidebar's own pass on a page change.
    ZNotifyHandle* _listener = nullptr;
    std::wstring _list;
    std::wstring _wizardPath;
};
