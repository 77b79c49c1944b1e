// A headless peer for tests: the real store, switchboard, dispatch service
// and buddy-list service in a process of their own, signed in with a real
// AUTHENTICATE. It logs on to its buddies once connected and signs off on
// SIGTERM or "quit": BUDDYLOGOFF, then DISCONNECT, then it ends. Each
// instance runs in its own working folder (its "zandrel.log" is there).
//
// Options (besides the entry's own -log, -norestart, -silent):
//   -auth <host:port> -user <name> -password <text> -email <text>
//   -forceturn 1          relay only, direct datagrams discarded
//   -upnp <url>           the UPnP gateway's root description (no discovery)
// Standard input, one command a line: "addbuddy <guid>", "removebuddy <guid>",
// "chat <guid> <text>" (a DEVICEBROADCAST holding a CHAT on the buddy's
// queue), "status" ("LOSS <buddy>@<device> <loss text>" per device, then
// "STATUS DONE"), "quit". Standard output, one line each: "AUTHENTICATED <user>" or
// "AUTHFAILED <summary>" (then it ends at once); "NOTIFY <method> <Buddy-GUID>" for every message on
// "ZClient_commandQueue"; "CHAT <from> <text>" for a received chat;
// "SIPSTATUS <state>" when the buddy-list service's state shows a change;
// "POST <queue> <method> <device or buddy>" for every command to the capture,
// playback, file and screen services; "BYE" at the end.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ZDispatchService.h"
#include "ZHeadlessStart.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZOptionMap.h"
#include "ZPortable.h"
#include "ZSIPService.h"
#include "ZUtil.h"
#include "ZWinMain.h"

using namespace headless;

namespace {

void post(ZInstance* instance, const wchar_t* queue, const ZHTTPHeaders& message) {
    instance->enqueue(queue, message.serialize());
}

// What the client object would do with its queue, and what the media and
// data services would be told, reported on standard output.
class ZPeerTick : public IZTimerListener {
public:
    explicit ZPeerTick(ZInstance* instance) : _instance(instance), _timer(ZTimerOpen(20000, this)) {
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    }
    ~ZPeerTick() override { ZTimerClose(_timer); }

    void onTimer(ZTimer*) override {
        drain(_instance);
        readCommands();
    }

    // Reports and acts on the client's queue; returns the methods seen.
    static std::wstring drain(ZInstance* instance) {
        std::wstring seen;
        std::string item;
        while (instance->dequeue(L"ZClient_commandQueue", item)) {
            ZHTTPHeaders message;
            if (message.deserialize(item) <= 0) continue;
            const std::wstring method = message.getMethod();
            seen += L" " + method;
            say(L"NOTIFY " + method + L" " + message.get(L"Buddy-GUID"));
            if (method == L"CONNECTED") post(instance, L"ZSIPService_commandQueue", ZHTTPHeaders(L"BUDDYLOGON"));
            ZHTTPHeaders inner;
            if (method == L"DEVICEBROADCAST" && message.hasContent() && inner.deserialize(message.getContent(0)) > 0 &&
                inner.getMethod() == L"CHAT")
                say(L"CHAT " + message.get(L"From") + L" " +
                    (inner.hasContent() ? ZFromUTF8(inner.getContent(0)) : std::wstring()));
        }
        static std::wstring lastStatus;
        const std::wstring status = instance->get(L"SIP_Status");
        if (status != lastStatus) say(L"SIPSTATUS " + status);
        lastStatus = status;
        for (const wchar_t* queue : {L"ZVideoCaptureService_commandQueue", L"ZVideoPlaybackService_commandQueue",
                                     L"ZFileService_commandQueue", L"ZScreenService_commandQueue"}) {
            while (instance->dequeue(queue, item)) {
                ZHTTPHeaders command;
                if (command.deserialize(item) <= 0) continue;
                const std::wstring peer = command.isSet(L"Buddy-Device-GUID") ? command.get(L"Buddy-Device-GUID")
                                                                              : command.get(L"Buddy-GUID");
                say(L"POST " + std::wstring(queue) + L" " + command.getMethod() + L" " + peer);
            }
        }
        return seen;
    }

private:
    void readCommands() {
        char chunk[256];
        for (;;) {
            const ssize_t got = read(0, chunk, sizeof(chunk));
            if (got == 0) {
                ZWinPostQuit(0);
                return;
            }
            if (got < 0) break;
            _input.append(chunk, static_cast<std::size_t>(got));
        }
        for (std::size_t end; (end = _input.find('\n')) != std::string::npos;) {
            const std::wstring line = ZFromUTF8(_input.substr(0, end));
            _input.erase(0, end + 1);
            const std::size_t blank = line.find(L' ');
            const std::wstring verb = line.substr(0, blank);
            const std::wstring rest = blank == std::wstring::npos ? std::wstring() : line.substr(blank + 1);
            if (verb == L"quit") ZWinPostQuit(0);
            if (verb == L"status") {
                std::list<std::wstring> devices;
                _instance->get(L"Combined_Buddy_Device_List", devices);
                for (const std::wstring& device : devices)
                    say(L"LOSS " + device + L" " + _instance->get(device + L"_Loss"));
                say(L"STATUS DONE");
            }
            if (verb == L"addbuddy" || verb == L"removebuddy") {
                ZHTTPHeaders command(verb == L"addbuddy" ? L"ADDBUDDY" : L"REMOVEBUDDY");
                command.set(L"Buddy-GUID", rest);
                post(_instance, L"ZSIPService_commandQueue", command);
            }
            if (verb == L"chat") {
                const std::size_t split = rest.find(L' ');
                const std::wstring buddy = rest.substr(0, split);
                ZHTTPHeaders chat(L"CHAT");
                chat.set(L"Action", L"send");
                chat.addContent(ZToUTF8(split == std::wstring::npos ? std::wstring() : rest.substr(split + 1)));
                ZHTTPHeaders broadcast(L"DEVICEBROADCAST");
                broadcast.addContent(chat.serialize());
                _instance->enqueue(buddy + L"_commandQueue", broadcast.serialize());
            }
        }
    }

