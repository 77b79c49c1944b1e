// The default skin (skin/template.xml and the pictures zandrel-skin draws)
// read by the real template root: it loads cleanly, every path the client
// and the template's own actions use names a node, and its windows show
// what the store holds where the skin puts it.
#include "ZButtonNode.h"
#include "ZParseTools.h"
#include "ZPortable_Parse.h"
#include "ZTemplateNodeKinds.h"
#include "ZDefaultSkinKit.h"
#include "ZEditNode.h"
#include "ZNonPortable_Screen.h"
#include "ZUtil.h"

using namespace zantest;

namespace {

const Shown kBlack = {0, 0, 0};

}  // namespace

TEST_F(DefaultSkinTest, LoadsWithoutAWarningAndShowsTheSignInWindow) {
    ZLogCapture log;
    load();
    ASSERT_TRUE(open(L"window_login"));
    for (const std::wstring& line : log.lines()) EXPECT_EQ(line.find(L"WARNING"), std::wstring::npos) << ZToUTF8(line);
}

TEST_F(DefaultSkinTest, SignInSitsInTheMiddleWithBlackFieldsAndTypedTextReachesTheStore) {
    zantest::motion(0, 0);
    load();
    ASSERT_TRUE(open(L"window_login"));
    ZWindowNode* login = window(L"window_login");

    // Centred in the work area at the size the skin gives it, where the
    // server has it.
    ZRect work;
    ZSystemGetWorkArea(work);
    const int width = std::stoi(login->getAttribute(L"width")), height = std::stoi(login->getAttribute(L"height"));
    ZRect at;
    ZWinGetScreenPosition(login->getWindow(), at);
    EXPECT_EQ(at.left, work.left + (work.right - work.left - width) / 2);
    EXPECT_EQ(at.top, work.top + (work.bottom - work.top - height) / 2);
    EXPECT_EQ(at.right - at.left, width);
    EXPECT_EQ(at.bottom - at.top, height);

    const ZRect name = nodeArea<ZEditNode>(login, [](ZEditNode* e) { return e->getAttribute(L"var") == L"Local_User_GUID"; });
    const ZRect password = nodeArea<ZEditNode>(login, [](ZEditNode* e) { return e->getAttribute(L"password") == L"true"; });
    const ZRect signIn = nodeArea<ZButtonNode>(login, [](ZButtonNode* b) { return b->getAttribute(L"command") == L"(/account?login)"; });
    ASSERT_FALSE(ZRectEmpty(name));
    ASSERT_FALSE(ZRectEmpty(password));
    ASSERT_FALSE(ZRectEmpty(signIn));
    EXPECT_LT(name.bottom, password.top);
    settle(150);  // the hover the search left is drawn away

    WindowPicture before(login);
    before.keep("login");
    for (const ZRect& field : {name, password}) {
        const int midX = (field.left + field.right) / 2, midY = (field.top + field.bottom) / 2;
        for (auto [x, y] : {std::pair{field.left, midY}, {field.right - 1, midY}, {midX, field.top}, {midX, field.bottom - 1}})
            EXPECT_EQ(before.at(x, y), kBlack) << "frame at " << x << "," << y;
        EXPECT_NE(before.at(field.left + 1, midY), kBlack);
    }
    // The sign-in button shows frame 0 of its sprite sheet, left of the caption.
    EXPECT_EQ(before.at(signIn.left + 3, signIn.top + 11), picturePixel("button.png", 3, 11));
    EXPECT_EQ(before.at(signIn.left + 3, signIn.top + 2), picturePixel("button.png", 3, 2));

    // The placeholder is lighter than typed text: no dark band before.
    const ZRect inner = {name.left + 2, name.top + 2, name.right - 2, name.bottom - 2};
    EXPECT_TRUE(before.darkRows(inner, 200).empty());

    ASSERT_TRUE(focus(login, (name.left + name.right) / 2, (name.top + name.bottom) / 2));
    type({XK_a, XK_l, XK_i, XK_c, XK_e});
    ASSERT_TRUE(pump(3000, [&] { return instance->get(L"Local_User_GUID") == L"alice"; }))
        << ZToUTF8(instance->get(L"Local_User_GUID"));
    settle(200);
    WindowPicture after(login);
    after.keep("login_typed");
    EXPECT_EQ(bandCount(after.darkRows(inner, 200)), 1);
    EXPECT_TRUE(after.darkRows({password.left + 2, password.top + 2, password.right - 2, password.bottom - 2}, 200).empty());
}

