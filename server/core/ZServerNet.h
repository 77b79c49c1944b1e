// Socket helpers of the service: host texts ("a.b.c.d:port") to addresses
// and back, and the non-blocking, close-on-exec sockets every role opens.
//
// Stateless: any thread.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

// Reads a dotted IPv4 address, a colon and a port 0..65535; nothing else.
bool ZServerParseHost(const std::string& text, sockaddr_in& out);
// True for a text that ZServerParseHost reads with a port above 0 and an
// address that can be sent to (not 0.0.0.0, not multicast, not broadcast).
bool ZServerSendableHost(const sockaddr_in& address);
// True for an address of the public internet: not loopback, private
// (10/8, 172.16/12, 192.168/16, 100.64/10 shared), link-local, multicast,
// reserved, broadcast or unspecified (0/8).
bool ZServerPublicAddress(const sockaddr_in& address);
std::string ZServerHostText(const sockaddr_in& address);
// The dotted address alone, without the port: what budgets per host count.
std::string ZServerAddressText(const sockaddr_in& address);
std::string ZServerHostText(const std::string& ip, int port);
// The local address of a socket as a host text.
std::string ZServerLocalHost(int fd);

// A UDP socket bound to the host; -1 (error text filled) when it cannot be.
int ZServerOpenUDP(const sockaddr_in& address, std::string& error, int receiveBuffer = 0);
// A listening TCP socket bound to the host.
int ZServerOpenListener(const sockaddr_in& address, std::string& error);
