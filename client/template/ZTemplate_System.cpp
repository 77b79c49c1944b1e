// Account, device, file-service and system actions.
#include "ZHTTPHeaders.h"
#include "ZInstance.h"
#include "ZNonPortable_Hotkey.h"
#include "ZNonPortable_Thread.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZTemplate.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"
#include "ZUtil.h"

namespace {

// Letters, digits, "-", "_", "@" and "." only.
bool validIdentifier(const std::wstring& text) { return ZCaseEquals(text, ZNormalizeGUID(text)); }

bool validUserName(const std::wstring& text) {
    return validIdentifier(text) && text.find(L'@') == std::wstring::npos;
}

}  // namespace

void ZTemplate::_accountAction(const Command& command) {
    const std::wstring& action = command.action;
    if (ZCaseEquals(action, L"new")) {
        const bool haveName = _instance->isSet(L"Local_Username");
        const bool havePassword = _instance->isSet(L"Local_Password");
        const bool haveEmail = _instance->isSet(L"Local_Email");
        if (haveName && validUserName(_instance->get(L"Local_Username")) && havePassword && haveEmail) {
            _instance->clear(L"Local_User_GUID");
            executeCommand(L"(/skin/window_new?close)", nullptr);
            _enqueue(L"ZClient_commandQueue", ZHTTPHeaders(L"LOGON"));
            return;
        }
        const wchar_t* status = !haveEmail      ? L"-- Missing email --"
                                : !haveName     ? L"-- Missing username --"
                                : !havePassword ? L"-- Missing password --"
                                                : L"-- Invalid name (a-z0-9_.-) --";
        _instance->set(L"Logon_Status", std::wstring(status), false);
        ZLOG(L"WARNING Cannot 'new': '" << status << L"'");
    } else if (ZCaseEquals(action, L"login")) {
        const bool haveGuid = _instance->isSet(L"Local_User_GUID");
        const bool havePassword = _instance->isSet(L"Local_Password");
        if (haveGuid && havePassword && validIdentifier(_instance->get(L"Local_User_GUID"))) {
            const std::wstring guid = ZNormalizeGUID(_instance->get(L"Local_User_GUID"));
            _instance->set(L"Local_User_GUID", guid, false);
            std::wstring user;
            std::wstring domain;
            ZSplitAddress(guid, user, domain);
            if (domain.empty()) _instance->set(L"Local_User_GUID", user + L"@" + ZTEMPLATE_SERVICE_DOMAIN, true);
            executeCommand(L"(/skin/window_login?close)", nullptr);
            _enqueue(L"ZClient_commandQueue", ZHTTPHeaders(L"LOGON"));
            return;
        }
        const wchar_t* status =
            (!haveGuid || !havePassword) ? L"-- Missing name or password --" : L"-- Invalid name (a-z0-9@_.-) --";
        _instance->set(L"Logon_Status", std::wstring(status), false);
        ZLOG(L"WARNING Cannot 'login': '" << status << L"'");
    } else if (ZCaseEquals(action, L"updatecapture")) {
        ZLOG(L"ACTIVITY: Updating preferences");
        _enqueue(L"ZSIPService_commandQueue", ZHTTPHeaders(L"UPDATECAPTURE"));
    } else {
        ZLOG(L"WARNING Unknown account action '" << action << L"', ignoring.");
    }
}

void ZTemplate::_deviceAction(const Command& command) {
    const std::wstring& device = command.rest;
    if (!ZCaseEquals(device, L"audio") && !ZCaseEquals(device, L"video")) {
        ZLOG(L"WARNING Tried to address non-existent device '" << command.path << L"', ignoring.");
        return;
    }
    const std::wstring& action = command.action;
    if (ZCaseEquals(action, L"startpreview")) {
        _enqueue(L"ZVideoCaptureService_commandQueue", ZHTTPHeaders(L"START" + device + L"PREVIEW"));
    } else if (ZCaseEquals(action, L"stoppreview")) {
        _enqueue(L"ZVideoCaptureService_commandQueue", ZHTTPHeaders(L"STOP" + device + L"PREVIEW"));
    } else if (ZCaseEquals(action, L"reset")) {
        if (!dynamic_cast<IZListControl*>(command.context)) {
            ZLOG(L"WARNING Tried to 'reset' device '" << device << L"' from non-list source, ignoring.");
            return;
        }
        ZHTTPHeaders start(L"START");
        start.set(L"Video_Capture_Device", _instance->get(L"Video_Capture_Device"));
        start.set(L"Audio_Capture_Device", _instance->get(L"Audio_Capture_Device"));
        _enqueue(L"ZVideoCaptureService_commandQueue", start);
    } else {
        ZLOG(L"WARNING Unknown '" << command.path << L"' action '" << action << L"', ignoring.");
    }
}