namespace {

const std::wstring kBuddy = L"bob@zandrel.net";

// Every command the client object and the template root issue on their own.
std::vector<std::wstring> outsideCommands() {
    const std::wstring b = kBuddy;
    return {
        L"(/skin/window_login?open)",
        L"(/skin/window_new?open)",
        L"(/skin/window_buddylist?open)",
        L"(/skin/window_addbuddy?open)",
        L"(/skin/window_options?open)",
        L"(/system?reconnect)",
        L"(/system?delayrestart+delay=30)",
        L"(/account?updatecapture)",
        L"(/skin/window_buddylist?close;/system?exit)",
        L"(/system?assignhotkey+name=" + b + L")",
        L"(/skin/foreach_call/window_" + b + L"?open)",
        L"(/skin/foreach_call/window_" + b + L"?close)",
        L"(/skin/foreach_chat/window_" + b + L"?open)",
        L"(/skin/foreach_chat/window_" + b + L"?close)",
        L"(/buddies/" + b + L"?starttalkhandsfree)",
        L"(/buddies/" + b + L"?stoptalkhandsfree)",
        L"(/skin/window_options/copy/border/inside/wizard?jump+target=file;/skin/window_options?open)",
        L"(/skin/window_options/copy/border/inside/wizard?jump+target=audio;/skin/window_options?open)",
        L"(/system?assignhotkey+name=Talk_Again)",
        L"(/skin/window_countdown?open)",
        L"(/skin/window_countdown?close)",
    };
}

// The attributes of the skin's nodes that hold commands or node paths.
const wchar_t* const kCommandAttributes[] = {
    L"command", L"downcommand", L"upcommand", L"dblclkcommand", L"onenter", L"ontype", L"onclear", L"onselect",
    L"ondblclk", L"onrightclick", L"onopen", L"onclose", L"onshow", L"onhide", L"ondone"};

// The skin paths ("/skin/..." and "../...") of a command or menu text.
std::vector<std::wstring> skinPaths(const std::wstring& text) {
    std::vector<std::wstring> paths;
    std::vector<std::pair<std::wstring, std::wstring>> menu;
    ZParseTools_parseMenu(menu, text);
    for (const auto& entry : menu) {
        std::vector<std::wstring> commands;
        ZParseList(commands, entry.second);
        for (const std::wstring& command : commands) {
            const std::wstring path = command.substr(0, command.find(L'?'));
            if (ZBeginsWith(path, L"/skin") || ZBeginsWith(path, L"..")) paths.push_back(path);
        }
    }
    return paths;
}

// The repeated window a node belongs to has its item in "id"; "$id" in the
// node's commands stands for it.
std::wstring withItem(std::wstring text, const std::wstring& item) {
    for (const std::wstring form : {L"{$id}", L"$id"})
        for (std::size_t p = text.find(form); p != std::wstring::npos; p = text.find(form, p + item.size()))
            text.replace(p, form.size(), item);
    return text;
}

}  // namespace

TEST_F(DefaultSkinTest, EveryPathTheClientAndTheSkinUseNamesANodeOfItsKind) {
    instance->set(L"Local_Buddy_List", kBuddy, false);
    instance->set(L"Audio_Capture_Online", std::wstring(L"true"), false);
    instance->set(L"Working_Hotkey", std::wstring(L"CONTROL+F9"), false);
    ZLogCapture log;
    load();
    settle();

    // The kinds the actions need.
    for (const std::wstring& window : std::vector<std::wstring>{L"window_login", L"window_new", L"window_buddylist", L"window_addbuddy",
                                      L"window_countdown", L"window_options", L"foreach_chat/window_" + kBuddy,
                                      L"foreach_call/window_" + kBuddy})
        EXPECT_NE(dynamic_cast<IZWindowControl*>(skin->getNode(L"/skin/" + window, nullptr)), nullptr)
            << ZToUTF8(window);
    EXPECT_NE(dynamic_cast<IZWizardControl*>(
                  skin->getNode(L"/skin/window_options/copy/border/inside/wizard", nullptr)),
              nullptr);

    for (const std::wstring& command : outsideCommands()) {
        skin->executeCommand(command, nullptr);
        settle(20);
    }
    settle();

    // Every path in the skin's own commands, in every copy of a repeated
    // window (prototypes, without an item, are never shown).
    ZTemplateNode* root = skin->getRoot();
    int checked = 0;
    for (ZTemplateNode* node = root; node; node = node->getNext(root)) {
        ZTemplateNode* w = node;
        while (w && !dynamic_cast<IZWindowControl*>(w)) w = w->getParent();
        if (!w) continue;
        const bool repeated = ZCaseEquals(w->getParent()->getName(), L"Foreach");
        const std::wstring item = w->getAttribute(L"id");
        if (repeated && item.empty()) continue;
        for (const wchar_t* name : kCommandAttributes) {
            const std::wstring text = repeated ? withItem(node->getAttribute(name), item) : node->getAttribute(name);
            for (const std::wstring& path : skinPaths(text)) {
                EXPECT_NE(skin->getNode(path, node), nullptr) << ZToUTF8(path) << " in " << ZToUTF8(node->getPath());
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 20);
    for (const std::wstring& line : log.lines()) EXPECT_EQ(line.find(L"WARNING"), std::wstring::npos) << ZToUTF8(line);
}

TEST_F(DefaultSkinTest, TheBuddyListsCloseButtonTakesTheActionTheTrayLeaves) {
    load();
    for (const wchar_t* action : {L"minimize", L"close"}) {
        instance->set(L"Buddylist_Close_Action", std::wstring(action), false);
        ASSERT_TRUE(open(L"window_buddylist"));
        ZWindowNode* w = window(L"window_buddylist");
        const ZRect button = nodeArea<ZButtonNode>(w, [](ZButtonNode* b) {
            return b->getAttribute(L"command").find(L"window_buddylist?") != std::wstring::npos &&
                   b->getAttribute(L"src").find(L"button_close") != std::wstring::npos;
        });
        ASSERT_FALSE(ZRectEmpty(button));
        click(w, (button.left + button.right) / 2, (button.top + button.bottom) / 2);
        if (std::wstring(action) == L"minimize") {
            EXPECT_TRUE(pump(3000, [&] { return ZWinIsMinimized(w->getWindow()); })) << "minimised, not hidden";
            settle(300);
            EXPECT_EQ(w->getAlpha(), 255) << "a minimised window does not fade out";
            ZWinRestore(w->getWindow());
        } else {
            EXPECT_TRUE(pump(3000, [&] { return w->getAlpha() == 0; })) << "closed: faded out";
        }
    }
}
