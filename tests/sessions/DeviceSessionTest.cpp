#include <string>
#include <vector>

#include "ZSessionTestSupport.h"

using namespace sessiontest;

namespace {

const wchar_t* const kCapture = L"ZVideoCaptureService_commandQueue";
const wchar_t* const kPlayback = L"ZVideoPlaybackService_commandQueue";
const wchar_t* const kFiles = L"ZFileService_commandQueue";
const wchar_t* const kScreen = L"ZScreenService_commandQueue";
const wchar_t* const kClient = L"ZClient_commandQueue";

}  // namespace

TEST(ZDeviceSession, AcceptsARemoteINVITEOnlyWhenFreeAndAnswersBusyOtherwise) {
    for (ZDeviceSession::State state : kAllStates) {
        DeviceFixture f;
        f.driveTo(state);
        f.forgetSent();
        f.request(f.invite());
        const bool free = state == ZDeviceSession::DISCONNECTED || state == ZDeviceSession::WT_REINVITE;
        EXPECT_EQ(f.session->getState(), free ? ZDeviceSession::WF_ACK : state) << ZToUTF8(ZDeviceSession::_getState(state));
        const std::vector<ZHTTPHeaders> sent = f.sentToDevice();
        ASSERT_EQ(sent.size(), 1u) << ZToUTF8(ZDeviceSession::_getState(state));
        EXPECT_EQ(sent[0].getResponse(), free ? 200 : 300);
        EXPECT_EQ(sent[0].getResponseReason(), free ? L"OK" : L"Busy");
        EXPECT_EQ(sent[0].get(L"Try-Route-List"), L"local://" + f.peer.host());
    }
}

TEST(ZDeviceSession, EndsWithoutReinvitingWhenToldGoodbyeInAnyState) {
    struct Row {
        ZDeviceSession::State state;
        bool removed;
        ZDeviceSession::State after;
        bool byeSent;
    };
    const std::vector<Row> rows = {
        {ZDeviceSession::DISCONNECTED, false, ZDeviceSession::DISCONNECTED, false},
        {ZDeviceSession::WF_INVITERESPONSE, false, ZDeviceSession::DISCONNECTED, false},
        {ZDeviceSession::WT_REINVITE, true, ZDeviceSession::DISCONNECTED, false},
        {ZDeviceSession::WF_ACK, false, ZDeviceSession::DISCONNECTED, false},
        {ZDeviceSession::WF_ACKRESPONSE, true, ZDeviceSession::DISCONNECTED, false},
        {ZDeviceSession::CONNECTED, false, ZDeviceSession::WF_BYERESPONSE, true},
        {ZDeviceSession::CONNECTED, true, ZDeviceSession::WF_BYERESPONSE, true},
        {ZDeviceSession::WF_BYERESPONSE, false, ZDeviceSession::WF_BYERESPONSE, false},
    };
    for (const Row& row : rows) {
        DeviceFixture f;
        f.driveTo(row.state);
        f.forgetSent();
        f.session->bye(row.removed);
        EXPECT_EQ(f.session->getState(), row.after) << ZToUTF8(ZDeviceSession::_getState(row.state));
        // Well past any back-off: nobody is invited again.
        for (int i = 0; i < 25; ++i) f.tick(1000000);
        EXPECT_TRUE(f.sentToServer().empty()) << ZToUTF8(ZDeviceSession::_getState(row.state));
        bool bye = false;
        for (const ZHTTPHeaders& m : f.sentToDevice())
            if (m.getMethod() == L"BYE") {
                bye = true;
                EXPECT_EQ(m.get(L"Removed"), row.removed ? L"true" : L"false");
            }
        EXPECT_EQ(bye, row.byeSent) << ZToUTF8(ZDeviceSession::_getState(row.state));
        EXPECT_EQ(f.session->getState(), ZDeviceSession::DISCONNECTED) << "the BYE time-out also ends it";
    }
}

