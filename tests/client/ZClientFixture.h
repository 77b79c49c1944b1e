// A client object alone in a temporary working folder: its services idle
// (their queues are left for the test to read), its clock, addresses and
// CPU figures driven by the test, its skin a recorder of commands.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "ZClient.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZTestSupport.h"

class ZClientTestAccess {
public:
    static void setState(ZClient& client, std::uint32_t state) { client._state = state; }
    static ZHTTPClient* httpClient(ZClient& client) { return client._httpClient; }
    static ZInterval& retryInterval(ZClient& client) { return client._retryInterval; }
    // The 100 ms tick moved an hour away: what still happens comes from elsewhere.
    static void holdTick(ZClient& client) {
        ZTimerClose(client._timer);
        client._timer = ZTimerOpen(3600000000LL, &client);
    }
};

namespace clienttest {

// What the recording skin saw.
struct Recorded {
    std::vector<std::wstring> commands;
    std::vector<std::pair<std::wstring, std::string>> broadcasts;
    std::vector<std::pair<std::wstring, std::string>> chats;
};
Recorded& recorded();

// The driven sources.
extern std::int64_t g_now;
extern std::list<std::wstring> g_addresses;
extern double g_processCPU;
extern std::map<std::wstring, double> g_threadCPU;
extern std::wstring g_saveAnswer;
extern bool g_muted;
extern float g_volume;

class ClientFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the settings file and builds the client.
    ZClient& start(const std::string& settings, const std::wstring& host = L"", bool upgraded = false,
                   bool uploadLogfiles = false, bool forceTurn = false);
    void stop();
    ZInstance& store() { return *client->getInstance(); }
    // Every command waiting on the services' queues, as "<queue prefix>:<method>".
    std::vector<std::string> posts();
    void tick() { client->onTimer(client->getTimer()); }
    // Runs the UI loop (timers that are due, posted notifications) until the
    // condition holds or the patience runs out.
    bool pumpUntil(const std::function<bool()>& condition, int patienceMs = 5000);
    void input(int eventID, const std::wstring& method = L"") {
        client->_onInput(eventID, method.empty() ? ZHTTPHeaders() : ZHTTPHeaders(method));
    }

    ZTempDir dir;
    std::string oldFolder;
    ZClient* client = nullptr;
};

}  // namespace clienttest
