// The node base: identity and paths, the two passes, the walk and copies.
#include <gtest/gtest.h>

#include <memory>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZPortable_Text.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"
#include "ZTestNode.h"
#include "ZTestSupport.h"

using namespace zantest;

namespace {

class TemplateNodeTest : public ::testing::Test {
protected:
    void SetUp() override {
        installTestNodes();
        nodeJournal().clear();
    }
    ~TemplateNodeTest() override { delete root; }

    // Adds a node of the element below parent (the root when parent is null).
    ZTemplateNode* add(ZTemplateNode* parent, const std::wstring& element, const ZAttributeList& attributes = {}) {
        ZTemplateNode* node = ZTemplateFactory::create(&instance, &engine, parent, element, attributes);
        if (parent)
            parent->addChild(node);
        else
            root = node;
        return node;
    }

    ZTempDir dir;
    ZInstance instance{ZFromUTF8(dir.file("settings.ini"))};
    ZTestCommandEngine engine;
    ZTemplateNode* root = nullptr;
};

}  // namespace

TEST_F(TemplateNodeTest, IdentityAndPathsComeFromNamesAndIds) {
    add(nullptr, L"skin");
    ZTemplateNode* window = add(root, L"Window", {{L"id", L"login"}});
    ZTemplateNode* text = add(window, L"Text", {{L"id", L""}});
    EXPECT_EQ(root->getPath(), L"/skin");
    EXPECT_EQ(window->getID(), L"Window_login");
    EXPECT_EQ(window->getPath(), L"/skin/Window_login");
    EXPECT_EQ(text->getID(), L"Text");
    EXPECT_EQ(text->getParentPath(), L"/skin/Window_login");
}

TEST_F(TemplateNodeTest, GetChildResolvesStepsWithoutRegardToCase) {
    add(nullptr, L"skin");
    ZTemplateNode* a = add(root, L"a");
    add(root, L"a", {{L"id", L""}});  // same ID: reachable only through the first
    ZTemplateNode* b = add(a, L"b");
    ZTemplateNode* c = add(b, L"Col", {{L"id", L"x"}});
    EXPECT_EQ(root->getChild(L"a"), a);
    EXPECT_EQ(root->getChild(L"a/"), a);
    EXPECT_EQ(root->getChild(L"A/B/col_X"), c);
    EXPECT_EQ(root->getChild(L"a/nothing"), nullptr);
    EXPECT_EQ(root->getChild(L"missing"), nullptr);
    EXPECT_ZABORT(root->getChild(L"/a"));
    EXPECT_ZABORT(root->getChild(L""));
}

TEST_F(TemplateNodeTest, SetAttributeReplacesByNameOrAddsInFront) {
    add(nullptr, L"Text", {{L"text", L"old"}, {L"width", L"5"}});
    root->setAttribute(L"TEXT", L"new");
    EXPECT_EQ(root->getAttributes().front(), std::make_pair(std::wstring(L"text"), std::wstring(L"new")));
    root->setAttribute(L"color", L"#ff0000");
    EXPECT_EQ(root->getAttributes().front().first, L"color");
    EXPECT_EQ(root->getAttribute(L"Width"), L"5");
    EXPECT_EQ(root->getAttribute(L"missing"), L"");
    EXPECT_EQ(root->getAttributes().size(), 3u);
}

TEST_F(TemplateNodeTest, UpdateVisitsChildrenAndAnyChangeCounts) {
    add(nullptr, L"skin", {{L"probe", L"$path"}});
    ZTemplateNode* w = add(root, L"Window", {{L"id", L"w"}, {L"width", L"40"}});
    add(w, L"Text", {{L"changed", L"true"}, {L"probe", L"{$width}:$path"}});
    ZAttributeStack stack(&instance, testNotifyHandle());
    EXPECT_TRUE(root->update(stack));
    EXPECT_EQ(stack.depth(), 1);
    const std::vector<std::wstring> expected = {
        L"pre skin",      L"children skin", L"pre Window_w",  L"children Window_w",
        L"pre Text",      L"children Text", L"post Text",     L"Text probe=40:/skin/Window_w/Text",
        L"post Window_w", L"post skin",     L"skin probe=/skin",
    };
    EXPECT_EQ(nodeJournal(), expected);
}