TEST(ZDeviceSession, ConnectsOnTheDevicesACKOverThePathItReportsAndOpensItsMedia) {
    DeviceFixture f;
    f.driveTo(ZDeviceSession::WF_ACK);
    f.drainAllQueues();
    f.forgetSent();
    f.store->set(kBuddy + L"_Chat_Status", kBuddy + L" is connecting...", false);
    const ZHTTPHeaders ack = f.ack();
    f.request(ack);
    ASSERT_EQ(f.session->getState(), ZDeviceSession::CONNECTED);
    EXPECT_EQ(f.store->get(kBuddyDevice + L"_Send_To"), f.device.host());
    EXPECT_EQ(f.store->get(kBuddyDevice + L"_Send_Route"), L"local->local");
    EXPECT_FALSE(f.store->isSet(kBuddy + L"_Chat_Status"));

    const std::vector<ZHTTPHeaders> playback = drainQueue(*f.store, kPlayback);
    ASSERT_EQ(playback.size(), 1u);
    EXPECT_EQ(playback[0].getMethod(), L"OPEN");
    EXPECT_EQ(playback[0].get(L"Buddy-Device-GUID"), kBuddyDevice);
    EXPECT_EQ(playback[0].get(L"Recv-From-Host"), f.device.host());
    const std::vector<ZHTTPHeaders> capture = drainQueue(*f.store, kCapture);
    ASSERT_EQ(capture.size(), 1u);
    EXPECT_EQ(capture[0].get(L"Send-To"), f.device.host());
    EXPECT_EQ(capture[0].get(L"Send-From"), f.peer.host());

    const std::vector<ZHTTPHeaders> sent = f.sentToDevice();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].getResponse(), 200);
    EXPECT_EQ(sent[0].get(L"CSeq"), ack.get(L"CSeq"));
}

TEST(ZDeviceSession, AnswersARepeatedACKOnceConnectedAndSettlesTheWholeGroup) {
    DeviceFixture f;
    f.driveTo(ZDeviceSession::WF_ACK);
    ZHTTPHeaders ack = f.ack();
    ack.set(L"CSeq-Group", ack.get(L"CSeq") + L", 999");
    f.forgetSent();
    f.request(ack);
    ASSERT_EQ(f.session->getState(), ZDeviceSession::CONNECTED);
    const std::vector<ZHTTPHeaders> first = f.sentToDevice();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].get(L"CSeq-Group"), ack.get(L"CSeq-Group"));
    ZLogCapture log;
    ZHTTPHeaders again = f.ack();
    f.request(again);
    EXPECT_EQ(f.session->getState(), ZDeviceSession::CONNECTED);
    EXPECT_EQ(log.count(L"ignored, no state change."), 0);
    const std::vector<ZHTTPHeaders> sent = f.sentToDevice();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].getResponse(), 200);
    EXPECT_EQ(sent[0].get(L"CSeq"), again.get(L"CSeq"));
    EXPECT_EQ(sent[0].get(L"Send-To"), f.peer.host());
}

TEST(ZDeviceSession, RefusesAPathThatIsNotOursToSendFromOrNotTheDevicesToSendTo) {
    struct Row {
        const char* what;
        std::wstring sendFrom, sendTo, sendToType;
    };
    const std::vector<Row> rows = {
        {"a source that is not ours", L"10.1.2.3:4000", L"", L"local"},
        {"a destination that is neither the sender nor one of its routes", L"", L"10.9.9.9:53", L"local"},
        {"a destination that is no address", L"", L"bob.example:53", L"local"},
        {"an unknown route type", L"", L"", L"evil"},
    };
    for (const Row& row : rows) {
        DeviceFixture f;
        f.driveTo(ZDeviceSession::WF_ACK);
        ZLogCapture log;
        ZHTTPHeaders ack = f.ack();
        if (!row.sendFrom.empty()) ack.set(L"Send-From", row.sendFrom);
        if (!row.sendTo.empty()) ack.set(L"Send-To", row.sendTo);
        ack.set(L"Send-To-Type", row.sendToType);
        f.drainAllQueues();
        f.request(ack);
        EXPECT_EQ(f.session->getState(), ZDeviceSession::WF_ACK) << row.what;
        EXPECT_EQ(log.count(L"WARNING Refusing path"), 1) << row.what;
        EXPECT_EQ(drainQueue(*f.store, kCapture).size(), 0u) << row.what;
    }
}

