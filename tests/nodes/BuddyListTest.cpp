// The buddy list over a store of three buddies, only one of them online.
#include "ZNodeTestKit.h"

#include "ZBuddyListNode.h"

using namespace zantest;

namespace {

const std::wstring kAnn = L"ann@zandrel.net";
const std::wstring kBob = L"bob@other.org";
const std::wstring kCid = L"cid@Zandrel.NET";

class BuddyListTest : public NodeTest {
protected:
    BuddyListTest() {
        instance.set(L"Local_Buddy_List", L"ann@zandrel.net, bob@other.org;cid@Zandrel.NET", false);
        instance.set(kCid + L"_Online", L"true", false);
        instance.set(kAnn + L"_Offline", L"true", false);
        storeImage(kCid + L"_Image", 8, 8, ZColor(255, 0, 0, 255));
        storeImage(kAnn + L"_Image", 8, 8, ZColor(0, 0, 255, 255));
        list = add<ZBuddyListNode>(nullptr, L"BuddyList",
                                   {{L"titlefont", L"16"}, {L"normalfont", L"16"}, {L"offlinefont", L"16"},
                                    {L"mouseoverfont", L"16,b"}});
        update();
        render(layer);
    }
    const ZBuddyListNode::Region& region(size_t index) { return list->getRegions().at(index); }
    static std::pair<int, int> centre(const ZRect& r) { return {(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }
    void click(size_t index) {
        auto [x, y] = centre(region(index).rect);
        list->onLButtonDown(nullptr, x, y);
    }

    ZBuddyListNode* list = nullptr;
    Layer layer{300, 200};
};

}  // namespace

TEST_F(BuddyListTest, OnlineBuddiesComeFirstWithPicturesAlternating) {
    const auto& regions = list->getRegions();
    ASSERT_EQ(regions.size(), 7u);
    EXPECT_EQ(regions[0].buddy, L"");
    const std::wstring order[] = {kCid, kAnn, kBob};
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(regions[1 + row * 2].buddy, order[row]);
        EXPECT_FALSE(regions[1 + row * 2].picture);
        EXPECT_TRUE(regions[2 + row * 2].picture);
    }
    // Left, right, left.
    EXPECT_LT(regions[2].rect.left, 10);
    EXPECT_GT(regions[4].rect.left, 200);
    EXPECT_LT(regions[6].rect.left, 10);
    // The title lies within its band and is drawn.
    const ZRect& title = regions[0].rect;
    int ink = 0;
    for (int y = title.top; y < title.bottom; ++y)
        for (int x = title.left; x < title.right; ++x) ink += layer.pixel(x, y)[3] != 0;
    EXPECT_GT(ink, 20);
    // The first row, its name and its picture, lies wholly below the heading.
    EXPECT_GE(regions[1].rect.top, title.bottom);
    EXPECT_GE(regions[2].rect.top, title.bottom);
    // Offline pictures are grey, online ones keep their colour.
    auto [ax, ay] = centre(regions[4].rect);
    const unsigned char* grey = layer.pixel(ax, ay);
    EXPECT_EQ(grey[0], grey[1]);
    EXPECT_EQ(grey[1], grey[2]);
    EXPECT_GT(grey[3], 0);
    auto [cx, cy] = centre(regions[2].rect);
    EXPECT_EQ(layer.pixel(cx, cy)[0], 255);
    EXPECT_EQ(layer.pixel(cx, cy)[1], 0);
    // The grey copy is stored at the same size.
    ZImageFormat format;
    ASSERT_TRUE(format.deserialize(instance.getRaw(kAnn + L"_Image_BW_Format")));
    EXPECT_EQ(format, (ZImageFormat{ZIT_GRAY8, 8, 8}));
}

TEST_F(BuddyListTest, ClicksSelectAndTalkToOnlineBuddiesOnly) {
    click(2);  // cid's picture
    EXPECT_EQ(engine.commands, (std::vector<std::wstring>{L"(/buddies/" + kCid + L"?talk"}));
    EXPECT_EQ(list->getSelected().buddy, kCid);
    engine.commands.clear();
    click(4);  // ann's picture, offline
    click(5);  // bob's name
    EXPECT_TRUE(engine.commands.empty());
    EXPECT_EQ(list->getSelected().buddy, kBob);
    // The selected row fills its text area with the selection colour.
    render(layer);
    const ZRect text = region(5).rect;
    const unsigned char* fill = layer.pixel(text.left + 2, text.bottom - 2);
    EXPECT_EQ(std::vector<int>(fill, fill + 4), (std::vector<int>{0xEC, 0xE9, 0xD8, 255}));

    auto [x, y] = centre(region(1).rect);
    EXPECT_EQ(list->onRButtonDown(nullptr, x, y) & 2, 2);
    const std::wstring b = kCid;
    EXPECT_EQ(engine.commands.back(),
              L"Talk(/buddies/" + b + L"?starttalkhandsfree);Call(/buddies/" + b + L"?call);Chat(/skin/foreach_chat/window_" +
                  b + L"?open);Send File(/buddies/" + b + L"?sendfile);Show Screen(/buddies/" + b +
                  L"?showscreen);Show Window...(/buddies/" + b + L"?showwindow);Reconnect(/buddies/" + b +
                  L"?reconnect);Remove(/buddies/" + b + L"?remove);");
    engine.commands.clear();
    auto [tx, ty] = centre(region(0).rect);
    list->onRButtonDown(nullptr, tx, ty);
    EXPECT_TRUE(engine.commands.empty());
}

TEST_F(BuddyListTest, HoverFramesTheTalkPictureInYellow) {
    instance.set(L"Audio_Capture_Online", L"true", false);
    const ZRect picture = region(2).rect;
    auto [x, y] = centre(picture);
    EXPECT_EQ(list->onMouseMove(nullptr, x, y), 1);
    EXPECT_EQ(list->onMouseMove(nullptr, x, y), 0);
    render(layer);
    const unsigned char* frame = layer.pixel(picture.left + 2, y);
    EXPECT_EQ(std::vector<int>(frame, frame + 4), (std::vector<int>{255, 255, 0, 255}));
    EXPECT_EQ(list->onMouseoverChanged(false), 1);
}

TEST_F(BuddyListTest, BackspaceRemovesTheSelectedBuddy) {
    struct Case {
        int clickRegion;
        const wchar_t* removed;  // null: nothing
        std::wstring selectedAfter;
    } cases[] = {
        {3, L"ann@zandrel.net", kBob},  // an earlier row: the next row is selected
        {5, L"bob@other.org", L""},     // the last row: the selection is cleared
        {0, nullptr, L""},              // the title: nothing
    };
    for (const Case& c : cases) {
        engine.commands.clear();
        click(c.clickRegion);
        engine.commands.clear();
        const int result = list->onKeyPressed(nullptr, 8);
        if (!c.removed) {
            EXPECT_EQ(result, 0);
            EXPECT_TRUE(engine.commands.empty());
            continue;
        }
        EXPECT_EQ(result, 2);
        EXPECT_EQ(engine.commands, (std::vector<std::wstring>{L"(/buddies/" + std::wstring(c.removed) + L"?remove)"}));
        EXPECT_EQ(list->getSelected().buddy, c.selectedAfter);
    }
}

TEST_F(BuddyListTest, ListChangesMoveTheWatches) {
    instance.set(L"Local_Buddy_List", L"bob@other.org", false);
    EXPECT_TRUE(update());
    ZLogCapture log;
    // Ann's variables are no longer watched; Bob's still are.
    for (const wchar_t* suffix : {L"_Image", L"_Online", L"_Offline"}) {
        instance.unwatch(kAnn + suffix, engine.getNotifyListener(), 1);
        instance.unwatch(kBob + suffix, engine.getNotifyListener(), 1);
    }
    EXPECT_EQ(log.count(L"when it wasn't being watched"), 3);
    EXPECT_EQ(log.count(L"Unwatched '" + kAnn), 3);
}

TEST_F(BuddyListTest, GreyPictureIsRemadeAfterANewPicture) {
    ZImageFormat format;
    ZRect rect;
    auto greyValue = [&] {
        const unsigned char* pixels = ZImageTools_instanceReadOpen(&instance, kAnn + L"_Image_BW", format, rect, 0, 0);
        EXPECT_NE(pixels, nullptr);
        const int value = pixels ? pixels[0] : -1;
        if (pixels) ZImageTools_instanceReadClose(&instance, kAnn + L"_Image_BW");
        return value;
    };
    const int blue = greyValue();
    storeImage(kAnn + L"_Image", 8, 8, ZColor(255, 255, 255, 255));
    render(layer);
    EXPECT_NE(greyValue(), blue);
    EXPECT_EQ(greyValue(), 255);
    // Drawing again does not remake it (its read only stamps the picture).
    const std::uint64_t stamp = instance.getTimestamp(kAnn + L"_Image_BW_Format");
    render(layer);
    EXPECT_EQ(instance.getTimestamp(kAnn + L"_Image_BW_Format"), stamp);
}

TEST_F(BuddyListTest, NamesOfOurDomainShowTheUserPartAndUnknownPresenceDots) {
    // Rendered names: measured widths tell "cid" from "bob@other.org...".
    ZFont font;
    font.update(L"16");
    auto inkWidth = [&](size_t index) {
        const ZRect r = region(index).rect;
        int left = r.right, right = r.left;
        for (int y = std::max(r.top, 0); y < r.bottom; ++y)
            for (int x = r.left + 1; x < r.right - 1; ++x)
                if (layer.pixel(x, y)[3]) left = std::min(left, x), right = std::max(right, x + 1);
        return right - left;
    };
    ZRect cid{0, 0, 0, 0}, bob{0, 0, 0, 0};
    font.measureText(cid, L"cid");
    font.measureText(bob, L"bob@other.org...");
    EXPECT_NEAR(inkWidth(1), cid.right, 3);
    EXPECT_NEAR(inkWidth(5), bob.right, 3);
}
