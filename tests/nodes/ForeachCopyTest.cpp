// Trees built at run time: a foreach keeping one copy per list item, and a
// copy node cloning a shared subtree into itself.
#include "ZNodeTestKit.h"

#include "ZCopyNode.h"
#include "ZDefaultNode.h"
#include "ZForeachNode.h"

using namespace zantest;

namespace {

class ForeachTest : public NodeTest {
protected:
    // A foreach over "Names" binding "name", with a page prototype whose
    // title is the item and a second prototype that is never used.
    void build() {
        foreach = add<ZForeachNode>(nullptr, L"Foreach", {{L"list", L"Names"}, {L"as", L"name"}});
        add<ZDefaultNode>(foreach, L"page", {{L"title", L"item $name"}});
        add<ZDefaultNode>(foreach, L"spare");
    }
    // The items the copies are bound to, in child order, and their titles.
    std::vector<std::wstring> copies() {
        std::vector<std::wstring> out;
        for (ZTemplateNode* child : foreach->getChildren()) {
            const std::wstring item = child->getAttribute(L"name");
            if (item.empty()) continue;
            out.push_back(item);
            EXPECT_EQ(dynamic_cast<ZDefaultNode*>(child)->getTitle(), L"item " + item);
            EXPECT_EQ(child->getParent(), foreach);
        }
        return out;
    }
    ZForeachNode* foreach = nullptr;
};

}  // namespace

TEST_F(ForeachTest, CopiesFollowTheListAndEveryAddOrRemoveIsAChange) {
    build();
    struct Step {
        const wchar_t* list;
        std::vector<std::wstring> copies;
        bool changed;
    } steps[] = {
        {L"a,b", {L"a", L"b"}, true},
        {L"a,b", {L"a", L"b"}, false},
        {L"c;a", {L"a", L"c"}, true},  // b's copy goes, c's comes after a's
        {L"a,a,c", {L"a", L"c"}, false},  // an item listed twice has one copy
        {L"c", {L"c"}, true},  // only a removal: the window must still redraw
        {L"", {}, true},
    };
    for (const Step& step : steps) {
        instance.set(L"Names", step.list, false);
        EXPECT_EQ(update(), step.changed) << ZToUTF8(step.list);
        EXPECT_EQ(copies(), step.copies) << ZToUTF8(step.list);
    }
    // The prototypes stay, never updated.
    ASSERT_EQ(foreach->getChildren().size(), 2u);
    EXPECT_EQ(dynamic_cast<ZDefaultNode*>(foreach->getChildren()[0])->getTitle(), L"");
}

TEST_F(ForeachTest, ItemsTheExpressionOrCommandLanguageWouldReadGetNoCopy) {
    build();
    ZLogCapture log;
    // A buddy name from the network that would expand the password, or add a
    // command to those the skin builds from the item.
    instance.set(L"Local_Password", std::wstring(L"secret"), false);
    instance.set(L"Names", L"ann@zandrel.net,x$Local_Password,b?call;/skin/x?close,(c),File#7", false);
    update();
    EXPECT_EQ(copies(), (std::vector<std::wstring>{L"ann@zandrel.net", L"File#7"}));
    update();
    EXPECT_EQ(log.count(L"WARNING Foreach"), 4);
    for (const std::wstring& line : log.lines()) EXPECT_EQ(line.find(L"secret"), std::wstring::npos) << ZToUTF8(line);
}

TEST_F(ForeachTest, OnlyCopiesAreDrawn) {
    foreach = add<ZForeachNode>(nullptr, L"Foreach", {{L"list", L"Names"}, {L"as", L"name"}});
    add(foreach, L"Gradient", {{L"from", L"#FF0000FF"}, {L"to", L"#FF0000FF"}});
    Layer layer(8, 8);
    update();
    render(layer);
    EXPECT_EQ(layer.pixel(4, 4)[0], 0);
    instance.set(L"Names", L"a", false);
    update();
    render(layer);
    EXPECT_EQ(layer.pixel(4, 4)[0], 255);
}