TEST(ZDeviceSession, AnswerToOurINVITEReachingAFreshSessionGetsTheFullTimeForTheACK) {
    DeviceFixture f;
    // No WAITFORINVITEOK first: the request timer was never started.
    advance(60000000);
    const ZHTTPHeaders ours = f.ourRequest(L"INVITE");
    f.respond(ours, f.inviteOK(ours));
    ASSERT_EQ(f.session->getState(), ZDeviceSession::WF_ACKRESPONSE);
    f.tick(500000);
    EXPECT_EQ(f.session->getState(), ZDeviceSession::WF_ACKRESPONSE);
    std::int64_t waited = 500000;
    while (f.session->getState() == ZDeviceSession::WF_ACKRESPONSE && waited < 30000000) {
        f.tick(500000);
        waited += 500000;
    }
    EXPECT_GE(waited, 18000000);
    EXPECT_LE(waited, 19000000);
    EXPECT_EQ(f.session->getState(), ZDeviceSession::WT_REINVITE) << "18 s after the answer it gives up";
}

TEST(ZDeviceSession, ReinvitesAfterMoreThanTenSecondsWithoutContactUnlessDisabled) {
    for (bool disabled : {false, true}) {
        DeviceFixture f;
        f.store->set(L"Disable_Connection_Timeout", std::wstring(disabled ? L"true" : L"false"), false);
        f.driveTo(ZDeviceSession::CONNECTED);
        ZLogCapture log;
        f.tick(10000000);
        EXPECT_EQ(f.session->getState(), ZDeviceSession::CONNECTED) << "exactly 10 s is not yet lost";
        f.tick(1);
        EXPECT_EQ(f.session->getState(), disabled ? ZDeviceSession::CONNECTED : ZDeviceSession::WT_REINVITE);
        EXPECT_EQ(log.count(L"WARNING Lost contact with '" + kBuddyDevice + L"', reinviting. (Loss="), disabled ? 0 : 1);
    }
}

TEST(ZDeviceSession, CountsLossAndRoundTripsFromItsPings) {
    DeviceFixture f;
    f.driveTo(ZDeviceSession::CONNECTED);
    f.forgetSent();
    std::vector<ZHTTPHeaders> pings;
    for (int i = 0; i < 12; ++i) {
        f.tick(1000001);
        for (const ZHTTPHeaders& m : f.sentToDevice())
            if (m.getMethod() == L"PING") pings.push_back(m);
        // Answered with a round trip of 40 ms, all but every fourth.
        if (i % 4 != 3) {
            advance(40000);
            f.respond(pings.back(), responseTo(pings.back(), 200, L"OK"));
        }
    }
    ASSERT_EQ(pings.size(), 12u);
    EXPECT_EQ(f.store->get(kBuddyDevice + L"_Loss"), L"25.00% (3/12)");
    EXPECT_EQ(f.store->get(kBuddyDevice + L"_Ping"), std::wstring(L"40") + wchar_t(0x00B1) + L"0ms");
}

TEST(ZDeviceSession, BroadcastsOnlyWhileConnectedAndKeepsTheLocalPathToItself) {
    DeviceFixture idle;
    ZLogCapture log;
    ZHTTPHeaders payload(L"SENDFILE");
    payload.set(L"Path", L"/home/me/secret/plan.txt");
    payload.set(L"Filename", L"plan.txt");
    ZHTTPHeaders outer(L"DEVICEBROADCAST");
    outer.addContent(payload.serialize());
    idle.session->broadcast(outer);
    EXPECT_EQ(log.count(L"WARNING Tried to broadcast to '" + kBuddyDevice + L"' while not connected, ignoring."), 1);
    EXPECT_TRUE(idle.sentToDevice().empty());

    DeviceFixture f;
    f.driveTo(ZDeviceSession::CONNECTED);
    f.forgetSent();
    f.drainAllQueues();
    f.session->broadcast(outer);
    const std::vector<ZHTTPHeaders> sent = f.sentToDevice();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].getMethod(), L"DEVICEBROADCAST");
    ZHTTPHeaders received;
    ASSERT_TRUE(received.deserialize(sent[0].getContent(0)));
    EXPECT_EQ(received.getMethod(), L"SENDFILE");
    EXPECT_FALSE(received.isSet(L"Path"));
    EXPECT_EQ(received.get(L"Filename"), L"plan.txt");
    const std::vector<ZHTTPHeaders> files = drainQueue(*f.store, kFiles);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].get(L"File-ID"), received.get(L"File-ID"));
    EXPECT_EQ(files[0].get(L"Path"), L"/home/me/secret/plan.txt");
    EXPECT_EQ(files[0].get(L"Buddy-Device-GUID"), kBuddyDevice);
    EXPECT_EQ(files[0].get(L"Recv-From"), f.store->get(std::wstring(kBuddyDevice) + L"_Recv_From"));

    ZHTTPHeaders share(L"SHARESCREEN");
    ZHTTPHeaders outerShare(L"DEVICEBROADCAST");
    outerShare.addContent(share.serialize());
    f.session->broadcast(outerShare);
    const std::vector<ZHTTPHeaders> sentShare = f.sentToDevice();
    ASSERT_EQ(sentShare.size(), 1u);
    ZHTTPHeaders receivedShare;
    ASSERT_TRUE(receivedShare.deserialize(sentShare[0].getContent(0)));
    const std::vector<ZHTTPHeaders> screen = drainQueue(*f.store, kScreen);
    ASSERT_EQ(screen.size(), 1u);
    EXPECT_EQ(screen[0].getMethod(), L"OPENSEND");
    EXPECT_EQ(screen[0].get(L"SSRC"), receivedShare.get(L"SSRC"));
    EXPECT_EQ(screen[0].get(L"Buddy-GUID"), kBuddy);
    EXPECT_FALSE(screen[0].get(L"Recv-From").empty());
    EXPECT_EQ(screen[0].get(L"Recv-From"), f.store->get(std::wstring(kBuddyDevice) + L"_Recv_From"));
}

