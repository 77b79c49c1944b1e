// libFuzzer target of the client's signalling stack: datagrams from several
// senders (the signalling server, buddies' devices, a stranger) go through
// the switchboard and the transaction layer to the buddy-list service and
// its buddy and device sessions, with time moving on between them. Nothing
// may stop the program, and no control character a peer sent may reach a
// log line, where it could forge lines of its own.
//
// Input: records of one sender byte (low two bits: who; bit 7: a second
// passes after it), two length bytes (little-endian) and the datagram.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "ZFuzz.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZSIPService.h"

namespace {

std::int64_t g_now = 1000000000;
std::int64_t fuzzClock() { return g_now; }

ZNetUDPPort* openPort() {
    ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
    if (!port) __builtin_trap();
    return port;
}

// The signalling server: a port of our own whose requests we read and
// answer, so the service is online with two buddies before the input plays.
struct Server {
    ZNetUDPPort* udp = openPort();
    std::wstring host = ZNetUDPPortGetLocalHost(udp);
    ~Server() { ZNetUDPPortClose(udp); }
    bool answerBuddyList(const std::wstring& client) {
        std::string bytes;
        std::wstring from;
        for (int i = 0; i < 100; ++i) {
            ZNetWait({udp}, {}, {}, 1000);
            while (ZNetUDPPortRecv(udp, bytes, from)) {
                ZHTTPHeaders request;
                if (!request.deserialize(bytes) || request.getMethod() != L"GETBUDDYLIST") continue;
                ZHTTPHeaders answer;
                answer.set(std::wstring(), L"HTTP/1.1 200 OK");
                answer.set(L"CSeq", request.get(L"CSeq"));
                answer.set(L"Buddy-List", L"bob@zandrel.test, carol@zandrel.test");
                const std::string out = answer.serialize();
                ZNetUDPPortSend(udp, client, out.data(), static_cast<int>(out.size()));
                return true;
            }
        }
        return false;
    }
};

struct World {
    std::unique_ptr<ZInstance> store;
    ZNetUDPPort* udp = openPort();
    std::unique_ptr<ZMegaPort> port;
    std::unique_ptr<ZSIPService> service;

    explicit World(const Server& server) {
        // No settings file: the store is never saved anywhere.
        store.reset(ZSAFENEW(ZInstance, L"/nonexistent-zandrel-fuzz/settings.ini"));
        port.reset(ZSAFENEW(ZMegaPort, L"fuzz"));
        port->setUDPPort(udp);
        store->set(L"Local_User_GUID", std::wstring(L"me@zandrel.test"), false);
        store->set(L"Local_Device_GUID", std::wstring(L"mydevice"), false);
        store->set(L"Global_SIP_Host", server.host, false);
        store->set(L"Route_List", L"local://" + port->getLocalHost(), false);
        service.reset(ZSAFENEW(ZSIPService, store.get(), port.get()));
        service->getSIPClient()->setClock(fuzzClock);
        service->setPassWait(0);
    }
    ~World() {
        service.reset();
        port->reset();
        ZNetUDPPortClose(udp);
    }
    void file(const std::wstring& from, const std::string& bytes) {
        ZMegaPortBucket* bucket = port->getEmtpyBucket();
        bucket->to = port->getLocalHost();
        bucket->from = from;
        bucket->buffer = bytes;
        port->fillSIPBucket(bucket);
    }
    void command(const wchar_t* method) {
        store->enqueue(L"ZSIPService_commandQueue", ZHTTPHeaders(method).serialize());
        service->runOnce();
    }
    // What the server answered, as the dispatch loop would file it.
    void takeFromUDP() {
        ZNetWait({udp}, {}, {}, 20000);
        std::string bytes;
        std::wstring from;
        while (ZNetUDPPortRecv(udp, bytes, from)) file(from, bytes);
        service->runOnce();
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks(zanFuzzCheckLine);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server server;
    World world(server);
    world.command(L"BUDDYLOGON");
    if (server.answerBuddyList(world.port->getLocalHost())) world.takeFromUDP();

    const std::wstring senders[4] = {server.host, L"127.0.0.1:9", L"10.0.0.2:5060", L"127.0.0.2:40000"};
    std::size_t at = 0;
    while (size - at >= 3) {
        const std::uint8_t who = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
        world.file(senders[who & 3], std::string(reinterpret_cast<const char*>(data + at + 3), length));
        at += 3 + length;
        if (who & 0x80) g_now += 1000000;
        world.service->runOnce();
    }
    world.command(L"BUDDYLOGOFF");
    g_now += 30000000;
    world.service->runOnce();
    return 0;
}
