// The client state machine on a driven clock: one table of (state, input,
// flags) to (next state, posted commands, flags), the suspend and resume
// pair, the retry countdown and the tick's queue drain.
#include "ZClientFixture.h"
#include "ZPortable.h"

using namespace clienttest;

namespace {

const std::vector<std::string> kReset = {"Dispatch:RESET", "SIP:RESET", "File:RESET"};

// A settings file whose sign-in goes nowhere (nothing listens on port 1).
const char kSettings[] =
    "Local_User_GUID: amy@zandrel.net\nAUTHENTICATE_Host: 127.0.0.1:1\nFirst_Run_Complete: 1\nLog_Filter: c\n";

}  // namespace

using ClientStateMachine = ClientFixture;

TEST_F(ClientStateMachine, EachStateTakesItsInputsAsTheTableSays) {
    struct Case {
        ZClient::State state;
        int event;
        const wchar_t* method;
        std::vector<std::pair<const wchar_t*, const wchar_t*>> flagsBefore;
        ZClient::State next;
        std::vector<std::string> posts;
        std::vector<std::pair<const wchar_t*, const wchar_t*>> flagsAfter;  // "" for unset
        const wchar_t* logged;
    };
    const wchar_t* ignored = L"WARNING Ignored input eventID #";
    using S = ZClient;
    const Case cases[] = {
        {S::Offline, 1, L"", {{L"Reconnect_When_Offline", L"1"}}, S::Authenticating, {}, {{L"Reconnect_When_Offline", L""}},
         L"'Reconnect_When_Offline' set, reconnecting."},
        {S::Offline, 1, L"", {{L"Exit_When_Offline", L"1"}, {L"Restart_On_Exit", L"1"}}, S::Offline, {},
         {{L"Exit_When_Offline", L""}, {L"Restart_On_Exit", L""}},
         L"'Exit_When_Offline' set, exiting with 'Restart_On_Exit'=1"},
        {S::Offline, 1, L"", {{L"Exit_When_Offline", L"1"}, {L"Reconnect_When_Offline", L"1"}}, S::Authenticating, {},
         {{L"Exit_When_Offline", L""}}, L"reconnecting."},
        {S::Offline, 0, L"LOGON", {}, S::Authenticating, {}, {{L"Prompt_On_AUTHENTICATE_Failure", L"1"}},
         L"Sending 'AUTHENTICATE' request"},
        {S::Offline, 11, L"", {{L"Reconnect_On_Resume", L"1"}}, S::Authenticating, {}, {{L"Reconnect_On_Resume", L""}},
         nullptr},
        {S::Offline, 11, L"", {}, S::Offline, {}, {}, nullptr},
        {S::Offline, 0, L"LOGOFF", {}, S::Offline, {}, {}, ignored},
        {S::Offline, 0, L"LOGFILESUPLOADED", {}, S::Offline, {}, {}, ignored},
        {S::Offline, 0, L"LOGFILESUPLOADED", {{L"Exit_When_Logfiles_Uploaded", L"1"}}, S::Offline, {}, {},
         L"Logfiles uploaded, exiting."},
        {S::Waiting, 0, L"LOGOFF", {}, S::Offline, kReset, {}, nullptr},
        {S::Waiting, 12, L"", {}, S::Authenticating, {}, {}, nullptr},
        {S::Authenticating, 10, L"", {}, S::Waiting, {}, {}, nullptr},
        {S::Authenticating, 11, L"", {}, S::Authenticating, kReset, {}, nullptr},
        {S::Authenticating, 0, L"LOGOFF", {}, S::Offline, kReset, {}, nullptr},
        {S::Connecting, 0, L"CONNECTED", {}, S::Online, {"SIP:BUDDYLOGON"}, {}, nullptr},
        // A lost dispatch connection waits and retries like a refused sign-in.
        {S::Connecting, 0, L"DISCONNECTED", {}, S::Waiting, kReset, {}, nullptr},
        {S::Connecting, 0, L"LOGOFF", {}, S::Disconnecting, {"Dispatch:DISCONNECT"}, {}, nullptr},
        {S::Connecting, 10, L"", {}, S::Disconnecting, {"Dispatch:DISCONNECT"}, {{L"Reconnect_On_Resume", L"1"}}, nullptr},
        {S::Connecting, 12, L"", {}, S::Offline, kReset, {{L"Reconnect_When_Offline", L"1"}}, nullptr},
        {S::Connecting, 0, L"DEVICEBROADCAST", {}, S::Connecting, {}, {}, ignored},
        {S::Online, 0, L"LOGOFF", {}, S::LoggingOff, {"SIP:BUDDYLOGOFF"}, {}, nullptr},
        {S::Online, 10, L"", {}, S::LoggingOff, {"SIP:BUDDYLOGOFF"}, {{L"Reconnect_On_Resume", L"1"}}, nullptr},
        {S::Online, 0, L"DISCONNECTED", {}, S::Offline, kReset, {{L"Reconnect_When_Offline", L"1"}}, nullptr},
        {S::Online, 0, L"LOGON", {}, S::Online, {}, {}, ignored},
        {S::LoggingOff, 0, L"BUDDYLOGGEDOFF", {}, S::Disconnecting, {"Dispatch:DISCONNECT"}, {}, nullptr},
        {S::LoggingOff, 12, L"", {{L"Reconnect_On_Resume", L"1"}}, S::Offline, kReset, {{L"Reconnect_When_Offline", L""}},
         nullptr},
        {S::LoggingOff, 11, L"", {{L"Reconnect_On_Resume", L"1"}}, S::Offline, kReset,
         {{L"Reconnect_When_Offline", L"1"}}, nullptr},
        {S::LoggingOff, 0, L"UPGRADEDOWNLOADED", {}, S::LoggingOff, {}, {}, ignored},
        {S::Disconnecting, 12, L"", {{L"Reconnect_On_Resume", L"1"}}, S::Offline, kReset,
         {{L"Reconnect_When_Offline", L"1"}}, nullptr},
        // A DISCONNECT sent while the dispatch service was still connecting
        // was dropped: it is asked again once it reports in.
        {S::Disconnecting, 0, L"CONNECTED", {}, S::Disconnecting, {"Dispatch:DISCONNECT"}, {}, nullptr},
        {S::Disconnecting, 0, L"DISCONNECTED", {}, S::Offline, kReset, {}, nullptr},
    };
    start(kSettings);
    posts();
    recorded().commands.clear();
    for (const Case& c : cases) {
        const std::wstring row = ZClient::_getState(c.state) + L" " + std::to_wstring(c.event) + L" " + c.method;
        ZClientTestAccess::setState(*client, c.state);
        for (const char* name : {"Reconnect_When_Offline", "Exit_When_Offline", "Restart_On_Exit", "Reconnect_On_Resume",
                                 "Exit_When_Logfiles_Uploaded", "Prompt_On_AUTHENTICATE_Failure"})
            store().clear(ZFromUTF8(name));
        for (const auto& [name, value] : c.flagsBefore) store().set(name, std::wstring(value), false);
        ZLogCapture log;
        input(c.event, c.method);
        EXPECT_EQ(client->getState(), c.next) << ZToUTF8(row);
        EXPECT_EQ(posts(), c.posts) << ZToUTF8(row);
        for (const auto& [name, value] : c.flagsAfter) EXPECT_EQ(store().get(name), value) << ZToUTF8(row) << " " << ZToUTF8(name);
        if (c.logged) {
            EXPECT_TRUE(log.contains(c.logged)) << ZToUTF8(row);
        }
        if (!c.logged || std::wstring(c.logged) != ignored) {
            EXPECT_FALSE(log.contains(ignored)) << ZToUTF8(row);
        }
    }
    EXPECT_EQ(recorded().commands.size(), 0u);
    // The upgrade prompt is the delayed restart.
    ZClientTestAccess::setState(*client, ZClient::Online);
    input(0, L"UPGRADEDOWNLOADED");
    EXPECT_EQ(recorded().commands, std::vector<std::wstring>{L"(/system?delayrestart+delay=30)"});
}

