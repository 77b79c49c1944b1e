// The probe's entry: log hooks that write to the error stream, the command
// line, and the choice of exchange.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZProbe.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

namespace {

// The client library's own log lines (its warnings about a refused
// connection, for example) are shown only with --verbose: the probe says
// what happened in its own words.
bool g_verbose = false;

void logToStderr(const std::wstring& line) {
    if (g_verbose) std::fputs(ZToUTF8(line).c_str(), stderr);
}

// A whole decimal number within the range; nothing else.
bool readNumber(const std::string& text, std::int64_t high, std::int64_t& out) {
    if (text.empty() || text.size() > 12) return false;
    std::int64_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n > high) return false;
    out = n;
    return true;
}

void abortProbe() {
    std::fputs("zandrel-probe: internal check failed\n", stderr);
    std::exit(3);
}

// Methods that travel over TCP to their host; all others are datagrams.
bool isTCPMethod(const std::wstring& method) {
    for (const wchar_t* m : {L"AUTHENTICATE", L"LOGFILE", L"OPENTURN", L"GET"})
        if (ZCaseEquals(method, m)) return true;
    return false;
}

bool addField(ZHTTPHeaders& message, const std::string& text) {
    std::size_t at = text.find(':');
    if (at == std::string::npos) at = text.find('=');
    if (at == std::string::npos || at == 0) return false;
    std::size_t value = at + 1;
    while (value < text.size() && text[value] == ' ') ++value;
    message.set(ZFromUTF8(text.substr(0, at)), ZFromUTF8(text.substr(value)));
    return true;
}

}  // namespace

void ZProbeUsage() {
    std::fputs(
        "usage: zandrel-probe [options] <host:port> <METHOD> [\"Name: value\"]...\n"
        "Sends one message of the client's to a service host and prints every answer.\n"
        "\n"
        "  --tcp               over a TCP connection (default for AUTHENTICATE, LOGFILE, OPENTURN, GET)\n"
        "  --udp               as one datagram (default for every other method)\n"
        "  --relay HOST        through the relay HOST: OPENTURN (with the message's Session-Key), then the message\n"
        "                      inside SENDUDP\n"
        "  --raw               send METHOD's text itself as one datagram (for example HOLEPUNCH)\n"
        "  --line TEXT         the whole first line (for example \"GET /zandrel.bin HTTP/1.1\")\n"
        "  --content TEXT      add a content part (repeatable)\n"
        "  --content-file PATH add a file's bytes as a content part (repeatable)\n"
        "  --content-out PATH  write the first answer's first content part to PATH\n"
        "  --ca-file PATH      trust this CA (PEM) besides the system's for the TLS of the TCP hosts\n"
        "  --plain             speak to a TCP host in clear (a service run with --insecure-plain-http)\n"
        "  --bind HOST         local address of the UDP port (default 127.0.0.1:0 for a loopback\n"
        "                      target, else the first local address, port chosen by the system)\n"
        "  --wait MS           how long to wait for answers (default 3000)\n"
        "  --answers N         stop after N answers (default: every answer within the wait; 1 for TCP)\n"
        "  --sends N           send the datagram N times, unchanged (a resend keeps its CSeq)\n"
        "  --verbose           also show the client library's log lines\n"
        "  --help              this text\n"
        "\n"
        "What the service understands (fields besides CSeq):\n"
        "  auth host (TCP)       AUTHENTICATE  From, Password, Email, Version\n"
        "  STUN hosts 1-4        STUN          Delay (host 4: answer after that many microseconds)\n"
        "  signalling servers    PING          Global-Host, Timestamp\n"
        "                        DEVICEGUID    Session-Key\n"
        "                        REGISTER      From, Device-GUID, Version, Route-List, Session-Key\n"
        "                        UNREGISTER    From, Device-GUID, Session-Key\n"
        "                        INVITE        From, From-Device-GUID, To\n"
        "                        GETBUDDYLIST  From, Session-Key\n"
        "                        SETBUDDYLIST  From, Buddy-List, Session-Key\n"
        "                        ADDBUDDY      From, Buddy-GUID, Session-Key\n"
        "                        BUGREPORT     From, Email, Text, Session-Key\n"
        "                        HOLEPUNCH     (never answered)\n"
        "  relay host (TCP)      OPENTURN      Session-Key\n"
        "                        SENDUDP       Remote-Host, one content part\n"
        "  log host (TCP)        LOGFILE       From, Filename, one content part\n"
        "  upgrade host (HTTP)   GET /<file>\n"
        "\n"
        "Exit status: 0 when the answers asked for (at least one) arrived, 2 when not, 1 for bad arguments.\n",
        stdout);
}

