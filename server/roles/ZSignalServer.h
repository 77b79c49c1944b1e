// The two signalling servers (one registry behind both): server choice and
// keep-alive, device identities, registration, buddy lists, bug reports and
// the server-routed INVITE that reaches a buddy's signed-in devices.
//
// A device identity is handed out, and a device registered or signed out
// for a user, only for a valid session key of that user (see
// ZServerSessions). Requests that speak for a user (buddy lists, reports,
// INVITE) are taken only from an address where that user has a registered
// device; all but INVITE, which is passed on to other users' devices as it
// came, carry the user's key too.
//
// What one user may take is bounded: new identities per user and per
// address, devices signed in at once, INVITE datagrams forwarded a second.
//
// Threading: the loop's thread only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "ZServerContext.h"
#include "ZServerRateLimit.h"
#include "ZServerUDP.h"
#include "ZSignalRegistry.h"

class ZSignalServer {
public:
    explicit ZSignalServer(ZServerContext& context);
    ~ZSignalServer();
    ZSignalServer(const ZSignalServer&) = delete;
    ZSignalServer& operator=(const ZSignalServer&) = delete;

    bool open(const std::string (&hosts)[2], std::string& error);
    // A relay allocation closed: the devices signed in through it are gone.
    void dropContact(const std::string& contact);
    const ZSignalRegistry& registry() const { return _registry; }
    // Tells the relay client behind a source that is a relay allocation
    // (empty for any other source), so budgets per address count the
    // client's address rather than the relay's.
    void setRelayClients(std::function<std::string(const sockaddr_in&)> lookup) { _relayClients = std::move(lookup); }

private:
    typedef void (ZSignalServer::*Handler)(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);

    void _receive(int index, const std::string& bytes, const sockaddr_in& from);
    void _handle(int index, const ZHTTPHeaders& request, const std::string& bytes, const sockaddr_in& from);
    void _reply(int index, const sockaddr_in& to, const ZHTTPHeaders& request, const ZHTTPHeaders& response);
    void _refuse(int index, const sockaddr_in& to, const ZHTTPHeaders& request, int code, const wchar_t* reason);
    // The canonical "From" when a device of that user is registered at the
    // source; otherwise answers 403 and returns false.
    bool _speaksFor(int index, const ZHTTPHeaders& request, const sockaddr_in& from, std::string& user);
    // The same, and the request carries the user's session key.
    bool _provenFor(int index, const ZHTTPHeaders& request, const sockaddr_in& from, std::string& user);
    void _sweep();
    // The user whose valid session key the request carries; empty otherwise.
    std::string _keyHolder(const ZHTTPHeaders& request) const;
    // The address a budget per address counts for the source.
    std::string _budgetAddress(const sockaddr_in& from) const;

    void _onPING(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
    void _onDEVICEGUID(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
    void _onREGISTER(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
    void _onUNREGISTER(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
    void _onINVITE(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
    void _onGETBUDDYLIST(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
    void _onSETBUDDYLIST(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
    void _onADDBUDDY(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);
    void _onBUGREPORT(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);

    ZServerContext& _context;
    std::unique_ptr<ZServerUDP> _sockets[2];
    ZSignalRegistry _registry;
    // A resent DEVICEGUID (same source and CSeq) gets the same identity.
    std::unordered_map<std::string, std::pair<std::string, std::int64_t>> _issued;
    // New identities for each user and each address: each is a row in the
    // database, and the resend memory above is shared by everyone.
    ZServerRateLimit _idsByUser;
    ZServerRateLimit _idsByAddress;
    // INVITE datagrams forwarded for each sending user.
    ZServerRateLimit _forwardsByUser;
    // A resent INVITE (same source, device and CSeq) is not forwarded again.
    std::unordered_map<std::string, std::int64_t> _forwarded;
    std::function<std::string(const sockaddr_in&)> _relayClients;
    ZServerLoop::TimerId _sweepTimer = 0;
    int _sweeps = 0;
    // Kept from one datagram to the next, so a busy server parses and
    // answers without making them anew: the request being handled, the
    // answer being written and its bytes.
    ZHTTPHeaders _request;
    ZHTTPHeaders _answer;
    std::string _answerBytes;
    bool _receiving = false;
};