TEST(ZDeviceSession, HandsADevicesBroadcastToTheClientOnceAndOnlyWhenConnected) {
    DeviceFixture waiting;
    waiting.driveTo(ZDeviceSession::WF_ACK);
    waiting.forgetSent();
    ZLogCapture log;
    ZHTTPHeaders chat(L"CHAT");
    chat.set(L"Action", L"send");
    chat.addContent(std::string("hello"));
    ZHTTPHeaders broadcast = waiting.fromDevice(L"DEVICEBROADCAST");
    broadcast.addContent(chat.serialize());
    waiting.request(broadcast);
    EXPECT_EQ(log.count(L"WARNING Request 'DEVICEBROADCAST' from (" + waiting.device.host() +
                        L") ignored, no state change."),
              1);
    EXPECT_TRUE(drainQueue(*waiting.store, kClient).empty());
    EXPECT_TRUE(waiting.sentToDevice().empty());

    DeviceFixture f;
    f.driveTo(ZDeviceSession::CONNECTED);
    f.forgetSent();
    f.request(broadcast);
    const std::vector<ZHTTPHeaders> client = drainQueue(*f.store, kClient);
    ASSERT_EQ(client.size(), 1u);
    EXPECT_EQ(client[0].serialize(), broadcast.serialize());
    const std::vector<ZHTTPHeaders> sent = f.sentToDevice();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].getResponse(), 200);
}

TEST(ZDeviceSession, TakesInSessionRequestsOnlyFromTheAgreedPath) {
    for (const wchar_t* method : {L"DEVICEBROADCAST", L"BYE", L"UPDATE", L"PING"}) {
        DeviceFixture f;
        f.driveTo(ZDeviceSession::CONNECTED);
        f.forgetSent();
        f.drainAllQueues();
        ZLogCapture log;
        ZHTTPHeaders forged = f.fromDevice(method);
        forged.addContent(ZHTTPHeaders(L"CHAT").serialize());
        f.session->onRequest(f.peer.host(), L"127.0.0.1:9", forged);
        EXPECT_EQ(f.session->getState(), ZDeviceSession::CONNECTED) << ZToUTF8(method);
        EXPECT_TRUE(drainQueue(*f.store, kClient).empty()) << ZToUTF8(method);
        EXPECT_TRUE(drainQueue(*f.store, kCapture).empty()) << ZToUTF8(method);
        EXPECT_EQ(log.count(L"off the agreed path (" + f.device.host() + L"), ignoring."), 1) << ZToUTF8(method);
        EXPECT_TRUE(f.sentToDevice().empty()) << ZToUTF8(method);
    }
}

