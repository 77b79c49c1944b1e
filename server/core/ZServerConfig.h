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
    // Seconds a relay connection may stay open without an allocation.
    int relayOpenTimeout = 15;
    // The descriptor limit the service sets for itself; 0 leaves it.
    int nofile = 0;
    std::int64_t registrationTimeout = 900000000;

    std::string upgradeFile;
    std::string upgradeName;
    std::string upgradePriority;
    int upgradeVersion = 0;

    std::string logFilter;
};

// Reads options (argv[1..]); a "--config <file>" is read first and the other
// options override it. help is set by "--help". False with error filled for
// an unknown option, a missing value or a bad value.
bool ZServerParseOptions(const std::vector<std::string>& args, ZServerConfig& config, bool& help, std::string& error);
// Fills the empty host texts from the layout and checks them all.
bool ZServerResolveLayout(ZServerConfig& config, std::string& error);
std::string ZServerUsage();
