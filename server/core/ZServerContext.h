// What every role of the service shares: the loop, the configuration, the
// database, the hashing workers and the host texts given to clients.
//
// Threading: the loop's thread only.
#pragma once

#include <netinet/in.h>

#include <string>

#include "ZHTTPHeaders.h"
#include "ZServerConfig.h"
#include "ZServerGuard.h"
#include "ZServerLoop.h"

class ZServerStore;
class ZServerWorkers;
class ZServerSessions;

struct ZServerContext {
    ZServerLoop* loop = nullptr;
    const ZServerConfig* config = nullptr;
    ZServerStore* store = nullptr;
    ZServerWorkers* workers = nullptr;
    ZFloodGate* flood = nullptr;
    ZServerSessions* sessions = nullptr;
    // A role's host text as clients must see it (the advertised address in
    // place of 0.0.0.0).
    std::string advertised(const std::string& host) const;
};

// A response "HTTP/1.1 <code> <reason>".
ZHTTPHeaders ZServerResponse(int code, const wchar_t* reason);
// The datagram answer to a request: the response with the request's CSeq
// and the method it answers.
std::string ZServerAnswer(const ZHTTPHeaders& request, ZHTTPHeaders response);
// The same, completing `response` in place and writing into `out`.
void ZServerAnswer(const ZHTTPHeaders& request, ZHTTPHeaders& response, std::string& out);
// A header value as UTF-8 text.
std::string ZServerField(const ZHTTPHeaders& message, const wchar_t* name);
// Canonical user identifier: lower-case letters, digits and "-_.@" only,
// 1..128 units; false for anything else.
bool ZServerCanonicalName(const std::string& text, std::string& out);

// Reads one datagram of a UDP role: the per-source budget, the bare
// "HOLEPUNCH" (dropped in silence) and the message format. False when the
// datagram is to be dropped (with at most one warning line).
bool ZServerReadDatagram(ZServerContext& context, const std::string& bytes, const sockaddr_in& from,
                         const wchar_t* role, ZHTTPHeaders& out);
