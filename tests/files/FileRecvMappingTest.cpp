// The receive mapping against a scripted sender: responses handed to the
// mapping as the file service would, its requests read from a plain socket.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include "ZFileRecvMapping.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZTestSupport.h"
#include "ZUtil_File.h"

namespace {

std::int64_t gNow = 0;
std::int64_t testClock() {
    return gNow;
}

struct Request {
    int type;
    std::uint32_t chunkOffset;
    std::uint32_t numChunks;
    std::string map;
    int percent;
};

struct Fixture {
    ZTempDir dir;
    ZInstance instance{ZFromUTF8(dir.file("settings.ini"))};
    ZMegaPort port{L"receiver"};
    ZNetUDPPort* udp = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetUDPPort* sender = ZNetUDPPortOpen(L"127.0.0.1:0");
    std::unique_ptr<ZFileRecvMapping> mapping;
    std::string content;
    std::string target;
    std::uint16_t seqNum = 0;

    Fixture() {
        gNow = 6000000000000;
        port.setUDPPort(udp);
        target = dir.file("received.bin");
    }
    ~Fixture() {
        mapping.reset();
        port.reset();
        ZNetUDPPortClose(udp);
        ZNetUDPPortClose(sender);
    }
    void open(std::size_t size) {
        std::mt19937 rng(static_cast<unsigned>(size) + 1);
        content.resize(size);
        for (char& c : content) c = static_cast<char>(rng());
        ZHTTPHeaders command(L"RECVFILE");
        command.set(L"File-ID", std::int64_t{88});
        command.set(L"Send-From", ZNetUDPPortGetLocalHost(udp));
        command.set(L"Send-To", ZNetUDPPortGetLocalHost(sender));
        command.set(L"Path", ZFromUTF8(target));
        command.set(L"Buddy-Device-GUID", L"alice@device");
        mapping = std::make_unique<ZFileRecvMapping>(&instance, &port, command, &testClock);
    }
    void deliver(const std::string& packet) {
        ZMegaPortBucket bucket;
        bucket.from = ZNetUDPPortGetLocalHost(sender);
        bucket.buffer = packet;
        mapping->dispatch(&bucket);
    }
    void info(std::uint64_t size, const std::string& digest) {
        std::string m(64, '\0');
        unsigned char* p = reinterpret_cast<unsigned char*>(&m[0]);
        ZComposeFT(p, seqNum++, 88, ZRTPFT_INFO);
        ZComposeINFO(p, size, digest);
        deliver(m);
    }
    std::string digestOfContent() {
        const std::string path = dir.file("source.bin");
        ZTestWriteFile(path, content);
        return ZFileSHA1(ZFromUTF8(path));
    }
    void block(std::uint32_t n, int size = -1, int dataSize = -1) {
        const std::size_t offset = static_cast<std::size_t>(n) * 1024;
        const int natural = offset < content.size() ? static_cast<int>(std::min<std::size_t>(1024, content.size() - offset)) : 0;
        if (size < 0) size = natural;
        if (dataSize < 0) dataSize = size;
        std::string m(28, '\0');
        unsigned char* p = reinterpret_cast<unsigned char*>(&m[0]);
        ZComposeFT(p, seqNum++, 88, ZRTPFT_BLOCK);
        ZComposeBLOCK(p, n, static_cast<std::uint16_t>(size));
        std::string data = offset < content.size() ? content.substr(offset, static_cast<std::size_t>(dataSize)) : "";
        data.resize(static_cast<std::size_t>(dataSize), 'x');
        deliver(m + data);
    }
    std::vector<Request> requests() {
        ZThreadSleep(2000);
        std::vector<Request> out;
        std::string data;
        std::wstring from;
        while (ZNetUDPPortRecv(sender, data, from)) {
            ZRTPFTHeader h;
            int remaining = 0;
            if (!ZDecomposeRTPFT(data.data(), static_cast<int>(data.size()), h, remaining)) continue;
            Request r{h.type, 0, 0, std::string(), 0};
            ZRTPFTGETBLOCKS g;
            if (ZDecomposeRTPFTGETBLOCKS(data.data(), static_cast<int>(data.size()), g, remaining)) {
                r.chunkOffset = g.chunkOffset;
                r.numChunks = g.numChunks;
                r.map = data.substr(28);
            }
            ZRTPFTACK a;
            if (ZDecomposeRTPFTACK(data.data(), static_cast<int>(data.size()), a, remaining)) r.percent = a.percent;
            out.push_back(r);
        }
        return out;
    }
    std::vector<int> typesOf(const std::vector<Request>& rs) {
        std::vector<int> types;
        for (const Request& r : rs)
            if (r.type != ZRTPFT_ACK) types.push_back(r.type);
        return types;
    }
    std::wstring get(const wchar_t* suffix) { return instance.get(std::wstring(L"File#88") + suffix); }
    void silentSecond() {
        gNow += 1100000;
        mapping->update();
    }
    // Passes until the digest thread has judged the file, the clock standing
    // nearly still.
    void awaitVerdict() {
        for (int i = 0; i < 5000 && !mapping->isComplete(); ++i) {
            gNow += 100;
            if (mapping->update() != -1) ZThreadSleep(2000);
        }
        ASSERT_TRUE(mapping->isComplete());
    }
};

}  // namespace

