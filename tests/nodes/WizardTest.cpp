// The wizard: pages one at a time, what it publishes for the parts around
// the page, its commands and its layout.
#include "ZNodeTestKit.h"

#include "ZDefaultNode.h"
#include "ZWizardNode.h"

using namespace zantest;

namespace {

class WizardTest : public NodeTest {
protected:
    // A window-like holder, the wizard, header, sidebar, three pages and a
    // footer, each part holding a probe that reads what the wizard publishes.
    void build(int sideWidth = 50) {
        ZTemplateNode* holder = add(nullptr, L"holder", {{L"windowpath", L"/skin/window_options"}});
        wizard = add<ZWizardNode>(holder, L"Wizard", {{L"ondone", L"(/options?save)"}});
        header = probe(add(wizard, L"header"), 10, 30);
        sidebar = probe(add(wizard, L"sidebar"), sideWidth, 10);
        const wchar_t* ids[] = {L"one", L"setup", L"three"};
        const wchar_t* titles[] = {L"Setup", L"Two", L"Three"};
        for (int i = 0; i < 3; ++i) {
            ZTemplateNode* page = add(wizard, L"page",
                                      {{L"id", ids[i]}, {L"title", titles[i]}, {L"text", L"about $title"},
                                       {L"onshow", (std::wstring(L"show ") + ids[i]).c_str()},
                                       {L"onhide", (std::wstring(L"hide ") + ids[i]).c_str()}});
            pages[i] = probe(page, 20, 200);
            pages[i]->reads = L"$disabled";
        }
        footer = probe(add(wizard, L"footer"), 10, 40);
        header->reads = L"$wizardtitle|$wizardtext|$backdisabled$nextdisabled|$list|$disabled";
        sidebar->reads = L"$select|$disabled";
        footer->reads = L"$disabled";
    }
    // Commands given since the last call.
    std::vector<std::wstring> commands() {
        std::vector<std::wstring> out;
        out.swap(engine.commands);
        return out;
    }
    ZWizardNode* wizard = nullptr;
    ProbeNode* header = nullptr;
    ProbeNode* sidebar = nullptr;
    ProbeNode* pages[3] = {};
    ProbeNode* footer = nullptr;
};

}  // namespace

TEST_F(WizardTest, PublishesThePageAndWhereItStands) {
    build();
    instance.set(L"list", L"from the store", false);
    EXPECT_TRUE(update());  // every wizard reports its first update
    const std::wstring list = L"Setup, Two, Three";
    // The pages' texts are there at the first pass already.
    EXPECT_EQ(header->seen, L"Setup|about Setup|10|" + list + L"|0");
    EXPECT_FALSE(update());
    EXPECT_TRUE(commands().empty());  // starting on the first page shows nothing

    struct Step {
        void (ZWizardNode::*move)();
        const wchar_t* header;
        std::vector<std::wstring> commands;
        int current;
    };
    const std::wstring refresh = L"(/skin/window_options?refresh)";
    const Step steps[] = {
        {&ZWizardNode::next, L"Two|about Two|00|", {L"hide one", L"show setup", refresh}, 1},
        {&ZWizardNode::next, L"Three|about Three|01|", {L"hide setup", L"show three", refresh}, 2},
        {&ZWizardNode::next, L"Three|about Three|01|", {}, 2},  // past the end: a warning only
        {&ZWizardNode::back, L"Two|about Two|00|", {L"hide three", L"show setup", refresh}, 1},
        {&ZWizardNode::done, L"Two|about Two|00|", {L"(/options?save)", refresh}, 1},
    };
    for (const Step& step : steps) {
        ZLogCapture log;
        (wizard->*step.move)();
        EXPECT_EQ(commands(), step.commands) << ZToUTF8(step.header);
        EXPECT_EQ(log.count(L"WARNING Missing page, ignoring."), step.commands.empty() ? 1 : 0);
        EXPECT_EQ(update(), !step.commands.empty());
        EXPECT_EQ(header->seen, step.header + list + L"|0");
        EXPECT_EQ(wizard->getCurrentPage(), pages[step.current]->getParent());
        for (int i = 0; i < 3; ++i) EXPECT_EQ(pages[i]->seen, i == step.current ? L"0" : L"1") << i;
        EXPECT_EQ(sidebar->seen, L"|0");
        EXPECT_EQ(footer->seen, L"0");
    }
}

TEST_F(WizardTest, JumpsToTheFirstPageByTitleOrId) {
    build();
    update();
    // "setup" is the first page's title and the second page's id.
    wizard->jump(L"SETUP");
    EXPECT_EQ(wizard->getCurrentPage(), pages[0]->getParent());
    wizard->jump(L"three");
    EXPECT_EQ(wizard->getCurrentPage(), pages[2]->getParent());
    // The sidebar marked the page at once.
    EXPECT_EQ(sidebar->seen, L"Three|0");
    commands();
    ZLogCapture log;
    wizard->jump(L"nowhere");
    EXPECT_EQ(log.count(L"WARNING No 'jump' page with title or ID 'nowhere', ignoring."), 1);
    EXPECT_EQ(wizard->getCurrentPage(), pages[2]->getParent());
    EXPECT_TRUE(commands().empty());
}

TEST_F(WizardTest, WithoutPagesThereIsNoListAndNothingToMoveTo) {
    ZTemplateNode* holder = add(nullptr, L"holder");
    wizard = add<ZWizardNode>(holder, L"Wizard");
    header = probe(add(wizard, L"header"), 10, 30);
    header->reads = L"$list|$backdisabled$nextdisabled|$wizardtitle";
    instance.set(L"list", L"from the store", false);
    update();
    EXPECT_EQ(header->seen, L"from the store|11|");
    ZLogCapture log;
    wizard->next();
    wizard->back();
    EXPECT_EQ(log.count(L"WARNING Missing page, ignoring."), 2);
}

TEST_F(WizardTest, LaysThePartsOutAroundThePage) {
    build();
    update();
    int width = 0, height = 0;
    wizard->calcMinSize(width, height);
    EXPECT_EQ(height, 30 + 200 + 40);
    EXPECT_EQ(width, 20 + 50);
    Layer layer(400, 300);
    render(layer);
    EXPECT_EQ(sidebar->drawn, (ZRect{0, 0, 50, 300}));
    EXPECT_EQ(header->drawn, (ZRect{50, 0, 400, 30}));
    EXPECT_EQ(footer->drawn, (ZRect{50, 260, 400, 300}));
    EXPECT_EQ(pages[0]->drawn, (ZRect{50, 30, 400, 260}));
    EXPECT_EQ(pages[1]->renders, 0);  // other pages are never drawn

    // A sidebar wider than half the wizard gets half.
    delete root;
    root = nullptr;
    build(300);
    update();
    render(layer);
    EXPECT_EQ(sidebar->drawn, (ZRect{0, 0, 200, 300}));
    EXPECT_EQ(pages[0]->drawn, (ZRect{200, 30, 400, 260}));
}
