// Buddy actions: the buddy list itself ("/buddies") and everything done
// with one buddy ("/buddies/<buddy>"): talk, calls, chat, files, screens.
#include <map>

#include "ZHTTPHeaders.h"
#include "ZClientSeams.h"
#include "ZInstance.h"
#include "ZNonPortable_FileDialog.h"
#include "ZNonPortable_Runtime.h"
#include "ZNonPortable_Screen.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZTemplate.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

void ZTemplate::_buddiesAction(const Command& command) {
    std::wstring rest = command.rest;
    const std::wstring buddy = splitComponent(rest, L"/");
    if (buddy.empty()) {
        if (!ZCaseEquals(command.action, L"addbuddy")) {
            ZLOG(L"WARNING Unknown buddy-management action '" << command.action << L"', ignoring.");
            return;
        }
        std::wstring name = ZNormalizeGUID(_instance->get(L"Add_Buddy_GUID"));
        if (name.empty()) {
            ZLOG(L"WARNING Trying to add null buddy, ignoring.");
            _instance->set(L"Add_Buddy_Status", std::wstring(L"You gots to type first, dawg."), false);
            return;
        }
        std::wstring user;
        std::wstring domain;
        ZSplitAddress(name, user, domain);
        if (domain.empty()) name = user + L"@" + ZTEMPLATE_SERVICE_DOMAIN;
        if (ZCaseEquals(name, _instance->get(L"Local_User_GUID"))) {
            _instance->set(L"Add_Buddy_Status", std::wstring(L"Nice try, buddy."), false);
            ZLOG(L"WARNING Trying to add self as buddy, ignoring.");
            return;
        }
        ZLOG(L"ACTIVITY: 'add' to '" << name << L"'");
        ZHTTPHeaders add(L"ADDBUDDY");
        add.set(L"Buddy-GUID", name);
        _enqueue(L"ZSIPService_commandQueue", add);
        _instance->set(L"Add_Buddy_Status", std::wstring(L"Verifying..."), false);
        return;
    }
    if (!rest.empty()) {
        ZLOG(L"WARNING Malformed buddy path '" << command.path << L"', ignoring.");
        return;
    }
    _buddyAction(command, buddy);
}