TEST(ZFileRecvMapping, ReceivesVerifiesAndOnlyThenReplacesTheTarget) {
    Fixture f;
    ZTestWriteFile(f.target, "the user's old file");
    f.open(10500);
    std::vector<Request> sent = f.requests();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(ZRTPFT_GETINFO, sent[0].type);

    f.info(10500, f.digestOfContent());
    sent = f.requests();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(ZRTPFT_ACK, sent[0].type);
    EXPECT_EQ(ZRTPFT_GETBLOCKS, sent[1].type);
    EXPECT_EQ(0u, sent[1].chunkOffset);
    EXPECT_EQ(2u, sent[1].numChunks);
    EXPECT_EQ(std::string(2, '\0'), sent[1].map);
    EXPECT_EQ(10500, static_cast<int>(ZTestReadFile(f.target + ".part").size()));

    for (std::uint32_t n : {0u, 1u, 2u}) f.block(n);
    EXPECT_EQ(L"27%", f.get(L"_Complete"));
    for (std::uint32_t n = 3; n < 11; ++n) f.block(n);
    sent = f.requests();
    EXPECT_EQ(11u, sent.size());  // every packet acknowledged
    // Each ACK goes out before its block is written.
    EXPECT_EQ(90, sent.back().percent);
    // The last block completes the file: it is verified at once, without
    // waiting for a silent second, and the target is still the old one.
    EXPECT_EQ(L"100% (Verifying...)", f.get(L"_Complete"));
    EXPECT_EQ("the user's old file", ZTestReadFile(f.target));
    f.awaitVerdict();
    // The verdict is repeated: one lost datagram must not cost the sender it.
    EXPECT_EQ(std::vector<int>(3, ZRTPFT_DONE), f.typesOf(f.requests()));
    EXPECT_EQ(ZFileRecvMapping::Done, f.mapping->getOutcome());
    EXPECT_EQ(L"100% (Done)", f.get(L"_Complete"));
    EXPECT_TRUE(f.content == ZTestReadFile(f.target));
    EXPECT_EQ("", ZTestReadFile(f.target + ".part"));
    EXPECT_EQ(-1, f.mapping->update());
}

TEST(ZFileRecvMapping, AFileThatDoesNotMatchItsDigestLeavesTheTargetAlone) {
    Fixture f;
    ZTestWriteFile(f.target, "keep me");
    // Whatever already goes by the temporary name is passed over.
    ZTestWriteFile(f.dir.file("elsewhere"), "not ours");
    ASSERT_EQ(0, symlink(f.dir.file("elsewhere").c_str(), (f.target + ".part").c_str()));
    f.open(3000);
    f.info(3000, std::string(20, '\x01'));
    EXPECT_EQ(3000u, std::filesystem::file_size(f.target + ".part1"));
    for (std::uint32_t n = 0; n < 3; ++n) f.block(n);
    f.requests();
    f.silentSecond();
    f.awaitVerdict();
    EXPECT_EQ(std::vector<int>(3, ZRTPFT_CANCELSEND), f.typesOf(f.requests()));
    EXPECT_EQ(ZFileRecvMapping::Corrupt, f.mapping->getOutcome());
    EXPECT_EQ(L"100% (Corrupt)", f.get(L"_Complete"));
    EXPECT_EQ("keep me", ZTestReadFile(f.target));
    EXPECT_EQ("not ours", ZTestReadFile(f.dir.file("elsewhere")));
    EXPECT_FALSE(std::filesystem::exists(f.target + ".part1"));
}

