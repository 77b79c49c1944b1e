// Server choice, device identity, registration, and life while registered:
// keep-alive, NAT refresh, re-registration and sign-off.
#include <gtest/gtest.h>

#include <list>

#include "ZDispatchTestRig.h"
#include "ZPortable.h"

using namespace dispatchtest;

namespace {

// Brings the rig to CHOOSESERVER over a PUBLIC class.
void toServerChoice(Rig& rig) {
    const ZHTTPHeaders probe = rig.connect();
    rig.answerProbe(probe, rig.localHost, true, true, true);
    ASSERT_TRUE(rig.passUntilState(ZDispatchService::CHOOSESERVER));
}

// Takes the next request of the method at the server without answering it.
ZHTTPHeaders takeAtServer(Rig& rig, const wchar_t* method, std::wstring* from = nullptr) {
    ZHTTPHeaders request;
    std::wstring sender;
    EXPECT_TRUE(rig.sip[0].receive(method, request, sender)) << "no request reached the server";
    if (from) *from = sender;
    return request;
}

std::int64_t g_slept = -1;
void recordSleep(std::int64_t microseconds) { g_slept = microseconds; }

TEST(ZDispatchServiceConnect, AStartupSleepOutOfRangeIsHeldBeforeItIsMultiplied) {
    const struct {
        const wchar_t* setting;
        std::int64_t slept;
        const wchar_t* warning;
    } rows[] = {
        {L"9300000000000000", 60000000, L"WARNING Setting 'Startup_Sleep' of 9300000000000000 is out of range, using 60000."},
        {L"-20", -1, L"WARNING Setting 'Startup_Sleep' of -20 is out of range, using 0."},
        {L"250", 250000, nullptr},
    };
    for (const auto& row : rows) {
        ZLogCapture log;
        Rig rig;
        g_slept = -1;
        rig.service->setSleep(recordSleep);
        rig.instance->set(L"Startup_Sleep", std::wstring(row.setting), false);
        rig.connect();
        EXPECT_EQ(g_slept, row.slept) << ZToUTF8(row.setting);
        EXPECT_EQ(log.count(L"WARNING Setting '"), row.warning ? 1 : 0) << ZToUTF8(row.setting);
        if (row.warning) {
            EXPECT_TRUE(log.contains(row.warning)) << ZToUTF8(row.setting);
        }
        EXPECT_EQ(rig.state(), ZDispatchService::STUN);
    }
}

TEST(ZDispatchServiceServerChoice, ChoosesTheFirstServerThatAnswersWithSuccess) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    toServerChoice(rig);
    ZHTTPHeaders ping;
    std::wstring from;
    ASSERT_TRUE(rig.sip[1].receive(L"PING", ping, from));
    rig.sip[1].answer(from, answerTo(ping, 200));
    rig.passUntilState(ZDispatchService::DEVICEGUID);
    EXPECT_TRUE(log.contains(L"SIP server '" + rig.sip[1].host() + L"' first to respond, choosing it."));
    EXPECT_EQ(rig.get(L"Global_SIP_Host"), rig.sip[1].host());
    EXPECT_TRUE(log.contains(L"Requesting device GUID"));
    EXPECT_EQ(rig.state(), ZDispatchService::DEVICEGUID);
}

TEST(ZDispatchServiceServerChoice, NeverChoosesAServerThatRefuses) {
    ZLogCapture log;
    Rig rig;
    toServerChoice(rig);
    rig.answerAtServer(L"PING", 503);
    rig.passUntil([&] { return log.contains(L"is not a success, not choosing it."); });
    EXPECT_EQ(rig.state(), ZDispatchService::CHOOSESERVER);
    EXPECT_FALSE(rig.instance->isSet(L"Global_SIP_Host"));
    EXPECT_TRUE(log.contains(L"is not a success, not choosing it."));
}

TEST(ZDispatchServiceServerChoice, NeverChoosesAHostOutsideTheList) {
    Rig rig;
    toServerChoice(rig);
    // A stranger answers a PING it overheard, number and all.
    const ZHTTPHeaders ping = takeAtServer(rig, L"PING");
    FakeHost stranger;
    stranger.answer(rig.localHost, answerTo(ping, 200));
    rig.pass();
    EXPECT_EQ(rig.state(), ZDispatchService::CHOOSESERVER);
    EXPECT_FALSE(rig.instance->isSet(L"Global_SIP_Host"));
}

