// UPnP port mapping on the home router, through miniupnpc.
//
// Steps of an open: find the gateway (SSDP discovery with a short time-out,
// or a known root description), then up to five tries of: draw an external
// port, clear a stale entry of ours on it, add the mapping. A gateway that
// reports no outside connection gets one try.
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "ZNonPortable_NetHandles.h"
#include "ZPortable.h"
#include "ZUtil.h"

struct ZNetUPnPMapping {
    UPNPUrls urls{};
    IGDdatas data{};
    int externalPort = 0;
    // False when the gateway says it has no outside connection itself (a
    // router behind another NAT): its refusals are final.
    bool connected = true;
};

namespace {

constexpr int kTries = 5;

const char* const kSearchTypes[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                    "urn:schemas-upnp-org:service:WANIPConnection:1",
                                    "urn:schemas-upnp-org:service:WANPPPConnection:1", "upnp:rootdevice", nullptr};

std::atomic<std::int64_t> g_discoveryTimeout{1000000};
std::mutex g_gatewayMutex;
std::string g_gatewayURL;

std::string gatewayURL() {
    std::lock_guard<std::mutex> guard(g_gatewayMutex);
    return g_gatewayURL;
}

std::wstring upnpErrorText(int code) {
    const char* text = strupnperror(code);
    return text ? ZFromUTF8(text) : std::wstring();
}

// The line for a failed gateway call: its code, its text and the call itself.
void logResult(const wchar_t* severity, int code, const char* expression) {
    ZLOG(severity << L" Error HR return value: " << ZToHex(static_cast<unsigned int>(code), 8) << L" '"
                  << upnpErrorText(code) << L"' (" << expression << L")");
}

// Whether the gateway reports its outside connection up. A gateway that
// cannot say is taken at its word that it is one.
bool gatewayConnected(const UPNPUrls& urls, const IGDdatas& data) {
    char status[64] = {}, lastError[64] = {};
    unsigned int uptime = 0;
    if (UPNP_GetStatusInfo(urls.controlURL, data.first.servicetype, status, &uptime, lastError) != UPNPCOMMAND_SUCCESS)
        return true;
    return std::strcmp(status, "Connected") == 0;
}

// Fills urls and data for the gateway and whether it is connected; false
// (silently) when there is none.
bool findGateway(UPNPUrls& urls, IGDdatas& data, bool& connected) {
    char lanaddr[64] = {};
    const std::string rootURL = gatewayURL();
    if (!rootURL.empty()) {
        if (UPNP_GetIGDFromUrl(rootURL.c_str(), &urls, &data, lanaddr, sizeof(lanaddr)) != 1) return false;
        connected = gatewayConnected(urls, data);
        return true;
    }

    // Whole seconds: the search's answer window (MX) is counted in seconds.
    const std::int64_t timeout = std::clamp<std::int64_t>(g_discoveryTimeout.load() / 1000, 1000, 60000);
    int error = UPNPDISCOVER_SUCCESS;
    // All searches go out at once and share one wait, so a network without a
    // gateway costs the time-out once, not once per searched type.
    UPNPDev* devices = upnpDiscoverDevices(kSearchTypes, static_cast<int>(timeout), 0, 0, UPNP_LOCAL_PORT_ANY, 0, 2,
                                           &error, 1);
    if (!devices) {
        // No answer (or no network to ask on) is the ordinary "no gateway".
        if (error == UPNPDISCOVER_MEMORY_ERROR) {
            logResult(L"ERROR", error,
                      "upnpDiscoverDevices( kSearchTypes, timeout, 0, 0, UPNP_LOCAL_PORT_ANY, 0, 2, &error, 1 )");
            ZLogCallStack();
        }
        return false;
    }
    // 1: a connected gateway; 2: one that says it is not connected.
    const int found = UPNP_GetValidIGD(devices, &urls, &data, lanaddr, sizeof(lanaddr));
    freeUPNPDevlist(devices);
    connected = found == 1;
    if (found == 1 || found == 2) return true;
    if (found != 0) FreeUPNPUrls(&urls);
    return false;
}

// low alone when the range is empty or reversed (both come from settings).
int drawPort(int lowPort, int highPort) {
    if (highPort <= lowPort) return lowPort;
    // Two 15-bit draws, so the product stays inside a signed 32-bit int.
    const std::int64_t r1 = std::rand() & 0x7FFF;
    const std::int64_t r2 = std::rand() & 0x7FFF;
    const std::int64_t span = static_cast<std::int64_t>(highPort) - lowPort;
    return static_cast<int>(lowPort + (r1 * r2) % span);
}

enum class PortState { Free, Ours, Taken };

// Looks at an existing UDP entry on the external port: someone else's entry
// on the same router must never be removed, and that includes another
// program on this same computer. Only an entry named as ours, for our
// address, is a stale one of ours (its internal port may be an old one).
PortState portState(const ZNetUPnPMapping& m, const std::string& natPort, const std::string& localIP) {
    char intClient[40] = {}, intPort[8] = {}, desc[96] = {}, enabled[8] = {}, lease[24] = {};
    const int rc = UPNP_GetSpecificPortMappingEntry(m.urls.controlURL, m.data.first.servicetype, natPort.c_str(),
                                                    "UDP", nullptr, intClient, intPort, desc, enabled, lease);
    if (rc != UPNPCOMMAND_SUCCESS) return PortState::Free;
    return localIP == intClient && std::strcmp(desc, "Zandrel") == 0 ? PortState::Ours : PortState::Taken;
}

}  // namespace

