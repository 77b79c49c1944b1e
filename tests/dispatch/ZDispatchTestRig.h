// A dispatch service driven pass by pass from the test thread, against fake
// STUN hosts, signalling servers and a fake relay on 127.0.0.1 whose every
// answer the test writes; the clock is real time plus a shift the test adds.
//
// Threading: everything runs on the test thread; the service's own thread
// is never started.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ZDispatchService.h"
#include "ZHTTPHeaders.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZTestSupport.h"

namespace dispatchtest {

// Bounded waits only: a broken service fails a test, it never hangs one.
constexpr std::int64_t kPatienceUs = 3000000;

// The clock of the services under test: real time plus the shift.
std::int64_t testNow();
void advance(std::int64_t microseconds);

// Turns log categories on for one test.
class LogCategory {
public:
    explicit LogCategory(const char* filter);
    ~LogCategory();

private:
    std::string _saved;
};

// An answer in the message format to a request: status line, same CSeq.
ZHTTPHeaders answerTo(const ZHTTPHeaders& request, int code, const wchar_t* reason = L"OK");

// One fake server host: a UDP port on loopback that the test reads and answers from.
class FakeHost {
public:
    FakeHost();
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    const std::wstring& host() const { return _host; }
    // From now on only datagrams of this sender are read: a port of ours may
    // have served another test's host a moment ago.
    void listenTo(const std::wstring& sender) { _sender = sender; }
    // The next datagram, within the patience.
    bool receiveRaw(std::string& bytes, std::wstring& from, std::int64_t patience = kPatienceUs);
    // The next message whose method is the given one (others are skipped).
    bool receive(const wchar_t* method, ZHTTPHeaders& message, std::wstring& from,
                 std::int64_t patience = kPatienceUs);
    void send(const std::wstring& to, const std::string& bytes);
    void answer(const std::wstring& to, const ZHTTPHeaders& response) { send(to, response.serialize()); }
    // Everything that arrives within the time is read and forgotten.
    void drain(std::int64_t time = 20000);

private:
    int _fd = -1;
    std::wstring _host;
    std::wstring _sender;
};

// A relay host on loopback that accepts one connection and exchanges whole
// messages with it when the test says so.
class FakeRelay {
public:
    FakeRelay();
    ~FakeRelay();
    FakeRelay(const FakeRelay&) = delete;
    FakeRelay& operator=(const FakeRelay&) = delete;

    const std::wstring& host() const { return _host; }
    // The next message from the client, within the patience.
    bool receive(ZHTTPHeaders& message, std::int64_t patience = kPatienceUs);
    void send(const ZHTTPHeaders& message);
    // A datagram for the client, as the relay delivers it.
    void deliver(const std::wstring& remoteHost, const std::string& datagram);
    void close();

private:
    bool _accept(std::int64_t patience);
    int _listener = -1;
    int _connection = -1;
    std::string _buffer;
    std::wstring _host;
};

// A dispatch service whose loop passes the test runs itself.
class DrivenDispatch : public ZDispatchService {
public:
    using ZDispatchService::ZDispatchService;
    void pass() {
        ZScopedLock guard(this);
        _bZThreadObject_safe_onLoop();
    }
};

// The store, the switchboard, the service and the fake hosts of one test.
class Rig {
public:
    Rig();
    ~Rig();

    // Posts a command to the service's queue.
    void post(const wchar_t* method);
    void pass() { service->pass(); }
    // Runs passes until the condition holds (true) or the patience runs out:
    // a datagram on loopback may still be on its way when one pass looks.
    template <typename Condition>
    bool passUntil(Condition condition, std::int64_t patience = kPatienceUs) {
        const std::int64_t end = ZTimeNow() + patience;
        do {
            pass();
            if (condition()) return true;
        } while (ZTimeNow() < end);
        return false;
    }
    bool passUntilState(ZDispatchService::State wanted) {
        return passUntil([&] { return state() == wanted; });
    }
    // The next message the relay reads from the client; passes run meanwhile,
    // since a connection still opening sends its first bytes at a later pass.
    bool relayReceive(ZHTTPHeaders& message) {
        const std::int64_t end = ZTimeNow() + kPatienceUs;
        do {
            if (relay.receive(message, 50000)) return true;
            pass();
        } while (ZTimeNow() < end);
        return false;
    }
    std::uint32_t state() { return service->getState(); }
    std::wstring get(const wchar_t* name) { return instance->get(name); }
    // The methods waiting on "ZClient_commandQueue", taken from it.
    std::vector<std::wstring> notifications();

    // CONNECT and the first pass: the probe is out. Returns the probe as
    // STUN host 1 received it.
    ZHTTPHeaders connect();
    // STUN answers from hosts 1 (with the given Global-Host), 2 and 3.
    void answerProbe(const ZHTTPHeaders& probe, const std::wstring& global, bool direct, bool punched,
                     bool unpunched);
    // From Offline to Online over PUBLIC: probe, PING, DEVICEGUID, REGISTER.
    void goOnline();
    // Answers the next request of the method that reaches signalling server 1.
    ZHTTPHeaders answerAtServer(const wchar_t* method, int code, const wchar_t* header = nullptr,
                                const std::wstring& value = std::wstring());

    ZTempDir dir;
    std::unique_ptr<ZInstance> instance;
    std::unique_ptr<ZMegaPort> megaPort;
    std::unique_ptr<DrivenDispatch> service;
    FakeHost stun[4];
    FakeHost sip[2];
    FakeRelay relay;
    std::wstring localHost;
};

}  // namespace dispatchtest