TEST(ZDispatchServiceServerChoice, GivesUpWhenNoServerAnswers) {
    ZLogCapture log;
    Rig rig;
    toServerChoice(rig);
    advance(6000000);
    rig.pass();
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
    EXPECT_EQ(rig.notifications(), std::vector<std::wstring>{L"DISCONNECTED"});
    EXPECT_TRUE(log.contains(L"WARNING 'PING' requests timed out to '"));
}

TEST(ZDispatchServiceRegistration, KeepsTheDeviceIdentityAndRegistersWithTheRouteList) {
    Rig rig;
    rig.instance->set(L"Local_Session_Key", L"0123456789abcdef0123456789abcdef", false);
    toServerChoice(rig);
    rig.answerAtServer(L"PING", 200);
    rig.passUntilState(ZDispatchService::DEVICEGUID);
    const ZHTTPHeaders identity = rig.answerAtServer(L"DEVICEGUID", 200, L"Device-GUID", L"device-7");
    EXPECT_EQ(identity.get(L"Session-Key"), L"0123456789abcdef0123456789abcdef");
    rig.passUntilState(ZDispatchService::Registering);
    EXPECT_EQ(rig.get(L"Local_Device_GUID"), L"device-7");
    const std::string settings = ZTestReadFile(rig.dir.file("settings.ini"));
    EXPECT_NE(settings.find("device-7"), std::string::npos);
    EXPECT_EQ(settings.find("0123456789abcdef"), std::string::npos);
    const ZHTTPHeaders registration = rig.answerAtServer(L"REGISTER", 200);
    EXPECT_EQ(registration.get(L"Device-GUID"), L"device-7");
    EXPECT_EQ(registration.get(L"From"), L"alice@zandrel.net");
    EXPECT_EQ(registration.get(L"Route-List"), L"local://" + rig.localHost);
    EXPECT_EQ(registration.get(L"Session-Key"), L"0123456789abcdef0123456789abcdef");
    rig.passUntilState(ZDispatchService::Online);
    EXPECT_EQ(rig.state(), ZDispatchService::Online);
    EXPECT_EQ(rig.notifications(), std::vector<std::wstring>{L"CONNECTED"});
    EXPECT_EQ(rig.megaPort->getLocalHost(), rig.localHost);
}

TEST(ZDispatchServiceRegistration, RefusesADeviceIdentityAnswerWithoutAnIdentity) {
    Rig rig;
    toServerChoice(rig);
    rig.answerAtServer(L"PING", 200);
    rig.passUntilState(ZDispatchService::DEVICEGUID);
    rig.answerAtServer(L"DEVICEGUID", 200);
    rig.passUntilState(ZDispatchService::Offline);
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
    EXPECT_FALSE(rig.instance->isSet(L"Local_Device_GUID"));
}

TEST(ZDispatchServiceRegistration, ARefusedRegistrationAsksForANewIdentity) {
    ZLogCapture log;
    Rig rig;
    rig.instance->set(L"Local_Device_GUID", std::wstring(L"stale"), true);
    toServerChoice(rig);
    rig.answerAtServer(L"PING", 200);
    rig.passUntilState(ZDispatchService::Registering);
    EXPECT_EQ(rig.state(), ZDispatchService::Registering);
    rig.answerAtServer(L"REGISTER", 404);
    rig.passUntilState(ZDispatchService::DEVICEGUID);
    EXPECT_TRUE(log.contains(L"WARNING 'REGISTER' failed, suspect device GUID is stale -- requesting new DEVICEGUID"));
    EXPECT_EQ(rig.state(), ZDispatchService::DEVICEGUID);
    takeAtServer(rig, L"DEVICEGUID");
}

// ---- online ----------------------------------------------------------------------------

