// Push-to-talk and the automatic-restart countdown.
//
// Talk: idle -> talking (a start command, a buddy's hotkey or "Talk_Again";
// the buddy is in "Talking_To_List") -> stopping (nothing holds the talk:
// the list is removed, its buddies wait in _talkStopList) -> idle once the
// 500 ms delay ran out (RESET with audio off to every device). A new talk
// for a waiting buddy takes it out of _talkStopList, so the delay cannot
// switch the new talk's audio off; a talk that ends while others wait joins
// them, so none of them is forgotten with its audio on.
//
// Countdown: none (_restartTime 0) -> armed ("delayrestart") -> counting
// (less than 30 s left: window open, seconds published each tick) ->
// restarting (time reached).
#include <algorithm>
#include <list>

#include "ZHTTPHeaders.h"
#include "ZInstance.h"
#include "ZNonPortable_Hotkey.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZTemplate.h"
#include "ZUtil.h"

void ZTemplate::_resetBuddyTalk(const std::wstring& buddy, bool talking) {
    std::list<std::wstring> devices;
    _instance->get(buddy + L"_Device_List", devices);
    const bool privateMode =
        ZCaseEquals(_instance->get(L"Video_Privacy_Choice_Mode"), L"Private - Allow nobody to see me");
    const bool always = ZCaseEquals(_instance->get(L"Video_Privacy_Choice_When"), L"Always");
    const bool everyone = ZCaseEquals(_instance->get(L"Video_Privacy_Choice_Who"), L"All my buddies");
    for (const std::wstring& device : devices) {
        const std::wstring bdg = ZComposeAddress(buddy, device);
        const bool enabled = _instance->test(bdg + L"_Video_Enabled");
        const bool video = !privateMode && (talking || always) && (everyone || enabled);
        ZHTTPHeaders reset(L"RESET");
        reset.set(L"Buddy-Device-GUID", bdg);
        reset.set(L"Video-FPS", std::wstring(talking ? L"5" : L"1"));
        reset.set(L"Audio-Enable", talking);
        reset.set(L"Video-Enable", video);
        _enqueue(L"ZVideoCaptureService_commandQueue", reset);
    }
    if (talking) {
        _talkStopList.remove(buddy);
        _instance->insert(L"Talking_To_List", buddy);
        _instance->get(L"Talking_To_List", _lastTalkToList);
    }
}

void ZTemplate::_updateHotkeys() {
    std::list<std::wstring> ended;
    // The keyboard and pointer are asked only while somebody is talked to:
    // an idle client makes no round trip to the X server on this tick.
    _talking = _instance->get(L"Talking_To_List", ended);
    if (_talking && !_talkHeld()) {
        _talking = false;
        ZLOG(L"ACTIVITY: Hotkey up, stopping talk to '" << ZJoin(ended, L", ") << L"'");
        _instance->clear(L"Talking_To_List");
        // Buddies of an earlier talk still waiting for their stop stay on the
        // list: replacing it would leave their audio on.
        for (const std::wstring& buddy : ended)
            if (!ZCONTAINS(_talkStopList, buddy)) _talkStopList.push_back(buddy);
        _talkStopInterval.restart(now());
    }
    if (!_talkStopList.empty() && now() - _talkStopInterval.start > _talkStopInterval.period) {
        _talkStopInterval.restart(now());
        const std::list<std::wstring> stopping = _talkStopList;
        _talkStopList.clear();
        for (const std::wstring& buddy : stopping) _resetBuddyTalk(buddy, false);
    }
}

