// The signalling transaction layer: numbers every outgoing request ("CSeq"),
// stamps the addresses it travels between, re-sends it until it is answered,
// matches incoming responses to it, answers a repeated request from a cache
// of sent responses, and fans a message out over a peer's route list.
//
// Records belong to an owner (a device session, or null for the buddy-list
// service): an owner's reset cancels only its own pending requests, and the
// CSeq numbering never restarts while the instance lives, so peers' response
// caches never see a number twice from us. The numbering starts at a random
// number; cached responses are keyed by the requester's address and the
// CSeq, since two clients may still meet on one number.
// Request records leave 32 s after their first send (the last re-send is at
// 8 s), responses 32 s after they were cached.
//
// Threading: no lock and no thread of its own. The buddy-list service creates
// the one instance, calls dispatch from its loop and lends it to its sessions,
// which send through it on that same thread. The switchboard it sends through
// is thread-safe.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <utility>

#include "ZHTTPHeaders.h"
#include "ZMegaPort.h"
#include "ZObject.h"

// The first number of a CSeq numbering: drawn at random from 31 bits, so an
// answer that matches one came from whoever read the request, not from a
// stranger counting up from 1.
int ZSIPFirstCSeq();
// The number after cseq; past the largest 31-bit number it starts again at 1.
int ZSIPNextCSeq(int cseq);

// The listener that dispatch calls for each request and each matched response.
class IZSIPClientListener {
public:
    virtual ~IZSIPClientListener() = default;
    // to: the local address the request arrived on; from: its sender.
    virtual void onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) = 0;
    // request: our request exactly as recorded, with its transaction headers.
    virtual void onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request,
                            const ZHTTPHeaders& response) = 0;
};

// Who sent a request: records are cancelled per owner.
typedef const void* ZSIPOwner;

// Where the layer and the sessions read the time; tests drive their own clock.
typedef std::int64_t (*ZSIPClock)();

// How long request and response records are kept, in microseconds.
constexpr std::int64_t ZSIP_RECORD_LIFETIME = 32000000;
// Most entries of a route list that are used; the rest are refused.
constexpr int ZSIP_ROUTE_LIST_MAX = 8;

// One way to a peer: the local address to send from, the peer's address and
// the route's type word ("local", "turn", or a connection class).
struct ZSIPRoute {
    std::wstring from;
    std::wstring to;
    std::wstring type;
};

// Splits a route list into {type, address} entries it accepts: at most
// ZSIP_ROUTE_LIST_MAX entries of a known type with a dotted address and a
// port. Returns the number of entries refused; "symmetric" is accepted here
// and refused only when sending.
int ZSIPParseRouteList(const std::wstring& routeList, std::list<std::pair<std::wstring, std::wstring>>& out);
// The accepted entries joined again with ", ".
std::wstring ZSIPCleanRouteList(const std::wstring& routeList, int* refused = nullptr);
// A dotted IPv4 address with a port from 1 to 65535 that names one host:
// no broadcast, multicast or 0.x.x.x address.
bool ZSIPIsDottedHost(const std::wstring& host);

// Requests and responses of the signalling protocol, over the switchboard.
class ZSIPClient : public ZHeapObject {
public:
    // The numbering starts after firstCSeq - 1; a test may pin it.
    explicit ZSIPClient(ZMegaPort* port, int firstCSeq = ZSIPFirstCSeq());
    ~ZSIPClient() override;
    void invariantTest() override;

    ZMegaPort* getPort();
    // The clock of the layer and of the sessions that use it.
    void setClock(ZSIPClock clock);
    std::int64_t now();

    // Forgets every record; the numbering goes on.
    void reset();
    // Forgets the owner's requests, so their answers are no longer matched.
    void cancel(ZSIPOwner owner);

    void sendRequest(const std::wstring& from, const std::wstring& to, const ZHTTPHeaders& request, bool retransmit,
                     ZSIPOwner owner = nullptr);
    void sendRequestToRouteList(const std::wstring& routeList, const ZHTTPHeaders& request, bool retransmit,
                                ZSIPOwner owner = nullptr);
    void sendResponse(const std::wstring& from, const std::wstring& to, const ZHTTPHeaders& request,
                      const ZHTTPHeaders& response);
    void sendResponseToRouteList(const std::wstring& routeList, const ZHTTPHeaders& request,
                                 const ZHTTPHeaders& response);

    // Handles every waiting signalling bucket, then re-sends what is due and
    // lets expired records go.
    void dispatch(IZSIPClientListener* listener);

    int getNumRequestRecords() const { return static_cast<int>(_requestRecordMap.size()); }
    int getNumResponseRecords() const { return static_cast<int>(_responseRecordMap.size()); }
    int getCSeq() const { return _cseq; }

private:
    struct RequestRecord {
        std::wstring from;
        std::wstring to;
        std::string requestBuffer;
        std::int64_t sentTime = 0;
        bool answered = false;
        int attempts = 0;
        bool retransmit = false;
        ZSIPOwner owner = nullptr;
    };
    struct ResponseRecord {
        std::wstring from;
        std::wstring to;
        std::string responseBuffer;
        std::int64_t cachedTime = 0;
    };
    // The requester's address and the CSeq text.
    typedef std::pair<std::wstring, std::wstring> ResponseKey;

    void _recordRequest(const std::wstring& cseq, const std::wstring& from, const std::wstring& to,
                        const std::string& requestBuffer, bool retransmit, ZSIPOwner owner);
    void _composeFromToList(std::list<ZSIPRoute>& routes, const std::wstring& from, const std::wstring& routeList);
    // The routes of a fan-out: each from the local address, and again from the
    // relay's public address while one is attached.
    void _composeAllRoutes(std::list<ZSIPRoute>& routes, const std::wstring& routeList, std::wstring& localHost);
    void _onBucket(IZSIPClientListener* listener, ZMegaPortBucket* bucket);
    void _onResponse(IZSIPClientListener* listener, ZMegaPortBucket* bucket, const ZHTTPHeaders& response,
                     const std::wstring& cseq);
    void _resendAndExpire();

    std::map<std::wstring, RequestRecord> _requestRecordMap;
    std::map<ResponseKey, ResponseRecord> _responseRecordMap;
    ZMegaPort* _port;
    int _cseq;
    ZSIPClock _clock;
    // The request being handed to the listener: a response to it is cached
    // under the address it really came from.
    const std::wstring* _inboundFrom = nullptr;
    std::wstring _inboundCSeq;
};
