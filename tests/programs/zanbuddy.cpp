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
//   -media 1              runs the capture and playback services instead of
//                         reporting their queues
//   -avi <file>           a media file in place of the camera ("avi_source")
//   -mic <pcm>            the microphone's device name ("Audio_Capture_Device")
//   -playback <pcm>       the ALSA device buddies' sound plays into
//   -dumpimages <dir>     each new picture of a buddy written there as a PPM
// Standard input, one command a line: "addbuddy <guid>", "removebuddy <guid>",
// "chat <guid> <text>" (a DEVICEBROADCAST holding a CHAT on the buddy's
// queue), "talk <guid>" and "untalk <guid>" (push-to-talk: a RESET to the
// capture service for every device of the buddy), "status" ("LOSS <buddy>@<device> <loss text>" per device, then
// "STATUS DONE"), "quit". Standard output, one line each: "AUTHENTICATED <user>" or
// "AUTHFAILED <summary>"; "NOTIFY <method> <Buddy-GUID>" for every message on
// "ZClient_commandQueue"; "CHAT <from> <text>" for a received chat;
// "SIPSTATUS <state>" when the buddy-list service's state shows a change;
// "POST <queue> <method> <device or buddy>" for every command to the capture,
// playback, file and screen services; "IMAGE <buddy> <file> <microseconds>"
// for each dumped picture; "BYE" at the end.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "ZDispatchService.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZNonPortable_SoundBuffer.h"
#include "ZOptionMap.h"
#include "ZPortable.h"
#include "ZSIPService.h"
#include "ZUtil.h"
#include "ZVideoCaptureService.h"
#include "ZVideoPlaybackService.h"
#include "ZWinMain.h"

