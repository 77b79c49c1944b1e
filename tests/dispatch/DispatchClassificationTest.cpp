// The connection class from the three STUN answers, driven through the
// state machine with answers the test writes.
#include <gtest/gtest.h>

#include "ZDispatchTestRig.h"
#include "ZPortable.h"

using namespace dispatchtest;

namespace {

// What STUN host 1 says about the client's address.
enum Direct { NoDirect, SeesLocal, SeesNAT, SeesNothing, Refuses };

struct ClassRow {
    const char* name;
    Direct direct;
    bool punched;
    bool unpunched;
    const wchar_t* forceNAT;
    const wchar_t* connectionClass;
    // "L" stands for the local address, "G" for the address behind the NAT.
    const wchar_t* routeList;
    ZDispatchService::State next;
};

const wchar_t kNATHost[] = L"203.0.113.7:40000";

const ClassRow kRows[] = {
    {"NothingAnswers", NoDirect, false, false, nullptr, L"FIREWALL", L"", ZDispatchService::TURN},
    {"OnlyIndirectAnswers", NoDirect, true, true, nullptr, L"FIREWALL", L"", ZDispatchService::TURN},
    {"AnAddressOfItsOwn", SeesLocal, true, true, nullptr, L"PUBLIC", L"local://L", ZDispatchService::CHOOSESERVER},
    {"AnAddressOfItsOwnAlone", SeesLocal, false, false, nullptr, L"PUBLIC", L"local://L",
     ZDispatchService::CHOOSESERVER},
    {"ANATThatLetsStrangersIn", SeesNAT, true, true, nullptr, L"UNRESTRICTED", L"local://L, unrestricted://G",
     ZDispatchService::CHOOSESERVER},
    {"ANATThatLetsStrangersInWithoutThePunch", SeesNAT, false, true, nullptr, L"UNRESTRICTED",
     L"local://L, unrestricted://G", ZDispatchService::CHOOSESERVER},
    {"ANATThatNeedsThePunch", SeesNAT, true, false, nullptr, L"RESTRICTED", L"local://L, restricted://G",
     ZDispatchService::CHOOSESERVER},
    {"ANATThatLetsNothingIn", SeesNAT, false, false, nullptr, L"SYMMETRIC", L"", ZDispatchService::TURN},
    {"AForcedPublicBehindANAT", SeesNAT, true, false, L"PUBLIC", L"PUBLIC", L"local://L",
     ZDispatchService::CHOOSESERVER},
    {"AForcedFirewallWithADirectAnswer", SeesNAT, true, true, L"FIREWALL", L"FIREWALL", L"local://L, firewall://G",
     ZDispatchService::CHOOSESERVER},
    {"AForcedSymmetricOnAPublicAddress", SeesLocal, true, true, L"SYMMETRIC", L"SYMMETRIC", L"",
     ZDispatchService::TURN},
    {"AForcedClassWithoutADirectAnswer", NoDirect, true, false, L"PUBLIC", L"FIREWALL", L"", ZDispatchService::TURN},
    {"ADirectAnswerWithoutAnAddress", SeesNothing, true, true, nullptr, L"FIREWALL", L"", ZDispatchService::TURN},
    {"ARefusedProbe", Refuses, true, true, nullptr, L"FIREWALL", L"", ZDispatchService::TURN},
};

std::wstring expand(const std::wstring& pattern, const std::wstring& local) {
    std::wstring out;
    for (wchar_t c : pattern) {
        if (c == L'L')
            out += local;
        else if (c == L'G')
            out += kNATHost;
        else
            out += c;
    }
    return out;
}

class ClassifiesTheConnection : public ::testing::TestWithParam<ClassRow> {};

TEST_P(ClassifiesTheConnection, FromTheAnswersThatArrive) {
    const ClassRow& row = GetParam();
    ZLogCapture log;
    LogCategory categories("pP");
    Rig rig;
    if (row.forceNAT) rig.instance->set(L"Force_NAT", std::wstring(row.forceNAT), false);
    const ZHTTPHeaders probe = rig.connect();
    ASSERT_EQ(rig.state(), ZDispatchService::STUN);

    if (row.direct == SeesLocal || row.direct == SeesNAT || row.direct == SeesNothing) {
        const std::wstring global = row.direct == SeesLocal ? rig.localHost : row.direct == SeesNAT ? kNATHost : L"";
        rig.answerProbe(probe, global, true, row.punched, row.unpunched);
    } else {
        rig.answerProbe(probe, kNATHost, false, row.punched, row.unpunched);
        if (row.direct == Refuses) rig.stun[0].answer(rig.localHost, answerTo(probe, 403, L"Forbidden"));
    }
    // Every answer sent is read before the class is looked at.
    const int sent = (row.direct != NoDirect ? 1 : 0) + (row.punched ? 1 : 0) + (row.unpunched ? 1 : 0);
    EXPECT_TRUE(rig.passUntil([&] { return log.count(L"to request 'STUN' from") >= sent; }));
    if (rig.state() == ZDispatchService::STUN) {
        // Not every answer came: the class is decided when the wait is over.
        advance(6000000);
        rig.pass();
    }

    EXPECT_EQ(rig.get(L"Connection_Class"), row.connectionClass);
    EXPECT_EQ(rig.get(L"Route_List"), expand(row.routeList, rig.localHost));
    EXPECT_TRUE(log.contains(L"Changing state from 'STUN' to '" + ZDispatchService::_getState(row.next) + L"'"));
    if (row.next == ZDispatchService::CHOOSESERVER) {
        const bool sharesLocal = std::wstring(row.routeList) == L"local://L";
        EXPECT_EQ(rig.get(L"Global_Host"), sharesLocal ? rig.localHost : std::wstring(kNATHost));
        EXPECT_TRUE(log.contains(L"STUN complete, connection class is '" + std::wstring(row.connectionClass) +
                                 L"' and route list is '" + expand(row.routeList, rig.localHost) + L"'"));
        // Every signalling server is asked at once.
        ZHTTPHeaders ping;
        std::wstring from;
        for (FakeHost& server : rig.sip) EXPECT_TRUE(server.receive(L"PING", ping, from));
    } else {
        ZHTTPHeaders open;
        ASSERT_TRUE(rig.relayReceive(open)) << "the relay was not asked";
        EXPECT_EQ(open.getMethod(), L"OPENTURN");
        EXPECT_TRUE(ZEndsWith(open.get(L"CSeq"), L" (ZDispatchService)"));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ClassifiesTheConnection, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<ClassRow>& info) { return std::string(info.param.name); });

TEST(ZDispatchServiceSTUN, SendsTheHolePunchToHostTwoAndTheProbeNamingHostsTwoAndThree) {
    Rig rig;
    const ZHTTPHeaders probe = rig.connect();
    EXPECT_EQ(probe.get(L"Indirect-Host-List"), rig.stun[1].host() + L", " + rig.stun[2].host());
    std::string punch;
    std::wstring from;
    ASSERT_TRUE(rig.stun[1].receiveRaw(punch, from));
    EXPECT_EQ(punch, "HOLEPUNCH");
    EXPECT_EQ(from, rig.localHost);
}

TEST(ZDispatchServiceSTUN, ClassifiesAtTheNextTickWhenAllThreeAnswersAreIn) {
    Rig rig;
    const ZHTTPHeaders probe = rig.connect();
    rig.answerProbe(probe, rig.localHost, true, true, true);
    EXPECT_TRUE(rig.passUntilState(ZDispatchService::CHOOSESERVER));
}

TEST(ZDispatchServiceSTUN, ResendsTheProbeWithTheSameNumberWhileAnswersAreMissing) {
    Rig rig;
    const ZHTTPHeaders probe = rig.connect();
    advance(1100000);
    rig.pass();
    ZHTTPHeaders again;
    std::wstring from;
    ASSERT_TRUE(rig.stun[0].receive(L"STUN", again, from));
    EXPECT_EQ(again.get(L"CSeq"), probe.get(L"CSeq"));
    EXPECT_EQ(rig.state(), ZDispatchService::STUN);
}

TEST(ZDispatchServiceSTUN, PretendingAFirewallSendsNoProbeAndOpensTheRelayAtOnce) {
    ZLogCapture log;
    LogCategory categories("p");
    Rig rig;
    rig.instance->set(L"Pretend_Firewall", std::wstring(L"1"), false);
    rig.post(L"CONNECT");
    rig.pass();
    EXPECT_EQ(rig.state(), ZDispatchService::TURN);
    rig.stun[0].listenTo(rig.get(L"Local_Host"));
    std::string bytes;
    std::wstring from;
    EXPECT_FALSE(rig.stun[0].receiveRaw(bytes, from, 100000));
    EXPECT_EQ(rig.get(L"Connection_Class"), L"FIREWALL");
}

}  // namespace
