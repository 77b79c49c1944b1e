// The signalling servers, driven through the real process on loopback.
#include <gtest/gtest.h>

#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

class SignalServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    int sip() const { return server.port(5); }
    ZTempDir dir;
    ServerProcess server{dir.file("data")};
};

std::wstring wide(const std::string& s) { return ZFromUTF8(s); }

}  // namespace

TEST_F(SignalServer, AnswersPingWithTheObservedAndTheReportedHost) {
    UDPClient client;
    for (int port : {server.port(5), server.port(6)}) {
        const ZHTTPHeaders answer =
            client.ask(port, request(L"PING", {{L"CSeq", L"3 (ZDispatchService)"}, {L"Global-Host", L"1.2.3.4:5"},
                                               {L"Timestamp", L"13300000000000000"}}));
        ASSERT_EQ(answer.getResponse(), 200) << port;
        EXPECT_EQ(answer.get(L"Observed-Host"), wide(client.host()));
        EXPECT_EQ(answer.get(L"Reported-Host"), L"1.2.3.4:5");
        EXPECT_EQ(answer.get(L"CSeq"), L"3 (ZDispatchService)");
    }
}

// Answers are written into buffers kept from one datagram to the next:
// nothing of an earlier, longer answer may show in a later one.
TEST_F(SignalServer, EachAnswerHoldsOnlyItsOwnFields) {
    UDPClient client;
    const std::wstring key = authenticate(server.port(0), L"kim", L"pw", L"k@example.org").get(L"Session-Key");
    const ZHTTPHeaders identity =
        client.ask(sip(), request(L"DEVICEGUID", {{L"CSeq", L"1 with a long sequence text"}, {L"Session-Key", key}}));
    ASSERT_FALSE(identity.get(L"Device-GUID").empty());
    const ZHTTPHeaders refused = client.ask(sip(), request(L"NOSUCHMETHOD", {{L"CSeq", L"2"}}));
    ASSERT_EQ(refused.getResponse(), 501);

    std::string bytes;
    int fromPort = 0;
    client.sendRaw(sip(), "PING / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(client.receiveRaw(bytes, fromPort));
    EXPECT_EQ(bytes, "HTTP/1.1 200 OK\r\nDebug-Original-Method: PING\r\nObserved-Host: " + client.host() +
                         "\r\nReported-Host: \r\n\r\n");
}

TEST_F(SignalServer, GivesOneDeviceIdentityForAResentRequestAndANewOneForTheNext) {
    UDPClient client;
    const std::wstring key = authenticate(server.port(0), L"ida", L"pw", L"i@example.org").get(L"Session-Key");
    ASSERT_EQ(key.size(), 32u);
    const auto ask = [&](const wchar_t* cseq) {
        return client.ask(sip(), request(L"DEVICEGUID", {{L"CSeq", cseq}, {L"Session-Key", key}})).get(L"Device-GUID");
    };
    const std::wstring first = ask(L"4 (ZDispatchService)");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(ask(L"4 (ZDispatchService)"), first);
    const std::wstring second = ask(L"5 (ZDispatchService)");
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, first);
    EXPECT_EQ(ZNormalizeGUID(first), first);
}

TEST_F(SignalServer, RegistersAKnownDeviceAndRefusesAnUnknownOne) {
    UDPClient client;
    const std::wstring key = authenticate(server.port(0), L"ann", L"pw", L"a@example.org").get(L"Session-Key");
    const std::wstring device =
        client.ask(sip(), request(L"DEVICEGUID", {{L"CSeq", L"1"}, {L"Session-Key", key}})).get(L"Device-GUID");
    const auto reg = [&](const std::wstring& user, const std::wstring& guid) {
        return client
            .ask(sip(), request(L"REGISTER", {{L"CSeq", L"2"}, {L"From", user}, {L"Device-GUID", guid},
                                              {L"Version", L"764"}, {L"Route-List", L"local://127.0.0.1:1"},
                                              {L"Session-Key", key}}))
            .getResponse();
    };
    EXPECT_EQ(reg(L"ann@zandrel.net", L"00000000-0000-0000-0000-000000000000"), 404);
    EXPECT_EQ(reg(L"nobody@zandrel.net", device), 404);
    EXPECT_EQ(reg(L"ann@zandrel.net", device), 200);
    const ZHTTPHeaders bye = client.ask(
        sip(), request(L"UNREGISTER", {{L"CSeq", L"3"}, {L"From", L"ann@zandrel.net"}, {L"Device-GUID", device},
                                       {L"Session-Key", key}}));
    EXPECT_EQ(bye.getResponse(), 200);
}

