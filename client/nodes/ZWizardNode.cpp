#include "ZWizardNode.h"

#include <algorithm>
#include <list>

#include "ZDefaultNode.h"
#include "ZImageStack.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

bool isPage(ZTemplateNode* node) { return ZCaseEquals(node->getName(), L"page"); }

}  // namespace

ZWizardNode::ZWizardNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

ZDefaultNode* ZWizardNode::_part(const wchar_t* name) { return dynamic_cast<ZDefaultNode*>(getChild(name)); }

ZDefaultNode* ZWizardNode::getCurrentPage() {
    invariantTest();
    return dynamic_cast<ZDefaultNode*>(getChild(L"page_" + getAttribute(L"page")));
}

ZDefaultNode* ZWizardNode::_nextPage() {
    ZDefaultNode* current = getCurrentPage();
    if (!current) return nullptr;
    auto at = std::find(_children.begin(), _children.end(), current);
    const auto found = std::find_if(at + 1, _children.end(), isPage);
    return found != _children.end() ? dynamic_cast<ZDefaultNode*>(*found) : nullptr;
}

ZDefaultNode* ZWizardNode::_previousPage() {
    ZDefaultNode* current = getCurrentPage();
    if (!current) return nullptr;
    auto at = std::find(_children.rbegin(), _children.rend(), current);
    const auto found = std::find_if(at + 1, _children.rend(), isPage);
    return found != _children.rend() ? dynamic_cast<ZDefaultNode*>(*found) : nullptr;
}

void ZWizardNode::_runCommand(const std::wstring& command, ZTemplateNode* context) {
    if (!command.empty()) _commandEngine->executeCommand(command, context, 0);
}

// ---- commands ----------------------------------------------------------------------

void ZWizardNode::next() {
    invariantTest();
    _setPage(_nextPage());
}

void ZWizardNode::back() {
    invariantTest();
    _setPage(_previousPage());
}

void ZWizardNode::jump(const std::wstring& target) {
    invariantTest();
    for (ZTemplateNode* child : _children) {
        auto* page = dynamic_cast<ZDefaultNode*>(child);
        if (!page || !isPage(page)) continue;
        if (ZCaseEquals(page->getTitle(), target) || ZCaseEquals(page->getAttribute(L"id"), target)) {
            _setPage(page);
            return;
        }
    }
    ZLOG(L"WARNING No 'jump' page with title or ID '" << target << L"', ignoring.");
}

void ZWizardNode::done() {
    invariantTest();
    _changed = true;
    _runCommand(_onDone, this);
    _runCommand(L"(" + _windowPath + L"?refresh)", nullptr);
}

void ZWizardNode::_setPage(ZDefaultNode* page) {
    if (!page) {
        ZLOG(L"WARNING Missing page, ignoring.");
        return;
    }
    if (ZDefaultNode* current = getCurrentPage()) _runCommand(current->getOnHide(), this);
    _changed = true;
    setAttribute(L"page", page->getAttribute(L"id"));
    _runCommand(page->getOnShow(), this);
    if (ZDefaultNode* sidebar = _part(L"sidebar")) {
        // The sidebar marks the new page at once, under what the wizard last
        // published, so it sees the scope of a full pass.
        ZAttributeStack stack(_instance, _listener ? _listener : _commandEngine->getNotifyListener());
        stack.set(L"wizardtitle", page->getTitle());
        stack.set(L"wizardtext", page->getText());
        stack.set(L"wizardpath", _wizardPath);
        if (!_list.empty()) stack.set(L"list", _list);
        stack.set(L"disabled", std::wstring(L"0"));
        stack.set(L"select", page->getTitle());
        sidebar->update(stack);
    }
    _runCommand(L"(" + _windowPath + L"?refresh)", nullptr);
}

// ---- update --------------------------------------------------------------------------

void ZWizardNode::_readPage(ZAttributeStack& stack, ZTemplateNode* page, std::wstring& title, std::wstring& text) {
    stack.push(page->getPath(), page->getAttributes());
    title = stack.eval(L"$title");
    text = stack.eval(L"$text");
    stack.pop();
}