TEST(ZDispatchServiceOnline, TheRefreshTestDoublesItsDelayUpToTheCap) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    rig.goOnline();
    std::int64_t expected = 1000000;
    for (int round = 0; round < 10; ++round) {
        ZHTTPHeaders test;
        std::wstring from;
        ASSERT_TRUE(rig.stun[3].receive(L"STUN", test, from));
        EXPECT_EQ(test.calc64(L"Delay"), expected);
        rig.stun[3].answer(from, answerTo(test, 200));
        ASSERT_TRUE(rig.passUntil([&] { return log.count(L"NAT refresh succeeded with ") == round + 1; }));
        expected = std::min<std::int64_t>(expected * 2, ZDISPATCH_MAX_REFRESH_PERIOD);
        EXPECT_LE(rig.instance->calc(L"NAT_Refresh_Period_S"), 120);
    }
    EXPECT_TRUE(log.contains(L"NAT refresh succeeded with 1s period, trying 2s"));
    EXPECT_TRUE(log.contains(L"NAT refresh succeeded with 2s period, trying 4s"));
    EXPECT_TRUE(log.contains(L"NAT refresh succeeded with 64s period, trying 120s"));
    EXPECT_TRUE(log.contains(L"NAT refresh succeeded with 120s period, trying 120s"));
    EXPECT_EQ(rig.get(L"NAT_Refresh_Period_S"), L"120");
}

TEST(ZDispatchServiceOnline, ALostRefreshTestHalvesTheDelay) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    rig.goOnline();
    ZHTTPHeaders test;
    std::wstring from;
    ASSERT_TRUE(rig.stun[3].receive(L"STUN", test, from));
    rig.stun[3].answer(from, answerTo(test, 200));
    ASSERT_TRUE(rig.passUntil([&] { return log.contains(L"NAT refresh succeeded with 1s period, trying 2s"); }));
    ASSERT_TRUE(rig.stun[3].receive(L"STUN", test, from));
    advance(4100000);
    rig.pass();
    EXPECT_TRUE(log.contains(L"NAT refresh FAILED with 2s period, trying 1s"));
    EXPECT_EQ(rig.get(L"NAT_Refresh_Period_S"), L"1");
}

TEST(ZDispatchServiceOnline, TheKeepAlivePeriodNeverPassesTheCap) {
    Rig rig;
    rig.goOnline();
    rig.instance->set(L"NAT_Refresh_Period_S", std::int64_t{100000}, false);
    rig.pass();
    rig.answerAtServer(L"PING", 200);
    ASSERT_TRUE(rig.passUntil([&] { return rig.instance->isSet(L"NAT_Mapping_Age"); }));
    rig.sip[0].drain();
    advance(ZDISPATCH_MAX_REFRESH_PERIOD + 1000000);
    rig.pass();
    ZHTTPHeaders ping;
    std::wstring from;
    EXPECT_TRUE(rig.sip[0].receive(L"PING", ping, from, 200000));
}

TEST(ZDispatchServiceOnline, SixLostKeepAlivesEndTheConnection) {
    ZLogCapture log;
    Rig rig;
    rig.goOnline();
    for (int i = 0; i < 6 && rig.state() == ZDispatchService::Online; ++i) {
        advance(1100000);
        rig.pass();
    }
    EXPECT_TRUE(log.contains(L"WARING PING failed 6 consecutive times, reconnecting."));
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
}

TEST(ZDispatchServiceOnline, AChangedMappingEndsTheConnection) {
    ZLogCapture log;
    Rig rig;
    rig.goOnline();
    rig.pass();
    rig.answerAtServer(L"PING", 200, L"Observed-Host", L"198.51.100.1:1234");
    rig.passUntilState(ZDispatchService::Offline);
    EXPECT_TRUE(log.contains(L"WARNING Global mapping has changed after "));
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
}

