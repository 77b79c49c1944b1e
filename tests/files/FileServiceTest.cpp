// Two file services over loopback switchboards, driven pass by pass on a
// stepped clock, with a channel that can lose, duplicate and reorder.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "ZFileService.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZTestSupport.h"

namespace {

std::int64_t gNow = 0;
std::int64_t testClock() {
    return gNow;
}

struct Side {
    ZTempDir dir;
    ZInstance* instance = new ZInstance(ZFromUTF8(dir.file("settings.ini")));
    ZMegaPort* port = new ZMegaPort(L"side");
    ZNetUDPPort* udp = ZNetUDPPortOpen(L"127.0.0.1:0");
    std::wstring host = ZNetUDPPortGetLocalHost(udp);
    ZFileService* service = nullptr;
    Side() {
        port->setUDPPort(udp);
        service = new ZFileService(instance, port);
        service->setClock(&testClock);
    }
    ~Side() {
        instance->enqueue(L"ZFileService_commandQueue", ZHTTPHeaders(L"RESET").serialize());
        service->runPass();
        delete service;
        port->reset();
        ZNetUDPPortClose(udp);
        delete port;
        delete instance;
    }
    void post(const ZHTTPHeaders& command) { instance->enqueue(L"ZFileService_commandQueue", command.serialize()); }
    // The methods and outcomes reported on the client's queue.
    std::vector<std::wstring> reports() {
        std::vector<std::wstring> out;
        std::string item;
        while (instance->dequeue(L"ZClient_commandQueue", item)) {
            ZHTTPHeaders m;
            if (m.deserialize(item) > 0) out.push_back(m.getMethod() + L" " + m.get(L"Outcome"));
        }
        return out;
    }
};

struct Transfer {
    Side sender, receiver;
    std::mt19937 rng{11};
    int lossPercent = 0;
    bool silent = false;
    // DONE datagrams still to be lost on the way.
    int donesToLose = 0;
    std::string content;
    std::string source, target;

    Transfer() { gNow = 7000000000000; }
    void start(std::size_t size, std::int64_t id = 4242) {
        content.resize(size);
        for (char& c : content) c = static_cast<char>(rng());
        source = sender.dir.file("source.bin");
        target = receiver.dir.file("target.bin");
        ZTestWriteFile(source, content);
        ZHTTPHeaders send(L"SENDFILE");
        send.set(L"File-ID", id);
        send.set(L"Path", ZFromUTF8(source));
        send.set(L"Send-From", sender.host);
        send.set(L"Send-To", receiver.host);
        send.set(L"Buddy-Device-GUID", L"bob@d");
        sender.post(send);
        ZHTTPHeaders recv(L"RECVFILE");
        recv.set(L"File-ID", id);
        recv.set(L"Path", ZFromUTF8(target));
        recv.set(L"Send-From", receiver.host);
        recv.set(L"Send-To", sender.host);
        recv.set(L"Buddy-Device-GUID", L"alice@d");
        receiver.post(recv);
    }
    void carry(Side& to, const std::wstring& from) {
        std::vector<std::string> datagrams;
        std::string data;
        std::wstring sender_;
        while (ZNetUDPPortRecv(to.udp, data, sender_)) datagrams.push_back(data);
        if (silent) return;
        std::uniform_int_distribution<int> percent(0, 99);
        std::vector<std::string> out;
        for (const std::string& d : datagrams) {
            ZRTPFTHeader header;
            int remaining = 0;
            if (donesToLose > 0 && ZDecomposeRTPFT(d.data(), static_cast<int>(d.size()), header, remaining) &&
                header.type == ZRTPFT_DONE) {
                --donesToLose;
                continue;
            }
            if (lossPercent && percent(rng) < lossPercent) continue;
            out.push_back(d);
            if (lossPercent && percent(rng) < lossPercent) out.push_back(d);
            if (lossPercent && out.size() >= 2 && percent(rng) < lossPercent)
                std::swap(out[out.size() - 1], out[out.size() - 2]);
        }
        for (const std::string& d : out) {
            ZMegaPortBucket* bucket = to.port->getEmtpyBucket();
            bucket->from = from;
            bucket->buffer = d;
            to.port->fillRTPBucket(bucket);
        }
    }
    void step() {
        gNow += 20000;
        sender.service->runPass();
        ZThreadSleep(1000);
        carry(receiver, sender.host);
        receiver.service->runPass();
        ZThreadSleep(1000);
        carry(sender, receiver.host);
    }
    // Steps until both sides have reported or the steps run out; the
    // reports of each side.
    void runToEnd(int steps, std::vector<std::wstring>& sent, std::vector<std::wstring>& received) {
        for (int i = 0; i < steps && (sent.empty() || received.empty()); ++i) {
            step();
            for (const std::wstring& r : sender.reports()) sent.push_back(r);
            for (const std::wstring& r : receiver.reports()) received.push_back(r);
        }
    }
};

}  // namespace

