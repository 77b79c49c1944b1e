// Platform layer, network family: the UDP port, client TCP sockets, the one
// blocking wait over both, host texts, system error texts, UPnP port mapping
// and the local address list.
//
// Network functions never hand an error to their caller: a failed open
// returns null, a failed send or receive marks the handle dead (IsAlive turns
// false for good), and each failure is one warning line carrying the
// system's error text in parentheses. A datagram the system will not send to
// its one destination (broadcast, no route, an address refused) is dropped
// with its warning and leaves the port alive. While the crash flag is set they do
// nothing.
//
// Host texts are a dotted IPv4 address, a colon and a decimal port, for
// example "192.168.1.20:5060"; "0.0.0.0:0" means no address.
//
// Threading: no locking inside. Each handle is used by one thread at a time
// (its owner, or senders serialised by the owner's own mutex). The last
// socket error is kept per thread.
#pragma once

#include <cstdint>
#include <list>
#include <string>

// ---- host texts and error texts --------------------------------------------

// Splits "host:port" and resolves the host: a dotted quad directly, a name
// through the resolver (IPv4 only). address is in network byte order and 0
// when the text does not resolve (empty host, "0.0.0.0", unknown name, or a
// port outside 0..65535); port is in host order, 0 without a colon.
void ZNetResolveHost(const std::wstring& host, std::uint32_t& address, int& port);
// The host text of an address (network order) and port (host order).
std::wstring ZNetAddressToHost(std::uint32_t address, int port);

// True when putting the socket into non-blocking mode failed.
bool ZNetSetNonBlocking(int socket);

// Classify the result of a socket call: true when it really failed. Either
// records the calling thread's last socket error when the result is -1.
// Connection calls ignore would-block, not-connected, interruption and a
// connect in progress; datagram calls also ignore connection-reset,
// connection-refused (a port-unreachable answer) and host-unreachable.
bool ZNetIsConnectionError(int result);
bool ZNetIsDatagramError(int result);

// The system's text for an error code (errno values; negative codes are
// resolver codes), trimmed; empty for a code without a text.
std::wstring ZSystemGetErrorText(int code);
// The text of the calling thread's last socket error.
std::wstring ZNetGetLastErrorText();

// ---- the UDP port ----------------------------------------------------------------

// One bound, non-blocking UDP socket.
struct ZNetUDPPort;

// Recommended largest payload of one datagram.
constexpr int ZNET_UDP_MTU = 1472;

ZNetUDPPort* ZNetUDPPortOpen(const std::wstring& host);
int ZNetUDPPortGetMTU(ZNetUDPPort* port);
bool ZNetUDPPortIsAlive(ZNetUDPPort* port);
std::wstring ZNetUDPPortGetLocalHost(ZNetUDPPort* port);
void ZNetUDPPortClose(ZNetUDPPort* port);
// Hands out one datagram; true when data holds one, from its sender. The
// socket is read a batch at a time by the one thread that receives; the
// batch's rest counts as readable for ZNetWait.
bool ZNetUDPPortRecv(ZNetUDPPort* port, std::string& data, std::wstring& from);
void ZNetUDPPortSend(ZNetUDPPort* port, const std::wstring& to, const void* data, int length);
// The same as sending each datagram in turn, in fewer system calls.
void ZNetUDPPortSendMany(ZNetUDPPort* port, const std::wstring& to, const std::string* datagrams, int count);

// ---- client TCP sockets -------------------------------------------------------------

// One non-blocking client connection; connect failures show up later as a
// dead handle.
struct ZNetTCPSocket;

