#include "ZSIPClient.h"

#include <cwctype>
#include <random>

#include "ZNonPortable.h"
#include "ZPortable.h"

namespace {

// Route types a peer may name; anything else is refused before it is used.
const wchar_t* const kRouteTypes[] = {L"local", L"turn", L"public", L"unrestricted", L"restricted", L"symmetric",
                                      L"firewall"};

bool isKnownRouteType(const std::wstring& type) {
    for (const wchar_t* known : kRouteTypes)
        if (ZCaseEquals(type, known)) return true;
    return false;
}

// Reads a decimal number of at most maxDigits digits from text[pos...].
bool readNumber(const std::wstring& text, std::size_t& pos, int maxDigits, long& value) {
    const std::size_t begin = pos;
    value = 0;
    while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') {
        if (static_cast<int>(pos - begin) >= maxDigits) return false;
        value = value * 10 + (text[pos] - L'0');
        ++pos;
    }
    return pos > begin;
}

std::wstring methodOf(const std::string& buffer) {
    ZHTTPHeaders message;
    ZWARNASSERT_T(message.deserialize(buffer), "request.deserialize( requestRecord.requestBuffer )");
    return message.getMethod();
}

std::wstring sentFromType(const std::wstring& from, const std::wstring& localHost) {
    return ZCaseEquals(from, localHost) ? L"local" : L"turn";
}

// Leaves room for 16 million requests before the numbering wraps.
constexpr int kHighestFirstCSeq = 0x7F000000;

}  // namespace

int ZSIPFirstCSeq() {
    std::random_device source;
    std::uniform_int_distribution<int> draw(1, kHighestFirstCSeq);
    return draw(source);
}

int ZSIPNextCSeq(int cseq) { return cseq >= 0x7FFFFFFF || cseq < 0 ? 1 : cseq + 1; }

bool ZSIPIsDottedHost(const std::wstring& host) {
    std::size_t pos = 0;
    long value = 0;
    for (int octet = 0; octet < 4; ++octet) {
        if (!readNumber(host, pos, 3, value) || value > 255) return false;
        if (pos >= host.size() || host[pos] != (octet < 3 ? L'.' : L':')) return false;
        ++pos;
    }
    if (!readNumber(host, pos, 5, value) || value < 1 || value > 65535) return false;
    return pos == host.size() && ZUnicastHost(host);
}

int ZSIPParseRouteList(const std::wstring& routeList, std::list<std::pair<std::wstring, std::wstring>>& out) {
    out.clear();
    std::list<std::wstring> entries;
    ZParseList(entries, routeList);
    int refused = 0;
    for (const std::wstring& entry : entries) {
        std::wstring type;
        std::wstring address;
        ZSplitURL(entry, type, address);
        if (static_cast<int>(out.size()) >= ZSIP_ROUTE_LIST_MAX || !isKnownRouteType(type) ||
            !ZSIPIsDottedHost(address) || entry != type + L"://" + address) {
            ++refused;
            continue;
        }
        out.emplace_back(type, address);
    }
    return refused;
}

std::wstring ZSIPCleanRouteList(const std::wstring& routeList, int* refused) {
    std::list<std::pair<std::wstring, std::wstring>> routes;
    const int count = ZSIPParseRouteList(routeList, routes);
    if (refused) *refused = count;
    std::list<std::wstring> entries;
    for (const auto& route : routes) entries.push_back(route.first + L"://" + route.second);
    return ZJoin(entries, L", ");
}

// ---- the object -------------------------------------------------------------------------

ZSIPClient::ZSIPClient(ZMegaPort* port, int firstCSeq) : _port(port), _cseq(firstCSeq - 1), _clock(&ZTimeNow) {
    ZTRACE_KIND("ZSIPClient");
    ZPRECONDITION(port);
}

ZSIPClient::~ZSIPClient() {
    ZTRACE();
}

void ZSIPClient::invariantTest() {
    ZASSERT_PTR(_port);
    ZObject::invariantTest();
}

ZMegaPort* ZSIPClient::getPort() {
    ZTRACE();
    return _port;
}

void ZSIPClient::setClock(ZSIPClock clock) {
    ZPRECONDITION(clock);
    _clock = clock;
}

std::int64_t ZSIPClient::now() { return _clock(); }

