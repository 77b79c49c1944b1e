// The scroll bar's position, drag and jump to the end, over a memory layer.
#include "ZNodeTestKit.h"

#include "ZScrollBarNode.h"

using namespace zantest;

namespace {

class ScrollBarTest : public NodeTest {
protected:
    ScrollBarTest() {
        storeImage(L"handle.png", 10, 20, ZColor(0, 0, 255, 255));
        storeImage(L"back.png", 2, 2, ZColor(200, 200, 200, 255));
    }
    ZScrollBarNode* makeBar(std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> attributes) {
        bar = add<ZScrollBarNode>(nullptr, L"ScrollBar", attributes);
        content = probe(bar, 5, 5);
        content->reads = L"$pos";
        update();
        render(layer);
        return bar;
    }
    ZScrollBarNode* bar = nullptr;
    ProbeNode* content = nullptr;
    Layer layer{50, 100};
};

}  // namespace

TEST_F(ScrollBarTest, PressesPublishThePositionAlongTheTrack) {
    makeBar({{L"name", L"pos"}, {L"handlesrc", L"handle.png"}, {L"backsrc", L"back.png"}});
    EXPECT_EQ(content->drawn, (ZRect{0, 0, 40, 100}));  // the strip takes the handle's width
    EXPECT_EQ(layer.handlers[10 * 50 + 45], bar);
    EXPECT_EQ(layer.pixel(45, 5)[2], 255);  // the handle at the top
    struct Case {
        int y;
        const wchar_t* published;
    } cases[] = {{40, L"500"}, {-7, L"0"}, {300, L"1000"}, {20, L"250"}};
    for (const Case& c : cases) {
        EXPECT_EQ(bar->onLButtonDown(nullptr, 45, c.y), 6);
        update();
        EXPECT_EQ(content->seen, c.published) << "press at " << c.y;
    }
    EXPECT_EQ(bar->onLButtonUp(nullptr, 45, 80), 10);
    update();
    EXPECT_EQ(content->seen, L"1000");
    render(layer);
    EXPECT_EQ(layer.pixel(45, 95)[2], 255);  // the handle at the bottom
}

TEST_F(ScrollBarTest, WithoutBackgroundItTakesNoInputAndAShortTrackStaysAtZero) {
    makeBar({{L"name", L"pos"}, {L"handlesrc", L"handle.png"}});
    for (IZInputHandler* handler : layer.handlers) EXPECT_NE(handler, bar);
    Layer shortLayer(50, 20);  // handle as long as the bar
    render(shortLayer);
    bar->onLButtonDown(nullptr, 45, 15);
    update();
    EXPECT_EQ(content->seen, L"0");
}

TEST_F(ScrollBarTest, AWatchedQueueMovesTheHandleToTheEnd) {
    instance.enqueue(L"Chat_Queue", "first");
    makeBar({{L"name", L"pos"}, {L"handlesrc", L"handle.png"}, {L"watch", L"Chat_Queue"}});
    update();
    EXPECT_EQ(content->seen, L"1000");  // a non-empty queue at the first update
    bar->onLButtonDown(nullptr, 45, 0);
    update();
    EXPECT_EQ(content->seen, L"0");
    instance.enqueue(L"Chat_Queue", "second");
    update();
    update();
    EXPECT_EQ(content->seen, L"1000");
    // Without a name nothing is published, but the handle still moves.
    bar->setAttribute(L"name", L"");
    update();
    bar->onLButtonDown(nullptr, 45, 0);
    EXPECT_EQ(bar->getFrac(), 0.0f);
}
