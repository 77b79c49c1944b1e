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
    pointerTo(0, 0);
    load();
    ASSERT_TRUE(open(L"window_login"));
    ZWindowNode* login = window(L"window_login");

    // Centred in the work area at the size the skin gives it.
    ZRect work;
    ZSystemGetWorkArea(work);
    const int width = std::stoi(login->getAttribute(L"width")), height = std::stoi(login->getAttribute(L"height"));
    const ZRect at = login->getRect();
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

    click(login, (name.left + name.right) / 2, (name.top + name.bottom) / 2);
    ASSERT_TRUE(pump(2000, [&] { return login->getKeyFocus() != nullptr; }));
    type({XK_a, XK_l, XK_i, XK_c, XK_e});
    ASSERT_TRUE(pump(3000, [&] { return instance->get(L"Local_User_GUID") == L"alice"; }))
        << ZToUTF8(instance->get(L"Local_User_GUID"));
    settle(200);
    WindowPicture after(login);
    after.keep("login_typed");
    EXPECT_EQ(bandCount(after.darkRows(inner, 200)), 1);
    EXPECT_TRUE(after.darkRows({password.left + 2, password.top + 2, password.right - 2, password.bottom - 2}, 200).empty());
}

