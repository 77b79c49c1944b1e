// The send mapping against a scripted receiver: a plain UDP socket whose
// requests are handed to the mapping as the file service would.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>

#include "ZFileSendMapping.h"
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

struct Sent {
    int type;
    int seqNum;
    std::uint32_t blockNum;
    std::string data;
    std::string raw;
};

struct Fixture {
    ZTempDir dir;
    ZInstance instance{ZFromUTF8(dir.file("settings.ini"))};
    ZMegaPort port{L"sender"};
    ZNetUDPPort* udp = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetUDPPort* receiver = ZNetUDPPortOpen(L"127.0.0.1:0");
    std::unique_ptr<ZFileSendMapping> mapping;
    std::string content;

    Fixture() {
        gNow = 4000000000000;
        port.setUDPPort(udp);
    }
    ~Fixture() {
        mapping.reset();
        port.reset();
        ZNetUDPPortClose(udp);
        ZNetUDPPortClose(receiver);
    }
    void open(std::size_t size, const std::string& name = "file.bin", bool create = true) {
        std::mt19937 rng(static_cast<unsigned>(size));
        content.resize(size);
        for (char& c : content) c = static_cast<char>(rng());
        if (create) ZTestWriteFile(dir.file(name), content);
        ZHTTPHeaders command(L"SENDFILE");
        command.set(L"File-ID", std::int64_t{77});
        command.set(L"Send-From", ZNetUDPPortGetLocalHost(udp));
        command.set(L"Send-To", ZNetUDPPortGetLocalHost(receiver));
        command.set(L"Path", ZFromUTF8(dir.file(name)));
        command.set(L"Buddy-Device-GUID", L"bob@device");
        mapping = std::make_unique<ZFileSendMapping>(&instance, &port, command, &testClock);
    }
    // Passes until the digest thread has read the file, the clock standing
    // still.
    void awaitScan() {
        for (int i = 0; i < 3000 && get(L"_Complete") == L"Scanning..."; ++i) {
            mapping->update();
            ZThreadSleep(5000);
        }
    }
    void deliver(const std::string& packet) {
        ZMegaPortBucket bucket;
        bucket.from = ZNetUDPPortGetLocalHost(receiver);
        bucket.buffer = packet;
        mapping->dispatch(&bucket);
    }
    void request(std::uint8_t type) { deliver(ZRTPFTMessage(0, 77, type)); }
    void getBlocks(std::uint32_t chunk, std::uint32_t count, const std::string& map) {
        std::string m(28, '\0');
        unsigned char* p = reinterpret_cast<unsigned char*>(&m[0]);
        ZComposeFT(p, 0, 77, ZRTPFT_GETBLOCKS);
        ZComposeGETBLOCKS(p, chunk, count);
        deliver(m + map);
    }
    void ack(int seqNum, std::uint32_t vector, int percent = 0) {
        std::string m(28, '\0');
        unsigned char* p = reinterpret_cast<unsigned char*>(&m[0]);
        ZComposeFT(p, 0, 77, ZRTPFT_ACK);
        ZComposeFTACK(p, static_cast<std::uint8_t>(percent), static_cast<std::uint16_t>(seqNum), vector);
        deliver(m);
    }
    std::vector<Sent> received() {
        ZThreadSleep(2000);
        std::vector<Sent> out;
        std::string data;
        std::wstring from;
        while (ZNetUDPPortRecv(receiver, data, from)) {
            ZRTPFTHeader h;
            int remaining = 0;
            if (!ZDecomposeRTPFT(data.data(), static_cast<int>(data.size()), h, remaining)) continue;
            Sent s{h.type, h.rtp.seqNum, 0, std::string(), data};
            ZRTPFTBLOCK block;
            if (ZDecomposeRTPFTBLOCK(data.data(), static_cast<int>(data.size()), block, remaining)) {
                s.blockNum = block.blockNum;
                s.data = data.substr(28);
                EXPECT_EQ(block.blockSize, s.data.size());
            }
            out.push_back(s);
        }
        return out;
    }
    std::wstring get(const wchar_t* suffix) { return instance.get(std::wstring(L"File#77") + suffix); }
};

}  // namespace