void ZSIPClient::reset() {
    ZTRACE();
    invariantTest();
    _requestRecordMap.clear();
    _responseRecordMap.clear();
}

void ZSIPClient::cancel(ZSIPOwner owner) {
    ZTRACE();
    invariantTest();
    std::erase_if(_requestRecordMap, [owner](const auto& entry) { return entry.second.owner == owner; });
}

// ---- requests ------------------------------------------------------------------------------

void ZSIPClient::sendRequest(const std::wstring& from, const std::wstring& to, const ZHTTPHeaders& request,
                             bool retransmit, ZSIPOwner owner) {
    ZTRACE();
    invariantTest();
    const std::wstring method = request.getMethod();
    if (!ZValidHost(to)) {
        ZLOG(L"WARNING Attempting to send '" << method << L"' but invalid destination (" << to << L"), ignoring.");
        return;
    }
    if (from == L"0.0.0.0:0") {
        ZLOG(L"WARNING Attempting to send '" << method << L"' but invalid source (" << from << L"), ignoring.");
        return;
    }
    ZLOGC('S', L"Requesting '" << method << L"' from (" << from << L") to (" << to << L")");
    ZWARNASSERT(!request.getResponse( ));

    ZHTTPHeaders copy(request);
    _cseq = ZSIPNextCSeq(_cseq);
    const std::wstring cseq = ZToString(_cseq);
    copy.set(L"CSeq", cseq);
    copy.set(L"Sent-From", from);
    copy.set(L"Sent-To", to);
    copy.set(L"Sent-From-Type", sentFromType(from, _port->getLocalHost()));
    const std::string bytes = copy.serialize();
    _recordRequest(cseq, from, to, bytes, retransmit, owner);
    _port->send(from, to, bytes);
}

void ZSIPClient::_recordRequest(const std::wstring& cseq, const std::wstring& from, const std::wstring& to,
                                const std::string& requestBuffer, bool retransmit, ZSIPOwner owner) {
    ZTRACE();
    ZWARNASSERT(!to.empty( ));
    RequestRecord& record = _requestRecordMap[cseq];
    record.from = from;
    record.to = to;
    record.requestBuffer = requestBuffer;
    record.sentTime = now();
    record.answered = false;
    record.attempts = 0;
    record.retransmit = retransmit;
    record.owner = owner;
    ZLOGC('S', L"Requesting from (" << from << L") to (" << to << L")");
}

void ZSIPClient::_composeFromToList(std::list<ZSIPRoute>& routes, const std::wstring& from,
                                   const std::wstring& routeList) {
    ZTRACE();
    std::list<std::pair<std::wstring, std::wstring>> entries;
    const int refused = ZSIPParseRouteList(routeList, entries);
    if (refused) ZLOG(L"WARNING Route list '" << routeList << L"' has " << refused << L" unusable entries, ignoring them.");
    for (const auto& [type, address] : entries) {
        if (ZCaseEquals(type, L"symmetric")) {
            ZLOG(L"WARNING Route '" << type << L"://" << address << L"' not supported yet, ignoring.");
            continue;
        }
        routes.push_back(ZSIPRoute{from, address, type});
    }
}

void ZSIPClient::_composeAllRoutes(std::list<ZSIPRoute>& routes, const std::wstring& routeList,
                                   std::wstring& localHost) {
    localHost = _port->getLocalHost();
    const std::wstring globalHost = _port->getGlobalHost();
    ZWARNASSERT(ZValidHost( localHost ));
    _composeFromToList(routes, localHost, routeList);
    if (ZValidHost(globalHost)) _composeFromToList(routes, globalHost, routeList);
}