namespace {

void say(const std::wstring& line) {
    const std::string bytes = ZToUTF8(line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void post(ZInstance* instance, const wchar_t* queue, const ZHTTPHeaders& message) {
    instance->enqueue(queue, message.serialize());
}

// Whether the media services run here (their queues are then not reported).
bool g_media = false;
// Where buddies' pictures are dumped; empty for nowhere.
std::string g_dumpFolder;

// Writes every buddy picture that changed since the last look as a PPM.
void dumpImages(ZInstance* instance) {
    static std::map<std::wstring, std::uint64_t> seen;
    static int count = 0;
    std::list<std::wstring> buddies;
    instance->get(L"Local_Buddy_List", buddies);
    for (const std::wstring& buddy : buddies) {
        const std::wstring name = buddy + L"_Image";
        const std::uint64_t stamp = instance->getTimestamp(name);
        if (!stamp || seen[name] == stamp) continue;
        seen[name] = stamp;
        ZImageFormat format;
        if (!format.deserialize(instance->getRaw(name + L"_Format")) || format.type != ZIT_RGB24) continue;
        const std::string pixels = instance->getRaw(name);
        if (pixels.size() != static_cast<std::size_t>(format.width) * format.height * 3) continue;
        const std::string file = g_dumpFolder + "/" + std::to_string(++count) + ".ppm";
        FILE* out = std::fopen(file.c_str(), "wbe");
        if (!out) continue;
        std::fprintf(out, "P6 %d %d 255\n", format.width, format.height);
        std::fwrite(pixels.data(), 1, pixels.size(), out);
        std::fclose(out);
        say(L"IMAGE " + buddy + L" " + ZFromUTF8(file) + L" " + std::to_wstring(stamp));
    }
}

// Starts or ends a talk to every device of the buddy: audio on or off, and
// video by the user's privacy choice, as the push-to-talk keys do.
void resetBuddyTalk(ZInstance* instance, const std::wstring& buddy, bool talking) {
    std::list<std::wstring> devices;
    instance->get(buddy + L"_Device_List", devices);
    for (const std::wstring& device : devices) {
        const std::wstring bdg = ZComposeAddress(buddy, device);
        const bool hidden = ZCaseEquals(instance->get(L"Video_Privacy_Choice_Mode"), L"Private - Allow nobody to see me");
        const bool always = ZCaseEquals(instance->get(L"Video_Privacy_Choice_When"), L"Always");
        const bool everyone = ZCaseEquals(instance->get(L"Video_Privacy_Choice_Who"), L"All my buddies");
        const bool video = !hidden && (talking || always) && (everyone || instance->test(bdg + L"_Video_Enabled"));
        ZHTTPHeaders reset(L"RESET");
        reset.set(L"Buddy-Device-GUID", bdg);
        reset.set(L"Video-FPS", talking ? L"5" : L"1");
        reset.set(L"Audio-Enable", talking ? L"true" : L"false");
        reset.set(L"Video-Enable", video ? L"true" : L"false");
        post(instance, L"ZVideoCaptureService_commandQueue", reset);
    }
    if (talking)
        instance->insert(L"Talking_To_List", buddy);
    else
        instance->remove(L"Talking_To_List", buddy);
}

bool signIn(ZInstance* instance, const std::wstring& authHost) {
    ZHTTPHeaders request(L"AUTHENTICATE");
    const std::wstring from = instance->isSet(L"Local_User_GUID") ? instance->get(L"Local_User_GUID")
                                                                  : instance->get(L"Local_Username");
    request.set(L"From", ZNormalizeGUID(from));
    request.set(L"Password", instance->get(L"Local_Password"));
    request.set(L"Email", instance->get(L"Local_Email"));
    request.set(L"Version", instance->get(L"Current_Version"));
    ZHTTPClient* client = ZSAFENEW(ZHTTPClient, authHost, request);
    ZHTTPHeaders answer;
    const std::int64_t end = ZTimeNow() + 30000000;
    bool answered = false;
    while (!answered && ZTimeNow() < end) {
        client->update(50000);
        answered = client->recv(answer);
        if (!answered && !client->isAlive()) break;
    }
    std::wstring localIP;
    int port = 0;
    ZSplitHostPort(client->getLocalHost(), localIP, port);
    delete client;

    std::list<std::wstring> stun;
    ZParseList(stun, answer.get(L"STUN-Host-List"));
    if (!answered || !answer.succeeded() || stun.size() < 4) {
        say(L"AUTHFAILED " + answer.getResponseSummary());
        return false;
    }
    if (!answer.get(L"User-GUID").empty())
        instance->set(L"Local_User_GUID", ZNormalizeGUID(answer.get(L"User-GUID")), true);
    for (const wchar_t* name : {L"Local_Password", L"Local_Email"}) {
        const std::wstring value = instance->get(name);
        instance->clear(name);
        instance->set(name, value, true);
    }
    instance->save();
    instance->set(L"Global_SIP_Host_List", answer.get(L"SIP-Host-List"), false);
    instance->set(L"Global_TURN_Host", answer.get(L"TURN-Host"), false);
    instance->set(L"Global_Logfile_Host", answer.get(L"Logfile-Host"), false);
    instance->set(L"Global_STUN_Host_List", answer.get(L"STUN-Host-List"), false);
    instance->set(L"Local_IP", localIP, false);
    say(L"AUTHENTICATED " + instance->get(L"Local_User_GUID"));
    return true;
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
        if (!g_dumpFolder.empty()) dumpImages(_instance);
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
            if (g_media && (std::wstring(queue) == L"ZVideoCaptureService_commandQueue" ||
                            std::wstring(queue) == L"ZVideoPlaybackService_commandQueue"))
                continue;
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
            if (verb == L"talk" || verb == L"untalk") resetBuddyTalk(_instance, rest, verb == L"talk");
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
    if (options.isSet("upnp")) ZNetUPnPSetGatewayURL(ZFromUTF8(options.get("upnp")));

    ZInstance* instance = ZSAFENEW(ZInstance, L"settings.ini");
    ZMegaPort* megaPort = ZSAFENEW(ZMegaPort, instance->get(L"Local_User_GUID"));
    if (options.isSet("user")) instance->set(L"Local_Username", ZFromUTF8(options.get("user")), false);
    if (options.isSet("password") && !instance->isSet(L"Local_Password"))
        instance->set(L"Local_Password", ZFromUTF8(options.get("password")), false);
    if (options.isSet("email") && !instance->isSet(L"Local_Email"))
        instance->set(L"Local_Email", ZFromUTF8(options.get("email")), false);
    if (options.isSet("forceturn")) {
        instance->set(L"Pretend_Firewall", std::wstring(L"1"), false);
        instance->set(L"Disable_UDP_Recv", std::wstring(L"1"), false);
    }
    instance->set(L"Current_Version", std::wstring(L"764"), true);
    instance->set(L"User_Agent_String", std::wstring(L"Zandrel/764 (test peer)"), false);
    if (!instance->isSet(L"UPnP_Low_Port")) instance->set(L"UPnP_Low_Port", std::int64_t{49152}, false);
    if (!instance->isSet(L"UPnP_High_Port")) instance->set(L"UPnP_High_Port", std::int64_t{65535}, false);

    g_media = options.isSet("media") && ZFromUTF8(options.get("media")) == L"1";
    if (options.isSet("avi")) instance->set(L"avi_source", ZFromUTF8(options.get("avi")), false);
    if (options.isSet("mic")) instance->set(L"Audio_Capture_Device", ZFromUTF8(options.get("mic")), false);
    if (options.isSet("playback")) _ZSoundBufferSetDevice(options.get("playback"), "");
    if (options.isSet("dumpimages")) g_dumpFolder = options.get("dumpimages");
    if (g_media) {
        // The client's own defaults for what the capture and the sessions read.
        const struct {
            const wchar_t* name;
            const wchar_t* value;
        } defaults[] = {{L"Video_Size", L"48"},
                        {L"Video_Privacy_Choice_Mode", L"Public - Allow some people to see me"},
                        {L"Video_Privacy_Choice_Who", L"Only buddies who I can see"},
                        {L"Video_Privacy_Choice_When", L"Always"}};
        for (const auto& d : defaults)
            if (!instance->isSet(d.name)) instance->set(d.name, std::wstring(d.value), false);
    }

    ZSIPService* sip = ZSAFENEW(ZSIPService, instance, megaPort);
    sip->start(L"ZClient.ZSIPService");
    ZVideoCaptureService* capture = nullptr;
    ZVideoPlaybackService* playback = nullptr;
    if (g_media) {
        capture = ZSAFENEW(ZVideoCaptureService, instance, megaPort);
        capture->start(L"ZClient.ZVideoCaptureService");
        playback = ZSAFENEW(ZVideoPlaybackService, instance, megaPort);
        playback->start(L"ZClient.ZVideoPlaybackService");
    }
    ZDispatchService* dispatch = ZSAFENEW(ZDispatchService, instance, megaPort);
    dispatch->start(L"ZClient.ZDispatchService");

    if (signIn(instance, ZFromUTF8(options.get("auth"))))
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
    if (capture) capture->stop(true);
    if (playback) playback->stop(true);
    sip->stop(true);
    dispatch->stop(true);
    delete capture;
    delete playback;
    delete sip;
    delete dispatch;
    delete megaPort;
    delete instance;
    say(L"BYE");
    return 0;
}

int main(int argc, char** argv) { return ZProcessMain(argc, argv); }