TEST(ZFileRecvMapping, HostileResponsesEndInWarnings) {
    Fixture f;
    f.open(10500);
    ZLogCapture log;
    f.block(0);  // before INFO
    f.info(10500, f.digestOfContent());
    f.block(11, 100);         // past the end
    f.block(3, 0);            // size 0
    f.block(4, 1024, 1000);   // short
    f.block(10, 1024);        // the last block at a full size
    f.block(40000, 1024);     // beyond the map
    EXPECT_EQ(6, log.count(L"WARNING Malformed 'BLOCK' request from ("));
    f.info(1, std::string(20, '\0'));
    EXPECT_EQ(1, log.count(L"WARNING Received duplicate 'INFO', ignoring."));
    EXPECT_EQ(L"--%", f.get(L"_Complete"));
    EXPECT_FALSE(f.mapping->isComplete());

    Fixture huge;
    huge.open(1);
    huge.info(1ULL << 62, std::string(20, '\0'));
    EXPECT_EQ(ZFileRecvMapping::Error, huge.mapping->getOutcome());
    EXPECT_EQ(L"(error)", huge.get(L"_Size"));
    EXPECT_EQ("", ZTestReadFile(huge.target + ".part"));
}

TEST(ZFileRecvMapping, AnEmptyFileArrivesAsDone) {
    Fixture f;
    f.open(0);
    f.info(0, std::string("\xda\x39\xa3\xee\x5e\x6b\x4b\x0d\x32\x55\xbf\xef\x95\x60\x18\x90\xaf\xd8\x07\x09", 20));
    EXPECT_EQ(ZFileRecvMapping::Done, f.mapping->getOutcome());
    EXPECT_TRUE(ZFileExists(ZFromUTF8(f.target)));
    EXPECT_EQ("", ZTestReadFile(f.target));
}

TEST(ZFileRecvMapping, MissingBlocksAreAskedForFromTheirChunk) {
    Fixture f;
    f.open(100 * 1024);
    f.info(100 * 1024, f.digestOfContent());
    for (std::uint32_t n = 0; n < 100; ++n)
        if (n != 80) f.block(n);
    f.requests();
    f.silentSecond();
    std::vector<Request> sent = f.requests();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(ZRTPFT_GETBLOCKS, sent[0].type);
    EXPECT_EQ(10u, sent[0].chunkOffset);
    EXPECT_EQ(3u, sent[0].numChunks);
    EXPECT_EQ(std::string("\x7F\xFF\xF0", 3), sent[0].map);
}

TEST(ZFileRecvMapping, TheNextRunIsAskedForAsSoonAsOneIsHeld) {
    Fixture f;
    f.open(8 * 1024 * 1024 + 8193);
    f.requests();
    f.info(f.content.size(), f.digestOfContent());
    std::vector<Request> sent = f.requests();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(0u, sent[1].chunkOffset);
    EXPECT_EQ(1024u, sent[1].numChunks);
    for (std::uint32_t n = 0; n < 8192; ++n) f.block(n);
    sent = f.requests();
    std::vector<Request> asked;
    for (const Request& r : sent)
        if (r.type == ZRTPFT_GETBLOCKS) asked.push_back(r);
    ASSERT_EQ(1u, asked.size());
    EXPECT_EQ(1024u, asked[0].chunkOffset);
    EXPECT_EQ(2u, asked[0].numChunks);
    EXPECT_EQ(std::string(2, '\0'), asked[0].map);
    EXPECT_EQ(ZRTPFT_GETBLOCKS, sent.back().type);  // right after the last block's ACK
}