void ZSIPClient::sendRequestToRouteList(const std::wstring& routeList, const ZHTTPHeaders& request, bool retransmit,
                                        ZSIPOwner owner) {
    ZTRACE();
    invariantTest();
    const std::wstring method = request.getMethod();
    if (routeList.empty()) {
        ZLOG(L"WARNING Attempting to send '" << method << L"' but no destination, ignoring.");
        return;
    }
    ZLOGC('S', L"Requesting '" << method << L"' from (" << routeList << L")");

    std::list<ZSIPRoute> routes;
    std::wstring localHost;
    _composeAllRoutes(routes, routeList, localHost);

    std::list<std::wstring> group;
    int next = _cseq;
    for (std::size_t i = 1; i <= routes.size(); ++i) {
        next = ZSIPNextCSeq(next);
        group.push_back(ZToString(next));
    }
    const std::wstring groupText = ZJoin(group, L", ");

    for (const ZSIPRoute& fromTo : routes) {
        _cseq = ZSIPNextCSeq(_cseq);
        const std::wstring cseq = ZToString(_cseq);
        ZWARNASSERT(!fromTo.from.empty( ));
        ZWARNASSERT(!fromTo.to.empty( ));
        ZHTTPHeaders copy(request);
        copy.set(L"CSeq", cseq);
        copy.set(L"CSeq-Group", groupText);
        copy.set(L"Sent-From", fromTo.from);
        copy.set(L"Sent-From-Type", sentFromType(fromTo.from, localHost));
        copy.set(L"Sent-To", fromTo.to);
        copy.set(L"Sent-To-Type", fromTo.type);
        const std::string bytes = copy.serialize();
        _recordRequest(cseq, fromTo.from, fromTo.to, bytes, retransmit, owner);
        _port->send(fromTo.from, fromTo.to, bytes);
    }
}

// ---- responses -----------------------------------------------------------------------------

void ZSIPClient::sendResponse(const std::wstring& from, const std::wstring& to, const ZHTTPHeaders& request,
                              const ZHTTPHeaders& response) {
    ZTRACE();
    invariantTest();
    const std::wstring summary = response.getResponseSummary();
    const std::wstring method = request.getMethod();
    if (!ZValidHost(to)) {
        ZLOG(L"WARNING Attempting to respond " << summary << L" to request '" << method << L"' but invalid destination ("
                                               << to << L"), ignoring.");
        return;
    }
    if (!ZValidHost(from)) {
        ZLOG(L"WARNING Attempting to respond " << summary << L" to request '" << method << L"' but invalid source ("
                                               << from << L"), ignoring.");
        return;
    }
    ZLOGC('S', L"Responding " << summary << L" to '" << method << L"' from (" << from << L") to (" << to << L")");
    ZWARNASSERT(response.getResponse( ));

    const std::wstring cseq = request.get(L"CSeq");
    ZHTTPHeaders copy(response);
    copy.set(L"CSeq", cseq);
    copy.set(L"Sent-From", from);
    copy.set(L"Sent-To", to);
    copy.set(L"Sent-From-Type", sentFromType(from, _port->getLocalHost()));
    copy.set(L"Debug-Original-Method", method);
    const std::string bytes = copy.serialize();
    _port->send(from, to, bytes);

    if (cseq.empty()) return;
    // A repeat of the request comes from where the request came from, which
    // need not be where the answer goes.
    const std::wstring& requester = (_inboundFrom && cseq == _inboundCSeq) ? *_inboundFrom : to;
    _responseRecordMap[ResponseKey(requester, cseq)] = ResponseRecord{from, to, bytes, now()};
}

void ZSIPClient::sendResponseToRouteList(const std::wstring& routeList, const ZHTTPHeaders& request,
                                         const ZHTTPHeaders& response) {
    ZTRACE();
    invariantTest();
    const std::wstring summary = response.getResponseSummary();
    const std::wstring method = request.getMethod();
    if (routeList.empty()) {
        ZLOG(L"WARNING Attempting to respond " << summary << L" to request '" << method
                                               << L"' but no destination, ignoring.");
        return;
    }
    ZLOGC('S', L"Responding " << summary << L" to '" << method << L"' from (" << routeList << L")");

    ZHTTPHeaders copy(response);
    copy.set(L"CSeq", request.get(L"CSeq"));
    copy.set(L"Debug-Original-Method", method);

    std::list<ZSIPRoute> routes;
    std::wstring localHost;
    _composeAllRoutes(routes, routeList, localHost);
    for (const ZSIPRoute& fromTo : routes) {
        ZWARNASSERT(!fromTo.from.empty( ));
        ZWARNASSERT(!fromTo.to.empty( ));
        copy.set(L"Sent-From", fromTo.from);
        copy.set(L"Sent-From-Type", sentFromType(fromTo.from, localHost));
        copy.set(L"Sent-To", fromTo.to);
        copy.set(L"Sent-To-Type", fromTo.type);
        _port->send(fromTo.from, fromTo.to, copy.serialize());
    }
}

// ---- incoming --------------------------------------------------------------------------------

