#include "ZServerConfig.h"

#include <arpa/inet.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <utility>

#include "ZServerNet.h"

namespace {

bool readInt(const std::string& text, std::int64_t low, std::int64_t high, std::int64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    std::int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < low || v > high) return false;
    out = v;
    return true;
}

struct Option {
    const char* name;
    const char* help;
    std::function<bool(ZServerConfig&, const std::string&)> apply;
    // For numbers: the range a value must lie in (low > high: not a number).
    std::int64_t low = 1;
    std::int64_t high = 0;
    // A switch: given alone on the command line, or "= 1" in a file.
    bool flag = false;
};

std::function<bool(ZServerConfig&, const std::string&)> text(std::string ZServerConfig::*field) {
    return [field](ZServerConfig& c, const std::string& v) {
        c.*field = v;
        return true;
    };
}

template <typename T>
std::function<bool(ZServerConfig&, const std::string&)> number(T ZServerConfig::*field, std::int64_t low,
                                                                 std::int64_t high) {
    return [field, low, high](ZServerConfig& c, const std::string& v) {
        std::int64_t n = 0;
        if (!readInt(v, low, high, n)) return false;
        c.*field = static_cast<T>(n);
        return true;
    };
}

const std::vector<Option>& options() {
    static const std::vector<Option> list = {
        {"bind", "IPv4 address every role listens on (default 127.0.0.1); with 0.0.0.0 on a host of several addresses, "
                 "UDP answers leave from the address the routing picks, so bind one address there",
         text(&ZServerConfig::bind)},
        {"port-base", "first port n: auth TCP n, STUN UDP n+1..n+4, signalling UDP n+5 and n+6, relay TCP n+7 "
                      "(allocations from UDP n+100), log host TCP n+8, upgrade HTTP n+9 (default 24000)",
         number(&ZServerConfig::portBase, 1, 65000), 1, 65000},
        {"data", "data folder: database, uploaded logs, offered upgrades (default zandrel-data)",
         text(&ZServerConfig::data)},
        {"domain", "user domain of every account, user@domain (default zandrel.net)", text(&ZServerConfig::domain)},
        {"advertise", "address given to clients in host lists (default: the bind address)",
         text(&ZServerConfig::advertise)},
        {"auth-host", "authentication host a.b.c.d:port", text(&ZServerConfig::authHost)},
        {"stun-host-1", "STUN host 1", [](ZServerConfig& c, const std::string& v) { c.stunHosts[0] = v; return true; }},
        {"stun-host-2", "STUN host 2", [](ZServerConfig& c, const std::string& v) { c.stunHosts[1] = v; return true; }},
        {"stun-host-3", "STUN host 3", [](ZServerConfig& c, const std::string& v) { c.stunHosts[2] = v; return true; }},
        {"stun-host-4", "STUN host 4 (NAT refresh tests)",
         [](ZServerConfig& c, const std::string& v) { c.stunHosts[3] = v; return true; }},
        {"sip-host-1", "signalling server 1", [](ZServerConfig& c, const std::string& v) { c.sipHosts[0] = v; return true; }},
        {"sip-host-2", "signalling server 2", [](ZServerConfig& c, const std::string& v) { c.sipHosts[1] = v; return true; }},
        {"relay-host", "relay host (TCP)", text(&ZServerConfig::relayHost)},
        {"relay-port-low", "first UDP port of relay allocations", number(&ZServerConfig::relayPortLow, 1, 65535), 1,
         65535},
        {"relay-port-count", "number of relay allocation ports (default 1000)",
         number(&ZServerConfig::relayPortCount, 1, 60000), 1, 60000},
        {"log-host", "log host (TCP)", text(&ZServerConfig::logHost)},
        {"upgrade-host", "upgrade host (HTTP)", text(&ZServerConfig::upgradeHost)},
        {"upgrade-file", "file in <data>/upgrades offered to older clients", text(&ZServerConfig::upgradeFile)},
        {"upgrade-name", "display name of the offered upgrade", text(&ZServerConfig::upgradeName)},
        {"upgrade-priority", "\"critical\" or empty", text(&ZServerConfig::upgradePriority)},
        {"upgrade-version", "offer the upgrade to clients whose Version is below this",
         number(&ZServerConfig::upgradeVersion, 0, 1000000000), 0, 1000000000},
        {"pbkdf2-iterations", "PBKDF2-HMAC-SHA256 rounds for new passwords (default 100000)",
         number(&ZServerConfig::pbkdf2Iterations, 1000, 10000000), 1000, 10000000},
        {"workers", "threads that hash passwords (default: the number of cores)", number(&ZServerConfig::workers, 1, 64), 1, 64},
        {"max-upload", "largest log upload in bytes (default 16777216)",
         number(&ZServerConfig::maxUpload, 1024, 1LL << 31), 1024, 1LL << 31},
        {"max-relay-frame", "largest relay frame content in bytes (default 71680)",
         number(&ZServerConfig::maxRelayFrame, 1500, 1 << 20), 1500, 1 << 20},
        {"flood-limit", "datagrams per second taken from one source, 0 for no limit (default 1000)",
         number(&ZServerConfig::floodLimit, 0, 10000000), 0, 10000000},
        {"max-delay", "longest NAT refresh test delay STUN host 4 waits, in microseconds (default 600000000)",
         number(&ZServerConfig::maxDelay, 0, 3600000000LL), 0, 3600000000LL},
        {"max-connections", "open TCP connections in all (default 4096)",
         number(&ZServerConfig::maxConnections, 1, 1000000), 1, 1000000},
        {"max-connections-per-peer", "open TCP connections of each role from one address (default 256)",
         number(&ZServerConfig::maxConnectionsPerPeer, 1, 1000000), 1, 1000000},
        {"auth-reserve", "places of --max-connections only the authentication server takes (default 512)",
         number(&ZServerConfig::authReserve, 0, 1000000), 0, 1000000},
        {"max-uploads-per-peer", "log uploads at once from one address (default 4)",
         number(&ZServerConfig::maxUploadsPerPeer, 1, 1000000), 1, 1000000},
        {"log-quota", "bytes of uploaded logs kept in all; the oldest go to make room (default 4294967296)",
         number(&ZServerConfig::logQuota, 1024, 1LL << 50), 1024, 1LL << 50},
        {"log-quota-per-source", "bytes of log uploads taken from one address an hour, 0 for no cap (default 268435456)",
         number(&ZServerConfig::logQuotaPerSource, 0, 1LL << 50), 0, 1LL << 50},
        {"log-quota-per-account", "bytes of log uploads taken for one account (\"From\") an hour, 0 for no cap "
                                  "(default 268435456)",
         number(&ZServerConfig::logQuotaPerAccount, 0, 1LL << 50), 0, 1LL << 50},
        {"min-free-space", "free bytes on the data folder's disk below which uploads are refused (507), so the "
                           "database keeps room (default 536870912)",
         number(&ZServerConfig::minFreeSpace, 0, 1LL << 60), 0, 1LL << 60},
        {"max-database", "largest database in bytes, 0 for no cap but the disk (default 0)",
         number(&ZServerConfig::maxDatabase, 0, 1LL << 50), 0, 1LL << 50},
        {"bug-reports-per-hour", "bug reports taken from one user an hour (default 10)",
         number(&ZServerConfig::bugReportsPerHour, 0, 1000000), 0, 1000000},
        {"max-bug-report", "longest bug report text in bytes (default 16384)",
         number(&ZServerConfig::maxBugReport, 1, 60000), 1, 60000},
        {"sign-in-free-failures", "wrong passwords one address may send for one account before it waits (default 5)",
         number(&ZServerConfig::signInFreeFailures, 1, 1000), 1, 1000},
        {"sign-in-delay", "seconds an address waits after its free wrong passwords; doubles with each further one "
                          "(default 60)",
         number(&ZServerConfig::signInDelay, 1, 86400), 1, 86400},
        {"sign-in-max-delay", "longest such wait in seconds (default 3600)",
         number(&ZServerConfig::signInMaxDelay, 1, 86400), 1, 86400},
        {"sign-in-account-failures", "wrong passwords for one account from all addresses within an hour after which "
                                     "every address waits after each further one (default 20)",
         number(&ZServerConfig::signInAccountFailures, 1, 1000000), 1, 1000000},
        {"sign-in-source-failures", "wrong passwords from one address for all accounts within an hour after which "
                                    "the address waits as a whole (default 100)",
         number(&ZServerConfig::signInSourceFailures, 1, 1000000), 1, 1000000},
        {"accounts-per-source", "new accounts one address may create an hour, 0 for no cap (default 20)",
         number(&ZServerConfig::accountsPerSource, 0, 1000000), 0, 1000000},
        {"max-queued-per-source", "sign-ins and new accounts of one address queued for hashing at once (default 8)",
         number(&ZServerConfig::maxQueuedPerSource, 1, 4096), 1, 4096},
        {"relay-open-timeout", "seconds a relay connection may stay open without an allocation (default 15)",
         number(&ZServerConfig::relayOpenTimeout, 1, 3600), 1, 3600},
        {"nofile", "descriptor limit the service sets for itself (default: as inherited)",
         number(&ZServerConfig::nofile, 64, 1048576), 64, 1048576},
        {"device-ids-per-user", "new device identities one user gets in two minutes (default 16)",
         number(&ZServerConfig::deviceIdsPerUser, 1, 1000000), 1, 1000000},
        {"device-ids-per-address", "new device identities one address gets in two minutes (default 64)",
         number(&ZServerConfig::deviceIdsPerAddress, 1, 1000000), 1, 1000000},
        {"max-devices-per-user", "devices of one user signed in at once (default 16)",
         number(&ZServerConfig::maxDevicesPerUser, 1, 100000), 1, 100000},
        {"device-lifetime", "days a device identity lives after its last REGISTER (default 180)",
         number(&ZServerConfig::deviceLifetimeDays, 1, 36500), 1, 36500},
        {"invite-forwards-per-user", "INVITE datagrams forwarded a second for one sending user, bursts of five "
                                     "seconds' worth, 0 for no limit (default 100)",
         number(&ZServerConfig::inviteForwardsPerUser, 0, 1000000), 0, 1000000},
        {"stun-answers-per-address", "STUN answers a second to one address over the four hosts, bursts of two "
                                     "seconds' worth, 0 for no limit (default 60)",
         number(&ZServerConfig::stunAnswersPerAddress, 0, 1000000), 0, 1000000},
        {"relay-allocations-per-user", "relay allocations one user holds at once (default 16)",
         number(&ZServerConfig::relayAllocationsPerUser, 1, 100000), 1, 100000},
        {"relay-allocations-per-address", "relay allocations one address holds at once (default 64)",
         number(&ZServerConfig::relayAllocationsPerAddress, 1, 100000), 1, 100000},
        {"relay-idle-timeout", "seconds a relay allocation may go without a frame from its client; a client "
                               "registers again every 15 minutes (default 1200)",
         number(&ZServerConfig::relayIdleTimeout, 1, 86400), 1, 86400},
        {"relay-private-targets", "1 lets SENDUDP reach loopback, private, link-local, multicast and unspecified "
                                  "addresses besides the service's own hosts (default 0)",
         number(&ZServerConfig::relayPrivateTargets, 0, 1), 0, 1},
        {"log", "log categories to enable: a sign-ins, g signalling, r relay, u upgrades", text(&ZServerConfig::logFilter)},
        {"tls-cert", "PEM certificate (with its chain) of the authentication, log and upgrade hosts",
         text(&ZServerConfig::tlsCert)},
        {"tls-key", "PEM private key of --tls-cert", text(&ZServerConfig::tlsKey)},
        {"insecure-plain-http", "serve the authentication, log and upgrade hosts in clear (passwords readable on "
                                "the path; for debugging only)",
         [](ZServerConfig& c, const std::string& v) {
             if (v != "1" && v != "0" && v != "yes" && v != "no" && v != "true" && v != "false") return false;
             c.insecurePlainHttp = v == "1" || v == "yes" || v == "true";
             return true;
         },
         1, 0, true},
    };
    return list;
}

