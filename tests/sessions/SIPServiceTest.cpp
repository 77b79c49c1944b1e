#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "ZBuddySession.h"
#include "ZSIPService.h"
#include "ZSessionHelpers.h"
#include "ZSessionTestSupport.h"

using namespace sessiontest;

namespace {

// The service over a loopback switchboard, a signalling server that the test
// answers by hand, and the passes of the loop run by the test.
class ServiceFixture {
public:
    ServiceFixture()
        : store(ZSAFENEW(ZInstance, ZFromUTF8(dir.file("settings.ini")))),
          udp(openExclusivePort()),
          port(ZSAFENEW(ZMegaPort, L"me")) {
        port->setUDPPort(udp);
        store->set(L"Local_User_GUID", kMe, false);
        store->set(L"Local_Device_GUID", kMyDevice, false);
        store->set(L"Global_SIP_Host", server.host(), false);
        store->set(L"Route_List", L"local://" + port->getLocalHost(), false);
        service.reset(ZSAFENEW(ZSIPService, store.get(), port.get()));
        service->getSIPClient()->setClock(&readFakeClock);
    }
    ~ServiceFixture() {
        service.reset();
        port->reset();
        ZNetUDPPortClose(udp);
    }

    void command(const std::wstring& method, const std::wstring& buddy = L"") {
        ZHTTPHeaders c(method);
        if (!buddy.empty()) c.set(L"Buddy-GUID", buddy);
        store->enqueue(L"ZSIPService_commandQueue", c.serialize());
    }
    // One pass of the loop after filing what has arrived, as the dispatch loop would.
    void pass(std::int64_t wait = 0) {
        if (ZNetWait({udp}, {}, {}, wait)) {
            std::string bytes;
            std::wstring from;
            while (ZNetUDPPortRecv(udp, bytes, from)) {
                ZMegaPortBucket* bucket = port->getEmtpyBucket();
                bucket->to = port->getLocalHost();
                bucket->from = from;
                bucket->buffer = bytes;
                port->fillSIPBucket(bucket);
            }
        }
        service->runOnce();
    }
    // The server's next request of that method.
    ZHTTPHeaders serverReceives(const std::wstring& method) {
        for (int i = 0; i < 10; ++i)
            for (const Datagram& d : server.receive())
                if (d.message().getMethod() == method) return d.message();
        return ZHTTPHeaders();
    }
    void serverAnswers(const ZHTTPHeaders& request, ZHTTPHeaders answer) {
        answer.set(L"CSeq", request.get(L"CSeq"));
        const std::string bytes = answer.serialize();
        ZNetUDPPortSend(server.port(), port->getLocalHost(), bytes.data(), static_cast<int>(bytes.size()));
        pass(kPatienceUs);
    }
    // A peer's request arriving at the service straight from the peer.
    void peerSends(const ZHTTPHeaders& request) { sendFrom(stranger, request); }
    // A request the signalling server passes on (an invitation).
    void serverSends(const ZHTTPHeaders& request) { sendFrom(server, request); }
    void sendFrom(UDPSink& sender, const ZHTTPHeaders& request) {
        const std::string bytes = request.serialize();
        ZNetUDPPortSend(sender.port(), port->getLocalHost(), bytes.data(), static_cast<int>(bytes.size()));
        pass(kPatienceUs);
    }
    std::vector<std::wstring> clientNotifications() {
        std::vector<std::wstring> out;
        for (const ZHTTPHeaders& m : drainQueue(*store, L"ZClient_commandQueue"))
            out.push_back(m.getMethod() + L" " + m.get(L"Buddy-GUID"));
        return out;
    }
    void logOn(const std::wstring& buddyList) {
        command(L"BUDDYLOGON");
        pass();
        ZHTTPHeaders answer = response(200, L"OK");
        answer.set(L"Buddy-List", buddyList);
        serverAnswers(serverReceives(L"GETBUDDYLIST"), answer);
        ASSERT_EQ(service->getState(), ZSIPService::ONLINE);
    }

