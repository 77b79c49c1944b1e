// The default skin's windows with content: a buddy's chat and call windows,
// the viewer of a shown screen and the options pages, each probed where the
// skin's nodes put what the store holds.
#include "ZBuddyListNode.h"
#include "ZButtonNode.h"
#include "ZDefaultSkinKit.h"
#include "ZEditNode.h"
#include "ZHTTPHeaders.h"
#include "ZHistoryNode.h"
#include "ZListNode.h"
#include "ZTableNode.h"
#include "ZPortable_Parse.h"
#include "ZTemplateNodeKinds.h"

using namespace zantest;

namespace {

const std::wstring kBuddy = L"bob@zandrel.net";
const Shown kRed = {255, 0, 0}, kGreen = {0, 255, 0}, kBlue = {0, 0, 255}, kYellow = {255, 255, 0};
const Shown kBlack = {0, 0, 0};

std::string chat(const std::wstring& from, const std::string& text) {
    ZHTTPHeaders message(L"CHAT");
    message.set(L"From", from);
    message.set(L"Action", L"send");
    message.addContent(text);
    return message.serialize();
}

// The pixel size of a font text ("12,b,#000000,Face").
int fontSize(const std::wstring& font) { return std::stoi(font); }

}  // namespace

TEST_F(DefaultSkinTest, AChatWindowShowsTheQueueAndEnterSendsTheLine) {
    instance->set(L"Local_Buddy_List", kBuddy, false);
    instance->set(L"Local_User_GUID", std::wstring(L"alice@zandrel.net"), false);
    zantest::motion(0, 0);
    load();
    const std::wstring path = L"foreach_chat/window_" + kBuddy;
    ASSERT_TRUE(open(path));
    ZWindowNode* w = window(path);
    const ZRect history = nodeArea<ZHistoryNode>(w);
    const ZRect field = nodeArea<ZEditNode>(w);
    ASSERT_FALSE(ZRectEmpty(history));
    ASSERT_FALSE(ZRectEmpty(field));
    EXPECT_LT(history.bottom, field.top);
    settle(150);
    EXPECT_EQ(bandCount(WindowPicture(w).darkRows(history, 300)), 0);

    const std::wstring queue = kBuddy + L"_Chat_Queue";
    instance->enqueue(queue, chat(kBuddy, "hello there"));
    instance->enqueue(queue, chat(kBuddy, "how are you"));
    ASSERT_TRUE(pump(3000, [&] { return WindowPicture(w).darkRows(history, 300).size() > 0; }));
    settle(200);
    WindowPicture shown(w);
    shown.keep("chat");
    EXPECT_EQ(bandCount(shown.darkRows(history, 300)), 2);
    // The sender's name reads cleanly: in its place the name's own colour
    // (red-brown) shows and no ink of the base font (blue-grey) beside it.
    ZHistoryNode* node = nullptr;
    for (ZTemplateNode* n = w; n; n = n->getNext(w))
        if (auto* h = dynamic_cast<ZHistoryNode*>(n)) node = h;
    ASSERT_NE(node, nullptr);
    ASSERT_GE(node->getBlocks().size(), 2u);
    const ZRect name = node->getBlocks()[1].rect;
    int baseInk = 0, nameInk = 0;
    for (int y = history.top + name.top; y < history.top + name.bottom; ++y)
        for (int x = history.left + name.left; x < history.left + name.right; ++x) {
            const Shown p = shown.at(x, y);
            if (p.r + p.g + p.b >= 600) continue;
            baseInk += p.b >= p.r + 10;
            nameInk += p.r >= p.b + 30;
        }
    EXPECT_EQ(baseInk, 0);
    EXPECT_GT(nameInk, 10);

    ASSERT_TRUE(focus(w, (field.left + field.right) / 2, (field.top + field.bottom) / 2));
    type({XK_h, XK_i, XK_Return});
    ASSERT_TRUE(pump(3000, [&] { return instance->length(queue) == 3; }));
    std::string item;
    ASSERT_TRUE(instance->index(queue, 2, item));
    ZHTTPHeaders sent;
    ASSERT_GT(sent.deserialize(item), 0);
    EXPECT_EQ(sent.getMethod(), L"CHAT");
    EXPECT_EQ(sent.get(L"Action"), L"send");
    EXPECT_EQ(sent.get(L"From"), L"alice@zandrel.net");
    ASSERT_TRUE(sent.hasContent());
    EXPECT_EQ(sent.getContent(0), "hi");
    // Typing started, the line went out: both reached the buddy's devices.
    EXPECT_GE(instance->length(kBuddy + L"_commandQueue"), 2u);

    // The field was emptied after sending and stays empty.
    auto* edit = dynamic_cast<IZEditControl*>(dynamic_cast<ZEditNode*>(w->getKeyFocus()));
    ASSERT_NE(edit, nullptr);
    settle(300);
    EXPECT_EQ(edit->getText(), L"");
    ASSERT_TRUE(pump(3000, [&] { return bandCount(WindowPicture(w).darkRows(history, 300)) == 3; }));
}

