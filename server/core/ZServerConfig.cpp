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
    if (text.empty() || text.size() > 12) return false;
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
        {"relay-open-timeout", "seconds a relay connection may stay open without an allocation (default 15)",
         number(&ZServerConfig::relayOpenTimeout, 1, 3600), 1, 3600},
        {"nofile", "descriptor limit the service sets for itself (default: as inherited)",
         number(&ZServerConfig::nofile, 64, 1048576), 64, 1048576},
        {"log", "log categories to enable: a sign-ins, g signalling, r relay, u upgrades", text(&ZServerConfig::logFilter)},
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
        if (eq == std::string::npos) {
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
    for (const auto& o : options()) lines.emplace_back(std::string("--") + o.name + " <value>", o.help);
    std::size_t width = 0;
    for (const auto& [head, help] : lines) width = std::max(width, head.size());
    for (const auto& [head, help] : lines) s += "  " + head + std::string(width + 2 - head.size(), ' ') + help + "\n";
    return s;
}