TEST_F(ForeachTest, ARenamedListIsFollowedAndBothNamesStayWatched) {
    build();
    instance.set(L"Names", L"a", false);
    instance.set(L"Others", L"x,y", false);
    update();
    foreach->setAttribute(L"list", L"Others");
    update();
    EXPECT_EQ(copies(), (std::vector<std::wstring>{L"x", L"y"}));
    ZLogCapture log;
    instance.unwatch(L"Names", engine.getNotifyListener(), 2);
    instance.unwatch(L"Others", engine.getNotifyListener(), 2);
    EXPECT_FALSE(log.contains(L"when it wasn't being watched"));
}

TEST_F(ForeachTest, ItemsWithoutAPrototypeWaitForOne) {
    foreach = add<ZForeachNode>(nullptr, L"Foreach", {{L"list", L"Names"}, {L"as", L"name"}});
    instance.set(L"Names", L"a,b", false);
    update();
    EXPECT_TRUE(foreach->getChildren().empty());
    add<ZDefaultNode>(foreach, L"page", {{L"title", L"item $name"}});
    update();
    EXPECT_EQ(copies(), (std::vector<std::wstring>{L"a", L"b"}));
}

namespace {

class CopyTest : public NodeTest {
protected:
    // The shared frame: a border with a top piece, somewhere else in the skin.
    ZTemplateNode* sharedFrame() {
        ZTemplateNode* tree = root;
        ZTemplateNode* frame = add(nullptr, L"Border");
        root = tree;
        add(frame, L"top");
        engine.nodes[L"/skin/border"] = frame;
        shared = frame;
        return frame;
    }
    ~CopyTest() override { delete shared; }
    ZTemplateNode* shared = nullptr;
};

}  // namespace

TEST_F(CopyTest, TheCloneTakesTheCopysOwnChildrenAtItsEnd) {
    sharedFrame();
    auto* copy = add<ZCopyNode>(nullptr, L"Copy", {{L"src", L"/skin/border"}});
    ZTemplateNode* inside = add(copy, L"inside");
    ZTemplateNode* wizard = add(inside, L"Wizard");
    ZTemplateNode* after = add(copy, L"footer");
    update();
    ASSERT_EQ(copy->getChildren().size(), 1u);
    ZTemplateNode* clone = copy->getChildren()[0];
    EXPECT_NE(clone, shared);
    EXPECT_EQ(clone->getParent(), copy);
    std::vector<std::wstring> ids;
    for (ZTemplateNode* child : clone->getChildren()) ids.push_back(child->getID());
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"top", L"inside", L"footer"}));
    EXPECT_EQ(inside->getParent(), clone);
    EXPECT_EQ(after->getParent(), clone);
    EXPECT_EQ(copy->getChild(L"border/inside/wizard"), wizard);
    EXPECT_EQ(shared->getChildren().size(), 1u);  // the source keeps its own
    EXPECT_EQ(copy->getAttribute(L"done"), L"true");
    // Once only.
    update();
    EXPECT_EQ(copy->getChildren().size(), 1u);
    EXPECT_EQ(clone->getChildren().size(), 3u);
}

TEST_F(CopyTest, APathThatNamesNoNodeIsTriedOnce) {
    auto* copy = add<ZCopyNode>(nullptr, L"Copy", {{L"src", L"/skin/border"}});
    update();
    EXPECT_EQ(copy->getAttribute(L"done"), L"true");
    sharedFrame();
    update();
    EXPECT_TRUE(copy->getChildren().empty());
    // Without a path nothing is tried at all.
    auto* idle = add<ZCopyNode>(copy, L"Copy");
    update();
    EXPECT_EQ(idle->getAttribute(L"done"), L"");
}

TEST_F(CopyTest, ASourceHoldingTheCopyIsRefused) {
    ZTemplateNode* frame = add(nullptr, L"Border");
    auto* copy = add<ZCopyNode>(add(frame, L"inside"), L"Copy", {{L"src", L"/skin/border"}});
    engine.nodes[L"/skin/border"] = frame;
    ZLogCapture log;
    update();
    update();
    EXPECT_TRUE(copy->getChildren().empty());
    EXPECT_EQ(log.count(L"inside itself"), 1);
}