TEST_F(SignalServer, KeepsADeviceToTheUserWhoRegisteredItFirst) {
    UDPClient a;
    UDPClient b;
    const Device ann = signUpAndRegister(server, a, L"ann", L"local://127.0.0.1:1");
    ASSERT_FALSE(ann.guid.empty());
    const std::wstring key = authenticate(server.port(0), L"mallory", L"pw", L"m@example.org").get(L"Session-Key");
    const ZHTTPHeaders stolen = b.ask(sip(), request(L"REGISTER", {{L"CSeq", L"2"}, {L"From", L"mallory@zandrel.net"},
                                                                   {L"Device-GUID", ann.guid}, {L"Session-Key", key}}));
    EXPECT_EQ(stolen.getResponse(), 403);
}

TEST_F(SignalServer, StoresTheBuddyListAndGivesItBack) {
    UDPClient client;
    const Device d = signUpAndRegister(server, client, L"ben", L"local://127.0.0.1:1");
    ASSERT_FALSE(d.guid.empty());
    const ZHTTPHeaders set = client.ask(
        sip(), request(L"SETBUDDYLIST", {{L"CSeq", L"10"}, {L"From", d.user}, {L"Session-Key", d.key},
                                         {L"Buddy-List", L"cat@zandrel.net, Dog@zandrel.net;eve@other.org"}}));
    ASSERT_EQ(set.getResponse(), 200);
    const ZHTTPHeaders got =
        client.ask(sip(), request(L"GETBUDDYLIST", {{L"CSeq", L"11"}, {L"From", d.user}, {L"Session-Key", d.key}}));
    ASSERT_EQ(got.getResponse(), 200);
    std::list<std::wstring> list;
    ZParseList(list, got.get(L"Buddy-List"));
    EXPECT_EQ(list, (std::list<std::wstring>{L"cat@zandrel.net", L"dog@zandrel.net", L"eve@other.org"}));
}

TEST_F(SignalServer, TakesBuddyRequestsOnlyFromAnAddressWhereTheUserIsRegistered) {
    UDPClient owner;
    UDPClient stranger;
    const Device d = signUpAndRegister(server, owner, L"cleo", L"local://127.0.0.1:1");
    ASSERT_FALSE(d.guid.empty());
    for (const wchar_t* method : {L"GETBUDDYLIST", L"SETBUDDYLIST", L"BUGREPORT", L"ADDBUDDY", L"INVITE"}) {
        const ZHTTPHeaders answer =
            stranger.ask(sip(), request(method, {{L"CSeq", L"1"}, {L"From", d.user}, {L"To", d.user},
                                                 {L"Session-Key", d.key},
                                                 {L"Buddy-List", L"x@zandrel.net"}, {L"Buddy-GUID", d.user}}));
        EXPECT_EQ(answer.getResponse(), 403) << ZToUTF8(method);
    }
}

TEST_F(SignalServer, AddsAKnownBuddyAndRefusesAnUnknownOne) {
    UDPClient client;
    const Device d = signUpAndRegister(server, client, L"dora", L"local://127.0.0.1:1");
    ASSERT_FALSE(d.guid.empty());
    ASSERT_EQ(authenticate(server.port(0), L"ed", L"pw", L"e@example.org").getResponse(), 200);
    const auto add = [&](const wchar_t* buddy) {
        return client
            .ask(sip(), request(L"ADDBUDDY", {{L"CSeq", L"5"}, {L"From", d.user}, {L"Buddy-GUID", buddy},
                                              {L"Session-Key", d.key}}))
            .getResponse();
    };
    EXPECT_EQ(add(L"ed@zandrel.net"), 200);
    EXPECT_EQ(add(L"ghost@zandrel.net"), 404);
    EXPECT_EQ(add(L""), 404);
}

