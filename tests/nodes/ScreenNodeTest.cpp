// The shared-screen view over a store image: zoom, fit, dirty patches, the
// remote pointer, input commands for the screen service, and screens or
// pointer positions a peer made too large.
#include "ZNodeTestKit.h"

#include <map>
#include <memory>
#include <optional>

#include "ZHTTPHeaders.h"
#include "ZScreenNode.h"
#include "ZScrollBarNode.h"

using namespace zantest;

namespace {

const std::wstring kBuddy = L"bob@other.org";
const std::wstring kImage = kBuddy + L"_Screen_Image";
const wchar_t* const kQueue = L"ZScreenService_commandQueue";

// Finds the nodes a test names by path.
class PathEngine : public RecordingEngine {
public:
    ZTemplateNode* getNode(const std::wstring& path, ZTemplateNode*) override {
        const auto found = nodes.find(path);
        return found == nodes.end() ? nullptr : found->second;
    }
    std::map<std::wstring, ZTemplateNode*> nodes;
};

bool isColour(const unsigned char* p, int r, int g, int b) { return p[0] == r && p[1] == g && p[2] == b && p[3] == 255; }
bool isGrey(const unsigned char* p) { return isColour(p, 0x66, 0x66, 0x66); }
bool allGrey(const Layer& layer) {
    for (int y = 0; y < layer.format.height; ++y)
        for (int x = 0; x < layer.format.width; ++x)
            if (!isGrey(layer.pixel(x, y))) return false;
    return true;
}

class ScreenNodeTest : public NodeTest {
protected:
    ScreenNodeTest() { paths.nodes[L"/skin/viewer/zoom"] = bar.get(); }