const Option* find(const std::string& name) {
    for (const Option& o : options())
        if (name == o.name) return &o;
    return nullptr;
}

// Applies one option; where tells the place it came from ("--name" or
// "file:line") for the error.
bool apply(ZServerConfig& config, const std::string& name, const std::string& value, const std::string& where,
           std::string& error) {
    const Option* o = find(name);
    if (!o) {
        error = where + ": unknown option '" + name + "'";
        return false;
    }
    if (o->apply(config, value)) return true;
    if (o->low <= o->high)
        error = where + ": '" + value + "' is not a number from " + std::to_string(o->low) + " to " +
                std::to_string(o->high);
    else
        error = where + ": bad value '" + value + "'";
    return false;
}

std::string trim(const std::string& s) {
    std::size_t a = 0, b = s.size();
    while (a < b && (s[a] == ' ' || s[a] == '\t' || s[a] == '\r')) ++a;
    while (b > a && (s[b - 1] == ' ' || s[b - 1] == '\t' || s[b - 1] == '\r')) --b;
    return s.substr(a, b - a);
}

// One option of a configuration file with the place it came from.
struct Setting {
    std::string name;
    std::string value;
    std::string where;
};

bool loadFile(const std::string& path, std::vector<Setting>& out, std::string& error) {
    std::ifstream in(path);
    if (!in) {
        error = "cannot read the configuration file '" + path + "'";
        return false;
    }
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        line = trim(line);
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        const std::string where = path + ":" + std::to_string(number);
        if (eq == std::string::npos) {
            error = where + ": expected 'name = value'";
            return false;
        }
        out.push_back({trim(line.substr(0, eq)), trim(line.substr(eq + 1)), where});
    }
    return true;
}

}  // namespace

