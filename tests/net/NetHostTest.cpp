#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <sched.h>

#include <atomic>

#include <cstdio>
#include <cstdlib>
#include <list>
#include <memory>
#include <string>
#include <thread>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

namespace {

std::uint32_t dotted(const char* text) { return inet_addr(text); }

std::atomic<int> g_lookups{0};

}  // namespace

// Counts the program's name look-ups on their way to the C library, so a test
// can tell whether a text went to the resolver.
extern "C" int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    ++g_lookups;
    return real(node, service, hints, res);
}

TEST(ZNetResolveHost, ReadsDottedQuadsAndPortsAndRefusesWhatNamesNoAddress) {
    struct Case {
        const wchar_t* text;
        std::uint32_t address;
        int port;
    };
    const Case cases[] = {
        {L"127.0.0.1:5060", dotted("127.0.0.1"), 5060},
        {L"10.1.2.3", dotted("10.1.2.3"), 0},
        {L"192.168.1.20:65535", dotted("192.168.1.20"), 65535},
        {L"255.255.255.255:9", 0xFFFFFFFFu, 9},
        {L":80", 0, 80},
        {L"", 0, 0},
        {L"0.0.0.0:0", 0, 0},
        {L"0.0.0.0:1", 0, 1},
        // Out-of-range ports never wrap into a valid one.
        {L"127.0.0.1:65536", 0, 0},
        {L"127.0.0.1:-1", 0, 0},
        {L"127.0.0.1:4294972296", 0, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t address = 12345;
        int port = 12345;
        ZNetResolveHost(c.text, address, port);
        EXPECT_EQ(address, c.address) << ZToUTF8(c.text);
        EXPECT_EQ(port, c.port) << ZToUTF8(c.text);
    }
}

TEST(ZNetResolveHost, NeverAsksTheResolverAboutADottedQuadButDoesAboutAName) {
    const int before = g_lookups;
    std::uint32_t address = 0;
    int port = 0;
    for (const wchar_t* text : {L"127.0.0.1:5060", L"10.0.0.1", L"0.0.0.0:1", L"255.255.255.255:9"})
        ZNetResolveHost(text, address, port);
    EXPECT_EQ(g_lookups, before);
    // "localhost" comes from the hosts file: a name, yet no query leaves.
    ZNetResolveHost(L"localhost:80", address, port);
    EXPECT_EQ(g_lookups, before + 1);
    EXPECT_EQ(address, dotted("127.0.0.1"));
    EXPECT_EQ(port, 80);
}

TEST(ZNetAddressToHost, WritesDottedQuadColonDecimalPort) {
    EXPECT_EQ(ZNetAddressToHost(dotted("127.0.0.1"), 5060), L"127.0.0.1:5060");
    EXPECT_EQ(ZNetAddressToHost(dotted("192.168.1.20"), 0), L"192.168.1.20:0");
    EXPECT_EQ(ZNetAddressToHost(0, 0), L"0.0.0.0:0");
}

TEST(ZNetErrorClassification, SeparatesIgnorableCodesPerKindOfSocket) {
    struct Case {
        int code;
        bool connectionFails;
        bool datagramFails;
    };
    const Case cases[] = {
        {EWOULDBLOCK, false, false}, {ENOTCONN, false, false},   {EINTR, false, false},
        {EINPROGRESS, false, false}, {EALREADY, false, false},   {ECONNRESET, true, false},
        {ECONNREFUSED, true, false}, {EHOSTUNREACH, true, false}, {EBADF, true, true},
        {EPIPE, true, true},         {EADDRINUSE, true, true},
    };
    for (const Case& c : cases) {
        errno = c.code;
        EXPECT_EQ(ZNetIsConnectionError(-1), c.connectionFails) << c.code;
        EXPECT_EQ(ZNetGetLastErrorText(), ZSystemGetErrorText(c.code));
        errno = c.code;
        EXPECT_EQ(ZNetIsDatagramError(-1), c.datagramFails) << c.code;
    }
    errno = EBADF;
    EXPECT_FALSE(ZNetIsConnectionError(0));
    EXPECT_FALSE(ZNetIsDatagramError(17));
}

TEST(ZSystemGetErrorText, GivesTheSystemTextTrimmedOrNothing) {
    EXPECT_EQ(ZSystemGetErrorText(ECONNREFUSED), L"Connection refused");
    EXPECT_EQ(ZSystemGetErrorText(EMSGSIZE), L"Message too long");
    EXPECT_EQ(ZSystemGetErrorText(EAI_NONAME), L"Name or service not known");
    EXPECT_EQ(ZSystemGetErrorText(99999), L"");
}

TEST(ZNetLastError, BelongsToTheThreadThatSawIt) {
    errno = ECONNREFUSED;
    ZNetIsConnectionError(-1);
    std::thread([] {
        errno = EPIPE;
        ZNetIsConnectionError(-1);
    }).join();
    EXPECT_EQ(ZNetGetLastErrorText(), L"Connection refused");
}

TEST(ZNetListIPs, ListsTheUpNonLoopbackIPv4AddressesInInterfaceOrder) {
    std::list<std::wstring> expected;
    std::unique_ptr<FILE, int (*)(FILE*)> ip(popen("ip -4 -o addr show up 2>/dev/null", "r"), pclose);
    ASSERT_TRUE(ip) << "the 'ip' tool (iproute2) is needed";
    char line[512];
    while (std::fgets(line, sizeof(line), ip.get())) {
        char address[64] = {};
        if (std::sscanf(line, "%*d: %*s inet %63[0-9.]", address) != 1) continue;
        if (std::string(address).rfind("127.", 0) == 0) continue;
        expected.push_back(ZFromUTF8(address));
    }
    std::list<std::wstring> listed{L"stale"};
    const bool any = ZNetListIPs(listed);
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(any, !expected.empty());
}

TEST(ZNetAddressList, ReadsTheListAgainAfterEachChangeTheKernelAnnounces) {
    // A network namespace of this thread's own (root only), with the 'ip'
    // tool making the changes.
    struct Step {
        const char* command;
        std::list<std::wstring> expected;
    } steps[] = {
        {"true", {}},
        {"ip link add zt0 type veth peer name zt1 && ip addr add 10.9.9.9/24 dev zt0 && ip link set zt0 up",
         {L"10.9.9.9"}},
        {"ip addr add 10.9.8.8/24 dev zt0", {L"10.9.9.9", L"10.9.8.8"}},
        {"ip link set zt0 down", {}},
        {"ip link set zt0 up && ip addr del 10.9.9.9/24 dev zt0", {L"10.9.8.8"}},
    };
    bool isolated = false;
    std::thread([&] {
        if (unshare(CLONE_NEWNET) != 0 || std::system("ip link set lo up 2>/dev/null") != 0) return;
        isolated = true;
        ZNetAddressList addresses;
        for (const Step& step : steps) {
            ASSERT_EQ(std::system(step.command), 0) << step.command;
            std::list<std::wstring> listed{L"stale"};
            EXPECT_EQ(addresses.list(listed), !step.expected.empty()) << step.command;
            EXPECT_EQ(listed, step.expected) << step.command;
            // Nothing changed since: the same list again.
            EXPECT_TRUE(addresses.list(listed) || step.expected.empty());
            EXPECT_EQ(listed, step.expected) << step.command;
        }
    }).join();
    if (!isolated) GTEST_SKIP() << "needs root and the 'ip' tool for a network namespace";
}
