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
//   -declinefiles 1       every file offer is declined (CANCELSENDFILE back)
//   -filevia <host:port>  file packets go to and are taken from that address
//                         (a test path between the peers) instead of the
//                         device's route
// Standard input, one command a line: "addbuddy <guid>", "removebuddy <guid>",
// "chat <guid> <text>" (a DEVICEBROADCAST holding a CHAT on the buddy's
// queue), "talk <guid>" and "untalk <guid>" (push-to-talk: a RESET to the
// capture service for every device of the buddy), "skin <file>" and
// "command <text>" (see below), "status" ("LOSS <buddy>@<device> <loss text>" per device, then
// "STATUS DONE"), "showscreen <guid>" (a DEVICEBROADCAST holding a SHARESCREEN),
// "post <queue> <method> <field=value>..." (any command on any queue),
// "dumpimage <name> <file.png>" (a store image as PNG in the working folder, then "DUMPED <name> 1"
// or "DUMPED <name> 0"), "get <name>" ("VALUE <name> <value>"), "set <name>
// <value>" (a store variable, not saved), "sendfile <guid> <path>" (a
// DEVICEBROADCAST holding a SENDFILE), "quit".
// The peer runs the screen and file services, and plays the client's part:
// a buddy's SHARESCREEN becomes OPENRECV with the device's route addresses,
// a buddy's SENDFILE is accepted into the "downloads" folder (RECVFILE) or,
// with -declinefiles or when every free name is taken, declined
// ("DECLINED <buddy> <File-ID>"), a buddy's
// CANCELSENDFILE cancels that transfer, and every finished transfer is
// reported as "SENDFILECOMPLETE <outcome> <path>" or "RECVFILECOMPLETE
// <outcome> <path>".
// Standard output, one line each: "AUTHENTICATED <user>" or
// "AUTHFAILED <summary>" (then it ends at once); "NOTIFY <method> <Buddy-GUID>" for every message on
// "ZClient_commandQueue"; "CHAT <from> <text>" for a received chat;
// "SIPSTATUS <state>" when the buddy-list service's state shows a change;
// "POST <queue> <method> <device or buddy>" for every command to the capture
// and playback services (without -media); "IMAGE <buddy> <file> <microseconds>" for each dumped
// picture; "LISTENING <buddy> <microseconds>" when a buddy's sound begins to
// arrive; "SOUNDSTART <monotonic> <microseconds>" when sound output starts and
// "MICSTART <monotonic> <microseconds>" for the first sample of the
// microphone (monotonic microseconds, then the store's clock); "BYE" at the end.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "ZDispatchService.h"
#include "ZFileNames.h"
#include "ZFileService.h"
#include "ZHeadlessStart.h"
#include "ZHTTPClient.h"
#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZNonPortable_Capture.h"
#include "ZNonPortable_SoundBuffer.h"
#include "ZOptionMap.h"
#include "ZPortable.h"
#include "ZSIPService.h"
#include "ZScreenService.h"
#include "ZSessionHelpers.h"
#include "ZUtil_File.h"
#include "ZUtil.h"
#include "ZVideoCaptureService.h"
#include "ZVideoPlaybackService.h"
#include "ZWinMain.h"
// The skin verbs below.
#include "ZTemplate.h"

using namespace headless;

