// What the client does with the services' notifications and with the
// requests a buddy's device broadcasts to it while online: store variables,
// skin commands, balloons and commands for the screen and file services.
// Also the hotkey of a new buddy and the tray menu.
#include <algorithm>
#include <vector>

#include "ZClient.h"
#include "ZInstance.h"
#include "ZPortable.h"
#include "ZSessionHelpers.h"
#include "ZUtil.h"

namespace {

const wchar_t kPublicMode[] = L"Public - Allow some people to see me";
const wchar_t kPrivateMode[] = L"Private - Allow nobody to see me";
const wchar_t kFilePage[] =
    L"(/skin/window_options/copy/border/inside/wizard?jump+target=file;/skin/window_options?open)";
const wchar_t kAudioPage[] =
    L"(/skin/window_options/copy/border/inside/wizard?jump+target=audio;/skin/window_options?open)";

// The last piece of a path split at '\' or '/', trimmed; the whole text when
// there is none.
std::wstring lastPathPiece(const std::wstring& path) {
    std::list<std::wstring> pieces;
    ZTokenize(pieces, path, L"\\/");
    return pieces.empty() ? path : pieces.back();
}

}  // namespace

void ZClient::_assignHotkey(const ZHTTPHeaders& eventHeaders) {
    ZTRACE();
    const std::wstring buddy = eventHeaders.get(L"Buddy-GUID");
    if (!ZSIPIsUserGUID(buddy)) {
        ZLOG(_context() << L"WARNING Invalid buddy '" << ZSIPPrintable(buddy) << L"' in 'NEWBUDDY', ignoring.");
        return;
    }
    if (!_instance->isSet(buddy + L"_Hotkey")) return;
    const std::wstring hotkey = _instance->get(buddy + L"_Hotkey");
    ZLOGC('c', _context() << L"Assigning hotkey '" << hotkey << L"' to '" << buddy << L"'");
    _instance->set(L"Working_Hotkey", hotkey, false);
    _execute(L"(/system?assignhotkey+name=" + buddy + L")");
    _instance->set(L"Working_Hotkey", std::wstring(L"    (click here and press keys)"), false);
}

bool ZClient::_onNotification(int eventID, const std::wstring& method, const ZHTTPHeaders& eventHeaders) {
    ZTRACE();
    const std::wstring user = eventHeaders.get(L"User-GUID");
    const bool userNeeded = ZCaseEquals(method, L"LISTENINGTO") || ZCaseEquals(method, L"NOTIFYCANTTALK") ||
                            ZCaseEquals(method, L"NOTIFYREMOTECANTTALK");
    if (userNeeded && !ZSIPIsUserGUID(user)) {
        ZLOG(_context() << L"WARNING Invalid 'User-GUID' '" << ZSIPPrintable(user) << L"' in '" << method
                        << L"', ignoring.");
        return true;
    }
    if (ZCaseEquals(method, L"LISTENINGTO")) {
        if (_sources.getMute()) {
            _bubble(L"Speakers are muted",
                    L"You cannot hear " + user +
                        L" talking because your speakers are muted.  Click here to unmute your speakers.",
                    5);
        } else if (_sources.getVolume() < 0.1f) {
            _bubble(L"Volume is very low",
                    L"You might be unable to hear " + user +
                        L" talking because your volume is set very low.  Click here to bump up your volume.",
                    6);
        }
        return true;
    }
    if (ZCaseEquals(method, L"NOTIFYCANTTALK")) {
        if (_instance->test(L"Audio_Capture_Online")) {
            ZLOG(_context() << L"WARNING: Assertion failed. (!_instance->test( L\"Audio_Capture_Online\" ))");
        }
        _bubble(L"No microphone configured",
                L"You cannot talk to " + user +
                    L" because you have no microphone configured.  Click here to configure your audio.",
                7);
        return true;
    }
    if (ZCaseEquals(method, L"NOTIFYREMOTECANTTALK")) {
        _instance->set(L"ZCE_ICONPTT_Buddy", user, false);
        _bubble(L"Buddy has no microphone configured",
                L"You cannot call " + user +
                    L" because your buddy has no microphone configured.  Click here to 'push to talk'.",
                9);
        return true;
    }
    if (ZCaseEquals(method, L"DEVICEBROADCAST")) return _onDeviceBroadcast(eventHeaders);
    const bool received = ZCaseEquals(method, L"RECVFILECOMPLETE");
    if (received || ZCaseEquals(method, L"SENDFILECOMPLETE")) {
        const std::wstring file = lastPathPiece(eventHeaders.get(L"Path"));
        const std::wstring device = eventHeaders.get(L"Buddy-Device-GUID");
        // A transfer that was cancelled or failed its check is not a file
        // received or sent.
        const std::wstring outcome = eventHeaders.get(L"Outcome");
        if (!outcome.empty() && !ZCaseEquals(outcome, L"Done")) return true;
        const std::wstring text = received ? L"You have received '" + file + L"' from " + device
                                           : L"You have sent '" + file + L"' to " + device;
        _bubble(L"File transfer complete", text + L".  Click here to open the file transfer dialog.", 4);
        return true;
    }
    switch (eventID) {
        case 4:
            _activity(L"SHOWTRANSFER");
            _execute(kFilePage);
            return true;
        case 5:
            _activity(L"UNMUTE");
            _sources.setMute(false);
            return true;
        case 6:
            _activity(L"BUMPVOLUME");
            _sources.setVolume(0.5f);
            return true;
        case 7:
            _activity(L"CONFIGAUDIO");
            _execute(kAudioPage);
            return true;
        case 9: {
            const std::wstring buddy = _instance->get(L"ZCE_ICONPTT_Buddy");
            if (buddy.empty()) ZLOG(_context() << L"WARNING: Assertion failed. (!buddy.empty( ))");
            _execute(L"(/buddies/" + buddy + L"?starttalkhandsfree)");
            return true;
        }
        default:
            return false;
    }
}

