// The relay path: opening the relay, requests wrapped in SENDUDP frames,
// relayed datagrams filed, and the ways a relay can fail the client.
#include <gtest/gtest.h>

#include "ZDispatchTestRig.h"
#include "ZPortable.h"

using namespace dispatchtest;

namespace {

const wchar_t kAllocation[] = L"198.51.100.9:40000";

// Pretends a firewall: the first pass classifies and asks the relay.
ZHTTPHeaders toRelay(Rig& rig) {
    rig.instance->set(L"Pretend_Firewall", std::wstring(L"1"), false);
    rig.instance->set(L"Disable_UDP_Recv", std::wstring(L"1"), false);
    rig.post(L"CONNECT");
    rig.pass();
    EXPECT_EQ(rig.state(), ZDispatchService::TURN);
    for (FakeHost& h : rig.stun) h.listenTo(rig.get(L"Local_Host"));
    for (FakeHost& h : rig.sip) h.listenTo(rig.get(L"Local_Host"));
    ZHTTPHeaders open;
    EXPECT_TRUE(rig.relayReceive(open)) << "the relay was not asked";
    return open;
}

// The next datagram the client sends through the relay whose method is the given one.
bool relayedRequest(Rig& rig, const wchar_t* method, ZHTTPHeaders& request, std::wstring& to) {
    ZHTTPHeaders frame;
    while (rig.relay.receive(frame)) {
        if (!ZCaseEquals(frame.getMethod(), L"SENDUDP") || frame.getContentCount() != 1) continue;
        request.clear();
        request.deserialize(frame.getContent(0));
        to = frame.get(L"Remote-Host");
        if (ZCaseEquals(request.getMethod(), method)) return true;
    }
    return false;
}

// Answers the next relayed request of the method as the server it went to.
void answerThroughRelay(Rig& rig, const wchar_t* method, const wchar_t* header = nullptr,
                        const std::wstring& value = std::wstring()) {
    ZHTTPHeaders request;
    std::wstring to;
    ASSERT_TRUE(relayedRequest(rig, method, request, to));
    ZHTTPHeaders answer = answerTo(request, 200);
    if (header) answer.set(header, value);
    rig.relay.deliver(to, answer.serialize());
}

void onlineThroughRelay(Rig& rig) {
    const ZHTTPHeaders open = toRelay(rig);
    ZHTTPHeaders answer = answerTo(open, 200);
    answer.set(L"Global-Host", kAllocation);
    rig.relay.send(answer);
    ASSERT_TRUE(rig.passUntilState(ZDispatchService::CHOOSESERVER));
    answerThroughRelay(rig, L"PING");
    ASSERT_TRUE(rig.passUntilState(ZDispatchService::DEVICEGUID));
    answerThroughRelay(rig, L"DEVICEGUID", L"Device-GUID", L"device-r");
    ASSERT_TRUE(rig.passUntilState(ZDispatchService::Registering));
    answerThroughRelay(rig, L"REGISTER");
    ASSERT_TRUE(rig.passUntilState(ZDispatchService::Online));
}

class ARelayAnswerWithoutAnAddress : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(ARelayAnswerWithoutAnAddress, EndsTheAttemptNotTheProgram) {
    ZLogCapture log;
    Rig rig;
    const ZHTTPHeaders open = toRelay(rig);
    ZHTTPHeaders answer = answerTo(open, 200);
    if (*GetParam()) answer.set(L"Global-Host", GetParam());
    rig.relay.send(answer);
    EXPECT_NO_THROW(rig.passUntilState(ZDispatchService::Offline));
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
    EXPECT_TRUE(log.contains(L"WARNING 'TURN' response carries no valid 'Global-Host', disconnecting."));
    EXPECT_EQ(rig.notifications(), std::vector<std::wstring>{L"DISCONNECTED"});
}

INSTANTIATE_TEST_SUITE_P(Values, ARelayAnswerWithoutAnAddress, ::testing::Values(L"", L"0.0.0.0:0"));

TEST(ZDispatchServiceRelay, ARefusedRelayDisconnects) {
    ZLogCapture log;
    Rig rig;
    const ZHTTPHeaders open = toRelay(rig);
    rig.relay.send(answerTo(open, 503, L"Busy"));
    rig.passUntilState(ZDispatchService::Offline);
    EXPECT_TRUE(log.contains(L"WARNING 'TURN' request failed with response #503 'Busy', disconnecting."));
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
}

TEST(ZDispatchServiceRelay, ASilentRelayTimesOut) {
    ZLogCapture log;
    Rig rig;
    toRelay(rig);
    advance(6000000);
    rig.pass();
    EXPECT_TRUE(log.contains(L"WARNING 'TURN' request failed (or timed out), logon process failed."));
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
}

TEST(ZDispatchServiceRelay, RegistersTheRelayRouteAndHandsTheSocketToTheSwitchboard) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    rig.instance->set(L"Local_Session_Key", L"0123456789abcdef0123456789abcdef", false);
    const ZHTTPHeaders open = toRelay(rig);
    // The relay opens an allocation only for a signed-in user.
    EXPECT_EQ(open.get(L"Session-Key"), L"0123456789abcdef0123456789abcdef");
    ZHTTPHeaders answer = answerTo(open, 200);
    answer.set(L"Global-Host", kAllocation);
    rig.relay.send(answer);
    rig.passUntilState(ZDispatchService::CHOOSESERVER);
    const std::wstring routes = L"local://" + rig.get(L"Local_Host") + L", turn://" + kAllocation;
    EXPECT_TRUE(log.contains(L"TURN complete, connection class is 'FIREWALL' and route list is '" + routes + L"'"));
    answerThroughRelay(rig, L"PING");
    rig.passUntilState(ZDispatchService::DEVICEGUID);
    answerThroughRelay(rig, L"DEVICEGUID", L"Device-GUID", L"device-r");
    rig.passUntilState(ZDispatchService::Registering);
    ZHTTPHeaders registration;
    std::wstring to;
    ASSERT_TRUE(relayedRequest(rig, L"REGISTER", registration, to));
    EXPECT_EQ(registration.get(L"Route-List"), routes);
    rig.relay.deliver(to, answerTo(registration, 200).serialize());
    rig.passUntilState(ZDispatchService::Online);
    EXPECT_EQ(rig.state(), ZDispatchService::Online);
    EXPECT_EQ(rig.megaPort->getGlobalHost(), kAllocation);
    EXPECT_EQ(rig.get(L"SIP_Ping"), L"-");
}