namespace {

void post(ZInstance* instance, const wchar_t* queue, const ZHTTPHeaders& message) {
    instance->enqueue(queue, message.serialize());
}

// Whether the media services run here (their queues are then not reported).
bool g_media = false;
// Whether buddies' file offers are declined, as a closed save dialog does.
bool g_declineFiles = false;
// With -filevia, the file service reads this queue instead of its own, and
// every transfer command is put there with its peer's address replaced.
const wchar_t* const kViaFileQueue = L"ZBuddyFileService_commandQueue";
std::wstring g_fileVia;

// Moves the file service's commands to its queue of its own, pointing each
// transfer at the test path; sent from the UDP port, never the relay.
void routeFilesVia(ZInstance* instance, const std::wstring& localHost) {
    std::string item;
    while (instance->dequeue(L"ZFileService_commandQueue", item)) {
        ZHTTPHeaders command;
        if (command.deserialize(item) <= 0) continue;
        if (command.getMethod() == L"SENDFILE" || command.getMethod() == L"RECVFILE") {
            command.set(L"Send-To", g_fileVia);
            command.set(L"Recv-From", g_fileVia);
            command.set(L"Send-From", localHost);
        }
        instance->enqueue(kViaFileQueue, command.serialize());
    }
}
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

// The monotonic clock of the sound layer, in microseconds.
std::int64_t monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// When sound output and the microphone started, on the monotonic clock and
// on the store's (microseconds since 1601).
void reportSoundTimes() {
    static std::int64_t soundStart = 0, micStart = 0;
    const std::int64_t sound = _ZSoundBufferLastPlayStart(), mic = _ZCaptureAudioFirstSampleTime();
    const std::int64_t offset = ZTimeNow() - monotonicNow();
    if (sound != soundStart)
        say(L"SOUNDSTART " + std::to_wstring(sound) + L" " + std::to_wstring(sound + offset));
    if (mic != micStart) say(L"MICSTART " + std::to_wstring(mic) + L" " + std::to_wstring(mic + offset));
    soundStart = sound;
    micStart = mic;
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

// What the client object would do with its queue, and what the media and
// data services would be told, reported on standard output.
class ZPeerTick : public IZTimerListener {
public:
    ZPeerTick(ZInstance* instance, ZMegaPort* port)
        : _instance(instance), _port(port), _timer(ZTimerOpen(20000, this)) {
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    }
    ~ZPeerTick() override {
        ZTimerClose(_timer);
        delete _skin;
    }

    void onTimer(ZTimer*) override {
        drain(_instance);
        if (!g_fileVia.empty()) routeFilesVia(_instance, _port->getLocalHost());
        if (!g_dumpFolder.empty()) dumpImages(_instance);
        reportSoundTimes();
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
            if (method == L"DEVICEBROADCAST" && message.hasContent() && inner.deserialize(message.getContent(0)) > 0 &&
                inner.getMethod() == L"SHARESCREEN") {
                const std::wstring buddy = message.get(L"From");
                const std::wstring device = ZComposeAddress(buddy, message.get(L"From-Device-GUID"));
                ZHTTPHeaders open(inner);
                open.setMethod(L"OPENRECV");
                open.set(L"Buddy-GUID", buddy);
                open.set(L"Send-To", instance->get(device + L"_Send_To"));
                open.set(L"Send-From", instance->get(device + L"_Send_From"));
                open.set(L"Recv-From", instance->get(device + L"_Recv_From"));
                post(instance, L"ZScreenService_commandQueue", open);
                say(L"SHARESCREEN " + buddy);
            }
            std::wstring receivedPath;
            const bool fileOffer = method == L"DEVICEBROADCAST" && message.hasContent() &&
                                   inner.deserialize(message.getContent(0)) > 0 && inner.getMethod() == L"SENDFILE";
            if (fileOffer && !g_declineFiles) {
                ZDirCreate(L"downloads");
                receivedPath = ZFileReceivedPath(L"downloads", inner.get(L"Filename"));
                if (receivedPath.empty())
                    ZLOG(L"WARNING No free name in 'downloads' for '" << ZSIPPrintable(inner.get(L"Filename"))
                                                                     << L"', refusing the file.");
            }
            if (fileOffer && receivedPath.empty()) {
                // The user closed the save dialog, or every name is taken: the offer goes back.
                const std::wstring buddy = message.get(L"From");
                ZHTTPHeaders decline(inner);
                decline.setMethod(L"CANCELSENDFILE");
                ZHTTPHeaders broadcast(L"DEVICEBROADCAST");
                broadcast.addContent(decline.serialize());
                instance->enqueue(buddy + L"_commandQueue", broadcast.serialize());
                say(L"DECLINED " + buddy + L" " + inner.get(L"File-ID"));
            } else if (fileOffer) {
                const std::wstring buddy = message.get(L"From");
                const std::wstring device = ZComposeAddress(buddy, message.get(L"From-Device-GUID"));
                ZHTTPHeaders receive(inner);
                receive.setMethod(L"RECVFILE");
                receive.set(L"Path", receivedPath);
                receive.set(L"Send-To", instance->get(device + L"_Send_To"));
                receive.set(L"Send-From", instance->get(device + L"_Send_From"));
                receive.set(L"Recv-From", instance->get(device + L"_Recv_From"));
                receive.set(L"Buddy-Device-GUID", device);
                post(instance, L"ZFileService_commandQueue", receive);
                say(L"SENDFILE " + buddy + L" " + receive.get(L"Path"));
            }
            if (method == L"DEVICEBROADCAST" && message.hasContent() && inner.deserialize(message.getContent(0)) > 0 &&
                inner.getMethod() == L"CANCELSENDFILE") {
                // Named by its transfer key: a bare number would name transfer 0.
                ZHTTPHeaders cancel(L"CANCEL");
                cancel.set(L"File-ID", L"File#" + ZToString(inner.calc64(L"File-ID")));
                post(instance, L"ZFileService_commandQueue", cancel);
            }
            if (method == L"LISTENINGTO")
                say(L"LISTENING " + message.get(L"User-GUID") + L" " +
                    std::to_wstring(instance->getTimestamp(L"Listening_To_List")));
            if (method == L"SENDFILECOMPLETE" || method == L"RECVFILECOMPLETE")
                say(method + L" " + message.get(L"Outcome") + L" " + message.get(L"Path"));
        }
        static std::wstring lastStatus;
        const std::wstring status = instance->get(L"SIP_Status");
        if (status != lastStatus) say(L"SIPSTATUS " + status);
        lastStatus = status;
        for (const wchar_t* queue : {L"ZVideoCaptureService_commandQueue", L"ZVideoPlaybackService_commandQueue"}) {
            if (g_media) continue;
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
            if (verb == L"showscreen") {
                ZHTTPHeaders broadcast(L"DEVICEBROADCAST");
                broadcast.addContent(ZHTTPHeaders(L"SHARESCREEN").serialize());
                _instance->enqueue(rest + L"_commandQueue", broadcast.serialize());
            }
            if (verb == L"post") postCommand(rest);
            if (verb == L"sendfile") {
                const std::size_t split = rest.find(L' ');
                const std::wstring path = split == std::wstring::npos ? std::wstring() : rest.substr(split + 1);
                ZHTTPHeaders offer(L"SENDFILE");
                offer.set(L"Path", path);
                std::list<std::wstring> parts;
                ZTokenize(parts, path, L"/");
                offer.set(L"Filename", parts.empty() ? std::wstring() : parts.back());
                ZHTTPHeaders broadcast(L"DEVICEBROADCAST");
                broadcast.addContent(offer.serialize());
                _instance->enqueue(rest.substr(0, split) + L"_commandQueue", broadcast.serialize());
            }
            if (verb == L"dumpimage") dumpImage(rest);
            if (verb == L"get") say(L"VALUE " + rest + L" " + _instance->get(rest));
            if (verb == L"set") {
                const std::size_t split = rest.find(L' ');
                if (split != std::wstring::npos) _instance->set(rest.substr(0, split), rest.substr(split + 1), false);
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
            // The skin: "skin <file>" reads it into a template root (plain nodes,
            // no windows) and prints "SKIN LOADED"; "command <text>" runs a
            // command string through that root and prints "COMMAND DONE".
            if (verb == L"skin" && !_skin) {
                _skin = ZSAFENEW(ZTemplate, _instance, rest);
                say(L"SKIN LOADED");
            }
            if (verb == L"command") {
                if (_skin) _skin->executeCommand(rest, nullptr);
                say(_skin ? L"COMMAND DONE" : L"COMMAND NOSKIN");
            }
        }
    }

    // "<queue> <method> <field=value>..."
    void postCommand(const std::wstring& text) {
        std::list<std::wstring> words;
        std::size_t at = 0;
        while (at < text.size()) {
            const std::size_t end = text.find(L' ', at);
            words.push_back(text.substr(at, end == std::wstring::npos ? std::wstring::npos : end - at));
            if (end == std::wstring::npos) break;
            at = end + 1;
        }
        if (words.size() < 2) return;
        const std::wstring queue = words.front();
        words.pop_front();
        ZHTTPHeaders command(words.front());
        words.pop_front();
        for (const std::wstring& word : words) {
            const std::size_t equals = word.find(L'=');
            if (equals != std::wstring::npos) command.set(word.substr(0, equals), word.substr(equals + 1));
        }
        _instance->enqueue(queue, command.serialize());
    }

    // "<name> <file.png>": the store image, whole, as a PNG file in the
    // working folder.
    void dumpImage(const std::wstring& text) {
        const std::size_t blank = text.find(L' ');
        const std::wstring name = text.substr(0, blank);
        const std::wstring file = blank == std::wstring::npos ? std::wstring() : text.substr(blank + 1);
        ZImageFormat format;
        ZRect rect;
        bool ok = false;
        if (const unsigned char* pixels = ZImageTools_instanceReadOpen(_instance, name, format, rect, 0, 0)) {
            std::string png;
            ZImageConvert(format, pixels, ZRect{0, 0, format.width, format.height}, ZIT_PNG, png);
            ZImageTools_instanceReadClose(_instance, name);
            ok = !png.empty() && ZFileSave(file, png.data(), static_cast<int>(png.size()));
        }
        say(L"DUMPED " + name + (ok ? L" 1" : L" 0"));
    }

    ZInstance* _instance;
    ZMegaPort* _port;
    ZTimer* _timer;
    std::string _input;
    ZTemplate* _skin = nullptr;
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

    g_media = options.isSet("media") && ZFromUTF8(options.get("media")) == L"1";
    g_declineFiles = options.isSet("declinefiles") && ZFromUTF8(options.get("declinefiles")) == L"1";
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
    if (!instance->isSet(L"Screen_Share_Fullscreen_Delay"))
        instance->set(L"Screen_Share_Fullscreen_Delay", std::int64_t{1000}, false);
    ZScreenService* screen = ZSAFENEW(ZScreenService, instance, megaPort);
    screen->start(L"ZClient.ZScreenService");
    if (options.isSet("filevia")) g_fileVia = ZFromUTF8(options.get("filevia"));
    ZFileService* files = g_fileVia.empty() ? ZSAFENEW(ZFileService, instance, megaPort)
                                            : ZSAFENEW(ZFileService, instance, megaPort, kViaFileQueue);
    files->start(L"ZClient.ZFileService");

    // Without a sign-in there is nothing to run and nothing to sign off from.
    if (signIn(instance, ZFromUTF8(options.get("auth")))) {
        post(instance, L"ZDispatchService_commandQueue", ZHTTPHeaders(L"CONNECT"));
        {
            ZPeerTick tick(instance, megaPort);
            bool restart = false;
            while (ZWinUpdate(&restart)) {
            }
        }
        // Sign-off the way the client does it: the buddies first, then the service.
        awaitAfter(instance, L"ZSIPService_commandQueue", L"BUDDYLOGOFF", L"BUDDYLOGGEDOFF", 25000000);
        awaitAfter(instance, L"ZDispatchService_commandQueue", L"DISCONNECT", L"DISCONNECTED", 10000000);
    }
    screen->stop(true);
    files->stop(true);
    if (capture) capture->stop(true);
    if (playback) playback->stop(true);
    sip->stop(true);
    dispatch->stop(true);
    delete screen;
    delete files;
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