// A buddy's chats pass at a steady rate after a burst; a flood is dropped
// with one warning, and ends once the buddy has been quiet long enough to
// fill the burst again.
bool ZClient::_admitChat(const std::wstring& buddy) {
    ChatBudget& budget = _chatBudgets[ZToLower(buddy)];
    const std::int64_t now = _now();
    if (budget.last)
        budget.tokens = std::min<double>(
            ZCHAT_BURST, budget.tokens + static_cast<double>(now - budget.last) * ZCHATS_PER_SECOND / 1e6);
    budget.last = now;
    if (budget.tokens >= ZCHAT_BURST) budget.flooding = false;
    if (budget.tokens >= 1) {
        budget.tokens -= 1;
        return true;
    }
    if (!budget.flooding)
        ZLOG(_context() << L"WARNING Too many chats from '" << buddy << L"', dropping them for a while.");
    budget.flooding = true;
    return false;
}

bool ZClient::_onDeviceBroadcast(const ZHTTPHeaders& eventHeaders) {
    ZTRACE();
    const std::wstring buddy = eventHeaders.get(L"From");
    const std::wstring deviceGUID = eventHeaders.get(L"From-Device-GUID");
    // These names go into commands, store names and file names.
    if (!ZSIPIsUserGUID(buddy) || !ZSIPIsDeviceGUID(deviceGUID)) {
        ZLOG(_context() << L"WARNING Received 'DEVICEBROADCAST' from invalid sender '" << ZSIPPrintable(buddy) << L"@"
                        << ZSIPPrintable(deviceGUID) << L"', ignoring.");
        return false;
    }
    const std::wstring device = ZComposeAddress(buddy, deviceGUID);
    const std::wstring sendFrom = _instance->get(device + L"_Send_From");
    const std::wstring sendTo = _instance->get(device + L"_Send_To");
    const std::wstring recvFrom = _instance->get(device + L"_Recv_From");
    if (sendFrom.empty() || sendTo.empty() || recvFrom.empty())
        ZLOG(_context() << L"WARNING: Assertion failed. (!sendFrom.empty( ) && !sendTo.empty( ) && "
                           L"!recvFrom.empty( ))");
    if (!eventHeaders.hasContent()) {
        ZLOG(_context() << L"WARNING Received malformed 'DEVICEBROADCAST' from '" << buddy << L"', ignoring.");
        return false;
    }
    ZHTTPHeaders inner;
    if (inner.deserialize(eventHeaders.getContent(0)) <= 0) {
        ZLOG(_context() << L"WARNING Unable to deserialize payload via 'DEVICEBROADCAST' from '" << buddy
                        << L"', ignoring.");
        return false;
    }
    const std::wstring method = inner.getMethod();
    if (ZCaseEquals(method, L"CALLINVITE")) {
        _instance->set(buddy + L"_Call_State", std::string("ringing"), false);
        _instance->set(buddy + L"_Call_Status", buddy + L" is calling.", false);
        _execute(L"(/skin/foreach_call/window_" + buddy + L"?open)");
        ZSoundPlay(L"phone.wav");
    } else if (ZCaseEquals(method, L"CALLCANCEL")) {
        _instance->set(buddy + L"_Call_State", std::string("declined"), false);
        _execute(L"(/buddies/" + buddy + L"?stoptalkhandsfree)");
        const std::wstring reason = inner.get(L"Reason");
        if (ZCaseEquals(reason, L"chat")) {
            _execute(L"(/skin/foreach_call/window_" + buddy + L"?close)");
            _execute(L"(/skin/foreach_chat/window_" + buddy + L"?open)");
        } else if (ZCaseEquals(reason, L"done")) {
            _instance->set(buddy + L"_Call_Status", buddy + L" is done.", false);
        } else {
            _instance->set(buddy + L"_Call_Status", buddy + L" has declined.", false);
        }
    } else if (ZCaseEquals(method, L"CALLACCEPT")) {
        _instance->set(buddy + L"_Call_State", std::string("talking"), false);
        _instance->clear(buddy + L"_Call_Status");
        _execute(L"(/buddies/" + buddy + L"?starttalkhandsfree)");
    } else if (ZCaseEquals(method, L"CHATDONE")) {
        _execute(L"(/skin/foreach_chat/window_" + buddy + L"?close)");
    } else if (ZCaseEquals(method, L"CHAT")) {
        const std::wstring action = inner.get(L"Action");
        if (ZCaseEquals(action, L"send")) {
            if (!_admitChat(buddy)) return true;
            // The sender is the device that sent it, whatever the message says.
            inner.set(L"From", buddy);
            ZSkinQueueCHAT(_instance, buddy, inner);
            _instance->clear(buddy + L"_Chat_Status");
            _template->logCHAT(buddy, inner);
        } else if (ZCaseEquals(action, L"start")) {
            _instance->set(buddy + L"_Chat_Status", buddy + L" is typing...", false);
        } else if (ZCaseEquals(action, L"cancel")) {
            _instance->clear(buddy + L"_Chat_Status");
        } else {
            ZLOG(_context() << L"WARNING Invalid chat action '" << ZSIPPrintable(action) << L"', ignoring.");
        }
    } else if (ZCaseEquals(method, L"SENDFILE")) {
        _onFileOffer(buddy, device, inner);
    } else if (ZCaseEquals(method, L"CANCELSENDFILE")) {
        ZHTTPHeaders cancel(L"CANCEL");
        cancel.set(L"File-ID", L"File#" + ZToString(inner.calc64(L"File-ID")));
        _instance->enqueue(L"ZFileService_commandQueue", cancel.serialize());
    } else if (ZCaseEquals(method, L"SHARESCREEN")) {
        ZLOGC('c', _context() << L"Receiving screen share from '" << buddy << L"'");
        ZHTTPHeaders open(inner);
        open.setMethod(L"OPENRECV");
        open.set(L"Buddy-GUID", buddy);
        open.set(L"Send-To", sendTo);
        open.set(L"Send-From", sendFrom);
        open.set(L"Recv-From", recvFrom);
        _instance->enqueue(L"ZScreenService_commandQueue", open.serialize());
    } else {
        ZLOG(_context() << L"WARNING Received unknown request '" << ZSIPPrintable(method) << L"' via 'DEVICEBROADCAST' from '"
                        << buddy << L"', ignoring.");
        return false;
    }
    return true;
}

