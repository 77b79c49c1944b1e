#include <memory>
#include <string>
#include <vector>

#include "ZSIPClient.h"
#include "ZSIPTestPeer.h"
#include "ZTestSupport.h"

using namespace siptest;

namespace {

ZHTTPHeaders request(const std::wstring& method) {
    ZHTTPHeaders m;
    m.setMethod(method);
    m.set(L"From", L"alice@zandrel.test");
    return m;
}

// Moves the clock on and lets the layer re-send what is due.
void tickTo(SIPPeer& peer, RecordingListener& listener, std::int64_t sinceStart, std::int64_t start) {
    fakeNow() = start + sinceStart;
    peer.sip().dispatch(&listener);
}

}  // namespace

TEST(ZSIPClient, ResendsToASilentPeerFiveTimesInAllThenStops) {
    SIPPeer a(L"a");
    UDPSink silent;
    RecordingListener listener;
    const std::int64_t start = fakeNow();
    a.sip().sendRequest(L"", silent.host(), request(L"INVITE"), true);
    // Twice per window: a second pass inside the same window must not re-send.
    for (std::int64_t ms : {500, 1100, 1200, 2100, 2200, 4100, 4200, 8100, 8200, 16000, 20000, 31000})
        tickTo(a, listener, ms * 1000, start);
    a.port().send(L"", silent.host(), std::string("END"));

    const std::vector<Datagram> copies = silent.receiveUntil("END");
    ASSERT_EQ(copies.size(), 5u);
    for (const Datagram& copy : copies) {
        EXPECT_EQ(copy.bytes, copies[0].bytes) << "a re-send is the request exactly as first sent";
        EXPECT_EQ(copy.message().get(L"CSeq"), L"1");
    }
}

TEST(ZSIPClient, NeverResendsARequestSentWithoutRetransmissionYetMatchesItsAnswer) {
    SIPPeer a(L"a");
    SIPPeer b(L"b");
    RecordingListener aListener;
    RecordingListener bListener(&b.sip());
    const std::int64_t start = fakeNow();
    a.sip().sendRequest(L"", b.host(), request(L"PING"), false);
    tickTo(a, aListener, 9000000, start);
    ASSERT_EQ(b.pump(), 1);
    b.sip().dispatch(&bListener);
    ASSERT_EQ(a.pump(), 1);
    a.sip().dispatch(&aListener);
    ASSERT_EQ(aListener.responses.size(), 1u);
    EXPECT_EQ(aListener.responses[0].request.getMethod(), L"PING");
    EXPECT_EQ(aListener.responses[0].response.getResponse(), 200);
}

TEST(ZSIPClient, ARepeatedRequestIsAnsweredFromTheCacheAndTheListenerHearsItOnce) {
    SIPPeer a(L"a");
    SIPPeer b(L"b");
    RecordingListener aListener;
    RecordingListener bListener(&b.sip());
    const std::int64_t start = fakeNow();
    a.sip().sendRequest(L"", b.host(), request(L"DEVICEBROADCAST"), true);
    ASSERT_EQ(b.pump(), 1);
    b.sip().dispatch(&bListener);
    // a ignores the first answer (as if lost) and re-sends after 1 s.
    ASSERT_EQ(a.pump(), 1);
    while (ZMegaPortBucket* lost = a.port().getSIPBucket()) a.port().returnEmptyBucket(lost);
    tickTo(a, aListener, 1100000, start);
    ASSERT_EQ(b.pump(), 1);
    b.sip().dispatch(&bListener);
    EXPECT_EQ(bListener.requests.size(), 1u) << "the repeat must not reach the listener";

    ASSERT_EQ(a.pump(), 1);
    a.sip().dispatch(&aListener);
    ASSERT_EQ(aListener.responses.size(), 1u);
    EXPECT_EQ(aListener.responses[0].response.get(L"Answer-For"), a.host());
}