TEST(ZFileSendMapping, AnswersInfoAndServesEveryBlockUnderTheBudget) {
    Fixture f;
    f.open(10000);
    f.awaitScan();
    EXPECT_EQ(L"file.bin", f.get(L"_Filename"));
    EXPECT_EQ(L"--%", f.get(L"_Complete"));
    EXPECT_TRUE(f.instance.contains(L"File_Send_List", L"File#77"));
    f.request(ZRTPFT_GETINFO);
    std::vector<Sent> sent = f.received();
    ASSERT_EQ(1u, sent.size());
    ZRTPFTINFO info;
    int remaining = 0;
    ASSERT_TRUE(ZDecomposeRTPFTINFO(sent[0].raw.data(), static_cast<int>(sent[0].raw.size()), info, remaining));
    EXPECT_EQ(10000u, info.filesize);
    EXPECT_EQ(ZFileSHA1(ZFromUTF8(f.dir.file("file.bin"))), info.digest);

    // INFO in flight leaves room for exactly one full block.
    f.getBlocks(0, 2, std::string(2, '\0'));
    sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(ZRTPFT_BLOCK, sent[0].type);
    EXPECT_EQ(0u, sent[0].blockNum);

    std::map<std::uint32_t, std::string> blocks{{0, sent[0].data}};
    int newest = sent[0].seqNum;
    for (int round = 0; round < 10 && blocks.size() < 10; ++round) {
        f.ack(newest, 0xFFFFFFFF, 50);
        for (const Sent& s : f.received()) {
            EXPECT_EQ(ZRTPFT_BLOCK, s.type);
            EXPECT_TRUE(blocks.emplace(s.blockNum, s.data).second) << "block " << s.blockNum << " sent twice";
            newest = s.seqNum;
        }
    }
    ASSERT_EQ(10u, blocks.size());
    EXPECT_EQ(784u, blocks[9].size());
    std::string whole;
    for (const auto& entry : blocks) whole += entry.second;
    EXPECT_EQ(f.content, whole);
    EXPECT_EQ(L"50%", f.get(L"_Complete"));

    f.request(ZRTPFT_DONE);
    EXPECT_EQ(L"100% (Done)", f.get(L"_Complete"));
    EXPECT_TRUE(f.mapping->isComplete());
    EXPECT_EQ(-1, f.mapping->update());
    f.getBlocks(0, 2, std::string(2, '\0'));
    EXPECT_TRUE(f.received().empty());
}

TEST(ZFileSendMapping, SendsOnlyMissingBlocksAndResendsLostOnes) {
    Fixture f;
    f.open(8192);
    f.awaitScan();
    f.request(ZRTPFT_GETINFO);
    f.received();
    f.ack(0, 1);
    f.getBlocks(0, 1, std::string(1, '\xF0'));
    std::vector<Sent> sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(4u, sent[0].blockNum);
    // That block is reported lost: it goes again at once under a new number.
    f.ack(sent[0].seqNum, 0x0);
    std::vector<Sent> again = f.received();
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(4u, again[0].blockNum);
    EXPECT_EQ(sent[0].seqNum + 1, again[0].seqNum);
    std::vector<std::uint32_t> numbers;
    for (const Sent& s : again) numbers.push_back(s.blockNum);
    for (int round = 0; round < 10; ++round) {
        f.ack(again.empty() ? 0 : again.back().seqNum, 0xFFFFFFFF);
        again = f.received();
        for (const Sent& s : again) numbers.push_back(s.blockNum);
    }
    EXPECT_EQ((std::vector<std::uint32_t>{4, 5, 6, 7}), numbers);
}

TEST(ZFileSendMapping, HostileRequestsEndInWarnings) {
    Fixture f;
    f.open(3000);
    f.awaitScan();
    f.request(ZRTPFT_GETINFO);
    f.received();
    ZLogCapture log;
    f.ack(500, 0xFFFFFFFF);  // never sent
    f.getBlocks(0, 4, std::string(2, '\0'));  // map shorter than it says
    f.getBlocks(0, 5000, std::string(5000, '\0'));
    f.getBlocks(1, 1, std::string(1, '\0'));  // past the end
    f.deliver(ZRTPFTMessage(0, 77, ZRTPFT_BLOCK));
    f.deliver(std::string("\x80\x03short", 7));
    EXPECT_EQ(2, log.count(L"WARNING Malformed 'GETBLOCKS' request from ("));
    EXPECT_EQ(1, log.count(L"WARNING Requesting invalid file region (offset=8192, size=8192, filesize=3000"));
    EXPECT_EQ(2, log.count(L"WARNING Invalid payload type #"));
    EXPECT_TRUE(f.received().empty());
    EXPECT_FALSE(f.mapping->isComplete());
}