void ZTemplate::_fileServiceAction(const Command& command) {
    const std::wstring& action = command.action;
    const bool open = ZCaseEquals(action, L"open");
    if (!open && !ZCaseEquals(action, L"cancel")) {
        ZLOG(L"WARNING Unrecognized fileservice action '" << action << L"', ignoring.");
        return;
    }
    if (command.selection.empty()) {
        ZLOG(L"WARNING Unable to '" << (open ? L"OPEN" : L"CANCEL") << L"' because nothing selected, ignoring.");
        return;
    }
    ZHTTPHeaders message(open ? L"OPEN" : L"CANCEL");
    message.set(L"File-ID", command.selection);
    _enqueue(L"ZFileService_commandQueue", message);
}

void ZTemplate::_systemAction(const Command& command) {
    const std::wstring& action = command.action;
    auto logoff = [&](int reconnect, int exit, int restart) {
        _enqueue(L"ZClient_commandQueue", ZHTTPHeaders(L"LOGOFF"));
        _instance->set(L"Reconnect_When_Offline", static_cast<std::int64_t>(reconnect), false);
        _instance->set(L"Exit_When_Offline", static_cast<std::int64_t>(exit), false);
        _instance->set(L"Restart_On_Exit", static_cast<std::int64_t>(restart), false);
    };
    if (ZCaseEquals(action, L"exit")) {
        logoff(0, 1, 0);
    } else if (ZCaseEquals(action, L"reconnect")) {
        ZLOG(L"ACTIVITY: RECONNECT");
        logoff(1, 0, 0);
    } else if (ZCaseEquals(action, L"signout")) {
        // Back to the sign-in window with the name kept: the password is
        // forgotten, so the next start does not sign in on its own.
        ZLOG(L"ACTIVITY: SIGNOUT");
        logoff(0, 0, 0);
        _instance->clear(L"Local_Password");
        _instance->clear(L"Logon_Status");
        _instance->save();
    } else if (ZCaseEquals(action, L"restart")) {
        ZLOG(L"ACTIVITY: RESTART");
        logoff(0, 1, 1);
    } else if (ZCaseEquals(action, L"delayrestart")) {
        ZLOG(L"ACTIVITY: DELAYRESTART");
        const std::int64_t delay =
            static_cast<std::int32_t>(static_cast<std::uint32_t>(ZToInt64(command.argument(L"delay"))));
        _restartTime = now() + delay * 1000000;
        _countdownOpen = false;
    } else if (ZCaseEquals(action, L"setlogfilter")) {
        const std::wstring filter = _instance->get(L"Log_Filter");
        ZLOG(L"ACTIVITY: SETLOGFILTER(" << filter << L")");
        ZLogSetFilter(ZToUTF8(filter));
        _instance->set(L"Debug_Result", L"Set log filter to '" + filter + L"'  ", false);
    } else if (ZCaseEquals(action, L"getvalue")) {
        const std::wstring name = _instance->get(L"Debug_Name");
        ZLOG(L"ACTIVITY: GETVALUE(" << name << L")");
        const std::wstring value = _instance->get(name);
        _instance->set(L"Debug_Value", value, false);
        _instance->set(L"Debug_Result", L"Getting '" + name + L"' = '" + value + L"'  ", false);
    } else if (ZCaseEquals(action, L"setvalue")) {
        const std::wstring name = _instance->get(L"Debug_Name");
        const std::wstring value = _instance->get(L"Debug_Value");
        ZLOG(L"ACTIVITY: SETVALUE('" << name << L"'='" << value << L"')");
        _instance->set(name, value, false);
        _instance->set(L"Debug_Result", L"Setting '" + name + L"' = '" + value + L"'  ", false);
    } else if (ZCaseEquals(action, L"set")) {
        const std::wstring name = command.argument(L"name");
        const std::wstring value = command.argument(L"value");
        if (name.empty()) {
            ZLOG(L"WARNING Cannot set value '" << value << L"' because no name specificed; ignoring.");
            return;
        }
        ZLOG(L"ACTIVITY: SET('" << name << L"'='" << value << L"')");
        _instance->set(name, value, false);
    } else if (ZCaseEquals(action, L"assignhotkey")) {
        _assignHotkey(command);
    } else if (ZCaseEquals(action, L"clearhotkey")) {
        _clearHotkey(command);
    } else if (ZCaseEquals(action, L"uploadlogfile")) {
        ZLOG(L"ACTIVITY: UPLOADLOGFILE");
        std::string archived;
        ZLogClose(archived, false);
        ZLogOpen(L"zandrel", false);
        _instance->set(L"Exit_When_Logfiles_Uploaded", static_cast<std::int64_t>(0), false);
        _enqueue(L"ZLogfileService_commandQueue", ZHTTPHeaders(L"UPLOADLOGFILES"));
    } else if (ZCaseEquals(action, L"bugreport")) {
        const std::wstring report = _instance->get(L"Bug_Report");
        if (report.empty()) {
            _instance->set(L"Bug_Report_Status", std::wstring(L"Please enter bug report or suggestion."), false);
            return;
        }
        ZLOG(L"ACTIVITY: BUGREPORT(" << report << L")");
        _instance->set(L"Bug_Report_Status", std::wstring(L"Uploading report..."), false);
        _enqueue(L"ZSIPService_commandQueue", ZHTTPHeaders(L"BUGREPORT"));
        executeCommand(L"(/system?uploadlogfile)", nullptr);
    } else if (ZCaseEquals(action, L"logcallstack")) {
        const ZThreadId thread = command.selection.empty() ? 0 : ZThreadFindByName(command.selection);
        if (thread)
            ZCallStackDump(static_cast<std::uint32_t>(thread));
        else
            ZLOG(L"WARNING Unknown thread '" << command.selection << L"', cannot log call stack; ignoring.");
    } else {
        ZLOG(L"WARNING Unknown system action '" << action << L"', ignoring.");
    }
}