TEST_F(TemplateNodeTest, PreStepFalseLeavesTheSubtreeOutAndThePostStepDecides) {
    add(nullptr, L"skin", {{L"pre", L"false"}});
    add(root, L"Text", {{L"changed", L"true"}});
    ZAttributeStack stack(&instance, testNotifyHandle());
    EXPECT_FALSE(root->update(stack));
    EXPECT_EQ(nodeJournal(), (std::vector<std::wstring>{L"pre skin", L"post skin"}));

    root->setAttribute(L"changed", L"true");
    EXPECT_TRUE(root->update(stack));
}

TEST_F(TemplateNodeTest, RenderSkipsSubtreeAndPostStepWhenPreStepSaysNo) {
    add(nullptr, L"skin");
    ZTemplateNode* hidden = add(root, L"Window", {{L"prerender", L"false"}});
    add(hidden, L"Text");
    add(root, L"Image");
    ZImageStack surfaces;
    root->render(surfaces);
    const std::vector<std::wstring> expected = {L"render skin", L"render Window", L"render Image",
                                                L"postrender Image", L"postrender skin"};
    EXPECT_EQ(nodeJournal(), expected);
}

TEST_F(TemplateNodeTest, GetNextWalksTheSubtreeInDocumentOrder) {
    add(nullptr, L"skin");
    ZTemplateNode* w = add(root, L"Window");
    ZTemplateNode* a = add(w, L"a");
    ZTemplateNode* a1 = add(a, L"a1");
    ZTemplateNode* b = add(w, L"b");
    ZTemplateNode* after = add(root, L"after");
    std::vector<ZTemplateNode*> walk;
    for (ZTemplateNode* n = w->getNext(w); n; n = n->getNext(w)) walk.push_back(n);
    EXPECT_EQ(walk, (std::vector<ZTemplateNode*>{a, a1, b}));
    // The last node of stop's subtree ends the walk though stop has a sibling.
    EXPECT_EQ(b->getNext(w), nullptr);
    EXPECT_EQ(after->getNext(after), nullptr);
    EXPECT_EQ(a1->getNext(root), b);
}

TEST_F(TemplateNodeTest, CalcMinSizeAccumulatesOverChildren) {
    add(nullptr, L"skin", {{L"minwidth", L"1"}});
    add(root, L"a", {{L"minwidth", L"10"}, {L"minheight", L"3"}});
    add(root, L"b", {{L"minheight", L"4"}});
    int width = 0;
    int height = 0;
    root->calcMinSize(width, height);
    EXPECT_EQ(width, 11);
    EXPECT_EQ(height, 7);
}

TEST_F(TemplateNodeTest, CloneChoosesTheClassAgainAndCopiesRawAttributes) {
    add(nullptr, L"skin");
    ZTemplateNode* list = add(root, L"LIST", {{L"id", L"l"}, {L"text", L"$value"}});
    add(list, L"col", {{L"id", L"c"}});
    static_cast<ZTestNode*>(list)->runtimeState = 7;

    std::unique_ptr<ZTemplateNode> copy(list->clone(root));
    auto* typed = dynamic_cast<ZTestListNode*>(copy.get());
    ASSERT_NE(typed, nullptr);
    EXPECT_NE(copy.get(), list);
    EXPECT_EQ(typed->entry, ZTN_LIST);
    EXPECT_EQ(typed->runtimeState, 0);
    EXPECT_EQ(copy->getName(), L"LIST");
    EXPECT_EQ(copy->getParent(), root);
    EXPECT_EQ(copy->getAttributes(), list->getAttributes());
    ASSERT_EQ(copy->getChildren().size(), 1u);
    ZTemplateNode* col = copy->getChildren().front();
    EXPECT_EQ(static_cast<ZTestNode*>(col)->entry, ZTN_COL);
    EXPECT_EQ(col->getParent(), copy.get());
    EXPECT_EQ(col->getPath(), L"/skin/LIST_l/col_c");
    EXPECT_EQ(root->getChildren().size(), 1u);  // the caller links the copy
}

TEST_F(TemplateNodeTest, ConstructorNeedsStoreAndEngine) {
    ZLogCapture log;
    EXPECT_ZABORT(ZTemplateNode(nullptr, &engine, nullptr));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (instance && commandEngine)"));
}
