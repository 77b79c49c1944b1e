// Elements without a class of their own: edge pieces, pages and the two
// control elements "on" and "if".
#include "ZNodeTestKit.h"

#include "ZDefaultNode.h"
#include "ZGradientNode.h"

using namespace zantest;

namespace {

class DefaultNodeTest : public NodeTest {};

}  // namespace

TEST_F(DefaultNodeTest, EdgePiecesAlignTheirChildrenTowardTheInnerCorner) {
    struct Case {
        const wchar_t* element;
        const wchar_t* valign;
        const wchar_t* align;
    } cases[] = {
        {L"topright", L"bottom", L"left"}, {L"top", L"bottom", L""},      {L"BottomLeft", L"top", L"right"},
        {L"left", L"", L"right"},          {L"header", L"", L""},
    };
    for (const Case& c : cases) {
        delete root;
        root = nullptr;
        auto* piece = add<ZDefaultNode>(nullptr, c.element);
        ProbeNode* inner = probe(piece, 0, 0);
        inner->reads = L"$valign/$align";
        update();
        EXPECT_EQ(inner->seen, std::wstring(c.valign) + L"/" + c.align) << ZToUTF8(c.element);
    }
}

TEST_F(DefaultNodeTest, ControlElementsShowAndHideTheirChildren) {
    // "on": shown only while the event is the global one.
    auto* on = add<ZDefaultNode>(nullptr, L"ON", {{L"event", L"login"}});
    ProbeNode* child = probe(on, 0, 0);
    instance.set(L"g_event", L"LOGIN", false);
    update();
    EXPECT_FALSE(on->isHidden());
    instance.set(L"g_event", L"logout", false);
    update();
    EXPECT_TRUE(on->isHidden());
    EXPECT_EQ(child->updates, 1);  // a hidden "on" never updates its children

    struct Case {
        const wchar_t* cond;
        const wchar_t* watch;
        const wchar_t* equals;
        const wchar_t* value;  // of the watched variable; null: unset
        bool hidden;
    } cases[] = {
        {L"", L"", L"", nullptr, true},
        {L"false", L"Mode", L"big", nullptr, true},
        {L"true", L"Mode", L"big", L"small", false},
        {L"0", L"Mode", L"big", L"Big", false},
        {L"1+1", L"", L"", nullptr, false},
    };
    for (const Case& c : cases) {
        delete root;
        root = nullptr;
        instance.clear(L"Mode");
        if (c.value) instance.set(L"Mode", c.value, false);
        auto* condition = add<ZDefaultNode>(nullptr, L"if", {{L"cond", c.cond}, {L"watch", c.watch}, {L"equals", c.equals}});
        update();
        EXPECT_EQ(condition->isHidden(), c.hidden) << ZToUTF8(c.cond) << " " << (c.value ? ZToUTF8(c.value) : "unset");
    }

    // A new watch name removes the old watch first; a change of case keeps it.
    delete root;
    root = nullptr;
    ZLogCapture log;
    auto* watcher = add<ZDefaultNode>(nullptr, L"if", {{L"watch", L"A"}});
    update();
    watcher->setAttribute(L"watch", L"a");
    update();
    watcher->setAttribute(L"watch", L"B");
    update();
    EXPECT_FALSE(log.contains(L"when it wasn't being watched"));
    instance.unwatch(L"A", engine.getNotifyListener(), 2);
    instance.unwatch(L"B", engine.getNotifyListener(), 2);
    EXPECT_EQ(log.count(L"Unwatched 'A' when it wasn't being watched."), 1);
    EXPECT_EQ(log.count(L"when it wasn't being watched"), 1);
}

TEST_F(DefaultNodeTest, PagesKeepTheirTextsAndReportTheirChanges) {
    auto* page = add<ZDefaultNode>(nullptr, L"page", {{L"title", L"Welcome"}, {L"text", L"Hello"}, {L"onshow", L"(show)"}});
    EXPECT_TRUE(update());
    EXPECT_FALSE(update());
    EXPECT_EQ(page->getTitle(), L"Welcome");
    EXPECT_EQ(page->getOnShow(), L"(show)");
    page->setAttribute(L"title", L"Again");
    EXPECT_TRUE(update());
    delete root;
    root = nullptr;
    add<ZDefaultNode>(nullptr, L"sidebar", {{L"title", L"x"}});
    EXPECT_FALSE(update());
}

TEST_F(DefaultNodeTest, AGradientWithoutColoursTakesTheColourOfEmptyText) {
    add<ZGradientNode>(nullptr, L"Gradient");
    EXPECT_TRUE(update());
    Layer layer(2, 2);
    render(layer);
    EXPECT_EQ(std::vector<int>(layer.pixel(1, 1), layer.pixel(1, 1) + 4), (std::vector<int>{255, 0, 0, 255}));
}
