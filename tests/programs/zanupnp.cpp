// Maps a UDP port on whatever UPnP router answers on the network, the way
// the dispatch service does, for tests against a real router:
//   zanupnp <local host:port> <low port> <high port>
// prints "mapped <external port>" (or "none"), every log line as "log: ...",
// then waits for a line on its input before it removes the mapping and says
// "closed".
#include <cstdio>
#include <iostream>
#include <string>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

void printLine(const std::wstring& line) { std::printf("log: %s", ZToUTF8(line).c_str()); }
void nothing() {}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: zanupnp <local host:port> <low port> <high port>\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ZSetDebugHooks(printLine, nothing, nothing);
    ZNetUPnPSetDiscoveryTimeout(2000000);
    ZNetUPnPMapping* mapping = ZNetUPnPMappingOpen(ZFromUTF8(argv[1]), std::stoi(argv[2]), std::stoi(argv[3]));
    if (!mapping) {
        std::printf("none\n");
        return 1;
    }
    std::printf("mapped %d\n", ZNetUPnPMappingGetExternalPort(mapping));
    std::string line;
    std::getline(std::cin, line);
    ZNetUPnPMappingClose(mapping);
    std::printf("closed\n");
    return 0;
}