TEST(ZDispatchServiceOnline, AForgedKeepAliveAnswerCountsAsLostAndNeverDisconnects) {
    // What anyone can send from the server's address with a guessed number.
    struct Forgery {
        int code;
        const wchar_t* observed;
        const wchar_t* warning;
    };
    const Forgery forgeries[] = {
        {200, nullptr, L"WARNING Keep-alive answer without a valid 'Observed-Host', ignoring."},
        {200, L"255.255.255.255:9", L"WARNING Keep-alive answer without a valid 'Observed-Host', ignoring."},
        {200, L"198.51.100.1", L"WARNING Keep-alive answer without a valid 'Observed-Host', ignoring."},
        {503, nullptr, L"WARNING: Assertion failed. (recvResponse.succeeded( ))"},
        {503, L"198.51.100.1:1234", L"WARNING: Assertion failed. (recvResponse.succeeded( ))"},
    };
    for (const Forgery& forgery : forgeries) {
        ZLogCapture log;
        Rig rig;
        rig.goOnline();
        rig.pass();
        ZHTTPHeaders ping;
        std::wstring from;
        ASSERT_TRUE(rig.sip[0].receive(L"PING", ping, from));
        ZHTTPHeaders answer = answerTo(ping, forgery.code, forgery.code == 200 ? L"OK" : L"Unavailable");
        if (forgery.observed) answer.set(L"Observed-Host", forgery.observed);
        rig.sip[0].answer(from, answer);
        EXPECT_TRUE(rig.passUntil([&] { return log.contains(forgery.warning); })) << forgery.code;
        EXPECT_EQ(rig.state(), ZDispatchService::Online) << forgery.code;
        EXPECT_FALSE(log.contains(L"Global mapping has changed")) << forgery.code;
        EXPECT_FALSE(rig.instance->isSet(L"NAT_Mapping_Age")) << forgery.code;
        // The next keep-alive goes out and a true answer is taken again.
        advance(1100000);
        rig.pass();
        rig.answerAtServer(L"PING", 200);
        EXPECT_TRUE(rig.passUntil([&] { return rig.instance->isSet(L"NAT_Mapping_Age"); })) << forgery.code;
        EXPECT_EQ(rig.state(), ZDispatchService::Online) << forgery.code;
    }
}

TEST(ZDispatchServiceOnline, AnswersForgedFromTheServersAddressWithCountedNumbersChangeNothing) {
    ZLogCapture log;
    Rig rig;
    rig.goOnline();
    rig.pass();
    ZHTTPHeaders ping;
    std::wstring from;
    ASSERT_TRUE(rig.sip[0].receive(L"PING", ping, from));
    // Every number a run that starts at 1 could have used, answered from the
    // server's own address: once as a moved mapping, once as a refusal.
    for (int cseq = 1; cseq < 300; ++cseq) {
        const std::string number = "CSeq: " + std::to_string(cseq) + " (ZDispatchService)\r\n";
        rig.sip[0].send(rig.localHost, "HTTP/1.1 200 OK\r\n" + number + "Observed-Host: 198.51.100.1:1234\r\n\r\n");
        rig.sip[0].send(rig.localHost, "HTTP/1.1 403 Refused\r\n" + number + "\r\n");
        if (cseq % 25 == 0) rig.pass();
    }
    // The true answer comes last and is still taken.
    ZHTTPHeaders answer = answerTo(ping, 200);
    answer.set(L"Observed-Host", ping.get(L"Global-Host"));
    rig.sip[0].answer(from, answer);
    EXPECT_TRUE(rig.passUntil([&] { return rig.instance->isSet(L"NAT_Mapping_Age"); }));
    EXPECT_EQ(rig.state(), ZDispatchService::Online);
    EXPECT_FALSE(log.contains(L"Global mapping has changed"));
    EXPECT_FALSE(log.contains(L"requesting new DEVICEGUID"));
    EXPECT_EQ(rig.get(L"Local_Device_GUID"), L"device-1");
}

TEST(ZDispatchServiceOnline, EachServiceNumbersFromItsOwnUnguessableStart) {
    // Two runs, and the transaction layer beside them: a stranger who saw one
    // number learns nothing of another run's.
    Rig first;
    Rig second;
    const std::int64_t a = ZToInt64(first.connect().get(L"CSeq"));
    const std::int64_t b = ZToInt64(second.connect().get(L"CSeq"));
    EXPECT_GT(a, 0);
    EXPECT_GT(b, 0);
    EXPECT_LE(a, 0x7FFFFFFF);
    EXPECT_NE(a, b);
    EXPECT_GT(a + b, 600) << "both runs started among the first numbers";
}

TEST(ZDispatchServiceOnline, ABroadcastEntryInTheHostListsCostsNothingButAWarning) {
    ZLogCapture log;
    Rig rig;
    rig.instance->set(L"Global_SIP_Host_List",
                      std::list<std::wstring>{L"255.255.255.255:9", L"224.0.0.1:5060", rig.sip[0].host()}, false);
    std::list<std::wstring> stunHosts;
    rig.instance->get(L"Global_STUN_Host_List", stunHosts);
    stunHosts.push_front(L"0.0.0.0:3478");
    rig.instance->set(L"Global_STUN_Host_List", stunHosts, false);
    rig.goOnline();
    EXPECT_EQ(rig.state(), ZDispatchService::Online);
    EXPECT_EQ(log.count(L"WARNING Refusing SIP host '255.255.255.255:9' that names no single host, ignoring."), 1);
    EXPECT_EQ(log.count(L"WARNING Refusing SIP host '224.0.0.1:5060' that names no single host, ignoring."), 1);
    EXPECT_EQ(log.count(L"WARNING Refusing STUN host '0.0.0.0:3478' that names no single host, ignoring."), 1);
    EXPECT_FALSE(log.contains(L", closing.("));
}