TEST(ZFileRecvMapping, CancelledBySenderOrSilenceRemovesThePartialFile) {
    Fixture f;
    ZTestWriteFile(f.target, "old");
    f.open(5000);
    f.info(5000, f.digestOfContent());
    f.block(0);
    f.deliver(ZRTPFTMessage(f.seqNum++, 88, ZRTPFT_CANCELRECV));
    EXPECT_EQ(ZFileRecvMapping::Cancelled, f.mapping->getOutcome());
    EXPECT_EQ(L"20% (Cancelled)", f.get(L"_Complete"));
    EXPECT_EQ("", ZTestReadFile(f.target + ".part"));
    EXPECT_EQ("old", ZTestReadFile(f.target));

    Fixture quiet;
    quiet.open(5000);
    std::int64_t result = 0;
    for (int i = 0; i < 120 && result != -1; ++i) {
        gNow += 100000;
        result = quiet.mapping->update();
    }
    EXPECT_EQ(-1, result);
    EXPECT_EQ(ZFileRecvMapping::Cancelled, quiet.mapping->getOutcome());
    // GETINFO was repeated every silent second before that.
    int getinfo = 0;
    for (const Request& r : quiet.requests()) getinfo += r.type == ZRTPFT_GETINFO;
    EXPECT_GE(getinfo, 9);
}

TEST(ZFileRecvMapping, NeitherDigestLetsSilenceEndTheTransfer) {
    Fixture f;
    f.open(16 * 1024 * 1024);
    f.requests();
    // The sender is still scanning: each bare INFO header keeps us asking.
    ZLogCapture log;
    for (int second = 0; second < 15; ++second) {
        f.deliver(ZRTPFTMessage(f.seqNum++, 88, ZRTPFT_INFO));
        f.silentSecond();
    }
    EXPECT_FALSE(f.mapping->isComplete());
    EXPECT_EQ(0, log.count(L"WARNING Malformed 'INFO'"));
    const std::vector<Request> asked = f.requests();
    EXPECT_EQ(std::vector<int>(15, ZRTPFT_GETINFO), f.typesOf(asked));
    EXPECT_EQ(30u, asked.size());  // and each header acknowledged

    f.info(f.content.size(), f.digestOfContent());
    for (std::uint32_t n = 0; n < 16 * 1024; ++n) f.block(n);
    f.requests();
    // Fifteen seconds in one step while the file is read back: the sender
    // hears our ACK again, and nothing is cancelled.
    gNow += 15000000;
    if (f.mapping->update() != -1) {
        EXPECT_EQ(L"100% (Verifying...)", f.get(L"_Complete"));
        const std::vector<Request> sent = f.requests();
        ASSERT_EQ(1u, sent.size());
        EXPECT_EQ(ZRTPFT_ACK, sent[0].type);
        EXPECT_EQ(100, sent[0].percent);
    }
    f.awaitVerdict();
    EXPECT_EQ(ZFileRecvMapping::Done, f.mapping->getOutcome());
    EXPECT_TRUE(f.content == ZTestReadFile(f.target));
}

TEST(ZFileRecvMapping, WritesBlocksBeyondFourGiBInPlace) {
    Fixture f;
    f.open(1);
    const std::uint64_t size = (4ULL << 30) + 16384;
    f.info(size, std::string(20, '\x01'));
    const std::string part = f.target + ".part";
    ASSERT_EQ(size, std::filesystem::file_size(part));
    std::string m(28, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&m[0]);
    ZComposeFT(p, f.seqNum++, 88, ZRTPFT_BLOCK);
    ZComposeBLOCK(p, 4194304, 1024);
    std::string data = "marker";
    data.resize(1024, 'm');
    f.deliver(m + data);
    // The pass that took the block ends.
    f.mapping->update();
    {
        std::ifstream in(part, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(4ULL << 30));
        std::string back(1024, '\0');
        in.read(&back[0], 1024);
        EXPECT_TRUE(back == data);
    }
    // Bytes of one block in a million: 0%.
    EXPECT_EQ(L"0%", f.get(L"_Complete"));
    f.deliver(ZRTPFTMessage(f.seqNum++, 88, ZRTPFT_CANCELRECV));
    EXPECT_FALSE(std::filesystem::exists(part));
}