TEST(ZFileSendMapping, AnEmptyFileIsOfferedWithTheEmptyDigest) {
    Fixture f;
    f.open(0);
    f.awaitScan();
    f.request(ZRTPFT_GETINFO);
    std::vector<Sent> sent = f.received();
    ASSERT_EQ(1u, sent.size());
    ZRTPFTINFO info;
    int remaining = 0;
    ASSERT_TRUE(ZDecomposeRTPFTINFO(sent[0].raw.data(), static_cast<int>(sent[0].raw.size()), info, remaining));
    EXPECT_EQ(0u, info.filesize);
    EXPECT_EQ(std::string("\xda\x39\xa3\xee\x5e\x6b\x4b\x0d\x32\x55\xbf\xef\x95\x60\x18\x90\xaf\xd8\x07\x09", 20),
              info.digest);
    f.getBlocks(0, 1, std::string(1, '\0'));
    f.mapping->update();
    EXPECT_TRUE(f.received().empty());
}

TEST(ZFileSendMapping, AMissingFileIsAnErrorAtOnceAndTheReceiverIsTold) {
    Fixture f;
    f.open(10, "missing.bin", false);
    EXPECT_TRUE(f.mapping->isComplete());
    EXPECT_EQ(L"(error)", f.get(L"_Size"));
    EXPECT_EQ(L"(error)", f.get(L"_Complete"));
    f.mapping.reset();
    const std::vector<Sent> sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(ZRTPFT_CANCELRECV, sent[0].type);
}

TEST(ZFileSendMapping, TenSecondsWithoutTheReceiverCancel) {
    Fixture f;
    f.open(5000);
    f.awaitScan();
    f.request(ZRTPFT_GETINFO);
    f.getBlocks(0, 1, std::string(1, '\0'));
    f.received();
    std::int64_t result = 0;
    for (int i = 0; i < 120 && result != -1; ++i) {
        gNow += 100000;
        result = f.mapping->update();
    }
    EXPECT_EQ(-1, result);
    EXPECT_NE(std::wstring::npos, f.get(L"_Complete").find(L" (Cancelled)"));
}

TEST(ZFileSendMapping, ScansOffTheServiceThreadAndAnswersInfoWhenDone) {
    Fixture f;
    // A sparse file of 256 MiB takes a moment to read, however fast the disk.
    const std::string path = f.dir.file("big.bin");
    ZTestWriteFile(path, "");
    std::filesystem::resize_file(path, 256ULL << 20);
    f.open(0, "big.bin", false);
    EXPECT_EQ(L"Scanning...", f.get(L"_Complete"));
    // Asked while scanning: a bare INFO header says "wait".
    f.request(ZRTPFT_GETINFO);
    std::vector<Sent> sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(ZRTPFT_INFO, sent[0].type);
    EXPECT_EQ(20u, sent[0].raw.size());
    EXPECT_EQ(0, sent[0].seqNum);
    // Passes go on meanwhile, briefly.
    EXPECT_GE(20000, f.mapping->update());
    f.awaitScan();
    EXPECT_EQ(L"--%", f.get(L"_Complete"));
    sent = f.received();
    ASSERT_EQ(1u, sent.size());
    ZRTPFTINFO info;
    int remaining = 0;
    ASSERT_TRUE(ZDecomposeRTPFTINFO(sent[0].raw.data(), static_cast<int>(sent[0].raw.size()), info, remaining));
    EXPECT_EQ(1, sent[0].seqNum);
    EXPECT_EQ(256ULL << 20, info.filesize);
    EXPECT_EQ(ZFileSHA1(ZFromUTF8(path)), info.digest);
}

TEST(ZFileSendMapping, ServesRunsBeyondFourGiB) {
    Fixture f;
    // A sparse file of 4 GiB + 16 KiB with a marker at 4 GiB.
    const std::string path = f.dir.file("sparse.bin");
    ZTestWriteFile(path, "");
    std::filesystem::resize_file(path, (4ULL << 30) + 16384);
    {
        std::fstream out(path, std::ios::in | std::ios::out | std::ios::binary);
        out.seekp(static_cast<std::streamoff>(4ULL << 30));
        out << "marker";
    }
    f.open(0, "sparse.bin", false);
    f.getBlocks(524288, 2, std::string(2, '\0'));
    const std::vector<Sent> sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(4194304u, sent[0].blockNum);
    EXPECT_EQ("marker", sent[0].data.substr(0, 6));
    EXPECT_EQ(1024u, sent[0].data.size());
}
