// The records behind the network handles, shared by the sources of the
// network family only.
#pragma once

#include <cstdint>
#include <string>

#include "ZNonPortable_Net.h"

// The part every waitable handle starts with; the wait reads only this.
struct ZNetHandle {
    int socket = -1;
    bool alive = false;
};

// Datagrams one read takes from the socket at most; the rest of a batch
// waits in the port and is handed out one per receive.
constexpr int ZNET_UDP_BATCH = 16;

struct ZNetUDPPort : ZNetHandle {
    std::wstring localHost;
    // The batch of the last read: its bytes, each datagram's length (the
    // real one, however long) and sender, and the next one to hand out.
    // Only the reading thread touches these.
    std::string batch;
    int batchLength[ZNET_UDP_BATCH] = {};
    std::uint32_t batchAddress[ZNET_UDP_BATCH] = {};
    int batchPort[ZNET_UDP_BATCH] = {};
    int batchCount = 0;
    int batchNext = 0;
    // The last sender's address and its host text, formatted once.
    std::uint32_t fromAddress = 0;
    int fromPort = -1;
    std::wstring fromHost;
};

// Whether a port holds datagrams already read from its socket.
inline bool ZNetUDPPortHasBatch(const ZNetUDPPort* port) {
    return port && port->alive && port->batchNext < port->batchCount;
}

struct ssl_st;

struct ZNetTCPSocket : ZNetHandle {
    std::wstring remoteHost;
    // The TCP connect has completed (checked before TLS starts its handshake).
    bool connected = false;
    // Owned; null for a plain connection.
    ssl_st* ssl = nullptr;
    // Set once when the handshake or the verification failed.
    std::wstring tlsFailure;
};

// TLS halves of the socket calls (ZNonPortable_NetTLS.cpp), used when
// sock->ssl is set.
int ZNetTLSSend(ZNetTCPSocket* sock, const void* data, int length);
bool ZNetTLSRecv(ZNetTCPSocket* sock, std::string& data);
void ZNetTLSShutdown(ZNetTCPSocket* sock);
void ZNetTLSFree(ZNetTCPSocket* sock);
// Decrypted bytes already held, which the socket's poll cannot see.
bool ZNetTLSHasPending(const ZNetTCPSocket* sock);

// Splits a host text at its first ':' into the host (empty when the text
// starts with ':') and the port's value; port is 0 without a colon and
// saturates far outside 0..65535 instead of wrapping. Unlike ZSplitHostPort
// it keeps an out-of-range port visible (and quiet), so resolution can refuse
// it rather than bind to a port the system chooses.
void ZNetSplitHost(const std::wstring& text, std::wstring& host, std::int64_t& port);

// Records a code as the calling thread's last socket error.
void ZNetSetLastError(int code);