void ZTemplate::onHotkeyDown(ZHotkey*, const std::wstring& name) {
    invariantTest();
    if (ZCaseEquals(name, L"Talk_Again")) {
        ZLOG(L"ACTIVITY: STARTTALKAGAIN(" << ZJoin(_lastTalkToList, L", ") << L")");
        if (_lastTalkToList.empty()) return;
        if (!_instance->test(L"Audio_Capture_Online")) {
            ZLOG(L"WARNING Trying to 'TALKAGAIN' but no audio device configured, ignoring.");
            return;
        }
        const std::list<std::wstring> talkToList = _lastTalkToList;
        _lastTalkToList.clear();
        for (const std::wstring& buddy : talkToList) _resetBuddyTalk(buddy, true);
        ZWARNASSERT(talkToList == _lastTalkToList);
        _hotkeyDown = true;
    } else if (_instance->contains(L"Local_Buddy_List", name)) {
        ZLOG(L"ACTIVITY: STARTTALK(" << name << L")");
        if (!_instance->test(L"Audio_Capture_Online")) {
            ZLOG(L"WARNING Cannot talk to '" << name << L"' as no audio device is configured, ignoring.");
        } else if (!_instance->test(name + L"_Online")) {
            ZLOG(L"WARNING Cannot talk to '" << name << L"' as buddy is not online, ignoring.");
        } else {
            _resetBuddyTalk(name, true);
            _hotkeyDown = true;
        }
    } else {
        ZLOG(L"WARNING Unrecognized hotkey '" << name << L"', ignoring.");
    }
}

void ZTemplate::onHotkeyUp(ZHotkey*, const std::wstring& name) {
    invariantTest();
    if (ZCaseEquals(name, L"Talk_Again"))
        ZLOG(L"ACTIVITY: STOPTALKAGAIN");
    else if (_instance->contains(L"Local_Buddy_List", name))
        ZLOG(L"ACTIVITY: STOPTALK(" << name << L")");
    else
        return;
    _hotkeyDown = false;
    _updateHotkeys();
}

// Once a call is picked up its window says so, and who is talking: the
// status line a ringing or calling call used is free until the call ends.
void ZTemplate::_updateCallLines() {
    std::list<std::wstring> buddies;
    if (!_instance->get(L"Local_Buddy_List", buddies)) return;
    for (const std::wstring& buddy : buddies) {
        if (_instance->get(buddy + L"_Call_State") != L"talking") continue;
        const bool we = _instance->contains(L"Talking_To_List", buddy);
        const bool they = _instance->contains(L"Listening_To_List", buddy);
        std::wstring line;
        if (we && they)
            line = L"On the call: you and " + buddy + L" are talking.";
        else if (we)
            line = L"On the call: you are talking.";
        else if (they)
            line = L"On the call: " + buddy + L" is talking.";
        else
            line = L"On the call with " + buddy + L".";
        _instance->set(buddy + L"_Call_Status", line, false);
    }
}

void ZTemplate::onTimer(ZTimer* timer) {
    invariantTest();
    ZWARNASSERT(timer == _timer);
    // What the talk and the call lines read changes only with the store,
    // but a held talk is watched, and a stop awaited, on every tick. The
    // count is taken before the reads, so a change made meanwhile is read
    // again on the next tick.
    const std::uint64_t changes = _instance->changes();
    const bool changed = changes != _tickChanges;
    _tickChanges = changes;
    if (changed || _talking || !_talkStopList.empty()) _updateHotkeys();
    if (changed) _updateCallLines();
    const std::int64_t t = now();
    if (_restartTime != 0 && _restartTime - t < ZTEMPLATE_COUNTDOWN) {
        if (_restartTime > t) {
            _instance->set(L"Seconds_Until_Auto_Restart", (_restartTime - t) / 1000000, false);
            if (!_countdownOpen) {
                _countdownOpen = true;
                executeCommand(L"(/skin/window_countdown?open)", nullptr);
            }
        } else {
            ZLOG(L"ACTIVITY: AUTO-RESTARTING");
            _restartTime = 0;
            _countdownOpen = false;
            executeCommand(L"(/skin/window_countdown?close)", nullptr);
            executeCommand(L"(/system?restart)", nullptr);
        }
    }
}