TEST(ZSIPClient, TwoPeersUsingTheSameCSeqBothReachTheListenerAndEachGetsItsOwnAnswer) {
    SIPPeer a(L"a");
    SIPPeer c(L"c");
    SIPPeer b(L"b");
    RecordingListener aListener;
    RecordingListener cListener;
    RecordingListener bListener(&b.sip());
    a.sip().sendRequest(L"", b.host(), request(L"PING"), true);
    c.sip().sendRequest(L"", b.host(), request(L"PING"), true);
    for (int i = 0; i < 2 && bListener.requests.size() < 2; ++i) {
        b.pump();
        b.sip().dispatch(&bListener);
    }
    ASSERT_EQ(bListener.requests.size(), 2u);
    EXPECT_EQ(bListener.requests[0].request.get(L"CSeq"), L"1");
    EXPECT_EQ(bListener.requests[1].request.get(L"CSeq"), L"1");

    ASSERT_EQ(a.pump(), 1);
    a.sip().dispatch(&aListener);
    ASSERT_EQ(c.pump(), 1);
    c.sip().dispatch(&cListener);
    ASSERT_EQ(aListener.responses.size(), 1u);
    ASSERT_EQ(cListener.responses.size(), 1u);
    EXPECT_EQ(aListener.responses[0].response.get(L"Answer-For"), a.host());
    EXPECT_EQ(cListener.responses[0].response.get(L"Answer-For"), c.host());
}

TEST(ZSIPClient, OneOwnersCancelLeavesAnotherOwnersPendingRequestAnswerable) {
    ZLogCapture log;
    SIPPeer a(L"a");
    SIPPeer b(L"b");
    RecordingListener aListener;
    RecordingListener bListener(&b.sip());
    int sessionX = 0;
    int sessionY = 0;
    a.sip().sendRequest(L"", b.host(), request(L"UPDATE"), true, &sessionX);
    a.sip().sendRequest(L"", b.host(), request(L"BYE"), true, &sessionY);
    a.sip().cancel(&sessionX);

    for (int i = 0; i < 2 && bListener.requests.size() < 2; ++i) {
        b.pump();
        b.sip().dispatch(&bListener);
    }
    ASSERT_EQ(bListener.requests.size(), 2u);
    for (int i = 0; i < 2 && log.count(L"unknown CSEQ") + static_cast<int>(aListener.responses.size()) < 2; ++i) {
        a.pump();
        a.sip().dispatch(&aListener);
    }
    ASSERT_EQ(aListener.responses.size(), 1u);
    EXPECT_EQ(aListener.responses[0].request.getMethod(), L"BYE");
    EXPECT_EQ(log.count(L"WARNING Received response with unknown CSEQ '1' from '" + b.host() + L"', ignoring."), 1);
}

TEST(ZSIPClient, NumbersFromAnUnguessableStartAndWrapsPastTheLargestNumber) {
    // Each instance draws its own start, far from the small numbers a
    // stranger would try first.
    UDPSink sink;
    std::vector<std::wstring> firsts;
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<ZMegaPort> port(ZSAFENEW(ZMegaPort, L"r"));
        ZNetUDPPort* udp = openExclusivePort();
        port->setUDPPort(udp);
        {
            std::unique_ptr<ZSIPClient> sip(ZSAFENEW(ZSIPClient, port.get()));
            sip->sendRequest(L"", sink.host(), request(L"PING"), false);
            port->send(L"", sink.host(), std::string("END"));
        }
        const std::vector<Datagram> sent = sink.receiveUntil("END");
        ASSERT_EQ(sent.size(), 1u);
        firsts.push_back(sent[0].message().get(L"CSeq"));
        port->reset();
        ZNetUDPPortClose(udp);
    }
    EXPECT_NE(firsts[0], firsts[1]);
    for (const std::wstring& first : firsts) {
        EXPECT_GT(ZToInt64(first), 1000) << "a start among the first numbers";
        EXPECT_LE(ZToInt64(first), 0x7FFFFFFF);
    }
    EXPECT_EQ(ZSIPNextCSeq(0x7FFFFFFF), 1);
    EXPECT_EQ(ZSIPNextCSeq(41), 42);
}

TEST(ZSIPClient, KeepsCountingAfterAResetSoNoNumberIsUsedTwice) {
    SIPPeer a(L"a");
    UDPSink sink;
    a.sip().sendRequest(L"", sink.host(), request(L"PING"), false);
    a.sip().sendRequest(L"", sink.host(), request(L"PING"), false);
    a.sip().reset();
    EXPECT_EQ(a.sip().getNumRequestRecords(), 0);
    a.sip().sendRequest(L"", sink.host(), request(L"PING"), false);
    a.port().send(L"", sink.host(), std::string("END"));
    const std::vector<Datagram> sent = sink.receiveUntil("END");
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[2].message().get(L"CSeq"), L"3");
}