TEST(ZDispatchServiceOnline, AKeepAliveAnswerMeasuresTheRoundTrip) {
    Rig rig;
    rig.goOnline();
    rig.pass();
    rig.answerAtServer(L"PING", 200);
    ASSERT_TRUE(rig.passUntil([&] { return rig.instance->isSet(L"NAT_Mapping_Age"); }));
    EXPECT_TRUE(ZEndsWith(rig.get(L"SIP_Ping"), L"ms"));
    EXPECT_TRUE(ZEndsWith(rig.get(L"NAT_Mapping_Age"), L"s"));
}

// Re-registration.
void toReregistering(Rig& rig) {
    rig.goOnline();
    rig.sip[0].drain();
    advance(901000000);
    rig.pass();
    ASSERT_EQ(rig.state(), ZDispatchService::Reregistering);
}

TEST(ZDispatchServiceReregistration, ASuccessReturnsOnline) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    toReregistering(rig);
    rig.answerAtServer(L"REGISTER", 200);
    rig.passUntilState(ZDispatchService::Online);
    EXPECT_TRUE(log.contains(L"Re-registration successful"));
    EXPECT_EQ(rig.state(), ZDispatchService::Online);
}

TEST(ZDispatchServiceReregistration, ARefusalIsNoSuccessAndAsksForANewIdentity) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    toReregistering(rig);
    rig.answerAtServer(L"REGISTER", 403);
    rig.passUntilState(ZDispatchService::DEVICEGUID);
    EXPECT_FALSE(log.contains(L"Re-registration successful"));
    EXPECT_TRUE(log.contains(L"WARNING 'REGISTER' failed, suspect device GUID is stale -- requesting new DEVICEGUID"));
    EXPECT_EQ(rig.state(), ZDispatchService::DEVICEGUID);
    rig.answerAtServer(L"DEVICEGUID", 200, L"Device-GUID", L"device-2");
    rig.passUntilState(ZDispatchService::Registering);
    rig.answerAtServer(L"REGISTER", 200);
    rig.passUntilState(ZDispatchService::Online);
    EXPECT_EQ(rig.state(), ZDispatchService::Online);
    EXPECT_EQ(rig.get(L"Local_Device_GUID"), L"device-2");
}

TEST(ZDispatchServiceReregistration, NoAnswerEndsTheConnectionAfterTheTimeOut) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    toReregistering(rig);
    rig.notifications();
    // Ticks a second apart: every one resends, and still the wait ends. The
    // keep-alives are answered, so only the registration is missing.
    int resends = 0;
    int answered = 0;
    for (int i = 0; i < 8 && rig.state() == ZDispatchService::Reregistering; ++i) {
        advance(1000000);
        rig.pass();
        std::string bytes;
        std::wstring from;
        while (rig.sip[0].receiveRaw(bytes, from, 20000)) {
            ZHTTPHeaders request;
            request.deserialize(bytes);
            if (ZCaseEquals(request.getMethod(), L"REGISTER")) ++resends;
            if (!ZCaseEquals(request.getMethod(), L"PING")) continue;
            ZHTTPHeaders answer = answerTo(request, 200);
            answer.set(L"Observed-Host", request.get(L"Global-Host"));
            answer.set(L"Reported-Host", request.get(L"Global-Host"));
            rig.sip[0].answer(from, answer);
            ++answered;
        }
        rig.passUntil([&] {
            return log.count(L"Mapping hasn't changed after ") >= answered || rig.state() != ZDispatchService::Reregistering;
        });
    }
    EXPECT_GE(resends, 5);
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
    EXPECT_TRUE(log.contains(L"WARNING Re-registration timed out.  Wtf?"));
    EXPECT_EQ(rig.notifications(), std::vector<std::wstring>{L"DISCONNECTED"});
}