TEST(ZDeviceSession, ACaptureChangeRestartsOnlyTheMediaStreams) {
    struct Row {
        const char* what;
        bool remote;
    };
    for (const Row& row : {Row{"our capture changed", false}, Row{"the device's capture changed", true}}) {
        DeviceFixture f;
        f.driveTo(ZDeviceSession::CONNECTED);
        f.drainAllQueues();
        if (row.remote) {
            ZHTTPHeaders update = f.fromDevice(L"UPDATE");
            update.set(L"Audio-Enabled", L"false");
            update.set(L"Video-Enabled", L"true");
            f.request(update);
        } else {
            f.session->onCaptureChanged();
        }
        EXPECT_EQ(methodsOf(drainQueue(*f.store, kCapture)), (std::vector<std::wstring>{L"CLOSE", L"OPEN"})) << row.what;
        EXPECT_EQ(methodsOf(drainQueue(*f.store, kPlayback)), (std::vector<std::wstring>{L"CLOSE", L"OPEN"})) << row.what;
        EXPECT_TRUE(drainQueue(*f.store, kFiles).empty()) << row.what << ": transfers go on";
        EXPECT_TRUE(drainQueue(*f.store, kScreen).empty()) << row.what << ": screen shares go on";
        EXPECT_EQ(f.session->getState(), ZDeviceSession::CONNECTED);
    }
}

TEST(ZDeviceSession, LeavingConnectedStopsEveryServiceOfTheDevice) {
    DeviceFixture f;
    f.driveTo(ZDeviceSession::CONNECTED);
    f.drainAllQueues();
    f.request(f.fromDevice(L"BYE"));
    EXPECT_EQ(f.session->getState(), ZDeviceSession::DISCONNECTED);
    EXPECT_EQ(methodsOf(drainQueue(*f.store, kCapture)), std::vector<std::wstring>{L"CLOSE"});
    EXPECT_EQ(methodsOf(drainQueue(*f.store, kPlayback)), std::vector<std::wstring>{L"CLOSE"});
    EXPECT_EQ(methodsOf(drainQueue(*f.store, kFiles)), std::vector<std::wstring>{L"CANCEL"});
    EXPECT_EQ(methodsOf(drainQueue(*f.store, kScreen)), (std::vector<std::wstring>{L"CLOSESEND", L"CLOSERECV"}));
}

TEST(ZDeviceSession, CrossingGoodbyesAnswerEachOtherAndEndAtOnce) {
    DeviceFixture f;
    f.store->insert(L"Local_Buddy_List", kBuddy);
    f.driveTo(ZDeviceSession::WF_BYERESPONSE);
    f.forgetSent();
    ZHTTPHeaders bye = f.fromDevice(L"BYE");
    bye.set(L"Removed", L"true");
    // Only the device's agreed path may end the session.
    f.session->onRequest(f.peer.host(), L"127.0.0.1:9", bye);
    EXPECT_EQ(f.session->getState(), ZDeviceSession::WF_BYERESPONSE);
    f.request(bye);
    EXPECT_EQ(f.session->getState(), ZDeviceSession::DISCONNECTED);
    const std::vector<ZHTTPHeaders> sent = f.sentToDevice();
    ASSERT_EQ(sent.size(), 1u);
    std::wstring reason;
    EXPECT_EQ(sent[0].getResponse(reason), 200);
    EXPECT_EQ(sent[0].get(L"CSeq"), bye.get(L"CSeq"));
    EXPECT_FALSE(f.store->contains(L"Local_Buddy_List", kBuddy));
}

TEST(ZDeviceSession, ARemovingBYETakesTheBuddyOffTheListForThisRun) {
    DeviceFixture f;
    f.store->insert(L"Local_Buddy_List", kBuddy);
    f.driveTo(ZDeviceSession::CONNECTED);
    ZHTTPHeaders bye = f.fromDevice(L"BYE");
    bye.set(L"Removed", L"true");
    f.request(bye);
    EXPECT_FALSE(f.store->contains(L"Local_Buddy_List", kBuddy));
    EXPECT_TRUE(f.store->contains(L"Removed_Buddy_List", kBuddy));
}

TEST(ZDeviceSession, HoldsAPeersTimeBiasToADay) {
    struct Row {
        const wchar_t* bias;
        const wchar_t* stored;
    };
    for (const Row& row : {Row{L"-60", L"-60"}, Row{L"99999999999", L"1440"}, Row{L"-99999999999", L"-1440"},
                           Row{L"junk", L"0"}}) {
        DeviceFixture f;
        ZHTTPHeaders invite = f.invite();
        invite.set(L"Time-Bias", row.bias);
        f.request(invite);
        EXPECT_EQ(f.store->get(kBuddy + L"_Time_Bias"), row.stored) << ZToUTF8(row.bias);
    }
}