TEST_F(DefaultSkinTest, TheCallWindowShowsTheBuddysPictureInItsVideoArea) {
    instance->set(L"Local_Buddy_List", kBuddy, false);
    storeImage(*instance, kBuddy + L"_Image", 80, 60, [](int, int) { return kRed; });
    load();
    const std::wstring path = L"foreach_call/window_" + kBuddy;
    ASSERT_TRUE(open(path));
    WindowPicture shown(window(path));
    shown.keep("call");
    // The video area is the ground the skin lays under the picture; the
    // picture is fitted into it: centred, its shape kept, touching two sides.
    ZTemplateNode* video = nullptr;
    for (ZTemplateNode* n = window(path); n; n = n->getNext(window(path)))
        if (n->getName() == L"Image" && n->getAttribute(L"src") == L"{$id}_Image") video = n;
    ASSERT_NE(video, nullptr);
    const ZColor groundColour(video->getParent()->getAttribute(L"from"));
    const ZRect ground = shown.colourBox({groundColour.r, groundColour.g, groundColour.b});
    const ZRect red = shown.colourBox(kRed);
    ASSERT_FALSE(ZRectEmpty(ground));
    ASSERT_FALSE(ZRectEmpty(red));
    EXPECT_TRUE(ZRectContains(ground, red));
    EXPECT_NEAR(red.left + red.right, ground.left + ground.right, 2);
    EXPECT_NEAR(red.top + red.bottom, ground.top + ground.bottom, 2);
    EXPECT_NEAR((red.right - red.left) * 60, (red.bottom - red.top) * 80, 160) << "the shape is kept";
    EXPECT_TRUE(red.right - red.left == ground.right - ground.left || red.bottom - red.top == ground.bottom - ground.top);
}

