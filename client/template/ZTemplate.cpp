#include "ZTemplate.h"

#include <vector>

#include "ZAttributeStack.h"
#include "ZHTTPHeaders.h"
#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNonPortable_Hotkey.h"
#include "ZNonPortable_Screen.h"
#include "ZNonPortable_Tray.h"
#include "ZNonPortable_Window.h"
#include "ZParseTools.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"
#include "ZUtil.h"

namespace {

ZTemplateClock gClock = ZTimeNow;

bool primaryButtonDown() { return ZSystemIsKeyPressed(1); }
ZTemplateButtonTest gButtonTest = primaryButtonDown;

}  // namespace

std::int64_t ZTemplate::now() { return gClock(); }

void ZTemplate::setClock(ZTemplateClock clock) { gClock = clock ? clock : ZTimeNow; }

void ZTemplate::setButtonTest(ZTemplateButtonTest test) { gButtonTest = test ? test : primaryButtonDown; }

bool ZTemplate::_talkHeld() {
    return _hotkeyDown || gButtonTest() || _instance->test(L"Talking_Hands_Free");
}

ZTemplate::ZTemplate(ZInstance* instance, const std::wstring& filename)
    : _instance(instance),
      _root(nullptr),
      _timer(nullptr),
      _notify(nullptr),
      _talkStopInterval{0, ZTEMPLATE_TALK_STOP_DELAY},
      _restartTime(0),
      _countdownOpen(false),
      _hotkeyDown(false) {
    ZTRACE_KIND("ZTemplate");
    _timer = ZTimerOpen(ZTEMPLATE_TIMER_PERIOD, this);
    _notify = ZNotifyOpen(this);

    ZTemplateFactory factory;
    _root = factory.load(_instance, this, filename);
    ZASSERT_T(_root, "_root = factory.load( _instance, this, filename )");

    _update(std::wstring(), _root, false);

    _instance->set(L"Misc_Hotkey_List", std::wstring(L"Talk_Again"), false);
    _instance->set(L"Working_Hotkey", _instance->get(L"Talk_Again_Hotkey"), false);
    executeCommand(L"(/system?assignhotkey+name=Talk_Again)", nullptr);
    _instance->set(L"Working_Hotkey", std::wstring(L"    (click here and press keys)"), false);
}

ZTemplate::~ZTemplate() {
    for (auto& [name, hotkey] : _hotkeys) ZSystemHotkeyClose(hotkey);
    _hotkeys.clear();
    ZNotifyClose(_notify);
    ZTimerClose(_timer);
    ZASSERT_PTR(_root);
    delete _root;
    _root = nullptr;
}

void ZTemplate::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_root);
    ZASSERT(_timer);
    ZASSERT(_notify);
    ZHeapObject::invariantTest();
}

ZNotifyHandle* ZTemplate::getNotifyListener() { return _notify; }

void ZTemplate::onNotification(int, std::int64_t) {
    invariantTest();
    _update(std::wstring(), _root, false);
}

void ZTemplate::_update(const std::wstring& path, ZTemplateNode* node, bool refresh) {
    ZASSERT_PTR(node);
    ZAttributeStack stack(_instance, _notify);
    // Without a display the work area reads as empty.
    ZRect area;
    ZSystemGetWorkArea(area);
    stack.set(L"screenleft", static_cast<std::int64_t>(area.left));
    stack.set(L"screentop", static_cast<std::int64_t>(area.top));
    stack.set(L"screenright", static_cast<std::int64_t>(area.right));
    stack.set(L"screenbottom", static_cast<std::int64_t>(area.bottom));
    stack.set(L"screenwidth", static_cast<std::int64_t>(area.right) - area.left);
    stack.set(L"screenheight", static_cast<std::int64_t>(area.bottom) - area.top);
    stack.set(L"path", path);
    if (refresh) stack.set(L"refresh", std::wstring(L"true"));
    ++_updateCount;
    if (node->update(stack)) {
        ++_renderCount;
        ZImageStack surfaces;
        node->render(surfaces);
    }
}

