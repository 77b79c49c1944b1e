// The dispatch loop: what it files, what it hands its state machine, what it
// refuses, and that neither a flood nor a hostile answer gets in the way.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "ZDispatchTestRig.h"
#include "ZPortable.h"
#include "testing/ZTestUPnPGateway.h"

using namespace dispatchtest;

namespace {

std::string rtpPacket(std::uint8_t payloadType) {
    std::string packet(20, '\0');
    packet[0] = static_cast<char>(0x80);
    packet[1] = static_cast<char>(payloadType);
    return packet;
}

int countWarnings(const ZLogCapture& log) { return log.count(L"WARNING"); }

TEST(ZDispatchServiceLoop, DropsPeerTrafficBeforeRegistrationAndReusesTheBucket) {
    ZLogCapture log;
    Rig rig;
    rig.connect();
    FakeHost peer;
    peer.send(rig.localHost, rtpPacket(1));
    peer.send(rig.localHost, "INVITE / HTTP/1.1\r\nCSeq: 1\r\n\r\n");
    rig.passUntil([&] { return log.contains(L"WARNING Recieved request 'INVITE' but not ONLINE, ignoring."); });
    EXPECT_TRUE(log.contains(L"WARNING Received 20 RTP bytes but not ONLINE, ignoring."));
    EXPECT_TRUE(log.contains(L"WARNING Recieved request 'INVITE' but not ONLINE, ignoring."));
    EXPECT_EQ(rig.megaPort->getNumBucketsCreated(), rig.megaPort->getNumEmptyBuckets());
}

TEST(ZDispatchServiceLoop, FilesRTPAndSignallingOnceOnline) {
    Rig rig;
    rig.goOnline();
    FakeHost peer;
    peer.send(rig.localHost, rtpPacket(2));
    peer.send(rig.localHost, "INVITE / HTTP/1.1\r\nCSeq: 1\r\n\r\n");
    ZMegaPortBucket* rtp = nullptr;
    ZMegaPortBucket* sip = nullptr;
    rig.passUntil([&] {
        if (!rtp) rtp = rig.megaPort->getRTPBucket(2);
        if (!sip) sip = rig.megaPort->getSIPBucket();
        return rtp && sip;
    });
    ASSERT_TRUE(rtp);
    ASSERT_TRUE(sip);
    EXPECT_EQ(rtp->from, peer.host());
    EXPECT_EQ(rtp->to, rig.localHost);
    EXPECT_EQ(sip->buffer, "INVITE / HTTP/1.1\r\nCSeq: 1\r\n\r\n");
    rig.megaPort->returnEmptyBucket(rtp);
    rig.megaPort->returnEmptyBucket(sip);
}

TEST(ZDispatchServiceLoop, NeverFilesARequestThatCarriesItsOwnNumbering) {
    ZLogCapture log;
    Rig rig;
    rig.goOnline();
    FakeHost peer;
    peer.send(rig.localHost, "PING / HTTP/1.1\r\nCSeq: 3 (ZDispatchService)\r\n\r\n");
    rig.passUntil([&] { return log.contains(L"WARNING Received unexpected 'PING' request"); });
    EXPECT_EQ(rig.megaPort->getSIPBucket(), nullptr);
    EXPECT_TRUE(log.contains(L"WARNING Received unexpected 'PING' request from (" + peer.host() + L"), ignoring."));
}

TEST(ZDispatchServiceLoop, LogsAnUnreadableDatagramAsAnInvalidPacketInEveryState) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    rig.connect();
    FakeHost peer;
    peer.send(rig.localHost, "HOLEPUNCH");
    rig.passUntil([&] { return log.contains(L"Received invalid SIP packet, ignoring."); });
    EXPECT_TRUE(log.contains(L"Received invalid SIP packet, ignoring."));
}

TEST(ZDispatchServiceLoop, HandlesTwoQueuedCommandsInOnePassBeforeTheTick) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    rig.post(L"CONNECT");
    rig.post(L"RESET");
    rig.pass();
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
    EXPECT_TRUE(log.contains(L"Changing state from 'Offline' to 'STUN'"));
    EXPECT_TRUE(log.contains(L"Changing state from 'STUN' to 'Offline'"));
    EXPECT_EQ(rig.get(L"Dispatch_Status"), L"Offline");
    EXPECT_TRUE(rig.notifications().empty());
}

