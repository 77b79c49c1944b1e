#include <memory>
#include <string>
#include <vector>

#include "ZBuddySession.h"
#include "ZSessionHelpers.h"
#include "ZSessionTestSupport.h"

using namespace sessiontest;

namespace {

// A buddy session over the world's transaction layer.
class BuddyFixture : public SessionWorld {
public:
    BuddyFixture() { buddy.reset(ZSAFENEW(ZBuddySession, store.get(), &peer.sip(), kBuddy)); }
    ~BuddyFixture() { buddy.reset(); }

    UDPSink device;
    std::unique_ptr<ZBuddySession> buddy;

    ZHTTPHeaders ourInvite() {
        ZHTTPHeaders m(L"INVITE");
        m.set(L"CSeq", L"1");
        m.set(L"To", kBuddy);
        return m;
    }
    ZHTTPHeaders request(const std::wstring& method, const std::wstring& deviceGUID) {
        ZHTTPHeaders m(method);
        m.set(L"From", kBuddy);
        if (!deviceGUID.empty()) m.set(L"From-Device-GUID", deviceGUID);
        m.set(L"CSeq", L"7");
        m.set(L"Try-Route-List", L"local://" + device.host());
        return m;
    }
    std::vector<ZHTTPHeaders> sentToDevice() {
        peer.port().send(L"", device.host(), std::string("END"));
        std::vector<ZHTTPHeaders> out;
        for (const Datagram& d : device.receiveUntil("END")) out.push_back(d.message());
        return out;
    }
};

}  // namespace

TEST(ZBuddySession, StartsOfflineWithTheDefaultClockText) {
    BuddyFixture f;
    EXPECT_EQ(f.store->get(kBuddy + L"_Time"), L"-:--pm");
    f.buddy->update();
    EXPECT_EQ(f.store->get(kBuddy + L"_Online"), L"0");
    EXPECT_EQ(f.store->get(kBuddy + L"_Offline"), L"1");
    EXPECT_EQ(f.store->get(kBuddy + L"_Chat_Status"), kBuddy + L" is offline.");
    EXPECT_TRUE(f.buddy->isOffline());
}

TEST(ZBuddySession, OpensOneSessionPerListedDeviceWithUsableRoutesOnly) {
    ZLogCapture log;
    LogCategory categories("b");
    BuddyFixture f;
    ZHTTPHeaders answer = response(100, L"Trying");
    answer.set(L"CSeq", L"1");
    std::wstring list = L"good, noroutes, ZClient, ../up, evil)dev";
    for (int i = 0; i < 20; ++i) list += L", d" + std::to_wstring(i);
    answer.set(L"Device-List", list);
    answer.set(L"good-Route-List", L"local://" + f.device.host() + L", evil://1.2.3.4:5");
    answer.set(L"ZClient-Route-List", L"local://10.0.0.1:5000");
    answer.set(L"../up-Route-List", L"local://10.0.0.1:5000");
    answer.set(L"evil)dev-Route-List", L"local://10.0.0.1:5000");
    for (int i = 0; i < 20; ++i) answer.set(L"d" + std::to_wstring(i) + L"-Route-List", L"local://10.0.0.2:5000");
    f.buddy->onResponse(f.peer.host(), f.store->get(L"Global_SIP_Host"), f.ourInvite(), answer);

    EXPECT_EQ(log.count(L"Buddy '" + kBuddy + L"' is online at 25 locations, sending HOLEPUNCH to each."), 1);
    ASSERT_NE(f.buddy->getDevice(L"good"), nullptr);
    EXPECT_EQ(f.buddy->getDevice(L"good")->getState(), ZDeviceSession::WF_INVITERESPONSE);
    EXPECT_EQ(f.store->get(L"good_Route_List"), L"local://" + f.device.host());
    EXPECT_EQ(f.buddy->getDevice(L"noroutes"), nullptr);
    EXPECT_EQ(f.buddy->getDevice(L"ZClient"), nullptr);
    EXPECT_EQ(f.buddy->getDevice(L"../up"), nullptr);
    EXPECT_EQ(f.buddy->getDevice(L"evil)dev"), nullptr);
    EXPECT_EQ(f.buddy->getNumDevices(), ZSIP_MAX_DEVICES);
    EXPECT_FALSE(f.store->isSet(L"zclient_Route_List"));
}