void ZNetUPnPSetDiscoveryTimeout(std::int64_t microseconds) { g_discoveryTimeout.store(microseconds); }

void ZNetUPnPSetGatewayURL(const std::wstring& url) {
    std::lock_guard<std::mutex> guard(g_gatewayMutex);
    g_gatewayURL = ZToUTF8(url);
}

ZNetUPnPMapping* ZNetUPnPMappingOpen(const std::wstring& localHost, int lowPort, int highPort) {
    ZTRACE();
    std::wstring localIPText;
    int localPort = 0;
    ZSplitHostPort(localHost, localIPText, localPort);
    ZWARNASSERT_T(!localIPText.empty(), "!localIP.empty( )");
    ZWARNASSERT(localPort);
    if (localIPText.empty() || !localPort) return nullptr;

    ZNetUPnPMapping* m = new ZNetUPnPMapping;
    if (!findGateway(m->urls, m->data, m->connected)) {
        delete m;
        return nullptr;
    }
    const std::string localIP = ZToUTF8(localIPText);
    const std::string localPortText = ZToNarrowString(localPort);
    for (int attempt = 0; attempt < kTries; ++attempt) {
        const int port = drawPort(lowPort, highPort);
        const std::string natPort = ZToNarrowString(port);
        const PortState state = portState(*m, natPort, localIP);
        if (state == PortState::Ours)
            UPNP_DeletePortMapping(m->urls.controlURL, m->data.first.servicetype, natPort.c_str(), "UDP", nullptr);
        if (state != PortState::Taken) {
            const int rc = UPNP_AddPortMapping(m->urls.controlURL, m->data.first.servicetype, natPort.c_str(),
                                               localPortText.c_str(), localIP.c_str(), "Zandrel", "UDP", nullptr, "0");
            if (rc == UPNPCOMMAND_SUCCESS) {
                m->externalPort = port;
                return m;
            }
            logResult(L"WARNING", rc,
                      "UPNP_AddPortMapping( urls.controlURL, data.first.servicetype, natPort, localPort, localIP, "
                      "\"Zandrel\", \"UDP\", 0, \"0\" )");
            // A gateway without an outside connection refuses every port
            // alike: asking again only costs time and log lines.
            if (!m->connected) break;
        }
        ZLOG(L"WARNING Unable to create UPnP mapping for port " << port << L", trying again.");
    }
    FreeUPNPUrls(&m->urls);
    delete m;
    return nullptr;
}

void ZNetUPnPMappingClose(ZNetUPnPMapping* mapping) {
    ZPRECONDITION_PTR(mapping);
    const std::string natPort = ZToNarrowString(mapping->externalPort);
    UPNP_DeletePortMapping(mapping->urls.controlURL, mapping->data.first.servicetype, natPort.c_str(), "UDP", nullptr);
    FreeUPNPUrls(&mapping->urls);
    delete mapping;
}

std::wstring ZNetUPnPMappingGetHost(ZNetUPnPMapping*) { return L"<invalid>"; }

int ZNetUPnPMappingGetExternalPort(ZNetUPnPMapping* mapping) {
    ZPRECONDITION_PTR(mapping);
    return mapping->externalPort;
}