ZNetTCPSocket* ZNetTCPSocketOpen(const std::wstring& remoteHost);
// The local end as a host text; empty when the system cannot tell.
std::wstring ZNetTCPSocketGetLocalHost(ZNetTCPSocket* sock);
// Bytes accepted now (0 when it would block, is still connecting, or failed).
int ZNetTCPSocketSend(ZNetTCPSocket* sock, const void* data, int length);
// Appends what is waiting (at most ZNET_TCP_RECV_LIMIT bytes per call); true
// when at least one byte arrived. A close by the peer leaves the handle dead.
bool ZNetTCPSocketRecv(ZNetTCPSocket* sock, std::string& data);
void ZNetTCPSocketShutdown(ZNetTCPSocket* sock);
bool ZNetTCPSocketIsAlive(ZNetTCPSocket* sock);
void ZNetTCPSocketClose(ZNetTCPSocket* sock);

// A fast sender must not hold the reading thread in one call for ever.
constexpr int ZNET_TCP_RECV_LIMIT = 1 << 20;

// ---- the wait ---------------------------------------------------------------------

// Waits until one live handle of the three lists is readable (true) or the
// time-out in microseconds passes (false). At most ZNET_WAIT_MAX handles are
// watched. Without a live handle it sleeps the whole time-out. A real polling
// failure logs, marks every listed handle dead and returns true.
bool ZNetWait(const std::list<ZNetUDPPort*>& ports, const std::list<ZNetUDPPort*>& others,
              const std::list<ZNetTCPSocket*>& sockets, std::int64_t timeout);

constexpr int ZNET_WAIT_MAX = 64;

// A wake-up for a thread that waits in ZNetWait: another thread signals it,
// and the wait that watches it (or the next one, if none is waiting) returns
// true at once. Signals do not count: several before a wait end one wait.
struct ZNetWake;

ZNetWake* ZNetWakeOpen();
void ZNetWakeSignal(ZNetWake* wake);
void ZNetWakeClose(ZNetWake* wake);

// ZNetWait that also returns when the wake-up (null: none) is signalled.
bool ZNetWait(const std::list<ZNetUDPPort*>& ports, const std::list<ZNetUDPPort*>& others,
              const std::list<ZNetTCPSocket*>& sockets, std::int64_t timeout, ZNetWake* wake);

// ---- UPnP port mapping ----------------------------------------------------------

// A UDP port mapping on the home router, removed on close.
struct ZNetUPnPMapping;

// Maps a random external UDP port in [lowPort, highPort) (lowPort alone when
// highPort <= lowPort) to the local host's port; null when there is no
// gateway or it refused five times.
ZNetUPnPMapping* ZNetUPnPMappingOpen(const std::wstring& localHost, int lowPort, int highPort);
void ZNetUPnPMappingClose(ZNetUPnPMapping* mapping);
// Text for log lines; the same for every mapping.
std::wstring ZNetUPnPMappingGetHost(ZNetUPnPMapping* mapping);
// The external port of a mapping.
int ZNetUPnPMappingGetExternalPort(ZNetUPnPMapping* mapping);

// How long discovery listens for gateways, in microseconds, rounded to whole
// seconds from 1 s (the default) to 60 s.
void ZNetUPnPSetDiscoveryTimeout(std::int64_t microseconds);
// Skips discovery and uses the gateway whose root description is at url
// ("http://host:port/path"); an empty url discovers again. For tests and for
// routers that do not answer discovery.
void ZNetUPnPSetGatewayURL(const std::wstring& url);

// ---- local addresses --------------------------------------------------------------

// Replaces the list with the IPv4 addresses of the interfaces that are up
// and not loopback, in interface order; true when the list is not empty.
bool ZNetListIPs(std::list<std::wstring>& list);

// The same list for a caller that asks again and again (the client, once a
// second): it is read from the system only when the kernel has announced a
// change of an address or of a link since the last time, and otherwise
// repeated from then. Without the kernel's announcements it reads every time.
class ZNetAddressList {
public:
    ZNetAddressList() = default;
    ~ZNetAddressList();
    ZNetAddressList(const ZNetAddressList&) = delete;
    ZNetAddressList& operator=(const ZNetAddressList&) = delete;
    bool list(std::list<std::wstring>& out);

private:
    bool _changed();

    int _fd = -1;
    bool _opened = false;
    std::list<std::wstring> _last;
    bool _any = false;
};