bool ZProbeParse(int argc, char** argv, ZProbeOptions& options) {
    std::vector<std::string> positional;
    std::string firstLine;
    bool udp = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help") {
            ZProbeUsage();
            std::exit(0);
        } else if (arg == "--tcp") {
            options.tcp = true;
        } else if (arg == "--udp") {
            udp = true;
        } else if (arg == "--verbose") {
            g_verbose = true;
        } else if (arg == "--raw") {
            options.raw = true;
        } else if (arg == "--plain") {
            options.plain = true;
        } else if (arg == "--ca-file" && hasValue) {
            options.caFile = ZFromUTF8(argv[++i]);
        } else if (arg == "--relay" && hasValue) {
            options.relay = ZFromUTF8(argv[++i]);
        } else if (arg == "--line" && hasValue) {
            firstLine = argv[++i];
        } else if (arg == "--content" && hasValue) {
            options.message.addContent(std::string(argv[++i]));
        } else if (arg == "--content-file" && hasValue) {
            std::string bytes;
            if (!ZFileLoad(ZFromUTF8(argv[++i]), bytes)) {
                std::fprintf(stderr, "zandrel-probe: cannot read '%s'\n", argv[i]);
                return false;
            }
            options.message.addContent(bytes);
        } else if (arg == "--content-out" && hasValue) {
            options.contentOut = argv[++i];
        } else if (arg == "--bind" && hasValue) {
            options.bind = ZFromUTF8(argv[++i]);
        } else if ((arg == "--wait" || arg == "--answers" || arg == "--sends") && hasValue) {
            std::int64_t n = 0;
            if (!readNumber(argv[++i], 86400000, n)) {
                std::fprintf(stderr, "zandrel-probe: %s needs a whole number from 0 to 86400000, not '%s'\n",
                             arg.c_str(), argv[i]);
                return false;
            }
            if (arg == "--wait") options.waitMicroseconds = n * 1000;
            if (arg == "--answers") options.answers = static_cast<int>(n);
            if (arg == "--sends") options.sends = static_cast<int>(n < 1 ? 1 : n);
        } else if (arg.rfind("--", 0) == 0) {
            std::fprintf(stderr, "zandrel-probe: unknown option '%s' (see --help)\n", arg.c_str());
            return false;
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.size() < 2) {
        ZProbeUsage();
        return false;
    }
    options.target = ZFromUTF8(positional[0]);
    options.method = ZFromUTF8(positional[1]);
    if (firstLine.empty())
        options.message.setMethod(options.method);
    else
        options.message.set(std::wstring(), ZFromUTF8(firstLine));
    for (std::size_t i = 2; i < positional.size(); ++i) {
        if (!addField(options.message, positional[i])) {
            std::fprintf(stderr, "zandrel-probe: '%s' is not \"Name: value\"\n", positional[i].c_str());
            return false;
        }
    }
    if (!options.tcp && !udp) options.tcp = isTCPMethod(options.method) && options.relay.empty();
    return true;
}

int main(int argc, char** argv) {
    ZSetDebugHooks(logToStderr, ZCallStackDumpCurrent, abortProbe);
    ZThreadSetLocalDestructor(_ZCallDestructor);
    ZProbeOptions options;
    if (!ZProbeParse(argc, argv, options)) return 1;
    const int expected = options.answers > 0 ? options.answers : 1;
    int got = 0;
    if (!options.relay.empty())
        got = ZProbeRelay(options);
    else if (options.tcp)
        got = ZProbeTCP(options);
    else
        got = ZProbeUDP(options);
    std::fflush(stdout);
    return got >= expected ? 0 : 2;
}