bool ZWizardNode::_preChildUpdate(ZAttributeStack& stack) {
    _listener = stack.getNotifyListener();
    if (stack.eval(L"$page").empty()) {
        const auto first = std::find_if(_children.begin(), _children.end(), isPage);
        if (first != _children.end()) setAttribute(L"page", (*first)->getAttribute(L"id"));
    }
    // The pages read their own texts only later in this pass: what the header
    // shows is taken from their attributes now, not from the last pass.
    ZDefaultNode* current = getCurrentPage();
    std::wstring title, text;
    if (current) _readPage(stack, current, title, text);
    _wizardPath = stack.eval(L"$path");
    stack.set(L"wizardtitle", title);
    stack.set(L"wizardtext", text);
    stack.set(L"wizardpath", _wizardPath);
    stack.set(L"backdisabled", std::wstring(_previousPage() ? L"0" : L"1"));
    stack.set(L"nextdisabled", std::wstring(_nextPage() ? L"0" : L"1"));
    std::list<std::wstring> titles;
    for (ZTemplateNode* child : _children) {
        if (!isPage(child) || !dynamic_cast<ZDefaultNode*>(child)) continue;
        std::wstring pageTitle, pageText;
        _readPage(stack, child, pageTitle, pageText);
        titles.push_back(pageTitle);
    }
    _list = ZJoin(titles, L", ");
    if (!titles.empty()) stack.set(L"list", _list);
    return true;
}

bool ZWizardNode::_updateChildren(ZAttributeStack& stack) {
    const std::wstring current = L"page_" + getAttribute(L"page");
    bool changed = false;
    for (ZTemplateNode* child : _children) {
        const std::wstring id = child->getID();
        const bool disabled = id.size() >= 4 && ZBeginsWith(ZToLower(id), L"page") && !ZCaseEquals(id, current);
        stack.set(L"disabled", std::wstring(disabled ? L"1" : L"0"));
        changed = child->update(stack) || changed;
    }
    return changed;
}

bool ZWizardNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = _changed;
    _changed = false;
    const std::wstring onDone = stack.eval(L"$ondone");
    const std::wstring windowPath = stack.eval(L"$windowpath");
    changed |= onDone != _onDone || windowPath != _windowPath;
    _onDone = onDone;
    _windowPath = windowPath;
    return changed;
}

// ---- layout ----------------------------------------------------------------------------

void ZWizardNode::calcMinSize(int& minWidth, int& minHeight) {
    int headerHeight = 0, pageHeight = 0, footerHeight = 0;
    if (ZDefaultNode* header = _part(L"header")) header->calcMinSize(minWidth, headerHeight);
    if (ZDefaultNode* page = getCurrentPage()) page->calcMinSize(minWidth, pageHeight);
    if (ZDefaultNode* footer = _part(L"footer")) footer->calcMinSize(minWidth, footerHeight);
    minHeight = std::max(minHeight, headerHeight + pageHeight + footerHeight);
    int sideWidth = 0;
    if (ZDefaultNode* sidebar = _part(L"sidebar")) sidebar->calcMinSize(sideWidth, minHeight);
    minWidth += sideWidth;
}

void ZWizardNode::_renderChildren(ZImageStack& stack) {
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    auto draw = [&](ZTemplateNode* part, const ZRect& rect) {
        stack.pushTarget(ZNodeNormalised(rect));
        part->render(stack);
        stack.pop();
    };
    int sideWidth = 0, headerHeight = 0, footerHeight = 0;
    if (ZDefaultNode* sidebar = _part(L"sidebar")) {
        int h = 0;
        sidebar->calcMinSize(sideWidth, h);
        sideWidth = std::min(sideWidth, width / 2);
        draw(sidebar, ZRect{0, 0, sideWidth, height});
    }
    if (ZDefaultNode* header = _part(L"header")) {
        int w = 0;
        header->calcMinSize(w, headerHeight);
        draw(header, ZRect{sideWidth, 0, width, headerHeight});
    }
    if (ZDefaultNode* footer = _part(L"footer")) {
        int w = 0;
        footer->calcMinSize(w, footerHeight);
        draw(footer, ZRect{sideWidth, height - footerHeight, std::max(width, sideWidth),
                           std::max(height, height - footerHeight)});
    }
    if (ZDefaultNode* page = getCurrentPage())
        draw(page, ZRect{sideWidth, headerHeight, std::max(width, sideWidth),
                         std::max(height - footerHeight, headerHeight)});
}