void ZClient::_onFileOffer(const std::wstring& buddy, const std::wstring& device, const ZHTTPHeaders& inner) {
    ZTRACE();
    ++_modal;
    const std::wstring path =
        _sources.saveFileDialog(L"Please choose where to save the file from " + buddy, inner.get(L"Filename"));
    --_modal;
    ZHTTPHeaders copy(inner);
    if (path.empty()) {
        copy.setMethod(L"CANCELSENDFILE");
        _template->broadcastToBuddy(buddy, copy);
        return;
    }
    copy.setMethod(L"RECVFILE");
    copy.set(L"Path", path);
    copy.set(L"Send-From", _instance->get(device + L"_Send_From"));
    copy.set(L"Send-To", _instance->get(device + L"_Send_To"));
    // The sender's packets may come by the other leg of the route; the file
    // service takes them from these two addresses only.
    copy.set(L"Recv-From", _instance->get(device + L"_Recv_From"));
    copy.set(L"Buddy-Device-GUID", device);
    _instance->enqueue(L"ZFileService_commandQueue", copy.serialize());
    _execute(kFilePage);
}

void ZClient::_showTrayMenu() {
    ZTRACE();
    const bool isPublic = ZCaseEquals(_instance->get(L"Video_Privacy_Choice_Mode"), kPublicMode);
    const std::vector<std::wstring> labels = {
        L"&Show Buddylist", L"&Add Buddy", L"&Options", L"&Reconnect",
        isPublic ? L"Go P&rivate (disable video)" : L"Go P&ublic (see and be seen)", L"E&xit"};
    ++_modal;
    const int choice = ZMenuExecute(labels);
    --_modal;
    switch (choice) {
        case 0: _execute(L"(/skin/window_buddylist?open)"); break;
        case 1: _execute(L"(/skin/window_addbuddy?open)"); break;
        case 2: _execute(L"(/skin/window_options?open)"); break;
        case 3: _execute(L"(/system?reconnect)"); break;
        case 4:
            _instance->set(L"Video_Privacy_Choice_Mode", std::wstring(isPublic ? kPrivateMode : kPublicMode), false);
            _execute(L"(/account?updatecapture)");
            break;
        case 5: _execute(L"(/skin/window_buddylist?close;/system?exit)"); break;
        default: break;
    }
}