TEST(ZFileService, TransferSurvivesLossDuplicationAndReordering) {
    for (std::size_t size : {std::size_t{10500}, std::size_t{8 * 1024 * 1024 + 8193}}) {
        SCOPED_TRACE(size);
        Transfer t;
        t.lossPercent = 5;
        t.start(size);
        std::vector<std::wstring> sent, received;
        t.runToEnd(20000, sent, received);
        EXPECT_EQ(std::vector<std::wstring>{L"RECVFILECOMPLETE Done"}, received);
        EXPECT_EQ(std::vector<std::wstring>{L"SENDFILECOMPLETE Done"}, sent);
        EXPECT_TRUE(t.content == ZTestReadFile(t.target));
    }
}

TEST(ZFileService, ADoneLostOnTheWayStillEndsTheSendDone) {
    Transfer t;
    t.donesToLose = 2;
    t.start(5000);
    std::vector<std::wstring> sent, received;
    t.runToEnd(2000, sent, received);
    EXPECT_EQ(0, t.donesToLose);
    EXPECT_EQ(std::vector<std::wstring>{L"RECVFILECOMPLETE Done"}, received);
    EXPECT_EQ(std::vector<std::wstring>{L"SENDFILECOMPLETE Done"}, sent);
}

TEST(ZFileService, ASilentPeerEndsBothSidesCancelledAndTheTargetUntouched) {
    Transfer t;
    t.start(2000000);
    ZTestWriteFile(t.target, "existing");
    t.step();
    // Blocks flow before the channel goes silent.
    for (int i = 0; i < 2000 && t.receiver.instance->get(L"File#4242_Complete").find(L"--") == 0; ++i) t.step();
    t.silent = true;
    std::vector<std::wstring> sent, received;
    t.runToEnd(1000, sent, received);
    EXPECT_EQ(std::vector<std::wstring>{L"RECVFILECOMPLETE Cancelled"}, received);
    EXPECT_EQ(std::vector<std::wstring>{L"SENDFILECOMPLETE Cancelled"}, sent);
    EXPECT_EQ("existing", ZTestReadFile(t.target));
    EXPECT_EQ("", ZTestReadFile(t.target + ".part"));
}

TEST(ZFileService, ASourceChangedAfterItsScanEndsCorruptAndNotDone) {
    Transfer t;
    t.start(300000);
    ZTestWriteFile(t.target, "the old target");
    for (int i = 0; i < 2000 && t.sender.instance->get(L"File#4242_Complete") != L"--%"; ++i) {
        t.sender.service->runPass();
        ZThreadSleep(1000);
    }
    // Same size, other bytes: every block fits, the digest does not.
    std::string changed = t.content;
    changed[150000] = static_cast<char>(changed[150000] ^ 0x55);
    ZTestWriteFile(t.source, changed);
    std::vector<std::wstring> sent, received;
    t.runToEnd(3000, sent, received);
    EXPECT_EQ(std::vector<std::wstring>{L"RECVFILECOMPLETE Corrupt"}, received);
    EXPECT_EQ(std::vector<std::wstring>{L"SENDFILECOMPLETE Cancelled"}, sent);
    EXPECT_EQ(L"100% (Corrupt)", t.receiver.instance->get(L"File#4242_Complete"));
    EXPECT_EQ("the old target", ZTestReadFile(t.target));
}