std::wstring ZTemplate::splitComponent(std::wstring& text, const std::wstring& separators) {
    while (!text.empty()) {
        const std::size_t p = text.find_first_of(separators);
        if (p == std::wstring::npos) {
            std::wstring component;
            component.swap(text);
            return component;
        }
        if (p > 0) {
            std::wstring component = text.substr(0, p);
            text.erase(0, p + 1);
            return component;
        }
        text.erase(0, 1);
    }
    return std::wstring();
}

ZTemplateNode* ZTemplate::getNode(const std::wstring& path, ZTemplateNode* context) {
    invariantTest();
    ZPRECONDITION(!path.empty());
    if (ZBeginsWith(path, L"/skin/")) {
        const std::wstring rest = path.substr(6);
        // An empty step ("/skin/", "/skin//x", often a command built from an
        // empty variable) names no node.
        if (!rest.empty() && rest[0] != L'/' && rest.find(L"//") == std::wstring::npos)
            return _root->getChild(rest);
    } else if (path.size() >= 2 && path.compare(0, 2, L"..") == 0 && context) {
        ZTemplateNode* node = context;
        std::wstring rest = path;
        while (node && rest.size() >= 2 && rest.compare(0, 2, L"..") == 0) {
            node = node->getParent();
            splitComponent(rest, L"/?");
        }
        if (node) {
            if (rest.empty()) return node;
            if (rest[0] != L'/' && rest.find(L"//") == std::wstring::npos) return node->getChild(rest);
        }
    }
    ZLOG(L"WARNING Requesting non-existent node '" << path << L"', ignoring.");
    return nullptr;
}

void ZTemplate::executeCommand(const std::wstring& command, ZTemplateNode* context, int reserved) {
    invariantTest();
    std::vector<std::pair<std::wstring, std::wstring>> menu;
    ZParseTools_parseMenu(menu, command);
    if (menu.empty()) return;
    if (menu.size() == 1 && menu.front().first.empty()) {
        _executeCommand(menu.front().second, context, reserved);
        return;
    }
    std::vector<std::wstring> labels;
    for (const auto& entry : menu) labels.push_back(entry.first);
    const int picked = ZMenuExecute(labels);
    if (picked >= 0 && picked < static_cast<int>(menu.size())) _executeCommand(menu[picked].second, context, reserved);
}

std::wstring ZTemplate::Command::argument(const wchar_t* name) const {
    auto found = arguments.find(name);
    return found == arguments.end() ? std::wstring() : found->second;
}

void ZTemplate::_executeCommand(const std::wstring& commands, ZTemplateNode* context, int) {
    std::list<std::wstring> list;
    ZParseList(list, commands);
    for (const std::wstring& text : list) {
        Command command;
        ZParseCommandItem(text, command.path, command.arguments);
        command.action = command.argument(L"");
        command.context = context;
        command.rest = command.path;
        splitComponent(command.rest, L"?/");  // the root, routed by the whole path below
        if (auto* table = dynamic_cast<IZTableControl*>(context)) command.selection = table->getSelection();

        const std::wstring& path = command.path;
        if (path.empty()) {
            if (!context) {
                ZLOG(L"WARNING Missing target for action '" << command.action << L"', ignoring.");
                continue;
            }
            _skinAction(command, context);
        } else if (ZBeginsWith(path, L"/skin") || ZBeginsWith(path, L"..")) {
            ZTemplateNode* target = getNode(path, context);
            if (!target) {
                ZLOG(L"WARNING Invalid path '" << path << L"', ignoring.");
                continue;
            }
            _skinAction(command, target);
        } else if (ZBeginsWith(path, L"/buddies")) {
            _buddiesAction(command);
        } else if (ZBeginsWith(path, L"/account")) {
            _accountAction(command);
        } else if (ZBeginsWith(path, L"/dev")) {
            _deviceAction(command);
        } else if (ZBeginsWith(path, L"/fileservice")) {
            _fileServiceAction(command);
        } else if (ZBeginsWith(path, L"/system")) {
            _systemAction(command);
        } else {
            ZLOG(L"WARNING Unknown path '" << path << L"', ignoring.");
        }
    }
}

void ZTemplate::_enqueue(const wchar_t* queue, const ZHTTPHeaders& message) {
    _instance->enqueue(queue, message.serialize());
}

void ZTemplate::_enqueue(const std::wstring& queue, const ZHTTPHeaders& message) {
    _instance->enqueue(queue, message.serialize());
}