TEST(ZDispatchServiceLoop, ACommandEndsThePassWaitAlsoBeforeThereIsAPort) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    // A wait far beyond the test's patience: only the command can end it.
    rig.service->setPassWait(20 * kPatienceUs);
    std::future<void> pass = std::async(std::launch::async, [&] { rig.pass(); });
    rig.post(L"CONNECT");
    ASSERT_EQ(pass.wait_for(std::chrono::microseconds(kPatienceUs)), std::future_status::ready);
    EXPECT_TRUE(log.contains(L"Received command 'CONNECT'"));
    EXPECT_EQ(rig.state(), ZDispatchService::STUN);
}

TEST(ZDispatchServiceLoop, RefusesAMalformedCommandWithOneWarning) {
    ZLogCapture log;
    Rig rig;
    rig.instance->enqueue(L"ZDispatchService_commandQueue", "not a message");
    rig.pass();
    EXPECT_EQ(log.count(L"WARNING Malformed command sent to 'ZDispatchService_commandQueue', ignoring."), 1);
}

TEST(ZDispatchServiceLoop, AFloodOfDatagramsLeavesTheCommandsAndTheTickTheirTurn) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    rig.connect();
    FakeHost flooder;
    for (int i = 0; i < 600; ++i) flooder.send(rig.localHost, "garbage");
    rig.post(L"RESET");
    rig.pass();
    EXPECT_EQ(log.count(L"Received invalid SIP packet, ignoring."), ZDISPATCH_PACKETS_PER_PASS);
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
}

// Answers to the service's own requests that must change nothing: each is
// refused with exactly one warning. A "#" stands for the number the probe
// really carried.
struct HostileAnswer {
    const char* name;
    const char* cseq;
    bool fromStranger;
    const wchar_t* warning;
};

const HostileAnswer kHostileAnswers[] = {
    {"AnUnknownNumber", "77 (ZDispatchService)", false, L"WARNING: Assertion failed. (ZMAPCONTAINS( _cseqRequestMap, cseq ))"},
    {"ANumberTooLargeToRead", "99999999999999999999 (ZDispatchService)", false,
     L"WARNING: Assertion failed. (ZMAPCONTAINS( _cseqRequestMap, cseq ))"},
    {"ANumberWithTrailingText", "#x (ZDispatchService)", false, L"WARNING Received response with malformed CSeq"},
    {"TheRightNumberFromAStranger", "# (ZDispatchService)", true, L"which it was not sent to, ignoring."},
};

class RefusesAHostileAnswer : public ::testing::TestWithParam<HostileAnswer> {};

TEST_P(RefusesAHostileAnswer, WithOneWarningAndNoStateChange) {
    const HostileAnswer& row = GetParam();
    ZLogCapture log;
    Rig rig;
    const ZHTTPHeaders probe = rig.connect();
    FakeHost stranger;
    FakeHost& sender = row.fromStranger ? stranger : rig.stun[0];
    std::string cseq = row.cseq;
    if (cseq[0] == '#') cseq = std::to_string(ZToInt64(probe.get(L"CSeq"))) + cseq.substr(1);
    const std::string answer = std::string("HTTP/1.1 200 OK\r\nCSeq: ") + cseq + "\r\nGlobal-Host: " +
                               ZToUTF8(rig.localHost) + "\r\n\r\n";
    log.clear();
    sender.send(rig.localHost, answer);
    rig.passUntil([&] { return log.count(L"WARNING") > 0; });
    EXPECT_EQ(rig.state(), ZDispatchService::STUN);
    EXPECT_EQ(log.count(row.warning), 1);
    EXPECT_EQ(countWarnings(log), 1);
}

INSTANTIATE_TEST_SUITE_P(Table, RefusesAHostileAnswer, ::testing::ValuesIn(kHostileAnswers),
                         [](const ::testing::TestParamInfo<HostileAnswer>& info) { return std::string(info.param.name); });