    ZInstance* _instance;
    ZTimer* _timer;
    std::string _input;
};

// Sends the command and reports the client's queue until the answer comes.
bool awaitAfter(ZInstance* instance, const wchar_t* queue, const wchar_t* command, const wchar_t* answer,
                std::int64_t patience) {
    post(instance, queue, ZHTTPHeaders(command));
    const std::int64_t end = ZTimeNow() + patience;
    while (ZTimeNow() < end) {
        if (ZPeerTick::drain(instance).find(answer) != std::wstring::npos) return true;
        ZThreadSleep(20000);
    }
    return false;
}

}  // namespace

int ZWinMain(void*, void*, char* lpCmdLine, int) {
    ZTRACE();
    ZOptionMap options(lpCmdLine ? lpCmdLine : "");

    ZInstance* instance = ZSAFENEW(ZInstance, L"settings.ini");
    ZMegaPort* megaPort = ZSAFENEW(ZMegaPort, instance->get(L"Local_User_GUID"));
    applyOptions(options, instance);
    instance->set(L"User_Agent_String", std::wstring(L"Zandrel/764 (test peer)"), false);

    ZSIPService* sip = ZSAFENEW(ZSIPService, instance, megaPort);
    sip->start(L"ZClient.ZSIPService");
    ZDispatchService* dispatch = ZSAFENEW(ZDispatchService, instance, megaPort);
    dispatch->start(L"ZClient.ZDispatchService");

    // Without a sign-in there is nothing to run and nothing to sign off from.
    if (signIn(instance, ZFromUTF8(options.get("auth")))) {
        post(instance, L"ZDispatchService_commandQueue", ZHTTPHeaders(L"CONNECT"));
        {
            ZPeerTick tick(instance);
            bool restart = false;
            while (ZWinUpdate(&restart)) {
            }
        }
        // Sign-off the way the client does it: the buddies first, then the service.
        awaitAfter(instance, L"ZSIPService_commandQueue", L"BUDDYLOGOFF", L"BUDDYLOGGEDOFF", 25000000);
        awaitAfter(instance, L"ZDispatchService_commandQueue", L"DISCONNECT", L"DISCONNECTED", 10000000);
    }
    sip->stop(true);
    dispatch->stop(true);
    delete sip;
    delete dispatch;
    delete megaPort;
    delete instance;
    say(L"BYE");
    return 0;
}

int main(int argc, char** argv) { return ZProcessMain(argc, argv); }
