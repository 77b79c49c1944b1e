#include "ZTestNode.h"

#include <utility>

#include "ZImageStack.h"
#include "ZInstance.h"

namespace zantest {

std::vector<std::wstring>& nodeJournal() {
    static std::vector<std::wstring> journal;
    return journal;
}

namespace {

void note(const std::wstring& step, ZTemplateNode* node, const std::wstring& argument = std::wstring()) {
    nodeJournal().push_back(step + L" " + node->getID() + (argument.empty() ? L"" : L" " + argument));
}

int attributeNumber(ZTemplateNode* node, const wchar_t* name) {
    const std::wstring text = node->getAttribute(name);
    return text.empty() ? 0 : std::stoi(text);
}

template <typename Node, int Entry>
ZTemplateNode* createAs(ZInstance* instance, IZCommandEngine* engine, ZTemplateNode* parent) {
    return new Node(instance, engine, parent, Entry);
}

template <int Entry>
constexpr ZTemplateNodeCreator creatorFor() {
    switch (Entry) {
        case ZTN_WINDOW: return createAs<ZTestWindowNode, Entry>;
        case ZTN_WIZARD: return createAs<ZTestWizardNode, Entry>;
        case ZTN_SCREEN: return createAs<ZTestScreenNode, Entry>;
        case ZTN_EDIT: return createAs<ZTestEditNode, Entry>;
        case ZTN_LIST: return createAs<ZTestListNode, Entry>;
        case ZTN_TABLE: return createAs<ZTestTableNode, Entry>;
        default: return createAs<ZTestNode, Entry>;
    }
}

template <std::size_t... Entries>
void installAll(std::index_sequence<Entries...>) {
    static const ZTemplateNodeCreator table[ZTN_ENTRY_COUNT] = {creatorFor<static_cast<int>(Entries)>()...};
    ZTemplateFactory::installCreators(table);
}

}  // namespace

void installTestNodes() { installAll(std::make_index_sequence<ZTN_ENTRY_COUNT>()); }

ZNotifyHandle* testNotifyHandle() {
    static char handle;
    return reinterpret_cast<ZNotifyHandle*>(&handle);
}

ZNotifyHandle* ZTestCommandEngine::getNotifyListener() { return testNotifyHandle(); }

void ZTestNode::calcMinSize(int& minWidth, int& minHeight) {
    minWidth += attributeNumber(this, L"minwidth");
    minHeight += attributeNumber(this, L"minheight");
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

bool ZTestNode::_preChildUpdate(ZAttributeStack&) {
    note(L"pre", this);
    return getAttribute(L"pre") != L"false";
}

bool ZTestNode::_updateChildren(ZAttributeStack& stack) {
    note(L"children", this);
    return ZTemplateNode::_updateChildren(stack);
}

bool ZTestNode::_postChildUpdate(ZAttributeStack& stack) {
    note(L"post", this);
    if (!getAttribute(L"probe").empty()) nodeJournal().push_back(getID() + L" probe=" + stack.get(L"probe"));
    const std::wstring watched = stack.get(L"watch");
    if (!watched.empty() && !watching) {
        watching = true;
        _instance->watch(watched, stack.getNotifyListener(), 0);
    }
    return stack.test(L"$changed");
}

bool ZTestNode::_preChildRender(ZImageStack&) {
    note(L"render", this);
    return getAttribute(L"prerender") != L"false";
}

void ZTestNode::_renderChildren(ZImageStack& stack) { ZTemplateNode::_renderChildren(stack); }

void ZTestNode::_postChildRender(ZImageStack&) { note(L"postrender", this); }

void ZTestWindowNode::open() { note(L"open", this); }
void ZTestWindowNode::close() { note(L"close", this); }
void ZTestWindowNode::flash() { note(L"flash", this); }
void ZTestWindowNode::fadeIn(std::int64_t duration) { note(L"fadein", this, std::to_wstring(duration)); }
void ZTestWindowNode::fadeOut(std::int64_t duration) { note(L"fadeout", this, std::to_wstring(duration)); }
void ZTestWindowNode::maximize() { note(L"maximize", this); }
void ZTestWindowNode::minimize() { note(L"minimize", this); }
void ZTestWindowNode::fit() { note(L"fit", this); }

void ZTestWizardNode::next() { note(L"next", this); }
void ZTestWizardNode::back() { note(L"back", this); }
void ZTestWizardNode::done() { note(L"done", this); }
void ZTestWizardNode::jump(const std::wstring& page) { note(L"jump", this, page); }

void ZTestScreenNode::fit() { note(L"fitscreen", this); }

}  // namespace zantest
