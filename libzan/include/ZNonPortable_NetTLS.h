// Platform layer, network family: TLS on the client TCP sockets of
// ZNonPortable_Net.h.
//
// Threading: as the socket calls; a socket belongs to one thread at a time.
#pragma once

#include <string>

#include "ZNonPortable_Net.h"

// Makes an open socket carry TLS 1.2 or newer before any byte is sent: the
// handshake runs inside the following sends and receives and verifies the
// chain against the system's trust store (and caFile when not empty) and
// the host part of the socket's remote host, a name or an IPv4 address.
// False with reason filled when TLS cannot be set up at all.
bool ZNetTCPSocketStartTLS(ZNetTCPSocket* sock, const std::wstring& caFile, std::wstring& reason);
// Why the handshake or the verification failed (the handle is dead then);
// empty while nothing failed.
std::wstring ZNetTCPSocketTLSFailure(ZNetTCPSocket* sock);
// Whether the connection to the peer is made (for TLS: the TCP part).
bool ZNetTCPSocketConnected(ZNetTCPSocket* sock);
// Whether the TLS handshake is complete.
bool ZNetTCPSocketSecured(ZNetTCPSocket* sock);