TEST_F(DefaultSkinTest, AViewerAppearsWithTheScreenAndShowsItZoomedToFit) {
    zantest::motion(0, 0);
    load();
    const int sw = 320, sh = 240;
    storeImage(*instance, kBuddy + L"_Screen_Image", sw, sh, [&](int x, int y) {
        return y < sh / 2 ? (x < sw / 2 ? kRed : kGreen) : (x < sw / 2 ? kBlue : kYellow);
    });
    const std::wstring path = L"foreach_viewer/window_" + kBuddy;
    EXPECT_EQ(window(path), nullptr);
    instance->set(L"Screening_From_List", kBuddy, false);
    ASSERT_TRUE(pump(3000, [&] { return window(path) && ZIsViewable(window(path)->getWindow()->window); }));
    ZWindowNode* w = window(path);
    const ZRect view = handlerArea(w, [](IZInputHandler* h) { return dynamic_cast<IZScreenControl*>(h) != nullptr; });
    ASSERT_FALSE(ZRectEmpty(view));
    settle(200);

    // Zoomed to fit: the screen's quadrants around the view's centre, the
    // picture as large as the view allows with its shape kept.
    const int cx = (view.left + view.right) / 2, cy = (view.top + view.bottom) / 2;
    ASSERT_TRUE(pump(3000, [&] { return WindowPicture(w).at(cx - 8, cy - 8) == kRed; }));
    WindowPicture shown(w);
    shown.keep("viewer");
    EXPECT_EQ(shown.at(cx + 8, cy - 8), kGreen);
    EXPECT_EQ(shown.at(cx - 8, cy + 8), kBlue);
    EXPECT_EQ(shown.at(cx + 8, cy + 8), kYellow);
    const double fit = std::min(static_cast<double>(view.right - view.left) / sw,
                                static_cast<double>(view.bottom - view.top) / sh);
    const int tw = static_cast<int>(sw * fit), th = static_cast<int>(sh * fit);
    // A quarter of the way in from each corner, clear of the Fit button.
    EXPECT_EQ(shown.at(cx - tw / 4, cy - th / 4), kRed);
    EXPECT_EQ(shown.at(cx + tw / 4, cy + th / 4), kYellow);
    // Beyond the zoomed picture only the grey margin (where the view is wider).
    if (view.right - view.left > tw + 8) {
        EXPECT_EQ(shown.at(view.left + 2, cy), (Shown{0x66, 0x66, 0x66}));
        EXPECT_NE(shown.at(cx - tw / 2 + 4, cy + 8), (Shown{0x66, 0x66, 0x66}));
    }

    instance->set(L"Screening_From_List", std::wstring(), false);
    EXPECT_TRUE(pump(3000, [&] { return window(path) == nullptr; }));
}

TEST_F(DefaultSkinTest, TheOptionsFilePageListsTransfersAndTheAudioPageItsDevices) {
    instance->set(L"File_Recv_List", std::wstring(L"f1"), false);
    instance->set(L"f1_Filename", std::wstring(L"report.pdf"), false);
    instance->set(L"f1_Size", std::wstring(L"12 KB"), false);
    instance->set(L"f1_Speed", std::wstring(L"--BPS"), false);
    instance->set(L"f1_Complete", std::wstring(L"40%"), false);
    instance->set(L"Available_Audio_Capture_Devices", std::wstring(L"Mic One, Mic Two"), false);
    instance->set(L"Audio_Capture_Device", std::wstring(L"Mic Two"), false);
    storeImage(*instance, L"Local_Audio_Image", 100, 8, [](int, int) { return kGreen; });
    zantest::motion(0, 0);
    load();
    // As the client opens the options on a finished transfer.
    skin->executeCommand(
        L"(/skin/window_options/copy/border/inside/wizard?jump+target=file;/skin/window_options?open)", nullptr);
    ZWindowNode* w = window(L"window_options");
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(pump(3000, [&] { return ZIsViewable(w->getWindow()->window) && w->getAlpha() == 255; }));
    settle(200);
    ZTableNode* received = nullptr;
    for (ZTemplateNode* n = w; n; n = n->getNext(w))
        if (auto* t = dynamic_cast<ZTableNode*>(n); t && t->getAttribute(L"prefixlistsrc") == L"File_Recv_List")
            received = t;
    ASSERT_NE(received, nullptr);
    const ZRect table = handlerArea(w, [&](IZInputHandler* h) { return dynamic_cast<ZTableNode*>(h) == received; });
    ASSERT_FALSE(ZRectEmpty(table));
    settle(150);
    WindowPicture files(w);
    files.keep("options_file");
    const int rh = fontSize(received->getAttribute(L"headerfont")) + 4;
    // One row under the header, outlined in black, with its texts.
    EXPECT_EQ(files.at(table.left, table.top + rh + rh / 2), kBlack);
    EXPECT_EQ(files.at(table.left + 5, table.top + rh), kBlack);
    EXPECT_EQ(files.at(table.left + 5, table.top + 2 * rh - 1), kBlack);
    EXPECT_FALSE(files.darkRows({table.left + 2, table.top + rh + 1, table.right - 2, table.top + 2 * rh - 1}, 200).empty());
    EXPECT_TRUE(files.darkRows({table.left + 2, table.top + 2 * rh + 1, table.right - 2, table.bottom}, 200).empty());

    skin->executeCommand(
        L"(/skin/window_options/copy/border/inside/wizard?jump+target=audio;/skin/window_options?open)", nullptr);
    settle(300);
    ZListNode* devices = nullptr;
    for (ZTemplateNode* n = w; n; n = n->getNext(w))
        if (auto* l = dynamic_cast<ZListNode*>(n); l && l->getAttribute(L"listname") == L"Available_Audio_Capture_Devices")
            devices = l;
    ASSERT_NE(devices, nullptr);
    const ZRect list = handlerArea(w, [&](IZInputHandler* h) { return dynamic_cast<ZListNode*>(h) == devices; });
    ASSERT_FALSE(ZRectEmpty(list));
    settle(150);
    WindowPicture audio(w);
    audio.keep("options_audio");
    const int h = fontSize(devices->getAttribute(L"font"));
    // Two rows of text; the chosen device, the second, inverted; nothing below.
    EXPECT_FALSE(audio.darkRows({list.left + 2, list.top + 1, list.right - 2, list.top + h}, 200).empty());
    EXPECT_NE(audio.at(list.right - 4, list.top + h / 2), kBlack);
    EXPECT_EQ(audio.at(list.right - 4, list.top + h + h / 2), kBlack);
    EXPECT_TRUE(audio.darkRows({list.left + 2, list.top + 2 * h + 1, list.right - 2, list.bottom - 2}, 200).empty());
    // The level strip below the list.
    const ZRect strip = audio.colourBox(kGreen);
    ASSERT_FALSE(ZRectEmpty(strip));
    EXPECT_GT(strip.top, list.bottom);
    EXPECT_GT(strip.right - strip.left, 100);
}