TEST(ZDispatchServiceLoop, TakesAProbeAnswerOnlyFromTheThreeHostsItNamed) {
    Rig rig;
    const ZHTTPHeaders probe = rig.connect();
    // Host 4 and a stranger claim to answer the probe; neither counts.
    ZHTTPHeaders answer = answerTo(probe, 200);
    answer.set(L"Global-Host", rig.localHost);
    FakeHost stranger;
    stranger.answer(rig.localHost, answer);
    rig.stun[3].answer(rig.localHost, answer);
    rig.pass();
    advance(6000000);
    rig.pass();
    EXPECT_EQ(rig.get(L"Connection_Class"), L"FIREWALL");
}

TEST(ZDispatchServiceLoop, AResponseThatFailsIsWarnedAboutAndStillReachesTheStateMachine) {
    ZLogCapture log;
    LogCategory categories("P");
    Rig rig;
    const ZHTTPHeaders probe = rig.connect();
    rig.stun[0].answer(rig.localHost, answerTo(probe, 404, L"Not Found"));
    rig.passUntil([&] { return log.contains(L"WARNING Request 'STUN' failed with response #404 'Not Found'."); });
    EXPECT_TRUE(log.contains(L"WARNING Request 'STUN' failed with response #404 'Not Found'."));
    EXPECT_TRUE(log.contains(L"Received response #404 'Not Found' to request 'STUN' from (" + rig.stun[0].host() + L")"));
}

TEST(ZDispatchServiceLoop, DiscardsDirectDatagramsWhenUDPReceptionIsDisabled) {
    Rig rig;
    rig.instance->set(L"Disable_UDP_Recv", std::wstring(L"1"), false);
    const ZHTTPHeaders probe = rig.connect();
    rig.answerProbe(probe, rig.localHost, true, true, true);
    rig.pass();
    EXPECT_EQ(rig.state(), ZDispatchService::STUN);
}

TEST(ZDispatchServiceLoop, MapsThePortOnTheRouterWhileConnectedAndRemovesTheMappingOnReset) {
    ZLogCapture log;
    Rig rig;
    ZTestUPnPGateway gateway;
    ZNetUPnPSetGatewayURL(gateway.rootURL());
    rig.instance->set(L"UPnP_Low_Port", std::int64_t{50000}, false);
    rig.instance->set(L"UPnP_High_Port", std::int64_t{50010}, false);
    rig.connect();
    // The router is asked beside the connection, which does not wait for it.
    ASSERT_TRUE(rig.passUntil(
        [&] { return log.contains(L"] Opened UPnP mapping for (" + rig.localHost + L") with ("); }));
    const auto mapped = gateway.entries();
    ASSERT_EQ(mapped.size(), 1u);
    EXPECT_EQ(ZFromUTF8("127.0.0.1:" + std::to_string(mapped.begin()->second.internalPort)), rig.localHost);
    rig.post(L"RESET");
    rig.pass();
    EXPECT_TRUE(gateway.entries().empty());
    ZNetUPnPSetGatewayURL(L"http://127.0.0.1:1/rootDesc.xml");
}

TEST(ZDispatchServiceLoop, GoesOnWithoutAMappingWhenTheRouterHasNone) {
    ZLogCapture log;
    Rig rig;
    rig.connect();
    EXPECT_EQ(rig.state(), ZDispatchService::STUN);
    ASSERT_TRUE(rig.passUntil([&] { return log.contains(L"ACTIVITY: (alice@zandrel.net) [STUN] UPnP failed, ignoring."); }));
}

TEST(ZDispatchServiceLoop, TracesAPacketOnOneLineWhateverItHolds) {
    ZLogCapture log;
    LogCategory categories("K");
    Rig rig;
    rig.connect();
    FakeHost peer;
    peer.send(rig.localHost, "NOTE / HTTP/1.1\r\nCSeq: 1\r\nX-Forged: 261210_134425: ACTIVITY: forged\r\n\r\n");
    ASSERT_TRUE(rig.passUntil([&] { return log.contains(L"Received packet: NOTE"); }));
    for (const std::wstring& line : log.lines()) {
        if (line.find(L"Received packet: NOTE") == std::wstring::npos) continue;
        EXPECT_EQ(line.find(L'\n'), line.size() - 1);
        EXPECT_NE(line.find(L" | X-Forged: 261210_134425: ACTIVITY: forged"), std::wstring::npos);
    }
}

}  // namespace
