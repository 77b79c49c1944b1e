#include "ZNodeLibrary.h"

#include "ZBorderNode.h"
#include "ZBuddyListNode.h"
#include "ZButtonNode.h"
#include "ZCellNode.h"
#include "ZCopyNode.h"
#include "ZDefaultNode.h"
#include "ZEditNode.h"
#include "ZFont.h"
#include "ZForeachNode.h"
#include "ZGradientNode.h"
#include "ZHistoryNode.h"
#include "ZHotkeyNode.h"
#include "ZImageNode.h"
#include "ZImageStack.h"
#include "ZInputNode.h"
#include "ZListNode.h"
#include "ZProgressNode.h"
#include "ZRowNode.h"
#include "ZScreenNode.h"
#include "ZScrollBarNode.h"
#include "ZTableNode.h"
#include "ZTemplateFactory.h"
#include "ZTextNode.h"
#include "ZWindowNode.h"
#include "ZWizardNode.h"

namespace {

template <typename Node>
ZTemplateNode* make(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent) {
    return new Node(instance, commandEngine, parent);
}

std::int32_t drawFontText(ZFont& font, const ZImageFormat& format, unsigned char* pixels, const std::wstring& text,
                          const ZRect& rect, const ZRect& clip) {
    return font.drawText(format, pixels, text, rect, clip);
}

}  // namespace

void ZNodeLibrary_install() {
    ZTemplateNodeCreator creators[ZTN_ENTRY_COUNT];
    for (ZTemplateNodeCreator& creator : creators) creator = make<ZDefaultNode>;
    creators[ZTN_WINDOW] = make<ZWindowNode>;
    creators[ZTN_IMAGE] = make<ZImageNode>;
    creators[ZTN_BORDER] = make<ZBorderNode>;
    creators[ZTN_ROW] = make<ZRowNode>;
    creators[ZTN_COL] = make<ZRowNode>;
    creators[ZTN_CELL] = make<ZCellNode>;
    creators[ZTN_BUTTON] = make<ZButtonNode>;
    creators[ZTN_BUDDYLIST] = make<ZBuddyListNode>;
    creators[ZTN_GRADIENT] = make<ZGradientNode>;
    creators[ZTN_SCROLLBAR] = make<ZScrollBarNode>;
    creators[ZTN_TEXT] = make<ZTextNode>;
    creators[ZTN_PROGRESS] = make<ZProgressNode>;
    creators[ZTN_EDIT] = make<ZEditNode>;
    creators[ZTN_HISTORY] = make<ZHistoryNode>;
    creators[ZTN_LIST] = make<ZListNode>;
    creators[ZTN_TABLE] = make<ZTableNode>;
    creators[ZTN_SCREEN] = make<ZScreenNode>;
    creators[ZTN_FOREACH] = make<ZForeachNode>;
    creators[ZTN_COPY] = make<ZCopyNode>;
    creators[ZTN_INPUT] = make<ZInputNode>;
    creators[ZTN_HOTKEY] = make<ZHotkeyNode>;
    creators[ZTN_WIZARD] = make<ZWizardNode>;
    ZTemplateFactory::installCreators(creators);
    ZImageStack::setFontDrawer(drawFontText);
}