TEST_F(SignalServer, StoresABugReport) {
    UDPClient client;
    const Device d = signUpAndRegister(server, client, L"fay", L"local://127.0.0.1:1");
    ASSERT_FALSE(d.guid.empty());
    const ZHTTPHeaders answer = client.ask(
        sip(), request(L"BUGREPORT", {{L"CSeq", L"8"}, {L"From", d.user}, {L"Session-Key", d.key},
                                      {L"Email", L"f@example.org"},
                                      {L"Text", L"The window flickers-Report-4711"}}));
    EXPECT_EQ(answer.getResponse(), 200);
    ASSERT_EQ(server.stop(), 0);
    const std::string db = ZTestReadFile(server.dataFolder() + "/zandrel.db") +
                           ZTestReadFile(server.dataFolder() + "/zandrel.db-wal");
    EXPECT_NE(db.find("The window flickers-Report-4711"), std::string::npos);
}

TEST_F(SignalServer, NeverAnswersAHolePunchRequest) {
    UDPClient client;
    client.send(sip(), request(L"HOLEPUNCH", {{L"CSeq", L"1"}, {L"Sent-From", L"9.9.9.9:9"}}));
    client.send(sip(), request(L"PING", {{L"CSeq", L"2"}}));
    ZHTTPHeaders answer;
    int from = 0;
    ASSERT_TRUE(client.receive(answer, from));
    EXPECT_EQ(answer.get(L"CSeq"), L"2");
}

TEST_F(SignalServer, HandsOneSourceOnlyAFewNewDeviceIdentitiesAtATime) {
    UDPClient greedy;
    const std::wstring key = authenticate(server.port(0), L"hal", L"pw", L"h@example.org").get(L"Session-Key");
    const auto ask = [&](const UDPClient& from, const std::wstring& cseq) {
        return from.ask(sip(), request(L"DEVICEGUID", {{L"CSeq", cseq}, {L"Session-Key", key}}));
    };
    std::wstring last;
    for (int i = 0; i < 16; ++i) {
        last = ask(greedy, ZToString(i)).get(L"Device-GUID");
        ASSERT_FALSE(last.empty()) << i;
    }
    EXPECT_EQ(ask(greedy, L"16").getResponse(), 503);
    EXPECT_EQ(ask(greedy, L"15").get(L"Device-GUID"), last);
    // The budget is the user's: another port does not renew it, another
    // user has its own.
    UDPClient other;
    EXPECT_EQ(ask(other, L"16").getResponse(), 503);
    const std::wstring otherKey = authenticate(server.port(0), L"ida", L"pw", L"i@example.org").get(L"Session-Key");
    EXPECT_EQ(other.ask(sip(), request(L"DEVICEGUID", {{L"CSeq", L"17"}, {L"Session-Key", otherKey}})).getResponse(),
              200);
}

TEST_F(SignalServer, KeepsTheContactOfARegistrationWhenItsResendComesFromElsewhere) {
    UDPClient relayed;
    UDPClient direct;
    const Device d = signUpAndRegister(server, relayed, L"gus", L"turn://127.0.0.1:1");
    ASSERT_FALSE(d.guid.empty());
    // The same REGISTER (same CSeq) again, from the client's other path.
    const ZHTTPHeaders resend = direct.ask(sip(), request(L"REGISTER", {{L"CSeq", L"2 (ZDispatchService)"},
                                                                         {L"From", d.user},
                                                                         {L"Device-GUID", d.guid},
                                                                         {L"Route-List", L"turn://127.0.0.1:1"},
                                                                         {L"Session-Key", d.key}}));
    EXPECT_EQ(resend.getResponse(), 200);
    const auto list = [&](const UDPClient& from, const wchar_t* cseq) {
        return from.ask(sip(), request(L"GETBUDDYLIST", {{L"CSeq", cseq}, {L"From", d.user}, {L"Session-Key", d.key}}))
            .getResponse();
    };
    EXPECT_EQ(list(relayed, L"9"), 200);
    // A new registration moves it.
    const ZHTTPHeaders moved = direct.ask(sip(), request(L"REGISTER", {{L"CSeq", L"3 (ZDispatchService)"},
                                                                        {L"From", d.user},
                                                                        {L"Device-GUID", d.guid},
                                                                        {L"Session-Key", d.key}}));
    EXPECT_EQ(moved.getResponse(), 200);
    EXPECT_EQ(list(relayed, L"10"), 403);
    EXPECT_EQ(list(direct, L"11"), 200);
}
