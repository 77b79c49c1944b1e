// zandrel-probe: sends one of the client's messages to a service host, the
// way the client sends it, and prints every answer.
//
// Threading: one thread; the exchanges wait only inside the request client's
// update and the network wait, each bounded by the probe's patience.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ZHTTPHeaders.h"

// What to send, where and how, from the command line.
struct ZProbeOptions {
    std::wstring target;
    std::wstring method;
    ZHTTPHeaders message;
    // Send the method's text as the bare bytes of one datagram ("HOLEPUNCH").
    bool raw = false;
    bool tcp = false;
    // Relay host: open it with "OPENTURN", then wrap the message in "SENDUDP".
    std::wstring relay;
    std::wstring bind;
    std::int64_t waitMicroseconds = 3000000;
    // Stop after this many answers; 0: collect until the wait ends (UDP), or 1 (TCP).
    int answers = 0;
    int sends = 1;
    std::string contentOut;
    // TCP hosts other than the relay speak TLS unless plain; caFile is
    // trusted besides the system's store.
    bool plain = false;
    std::wstring caFile;
};

// Reads the arguments; false (after printing why) when they make no request.
bool ZProbeParse(int argc, char** argv, ZProbeOptions& options);
void ZProbeUsage();

// Each runs one exchange and returns the number of answers printed.
int ZProbeTCP(const ZProbeOptions& options);
int ZProbeUDP(const ZProbeOptions& options);
int ZProbeRelay(const ZProbeOptions& options);

// Prints one answer: its sender, its first line and fields, its content parts.
void ZProbePrint(const std::wstring& from, const std::string& bytes, const ZProbeOptions& options);
