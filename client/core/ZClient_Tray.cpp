// The tray icon's and the system's callbacks, the icon's picture and the
// delayed restart for an upgrade.
#include "ZClient.h"
#include "ZInstance.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

const wchar_t kPublicMode[] = L"Public - Allow some people to see me";

}  // namespace

void ZClient::onLButtonDblClk(ZIcon* icon) {
    ZTRACE();
    invariantTest();
    ZWARNASSERT(icon == _icon);
    _raise(3);
}

void ZClient::onRButtonDown(ZIcon* icon) {
    ZTRACE();
    invariantTest();
    ZWARNASSERT(icon == _icon);
    _raise(2);
}

void ZClient::onBubbleClick(ZIcon* icon, int id) {
    ZTRACE();
    invariantTest();
    ZWARNASSERT(icon == _icon);
    if (id != 0) _raise(id);
}

void ZClient::onSuspend() {
    ZTRACE();
    invariantTest();
    const std::int64_t now = _now();
    if (now - _powerInterval.start <= _powerInterval.period) return;
    _powerInterval.start = now;
    ZLog(L"ACTIVITY: SUSPEND\n");
    _raise(10);
}

void ZClient::onResume() {
    ZTRACE();
    invariantTest();
    const std::int64_t now = _now();
    if (now - _resumeInterval.start <= _resumeInterval.period) return;
    _resumeInterval.start = now;
    ZLog(L"ACTIVITY: RESUME\n");
    _localIPs.clear();
    _sources.listIPs(_localIPs);
    _raise(11);
}

void ZClient::onHotkeyDown(ZHotkey* hotkey, const std::wstring& name) {
    ZTRACE();
    invariantTest();
    _template->onHotkeyDown(hotkey, name);
}

void ZClient::onHotkeyUp(ZHotkey* hotkey, const std::wstring& name) {
    ZTRACE();
    invariantTest();
    _template->onHotkeyUp(hotkey, name);
}

// Without a system tray nothing on the desktop brings back a hidden buddy
// list, so its close button minimises it; a tray that appears later takes
// the icon, and from then on closing hides the window as usual.
void ZClient::_publishTrayPresence() {
    const int docked = ZIconIsDocked(_icon) ? 1 : 0;
    if (docked == _trayDocked) return;
    _trayDocked = docked;
    _instance->set(L"Buddylist_Close_Action", std::wstring(docked ? L"close" : L"minimize"), false);
}

void ZClient::_raise(int eventID) {
    if (_modal > 0) {
        _deferred.push_back(eventID);
        return;
    }
    _onInput(eventID, ZHTTPHeaders());
}

void ZClient::_runDeferred() {
    while (_modal == 0 && !_deferred.empty()) {
        const int eventID = _deferred.front();
        _deferred.erase(_deferred.begin());
        _onInput(eventID, ZHTTPHeaders());
    }
}

int ZClient::_updateIcon(int level) {
    ZTRACE();
    const bool isPublic = ZCaseEquals(_instance->get(L"Video_Privacy_Choice_Mode"), kPublicMode);
    if (level < 0 || level > 2) {
        ZLOG(_context() << L"ERROR Invalid icon state #" << level);
        ZAbort();
    }
    const int state = isPublic ? level : level + 3;
    ZIconSetState(_icon, state);
    return state;
}

void ZClient::_promptForUpgrade() {
    ZTRACE();
    _execute(L"(/system?delayrestart+delay=30)");
}

void ZClient::_onUpgradeRefused(const ZHTTPHeaders& message) {
    ZTRACE();
    // Only a critical upgrade keeps the client offline; any other is simply
    // not installed, and the next sign-in offers it again.
    if (!ZCaseEquals(_instance->get(L"Local_Upgrade_Priority"), L"critical")) return;
    _instance->set(L"Logon_Status", std::wstring(L"-- Upgrade required but could not be verified --"), false);
    const std::wstring url = message.get(L"Upgrade-URL");
    if (ZCaseEquals(url, _refusedUpgradeURL)) return;
    _refusedUpgradeURL = url;
    _bubble(L"Critical update could not be installed",
            L"Zandrel needs the update '" + _instance->get(L"Local_Upgrade_Name") +
                L"' to go online, but it could not be verified.  It will be offered again at the next sign-in.",
            0);
}

void ZClient::_bubble(const std::wstring& title, const std::wstring& text, int id) {
    ZIconSetBubble(_icon, title, text, id);
}
