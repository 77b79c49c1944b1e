// Images, gradients, progress bars, text and buttons drawn into a memory layer.
#include "ZNodeTestKit.h"

#include "ZButtonNode.h"
#include "ZGradientNode.h"
#include "ZImageNode.h"
#include "ZProgressNode.h"
#include "ZTextNode.h"

using namespace zantest;

namespace {

class DrawingNodesTest : public NodeTest {
protected:
    static bool is(const unsigned char* p, int r, int g, int b, int a) {
        return p[0] == r && p[1] == g && p[2] == b && p[3] == a;
    }
};

}  // namespace

TEST_F(DrawingNodesTest, ImageFollowsItsStoreVariable) {
    auto* image = add<ZImageNode>(nullptr, L"Image", {{L"src", L"$picture"}, {L"x", L"2"}, {L"y", L"3"}});
    instance.set(L"picture", L"Pic_A", false);
    // Not in the store yet: nothing drawn, no size.
    EXPECT_TRUE(update());
    int w = 0, h = 0;
    image->calcMinSize(w, h);
    EXPECT_EQ(w, 0);
    Layer empty(10, 10);
    render(empty);
    EXPECT_EQ(empty.pixel(3, 4)[3], 0);

    storeImage(L"Pic_A", 4, 4, ZColor(255, 0, 0, 255));
    Layer layer(10, 10);
    render(layer);
    EXPECT_TRUE(is(layer.pixel(2, 3), 255, 0, 0, 255));
    EXPECT_TRUE(is(layer.pixel(5, 6), 255, 0, 0, 255));
    EXPECT_EQ(layer.pixel(6, 7)[3], 0);
    EXPECT_EQ(layer.pixel(1, 3)[3], 0);

    // A new source moves the watch: unwatching the old one finds it watched.
    ZLogCapture log;
    storeImage(L"Pic_B", 2, 2, ZColor(0, 255, 0, 255));
    instance.set(L"picture", L"Pic_B", false);
    EXPECT_TRUE(update());
    w = h = 0;
    image->calcMinSize(w, h);
    EXPECT_EQ(w, 2);
    EXPECT_FALSE(log.contains(L"when it wasn't being watched"));
    // Disabled: the watch goes away, switching back registers it again.
    image->setAttribute(L"disabled", L"true");
    update();
    image->setAttribute(L"disabled", L"false");
    update();
    EXPECT_FALSE(log.contains(L"when it wasn't being watched"));
}

TEST_F(DrawingNodesTest, GradientAndProgressDrawWhatTheyRead) {
    add<ZGradientNode>(nullptr, L"Gradient", {{L"from", L"#000000FF"}, {L"to", L"#FF0000FF"}, {L"vertical", L"1"}});
    EXPECT_TRUE(update());
    EXPECT_FALSE(update());
    Layer layer(4, 11);
    render(layer);
    EXPECT_TRUE(is(layer.pixel(0, 0), 0, 0, 0, 255));
    EXPECT_GT(layer.pixel(0, 10)[0], 200);
    EXPECT_EQ(layer.pixel(0, 10)[0], layer.pixel(3, 10)[0]);  // rows, not columns

    delete root;
    root = nullptr;
    auto* bar = add<ZProgressNode>(nullptr, L"Progress",
                                   {{L"src", L"Upload_Done"}, {L"width", L"200"}, {L"x", L"10"}, {L"y", L"1"}});
    instance.set(L"color", L"#00FF00", false);
    instance.set(L"Upload_Done", std::int64_t{25}, false);
    update();
    Layer strip(400, 3);
    render(strip);
    auto greenRun = [](const Layer& l) {
        int first = -1, count = 0;
        for (int x = 0; x < l.format.width; ++x)
            if (l.pixel(x, 1)[1] == 255) {
                if (first < 0) first = x;
                ++count;
            }
        return std::make_pair(first, count);
    };
    EXPECT_EQ(greenRun(strip), std::make_pair(160, 50));  // ends at x + width
    // A zero scale keeps the previous one; 150 draws past the start.
    bar->setAttribute(L"scale", L"0");
    instance.set(L"Upload_Done", std::int64_t{150}, false);
    update();
    Layer longer(400, 3);
    render(longer);
    EXPECT_EQ(greenRun(longer), std::make_pair(0, 210));  // 300 pixels, clipped at the left edge
}

