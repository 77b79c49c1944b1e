#include <cstring>
#include <string>

#include "ZPortable.h"
#include "ZRTP.h"
#include "ZTestSupport.h"

namespace {

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

const unsigned char* u(const std::string& s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

int len(const std::string& s) {
    return static_cast<int>(s.size());
}

// A screen packet of the given message type, padded with zeros to size.
std::string screenPacket(int payloadType, int type, int size) {
    std::string packet(static_cast<std::size_t>(size), '\0');
    packet[0] = static_cast<char>(0x80);
    packet[1] = static_cast<char>(payloadType);
    packet[15] = static_cast<char>(type);
    return packet;
}

}  // namespace

TEST(ZRTP, HeaderIsLittleEndianByteForByte) {
    unsigned char header[12] = {};
    ZComposeRTP(header, 4, 0x1234, 0x01020304, 0xA0B0C0D0);
    const std::string expected = bytes({0x80, 4, 0x34, 0x12, 4, 3, 2, 1, 0xD0, 0xC0, 0xB0, 0xA0});
    EXPECT_EQ(expected, std::string(reinterpret_cast<char*>(header), 12));

    ZRTPHeader parsed;
    int payloadLength = -1;
    EXPECT_EQ(u(expected) + 12, ZDecomposeRTP(expected.data(), 12, parsed, payloadLength));
    EXPECT_EQ(0, payloadLength);
    EXPECT_EQ(0x1234, parsed.seqNum);
    EXPECT_EQ(0x01020304u, parsed.timeStamp);
    EXPECT_EQ(0xA0B0C0D0u, parsed.ssrc);
}

TEST(ZRTP, StrictAndLenientParsersDifferOnlyInTheVersionByte) {
    struct Case {
        const char* name;
        std::string datagram;
        bool strict;
        bool lenient;
        int payloadLength;
    } cases[] = {
        {"exact header", bytes({0x80, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), true, true, 0},
        {"header and payload", bytes({0x80, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 9}), true, true, 2},
        {"extension bit", bytes({0x90, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false, true, 0},
        {"version 1", bytes({0x40, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), false, false, 0},
        {"short, starting 0x80", bytes({0x80, 4, 0, 0, 0}), false, false, 0},
        {"empty", std::string(), false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZRTPHeader header;
        int strictLength = -1;
        const unsigned char* strict = ZDecomposeRTP(c.datagram.data(), len(c.datagram), header, strictLength);
        EXPECT_EQ(c.strict, strict != nullptr);
        EXPECT_EQ(c.strict, ZIsRTP(c.datagram));
        EXPECT_EQ(c.strict ? c.payloadLength : 0, strictLength);
        int type = -1, lenientLength = -1;
        std::uint32_t seq = 1, ts = 1, ssrc = 1;
        const unsigned char* lenient =
            ZRTPDecompose(c.datagram.data(), len(c.datagram), type, seq, ts, ssrc, lenientLength);
        EXPECT_EQ(c.lenient, lenient != nullptr);
        EXPECT_EQ(c.lenient ? c.payloadLength : 0, lenientLength);
        EXPECT_GE(lenientLength, 0);
    }
}

TEST(ZRTP, ComposeMasksTheTypeAndPlacesSubHeaderAndPayload) {
    std::string out = "stale";
    const char sub[4] = {1, 2, 3, 4};
    ZRTPCompose(out, 2, 7, 9, 11, sub, 4, "", 0);
    EXPECT_EQ(bytes({0x80, 2, 7, 0, 9, 0, 0, 0, 11, 0, 0, 0, 1, 2, 3, 4}), out);

    ZRTPCompose(out, 0xFF, 0, 0, 0, sub, 4, "xy", 2);
    ASSERT_EQ(18u, out.size());
    EXPECT_EQ(0x27, static_cast<unsigned char>(out[1]));
    EXPECT_EQ("xy", out.substr(16));

    int type = 0, payloadLength = 0;
    std::uint32_t seq = 0, ts = 0, ssrc = 0;
    ZRTPCompose(out, 1, 0xFFFF, 0xFFFFFFFF, 5, sub, 4, "z", 1);
    ASSERT_TRUE(ZRTPDecompose(out.data(), len(out), type, seq, ts, ssrc, payloadLength));
    EXPECT_EQ(1, type);
    EXPECT_EQ(0xFFFFu, seq);
    EXPECT_EQ(0xFFFFFFFFu, ts);
    EXPECT_EQ(5, payloadLength);
}

TEST(ZRTP, ComposeWithoutPayloadIsAPreconditionFailure) {
    ZLogCapture log;
    std::string out;
    EXPECT_ZABORT(ZRTPCompose(out, 1, 0, 0, 0, nullptr, 0, nullptr, 0));
    EXPECT_EQ(1, log.count(L"ERROR: Precondition failed, aborting. (payload && payloadLength >= 0"));
}

TEST(ZRTCP, SenderReportLayoutAndCnameBounds) {
    std::string report;
    ZRTCPSRCompose(report, 99, 0x11223344, 1, 2, 3, 4, 5, L"peer\u00e9");
    ASSERT_EQ(38u + 6u, report.size());
    EXPECT_EQ(bytes({0x80, 200, 6, 0, 0x44, 0x33, 0x22, 0x11, 2, 0, 0, 0, 1, 0, 0, 0, 3, 0, 0, 0, 4, 0, 0, 0, 5, 0,
                     0, 0, 0, 0, 0xFF, 0xFF, 0x44, 0x33, 0x22, 0x11, 1, 6}),
              report.substr(0, 38));
    EXPECT_TRUE(ZIsRTCPSR(report.data(), len(report)));
    std::uint32_t a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
    std::wstring cname;
    ASSERT_TRUE(ZRTCPSRDecompose(report.data(), len(report), a, b, c, d, e, f, cname));
    EXPECT_EQ(L"peer\u00e9", cname);

    // An empty name makes a 38-byte report, which passes the type test but
    // is refused, as is any report shorter than its name.
    std::string empty;
    ZRTCPSRCompose(empty, 0, 1, 0, 0, 0, 0, 0, L"");
    EXPECT_EQ(38u, empty.size());
    EXPECT_TRUE(ZIsRTCPSR(empty.data(), 38));
    cname = L"kept";
    EXPECT_FALSE(ZRTCPSRDecompose(empty.data(), 38, a, b, c, d, e, f, cname));
    EXPECT_FALSE(ZIsRTCPSR(empty.data(), 27));

    // A length byte of 200 is 200 bytes of name, never a negative length.
    std::string longName = empty;
    longName[37] = static_cast<char>(200);
    longName.resize(230, 'n');
    EXPECT_FALSE(ZRTCPSRDecompose(longName.data(), len(longName), a, b, c, d, e, f, cname));
    EXPECT_EQ(L"kept", cname);
    longName.resize(238, 'n');
    ASSERT_TRUE(ZRTCPSRDecompose(longName.data(), len(longName), a, b, c, d, e, f, cname));
    EXPECT_EQ(std::wstring(200, L'n'), cname);
}

TEST(ZRTPSS, ComposersWriteTheirFieldsByteForByte) {
    std::string layout(24 + 12, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&layout[0]);
    ZComposeRTP(p, 4, 0x0102, 0, 0x0A0B0C0D);
    ZComposeSS(p, ZRTPSS_LAYOUTCHANGED);
    ZComposeLAYOUTCHANGED(p, 1280, 1024, 1);
    ZRTPSSLayoutWindow window;
    window.id = 0x00400001;
    window.left = -10;
    window.top = 20;
    window.width = 300;
    window.height = 200;
    ZComposeLayoutWindow(p, 0, window);
    EXPECT_EQ(bytes({0x80, 4, 2, 1, 0, 0, 0, 0, 0x0D, 0x0C, 0x0B, 0x0A, 0, 0, 0, 1, 0, 0, 0x00, 0x05, 0x00, 0x04,
                     1, 0, 1, 0, 0x40, 0, 0xF6, 0xFF, 20, 0, 0x2C, 1, 200, 0}),
              layout);

    std::string region(32, '\0');
    p = reinterpret_cast<unsigned char*>(&region[0]);
    ZComposeREGIONCHANGED(p, 7, -1, 96, 48, 48, ZRTPSS_ENCODING_GREY4);
    EXPECT_EQ(bytes({7, 0, 0, 0, 0xFF, 0xFF, 96, 0, 48, 0, 48, 0, 0, 0, 0, 24}), region.substr(16));

    EXPECT_EQ(bytes({0x80, 4, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0x34, 0x12, 0xFD, 0xFF, 0xFF, 0xFF}),
              ZRTPSSAck(5, 0x1234, 0xFFFFFFFD));
    EXPECT_EQ(bytes({0x80, 4, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0x41, 0}),
              ZRTPSSKeyEvent(ZRTPSS_KEYDOWN, 5, 0x41));
    EXPECT_EQ(bytes({0x80, 4, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 10, 0x10, 0, 0x20, 0}),
              ZRTPSSMouseEvent(ZRTPSS_LBUTTONDOWN, 5, 16, 32));
}

TEST(ZRTPSS, RegionEncodingOf255IsAnInternalError) {
    ZLogCapture log;
    std::string region(32, '\0');
    EXPECT_ZABORT(ZComposeREGIONCHANGED(reinterpret_cast<unsigned char*>(&region[0]), 1, 0, 0, 1, 1, 255));
    EXPECT_EQ(1, log.count(L"ERROR: Assertion failed, aborting. (encodingType < 255"));
}

TEST(ZRTPSS, ParsersCheckLengthTypeAndMessageType) {
    enum Parser { Any, Layout, Mouse, Region, Key, MouseEvent, Ack };
    auto parse = [](Parser parser, const std::string& d, int& remaining) -> const unsigned char* {
        switch (parser) {
        case Any: {
            ZRTPSSHeader h;
            return ZDecomposeRTPSS(d.data(), len(d), h, remaining);
        }
        case Layout: {
            ZRTPSSLAYOUTCHANGED m;
            return ZDecomposeRTPSSLAYOUTCHANGED(d.data(), len(d), m, remaining);
        }
        case Mouse: {
            ZRTPSSMOUSECHANGED m;
            return ZDecomposeRTPSSMOUSECHANGED(d.data(), len(d), m, remaining);
        }
        case Region: {
            ZRTPSSREGIONCHANGED m;
            return ZDecomposeRTPSSREGIONCHANGED(d.data(), len(d), m, remaining);
        }
        case Key: {
            ZRTPSSKEYEVENT m;
            return ZDecomposeRTPSSKEYEVENT(d.data(), len(d), m, remaining);
        }
        case MouseEvent: {
            ZRTPSSMOUSEEVENT m;
            return ZDecomposeRTPSSMOUSEEVENT(d.data(), len(d), m, remaining);
        }
        case Ack: {
            ZRTPSSACK m;
            return ZDecomposeRTPSSACK(d.data(), len(d), m, remaining);
        }
        }
        return nullptr;
    };
    std::string threeWindowsShort = screenPacket(4, 1, 24 + 35);
    threeWindowsShort[22] = 3;
    std::string threeWindows = screenPacket(4, 1, 24 + 36);
    threeWindows[22] = 3;
    struct Case {
        const char* name;
        Parser parser;
        std::string datagram;
        int remaining;  // -1: refused
    } cases[] = {
        {"any type, header only", Any, screenPacket(4, 200, 16), 0},
        {"header of a file packet", Any, screenPacket(3, 1, 16), -1},
        {"header one byte short", Any, screenPacket(4, 1, 15), -1},
        {"layout of no windows", Layout, screenPacket(4, 1, 24), 0},
        {"layout of three windows, 35 bytes", Layout, threeWindowsShort, -1},
        {"layout of three windows", Layout, threeWindows, 36},
        {"cursor", Mouse, screenPacket(4, 2, 20), 0},
        {"cursor, short", Mouse, screenPacket(4, 2, 19), -1},
        {"region without image", Region, screenPacket(4, 3, 32), 0},
        {"region with image", Region, screenPacket(4, 3, 40), 8},
        {"region of another type", Region, screenPacket(4, 2, 40), -1},
        {"key down", Key, screenPacket(4, 7, 20), 0},
        {"key up", Key, screenPacket(4, 8, 20), 0},
        {"key parser, mouse move", Key, screenPacket(4, 9, 20), -1},
        {"mouse move", MouseEvent, screenPacket(4, 9, 20), 0},
        {"right button", MouseEvent, screenPacket(4, 13, 20), 0},
        {"mouse parser, control on", MouseEvent, screenPacket(4, 14, 20), -1},
        {"ack", Ack, screenPacket(4, 16, 24), 0},
        {"ack of a file packet", Ack, screenPacket(3, 16, 24), -1},
        {"ack, short", Ack, screenPacket(4, 16, 23), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int remaining = -7;
        const unsigned char* rest = parse(c.parser, c.datagram, remaining);
        if (c.remaining < 0) {
            EXPECT_EQ(nullptr, rest);
            EXPECT_EQ(0, remaining);
        } else {
            EXPECT_EQ(u(c.datagram) + len(c.datagram) - c.remaining, rest);
            EXPECT_EQ(c.remaining, remaining);
        }
    }
}

TEST(ZRTPSS, ParsersReadSignedAndUnsignedFields) {
    std::string region = screenPacket(4, 3, 34);
    unsigned char* p = reinterpret_cast<unsigned char*>(&region[0]);
    ZComposeREGIONCHANGED(p, 0xFFFFFFF0, -3, -32768, 65535, 1, 13);
    ZRTPSSREGIONCHANGED m;
    int remaining = 0;
    ASSERT_TRUE(ZDecomposeRTPSSREGIONCHANGED(region.data(), len(region), m, remaining));
    EXPECT_EQ(0xFFFFFFF0u, m.windowID);
    EXPECT_EQ(-3, m.x);
    EXPECT_EQ(-32768, m.y);
    EXPECT_EQ(65535, m.width);
    EXPECT_EQ(13, m.encodingType);
    EXPECT_EQ(2, remaining);

    std::string layout = screenPacket(4, 1, 36);
    p = reinterpret_cast<unsigned char*>(&layout[0]);
    ZComposeLAYOUTCHANGED(p, 640, 480, 1);
    ZRTPSSLayoutWindow w;
    w.id = 9;
    w.left = -100;
    w.top = -1;
    w.width = 60000;
    w.height = 2;
    ZComposeLayoutWindow(p, 0, w);
    ZRTPSSLAYOUTCHANGED l;
    const unsigned char* windows = ZDecomposeRTPSSLAYOUTCHANGED(layout.data(), len(layout), l, remaining);
    ASSERT_TRUE(windows);
    EXPECT_EQ(640, l.width);
    EXPECT_EQ(480, l.height);
    const ZRTPSSLayoutWindow r = ZRTPSSReadLayoutWindow(windows, 0);
    EXPECT_EQ(9u, r.id);
    EXPECT_EQ(-100, r.left);
    EXPECT_EQ(-1, r.top);
    EXPECT_EQ(60000, r.width);
    EXPECT_EQ(2, r.height);
}

TEST(ZRTPFT, MessagesAreLaidOutByteForByte) {
    std::string info(64, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&info[0]);
    ZComposeFT(p, 0x0102, 0xDEADBEEF, ZRTPFT_INFO);
    const std::string digest = "0123456789abcdefghij";
    ZComposeINFO(p, 0x0000000100002904ULL, digest);
    EXPECT_EQ(bytes({0x80, 3, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0, 2, 0, 0, 0, 0, 0x04,
                     0x29, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              info.substr(0, 40));
    EXPECT_EQ(digest, info.substr(40, 20));
    EXPECT_EQ(std::string(4, '\0'), info.substr(60));

    std::string get(28 + 2, '\0');
    p = reinterpret_cast<unsigned char*>(&get[0]);
    ZComposeFT(p, 0, 7, ZRTPFT_GETBLOCKS);
    ZComposeGETBLOCKS(p, 3, 2);
    EXPECT_EQ(bytes({3, 0, 0, 0, 2, 0, 0, 0}), get.substr(20, 8));

    std::string ack(28, '\0');
    p = reinterpret_cast<unsigned char*>(&ack[0]);
    ZComposeFT(p, 0, 7, ZRTPFT_ACK);
    ZComposeFTACK(p, ZFilePercentOf(L"37%"), 0xFFFF, 0xFFFFFFFD);
    EXPECT_EQ(bytes({0, 37, 0xFF, 0xFF, 0xFD, 0xFF, 0xFF, 0xFF}), ack.substr(20));
    EXPECT_EQ(0, ZFilePercentOf(L"--%"));
    EXPECT_EQ(100, ZFilePercentOf(L"100% (Done)"));

    std::string block(28 + 260, '\0');
    p = reinterpret_cast<unsigned char*>(&block[0]);
    ZComposeFT(p, 9, 7, ZRTPFT_BLOCK);
    ZComposeBLOCK(p, 10, 260);
    EXPECT_EQ(bytes({10, 0, 0, 0, 0, 0, 4, 1}), block.substr(20, 8));
    ZRTPFTBLOCK parsed;
    int remaining = 0;
    ASSERT_EQ(u(block) + 28, ZDecomposeRTPFTBLOCK(block.data(), len(block), parsed, remaining));
    EXPECT_EQ(10u, parsed.blockNum);
    EXPECT_EQ(260, parsed.blockSize);
    EXPECT_EQ(260, remaining);
    EXPECT_EQ(9, parsed.header.rtp.seqNum);
    EXPECT_EQ(7u, parsed.header.fileID);

    EXPECT_EQ(bytes({0x80, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 8}), ZRTPFTMessage(0, 5, ZRTPFT_DONE));
}

TEST(ZRTPFT, ParsersRefuseShortOrForeignDatagrams) {
    auto packet = [](int payloadType, int type, int size) {
        std::string d(static_cast<std::size_t>(size), '\0');
        if (size > 0) d[0] = static_cast<char>(0x80);
        if (size > 1) d[1] = static_cast<char>(payloadType);
        if (size > 19) d[19] = static_cast<char>(type);
        return d;
    };
    struct Case {
        const char* name;
        int parser;  // 0 header, 1 INFO, 2 GETBLOCKS, 3 ACK, 4 BLOCK
        std::string datagram;
        int remaining;  // -1: refused
    } cases[] = {
        {"header of type 0", 0, packet(3, 0, 20), 0},
        {"header one byte short", 0, packet(3, 1, 19), -1},
        {"header of a screen packet", 0, packet(4, 1, 20), -1},
        {"info of 63 bytes", 1, packet(3, 2, 63), -1},
        {"info of 64 bytes", 1, packet(3, 2, 64), 0},
        {"info of another type", 1, packet(3, 5, 64), -1},
        {"getblocks with its map", 2, packet(3, 3, 30), 2},
        {"ack", 3, packet(3, 4, 28), 0},
        {"ack, short", 3, packet(3, 4, 27), -1},
        {"block with data", 4, packet(3, 5, 28 + 1024), 1024},
        {"block parser, ack", 4, packet(3, 4, 40), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int remaining = -7;
        const unsigned char* rest = nullptr;
        const void* d = c.datagram.data();
        const int n = len(c.datagram);
        ZRTPFTHeader h;
        ZRTPFTINFO i;
        ZRTPFTGETBLOCKS g;
        ZRTPFTACK a;
        ZRTPFTBLOCK b;
        switch (c.parser) {
        case 0: rest = ZDecomposeRTPFT(d, n, h, remaining); break;
        case 1: rest = ZDecomposeRTPFTINFO(d, n, i, remaining); break;
        case 2: rest = ZDecomposeRTPFTGETBLOCKS(d, n, g, remaining); break;
        case 3: rest = ZDecomposeRTPFTACK(d, n, a, remaining); break;
        default: rest = ZDecomposeRTPFTBLOCK(d, n, b, remaining); break;
        }
        if (c.remaining < 0) {
            EXPECT_EQ(nullptr, rest);
            EXPECT_EQ(0, remaining);
        } else {
            EXPECT_EQ(u(c.datagram) + n - c.remaining, rest);
            EXPECT_EQ(c.remaining, remaining);
        }
    }
}

TEST(ZRTPFT, SequenceNumbersWrapAndBlockMapsReadMostSignificantFirst) {
    EXPECT_TRUE(ZSeqNumLess(65535, 0));
    EXPECT_FALSE(ZSeqNumLess(0, 65535));
    EXPECT_FALSE(ZSeqNumLess(5, 5));
    EXPECT_TRUE(ZSeqNumLess(1, 2));
    unsigned char map[2] = {};
    ZBitSet(map, 2, 0);
    ZBitSet(map, 2, 9);
    EXPECT_EQ(0x80, map[0]);
    EXPECT_EQ(0x40, map[1]);
}