TEST_F(DefaultSkinTest, TheSharingWindowSaysWhoControlsTheScreenAndHowToTakeItBack) {
    instance->set(L"Screening_To_List", kBuddy, false);
    instance->set(kBuddy + L"_Screen_Let_Control", std::int64_t{0}, false);
    load();
    const std::wstring path = L"foreach_sharing/window_" + kBuddy;
    ASSERT_TRUE(open(path));
    ZWindowNode* w = window(path);
    auto button = [&](const wchar_t* text) {
        return nodeArea<ZButtonNode>(w, [&](ZButtonNode* b) { return b->getAttribute(L"text") == text; });
    };
    auto press = [&](const ZRect& r) { click(w, (r.left + r.right) / 2, (r.top + r.bottom) / 2); };
    auto lastControl = [&]() {
        std::string item;
        ZHTTPHeaders message;
        const std::size_t n = instance->length(L"ZScreenService_commandQueue");
        if (n == 0 || !instance->index(L"ZScreenService_commandQueue", n - 1, item) || message.deserialize(item) <= 0)
            return std::wstring();
        return message.getMethod() + L" " + message.get(L"Enable");
    };

    ASSERT_FALSE(ZRectEmpty(button(L"Let control")));
    EXPECT_TRUE(ZRectEmpty(button(L"Take back")));
    press(button(L"Let control"));
    ASSERT_TRUE(pump(3000, [&] { return lastControl() == L"SETREMOTECONTROL true"; }));

    // The sharing side reports control given: the window says so and offers it back.
    instance->set(kBuddy + L"_Screen_Let_Control", std::int64_t{1}, false);
    ASSERT_TRUE(pump(3000, [&] { return !ZRectEmpty(button(L"Take back")); }));
    EXPECT_TRUE(ZRectEmpty(button(L"Let control")));
    settle(200);
    WindowPicture shown(w);
    shown.keep("sharing-controlled");
    press(button(L"Take back"));
    ASSERT_TRUE(pump(3000, [&] { return lastControl() == L"SETREMOTECONTROL false"; }));
}

