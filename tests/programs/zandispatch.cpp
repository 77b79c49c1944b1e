// A headless client for tests: the real store, switchboard and dispatch
// service in a process of their own, signed in with a real AUTHENTICATE and
// connected the way the client does it. Each instance runs in its own
// working folder (its log "zandrel.log" and its "settings.ini" are there).
//
// Options (besides the entry's own -log, -norestart, -silent):
//   -auth <host:port> -user <name> -password <text> -email <text>
//   -forceturn 1          pretend a firewall: relay only, direct datagrams discarded
//   -forcenat <class>     the connection class to claim
//   -upnp <url>           the UPnP gateway's root description (no discovery)
// Standard input, one command a line: "connect", "disconnect", "quit" (also
// at the end of input). Standard output, one line each: "AUTHENTICATED
// <user>" or "AUTHFAILED <summary>", then "NOTIFY <method>" for every
// message the client would find on "ZClient_commandQueue", and "BYE".
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ZDispatchService.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZOptionMap.h"
#include "ZPortable.h"
#include "ZUtil.h"
#include "ZWinMain.h"

namespace {

void say(const std::wstring& line) {
    const std::string bytes = ZToUTF8(line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void post(ZInstance* instance, const wchar_t* method) {
    instance->enqueue(L"ZDispatchService_commandQueue", ZHTTPHeaders(method).serialize());
}

// The sign-in exchange, as the client does it: the service's hosts and the
// local address go into the store.
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
    instance->set(L"Local_Session_Key", answer.get(L"Session-Key"), false);
    instance->set(L"Local_IP", localIP, false);
    say(L"AUTHENTICATED " + instance->get(L"Local_User_GUID"));
    return true;
}

// Hands the client's notifications and the test's commands over, on the UI thread.
class ZHarnessTick : public IZTimerListener {
public:
    explicit ZHarnessTick(ZInstance* instance) : _instance(instance), _timer(ZTimerOpen(20000, this)) {
        fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    }
    ~ZHarnessTick() override { ZTimerClose(_timer); }

    void onTimer(ZTimer*) override {
        std::string item;
        while (_instance->dequeue(L"ZClient_commandQueue", item)) {
            ZHTTPHeaders message;
            if (message.deserialize(item) > 0) say(L"NOTIFY " + message.getMethod());
        }
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
            const std::string command = _input.substr(0, end);
            _input.erase(0, end + 1);
            if (command == "connect") post(_instance, L"CONNECT");
            if (command == "disconnect") post(_instance, L"DISCONNECT");
            if (command == "quit") ZWinPostQuit(0);
        }
    }

private:
    ZInstance* _instance;
    ZTimer* _timer;
    std::string _input;
};

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
    if (options.isSet("forcenat")) instance->set(L"Force_NAT", ZFromUTF8(options.get("forcenat")), false);
    instance->set(L"Current_Version", std::wstring(L"764"), true);
    if (!instance->isSet(L"NAT_Refresh_Period_S")) instance->set(L"NAT_Refresh_Period_S", std::int64_t{1}, false);
    if (!instance->isSet(L"UPnP_Low_Port")) instance->set(L"UPnP_Low_Port", std::int64_t{49152}, false);
    if (!instance->isSet(L"UPnP_High_Port")) instance->set(L"UPnP_High_Port", std::int64_t{65535}, false);

    ZDispatchService* dispatch = ZSAFENEW(ZDispatchService, instance, megaPort);
    dispatch->start(L"ZClient.ZDispatchService");

    if (signIn(instance, ZFromUTF8(options.get("auth")))) post(instance, L"CONNECT");
    {
        ZHarnessTick tick(instance);
        bool restart = false;
        while (ZWinUpdate(&restart)) {
        }
    }
    dispatch->stop(true);
    delete dispatch;
    delete megaPort;
    delete instance;
    say(L"BYE");
    return 0;
}

int main(int argc, char** argv) { return ZProcessMain(argc, argv); }
