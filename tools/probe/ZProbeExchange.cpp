// The probe's three ways of reaching a host: a request client over TCP, one
// UDP port, or a relay connection carrying the datagrams.
#include <cstdio>
#include <list>

#include "ZHTTPClient.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZProbe.h"

namespace {

// The longest single wait, so the patience is checked often.
constexpr std::int64_t kStep = 50000;

std::int64_t remaining(std::int64_t deadline) {
    const std::int64_t left = deadline - ZTimeNow();
    return left < 0 ? 0 : (left < kStep ? left : kStep);
}

int wanted(const ZProbeOptions& options, int fallback) { return options.answers > 0 ? options.answers : fallback; }

// The bytes to send: the message, with a CSeq as every client request has one.
std::string outgoing(const ZProbeOptions& options) {
    if (options.raw) return ZToUTF8(options.method);
    ZHTTPHeaders message = options.message;
    if (!message.isSet(L"CSeq")) message.set(L"CSeq", L"1 (zandrel-probe)");
    return message.serialize();
}

std::wstring defaultBind(const std::wstring& target) {
    if (ZBeginsWith(target, L"127.")) return L"127.0.0.1:0";
    std::list<std::wstring> addresses;
    if (ZNetListIPs(addresses)) return addresses.front() + L":0";
    return L"127.0.0.1:0";
}

bool printable(const std::string& bytes) {
    for (const char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 && c != '\r' && c != '\n' && c != '\t') return false;
    }
    return true;
}

std::string hexHead(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < bytes.size() && i < 64; ++i) {
        const unsigned char u = static_cast<unsigned char>(bytes[i]);
        out += digits[u >> 4];
        out += digits[u & 15];
    }
    return bytes.size() > 64 ? out + "..." : out;
}

}  // namespace

void ZProbePrint(const std::wstring& from, const std::string& bytes, const ZProbeOptions& options) {
    static bool contentWritten = false;
    std::printf("=== answer from %s (%zu bytes)\n", ZToUTF8(from).c_str(), bytes.size());
    ZHTTPHeaders message;
    const std::size_t headerEnd = bytes.find("\r\n\r\n");
    if (message.deserialize(bytes) <= 0 || headerEnd == std::string::npos) {
        std::printf("(not a message) %s\n", hexHead(bytes).c_str());
        return;
    }
    std::string head = bytes.substr(0, headerEnd + 2);
    for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at)) head.erase(at, 1);
    std::fputs(head.c_str(), stdout);
    for (int i = 0; i < message.getContentCount(); ++i) {
        const std::string& part = message.getContent(i);
        std::printf("--- content %d: %zu bytes\n", i, part.size());
        if (printable(part) && part.size() <= 4096)
            std::printf("%s\n", part.c_str());
        else
            std::printf("%s\n", hexHead(part).c_str());
    }
    if (!options.contentOut.empty() && !contentWritten && message.hasContent()) {
        contentWritten = true;
        if (FILE* out = std::fopen(options.contentOut.c_str(), "wbe")) {
            std::fwrite(message.getContent(0).data(), 1, message.getContent(0).size(), out);
            std::fclose(out);
        }
    }
    std::fflush(stdout);
}