TEST_F(DefaultSkinTest, TheFirstBuddyRowAndItsPictureLieBelowTheHeading) {
    instance->set(L"Local_Buddy_List", kBuddy, false);
    instance->set(kBuddy + L"_Online", std::wstring(L"true"), false);
    storeImage(*instance, kBuddy + L"_Image", 32, 32, [](int, int) { return Shown{40, 40, 40}; });
    zantest::motion(0, 0);
    load();
    ASSERT_TRUE(open(L"window_buddylist"));
    ZWindowNode* w = window(L"window_buddylist");
    ZBuddyListNode* list = nullptr;
    for (ZTemplateNode* n = w; n; n = n->getNext(w))
        if (auto* b = dynamic_cast<ZBuddyListNode*>(n)) list = b;
    ASSERT_NE(list, nullptr);
    const ZRect area = nodeArea<ZBuddyListNode>(w);
    ASSERT_FALSE(ZRectEmpty(area));
    settle(200);
    WindowPicture shown(w);
    shown.keep("buddylist");
    const auto& regions = list->getRegions();
    ASSERT_GE(regions.size(), 3u);
    const ZRect heading = regions[0].rect;
    const ZRect picture = regions[2].rect;
    // Beside the heading, over the picture's columns, only the list's light
    // background: the picture starts below the heading's band.
    int covered = 0;
    for (int y = area.top + heading.top; y < area.top + heading.bottom; ++y)
        for (int x = area.left + std::max(picture.left, 0); x < area.left + picture.right; ++x) {
            const Shown p = shown.at(x, y);
            covered += p.r + p.g + p.b < 600;
        }
    EXPECT_EQ(covered, 0);
    // The picture is there, just below.
    EXPECT_FALSE(shown.darkRows({area.left + std::max(picture.left, 0) + 2, area.top + picture.top,
                                 area.left + picture.right - 2, area.top + picture.bottom}, 200).empty());
    EXPECT_FALSE(shown.darkRows({area.left + heading.left, area.top + heading.top, area.left + heading.right,
                                 area.top + heading.bottom}, 400).empty());
}

TEST_F(DefaultSkinTest, SignOutReturnsToTheSignInWindowWithTheNameKeptAndThePasswordForgotten) {
    instance->set(L"Local_User_GUID", std::wstring(L"alice@zandrel.net"), true);
    instance->set(L"Local_Password", std::wstring(L"secret"), true);
    zantest::motion(0, 0);
    load();
    ASSERT_TRUE(open(L"window_buddylist"));
    ZWindowNode* w = window(L"window_buddylist");
    const ZRect button = nodeArea<ZButtonNode>(w, [](ZButtonNode* b) {
        return b->getAttribute(L"command").find(L"/system?signout") != std::wstring::npos;
    });
    ASSERT_FALSE(ZRectEmpty(button)) << "no Sign out button in the buddy list";
    click(w, (button.left + button.right) / 2, (button.top + button.bottom) / 2);
    ZWindowNode* login = window(L"window_login");
    ASSERT_NE(login, nullptr);
    ASSERT_TRUE(pump(3000, [&] { return ZIsViewable(login->getWindow()->window) && login->getAlpha() == 255; }));
    EXPECT_TRUE(pump(3000, [&] { return !ZIsViewable(w->getWindow()->window); }));
    settle(200);
    WindowPicture(login).keep("signed_out");
    EXPECT_EQ(instance->get(L"Local_User_GUID"), L"alice@zandrel.net");
    EXPECT_FALSE(instance->isSet(L"Local_Password"));
    EXPECT_EQ(ZTestReadFile(dir.file("settings.ini")).find("secret"), std::string::npos);
    std::string item;
    ASSERT_TRUE(instance->dequeue(L"ZClient_commandQueue", item));
    EXPECT_EQ(item.rfind("LOGOFF", 0), 0u);
    EXPECT_EQ(instance->get(L"Exit_When_Offline"), L"0");
}