TEST(ZSIPClient, StampsEachRequestWithItsNumberAndPath) {
    SIPPeer a(L"a");
    UDPSink sink;
    ZHTTPHeaders original = request(L"INVITE");
    a.sip().sendRequest(L"", sink.host(), original, true);
    a.sip().sendRequest(a.host(), sink.host(), original, true);
    EXPECT_FALSE(original.isSet(L"CSeq")) << "the caller's message is never changed";
    a.port().send(L"", sink.host(), std::string("END"));
    const std::vector<Datagram> all = sink.receiveUntil("END");
    ASSERT_EQ(all.size(), 2u);
    const ZHTTPHeaders first = all[0].message();
    const ZHTTPHeaders second = all[1].message();
    EXPECT_EQ(first.get(L"Sent-From"), L"");
    EXPECT_EQ(first.get(L"Sent-From-Type"), L"turn") << "an empty source leaves the path to the switchboard";
    EXPECT_EQ(first.get(L"Sent-To"), sink.host());
    EXPECT_EQ(second.get(L"CSeq"), L"2");
    EXPECT_EQ(second.get(L"Sent-From"), a.host());
    EXPECT_EQ(second.get(L"Sent-From-Type"), L"local");
    EXPECT_FALSE(second.isSet(L"Sent-To-Type"));
}

TEST(ZSIPClient, RefusesSendsWithoutAUsableAddress) {
    struct Row {
        const char* what;
        std::wstring from, to;
        bool response;
        const wchar_t* warning;
    };
    const std::vector<Row> rows = {
        {"request to nowhere", L"", L"", false,
         L"WARNING Attempting to send 'PING' but invalid destination (), ignoring."},
        {"request to no address", L"", L"0.0.0.0:0", false,
         L"WARNING Attempting to send 'PING' but invalid destination (0.0.0.0:0), ignoring."},
        {"request from no address", L"0.0.0.0:0", L"127.0.0.1:9", false,
         L"WARNING Attempting to send 'PING' but invalid source (0.0.0.0:0), ignoring."},
        {"response from an empty source", L"", L"127.0.0.1:9", true,
         L"WARNING Attempting to respond #200 'OK' to request 'PING' but invalid source (), ignoring."},
        {"response to no address", L"127.0.0.1:9", L"0.0.0.0:0", true,
         L"WARNING Attempting to respond #200 'OK' to request 'PING' but invalid destination (0.0.0.0:0), ignoring."},
    };
    SIPPeer a(L"a");
    for (const Row& row : rows) {
        ZLogCapture log;
        if (row.response)
            a.sip().sendResponse(row.from, row.to, request(L"PING"), response(200, L"OK"));
        else
            a.sip().sendRequest(row.from, row.to, request(L"PING"), true);
        EXPECT_EQ(log.count(row.warning), 1) << row.what;
        EXPECT_EQ(a.sip().getNumRequestRecords(), 0) << row.what;
        EXPECT_EQ(a.sip().getNumResponseRecords(), 0) << row.what;
    }
}

TEST(ZSIPClient, FansARequestOutOverTheRouteListAndOneGroupAnswerSilencesEveryCopy) {
    ZLogCapture log;
    SIPPeer a(L"a");
    UDPSink peer;
    RecordingListener listener;
    const std::int64_t start = fakeNow();
    const std::wstring routes =
        L"local://" + peer.host() + L", symmetric://" + peer.host() + L", public://" + peer.host();
    a.sip().sendRequestToRouteList(routes, request(L"ACK"), true);
    EXPECT_EQ(log.count(L"WARNING Route 'symmetric://" + peer.host() + L"' not supported yet, ignoring."), 1);
    a.port().send(L"", peer.host(), std::string("END"));
    const std::vector<Datagram> copies = peer.receiveUntil("END");
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(copies[0].message().get(L"CSeq"), L"1");
    EXPECT_EQ(copies[1].message().get(L"CSeq"), L"2");
    EXPECT_EQ(copies[0].message().get(L"CSeq-Group"), L"1, 2");
    EXPECT_EQ(copies[0].message().get(L"Sent-To-Type"), L"local");
    EXPECT_EQ(copies[1].message().get(L"Sent-To-Type"), L"public");

    // The peer answers copy 2 naming the whole group.
    ZHTTPHeaders ok = response(200, L"OK");
    ok.set(L"CSeq", L"2");
    ok.set(L"CSeq-Group", L"1, 2, 77");
    ZNetUDPPortSend(peer.port(), a.host(), ok.serialize().data(), static_cast<int>(ok.serialize().size()));
    ASSERT_EQ(a.pump(), 1);
    tickTo(a, listener, 3000000, start);
    ASSERT_EQ(listener.responses.size(), 1u);
    EXPECT_EQ(log.count(L"WARNING Trying to record response to invalid member '77' of CSeq-Group '1, 2, 77'"), 1);
    a.port().send(L"", peer.host(), std::string("END"));
    EXPECT_TRUE(peer.receiveUntil("END").empty()) << "no copy of an answered group is re-sent";
}

