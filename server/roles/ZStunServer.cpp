#include "ZStunServer.h"

#include "ZPortable_Text.h"
#include "ZServerNet.h"
#include "ZUtil.h"

namespace {
constexpr int kPendingPerSource = 4;
constexpr std::size_t kPendingInAll = 100000;
}  // namespace

ZStunServer::ZStunServer(ZServerContext& context)
    : _context(context),
      _answersByAddress(context.config->stunAnswersPerAddress, 2.0 * context.config->stunAnswersPerAddress) {}

bool ZStunServer::_mayAnswer(const sockaddr_in& to, int answers) {
    if (_answersByAddress.take(ZServerAddressText(to), ZServerLoop::now(), answers)) return true;
    if (ZServerWarnAllowed())
        ZLOG(L"WARNING STUN answer budget of (" << ZServerAddressText(to) << L") spent, ignoring.");
    return false;
}

ZStunServer::~ZStunServer() {
    for (auto& [key, timer] : _pending) _context.loop->cancel(timer);
}

bool ZStunServer::open(const std::string (&hosts)[4], std::string& error) {
    for (int i = 0; i < 4; ++i) {
        sockaddr_in a{};
        ZServerParseHost(hosts[i], a);
        const int fd = ZServerOpenUDP(a, error);
        if (fd < 0) {
            error = "cannot open STUN host " + std::to_string(i + 1) + " on " + hosts[i] + ": " + error;
            return false;
        }
        _sockets[i] = std::make_unique<ZServerUDP>(
            *_context.loop, fd,
            [this, i](ZServerUDP&, const std::string& bytes, const sockaddr_in& from) { _receive(i, bytes, from); });
        if (!_sockets[i]->start()) return false;
    }
    return true;
}

void ZStunServer::_receive(int index, const std::string& bytes, const sockaddr_in& from) {
    ZHTTPHeaders request;
    if (!ZServerReadDatagram(_context, bytes, from, L"STUN", request)) return;
    if (!ZCaseEquals(request.getMethod(), L"STUN")) {
        if (!_mayAnswer(from, 1)) return;
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING STUN host " << index + 1 << L" received '" << request.getMethod() << L"' from ("
                                       << ZServerHostText(from) << L"), answering 501.");
        _sockets[index]->send(from, ZServerAnswer(request, ZServerResponse(501, L"Not Implemented")));
        return;
    }
    if (index == 3 && request.isSet(L"Delay")) {
        _delayed(request, from);
        return;
    }
    if (!_mayAnswer(from, index == 0 ? 3 : 1)) return;
    ZHTTPHeaders answer = ZServerResponse(200, L"OK");
    answer.set(L"Global-Host", ZFromUTF8(ZServerHostText(from)));
    const std::string bytesOut = ZServerAnswer(request, answer);
    _sockets[index]->send(from, bytesOut);
    // Hosts 2 and 3 answer the probe to host 1 too: which of them get through
    // tells the client what kind of NAT it is behind.
    if (index == 0) {
        _sockets[1]->send(from, bytesOut);
        _sockets[2]->send(from, bytesOut);
    }
}

void ZStunServer::_delayed(const ZHTTPHeaders& request, const sockaddr_in& from) {
    const std::string source = ZServerHostText(from);
    const auto key = std::make_pair(source, request.get(L"CSeq"));
    if (_pending.count(key) || !_mayAnswer(from, 1)) return;
    int& count = _pendingBySource[source];
    if (count >= kPendingPerSource || _pending.size() >= kPendingInAll) {
        if (count == 0) _pendingBySource.erase(source);
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING Too many NAT refresh tests pending for (" << source << L"), ignoring.");
        return;
    }
    std::int64_t delay = request.calc64(L"Delay");
    if (delay < 0) delay = 0;
    if (delay > _context.config->maxDelay) delay = _context.config->maxDelay;
    ++count;
    ZHTTPHeaders answer = ZServerResponse(200, L"OK");
    answer.set(L"Global-Host", ZFromUTF8(source));
    const std::string bytesOut = ZServerAnswer(request, answer);
    _pending[key] = _context.loop->after(delay, [this, key, from, bytesOut] {
        _pending.erase(key);
        auto it = _pendingBySource.find(key.first);
        if (it != _pendingBySource.end() && --it->second <= 0) _pendingBySource.erase(it);
        _sockets[3]->send(from, bytesOut);
    });
}