int ZServerDefaultWorkers() {
    const unsigned cores = std::thread::hardware_concurrency();
    return static_cast<int>(std::clamp(cores, 1u, 64u));
}

bool ZServerParseOptions(const std::vector<std::string>& args, ZServerConfig& config, bool& help,
                         std::string& error) {
    help = false;
    std::vector<Setting> fromFile;
    std::vector<Setting> fromLine;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            help = true;
            continue;
        }
        if (a.size() < 3 || a.compare(0, 2, "--") != 0) {
            error = "unexpected argument '" + a + "'";
            return false;
        }
        std::string name = a.substr(2);
        std::string value;
        const std::size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        }
        if (name != "config" && !find(name)) {
            error = "unknown option --" + name;
            return false;
        }
        const Option* option = find(name);
        if (eq == std::string::npos && option && option->flag) {
            // assign(count, char): gcc 12 at -O3 warns falsely on the literal's copy.
            value.assign(1, '1');
        } else if (eq == std::string::npos) {
            if (i + 1 >= args.size()) {
                error = "option --" + name + " needs a value";
                return false;
            }
            value = args[++i];
        }
        if (name == "config") {
            if (!loadFile(value, fromFile, error)) return false;
        } else {
            fromLine.push_back({name, value, "--" + name});
        }
    }
    for (const Setting& s : fromFile)
        if (!apply(config, s.name, s.value, s.where, error)) return false;
    for (const Setting& s : fromLine)
        if (!apply(config, s.name, s.value, s.where, error)) return false;
    return true;
}

