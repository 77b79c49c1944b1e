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
#include "ZHeadlessStart.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZOptionMap.h"
#include "ZPortable.h"
#include "ZUtil.h"
#include "ZWinMain.h"

using namespace headless;

namespace {

void post(ZInstance* instance, const wchar_t* method) {
    instance->enqueue(L"ZDispatchService_commandQueue", ZHTTPHeaders(method).serialize());
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

    ZInstance* instance = ZSAFENEW(ZInstance, L"settings.ini");
    ZMegaPort* megaPort = ZSAFENEW(ZMegaPort, instance->get(L"Local_User_GUID"));
    applyOptions(options, instance);
    if (options.isSet("forcenat")) instance->set(L"Force_NAT", ZFromUTF8(options.get("forcenat")), false);
    if (!instance->isSet(L"NAT_Refresh_Period_S")) instance->set(L"NAT_Refresh_Period_S", std::int64_t{1}, false);

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
