// Downloads an upgrade the authentication server offered: watches
// "Local_Upgrade_URL", fetches the file and its detached signature
// ("<URL>.sig") over plain HTTP, and writes "upgrade.exe" only when the
// signature verifies with the release key built into the program; then
// tells the client with "UPGRADEDOWNLOADED". A download whose signature
// fails is deleted and the client told with "UPGRADEREFUSED" (with
// "Upgrade-URL"); the next sign-in offers it again. A failed attempt is
// retried a minute after it began.
//
//   state    condition                                   next
//   Idle     "Local_Upgrade_URL" unset                    set -> Due
//   Due      address set, a minute since the last try     invalid address or bad signature -> Idle
//                                                         written -> Done; failure -> Waiting
//   Waiting  less than a minute since the last try        -> Due
//   Done     the loop ended; nothing more in this run
//
// Threading: one thread of its own, "ZClient.ZUpgradeService". The loop runs
// with the object's lock held and lets it go while it waits on the network.
// The request clients live only inside one loop call.
#pragma once

#include <cstdint>
#include <string>

#include "ZPortable_Helpers.h"
#include "ZThreadObject.h"

class ZInstance;
class ZHTTPHeaders;

// Where the service reads the time; tests drive their own clock.
typedef std::int64_t (*ZUpgradeClock)();

// Ed25519 public key of the releases, 64 hex digits; empty when the build
// names none, and then no upgrade is ever installed.
void ZUpgradeSetPublicKey(const std::string& hexKey);
std::string ZUpgradeGetPublicKey();

// The upgrade download service.
class ZUpgradeService : public ZThreadObject {
public:
    explicit ZUpgradeService(ZInstance* instance);
    ~ZUpgradeService() override;
    void invariantTest() override;
    void setClock(ZUpgradeClock clock);

protected:
    void _bZThreadObject_safe_onStartup() override;
    int _bZThreadObject_safe_onLoop() override;
    void _bZThreadObject_safe_onShutdown() override;

private:
    // One GET of path from host:port; the answer, empty when none came.
    bool _fetch(const std::wstring& connectTo, const std::wstring& host, const std::wstring& path,
                bool showProgress, ZHTTPHeaders& answer);
    // Writes the verified file as the executable "upgrade.exe" in one step.
    bool _install(const std::string& bytes);

    ZInstance* _instance;
    ZInterval _retryInterval{0, 60000000};
    ZUpgradeClock _clock;
};