    ZTempDir dir;
    std::unique_ptr<ZInstance> store;
    UDPSink server;
    UDPSink stranger;
    ZNetUDPPort* udp;
    std::unique_ptr<ZMegaPort> port;
    std::unique_ptr<ZSIPService> service;
};

ZHTTPHeaders peerRequest(const std::wstring& method, const std::wstring& from) {
    ZHTTPHeaders m(method);
    m.set(L"From", from);
    m.set(L"From-Device-GUID", L"dev1");
    m.set(L"CSeq", L"1");
    m.set(L"Try-Route-List", L"local://127.0.0.1:9");
    return m;
}

}  // namespace

TEST(ZSIPService, CreatesASessionForEachValidBuddyOfTheServersListAndRefusesTheRest) {
    ZLogCapture log;
    ServiceFixture f;
    f.logOn(L"bob@zandrel.test, ZClient, zclient, evil)@x;(/system?exit)@y, , carol@zandrel.test");
    EXPECT_EQ(f.service->getNumBuddies(), 2);
    EXPECT_NE(f.service->getBuddy(L"bob@zandrel.test"), nullptr);
    EXPECT_NE(f.service->getBuddy(L"carol@zandrel.test"), nullptr);
    EXPECT_EQ(f.clientNotifications(),
              (std::vector<std::wstring>{L"NEWBUDDY bob@zandrel.test", L"NEWBUDDY carol@zandrel.test"}));
    EXPECT_EQ(log.count(L"WARNING Refusing user identifier"), 4) << "'evil)@x' and '(/system?exit)@y' are two";
    EXPECT_EQ(f.store->get(L"Local_Buddy_List"), L"bob@zandrel.test, carol@zandrel.test");
}

TEST(ZSIPService, ARequestFromANonCanonicalUserCreatesNoSession) {
    struct Row {
        const char* what;
        std::wstring method, from;
        bool viaServer;
        int buddies;
    };
    const std::vector<Row> rows = {
        {"no From", L"INVITE", L"", true, 0},
        {"the client's own queue name", L"INVITE", L"ZClient", true, 0},
        {"upper case", L"INVITE", L"Bob@Zandrel.test", true, 0},
        {"two @", L"INVITE", L"bob@zandrel@test", true, 0},
        {"a command string", L"INVITE", L"a);(/system?exit@x", true, 0},
        {"too long", L"INVITE", std::wstring(130, L'a') + L"@x", true, 0},
        {"a stranger's PING", L"PING", L"dave@zandrel.test", false, 0},
        {"a stranger's INVITE through the server", L"INVITE", L"dave@zandrel.test", true, 1},
        // Another service on the same machine, or anyone who can send a datagram.
        {"an INVITE from anywhere but the server", L"INVITE", L"victim@zandrel.test", false, 0},
    };
    for (const Row& row : rows) {
        ServiceFixture f;
        f.logOn(L"");
        f.clientNotifications();
        if (row.viaServer) f.serverSends(peerRequest(row.method, row.from));
        else f.peerSends(peerRequest(row.method, row.from));
        EXPECT_EQ(f.store->contains(L"Local_Buddy_List", row.from), row.buddies > 0) << row.what;
        EXPECT_EQ(f.service->getNumBuddies(), row.buddies) << row.what;
        EXPECT_EQ(f.clientNotifications().size(), static_cast<std::size_t>(row.buddies)) << row.what;
    }
}