TEST_F(DefaultSkinTest, TheFilesPageNamesItsColumnsWithoutIdentifiersAndThePrivacyListsHaveLabels) {
    instance->set(L"File_Recv_List", std::wstring(L"File#635194546"), false);
    instance->set(L"File#635194546_Filename", std::wstring(L"report.pdf"), false);
    instance->set(L"File#635194546_Size", std::wstring(L"12 KB"), false);
    // The choices the client offers at its first start.
    instance->set(L"Video_Privacy_Options_Mode",
                  std::wstring(L"Public - Allow some people to see me, Private - Allow nobody to see me"), false);
    instance->set(L"Video_Privacy_Options_Who", std::wstring(L"Only buddies who I can see, All my buddies"), false);
    instance->set(L"Video_Privacy_Options_When", std::wstring(L"Always, Only when I'm talking"), false);
    zantest::motion(0, 0);
    load();
    skin->executeCommand(
        L"(/skin/window_options/copy/border/inside/wizard?jump+target=file;/skin/window_options?open)", nullptr);
    ZWindowNode* w = window(L"window_options");
    ASSERT_NE(w, nullptr);
    ASSERT_TRUE(pump(3000, [&] { return ZIsViewable(w->getWindow()->window) && w->getAlpha() == 255; }));
    settle(300);
    ZTableNode* received = nullptr;
    for (ZTemplateNode* n = w; n; n = n->getNext(w))
        if (auto* t = dynamic_cast<ZTableNode*>(n); t && t->getAttribute(L"prefixlistsrc") == L"File_Recv_List")
            received = t;
    ASSERT_NE(received, nullptr);
    const ZRect table = handlerArea(w, [&](IZInputHandler* h) { return dynamic_cast<ZTableNode*>(h) == received; });
    ASSERT_FALSE(ZRectEmpty(table));
    WindowPicture files(w);
    files.keep("options_files_named");
    // Four columns, one per suffix: the row's cells are a quarter of the
    // width (a fifth with the identifier's column).
    const int rh = fontSize(received->getAttribute(L"headerfont")) + 4;
    const int width = table.right - table.left;
    const int row = table.top + rh + rh / 2;
    EXPECT_EQ(files.at(table.left + width / 4, row), kBlack);
    EXPECT_NE(files.at(table.left + width / 5, row), kBlack);
    std::vector<std::wstring> headers;
    ZParseList(headers, received->getAttribute(L"headerlist"));
    EXPECT_EQ(headers.size(), 4u);

    skin->executeCommand(
        L"(/skin/window_options/copy/border/inside/wizard?jump+target=privacy;/skin/window_options?open)", nullptr);
    settle(400);
    WindowPicture privacy(w);
    privacy.keep("options_privacy");
    int lists = 0;
    for (ZTemplateNode* n = w; n; n = n->getNext(w)) {
        auto* l = dynamic_cast<ZListNode*>(n);
        if (!l || l->getAttribute(L"listname").rfind(L"Video_Privacy_Options_", 0) != 0) continue;
        ++lists;
        const ZRect area = handlerArea(w, [&](IZInputHandler* h) { return dynamic_cast<ZListNode*>(h) == l; });
        ASSERT_FALSE(ZRectEmpty(area)) << ZToUTF8(l->getAttribute(L"listname"));
        // A label of text just above the list.
        EXPECT_FALSE(privacy.darkRows({area.left, area.top - 18, area.right, area.top - 1}, 300).empty())
            << ZToUTF8(l->getAttribute(L"listname"));
    }
    EXPECT_EQ(lists, 3);
}