TEST(ZSIPClient, KeepsOnlyRouteEntriesOfKnownTypesWithDottedAddresses) {
    struct Row {
        std::wstring list;
        std::wstring kept;
        int refused;
    };
    std::wstring nine;
    for (int i = 1; i <= 9; ++i) nine += L"local://10.0.0." + std::to_wstring(i) + L":5000, ";
    const std::vector<Row> rows = {
        {L"local://10.0.0.1:5000, turn://1.2.3.4:80", L"local://10.0.0.1:5000, turn://1.2.3.4:80", 0},
        {L"PUBLIC://1.2.3.4:80;restricted://1.2.3.4:81", L"PUBLIC://1.2.3.4:80, restricted://1.2.3.4:81", 0},
        {L"evil://1.2.3.4:80", L"", 1},
        {L"local://host.example:80", L"", 1},
        {L"local://1.2.3.4", L"", 1},
        {L"local://256.2.3.4:80", L"", 1},
        {L"local://1.2.3.4:0", L"", 1},
        {L"local://255.255.255.255:9, local://10.0.0.1:5000", L"local://10.0.0.1:5000", 1},
        {L"turn://224.0.0.251:5353", L"", 1},
        {L"local://0.0.0.0:5000", L"", 1},
        {L"local://1.2.3.4:70000", L"", 1},
        {L"local://1.2.3.4:80)", L"", 1},
        {L"local:1.2.3.4:80", L"", 1},
        {nine, nine.substr(0, nine.rfind(L"local://10.0.0.9") - 2), 1},
    };
    for (const Row& row : rows) {
        int refused = -1;
        EXPECT_EQ(ZSIPCleanRouteList(row.list, &refused), row.kept) << ZToUTF8(row.list);
        EXPECT_EQ(refused, row.refused) << ZToUTF8(row.list);
    }
}

TEST(ZSIPClient, LetsRecordsGoOnceTheirTimeIsOverSoLongRunsStayBounded) {
    SIPPeer a(L"a");
    SIPPeer b(L"b");
    RecordingListener aListener;
    RecordingListener bListener(&b.sip());
    const std::int64_t start = fakeNow();
    for (int i = 0; i < 50; ++i) a.sip().sendRequest(L"", b.host(), request(L"PING"), false);
    int received = 0;
    for (int i = 0; i < 50 && received < 50; ++i) received += b.pump();
    ASSERT_EQ(received, 50);
    b.sip().dispatch(&bListener);
    EXPECT_EQ(a.sip().getNumRequestRecords(), 50);
    EXPECT_EQ(b.sip().getNumResponseRecords(), 50);
    fakeNow() = start + ZSIP_RECORD_LIFETIME + 1;
    a.sip().dispatch(&aListener);
    b.sip().dispatch(&bListener);
    EXPECT_EQ(a.sip().getNumRequestRecords(), 0);
    EXPECT_EQ(b.sip().getNumResponseRecords(), 0);
}

TEST(ZSIPClient, RefusesMalformedOrLineForgingDatagramsWithOneWarningAndNeverHandsThemOn) {
    struct Row {
        const char* what;
        std::string bytes;
        const wchar_t* warning;
    };
    const std::vector<Row> rows = {
        {"not a message", "\x01\x02 not a message", L"WARNING: Assertion failed. (headers.deserialize( bucket->buffer ))"},
        {"a method holding a line feed", "PING\\nfake: [X] ACTIVITY / HTTP/1.1\r\nCSeq: 1\r\n\r\n",
         L"WARNING Received message with control characters from ("},
        {"a CSeq holding a line feed", "PING / HTTP/1.1\r\nCSeq: 1\\nfake\r\n\r\n",
         L"WARNING Received message with control characters from ("},
    };
    for (const Row& row : rows) {
        ZLogCapture log;
        SIPPeer a(L"a");
        UDPSink peer;
        RecordingListener listener;
        ZNetUDPPortSend(peer.port(), a.host(), row.bytes.data(), static_cast<int>(row.bytes.size()));
        ASSERT_EQ(a.pump(), 1);
        a.sip().dispatch(&listener);
        EXPECT_TRUE(listener.requests.empty()) << row.what;
        EXPECT_TRUE(listener.responses.empty()) << row.what;
        EXPECT_EQ(log.count(row.warning), 1) << row.what;
    }
}