namespace {

// Two sessions facing each other over two real switchboards invite each
// other at the same moment; both must be connected within 30 s.
void collideOnce(SessionWorld& aWorld, SessionWorld& bWorld) {
    ZDeviceSession* a = ZSAFENEW(ZDeviceSession, aWorld.store.get(), &aWorld.peer.sip(), kBuddy, kDevice);
    ZDeviceSession* b = ZSAFENEW(ZDeviceSession, bWorld.store.get(), &bWorld.peer.sip(), kMe, kMyDevice);
    struct Router : IZSIPClientListener {
        ZDeviceSession* session;
        void onRequest(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& r) override {
            if (r.getMethod() != L"HOLEPUNCH") session->onRequest(to, from, r);
        }
        void onResponse(const std::wstring& to, const std::wstring& from, const ZHTTPHeaders& q,
                        const ZHTTPHeaders& r) override {
            session->onResponse(to, from, q, r);
        }
    } aRouter, bRouter;
    aRouter.session = a;
    bRouter.session = b;
    ZLogCapture log;
    LogCategory categories("d");
    // Each invites the other at once: the server hands each INVITE over.
    a->waitForINVITEOK({L"local://" + bWorld.peer.host()});
    b->waitForINVITEOK({L"local://" + aWorld.peer.host()});
    ZDeviceSession::sendINVITE(aWorld.store.get(), &aWorld.peer.sip(), kBuddy);
    ZDeviceSession::sendINVITE(bWorld.store.get(), &bWorld.peer.sip(), kMe);
    auto forwardInvites = [](SessionWorld& from, SessionWorld& to, ZDeviceSession* target) {
        from.peer.port().send(L"", from.server.host(), std::string("END"));
        for (const Datagram& d : from.server.receiveUntil("END")) {
            ZHTTPHeaders invite = d.message();
            if (invite.getMethod() == L"INVITE") target->onRequest(to.peer.host(), from.peer.host(), invite);
        }
    };
    forwardInvites(aWorld, bWorld, b);
    forwardInvites(bWorld, aWorld, a);
    // Passes of the service loop, half a second apart: 30 s in all.
    for (int round = 0; round < 60 && !(a->isOnline() && b->isOnline()); ++round) {
        advance(500000);
        a->update();
        b->update();
        forwardInvites(aWorld, bWorld, b);
        forwardInvites(bWorld, aWorld, a);
        for (int i = 0; i < 3; ++i) {
            aWorld.peer.pump(5000);
            aWorld.peer.sip().dispatch(&aRouter);
            bWorld.peer.pump(5000);
            bWorld.peer.sip().dispatch(&bRouter);
        }
    }
    EXPECT_TRUE(a->isOnline());
    EXPECT_TRUE(b->isOnline());
    // Both refused at first; back-offs that end in the same pass collide again.
    EXPECT_GE(log.count(L"Received INVITE while waiting for ours to complete, responding BUSY."), 2);
    // No picture is stored here; every other warning would be a fault.
    for (const std::wstring& line : log.lines())
        if (line.find(L"copy image") == std::wstring::npos) {
            EXPECT_EQ(line.find(L"WARNING"), std::wstring::npos) << ZToUTF8(line);
        }
    delete a;
    delete b;
    // Nothing of this run may reach the next one.
    for (SessionWorld* world : {&aWorld, &bWorld}) {
        while (world->peer.pump(20000) > 0) {
        }
        while (ZMegaPortBucket* bucket = world->peer.port().getSIPBucket()) world->peer.port().returnEmptyBucket(bucket);
        world->peer.sip().reset();
        world->server.receive(0);
    }
}

}  // namespace

TEST(ZDeviceSession, CollidingInvitationsSettleWithOneSideInvitingAgainEveryTime) {
    // Two sessions facing each other over two real switchboards, twenty times.
    SessionWorld aWorld(kMe, kMyDevice);
    SessionWorld bWorld(kBuddy, kDevice);
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        collideOnce(aWorld, bWorld);
    }
}

TEST(ZDeviceSession, NamesItsStatesAndEventsAndCallsAnythingElseInvalid) {
    EXPECT_EQ(ZDeviceSession::_getState(5), L"CONNECTED");
    EXPECT_EQ(ZDeviceSession::_getState(7), L"<invalid>");
    EXPECT_EQ(ZDeviceSession::_getEvent(6), L"REMOVEREQUESTED");
    EXPECT_EQ(ZDeviceSession::_getEvent(7), L"<invalid>");
}