void ZTemplate::_assignHotkey(const Command& command) {
    const std::wstring name = command.selection.empty() ? command.argument(L"name") : command.selection;
    if (name.empty()) {
        ZLOG(L"WARNING Trying to assign hotkey, but nothing selected");
        return;
    }
    const std::wstring keys = _instance->get(L"Working_Hotkey");
    const std::wstring variable = name + L"_Hotkey";
    auto held = _hotkeys.find(variable);
    if (held != _hotkeys.end()) {
        ZSystemHotkeyClose(held->second);
        _hotkeys.erase(held);
    }
    ZHotkey* hotkey = keys.empty() ? nullptr : ZSystemHotkeyOpen(keys, name);
    if (hotkey) {
        _hotkeys[variable] = hotkey;
        _instance->set(variable, keys, true);
        _instance->clear(variable + L"_Status");
    } else if (!keys.empty()) {
        // The user's stored combination stays: the failure (another program
        // holds the keys, or they name no key) shows only in the status.
        _instance->set(variable + L"_Status", std::wstring(L"<key combination in use>"), false);
    }
}

void ZTemplate::_clearHotkey(const Command& command) {
    const std::wstring name = command.selection.empty() ? command.argument(L"name") : command.selection;
    if (name.empty()) {
        ZLOG(L"WARNING Trying to clear hotkey, but nothing selected");
        return;
    }
    const std::wstring variable = name + L"_Hotkey";
    auto held = _hotkeys.find(variable);
    if (held != _hotkeys.end()) {
        ZSystemHotkeyClose(held->second);
        _hotkeys.erase(held);
    }
    _instance->clear(variable);
    _instance->clear(variable + L"_Status");
}
