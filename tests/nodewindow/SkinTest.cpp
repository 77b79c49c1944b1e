// A skin read by the client's template: every node class of the library made
// through the element table, laid out and drawn in one real window, and a
// button's command reaching the window through the command language.
#include <fstream>

#include "../nodes/ZNodeTestKit.h"
#include "../desktop/ZDesktopTest.h"
#include "../platform/ZPlatformTestSupport.h"
#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZWindowLoop.h"
#include "ZBuddyListNode.h"
#include "ZButtonNode.h"
#include "ZNonPortable.h"
#include "ZTemplate.h"
#include "ZWindowNode.h"

#include <X11/extensions/XTest.h>

using namespace zantest;

namespace {

const char kSkin[] = R"SKIN(<skin>
  <Window id="main" x="60" y="60" width="320" height="300" title="Zandrel">
    <Gradient from="#F4F6FAFF" to="#C9D3E6FF" vertical="1"/>
    <Border>
      <top><Cell align="center"><Text font="18,b,#203060">Zandrel</Text></Cell></top>
      <inside>
        <Col>
          <Cell align="stretch">
            <Row>
              <Cell extra="1"><Text font="14,x,#000000" watch="Client_Status">Status: $Client_Status</Text></Cell>
              <Cell><Button src="btn" text="Hide" font="13,c,#FFFFFF" command="(/skin/window_main?fadeout+duration=200)"/></Cell>
            </Row>
          </Cell>
          <Cell fixedheight="6" fixedwidth="220"><Progress src="Upload_Done" width="200" x="10" y="2" color="#2050C0"/></Cell>
          <Cell extra="1">
            <ScrollBar name="pos" handlesrc="handle" backsrc="back">
              <BuddyList titlefont="16,bc,#203060" normalfont="14,x,#000000" offlinefont="14,i,#707070" mouseoverfont="14,u,#000080"/>
            </ScrollBar>
          </Cell>
        </Col>
      </inside>
      <bottom><Cell align="right"><Image src="logo"/></Cell></bottom>
    </Border>
  </Window>
</skin>)SKIN";

class SkinTest : public NodeTest {
protected:
    void SetUp() override { ZREQUIRE_DISPLAY(); }
    ZPlatformScope platform;
};

}  // namespace

TEST_F(SkinTest, TheTemplateDrawsEveryNodeAndRoutesCommandsToTheWindow) {
    storeImage(L"btn", 60, 24, ZColor(40, 90, 180, 255));
    storeImage(L"handle", 10, 30, ZColor(90, 110, 150, 255));
    storeImage(L"back", 10, 10, ZColor(220, 225, 235, 255));
    storeImage(L"logo", 40, 12, ZColor(200, 60, 40, 255));
    storeImage(L"cid@zandrel.net_Image", 48, 48, ZColor(220, 60, 30, 255));
    instance.set(L"Client_Status", L"Online", false);
    instance.set(L"Upload_Done", std::int64_t{60}, false);
    instance.set(L"Local_Buddy_List", L"ann@zandrel.net, cid@zandrel.net", false);
    instance.set(L"cid@zandrel.net_Online", L"true", false);
    const std::string file = dir.file("skin.xml");
    std::ofstream(file) << kSkin;

    ZTemplate skin(&instance, ZFromUTF8(file));
    auto* window = dynamic_cast<ZWindowNode*>(skin.getRoot()->getChild(L"Window_main"));
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(runUntil([&] { return ZIsViewable(window->getWindow()->window); }, 2000));
    runFor(200);

    // The buddy list and the button came from the table and were drawn.
    ZButtonNode* button = nullptr;
    ZBuddyListNode* list = nullptr;
    for (ZTemplateNode* node = skin.getRoot(); node; node = node->getNext(skin.getRoot())) {
        if (!button) button = dynamic_cast<ZButtonNode*>(node);
        if (!list) list = dynamic_cast<ZBuddyListNode*>(node);
    }
    ASSERT_NE(button, nullptr);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->getRegions().size(), 5u);
    if (const char* shots = std::getenv("ZAN_SCREENSHOT_DIR")) {
        const std::string command = std::string("import -window root -crop 320x300+60+60 ") + shots + "/skin.png";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }

    // The button's area is its own; a click there fades the window out.
    const ZRect at = window->getRect();
    int found = -1;
    for (int x = 0; x < 320 && found < 0; ++x)
        for (int y = 0; y < 300 && found < 0; ++y)
            if (window->getNCHITTEST(nullptr, x, y) == ZHT_CLIENT &&
                dynamic_cast<ZButtonNode*>(window->getMouseover()) == button)
                found = y * 1000 + x;
    ASSERT_GE(found, 0);
    XTestFakeMotionEvent(_ZX11Display(), DefaultScreen(_ZX11Display()), at.left + found % 1000 + 3,
                         at.top + found / 1000 + 3, 0);
    XTestFakeButtonEvent(_ZX11Display(), 1, True, 0);
    XTestFakeButtonEvent(_ZX11Display(), 1, False, 0);
    XFlush(_ZX11Display());
    EXPECT_TRUE(runUntil([&] { return !ZWinIsVisible(window->getWindow()); }, 3000));
}