TEST(ZSIPService, AMessageOnItsQueueOrABuddysEndsThePassWaitForSignalling) {
    ServiceFixture f;
    f.logOn(L"bob@zandrel.test");
    f.command(L"RESET");
    f.pass();
    ASSERT_EQ(f.service->getState(), ZSIPService::OFFLINE);
    struct Case {
        const wchar_t* queue;
        const wchar_t* method;
    };
    const Case cases[] = {
        {L"ZSIPService_commandQueue", L"BUDDYLOGON"},
        {L"bob@zandrel.test_commandQueue", L"DEVICEBROADCAST"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(ZToUTF8(c.queue));
        // A wait far beyond the test's patience: only the message can end it.
        f.service->setPassWait(20 * kPatienceUs);
        std::future<int> pass = std::async(std::launch::async, [&] { return f.service->runOnce(); });
        f.store->enqueue(c.queue, ZHTTPHeaders(c.method).serialize());
        ASSERT_EQ(pass.wait_for(std::chrono::microseconds(kPatienceUs)), std::future_status::ready);
        f.service->setPassWait(0);
        if (f.service->getState() == ZSIPService::GETTING_BUDDY_LIST) {
            ZHTTPHeaders answer = response(200, L"OK");
            answer.set(L"Buddy-List", L"bob@zandrel.test");
            f.serverAnswers(f.serverReceives(L"GETBUDDYLIST"), answer);
        }
        EXPECT_EQ(f.service->getState(), ZSIPService::ONLINE);
        f.pass();
        EXPECT_EQ(f.store->length(c.queue), 0u);
    }
}

TEST(ZSIPService, SignsOffWithoutBuddiesAndMovesOnWhenTheServerIsSilent) {
    ServiceFixture f;
    f.logOn(L"");
    f.command(L"BUDDYLOGOFF");
    f.pass();
    EXPECT_EQ(f.service->getState(), ZSIPService::SETTING_BUDDY_LIST) << "no buddy to wait for";
    EXPECT_FALSE(f.serverReceives(L"SETBUDDYLIST").empty());
    f.clientNotifications();
    advance(ZSIPSERVICE_STATE_TIMEOUT + 1);
    f.pass();
    EXPECT_EQ(f.service->getState(), ZSIPService::OFFLINE);
    EXPECT_EQ(f.clientNotifications(), std::vector<std::wstring>{L"BUDDYLOGGEDOFF "});
}

TEST(ZSIPService, GoesOnlineWithoutBuddiesWhenTheListNeverComes) {
    ServiceFixture f;
    f.command(L"BUDDYLOGON");
    f.pass();
    EXPECT_EQ(f.service->getState(), ZSIPService::GETTING_BUDDY_LIST);
    EXPECT_EQ(f.store->get(L"SIP_Status"), L"Getting buddy list") << "the pass's tick shows the new state";
    advance(ZSIPSERVICE_STATE_TIMEOUT + 1);
    f.pass();
    EXPECT_EQ(f.service->getState(), ZSIPService::ONLINE);
}

TEST(ZSIPService, SignsOffEvenWhenABuddyIsWaitingToReinvite) {
    ServiceFixture f;
    f.logOn(L"bob@zandrel.test");
    ZBuddySession* bob = f.service->getBuddy(L"bob@zandrel.test");
    ASSERT_NE(bob, nullptr);
    ZHTTPHeaders invite(L"INVITE");
    invite.set(L"To", L"bob@zandrel.test");
    invite.set(L"CSeq", L"1");
    ZHTTPHeaders answer = response(100, L"Trying");
    answer.set(L"CSeq", L"1");
    answer.set(L"Device-List", L"dev1");
    answer.set(L"dev1-Route-List", L"local://" + f.stranger.host());
    bob->onResponse(f.port->getLocalHost(), f.server.host(), invite, answer);
    ZHTTPHeaders busy = response(300, L"Busy");
    busy.set(L"CSeq", L"1");
    bob->getDevice(L"dev1")->onResponse(f.port->getLocalHost(), f.stranger.host(), invite, busy);
    ASSERT_EQ(bob->getDevice(L"dev1")->getState(), ZDeviceSession::WT_REINVITE);

    f.command(L"BUDDYLOGOFF");
    f.pass();
    f.pass();
    EXPECT_EQ(f.service->getState(), ZSIPService::SETTING_BUDDY_LIST);
    ZHTTPHeaders stored = f.serverReceives(L"SETBUDDYLIST");
    EXPECT_EQ(stored.get(L"Buddy-List"), L"bob@zandrel.test");
    f.serverAnswers(stored, response(200, L"OK"));
    EXPECT_EQ(f.service->getState(), ZSIPService::OFFLINE);
    EXPECT_EQ(f.service->getNumBuddies(), 0);
}

TEST(ZSIPService, ARemovedBuddyStaysRemovedWhenItInvitesAgain) {
    ServiceFixture f;
    f.logOn(L"bob@zandrel.test");
    f.command(L"REMOVEBUDDY", L"bob@zandrel.test");
    f.pass();
    EXPECT_FALSE(f.store->contains(L"Local_Buddy_List", L"bob@zandrel.test"));
    f.serverSends(peerRequest(L"INVITE", L"bob@zandrel.test"));
    EXPECT_FALSE(f.store->contains(L"Local_Buddy_List", L"bob@zandrel.test"));
    EXPECT_EQ(f.service->getBuddy(L"bob@zandrel.test")->getNumDevices(), 0);
}

TEST(ZSIPService, NeverAnswersOrActsOnAHolePunch) {
    ServiceFixture f;
    f.logOn(L"");
    ZHTTPHeaders punch = peerRequest(L"HOLEPUNCH", L"dave@zandrel.test");
    punch.set(L"Sent-From", L"10.0.0.1:1");
    f.peerSends(punch);
    EXPECT_EQ(f.service->getNumBuddies(), 0);
    EXPECT_EQ(f.service->getState(), ZSIPService::ONLINE);
    f.port->send(L"", f.stranger.host(), std::string("END"));
    EXPECT_TRUE(f.stranger.receiveUntil("END").empty());
}

TEST(ZSIPService, AddsABuddyTheServerKnowsAndRefusesANameThatIsNone) {
    struct Row {
        std::wstring typed;
        int serverAnswer;  // 0: the request must not go out
        const wchar_t* status;
    };
    const std::vector<Row> rows = {
        {L"Carol@Zandrel.test", 200, L"Added to buddy list."},
        {L"nobody@zandrel.test", 404, L"Unknown user."},
        {L"carol); (/system?exit", 0, L"Unknown user."},
    };
    for (const Row& row : rows) {
        ServiceFixture f;
        f.logOn(L"");
        f.command(L"ADDBUDDY", row.typed);
        f.pass();
        if (row.serverAnswer) {
            const ZHTTPHeaders request = f.serverReceives(L"ADDBUDDY");
            EXPECT_EQ(request.get(L"Buddy-GUID"), ZToLower(row.typed));
            f.serverAnswers(request, response(row.serverAnswer, L"Answer"));
        }
        EXPECT_EQ(f.store->get(L"Add_Buddy_Status"), row.status) << ZToUTF8(row.typed);
        EXPECT_EQ(f.service->getNumBuddies(), row.serverAnswer == 200 ? 1 : 0) << ZToUTF8(row.typed);
    }
}

TEST(ZSIPService, KeepsAtMostItsLimitOfBuddies) {
    ZLogCapture log;
    ServiceFixture f;
    std::wstring list;
    for (int i = 0; i < ZSIP_MAX_BUDDIES + 44; ++i) list += L"u" + std::to_wstring(i) + L"@z.t,";
    f.logOn(list);
    EXPECT_EQ(f.service->getNumBuddies(), ZSIP_MAX_BUDDIES);
    EXPECT_EQ(log.count(L"WARNING Buddy list already holds 256 buddies, ignoring '"), 44);
}

TEST(ZSIPService, ReportsTheOutcomeOfABugReport) {
    struct Row {
        int code;
        const wchar_t* reason;
        const wchar_t* status;
        bool reportKept;
    };
    for (const Row& row : {Row{200, L"OK", L"Report submitted.", false},
                           Row{500, L"Oops", L"Report submission failed: #500 'Oops'", true}}) {
        ServiceFixture f;
        f.logOn(L"");
        f.store->set(L"Bug_Report", std::wstring(L"It crashed."), false);
        f.store->set(L"Local_Email", std::wstring(L"me@example.org"), false);
        f.command(L"BUGREPORT");
        f.pass();
        EXPECT_EQ(f.store->get(L"Bug_Report_Status"), L"Report sent...");
        const ZHTTPHeaders report = f.serverReceives(L"BUGREPORT");
        EXPECT_EQ(report.get(L"Text"), L"It crashed.");
        EXPECT_EQ(report.get(L"Email"), L"me@example.org");
        EXPECT_EQ(report.get(L"From"), kMe);
        f.serverAnswers(report, response(row.code, row.reason));
        EXPECT_EQ(f.store->get(L"Bug_Report_Status"), row.status);
        EXPECT_EQ(f.store->isSet(L"Bug_Report"), row.reportKept);
    }
}

TEST(ZSIPService, AResetInAnyStateEmptiesTheBuddyList) {
    ServiceFixture f;
    f.logOn(L"bob@zandrel.test");
    f.store->set(L"Combined_Buddy_Device_List", std::wstring(L"bob@zandrel.test@dev1"), false);
    f.command(L"RESET");
    f.pass();
    EXPECT_EQ(f.service->getState(), ZSIPService::OFFLINE);
    EXPECT_EQ(f.service->getNumBuddies(), 0);
    EXPECT_FALSE(f.store->isSet(L"Combined_Buddy_Device_List"));
}

TEST(ZSIPService, TakesServerAnswersOnlyFromTheSignallingServer) {
    ZLogCapture log;
    ServiceFixture f;
    f.command(L"BUDDYLOGON");
    f.pass();
    const ZHTTPHeaders request = f.serverReceives(L"GETBUDDYLIST");
    ZHTTPHeaders forged = response(200, L"OK");
    forged.set(L"CSeq", request.get(L"CSeq"));
    forged.set(L"Buddy-List", L"mallory@zandrel.test");
    const std::string bytes = forged.serialize();
    ZNetUDPPortSend(f.stranger.port(), f.port->getLocalHost(), bytes.data(), static_cast<int>(bytes.size()));
    f.pass(kPatienceUs);
    EXPECT_EQ(f.service->getState(), ZSIPService::GETTING_BUDDY_LIST);
    EXPECT_EQ(f.service->getNumBuddies(), 0);
    EXPECT_EQ(log.count(L"which is not the signalling server, ignoring."), 1);
    ZHTTPHeaders real = response(200, L"OK");
    real.set(L"Buddy-List", L"bob@zandrel.test");
    f.serverAnswers(request, real);
    EXPECT_EQ(f.service->getState(), ZSIPService::ONLINE);
    EXPECT_NE(f.service->getBuddy(L"bob@zandrel.test"), nullptr);
}

TEST(ZSIPService, AnswersASignOffBeforeAnySignOnAtOnce) {
    ServiceFixture f;
    f.command(L"BUDDYLOGOFF");
    f.pass();
    EXPECT_EQ(f.service->getState(), ZSIPService::OFFLINE);
    EXPECT_EQ(f.clientNotifications(), std::vector<std::wstring>{L"BUDDYLOGGEDOFF "});
}

TEST(ZSIPService, ProvesTheUserWithTheSessionKeyToTheServerButNeverInAnInvitation) {
    const std::wstring key = L"00112233445566778899aabbccddeeff";
    ServiceFixture f;
    f.store->set(L"Local_Session_Key", key, false);
    f.logOn(L"bob@zandrel.test");
    const ZHTTPHeaders invite = f.serverReceives(L"INVITE");
    ASSERT_FALSE(invite.empty());
    EXPECT_FALSE(invite.isSet(L"Session-Key")) << "the service passes an INVITE on to the buddy as it came";
    f.command(L"ADDBUDDY", L"carol@zandrel.test");
    f.pass();
    EXPECT_EQ(f.serverReceives(L"ADDBUDDY").get(L"Session-Key"), key);
    f.store->set(L"Bug_Report", std::wstring(L"It crashed."), false);
    f.command(L"BUGREPORT");
    f.pass();
    EXPECT_EQ(f.serverReceives(L"BUGREPORT").get(L"Session-Key"), key);

    ServiceFixture quiet;
    quiet.store->set(L"Local_Session_Key", key, false);
    quiet.command(L"BUDDYLOGON");
    quiet.pass();
    const ZHTTPHeaders list = quiet.serverReceives(L"GETBUDDYLIST");
    EXPECT_EQ(list.get(L"Session-Key"), key);
    quiet.serverAnswers(list, response(200, L"OK"));
    quiet.command(L"BUDDYLOGOFF");
    quiet.pass();
    EXPECT_EQ(quiet.serverReceives(L"SETBUDDYLIST").get(L"Session-Key"), key);
}
