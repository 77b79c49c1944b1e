#include "ZDispatchTestRig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "ZPortable.h"

namespace dispatchtest {

namespace {

std::atomic<std::int64_t> g_shift{0};

std::wstring loopbackHost(int fd) {
    sockaddr_in a{};
    socklen_t size = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
    return ZFromUTF8("127.0.0.1:" + std::to_string(ntohs(a.sin_port)));
}

}  // namespace

std::int64_t testNow() { return ZTimeNow() + g_shift.load(); }

void advance(std::int64_t microseconds) { g_shift += microseconds; }

LogCategory::LogCategory(const char* filter) : _saved(ZLogGetFilter()) { ZLogSetFilter(filter); }

LogCategory::~LogCategory() { ZLogSetFilter(_saved); }

ZHTTPHeaders answerTo(const ZHTTPHeaders& request, int code, const wchar_t* reason) {
    ZHTTPHeaders response;
    response.set(std::wstring(), L"HTTP/1.1 " + ZToString(code) + L" " + reason);
    response.set(L"CSeq", request.get(L"CSeq"));
    response.set(L"Debug-Original-Method", request.getMethod());
    return response;
}

// ---- FakeHost ------------------------------------------------------------------------

// A plain socket without address reuse: the system then never hands its
// port to another test's socket, nor this one another's.
FakeHost::FakeHost() {
    _fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(_fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    _host = loopbackHost(_fd);
}

FakeHost::~FakeHost() {
    if (_fd >= 0) ::close(_fd);
}

bool FakeHost::receiveRaw(std::string& bytes, std::wstring& from, std::int64_t patience) {
    const std::int64_t deadline = ZTimeNow() + patience;
    for (;;) {
        char buffer[65536];
        sockaddr_in sender{};
        socklen_t size = sizeof(sender);
        const ssize_t got = recvfrom(_fd, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&sender), &size);
        if (got >= 0) {
            bytes.assign(buffer, static_cast<std::size_t>(got));
            from = ZNetAddressToHost(sender.sin_addr.s_addr, ntohs(sender.sin_port));
            if (_sender.empty() || from == _sender) return true;
            continue;
        }
        const std::int64_t left = deadline - ZTimeNow();
        if (left <= 0) return false;
        pollfd p{_fd, POLLIN, 0};
        poll(&p, 1, static_cast<int>(left / 1000) + 1);
    }
}

bool FakeHost::receive(const wchar_t* method, ZHTTPHeaders& message, std::wstring& from, std::int64_t patience) {
    const std::int64_t deadline = ZTimeNow() + patience;
    std::string bytes;
    while (receiveRaw(bytes, from, std::max<std::int64_t>(deadline - ZTimeNow(), 0))) {
        message.clear();
        if (message.deserialize(bytes) > 0 && ZCaseEquals(message.getMethod(), method)) return true;
    }
    return false;
}

void FakeHost::send(const std::wstring& to, const std::string& bytes) {
    std::uint32_t address = 0;
    int port = 0;
    ZNetResolveHost(to, address, port);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    sendto(_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
}

void FakeHost::drain(std::int64_t time) {
    std::string bytes;
    std::wstring from;
    while (receiveRaw(bytes, from, time)) {
    }
}

// ---- FakeRelay -----------------------------------------------------------------------

FakeRelay::FakeRelay() {
    _listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(_listener, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    listen(_listener, 4);
    _host = loopbackHost(_listener);
}

FakeRelay::~FakeRelay() {
    close();
    if (_listener >= 0) ::close(_listener);
}

bool FakeRelay::_accept(std::int64_t patience) {
    if (_connection >= 0) return true;
    pollfd p{_listener, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(patience / 1000)) != 1) return false;
    _connection = accept4(_listener, nullptr, nullptr, SOCK_CLOEXEC);
    // Each frame leaves at once: the client's delayed acknowledgement must
    // not hold the next one back past a pass.
    const int one = 1;
    if (_connection >= 0) setsockopt(_connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return _connection >= 0;
}

bool FakeRelay::receive(ZHTTPHeaders& message, std::int64_t patience) {
    const std::int64_t deadline = ZTimeNow() + patience;
    if (!_accept(patience)) return false;
    for (;;) {
        message.clear();
        const int length = _buffer.empty() ? 0 : message.deserialize(_buffer);
        if (length > 0) {
            _buffer.erase(0, static_cast<std::size_t>(length));
            return true;
        }
        const std::int64_t left = deadline - ZTimeNow();
        pollfd p{_connection, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left / 1000) + 1) != 1) return false;
        char chunk[4096];
        const ssize_t got = ::recv(_connection, chunk, sizeof(chunk), 0);
        if (got <= 0) return false;
        _buffer.append(chunk, static_cast<std::size_t>(got));
    }
}

void FakeRelay::send(const ZHTTPHeaders& message) {
    if (!_accept(kPatienceUs)) return;
    const std::string bytes = message.serialize();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(_connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<std::size_t>(n);
    }
}

void FakeRelay::deliver(const std::wstring& remoteHost, const std::string& datagram) {
    ZHTTPHeaders frame;
    frame.set(std::wstring(), L"HTTP/1.1 200 OK");
    frame.set(L"Remote-Host", remoteHost);
    frame.addContent(datagram);
    send(frame);
}

void FakeRelay::close() {
    if (_connection >= 0) ::close(_connection);
    _connection = -1;
    _buffer.clear();
}

// ---- Rig -----------------------------------------------------------------------------

Rig::Rig() {
    // No test sends multicast: UPnP goes to a gateway that is not there.
    ZNetUPnPSetGatewayURL(L"http://127.0.0.1:1/rootDesc.xml");
    instance.reset(ZSAFENEW(ZInstance, ZFromUTF8(dir.file("settings.ini"))));
    megaPort.reset(ZSAFENEW(ZMegaPort, L"rig"));
    service.reset(ZSAFENEW(DrivenDispatch, instance.get(), megaPort.get()));
    service->setClock(testNow);
    service->setPassWait(20000);

    std::list<std::wstring> stunHosts;
    for (FakeHost& h : stun) stunHosts.push_back(h.host());
    instance->set(L"Global_STUN_Host_List", stunHosts, false);
    instance->set(L"Global_SIP_Host_List", std::list<std::wstring>{sip[0].host(), sip[1].host()}, false);
    instance->set(L"Global_TURN_Host", relay.host(), false);
    instance->set(L"Global_Logfile_Host", std::wstring(L"127.0.0.1:9"), false);
    instance->set(L"Local_IP", std::wstring(L"127.0.0.1"), false);
    instance->set(L"Local_User_GUID", std::wstring(L"alice@zandrel.net"), false);
    instance->set(L"Current_Version", std::wstring(L"764"), false);
    instance->set(L"NAT_Refresh_Period_S", std::int64_t{1}, false);
}

Rig::~Rig() {
    service.reset();
    megaPort.reset();
    instance.reset();
}

void Rig::post(const wchar_t* method) { instance->enqueue(L"ZDispatchService_commandQueue", ZHTTPHeaders(method).serialize()); }

std::vector<std::wstring> Rig::notifications() {
    std::vector<std::wstring> out;
    std::string item;
    while (instance->dequeue(L"ZClient_commandQueue", item)) {
        ZHTTPHeaders message;
        message.deserialize(item);
        out.push_back(message.getMethod());
    }
    return out;
}

ZHTTPHeaders Rig::connect() {
    post(L"CONNECT");
    pass();
    localHost = get(L"Local_Host");
    for (FakeHost& h : stun) h.listenTo(localHost);
    for (FakeHost& h : sip) h.listenTo(localHost);
    ZHTTPHeaders probe;
    std::wstring from;
    EXPECT_TRUE(stun[0].receive(L"STUN", probe, from)) << "no STUN probe reached host 1";
    return probe;
}

void Rig::answerProbe(const ZHTTPHeaders& probe, const std::wstring& global, bool direct, bool punched,
                      bool unpunched) {
    ZHTTPHeaders answer = answerTo(probe, 200);
    answer.set(L"Global-Host", global);
    if (direct) stun[0].answer(localHost, answer);
    if (punched) stun[1].answer(localHost, answer);
    if (unpunched) stun[2].answer(localHost, answer);
}

ZHTTPHeaders Rig::answerAtServer(const wchar_t* method, int code, const wchar_t* header, const std::wstring& value) {
    ZHTTPHeaders request;
    std::wstring from;
    EXPECT_TRUE(sip[0].receive(method, request, from)) << "no request reached the server";
    ZHTTPHeaders answer = answerTo(request, code, code == 200 ? L"OK" : L"Refused");
    if (ZCaseEquals(request.getMethod(), L"PING")) {
        answer.set(L"Observed-Host", request.get(L"Global-Host"));
        answer.set(L"Reported-Host", request.get(L"Global-Host"));
    }
    if (header) answer.set(header, value);
    sip[0].answer(from, answer);
    return request;
}

void Rig::goOnline() {
    const ZHTTPHeaders probe = connect();
    answerProbe(probe, localHost, true, true, true);
    EXPECT_TRUE(passUntilState(ZDispatchService::CHOOSESERVER));
    answerAtServer(L"PING", 200);
    EXPECT_TRUE(passUntilState(ZDispatchService::DEVICEGUID));
    answerAtServer(L"DEVICEGUID", 200, L"Device-GUID", L"device-1");
    EXPECT_TRUE(passUntilState(ZDispatchService::Registering));
    answerAtServer(L"REGISTER", 200);
    EXPECT_TRUE(passUntilState(ZDispatchService::Online));
}

}  // namespace dispatchtest
