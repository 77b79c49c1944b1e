// Signalling peers on 127.0.0.1 for the transaction and session tests: a
// switchboard over a real UDP port, the filing the dispatch loop does, a
// clock the test drives, and listeners that record what reaches them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ZHTTPHeaders.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZSIPClient.h"

namespace siptest {

// Bounded waits only: a broken implementation fails, it never hangs.
constexpr std::int64_t kPatienceUs = 5000000;

// The one clock of a test; starts near the real time so stamps look real.
inline std::int64_t& fakeNow() {
    static std::int64_t now = ZTimeNow();
    return now;
}
inline std::int64_t readFakeClock() { return fakeNow(); }
inline void advance(std::int64_t microseconds) { fakeNow() += microseconds; }

// Turns log categories on for one test.
class LogCategory {
public:
    explicit LogCategory(const char* filter) : _saved(ZLogGetFilter()) { ZLogSetFilter(filter); }
    ~LogCategory() { ZLogSetFilter(_saved); }

private:
    std::string _saved;
};

// A loopback UDP port that no other socket shares. The platform layer binds
// with SO_REUSEADDR, with which the kernel may hand an ephemeral port that
// another process's socket already holds to a second socket; datagrams to it
// then reach only one of them. Ports already shared are refused here.
inline ZNetUDPPort* openExclusivePort() {
    for (int attempt = 0;; ++attempt) {
        ZNetUDPPort* port = ZNetUDPPortOpen(L"127.0.0.1:0");
        std::wstring host;
        int number = 0;
        ZSplitHostPort(ZNetUDPPortGetLocalHost(port), host, number);
        char wanted[32];
        std::snprintf(wanted, sizeof(wanted), "0100007F:%04X ", number);
        int holders = 0;
        if (FILE* table = std::fopen("/proc/net/udp", "re")) {
            char line[512];
            while (std::fgets(line, sizeof(line), table))
                if (std::strstr(line, wanted)) ++holders;
            std::fclose(table);
        }
        if (holders <= 1 || attempt >= 20) return port;
        ZNetUDPPortClose(port);
    }
}

// A datagram as it arrived.
struct Datagram {
    std::wstring from;
    std::string bytes;
    ZHTTPHeaders message() const {
        ZHTTPHeaders m;
        m.deserialize(bytes);
        return m;
    }
};

// A bare UDP port that only collects what reaches it.
class UDPSink {
public:
    UDPSink() : _port(openExclusivePort()), _host(ZNetUDPPortGetLocalHost(_port)) {}
    ~UDPSink() { ZNetUDPPortClose(_port); }
    const std::wstring& host() const { return _host; }
    ZNetUDPPort* port() { return _port; }

    // Waits for at least one datagram, then takes all that are there.
    std::vector<Datagram> receive(std::int64_t timeout = kPatienceUs) {
        std::vector<Datagram> out;
        if (!ZNetWait({_port}, {}, {}, timeout)) return out;
        Datagram d;
        while (ZNetUDPPortRecv(_port, d.bytes, d.from)) out.push_back(d);
        return out;
    }
    // Everything that arrived before a marker sent to this sink by the caller
    // (loopback keeps the order of one sender).
    // Gives up after the patience in all, so a lost marker fails the test
    // instead of holding it.
    std::vector<Datagram> receiveUntil(const std::string& marker) {
        std::vector<Datagram> out;
        const std::int64_t end = ZTimeNow() + kPatienceUs;
        for (std::int64_t left = kPatienceUs; left > 0; left = end - ZTimeNow()) {
            for (const Datagram& d : receive(left)) {
                if (d.bytes == marker) return out;
                out.push_back(d);
            }
        }
        ADD_FAILURE() << "the marker never arrived";
        return out;
    }

private:
    ZNetUDPPort* _port;
    std::wstring _host;
};

// A switchboard over a loopback UDP port with its transaction layer.
class SIPPeer {
public:
    explicit SIPPeer(const std::wstring& name)
        : _udp(openExclusivePort()), _port(ZSAFENEW(ZMegaPort, name)) {
        _port->setUDPPort(_udp);
        // Numbered from 1, so the tables of numbers read plainly.
        _sip.reset(ZSAFENEW(ZSIPClient, _port.get(), 1));
        _sip->setClock(&readFakeClock);
    }
    ~SIPPeer() {
        _sip.reset();
        _port->reset();
        ZNetUDPPortClose(_udp);
    }
    ZSIPClient& sip() { return *_sip; }
    ZMegaPort& port() { return *_port; }
    std::wstring host() { return _port->getLocalHost(); }

    // What the dispatch loop does: files every waiting datagram as signalling.
    // Waits up to the time-out for the first; returns how many were filed.
    int pump(std::int64_t timeout = kPatienceUs) {
        if (!ZNetWait({_udp}, {}, {}, timeout)) return 0;
        int count = 0;
        std::string bytes;
        std::wstring from;
        while (ZNetUDPPortRecv(_udp, bytes, from)) {
            ZMegaPortBucket* bucket = _port->getEmtpyBucket();
            bucket->to = host();
            bucket->from = from;
            bucket->buffer = bytes;
            _port->fillSIPBucket(bucket);
            ++count;
        }
        return count;
    }

private:
    ZNetUDPPort* _udp;
    std::unique_ptr<ZMegaPort> _port;
    std::unique_ptr<ZSIPClient> _sip;
};

// Records every call; answers requests with 200 when asked to.
class RecordingListener : public IZSIPClientListener {
public:
    struct Request {
        std::wstring to, from;
        ZHTTPHeaders request;
    };
    struct Response {
        std::wstring to, from;
        ZHTTPHeaders request, response;
    };

    explicit RecordingListener(ZSIPClient* answerWith = nullptr) : _answerWith(answerWith) {}

    void onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request) override {
        requests.push_back({to, from, request});
        if (_answerWith) {
            ZHTTPHeaders ok;
            ok.deserialize(std::string("HTTP/1.1 200 OK\r\n\r\n"));
            ok.set(L"Answer-For", from);
            _answerWith->sendResponse(to, from, request, ok);
        }
    }
    void onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& request,
                    const ZHTTPHeaders& response) override {
        responses.push_back({to, from, request, response});
    }

    std::vector<Request> requests;
    std::vector<Response> responses;

private:
    ZSIPClient* _answerWith;
};

inline ZHTTPHeaders response(int code, const std::wstring& reason) {
    ZHTTPHeaders m;
    m.deserialize("HTTP/1.1 " + std::to_string(code) + " " + ZToUTF8(reason) + "\r\n\r\n");
    return m;
}

}  // namespace siptest