bool ZServerResolveLayout(ZServerConfig& config, std::string& error) {
    in_addr probe{};
    if (inet_pton(AF_INET, config.bind.c_str(), &probe) != 1) {
        error = "--bind needs a dotted IPv4 address, not '" + config.bind + "'";
        return false;
    }
    if (config.advertise.empty()) config.advertise = config.bind == "0.0.0.0" ? "127.0.0.1" : config.bind;
    if (inet_pton(AF_INET, config.advertise.c_str(), &probe) != 1 || probe.s_addr == 0) {
        error = "--advertise needs a dotted IPv4 address, not '" + config.advertise + "'";
        return false;
    }
    if (config.portBase + 100 + config.relayPortCount > 65535 && config.relayPortLow == 0) {
        error = "--port-base leaves no room for the relay's ports";
        return false;
    }
    const int n = config.portBase;
    auto fill = [&](std::string& host, int port) {
        if (host.empty()) host = ZServerHostText(config.bind, port);
    };
    fill(config.authHost, n);
    for (int i = 0; i < 4; ++i) fill(config.stunHosts[i], n + 1 + i);
    fill(config.sipHosts[0], n + 5);
    fill(config.sipHosts[1], n + 6);
    fill(config.relayHost, n + 7);
    fill(config.logHost, n + 8);
    fill(config.upgradeHost, n + 9);
    if (config.relayPortLow == 0) config.relayPortLow = n + 100;
    if (config.relayPortLow + config.relayPortCount - 1 > 65535) {
        error = "the relay's ports run past 65535";
        return false;
    }
    const std::string* hosts[] = {&config.authHost, &config.stunHosts[0], &config.stunHosts[1],
                                  &config.stunHosts[2], &config.stunHosts[3], &config.sipHosts[0],
                                  &config.sipHosts[1], &config.relayHost, &config.logHost, &config.upgradeHost};
    for (const std::string* h : hosts) {
        sockaddr_in a{};
        if (!ZServerParseHost(*h, a) || a.sin_port == 0) {
            error = "'" + *h + "' is not a host text a.b.c.d:port";
            return false;
        }
    }
    if (config.authReserve >= config.maxConnections) {
        error = "--auth-reserve must be below --max-connections";
        return false;
    }
    if (config.domain.empty() || config.domain.find('@') != std::string::npos) {
        error = "--domain needs a domain text without '@'";
        return false;
    }
    return true;
}

std::string ZServerUsage() {
    std::string s =
        "Usage: zandrel-server [--config <file>] [--bind <ip>] [--port-base <n>] [--data <dir>] [options]\n"
        "Runs every role of the Zandrel service in one process until SIGTERM, SIGINT or SIGHUP.\n\n";
    std::vector<std::pair<std::string, std::string>> lines = {
        {"--help", "this list"},
        {"--config <file>", "read 'name = value' lines (names as below, without --) first"}};
    for (const auto& o : options()) lines.emplace_back(std::string("--") + o.name + (o.flag ? "" : " <value>"), o.help);
    std::size_t width = 0;
    for (const auto& [head, help] : lines) width = std::max(width, head.size());
    for (const auto& [head, help] : lines) s += "  " + head + std::string(width + 2 - head.size(), ' ') + help + "\n";
    return s;
}