void ZTemplate::_buddyAction(const Command& command, const std::wstring& buddy) {
    const std::wstring& action = command.action;
    auto cantTalk = [&](const wchar_t* method) {
        ZHTTPHeaders notice(method);
        notice.set(L"User-GUID", buddy);
        _enqueue(L"ZClient_commandQueue", notice);
    };
    auto startTalk = [&](const wchar_t* name, int handsFree) {
        if (_instance->test(L"Audio_Capture_Online")) {
            ZLOG(L"ACTIVITY: '" << name << L"' to buddy '" << buddy << L"'");
            _instance->set(L"Talking_Hands_Free", static_cast<std::int64_t>(handsFree), false);
            _resetBuddyTalk(buddy, true);
        } else {
            ZLOG(L"WARNING Trying to '" << name << L"' to buddy '" << buddy
                                        << L"' but no audio capture configured, ignoring.");
            cantTalk(L"NOTIFYCANTTALK");
        }
    };
    auto toService = [&](const wchar_t* queue, const wchar_t* method) {
        ZHTTPHeaders message(method);
        message.set(L"Buddy-GUID", buddy);
        _enqueue(queue, message);
    };

    if (ZCaseEquals(action, L"talk")) {
        startTalk(L"talk", 0);
    } else if (ZCaseEquals(action, L"starttalkhandsfree")) {
        startTalk(L"starttalkhandsfree", 1);
    } else if (ZCaseEquals(action, L"stoptalkhandsfree")) {
        _instance->set(L"Talking_Hands_Free", static_cast<std::int64_t>(0), false);
    } else if (ZCaseEquals(action, L"reconnect")) {
        ZLOG(L"ACTIVITY: 'reconnect' with buddy '" << buddy << L"'");
        toService(L"ZSIPService_commandQueue", L"RECONNECTBUDDY");
    } else if (ZCaseEquals(action, L"remove")) {
        ZLOG(L"ACTIVITY: 'remove' buddy '" << buddy << L"'");
        toService(L"ZSIPService_commandQueue", L"REMOVEBUDDY");
    } else if (ZCaseEquals(action, L"call")) {
        if (!_instance->test(L"Audio_Capture_Online")) {
            ZLOG(L"WARNING Trying to 'call' to buddy '" << buddy << L"' but no audio capture configured, ignoring.");
            cantTalk(L"NOTIFYCANTTALK");
        } else if (!_instance->test(buddy + L"_Audio_Enabled")) {
            ZLOG(L"WARNING Trying to 'call' to buddy '"
                 << buddy << L"' but remote side has no audio capture configured, ignoring.");
            cantTalk(L"NOTIFYREMOTECANTTALK");
        } else {
            ZLOG(L"ACTIVITY: 'call' to buddy '" << buddy << L"'");
            broadcastToBuddy(buddy, ZHTTPHeaders(L"CALLINVITE"));
            _instance->set(buddy + L"_Call_State", std::wstring(L"calling"), false);
            _instance->set(buddy + L"_Call_Status", L"Calling " + buddy + L"...", false);
            executeCommand(L"(/skin/foreach_call/window_" + buddy + L"?open)", nullptr);
        }
    } else if (ZCaseEquals(action, L"hangup")) {
        const std::wstring reason = command.argument(L"reason");
        ZLOG(L"ACTIVITY: 'hangup' to buddy '" << buddy << L"' (reason='" << reason << L"')");
        ZHTTPHeaders cancel(L"CALLCANCEL");
        cancel.set(L"Reason", reason);
        broadcastToBuddy(buddy, cancel);
        _instance->clear(buddy + L"_Call_State");
        if (ZCaseEquals(reason, L"done"))
            _instance->set(buddy + L"_Call_Status", std::wstring(L"Call complete."), false);
        else
            _instance->clear(buddy + L"_Call_Status");
        executeCommand(L"(/buddies/" + buddy + L"?stoptalkhandsfree)", nullptr);
    } else if (ZCaseEquals(action, L"pickup")) {
        ZLOG(L"ACTIVITY: 'pickup' to buddy '" << buddy << L"'");
        broadcastToBuddy(buddy, ZHTTPHeaders(L"CALLACCEPT"));
        _instance->set(buddy + L"_Call_State", std::wstring(L"talking"), false);
        _instance->clear(buddy + L"_Call_Status");
        executeCommand(L"(/buddies/" + buddy + L"?starttalkhandsfree)", nullptr);
    } else if (ZCaseEquals(action, L"chat")) {
        auto* edit = dynamic_cast<IZEditControl*>(command.context);
        const std::wstring text = edit ? edit->getText() : command.argument(L"message");
        ZHTTPHeaders chat(L"CHAT");
        chat.set(L"From", _instance->get(L"Local_User_GUID"));
        chat.set(L"Action", command.argument(L"action"));
        chat.addContent(ZToUTF8(text));
        broadcastToBuddy(buddy, chat);
        if (ZCaseEquals(command.argument(L"action"), L"send")) {
            ZLOG(L"ACTIVITY: 'chat' buddy '" << buddy << L"'");
            ZSkinQueueCHAT(_instance, buddy, chat);
            logCHAT(buddy, chat);
        }
    } else if (ZCaseEquals(action, L"chatdone")) {
        ZLOG(L"ACTIVITY: 'chatdone' buddy '" << buddy << L"'");
        broadcastToBuddy(buddy, ZHTTPHeaders(L"CHATDONE"));
    } else if (ZCaseEquals(action, L"chatload")) {
        ZLOG(L"ACTIVITY: 'chatload' buddy '" << buddy << L"'");
        const std::wstring file = chatLogPath(buddy);
        std::string error;
        if (!ZSystemExecute(ZToUTF8(file), std::string(), error)) {
            // A log is only ever appended to: the placeholder goes only into
            // a file that does not exist yet.
            if (!ZFileExists(file)) {
                static const char placeholder[] = "(empty chat log)\r\n";
                ZFileAppend(file, placeholder, sizeof(placeholder) - 1);
            }
            if (!ZSystemExecute(ZToUTF8(file), std::string(), error))
                ZLOG(L"WARNING Can't open chat log '" << file << L"' ('" << error << L"'), ignoring.");
        }
    } else if (ZCaseEquals(action, L"sendfile")) {
        const std::wstring path = ZSystemOpenFileDialog(L"Please choose the file to send to " + buddy);
        std::wstring folder;
        std::wstring name;
        ZPathSplit(path, folder, name);
        if (!path.empty() && ZFileExists(path) && !name.empty()) {
            ZLOG(L"ACTIVITY: 'sendfile'");
            ZHTTPHeaders send(L"SENDFILE");
            send.set(L"Filename", name);
            send.set(L"Path", path);
            broadcastToBuddy(buddy, send);
            executeCommand(L"(/skin/window_options/copy/border/inside/wizard?jump+target=file;/skin/window_options?open)",
                           nullptr);
        } else {
            ZLOG(L"WARNING Cannot send file '" << path << L"', ignoring.");
        }
    } else if (ZCaseEquals(action, L"showscreen")) {
        ZLOG(L"ACTIVITY: 'showscreen' to buddy '" << buddy << L"'");
        broadcastToBuddy(buddy, ZHTTPHeaders(L"SHARESCREEN"));
    } else if (ZCaseEquals(action, L"showwindow")) {
        const auto id = static_cast<std::uint32_t>(ZToInt64(command.argument(L"id")));
        if (id != 0) {
            ZLOG(L"ACTIVITY: 'showwindow' to buddy '" << buddy << L"'");
            ZScreenSetForegroundWindow(id);
            ZHTTPHeaders share(L"SHARESCREEN");
            share.set(L"Window-ID", std::to_wstring(id));
            broadcastToBuddy(buddy, share);
            return;
        }
        std::map<std::uint32_t, std::wstring> windows;
        ZScreenGetWindowList(windows);
        if (windows.empty()) {
            ZLOG(L"WARNING Cannot share window because no windows found, ignoring.");
            return;
        }
        std::wstring menu;
        for (const auto& [windowId, title] : windows)
            menu += L"Show '" + ZRemoveChars(title, L"()") + L"'(/buddies/" + buddy + L"?showwindow+id=" +
                    std::to_wstring(windowId) + L");";
        executeCommand(menu, nullptr);
    } else if (ZCaseEquals(action, L"setremotecontrol")) {
        const std::wstring enable = command.argument(L"enable");
        ZLOG(L"ACTIVITY: 'setremotecontrol' to buddy '" << buddy << L"' (enable=" << enable << L")");
        ZHTTPHeaders control(L"SETREMOTECONTROL");
        control.set(L"Buddy-GUID", buddy);
        control.set(L"Enable", enable);
        _enqueue(L"ZScreenService_commandQueue", control);
    } else if (ZCaseEquals(action, L"stopscreenfrom")) {
        ZLOG(L"ACTIVITY: 'stopscreenfrom' from buddy '" << buddy << L"'");
        toService(L"ZScreenService_commandQueue", L"CLOSERECV");
    } else if (ZCaseEquals(action, L"stopscreento")) {
        ZLOG(L"ACTIVITY: 'stopscreento' to buddy '" << buddy << L"'");
        toService(L"ZScreenService_commandQueue", L"CLOSESEND");
    } else {
        ZLOG(L"WARNING Unknown buddy action '" << action << L"', ignoring.");
    }
}