TEST_F(ClientStateMachine, TheStoredAccountSignsInAtOnceAndTheLoginWindowIsNotOpened) {
    ZLogCapture log;
    start(kSettings + std::string("Local_Password: pw\n"));
    EXPECT_EQ(client->getState(), ZClient::Authenticating);
    EXPECT_TRUE(recorded().commands.empty());
    EXPECT_TRUE(log.contains(L"(amy@zandrel.net) [Authenticating...] Received 'LOGON' event") ||
                log.contains(L"(amy@zandrel.net) [Offline] Received 'LOGON' event"));
}

TEST_F(ClientStateMachine, SleepAndWakeSignOffAndOnAgainEachDebouncedAlone) {
    start(kSettings);
    ZClientTestAccess::setState(*client, ZClient::Online);
    // The platform reports both on waking, one right after the other.
    client->onSuspend();
    client->onResume();
    EXPECT_EQ(client->getState(), ZClient::Offline);
    EXPECT_EQ(posts(), (std::vector<std::string>{"Dispatch:RESET", "SIP:BUDDYLOGOFF", "SIP:RESET", "File:RESET"}));
    EXPECT_EQ(store().get(L"Reconnect_When_Offline"), L"1");
    tick();
    EXPECT_EQ(client->getState(), ZClient::Authenticating);
    // Within a second each kind is dropped; later it counts again.
    ZClientTestAccess::setState(*client, ZClient::Online);
    g_now += 900000;
    client->onSuspend();
    EXPECT_EQ(client->getState(), ZClient::Online);
    g_now += 200000;
    client->onSuspend();
    EXPECT_EQ(client->getState(), ZClient::LoggingOff);
}

