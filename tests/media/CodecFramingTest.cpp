// The framed form of one codec packet and reading it back.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ZOgg.h"
#include "ZMediaTestSupport.h"

using zanmedia::bytes;

namespace {

ogg_packet makePacket(unsigned char* payload, long n, long bos, long eos, ogg_int64_t granule, ogg_int64_t number) {
    ogg_packet p;
    p.packet = payload;
    p.bytes = n;
    p.b_o_s = bos;
    p.e_o_s = eos;
    p.granulepos = granule;
    p.packetno = number;
    return p;
}

}  // namespace

TEST(ZOgg, FivePayloadBytesFrameAsThirtyThreeInTheFixedOrder) {
    unsigned char payload[5] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    std::string out = "xy";
    ZSerialize(makePacket(payload, 5, 1, 0, 0x0102030405060708LL, -2), out);
    const unsigned char expected[] = {'x', 'y',
                                      1, 0, 0, 0,                          // b_o_s
                                      0, 0, 0, 0,                          // e_o_s
                                      8, 7, 6, 5, 4, 3, 2, 1,              // granulepos
                                      0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // packetno
                                      5, 0, 0, 0,                          // bytes
                                      0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    ASSERT_EQ(out.size(), sizeof(expected));
    EXPECT_EQ(0, std::memcmp(out.data(), expected, sizeof(expected)));
}

TEST(ZOgg, PacketsBackToBackReadBackFieldForField) {
    unsigned char a[3] = {1, 2, 3}, b[1] = {9}, c[7] = {7, 6, 5, 4, 3, 2, 1};
    const ogg_packet sent[3] = {makePacket(a, 3, 1, 0, 0, 0), makePacket(b, 1, 0, 0, -1, 1),
                                makePacket(c, 7, 0, 1, 1LL << 40, 2)};
    std::string stream;
    for (const ogg_packet& p : sent) ZSerialize(p, stream);
    int at = 0;
    for (const ogg_packet& p : sent) {
        ogg_packet got;
        const int used = ZDeserialize(bytes(stream) + at, static_cast<int>(stream.size()) - at, got);
        ASSERT_EQ(used, 28 + p.bytes);
        EXPECT_EQ(got.b_o_s, p.b_o_s);
        EXPECT_EQ(got.e_o_s, p.e_o_s);
        EXPECT_EQ(got.granulepos, p.granulepos);
        EXPECT_EQ(got.packetno, p.packetno);
        ASSERT_EQ(got.bytes, p.bytes);
        // Not copied: the payload is read where it lies in the buffer.
        EXPECT_EQ(got.packet, bytes(stream) + at + 28);
        EXPECT_EQ(0, std::memcmp(got.packet, p.packet, static_cast<std::size_t>(p.bytes)));
        at += used;
    }
    EXPECT_EQ(at, static_cast<int>(stream.size()));
}

TEST(ZOgg, ShortOrNegativeBuffersReadAsNothing) {
    unsigned char payload[4] = {1, 2, 3, 4};
    std::string whole;
    ZSerialize(makePacket(payload, 4, 0, 0, 0, 0), whole);
    std::string negative = whole.substr(0, 28);
    negative[24] = negative[25] = negative[26] = negative[27] = static_cast<char>(0xFF);  // N = -1
    struct Case {
        const char* name;
        std::string buffer;
        int length;
    } cases[] = {
        {"27 bytes", whole.substr(0, 27), 27},
        {"28 + N - 1 bytes", whole.substr(0, whole.size() - 1), static_cast<int>(whole.size()) - 1},
        {"negative N", negative, 28},
        {"negative length", whole, -1},
    };
    for (const Case& c : cases) {
        ogg_packet got;
        EXPECT_EQ(0, ZDeserialize(bytes(c.buffer), c.length, got)) << c.name;
    }
}

TEST(ZOgg, EmptyPayloadReadsBackAsNullPointer) {
    std::string framed;
    ZSerialize(makePacket(nullptr, 0, 0, 1, 5, 6), framed);
    ASSERT_EQ(framed.size(), 28u);
    ogg_packet got;
    got.packet = reinterpret_cast<unsigned char*>(&framed);
    EXPECT_EQ(28, ZDeserialize(bytes(framed), 28, got));
    EXPECT_EQ(got.packet, nullptr);
    EXPECT_EQ(got.e_o_s, 1);
}
