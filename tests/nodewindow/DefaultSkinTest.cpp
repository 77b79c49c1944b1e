// The default skin (skin/template.xml and the pictures zandrel-skin draws)
// read by the real template root: it loads cleanly, every path the client
// and the template's own actions use names a node, and its windows show
// what the store holds where the skin puts it.
#include "ZDefaultSkinKit.h"

using namespace zantest;

TEST_F(DefaultSkinTest, LoadsWithoutAWarningAndShowsTheSignInWindow) {
    ZLogCapture log;
    load();
    ASSERT_TRUE(open(L"window_login"));
    WindowPicture shot(window(L"window_login"));
    shot.keep("login");
    for (const std::wstring& line : log.lines()) EXPECT_EQ(line.find(L"WARNING"), std::wstring::npos) << ZToUTF8(line);
}