// Senders a relay frame may name that are no sender at all.
const wchar_t* const kNoSenders[] = {L"0.0.0.0:0", L"", L"relay.example:5000", L"300.1.2.3:5000", L"1.2.3.4:70000",
                                     L"1.2.3.4", L"1.2.3.4:5:6", L"1.2.3:5000"};

class ARelayedDatagramWithoutASender : public ::testing::TestWithParam<const wchar_t*> {};

TEST_P(ARelayedDatagramWithoutASender, IsDroppedAndTheNextIsFiled) {
    ZLogCapture log;
    Rig rig;
    onlineThroughRelay(rig);
    std::string rtp(20, '\0');
    rtp[0] = static_cast<char>(0x80);
    rtp[1] = 1;
    log.clear();
    rig.relay.deliver(GetParam(), rtp);
    rig.relay.deliver(L"192.0.2.44:5000", rtp);
    ZMegaPortBucket* bucket = nullptr;
    EXPECT_TRUE(rig.passUntil([&] { return (bucket = rig.megaPort->getRTPBucket(1)) != nullptr; }));
    EXPECT_EQ(log.count(L"WARNING Received relay data from TURN server with invalid remote host ("), 1);
    ASSERT_TRUE(bucket);
    EXPECT_EQ(bucket->from, L"192.0.2.44:5000");
    EXPECT_EQ(bucket->to, kAllocation);
    EXPECT_EQ(rig.megaPort->getRTPBucket(1), nullptr);
    rig.megaPort->returnEmptyBucket(bucket);
}

INSTANTIATE_TEST_SUITE_P(Senders, ARelayedDatagramWithoutASender, ::testing::ValuesIn(kNoSenders));

TEST(ZDispatchServiceRelay, DiscardsDirectDatagramsButFilesRelayedOnes) {
    Rig rig;
    onlineThroughRelay(rig);
    FakeHost peer;
    peer.send(rig.get(L"Local_Host"), "INVITE / HTTP/1.1\r\nCSeq: 1\r\n\r\n");
    rig.relay.deliver(peer.host(), "BYE / HTTP/1.1\r\nCSeq: 2\r\n\r\n");
    ZMegaPortBucket* bucket = nullptr;
    rig.passUntil([&] { return (bucket = rig.megaPort->getSIPBucket()) != nullptr; });
    ASSERT_TRUE(bucket);
    EXPECT_EQ(bucket->buffer, "BYE / HTTP/1.1\r\nCSeq: 2\r\n\r\n");
    EXPECT_EQ(rig.megaPort->getSIPBucket(), nullptr);
    rig.megaPort->returnEmptyBucket(bucket);
}

TEST(ZDispatchServiceRelay, OnlineWithoutKeepAliveOrRefreshTests) {
    Rig rig;
    onlineThroughRelay(rig);
    advance(3000000);
    rig.pass();
    std::string bytes;
    std::wstring from;
    EXPECT_FALSE(rig.sip[0].receiveRaw(bytes, from, 100000));
    EXPECT_FALSE(rig.stun[3].receiveRaw(bytes, from, 100000));
    EXPECT_EQ(rig.state(), ZDispatchService::Online);
}

TEST(ZDispatchServiceRelay, ALostRelayDisconnectsTheClient) {
    ZLogCapture log;
    Rig rig;
    onlineThroughRelay(rig);
    rig.notifications();
    rig.relay.close();
    rig.passUntilState(ZDispatchService::Offline);
    EXPECT_TRUE(log.contains(L"WARNING 'TURN' request failed (or timed out), disconnected."));
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
    EXPECT_EQ(rig.notifications(), std::vector<std::wstring>{L"DISCONNECTED"});
}

TEST(ZDispatchServiceRelay, SignsOffThroughTheRelay) {
    Rig rig;
    onlineThroughRelay(rig);
    rig.post(L"DISCONNECT");
    rig.pass();
    answerThroughRelay(rig, L"UNREGISTER");
    rig.passUntilState(ZDispatchService::Offline);
    EXPECT_EQ(rig.state(), ZDispatchService::Offline);
}

}  // namespace
