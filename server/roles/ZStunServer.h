// STUN hosts 1 to 4: host 1 tells a client the address it sees and has hosts
// 2 and 3 answer the same request from their own sockets; host 4 answers a
// NAT refresh test after the delay the client asks for.
//
// One probe brings three answers, so a forged source would make the hosts
// a flood of someone else: the answers one address gets over the four
// hosts have a budget a second (the three answers of a probe go together or
// not at all).
//
// Threading: the loop's thread only.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "ZServerContext.h"
#include "ZServerRateLimit.h"
#include "ZServerUDP.h"

class ZStunServer {
public:
    explicit ZStunServer(ZServerContext& context);
    ~ZStunServer();
    ZStunServer(const ZStunServer&) = delete;
    ZStunServer& operator=(const ZStunServer&) = delete;

    bool open(const std::string (&hosts)[4], std::string& error);
    std::size_t pendingTests() const { return _pending.size(); }

private:
    void _receive(int index, const std::string& bytes, const sockaddr_in& from);
    void _delayed(const ZHTTPHeaders& request, const sockaddr_in& from);
    // Takes the answers from the address's budget; false (with a warning)
    // when it has not enough.
    bool _mayAnswer(const sockaddr_in& to, int answers);

    ZServerContext& _context;
    std::unique_ptr<ZServerUDP> _sockets[4];
    // One pending refresh test per (source, CSeq); a few per source.
    std::map<std::pair<std::string, std::wstring>, ZServerLoop::TimerId> _pending;
    std::map<std::string, int> _pendingBySource;
    ZServerRateLimit _answersByAddress;
};