void ZSIPClient::dispatch(IZSIPClientListener* listener) {
    ZTRACE();
    ZPRECONDITION(listener);
    invariantTest();
    while (ZMegaPortBucket* bucket = _port->getSIPBucket()) {
        _onBucket(listener, bucket);
        _port->returnEmptyBucket(bucket);
    }
    _resendAndExpire();
}

void ZSIPClient::_onBucket(IZSIPClientListener* listener, ZMegaPortBucket* bucket) {
    ZTRACE();
    ZHTTPHeaders headers;
    if (!headers.deserialize(bucket->buffer)) {
        // A peer's bytes: refused here rather than handed on as an empty message.
        ZWARNASSERT_T(false, "headers.deserialize( bucket->buffer )");
        return;
    }
    // The first line, the CSeq and the method reach log lines: no control
    // character may forge a line there.
    const std::wstring cseq = headers.get(L"CSeq");
    const std::wstring firstLine = headers.get(std::wstring());
    for (const std::wstring* text : {&firstLine, &cseq}) {
        for (wchar_t c : *text) {
            if (c < 0x20 || c == 0x7F) {
                ZLOG(L"WARNING Received message with control characters from (" << bucket->from << L"), ignoring.");
                return;
            }
        }
    }
    if (headers.getResponse()) {
        _onResponse(listener, bucket, headers, cseq);
        return;
    }
    const auto cached = _responseRecordMap.find(ResponseKey(bucket->from, cseq));
    if (!cseq.empty() && cached != _responseRecordMap.end()) {
        _port->send(cached->second.from, cached->second.to, cached->second.responseBuffer);
        return;
    }
    _inboundFrom = &bucket->from;
    _inboundCSeq = cseq;
    listener->onRequest(bucket->to, bucket->from, headers);
    _inboundFrom = nullptr;
    _inboundCSeq.clear();
}

void ZSIPClient::_onResponse(IZSIPClientListener* listener, ZMegaPortBucket* bucket, const ZHTTPHeaders& response,
                             const std::wstring& cseq) {
    ZTRACE();
    if (cseq.empty()) return;
    const auto found = _requestRecordMap.find(cseq);
    if (found == _requestRecordMap.end()) {
        ZLOG(L"WARNING Received response with unknown CSEQ '" << cseq << L"' from '" << bucket->from
                                                              << L"', ignoring.");
        return;
    }
    found->second.answered = true;
    ZHTTPHeaders request;
    ZWARNASSERT(request.deserialize( found->second.requestBuffer ));

    // Marked before the listener runs: it may send, reset or cancel.
    std::list<std::wstring> group;
    std::wstring invalidMember;
    int invalidCount = 0;
    if (response.get(L"CSeq-Group", group)) {
        for (const std::wstring& number : group) {
            const auto member = _requestRecordMap.find(number);
            if (member != _requestRecordMap.end()) {
                member->second.answered = true;
            } else if (invalidCount++ == 0) {
                invalidMember = number;
            }
        }
    }
    listener->onResponse(bucket->to, bucket->from, request, response);
    // One line however long a peer makes its group.
    if (invalidCount)
        ZLOG(L"WARNING Trying to record response to invalid member '" << invalidMember << L"' of CSeq-Group '"
                                                                      << response.get(L"CSeq-Group") << L"'");
}

void ZSIPClient::_resendAndExpire() {
    ZTRACE();
    const std::int64_t time = now();
    for (auto it = _requestRecordMap.begin(); it != _requestRecordMap.end();) {
        RequestRecord& record = it->second;
        if (time - record.sentTime > ZSIP_RECORD_LIFETIME) {
            it = _requestRecordMap.erase(it);
            continue;
        }
        if (record.retransmit && !record.answered && record.attempts < 4 &&
            time - record.sentTime > (std::int64_t{1000000} << record.attempts)) {
            _port->send(record.from, record.to, record.requestBuffer);
            ++record.attempts;
            ZLOGC('S', L"Re-requesting '" << methodOf(record.requestBuffer) << L"' #" << record.attempts << L" from ("
                                         << record.from << L") to <" << record.to << L")");
        }
        ++it;
    }
    std::erase_if(_responseRecordMap,
                  [time](const auto& entry) { return time - entry.second.cachedTime > ZSIP_RECORD_LIFETIME; });
}
