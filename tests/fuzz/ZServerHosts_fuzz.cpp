// libFuzzer target of the service's host and name readers, which take texts
// straight from clients' messages: a host read must write back to the same
// text, a sendable one is neither 0.0.0.0, multicast nor broadcast, and a
// canonical name holds only its few units.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ZFuzz.h"
#include "ZServerContext.h"
#include "ZServerNet.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sockaddr_in address{};
    if (ZServerParseHost(text, address) && ZServerSendableHost(address)) {
        const std::uint32_t ip = ntohl(address.sin_addr.s_addr);
        if (ip == 0 || ip == 0xFFFFFFFFu || (ip >> 28) == 0xE || address.sin_port == 0) __builtin_trap();
    }
    std::string name;
    if (ZServerCanonicalName(text, name)) {
        if (name.empty() || name.size() > 128) __builtin_trap();
        for (char c : name)
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '@'))
                __builtin_trap();
    }
    return 0;
}