TEST(ZBuddySession, AnOfflineAnswerCreatesNothing) {
    BuddyFixture f;
    ZHTTPHeaders answer = response(400, L"Offline");
    answer.set(L"CSeq", L"1");
    f.buddy->onResponse(f.peer.host(), f.store->get(L"Global_SIP_Host"), f.ourInvite(), answer);
    EXPECT_EQ(f.buddy->getNumDevices(), 0);
    EXPECT_FALSE(f.store->isSet(kBuddy + L"_Device_List"));
}

TEST(ZBuddySession, OnlyAnInvitationMakesSomebodyABuddy) {
    struct Row {
        const char* what;
        std::wstring method, device;
        bool listed;
        int answered400;
    };
    const std::vector<Row> rows = {
        {"an INVITE", L"INVITE", L"dev1", true, 0},
        {"a PING", L"PING", L"dev1", false, 0},
        {"a DEVICEBROADCAST", L"DEVICEBROADCAST", L"dev1", false, 0},
        {"a request without a device", L"PING", L"", false, 1},
        {"an INVITE with a hostile device", L"INVITE", L"ZClient_commandQueue", true, 1},
    };
    for (const Row& row : rows) {
        BuddyFixture f;
        f.buddy->onRequest(f.peer.host(), f.device.host(), f.request(row.method, row.device));
        EXPECT_EQ(f.store->contains(L"Local_Buddy_List", kBuddy), row.listed) << row.what;
        int refused = 0;
        for (const ZHTTPHeaders& m : f.sentToDevice())
            if (m.getResponse() == 400 && m.getResponseReason() == L"Invalid request") ++refused;
        EXPECT_EQ(refused, row.answered400) << row.what;
    }
}

TEST(ZBuddySession, ARemovedBuddyDoesNotComeBackWithItsNextRequest) {
    BuddyFixture f;
    f.buddy->invite();
    ASSERT_TRUE(f.store->contains(L"Local_Buddy_List", kBuddy));
    f.buddy->bye(true);
    EXPECT_FALSE(f.store->contains(L"Local_Buddy_List", kBuddy));
    f.buddy->onRequest(f.peer.host(), f.device.host(), f.request(L"PING", L"dev1"));
    f.buddy->onRequest(f.peer.host(), f.device.host(), f.request(L"INVITE", L"dev1"));
    EXPECT_FALSE(f.store->contains(L"Local_Buddy_List", kBuddy));
    EXPECT_EQ(f.buddy->getNumDevices(), 0);
}

TEST(ZBuddySession, DropsAResponseFromItsOwnDevice) {
    ZLogCapture log;
    BuddyFixture f;
    ZHTTPHeaders original(L"PING");
    original.set(L"CSeq", L"3");
    original.set(L"To-Device-GUID", kMyDevice);
    f.buddy->onResponse(f.peer.host(), f.device.host(), original, responseTo(original, 200, L"OK"));
    EXPECT_EQ(log.count(L"WARNING Somehow received a response from ourselves; ignoring."), 1);
    EXPECT_EQ(f.buddy->getNumDevices(), 0);
}

TEST(ZBuddySession, DrainsItsQueueWhetherOrNotItHasDevices) {
    ZLogCapture log;
    BuddyFixture f;
    ZHTTPHeaders broadcast(L"DEVICEBROADCAST");
    broadcast.addContent(ZHTTPHeaders(L"CHAT").serialize());
    f.store->enqueue(kBuddy + L"_commandQueue", broadcast.serialize());
    f.store->enqueue(kBuddy + L"_commandQueue", ZHTTPHeaders(L"SHUTDOWN").serialize());
    f.store->enqueue(kBuddy + L"_commandQueue", std::string("\x01junk"));
    f.buddy->update();
    EXPECT_EQ(f.store->length(kBuddy + L"_commandQueue"), 0u);
    EXPECT_EQ(log.count(L"WARNING Unrecognized command 'SHUTDOWN' to ZSIPService, ignoring."), 1);
    EXPECT_EQ(log.count(L"WARNING Malformed command to '" + kBuddy + L"@ZSIPService_commandQueue', ignoring."), 1);
}