TEST(ZFileService, PacketsFromStrangersAndUnknownTypesAreDropped) {
    Transfer t;
    t.start(5000);
    t.step();
    ZLogCapture log;
    // A forged CANCELRECV from another address, and an unknown type.
    for (const std::string& packet : {ZRTPFTMessage(0, 4242, ZRTPFT_CANCELRECV), ZRTPFTMessage(0, 4242, 9)}) {
        ZMegaPortBucket* bucket = t.receiver.port->getEmtpyBucket();
        bucket->from = L"127.0.0.1:9";
        bucket->buffer = packet;
        t.receiver.port->fillRTPBucket(bucket);
    }
    t.receiver.service->runPass();
    EXPECT_EQ(1, log.count(L"WARNING Unrecognized RTPFT packet type #9, ignoring."));
    EXPECT_TRUE(t.receiver.reports().empty());
    std::vector<std::wstring> received;
    for (int i = 0; i < 500 && received.empty(); ++i) {
        t.step();
        for (const std::wstring& r : t.receiver.reports()) received.push_back(r);
    }
    EXPECT_EQ(std::vector<std::wstring>{L"RECVFILECOMPLETE Done"}, received);
}

TEST(ZFileService, CancelByTransferKeyFromEitherSide) {
    for (bool fromReceiver : {false, true}) {
        SCOPED_TRACE(fromReceiver ? "receiver cancels" : "sender cancels");
        Transfer t;
        t.start(400000);
        for (int i = 0; i < 10; ++i) t.step();
        ZHTTPHeaders bare(L"CANCEL");
        bare.set(L"File-ID", L"4242");  // no "File#": names transfer 0
        (fromReceiver ? t.receiver : t.sender).post(bare);
        t.step();
        EXPECT_TRUE(t.sender.reports().empty());
        EXPECT_TRUE(t.receiver.reports().empty());
        ZHTTPHeaders cancel(L"CANCEL");
        cancel.set(L"File-ID", L"file#4242");
        (fromReceiver ? t.receiver : t.sender).post(cancel);
        std::vector<std::wstring> sent, received;
        t.runToEnd(200, sent, received);
        EXPECT_EQ(std::vector<std::wstring>{L"SENDFILECOMPLETE Cancelled"}, sent);
        EXPECT_EQ(std::vector<std::wstring>{L"RECVFILECOMPLETE Cancelled"}, received);
        EXPECT_NE(std::wstring::npos, t.receiver.instance->get(L"File#4242_Complete").find(L"(Cancelled)"));
        EXPECT_NE(std::wstring::npos, t.sender.instance->get(L"File#4242_Complete").find(L"(Cancelled)"));
        EXPECT_EQ("", ZTestReadFile(t.target + ".part"));
    }
}

TEST(ZSendRTPFT, SendsTheTwentyByteHeaderOnlyMessageThroughTheSwitchboard) {
    Side from;
    ZNetUDPPort* sink = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZSendRTPFT(from.port, from.host, ZNetUDPPortGetLocalHost(sink), 0x1234, 0xA1B2C3D4u, ZRTPFT_DONE);
    std::string bytes;
    std::wstring sender;
    for (int i = 0; i < 100 && !ZNetUDPPortRecv(sink, bytes, sender); ++i) ZThreadSleep(10000);
    ZNetUDPPortClose(sink);
    ASSERT_EQ(bytes.size(), 20u);
    EXPECT_EQ(sender, from.host);
    // Version byte, payload type 3, file identifier little-endian, reserved zero, type last.
    EXPECT_EQ(bytes.substr(0, 2), std::string("\x80\x03", 2));
    EXPECT_EQ(bytes.substr(12, 8), std::string("\xD4\xC3\xB2\xA1\0\0\0\x08", 8));
    ZRTPFTHeader header;
    int remaining = -1;
    ASSERT_NE(ZDecomposeRTPFT(bytes.data(), static_cast<int>(bytes.size()), header, remaining), nullptr);
    EXPECT_EQ(remaining, 0);
    EXPECT_EQ(header.rtp.seqNum, 0x1234);
}

TEST(ZFileService, AReceiveWithoutAPathIsRefusedBeforeAnyMappingIsMade) {
    ZLogCapture log;
    Side receiver;
    ZHTTPHeaders recv(L"RECVFILE");
    recv.set(L"File-ID", std::int64_t{9});
    recv.set(L"Send-From", receiver.host);
    recv.set(L"Send-To", L"127.0.0.1:9");
    recv.set(L"Buddy-Device-GUID", L"alice@d");
    receiver.post(recv);
    receiver.service->runPass();
    EXPECT_EQ(log.count(L"WARNING Received 'RECVFILE' for fileID#9 without a path, ignoring."), 1);
    EXPECT_FALSE(receiver.instance->contains(L"File_Recv_List", L"File#9"));
}
