// The authentication server: takes one AUTHENTICATE per connection, signs an
// account in or creates a new one, answers with the service's hosts and
// closes. Password hashing runs on the workers: sign-ins of existing
// accounts ahead of new accounts, each address with its own share of the
// queue. Guessing is slowed down by account and address (ZSignInThrottle)
// before anything is hashed; new accounts are counted per address an hour.
//
// Threading: the loop's thread; the hashing on a worker.
#pragma once

#include "ZServerQuota.h"
#include "ZServerTCPRole.h"
#include "ZServerWorkers.h"
#include "ZSignInThrottle.h"

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
    // Queues the hashing; answers 503 itself when the queue or the
    // address's share of it is full.
    bool _submit(ZServerConnection& connection, ZServerWorkers::Priority priority, std::function<void()> job,
                 std::function<void()> done);
    void _throttled(std::uint64_t id, std::int64_t wait, const wchar_t* reason);
    // Refuses a sign-in whose pair or address must still wait (429), with a
    // rate-limited warning.
    void _guessing(ZServerConnection& connection, const std::string& guid, std::int64_t wait);

    Hosts _hosts;
    ZSignInThrottle _throttle;
    ZServerQuota _creations;
};
