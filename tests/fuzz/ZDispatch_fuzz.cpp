// libFuzzer target of the dispatch loop: datagrams from the STUN hosts, the
// signalling servers and a stranger, and frames from the relay, reach a
// dispatch service that connects from the start, with time moving on
// between them. Its own answers, the relay's frames and peers' traffic are
// told apart and filed without stopping the program, and no control
// character a peer sent reaches a log line.
//
// Input: records of one sender byte (low three bits: STUN 1-4, signalling
// 1-2, a stranger, the relay; bit 7: two seconds pass after it), two length
// bytes (little-endian) and the bytes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "ZDispatchService.h"
#include "ZFuzz.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZPortable.h"

namespace {

std::int64_t g_now = 1000000000;
std::int64_t fuzzClock() { return g_now; }
void noSleep(std::int64_t) {}

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

int portOf(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ntohs(a.sin_port);
}

std::wstring hostOf(int fd) { return L"127.0.0.1:" + ZToString(portOf(fd)); }

// The hosts the service talks to: seven UDP sockets and the relay's listener.
struct Hosts {
    int udp[7];
    int relay = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    Hosts() {
        for (int& fd : udp) {
            fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            const sockaddr_in a = loopback(0);
            bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
        }
        const sockaddr_in a = loopback(0);
        bind(relay, reinterpret_cast<const sockaddr*>(&a), sizeof(a));
        listen(relay, 16);
    }
    void drain() {
        char sink[8192];
        for (int fd : udp)
            while (recv(fd, sink, sizeof(sink), 0) > 0) {
            }
    }
};

class DrivenDispatch : public ZDispatchService {
public:
    using ZDispatchService::ZDispatchService;
    void pass() {
        ZScopedLock guard(this);
        _bZThreadObject_safe_onLoop();
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks(zanFuzzCheckLine);
    signal(SIGPIPE, SIG_IGN);
    ZNetUPnPSetGatewayURL(L"http://127.0.0.1:1/rootDesc.xml");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Hosts hosts;
    hosts.drain();
    std::unique_ptr<ZInstance> instance(ZSAFENEW(ZInstance, L"/nonexistent-zandrel-fuzz/settings.ini"));
    std::unique_ptr<ZMegaPort> port(ZSAFENEW(ZMegaPort, L"fuzz"));
    std::unique_ptr<DrivenDispatch> service(ZSAFENEW(DrivenDispatch, instance.get(), port.get()));
    service->setClock(fuzzClock);
    service->setSleep(noSleep);
    service->setPassWait(0);
    std::list<std::wstring> stun;
    for (int i = 0; i < 4; ++i) stun.push_back(hostOf(hosts.udp[i]));
    instance->set(L"Global_STUN_Host_List", stun, false);
    instance->set(L"Global_SIP_Host_List", std::list<std::wstring>{hostOf(hosts.udp[4]), hostOf(hosts.udp[5])}, false);
    instance->set(L"Global_TURN_Host", hostOf(hosts.relay), false);
    instance->set(L"Local_IP", std::wstring(L"127.0.0.1"), false);
    instance->set(L"Local_User_GUID", std::wstring(L"alice@zandrel.net"), false);
    instance->set(L"Current_Version", std::wstring(L"764"), false);
    instance->enqueue(L"ZDispatchService_commandQueue", ZHTTPHeaders(L"CONNECT").serialize());
    service->pass();
    const std::wstring local = instance->get(L"Local_Host");
    const int localPort = static_cast<int>(ZToInt64(local.substr(local.find(L':') + 1)));

    int relayConnection = -1;
    std::size_t at = 0;
    while (size - at >= 3) {
        const std::uint8_t who = data[at];
        const std::size_t length = std::min<std::size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
        const std::string bytes(reinterpret_cast<const char*>(data + at + 3), length);
        at += 3 + length;
        if ((who & 7) == 7) {
            if (relayConnection < 0) relayConnection = accept4(hosts.relay, nullptr, nullptr, SOCK_CLOEXEC);
            if (relayConnection >= 0) send(relayConnection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        } else {
            const sockaddr_in to = loopback(localPort);
            sendto(hosts.udp[who & 7], bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
        }
        if (who & 0x80) g_now += 2000000;
        service->pass();
        service->pass();
    }
    instance->enqueue(L"ZDispatchService_commandQueue", ZHTTPHeaders(L"DISCONNECT").serialize());
    service->pass();
    service.reset();
    if (relayConnection >= 0) close(relayConnection);
    for (int pending; (pending = accept4(hosts.relay, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) close(pending);
    return 0;
}