TEST(ZDispatchServiceReregistration, WithoutConnectionTimeOutsResendsWithoutEnd) {
    ZLogCapture log;
    Rig rig;
    rig.instance->set(L"Disable_Connection_Timeout", std::wstring(L"1"), false);
    toReregistering(rig);
    for (int i = 0; i < 12; ++i) {
        advance(1000000);
        rig.pass();
    }
    EXPECT_EQ(rig.state(), ZDispatchService::Reregistering);
    EXPECT_FALSE(log.contains(L"WARNING Re-registration timed out.  Wtf?"));
    ZHTTPHeaders registration;
    std::wstring from;
    EXPECT_TRUE(rig.sip[0].receive(L"REGISTER", registration, from));
}

TEST(ZDispatchServiceReregistration, PeerTrafficIsStillFiled) {
    Rig rig;
    toReregistering(rig);
    FakeHost peer;
    std::string rtp(20, '\0');
    rtp[0] = static_cast<char>(0x80);
    rtp[1] = 4;
    peer.send(rig.localHost, rtp);
    peer.send(rig.localHost, "BYE / HTTP/1.1\r\nCSeq: 4\r\n\r\n");
    ZMegaPortBucket* screen = nullptr;
    ZMegaPortBucket* sip = nullptr;
    rig.passUntil([&] {
        if (!screen) screen = rig.megaPort->getRTPBucket(4);
        if (!sip) sip = rig.megaPort->getSIPBucket();
        return screen && sip;
    });
    EXPECT_TRUE(screen);
    EXPECT_TRUE(sip);
    if (screen) rig.megaPort->returnEmptyBucket(screen);
    if (sip) rig.megaPort->returnEmptyBucket(sip);
}

// Sign-off.
TEST(ZDispatchServiceSignOff, UnregistersAndEndsOffline) {
    Rig rig;
    rig.instance->set(L"Local_Session_Key", L"0123456789abcdef0123456789abcdef", false);
    rig.goOnline();
    rig.notifications();
    rig.post(L"DISCONNECT");
    rig.pass();
    EXPECT_EQ(rig.state(), ZDispatchService::UNREGISTERING);
    const ZHTTPHeaders bye = rig.answerAtServer(L"UNREGISTER", 200);
    EXPECT_EQ(bye.get(L"Device-GUID"), L"device-1");
    // Only the key's holder may sign a device out.
    EXPECT_EQ(bye.get(L"Session-Key"), L"0123456789abcdef0123456789abcdef");
    rig.passUntilState(ZDispatchService::Offline);
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
    EXPECT_EQ(rig.notifications(), std::vector<std::wstring>{L"DISCONNECTED"});
    EXPECT_FALSE(rig.instance->isSet(L"Route_List"));
    EXPECT_EQ(rig.megaPort->getLocalHost(), L"0.0.0.0:0");
}

TEST(ZDispatchServiceSignOff, ASecondConnectionContinuesTheNumbering) {
    Rig rig;
    rig.goOnline();
    rig.post(L"DISCONNECT");
    rig.pass();
    const ZHTTPHeaders bye = rig.answerAtServer(L"UNREGISTER", 200);
    rig.passUntilState(ZDispatchService::Offline);
    const ZHTTPHeaders probe = rig.connect();
    EXPECT_GT(ZToInt64(probe.get(L"CSeq")), ZToInt64(bye.get(L"CSeq")));
    rig.answerProbe(probe, rig.localHost, true, true, true);
    rig.passUntilState(ZDispatchService::CHOOSESERVER);
    rig.answerAtServer(L"PING", 200);
    rig.passUntilState(ZDispatchService::Registering);
    rig.answerAtServer(L"REGISTER", 200);
    rig.passUntilState(ZDispatchService::Online);
    EXPECT_EQ(rig.state(), ZDispatchService::Online);
}

TEST(ZDispatchServiceSignOff, CommandsOutOfPlaceAreIgnored) {
    ZLogCapture log;
    Rig rig;
    rig.post(L"DISCONNECT");
    rig.pass();
    rig.connect();
    rig.post(L"CONNECT");
    rig.pass();
    EXPECT_TRUE(log.contains(L"WARNING Command 'DISCONNECT' ignored, no state change."));
    EXPECT_TRUE(log.contains(L"WARNING Command 'CONNECT' ignored, no state change."));
}

}  // namespace