TEST_F(ClientStateMachine, WaitingCountsDownWholeSecondsAndRetriesWhenDue) {
    start(kSettings);
    ZClientTestAccess::setState(*client, ZClient::Waiting);
    ZClientTestAccess::retryInterval(*client).start = g_now - 100000;
    tick();
    EXPECT_EQ(store().get(L"Client_Status"), L"29 Waiting...");
    g_now += 29900001;
    ZLogCapture log;
    tick();
    EXPECT_EQ(client->getState(), ZClient::Authenticating);
    EXPECT_TRUE(log.contains(L"Retrying AUTHENTICATE"));
}

TEST_F(ClientStateMachine, TheTickDrainsTheQueueInOrderBeforeItsOwnEvent) {
    start(kSettings);
    ZClientTestAccess::setState(*client, ZClient::Online);
    for (int i = 0; i < 10; ++i)
        store().enqueue(L"ZClient_commandQueue", ZHTTPHeaders(L"CMD" + std::to_wstring(i)).serialize());
    store().enqueue(L"ZClient_commandQueue", std::string("not a message"));
    ZLogCapture log;
    tick();
    const std::vector<std::wstring> lines = log.lines();
    std::vector<std::wstring> order;
    for (const std::wstring& line : lines) {
        const std::size_t at = line.find(L"Received 'CMD");
        if (at != std::wstring::npos) order.push_back(line.substr(at + 10, 4));
    }
    EXPECT_EQ(order, (std::vector<std::wstring>{L"CMD0", L"CMD1", L"CMD2", L"CMD3", L"CMD4", L"CMD5", L"CMD6", L"CMD7",
                                                L"CMD8", L"CMD9"}));
    EXPECT_EQ(store().get(L"Client_Status"), L"Online") << "the tick event came after the queue";
}

TEST_F(ClientStateMachine, AMessageOnTheQueueIsTakenAtOnceNotOnTheNextTick) {
    start(kSettings);
    ZClientTestAccess::holdTick(*client);
    ZClientTestAccess::setState(*client, ZClient::Connecting);
    posts();
    store().enqueue(L"ZClient_commandQueue", ZHTTPHeaders(L"CONNECTED").serialize());
    EXPECT_TRUE(pumpUntil([&] { return client->getState() == ZClient::Online; }));
    EXPECT_EQ(posts(), std::vector<std::string>{"SIP:BUDDYLOGON"});
}

TEST_F(ClientStateMachine, ANetworkChangeIsReportedOnceAndNotAfterAWake) {
    start(kSettings);
    ZClientTestAccess::setState(*client, ZClient::Waiting);
    ZClientTestAccess::retryInterval(*client).start = g_now;
    ZLogCapture log;
    g_now += 1100000;
    g_addresses = {L"127.0.0.1"};
    tick();
    EXPECT_EQ(log.count(L"NETWORK CHANGE"), 1);
    EXPECT_EQ(client->getState(), ZClient::Authenticating) << "Waiting signs in at once on a change";
    g_now += 1100000;
    tick();
    EXPECT_EQ(log.count(L"NETWORK CHANGE"), 1);
    // Addresses that changed while asleep are taken on resume, not as a change.
    g_addresses = {L"127.0.0.1", L"192.168.9.9"};
    client->onResume();
    g_now += 1100000;
    tick();
    EXPECT_EQ(log.count(L"NETWORK CHANGE"), 1);
}