    ZScreenNode* makeScreen(const wchar_t* zoom, const std::wstring& guid = kBuddy) {
        delete root;
        ZAttributeList list{{L"zoomfactor", zoom}, {L"guid", guid}, {L"scrollpath", L"/skin/viewer/zoom"}};
        root = ZTemplateFactory::create(&instance, &paths, nullptr, L"Screen", list);
        screen = dynamic_cast<ZScreenNode*>(root);
        EXPECT_NE(screen, nullptr);
        screen->setClock([this] { return now; });
        screen->setButtonTest([this] { return buttonDown; });
        update();
        return screen;
    }
    // The first render of a new screen size fits it; the next update puts
    // the skin's zoom back, and the render after it shows that zoom.
    void show(Layer& layer) {
        render(layer);
        update();
        render(layer);
    }
    // A whole screen of one colour, with the area the sharer reports changed.
    void storeScreen(int width, int height, ZColor colour, const std::string& dirty) {
        std::vector<unsigned char> bytes(static_cast<size_t>(width) * height * 3);
        for (size_t i = 0; i < bytes.size(); i += 3) bytes[i] = colour.r, bytes[i + 1] = colour.g, bytes[i + 2] = colour.b;
        ZImageTools_instanceWrite(&instance, kImage, ZImageFormat{ZIT_RGB24, width, height}, bytes.data());
        instance.set(kImage + L"_DirtyRect", dirty, false);
    }
    std::vector<ZHTTPHeaders> sent() {
        std::vector<ZHTTPHeaders> commands;
        std::string bytes;
        while (instance.dequeue(kQueue, bytes)) {
            commands.emplace_back();
            commands.back().deserialize(bytes);
        }
        return commands;
    }
    // The bounding box of the pixels of a colour; empty when there is none.
    static ZRect boxOf(const Layer& layer, int r, int g, int b) {
        ZRect box{INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
        for (int y = 0; y < layer.format.height; ++y)
            for (int x = 0; x < layer.format.width; ++x)
                if (isColour(layer.pixel(x, y), r, g, b)) {
                    box = ZRect{std::min(box.left, x), std::min(box.top, y), std::max(box.right, x + 1),
                                std::max(box.bottom, y + 1)};
                }
        return box.left == INT32_MAX ? ZRect{} : box;
    }

    PathEngine paths;
    std::unique_ptr<ZScrollBarNode> bar = std::make_unique<ZScrollBarNode>(&instance, &engine, nullptr);
    ZScreenNode* screen = nullptr;
    std::int64_t now = 1000000;
    bool buttonDown = false;
};

}  // namespace

TEST_F(ScreenNodeTest, ZoomSizesTheCopyAndCentresIt) {
    struct Case {
        int width, height;
        const wchar_t* zoom;
        int copyWidth, copyHeight;
    } cases[] = {
        {1024, 768, L"500", 1075, 806},  // 1.05 times
        {1024, 768, L"1500", 2099, 1574},  // above 1000 acts as 1000
        {1024, 768, L"-20", 51, 38},  // below 0 acts as 0
        {1000, 1000, L"225", 500, 500},
    };
    for (const Case& c : cases) {
        makeScreen(c.zoom);
        storeScreen(c.width, c.height, ZColor(0, 200, 0, 255), "");
        Layer layer(400, 300);
        show(layer);
        EXPECT_EQ(screen->getCopyFormat(), (ZImageFormat{ZIT_RGB24, c.copyWidth, c.copyHeight})) << c.zoom;
        int w = 0, h = 0;
        screen->calcMinSize(w, h);
        EXPECT_EQ(std::make_pair(w, h), std::make_pair(c.copyWidth, c.copyHeight));
        // The screen's centre at the view's centre; grey around a smaller copy.
        EXPECT_TRUE(isColour(layer.pixel(200, 150), 0, 200, 0)) << c.zoom;
        EXPECT_EQ(isGrey(layer.pixel(2, 2)), c.copyWidth < 400) << c.zoom;
        EXPECT_EQ(layer.handlers[150 * 400 + 200], screen);
    }
}

TEST_F(ScreenNodeTest, FitZoomsToTheViewAndMovesTheScrollBar) {
    makeScreen(L"500");
    storeScreen(1280, 1024, ZColor(0, 0, 0, 255), "");
    Layer layer(640, 400);
    render(layer);  // a new screen size: fitted (height-limited, 0.390625)
    EXPECT_EQ(screen->getZoomFactor(), 170);
    EXPECT_FLOAT_EQ(bar->getFrac(), 0.1703125f);
    // The command engine's "fit" reaches the node through its interface.
    bar->setFrac(0.0f);
    IZScreenControl* control = dynamic_cast<IZScreenControl*>(root);
    ASSERT_NE(control, nullptr);
    control->fit();
    EXPECT_FLOAT_EQ(bar->getFrac(), 0.1703125f);
}

TEST_F(ScreenNodeTest, DirtyRectanglesPatchTheirScaledArea) {
    makeScreen(L"225");  // 1000 x 1000 shown at 500 x 500
    storeScreen(1000, 1000, ZColor(255, 255, 255, 255), "");
    Layer layer(500, 500);
    show(layer);
    ASSERT_EQ(screen->getCopyFormat(), (ZImageFormat{ZIT_RGB24, 500, 500}));
    struct Case {
        std::string dirty;
        ZRect patched;  // red in the view, which shows the copy at (0, 0)
        int warnings;
    } cases[] = {
        {"(10,10,20,20)", {5, 5, 10, 10}, 0},
        {"(11,11,21,21)", {5, 5, 11, 11}, 0},  // the right and bottom round up
        {"(990,990,1000,1000)", {495, 495, 500, 500}, 0},
        {"(-10,-10,20,20)", {0, 0, 10, 10}, 1},  // outside the screen: warned, cut to it
        {"not a rectangle", {}, 0},
    };
    for (const Case& c : cases) {
        ZLogCapture log;
        storeScreen(1000, 1000, ZColor(255, 0, 0, 255), c.dirty);  // red everywhere, only the dirty part copied
        render(layer);
        EXPECT_EQ(boxOf(layer, 255, 0, 0), c.patched) << c.dirty;
        EXPECT_EQ(log.count(L"ZRectContains( screenRect, dirtyRect )"), c.warnings) << c.dirty;
        EXPECT_FALSE(instance.isSet(kImage + L"_DirtyRect"));
        storeScreen(1000, 1000, ZColor(255, 255, 255, 255), "(0,0,1000,1000)");
        render(layer);
        ASSERT_EQ(boxOf(layer, 255, 0, 0), ZRect{});
    }
}

TEST_F(ScreenNodeTest, InputBecomesScreenCommands) {
    makeScreen(L"225");
    storeScreen(1000, 800, ZColor(0, 0, 0, 255), "");  // shown at 500 x 400
    Layer layer(400, 300);
    show(layer);
    ASSERT_EQ(std::make_pair(screen->getScrollX(), screen->getScrollY()), std::make_pair(250, 200));
    enum Action { kDown, kUp, kDblClk, kRight, kMove, kKeyDown, kKeyUp };
    struct Case {
        const char* what;
        bool control, button;
        Action action;
        int x, y;  // or the virtual key in x
        int result;
        const wchar_t* method;  // null: nothing sent
        std::vector<std::pair<const wchar_t*, const wchar_t*>> headers;
        int scrollX, scrollY;  // afterwards
    } cases[] = {
        {"press at the centre", true, false, kDown, 200, 150, 0, L"LBUTTONDOWN", {{L"X", L"500"}, {L"Y", L"400"}}, 250, 200},
        {"release", true, false, kUp, 200, 150, 0, L"LBUTTONUP", {{L"X", L"500"}, {L"Y", L"400"}}, 250, 200},
        {"double click", true, false, kDblClk, 0, 0, 0, L"LBUTTONDBLCLK", {{L"X", L"100"}, {L"Y", L"100"}}, 250, 200},
        {"right press, no control", false, false, kRight, 200, 150, 0, L"RBUTTONDOWN", {{L"X", L"500"}, {L"Y", L"400"}}, 250, 200},
        {"key, no control", false, false, kKeyDown, 0x41, 0, 0, L"KEYDOWN", {{L"Virtual-Key", L"65"}}, 250, 200},
        {"key codes unchanged", true, false, kKeyUp, 0x1234, 0, 0, L"KEYUP", {{L"Virtual-Key", L"4660"}}, 250, 200},
        {"pan: press", false, false, kDown, 200, 150, 4, nullptr, {}, 250, 200},
        {"pan: drag", false, true, kMove, 190, 140, 1, nullptr, {}, 260, 210},
        {"pan: release", false, true, kUp, 180, 130, 9, nullptr, {}, 270, 220},
        {"centre on a double click", false, false, kDblClk, 100, 100, 9, nullptr, {}, 170, 170},
    };
    for (const Case& c : cases) {
        instance.set(kBuddy + L"_Screen_Have_Control", std::int64_t{c.control}, false);
        buttonDown = c.button;
        int result = -1;
        switch (c.action) {
        case kDown: result = screen->onLButtonDown(nullptr, c.x, c.y); break;
        case kUp: result = screen->onLButtonUp(nullptr, c.x, c.y); break;
        case kDblClk: result = screen->onLButtonDblClk(nullptr, c.x, c.y); break;
        case kRight: result = screen->onRButtonDown(nullptr, c.x, c.y); break;
        case kMove: result = screen->onMouseMove(nullptr, c.x, c.y); break;
        case kKeyDown: result = screen->onKeyDown(nullptr, c.x); break;
        case kKeyUp: result = screen->onKeyUp(nullptr, c.x); break;
        }
        EXPECT_EQ(result, c.result) << c.what;
        const std::vector<ZHTTPHeaders> commands = sent();
        ASSERT_EQ(commands.size(), c.method ? 1u : 0u) << c.what;
        if (c.method) {
            EXPECT_EQ(commands[0].getMethod(), c.method) << c.what;
            EXPECT_EQ(commands[0].get(L"Buddy-GUID"), kBuddy);
            for (const auto& [name, value] : c.headers) EXPECT_EQ(commands[0].get(name), value) << c.what << " " << name;
        }
        EXPECT_EQ(std::make_pair(screen->getScrollX(), screen->getScrollY()), std::make_pair(c.scrollX, c.scrollY))
            << c.what;
    }
    // The image follows: its left edge at 200 - 170, its top above the view.
    storeScreen(1000, 800, ZColor(0, 0, 0, 255), "");
    render(layer);
    EXPECT_TRUE(isGrey(layer.pixel(29, 0)));
    EXPECT_TRUE(isColour(layer.pixel(30, 0), 0, 0, 0));
    EXPECT_TRUE(isColour(layer.pixel(399, 299), 0, 0, 0));
}

TEST_F(ScreenNodeTest, MouseMovesAreSentAtMostEveryQuarterSecond) {
    makeScreen(L"225");
    storeScreen(1000, 800, ZColor(0, 0, 0, 255), "");
    Layer layer(400, 300);
    show(layer);
    instance.set(kBuddy + L"_Screen_Have_Control", std::int64_t{1}, false);
    struct Case {
        std::int64_t at;
        bool sent;
    } cases[] = {{1000000, true},  {1100000, false}, {1250000, false},
                 {1250001, true},  {1300000, false}, {1500002, true}};
    for (const Case& c : cases) {
        now = c.at;
        EXPECT_EQ(screen->onMouseMove(nullptr, 200, 150), 0);
        const std::vector<ZHTTPHeaders> commands = sent();
        ASSERT_EQ(commands.size(), c.sent ? 1u : 0u) << c.at;
        if (c.sent) {
            EXPECT_EQ(commands[0].getMethod(), L"MOUSEMOVE");
            EXPECT_EQ(commands[0].get(L"X"), L"500");
        }
    }
}

TEST_F(ScreenNodeTest, GuidChangeMovesTheThreeWatches) {
    makeScreen(L"500");
    const std::wstring ann = L"ann@zandrel.net";
    root->setAttribute(L"guid", ann);
    EXPECT_TRUE(update());
    EXPECT_FALSE(update());
    ZLogCapture log;
    for (const wchar_t* suffix : {L"_Screen_Image", L"_Screen_Cursor_Y", L"_Screen_Have_Control"}) {
        instance.unwatch(kBuddy + suffix, engine.getNotifyListener(), 1);
        instance.unwatch(ann + suffix, engine.getNotifyListener(), 1);
    }
    EXPECT_EQ(log.count(L"when it wasn't being watched"), 3);
    EXPECT_EQ(log.count(L"Unwatched '" + kBuddy), 3);

    // An empty identifier watches nothing and shows grey.
    log.clear();
    makeScreen(L"500", L"");
    storeScreen(100, 100, ZColor(0, 0, 0, 255), "");
    Layer layer(100, 100);
    show(layer);
    EXPECT_TRUE(allGrey(layer));
    instance.unwatch(L"_Screen_Image", engine.getNotifyListener(), 1);
    EXPECT_EQ(log.count(L"when it wasn't being watched"), 1);
}

TEST_F(ScreenNodeTest, UnreadableImageAfterAZoomChangeShowsGrey) {
    makeScreen(L"500");
    storeScreen(200, 100, ZColor(0, 0, 255, 255), "");
    Layer layer(300, 200);
    show(layer);
    ASSERT_TRUE(isColour(layer.pixel(150, 100), 0, 0, 255));
    instance.set(kImage + L"_Format", std::string("junk"), false);
    root->setAttribute(L"zoomfactor", L"225");
    update();
    render(layer);
    EXPECT_TRUE(allGrey(layer));
    // Readable again: the copy is rebuilt at the new zoom.
    storeScreen(200, 100, ZColor(0, 0, 255, 255), "");
    render(layer);
    EXPECT_EQ(screen->getCopyFormat(), (ZImageFormat{ZIT_RGB24, 100, 50}));
    EXPECT_TRUE(isColour(layer.pixel(150, 100), 0, 0, 255));
}

TEST_F(ScreenNodeTest, PointerIsHeldToTheScreen) {
    makeScreen(L"225");  // 100 x 100 shown at 50 x 50 from (75, 75)
    storeScreen(100, 100, ZColor(255, 255, 255, 255), "");
    storeImage(L"cursor.png", 20, 20, ZColor(255, 0, 0, 255));  // drawn at 10 x 10
    Layer layer(200, 200);
    show(layer);
    const std::int64_t huge = std::int64_t{1} << 40;
    struct Case {
        std::int64_t x, y;
        bool control, mouseover;
        ZRect drawn;
    } cases[] = {
        {50, 50, false, false, {100, 100, 110, 110}},
        {huge, -huge, false, false, {125, 75, 135, 85}},
        {-huge, huge, false, true, {75, 125, 85, 135}},
        {INT64_MAX, INT64_MIN, true, false, {125, 75, 135, 85}},
        {50, 50, true, true, {}},  // the local pointer stands in for it
    };
    for (const Case& c : cases) {
        instance.set(kBuddy + L"_Screen_Cursor_X", c.x, false);
        instance.set(kBuddy + L"_Screen_Cursor_Y", c.y, false);
        instance.set(kBuddy + L"_Screen_Have_Control", std::int64_t{c.control}, false);
        screen->onMouseoverChanged(c.mouseover);
        Layer fresh(200, 200);
        render(fresh);
        EXPECT_EQ(boxOf(fresh, 255, 0, 0), c.drawn) << c.x << "," << c.y;
    }
}

TEST_F(ScreenNodeTest, OversizedScreensShowGreyWithOneWarning) {
    struct Case {
        int width, height;
        const wchar_t* zoom;
    } cases[] = {
        {8193, 1, L"0"},  // wider than any screen
        {8192, 1000, L"1000"},  // a zoomed copy of 16793 x 2050 (103 MB)
    };
    for (const Case& c : cases) {
        makeScreen(c.zoom);
        ZLogCapture log;
        storeScreen(c.width, c.height, ZColor(0, 0, 255, 255), "");
        Layer layer(400, 300);
        show(layer);
        render(layer);
        storeScreen(c.width, c.height, ZColor(0, 0, 255, 255), "");
        render(layer);
        EXPECT_EQ(log.count(L"is too large to show, showing grey"), 1) << c.width;
        EXPECT_TRUE(allGrey(layer)) << c.width;
        EXPECT_EQ(screen->getCopyFormat(), ZImageFormat{});
    }
    // At a smaller zoom the same screen shows: 8192 x 1000 at 0.05 times.
    root->setAttribute(L"zoomfactor", L"0");
    update();
    Layer layer(400, 300);
    render(layer);
    EXPECT_EQ(screen->getCopyFormat(), (ZImageFormat{ZIT_RGB24, 409, 50}));
    EXPECT_TRUE(isColour(layer.pixel(200, 150), 0, 0, 255));
}
