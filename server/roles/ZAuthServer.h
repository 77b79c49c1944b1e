// The authentication server: takes one AUTHENTICATE per connection, signs an
// account in or creates a new one, answers with the service's hosts and
// closes. Password hashing runs on the workers.
//
// Threading: the loop's thread; the hashing on a worker.
#pragma once

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

    Hosts _hosts;
};
