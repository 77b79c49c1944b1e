// The authentication server: takes one AUTHENTICATE per connection, signs an
// account in or creates a new one, answers with the service's hosts and
// closes. Password hashing runs on the workers.
//
// Threading: the loop's thread; the hashing on a worker.
#pragma once

#include <map>

#include "ZServerTCPRole.h"

class ZAuthServer : public ZServerTCPRole {
public:
    ZAuthServer(ZServerContext& context, ZServerConnectionCount& count);

    // The host headers of every successful answer.
    struct Hosts {
        std::string stun[4];
        std::string sip[2];
        std::string turn;
        std::string logfile;
        std::string upgrade;
    };
    void setHosts(const Hosts& hosts) { _hosts = hosts; }

    void onMessage(ZServerConnection& connection, ZHTTPHeaders& message) override;

private:
    void _signIn(ZServerConnection& connection, const std::string& guid, const std::string& password,
                 int version);
    void _create(ZServerConnection& connection, const std::string& name, const std::string& password,
                 const std::string& email, int version);
    void _answer(std::uint64_t id, ZHTTPHeaders response);
    ZHTTPHeaders _success(int version) const;

    // Wrong passwords per account: after a few in a row the account takes
    // no attempt for a minute, which stops online guessing.
    struct Failures {
        int count = 0;
        std::int64_t lockedUntil = 0;
    };
    bool _locked(const std::string& guid);
    void _failed(const std::string& guid);

    Hosts _hosts;
    std::map<std::string, Failures> _failures;
};
