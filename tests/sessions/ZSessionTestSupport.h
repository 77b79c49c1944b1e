// A device session under test: its store, a switchboard over a loopback UDP
// port, the device's own port that collects what the session sends, and a
// signalling-server port that collects the server-routed INVITE. Inputs are
// built here as the device would send them.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "../transport/ZSIPTestPeer.h"
#include "ZDeviceSession.h"
#include "ZInstance.h"
#include "ZTestSupport.h"

namespace sessiontest {

using namespace siptest;

inline const std::wstring kMe = L"me@zandrel.test";
inline const std::wstring kMyDevice = L"mydevice";
inline const std::wstring kBuddy = L"bob@zandrel.test";
inline const std::wstring kDevice = L"bobdevice";
inline const std::wstring kBuddyDevice = kBuddy + L"@" + kDevice;

inline ZHTTPHeaders responseTo(const ZHTTPHeaders& original, int code, const std::wstring& reason) {
    ZHTTPHeaders r = response(code, reason);
    r.set(L"CSeq", original.get(L"CSeq"));
    return r;
}

inline std::vector<ZHTTPHeaders> drainQueue(ZInstance& store, const std::wstring& queue) {
    std::vector<ZHTTPHeaders> out;
    std::string item;
    while (store.dequeue(queue, item)) {
        ZHTTPHeaders m;
        m.deserialize(item);
        out.push_back(m);
    }
    return out;
}

inline std::vector<std::wstring> methodsOf(const std::vector<ZHTTPHeaders>& messages) {
    std::vector<std::wstring> out;
    for (const ZHTTPHeaders& m : messages) out.push_back(m.getMethod());
    return out;
}

// The store and the transaction layer a session runs over.
class SessionWorld {
public:
    explicit SessionWorld(const std::wstring& user = kMe, const std::wstring& device = kMyDevice)
        : store(ZSAFENEW(ZInstance, ZFromUTF8(dir.file("settings.ini")))), peer(L"me") {
        store->set(L"Local_User_GUID", user, false);
        store->set(L"Local_Device_GUID", device, false);
        store->set(L"User_Agent_String", std::wstring(L"Zandrel test"), false);
        store->set(L"Global_SIP_Host", server.host(), false);
        store->set(L"Route_List", L"local://" + peer.host(), false);
        store->set(L"Audio_Capture_Online", std::wstring(L"true"), false);
        store->set(L"Video_Capture_Online", std::wstring(L"false"), false);
    }
    ZTempDir dir;
    std::unique_ptr<ZInstance> store;
    UDPSink server;
    SIPPeer peer;
};

// One session with a fake device at the other end.
class DeviceFixture : public SessionWorld {
public:
    DeviceFixture() { session.reset(ZSAFENEW(ZDeviceSession, store.get(), &peer.sip(), kBuddy, kDevice)); }
    ~DeviceFixture() {
        session.reset();
        ZLogSetFilter(_savedFilter);
    }

    UDPSink device;
    std::unique_ptr<ZDeviceSession> session;

    std::wstring deviceRoutes() { return L"local://" + device.host(); }

    // A request as the device sends it.
    ZHTTPHeaders fromDevice(const std::wstring& method) {
        ZHTTPHeaders m;
        m.setMethod(method);
        m.set(L"From", kBuddy);
        m.set(L"From-Device-GUID", kDevice);
        m.set(L"To", kMe);
        m.set(L"To-Device-GUID", kMyDevice);
        m.set(L"CSeq", ZToString(++_deviceCSeq));
        m.set(L"Sent-From", device.host());
        m.set(L"Sent-From-Type", L"local");
        m.set(L"Sent-To", peer.host());
        m.set(L"Sent-To-Type", L"local");
        return m;
    }
    ZHTTPHeaders invite() {
        ZHTTPHeaders m = fromDevice(L"INVITE");
        m.set(L"Try-Route-List", deviceRoutes());
        m.set(L"Audio-Enabled", L"true");
        m.set(L"Video-Enabled", L"true");
        m.set(L"Time-Bias", L"0");
        return m;
    }
    ZHTTPHeaders ourRequest(const std::wstring& method) {
        ZHTTPHeaders m;
        m.setMethod(method);
        m.set(L"CSeq", ZToString(++_ourCSeq));
        m.set(L"Time-Sent", fakeNow());
        return m;
    }
    // The device's 200 to our INVITE, along our route.
    ZHTTPHeaders inviteOK(const ZHTTPHeaders& ourInvite, int code = 200) {
        ZHTTPHeaders r = responseTo(ourInvite, code, code == 200 ? L"OK" : L"Busy");
        r.set(L"From-Device-GUID", kDevice);
        r.set(L"Sent-From", device.host());
        r.set(L"Sent-From-Type", L"local");
        r.set(L"Sent-To", peer.host());
        r.set(L"Sent-To-Type", L"local");
        r.set(L"Try-Route-List", deviceRoutes());
        return r;
    }
    // The device's ACK to our 200: we are to send from our address to its.
    ZHTTPHeaders ack() {
        ZHTTPHeaders m = fromDevice(L"ACK");
        m.set(L"Send-From", peer.host());
        m.set(L"Send-To", device.host());
        m.set(L"Send-To-Type", L"local");
        return m;
    }
    ZHTTPHeaders ackOK(const ZHTTPHeaders& ourAck) {
        ZHTTPHeaders r = responseTo(ourAck, 200, L"OK");
        r.set(L"Send-From", peer.host());
        r.set(L"Send-To", device.host());
        r.set(L"Send-To-Type", L"local");
        r.set(L"Sent-From-Type", L"local");
        r.set(L"Sent-To", peer.host());
        r.set(L"Sent-To-Type", L"local");
        return r;
    }

