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

struct ZNetUDPPort : ZNetHandle {
    std::wstring localHost;
};

struct ZNetTCPSocket : ZNetHandle {
    std::wstring remoteHost;
};

// Splits a host text at its first ':' into the host (empty when the text
// starts with ':') and the port's value; port is 0 without a colon and
// saturates far outside 0..65535 instead of wrapping. Unlike ZSplitHostPort
// it keeps an out-of-range port visible (and quiet), so resolution can refuse
// it rather than bind to a port the system chooses.
void ZNetSplitHost(const std::wstring& text, std::wstring& host, std::int64_t& port);

// Records a code as the calling thread's last socket error.
void ZNetSetLastError(int code);
