// The server-routed INVITE: the inviter learns the buddy's devices first,
// then each device gets the INVITE once.
#include <gtest/gtest.h>

#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

class Invite : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.start());
        inviter = signUpAndRegister(server, inviterSocket, L"ivan", L"local://127.0.0.1:1111");
        invitee = signUpAndRegister(server, inviteeSocket, L"jade", L"local://127.0.0.1:2222, turn://127.0.0.1:3333");
        ASSERT_FALSE(inviter.guid.empty());
        ASSERT_FALSE(invitee.guid.empty());
    }
    ZHTTPHeaders invite(const wchar_t* cseq, const std::wstring& to) const {
        return request(L"INVITE", {{L"CSeq", cseq}, {L"From", inviter.user}, {L"From-Device-GUID", inviter.guid},
                                   {L"To", to}, {L"Try-Route-List", L"local://127.0.0.1:1111"},
                                   {L"Sent-From", L"127.0.0.1:1111"}, {L"Audio-Enabled", L"true"}});
    }
    ZTempDir dir;
    ServerProcess server{dir.file("data")};
    UDPClient inviterSocket;
    UDPClient inviteeSocket;
    Device inviter;
    Device invitee;
};

}  // namespace

TEST_F(Invite, AnswersTrying100WithTheDeviceAndItsRoutesThenForwardsTheInviteUnchanged) {
    const ZHTTPHeaders sent = invite(L"7", invitee.user);
    const ZHTTPHeaders answer = inviterSocket.ask(server.port(5), sent);
    ASSERT_EQ(answer.getResponse(), 100) << answer.getDebugText();
    EXPECT_EQ(answer.get(L"CSeq"), L"7");
    EXPECT_EQ(answer.get(L"Device-List"), invitee.guid);
    EXPECT_EQ(answer.get(invitee.guid + L"-Route-List"), L"local://127.0.0.1:2222, turn://127.0.0.1:3333");
    EXPECT_FALSE(answer.isSet(L"From-Device-GUID"));
    EXPECT_FALSE(answer.isSet(L"CSeq-Group"));

    std::string forwarded;
    int from = 0;
    ASSERT_TRUE(inviteeSocket.receiveRaw(forwarded, from));
    EXPECT_EQ(forwarded, sent.serialize());
    EXPECT_EQ(from, server.port(5));
}

TEST_F(Invite, ForwardsAResentInviteOnlyOnceButAnswersEveryResend) {
    const ZHTTPHeaders sent = invite(L"8", invitee.user);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(inviterSocket.ask(server.port(5), sent).getResponse(), 100) << i;
    std::string forwarded;
    int from = 0;
    ASSERT_TRUE(inviteeSocket.receiveRaw(forwarded, from));
    EXPECT_FALSE(inviteeSocket.receiveRaw(forwarded, from, 500));
    // A new transaction is a new INVITE.
    EXPECT_EQ(inviterSocket.ask(server.port(5), invite(L"9", invitee.user)).getResponse(), 100);
    EXPECT_TRUE(inviteeSocket.receiveRaw(forwarded, from));
}

TEST_F(Invite, AnswersBadRequest400ForABuddyWithoutASignedInDevice) {
    ASSERT_EQ(authenticate(server.port(0), L"kim", L"pw", L"k@example.org").getResponse(), 200);
    EXPECT_EQ(inviterSocket.ask(server.port(5), invite(L"10", L"kim@zandrel.net")).getResponse(), 400);
    EXPECT_EQ(inviterSocket.ask(server.port(5), invite(L"11", L"nobody@zandrel.net")).getResponse(), 400);
    // Only the device's own address may sign it out.
    const ZHTTPHeaders forged = inviterSocket.ask(
        server.port(5), request(L"UNREGISTER", {{L"CSeq", L"3"}, {L"From", invitee.user}, {L"Device-GUID", invitee.guid},
                                                {L"Session-Key", invitee.key}}));
    EXPECT_EQ(forged.getResponse(), 403);
    const ZHTTPHeaders bye = inviteeSocket.ask(
        server.port(5), request(L"UNREGISTER", {{L"CSeq", L"3"}, {L"From", invitee.user}, {L"Device-GUID", invitee.guid},
                                                {L"Session-Key", invitee.key}}));
    ASSERT_EQ(bye.getResponse(), 200);
    EXPECT_EQ(inviterSocket.ask(server.port(5), invite(L"12", invitee.user)).getResponse(), 400);
}
