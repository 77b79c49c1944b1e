// The service's configuration: the default layout (every role on a port
// counted from one base), options from the command line and from a
// configuration file of "name = value" lines, and their checks.
//
// Threading: read-only once the service runs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Threads that hash passwords unless told otherwise: the number of cores,
// at least 1 and at most the 64 that --workers accepts.
int ZServerDefaultWorkers();

struct ZServerConfig {
    std::string bind = "127.0.0.1";
    // The address given to clients in host lists; the bind address by default.
    std::string advertise;
    int portBase = 24000;
    std::string data = "zandrel-data";
    std::string domain = "zandrel.net";

    // Each role's host text; empty ones follow the layout of bind and port-base.
    std::string authHost;
    std::string stunHosts[4];
    std::string sipHosts[2];
    std::string relayHost;
    std::string logHost;
    std::string upgradeHost;
    int relayPortLow = 0;
    int relayPortCount = 1000;

    int pbkdf2Iterations = 100000;
    // Hashing is bound by the processor, so one worker per core reaches the
    // machine's ceiling of sign-ins; fewer leave cores idle under load.
    int workers = ZServerDefaultWorkers();
    std::int64_t maxUpload = 16 * 1024 * 1024;
    std::int64_t maxRelayFrame = 70 * 1024;
    int floodLimit = 1000;
    std::int64_t maxDelay = 600000000;
    int maxConnections = 4096;
    int maxConnectionsPerPeer = 256;
    // Places of maxConnections that only the authentication server takes.
    int authReserve = 512;
    int maxUploadsPerPeer = 4;
    // What the log host keeps: bytes in all (the oldest uploads go to make
    // room), bytes per source address and per account an hour, and the free
    // disk space it leaves to the database.
    std::int64_t logQuota = 4LL << 30;
    std::int64_t logQuotaPerSource = 256LL << 20;
    std::int64_t logQuotaPerAccount = 256LL << 20;
    std::int64_t minFreeSpace = 512LL << 20;
    // Largest database in bytes; 0 leaves it to the disk.
    std::int64_t maxDatabase = 0;
    int bugReportsPerHour = 10;
    int maxBugReport = 16 * 1024;
    // Password guessing: free wrong passwords per account and address, the
    // first delay after them (seconds, doubling per failure up to the
    // cap), and the failures after which an account or an address as a
    // whole is slowed down.
    int signInFreeFailures = 5;
    int signInDelay = 60;
    int signInMaxDelay = 3600;
    int signInAccountFailures = 20;
    int signInSourceFailures = 100;
    int accountsPerSource = 20;
    int maxQueuedPerSource = 8;
    // Seconds a relay connection may stay open without an allocation.
    int relayOpenTimeout = 15;
    // The descriptor limit the service sets for itself; 0 leaves it.
    int nofile = 0;
    std::int64_t registrationTimeout = 900000000;

    // What one user or one address may take of what everyone shares.
    // New device identities in two minutes, per user and per address.
    int deviceIdsPerUser = 16;
    int deviceIdsPerAddress = 64;
    // Devices of one user signed in at once.
    int maxDevicesPerUser = 16;
    // Days a registered device identity lives after its last REGISTER.
    int deviceLifetimeDays = 180;
    // INVITE datagrams forwarded a second for one sending user (bursts of
    // five seconds' worth).
    int inviteForwardsPerUser = 100;
    // STUN answers a second to one address, over the four hosts.
    int stunAnswersPerAddress = 60;
    int relayAllocationsPerUser = 16;
    int relayAllocationsPerAddress = 64;
    // Seconds an allocation may go without a frame from its client.
    int relayIdleTimeout = 1200;
    // Lets SENDUDP reach loopback, private, link-local and other addresses
    // that are not the public internet's.
    bool relayPrivateTargets = false;

    std::string upgradeFile;
    std::string upgradeName;
    std::string upgradePriority;
    int upgradeVersion = 0;

    std::string logFilter;

    // PEM files of the certificate (chain) and its key for the authentication,
    // log and upgrade hosts; without them those hosts start only when
    // insecurePlainHttp allows them to speak in clear.
    std::string tlsCert;
    std::string tlsKey;
    bool insecurePlainHttp = false;
};

// Reads options (argv[1..]); a "--config <file>" is read first and the other
// options override it. help is set by "--help". False with error filled for
// an unknown option, a missing value or a bad value.
bool ZServerParseOptions(const std::vector<std::string>& args, ZServerConfig& config, bool& help, std::string& error);
// Fills the empty host texts from the layout and checks them all.
bool ZServerResolveLayout(ZServerConfig& config, std::string& error);
std::string ZServerUsage();