    void request(const ZHTTPHeaders& m) { session->onRequest(peer.host(), device.host(), m); }
    void respond(const ZHTTPHeaders& original, const ZHTTPHeaders& r) {
        session->onResponse(peer.host(), device.host(), original, r);
    }
    void tick(std::int64_t microseconds = 0) {
        advance(microseconds);
        session->update();
    }

    // Brings the session to a state the way a device would.
    void driveTo(ZDeviceSession::State state) {
        switch (state) {
            case ZDeviceSession::DISCONNECTED:
                break;
            case ZDeviceSession::WF_INVITERESPONSE:
                session->waitForINVITEOK({deviceRoutes()});
                break;
            case ZDeviceSession::WT_REINVITE: {
                session->waitForINVITEOK({deviceRoutes()});
                const ZHTTPHeaders ours = ourRequest(L"INVITE");
                respond(ours, inviteOK(ours, 300));
                break;
            }
            case ZDeviceSession::WF_ACK:
                request(invite());
                break;
            case ZDeviceSession::WF_ACKRESPONSE: {
                session->waitForINVITEOK({deviceRoutes()});
                const ZHTTPHeaders ours = ourRequest(L"INVITE");
                respond(ours, inviteOK(ours));
                break;
            }
            case ZDeviceSession::CONNECTED: {
                driveTo(ZDeviceSession::WF_ACK);
                request(ack());
                break;
            }
            case ZDeviceSession::WF_BYERESPONSE:
                driveTo(ZDeviceSession::CONNECTED);
                session->bye(false);
                break;
        }
        ASSERT_EQ(session->getState(), state);
    }

    // What reached the device, up to now.
    std::vector<ZHTTPHeaders> sentToDevice() {
        peer.port().send(L"", device.host(), std::string("END"));
        std::vector<ZHTTPHeaders> out;
        for (const Datagram& d : device.receiveUntil("END")) out.push_back(d.message());
        return out;
    }
    std::vector<ZHTTPHeaders> sentToServer() {
        peer.port().send(L"", server.host(), std::string("END"));
        std::vector<ZHTTPHeaders> out;
        for (const Datagram& d : server.receiveUntil("END")) out.push_back(d.message());
        return out;
    }
    void forgetSent() {
        sentToDevice();
        sentToServer();
    }
    void drainAllQueues() {
        for (const wchar_t* q : {L"ZVideoCaptureService_commandQueue", L"ZVideoPlaybackService_commandQueue",
                                 L"ZFileService_commandQueue", L"ZScreenService_commandQueue", L"ZClient_commandQueue"})
            drainQueue(*store, q);
    }
    void logCategories(const char* filter) { ZLogSetFilter(filter); }

private:
    int _deviceCSeq = 100;
    int _ourCSeq = 0;
    std::string _savedFilter = ZLogGetFilter();
};

inline const std::vector<ZDeviceSession::State> kAllStates = {
    ZDeviceSession::DISCONNECTED,   ZDeviceSession::WF_INVITERESPONSE, ZDeviceSession::WT_REINVITE,
    ZDeviceSession::WF_ACK,         ZDeviceSession::WF_ACKRESPONSE,    ZDeviceSession::CONNECTED,
    ZDeviceSession::WF_BYERESPONSE,
};

}  // namespace sessiontest
