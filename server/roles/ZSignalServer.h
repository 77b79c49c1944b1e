// The two signalling servers (one registry behind both): server choice and
// keep-alive, device identities, registration, buddy lists, bug reports and
// the server-routed INVITE that reaches a buddy's signed-in devices.
//
// A device identity is handed out, and a device registered for a user, only
// for a valid session key of that user (see ZServerSessions). Requests that
// speak for a user (buddy lists, reports, INVITE) are taken only from an
// address where that user has a registered device.
//
// Threading: the loop's thread only.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "ZServerContext.h"
#include "ZServerUDP.h"
#include "ZSignalRegistry.h"

class ZSignalServer {
public:
    explicit ZSignalServer(ZServerContext& context) : _context(context) {}
    ~ZSignalServer();
    ZSignalServer(const ZSignalServer&) = delete;
    ZSignalServer& operator=(const ZSignalServer&) = delete;

    bool open(const std::string (&hosts)[2], std::string& error);
    // A relay allocation closed: the devices signed in through it are gone.
    void dropContact(const std::string& contact);
    const ZSignalRegistry& registry() const { return _registry; }

private:
    typedef void (ZSignalServer::*Handler)(int, const ZHTTPHeaders&, const std::string&, const sockaddr_in&);

    void _receive(int index, const std::string& bytes, const sockaddr_in& from);
    void _handle(int index, const ZHTTPHeaders& request, const std::string& bytes, const sockaddr_in& from);
    void _reply(int index, const sockaddr_in& to, const ZHTTPHeaders& request, const ZHTTPHeaders& response);
    void _refuse(int index, const sockaddr_in& to, const ZHTTPHeaders& request, int code, const wchar_t* reason);
    // The canonical "From" when a device of that user is registered at the
    // source; otherwise answers 403 and returns false.
    bool _speaksFor(int index, const ZHTTPHeaders& request, const sockaddr_in& from, std::string& user);
    void _sweep();
    // The user whose valid session key the request carries; empty otherwise.
    std::string _keyHolder(const ZHTTPHeaders& request) const;

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
    // New identities handed to each source within the memory window: each
    // is a row in the database, so one source cannot ask for them at will.
    std::unordered_map<std::string, int> _issuedBySource;
    // A resent INVITE (same source, device and CSeq) is not forwarded again.
    std::unordered_map<std::string, std::int64_t> _forwarded;
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