int ZProbeTCP(const ZProbeOptions& options) {
    ZHTTPClientSecurity security;
    security.tls = !options.plain;
    security.caFile = options.caFile;
    ZHTTPClient* client = ZSAFENEW(ZHTTPClient, options.target, options.message, security);
    const std::int64_t deadline = ZTimeNow() + options.waitMicroseconds;
    const int want = wanted(options, 1);
    int got = 0;
    ZHTTPHeaders answer;
    for (bool alive = true; got < want && alive && ZTimeNow() < deadline;) {
        client->update(remaining(deadline));
        alive = client->isAlive();
        while (got < want && client->recv(answer)) {
            ZProbePrint(options.target, answer.serialize(), options);
            ++got;
        }
    }
    if (got == 0) {
        // Nothing came back: say plainly whether the host took the connection.
        if (!client->getTLSFailure().empty())
            std::fprintf(stderr, "zandrel-probe: no secure connection to %s: %s\n", ZToUTF8(options.target).c_str(),
                         ZToUTF8(client->getTLSFailure()).c_str());
        else if (client->getBytesRecv() == 0 && !client->isAlive())
            std::fprintf(stderr, "zandrel-probe: %s refused the connection or closed it without an answer\n",
                         ZToUTF8(options.target).c_str());
        else
            std::fprintf(stderr, "zandrel-probe: no answer from %s in %lld ms\n", ZToUTF8(options.target).c_str(),
                         static_cast<long long>(options.waitMicroseconds / 1000));
    }
    client->shutdown();
    delete client;
    return got;
}

int ZProbeUDP(const ZProbeOptions& options) {
    const std::wstring bind = options.bind.empty() ? defaultBind(options.target) : options.bind;
    ZNetUDPPort* port = ZNetUDPPortOpen(bind);
    if (!port) return 0;
    const std::string bytes = outgoing(options);
    for (int i = 0; i < options.sends; ++i)
        ZNetUDPPortSend(port, options.target, bytes.data(), static_cast<int>(bytes.size()));

    const std::int64_t deadline = ZTimeNow() + options.waitMicroseconds;
    const int want = wanted(options, 1 << 30);
    int got = 0;
    std::string data;
    std::wstring from;
    while (got < want && ZTimeNow() < deadline) {
        ZNetWait({port}, {}, {}, remaining(deadline));
        while (got < want && ZNetUDPPortRecv(port, data, from)) {
            ZProbePrint(from, data, options);
            ++got;
        }
    }
    ZNetUDPPortClose(port);
    if (got == 0)
        std::fprintf(stderr, "zandrel-probe: no answer from %s in %lld ms\n", ZToUTF8(options.target).c_str(),
                     static_cast<long long>(options.waitMicroseconds / 1000));
    return got;
}

int ZProbeRelay(const ZProbeOptions& options) {
    ZHTTPHeaders open(L"OPENTURN");
    open.set(L"CSeq", L"1 (zandrel-probe)");
    // The service opens an allocation only for a signed-in user's key.
    if (options.message.isSet(L"Session-Key")) open.set(L"Session-Key", options.message.get(L"Session-Key"));
    ZHTTPClient* client = ZSAFENEW(ZHTTPClient, options.relay, open);
    const std::int64_t deadline = ZTimeNow() + options.waitMicroseconds;
    ZHTTPHeaders answer;
    while (client->isAlive() && ZTimeNow() < deadline && !client->recv(answer)) client->update(remaining(deadline));
    if (!answer.succeeded() || !ZValidHost(answer.get(L"Global-Host"))) {
        std::fprintf(stderr, "zandrel-probe: the relay did not open (%s)\n",
                     ZToUTF8(answer.getResponseSummary()).c_str());
        delete client;
        return 0;
    }
    std::fprintf(stderr, "zandrel-probe: relay address %s\n", ZToUTF8(answer.get(L"Global-Host")).c_str());

    ZHTTPHeaders frame(L"SENDUDP");
    frame.set(L"Remote-Host", options.target);
    frame.addContent(outgoing(options));
    for (int i = 0; i < options.sends; ++i) client->send(frame);

    const int want = wanted(options, 1 << 30);
    int got = 0;
    while (got < want && client->isAlive() && ZTimeNow() < deadline) {
        client->update(remaining(deadline));
        while (got < want && client->recv(answer)) {
            if (answer.succeeded() && answer.getContentCount() == 1) {
                ZProbePrint(answer.get(L"Remote-Host"), answer.getContent(0), options);
                ++got;
            } else {
                std::fprintf(stderr, "zandrel-probe: relay sent %s without one datagram\n",
                             ZToUTF8(answer.getResponseSummary()).c_str());
            }
        }
    }
    delete client;
    return got;
}