TEST_F(DrawingNodesTest, TextMeasuresAndWatchesItsVariables) {
    auto* text = add<ZTextNode>(nullptr, L"Text", {{L"text", L"Hello"}, {L"font", L"16,x,#0000FF"},
                                                    {L"watch", L"Client_Status, Logon_Status"}});
    EXPECT_TRUE(update());
    int w = 0, h = 0;
    text->calcMinSize(w, h);
    EXPECT_EQ(h, 16);
    EXPECT_GT(w, 20);
    Layer layer(100, 20);
    render(layer);
    bool blue = false;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 100; ++x) blue |= layer.pixel(x, y)[2] == 255 && layer.pixel(x, y)[3] > 0;
    EXPECT_TRUE(blue);

    // A new list unwatches the old names first (no warning for either).
    ZLogCapture log;
    text->setAttribute(L"watch", L"Other");
    EXPECT_TRUE(update());
    EXPECT_FALSE(log.contains(L"when it wasn't being watched"));

    // An empty text needs no room.
    text->setAttribute(L"text", L"");
    update();
    w = h = 0;
    text->calcMinSize(w, h);
    EXPECT_EQ(w + h, 0);
}

TEST_F(DrawingNodesTest, ButtonsIssueTheirCommandsAndDrawTheirFrame) {
    // Frames of 10 x 10: columns normal, over, disabled; row 1 pushed.
    std::vector<unsigned char> bytes(30 * 20 * 4);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) {
            unsigned char* p = &bytes[(y * 30 + x) * 4];
            p[0] = static_cast<unsigned char>(x / 10 * 100);
            p[1] = static_cast<unsigned char>(y / 10 * 100);
            p[3] = 255;
        }
    ZImageTools_instanceWrite(&instance, L"btn", ZImageFormat{ZIT_RGBA32, 30, 20}, bytes.data());

    auto* button = add<ZButtonNode>(nullptr, L"Button", {{L"src", L"btn(0,0,10,10)"},
                                                          {L"command", L"(/skin/window_login?open)"}});
    update();
    Layer layer(20, 20);
    render(layer);
    EXPECT_TRUE(is(layer.pixel(5, 5), 0, 0, 0, 255));
    EXPECT_EQ(layer.handlers[5 * 20 + 5], button);
    EXPECT_EQ(layer.handlers[15 * 20 + 15], nullptr);  // only its frame's area
    EXPECT_EQ(button->onMouseoverChanged(true), 1);
    render(layer);
    EXPECT_TRUE(is(layer.pixel(5, 5), 100, 0, 0, 255));

    EXPECT_EQ(button->onLButtonDown(nullptr, 1, 1), 0);
    EXPECT_TRUE(engine.commands.empty() || engine.commands == std::vector<std::wstring>{L""});
    engine.commands.clear();
    EXPECT_EQ(button->onLButtonUp(nullptr, 1, 1), 0);
    EXPECT_EQ(engine.commands, (std::vector<std::wstring>{L"(/skin/window_login?open)", L""}));

    // A push button: down command on the first release, up on the second.
    button->setAttribute(L"type", L"push");
    button->setAttribute(L"downcommand", L"(down)");
    button->setAttribute(L"upcommand", L"(up)");
    update();
    engine.commands.clear();
    button->onLButtonDown(nullptr, 1, 1);
    EXPECT_TRUE(engine.commands.empty());
    EXPECT_EQ(button->onLButtonUp(nullptr, 1, 1), 1);
    render(layer);
    EXPECT_TRUE(is(layer.pixel(5, 5), 100, 100, 0, 255));  // over, pushed
    EXPECT_EQ(button->onLButtonUp(nullptr, 1, 1), 1);
    EXPECT_EQ(engine.commands, (std::vector<std::wstring>{L"(down)", L"(up)"}));

    // Disabled: nothing issued, the disabled frame even under the pointer.
    button->setAttribute(L"disabled", L"true");
    update();
    engine.commands.clear();
    button->onLButtonUp(nullptr, 1, 1);
    button->onLButtonDblClk(nullptr, 1, 1);
    EXPECT_TRUE(engine.commands.empty());
    render(layer);
    EXPECT_TRUE(is(layer.pixel(5, 5), 200, 0, 0, 255));
}

TEST_F(DrawingNodesTest, ButtonWithoutImageTakesItsParentsAreaAndCentresTheCaption) {
    auto* button = add<ZButtonNode>(nullptr, L"Button", {{L"text", L"OK"}, {L"font", L"13,c"}});
    update();
    Layer layer(80, 30);
    render(layer);
    EXPECT_EQ(layer.handlers[0], button);
    EXPECT_EQ(layer.handlers[80 * 30 - 1], button);
    int top = 30, bottom = 0;
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 80; ++x)
            if (layer.pixel(x, y)[3]) top = std::min(top, y), bottom = std::max(bottom, y + 1);
    EXPECT_GE(top, 8);
    EXPECT_LE(bottom, 21);
    EXPECT_LT(top, bottom);
}
