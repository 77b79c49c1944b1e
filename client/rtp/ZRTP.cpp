// RTP header, RTCP sender report and screen-sharing message framing.
#include "ZRTP.h"

#include <algorithm>
#include <cstring>

#include "ZPortable.h"
#include "ZUtil.h"

namespace {

void put16(unsigned char* p, std::uint16_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint16_t get16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t get32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

void readHeader(const unsigned char* p, ZRTPHeader& header) {
    header.version = p[0];
    header.payloadType = p[1];
    header.seqNum = get16(p + 2);
    header.timeStamp = get32(p + 4);
    header.ssrc = get32(p + 8);
}

// The checks every screen parser shares: the fixed size, the RTP version and
// payload type 4, then the message type within [typeLow, typeHigh].
const unsigned char* screenFixed(const void* buffer, int length, int fixedSize, int typeLow, int typeHigh,
                                 ZRTPSSHeader& header, int& remaining) {
    remaining = 0;
    header = ZRTPSSHeader();
    if (!buffer || length < fixedSize) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    readHeader(p, header.rtp);
    header.type = p[15];
    if (p[0] != ZRTP_VERSION || p[1] != 4 || header.type < typeLow || header.type > typeHigh) return nullptr;
    remaining = length - fixedSize;
    return p + fixedSize;
}

}  // namespace

void ZComposeRTP(unsigned char* buffer, std::uint8_t payloadType, std::uint16_t seqNum, std::uint32_t timeStamp,
                 std::uint32_t ssrc) {
    buffer[0] = ZRTP_VERSION;
    buffer[1] = payloadType;
    put16(buffer + 2, seqNum);
    put32(buffer + 4, timeStamp);
    put32(buffer + 8, ssrc);
}

void ZRTPCompose(std::string& out, std::uint8_t payloadType, std::uint16_t seqNum, std::uint32_t timeStamp,
                 std::uint32_t ssrc, const void* subHeader, int subHeaderLength, const void* payload,
                 int payloadLength) {
    ZPRECONDITION(payload && payloadLength >= 0);
    if (!subHeader || subHeaderLength < 0) subHeaderLength = 0;
    out.assign(static_cast<std::size_t>(ZRTP_HEADER_SIZE + subHeaderLength + payloadLength), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&out[0]);
    ZComposeRTP(p, static_cast<std::uint8_t>(payloadType & 0x27), seqNum, timeStamp, ssrc);
    if (subHeaderLength) std::memcpy(p + ZRTP_HEADER_SIZE, subHeader, static_cast<std::size_t>(subHeaderLength));
    if (payloadLength)
        std::memcpy(p + ZRTP_HEADER_SIZE + subHeaderLength, payload, static_cast<std::size_t>(payloadLength));
}

// A datagram shorter than the header is refused whatever its first byte, so
// no caller ever sees a negative payload length.
const unsigned char* ZDecomposeRTP(const void* buffer, int length, ZRTPHeader& header, int& payloadLength) {
    header = ZRTPHeader();
    payloadLength = 0;
    if (!buffer || length < ZRTP_HEADER_SIZE) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    readHeader(p, header);
    if (p[0] != ZRTP_VERSION) return nullptr;
    payloadLength = length - ZRTP_HEADER_SIZE;
    return p + ZRTP_HEADER_SIZE;
}

bool ZIsRTP(const void* buffer, int length) {
    ZRTPHeader header;
    int payloadLength = 0;
    return ZDecomposeRTP(buffer, length, header, payloadLength) != nullptr;
}

bool ZIsRTP(const std::string& buffer) {
    if (buffer.size() > 0x7FFFFFFF) return false;
    return ZIsRTP(buffer.data(), static_cast<int>(buffer.size()));
}

const unsigned char* ZRTPDecompose(const void* buffer, int length, int& payloadType, std::uint32_t& seqNum,
                                   std::uint32_t& timeStamp, std::uint32_t& ssrc, int& payloadLength) {
    payloadType = 0;
    seqNum = timeStamp = ssrc = 0;
    payloadLength = 0;
    if (!buffer || length < ZRTP_HEADER_SIZE) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    if ((p[0] & 0xC0) != 0x80) return nullptr;
    payloadType = p[1] & 0x7F;
    seqNum = get16(p + 2);
    timeStamp = get32(p + 4);
    ssrc = get32(p + 8);
    payloadLength = length - ZRTP_HEADER_SIZE;
    return p + ZRTP_HEADER_SIZE;
}

void ZRTCPSRCompose(std::string& out, int /*unused*/, std::uint32_t ssrc, std::uint32_t word1, std::uint32_t word2,
                    std::uint32_t word3, std::uint32_t word4, std::uint32_t word5, const std::wstring& cname) {
    std::string name = ZToUTF8(cname);
    // The item length is one byte: a longer name is cut to what it can say.
    if (name.size() > 255) name.resize(255);
    out.assign(ZRTCPSR_HEADER_SIZE + name.size(), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&out[0]);
    p[0] = ZRTP_VERSION;
    p[1] = ZRTCPSR_PACKET_TYPE;
    put16(p + 2, 6);
    put32(p + 4, ssrc);
    put32(p + 8, word2);
    put32(p + 12, word1);
    put32(p + 16, word3);
    put32(p + 20, word4);
    put32(p + 24, word5);
    put16(p + 30, 0xFFFF);
    put32(p + 32, ssrc);
    p[36] = 1;
    p[37] = static_cast<unsigned char>(name.size());
    if (!name.empty()) std::memcpy(p + ZRTCPSR_HEADER_SIZE, name.data(), name.size());
}

bool ZIsRTCPSR(const void* buffer, int length) {
    if (!buffer || length < 28) return false;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    return p[0] == ZRTP_VERSION && p[1] == ZRTCPSR_PACKET_TYPE;
}

bool ZRTCPSRDecompose(const void* buffer, int length, std::uint32_t& /*ssrc*/, std::uint32_t& /*word1*/,
                      std::uint32_t& /*word2*/, std::uint32_t& /*word3*/, std::uint32_t& /*word4*/,
                      std::uint32_t& /*word5*/, std::wstring& cname) {
    if (!buffer || length <= ZRTCPSR_HEADER_SIZE) return false;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    const int n = p[37];
    if (length < ZRTCPSR_HEADER_SIZE + n) return false;
    ZFromUTF8(reinterpret_cast<const char*>(p + ZRTCPSR_HEADER_SIZE), n, cname);
    return true;
}

// ---- screen-sharing messages ------------------------------------------------

void ZComposeSS(unsigned char* buffer, std::uint8_t type) {
    buffer[15] = type;
}

void ZComposeLAYOUTCHANGED(unsigned char* buffer, std::uint16_t width, std::uint16_t height, std::uint16_t count) {
    put16(buffer + 18, width);
    put16(buffer + 20, height);
    put16(buffer + 22, count);
}

void ZComposeLayoutWindow(unsigned char* buffer, int index, const ZRTPSSLayoutWindow& window) {
    unsigned char* p = buffer + ZRTPSS_LAYOUTCHANGED_SIZE + ZRTPSS_LAYOUTWINDOW_SIZE * index;
    put32(p, window.id);
    put16(p + 4, static_cast<std::uint16_t>(window.left));
    put16(p + 6, static_cast<std::uint16_t>(window.top));
    put16(p + 8, window.width);
    put16(p + 10, window.height);
}

void ZComposeREGIONCHANGED(unsigned char* buffer, std::uint32_t windowID, std::int16_t x, std::int16_t y,
                           std::uint16_t width, std::uint16_t height, std::uint8_t encodingType) {
    ZASSERT(encodingType < 255);
    put32(buffer + 16, windowID);
    put16(buffer + 20, static_cast<std::uint16_t>(x));
    put16(buffer + 22, static_cast<std::uint16_t>(y));
    put16(buffer + 24, width);
    put16(buffer + 26, height);
    buffer[31] = encodingType;
}

std::string ZRTPSSMessage(std::uint8_t type, std::uint16_t seqNum, std::uint32_t ssrc) {
    std::string packet(ZRTPSS_HEADER_SIZE, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&packet[0]);
    ZComposeRTP(p, 4, seqNum, 0, ssrc);
    ZComposeSS(p, type);
    return packet;
}

std::string ZRTPSSKeyEvent(std::uint8_t type, std::uint32_t ssrc, std::uint16_t virtualKey) {
    std::string packet = ZRTPSSMessage(type, 0, ssrc);
    packet.resize(ZRTPSS_KEYEVENT_SIZE, '\0');
    put16(reinterpret_cast<unsigned char*>(&packet[0]) + 18, virtualKey);
    return packet;
}

std::string ZRTPSSMouseEvent(std::uint8_t type, std::uint32_t ssrc, std::uint16_t x, std::uint16_t y) {
    std::string packet = ZRTPSSMessage(type, 0, ssrc);
    packet.resize(ZRTPSS_MOUSEEVENT_SIZE, '\0');
    put16(reinterpret_cast<unsigned char*>(&packet[0]) + 16, x);
    put16(reinterpret_cast<unsigned char*>(&packet[0]) + 18, y);
    return packet;
}

std::string ZRTPSSAck(std::uint32_t ssrc, std::uint16_t seqNum, std::uint32_t vector) {
    std::string packet = ZRTPSSMessage(ZRTPSS_ACK, 0, ssrc);
    packet.resize(ZRTPSS_ACK_SIZE, '\0');
    put16(reinterpret_cast<unsigned char*>(&packet[0]) + 18, seqNum);
    put32(reinterpret_cast<unsigned char*>(&packet[0]) + 20, vector);
    return packet;
}

const unsigned char* ZDecomposeRTPSS(const void* buffer, int length, ZRTPSSHeader& out, int& remaining) {
    return screenFixed(buffer, length, ZRTPSS_HEADER_SIZE, 0, 255, out, remaining);
}

const unsigned char* ZDecomposeRTPSSLAYOUTCHANGED(const void* buffer, int length, ZRTPSSLAYOUTCHANGED& out,
                                                  int& remaining) {
    out = ZRTPSSLAYOUTCHANGED();
    const unsigned char* rest = screenFixed(buffer, length, ZRTPSS_LAYOUTCHANGED_SIZE, ZRTPSS_LAYOUTCHANGED,
                                            ZRTPSS_LAYOUTCHANGED, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.width = get16(p + 18);
    out.height = get16(p + 20);
    out.count = get16(p + 22);
    if (remaining < ZRTPSS_LAYOUTWINDOW_SIZE * out.count) {
        remaining = 0;
        return nullptr;
    }
    return rest;
}

ZRTPSSLayoutWindow ZRTPSSReadLayoutWindow(const unsigned char* windows, int index) {
    const unsigned char* p = windows + ZRTPSS_LAYOUTWINDOW_SIZE * index;
    ZRTPSSLayoutWindow window;
    window.id = get32(p);
    window.left = static_cast<std::int16_t>(get16(p + 4));
    window.top = static_cast<std::int16_t>(get16(p + 6));
    window.width = get16(p + 8);
    window.height = get16(p + 10);
    return window;
}

const unsigned char* ZDecomposeRTPSSMOUSECHANGED(const void* buffer, int length, ZRTPSSMOUSECHANGED& out,
                                                 int& remaining) {
    out = ZRTPSSMOUSECHANGED();
    const unsigned char* rest = screenFixed(buffer, length, ZRTPSS_MOUSECHANGED_SIZE, ZRTPSS_MOUSECHANGED,
                                            ZRTPSS_MOUSECHANGED, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.x = get16(p + 16);
    out.y = get16(p + 18);
    return rest;
}

const unsigned char* ZDecomposeRTPSSREGIONCHANGED(const void* buffer, int length, ZRTPSSREGIONCHANGED& out,
                                                  int& remaining) {
    out = ZRTPSSREGIONCHANGED();
    const unsigned char* rest = screenFixed(buffer, length, ZRTPSS_REGIONCHANGED_SIZE, ZRTPSS_REGIONCHANGED,
                                            ZRTPSS_REGIONCHANGED, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.windowID = get32(p + 16);
    out.x = static_cast<std::int16_t>(get16(p + 20));
    out.y = static_cast<std::int16_t>(get16(p + 22));
    out.width = get16(p + 24);
    out.height = get16(p + 26);
    out.encodingType = p[31];
    return rest;
}

const unsigned char* ZDecomposeRTPSSKEYEVENT(const void* buffer, int length, ZRTPSSKEYEVENT& out, int& remaining) {
    out = ZRTPSSKEYEVENT();
    const unsigned char* rest =
        screenFixed(buffer, length, ZRTPSS_KEYEVENT_SIZE, ZRTPSS_KEYDOWN, ZRTPSS_KEYUP, out.header, remaining);
    if (!rest) return nullptr;
    out.virtualKey = get16(static_cast<const unsigned char*>(buffer) + 18);
    return rest;
}

const unsigned char* ZDecomposeRTPSSMOUSEEVENT(const void* buffer, int length, ZRTPSSMOUSEEVENT& out,
                                               int& remaining) {
    out = ZRTPSSMOUSEEVENT();
    const unsigned char* rest = screenFixed(buffer, length, ZRTPSS_MOUSEEVENT_SIZE, ZRTPSS_MOUSEMOVE,
                                            ZRTPSS_RBUTTONDOWN, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.x = get16(p + 16);
    out.y = get16(p + 18);
    return rest;
}

const unsigned char* ZDecomposeRTPSSACK(const void* buffer, int length, ZRTPSSACK& out, int& remaining) {
    out = ZRTPSSACK();
    const unsigned char* rest =
        screenFixed(buffer, length, ZRTPSS_ACK_SIZE, ZRTPSS_ACK, ZRTPSS_ACK, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.seqNum = get16(p + 18);
    out.vector = get32(p + 20);
    return rest;
}

// ---- file-transfer messages -------------------------------------------------

namespace {

void put64(unsigned char* p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t get64(const unsigned char* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

// The checks every file parser shares: the fixed size, the RTP version and
// payload type 3, then the type when one is asked for (0: any).
const unsigned char* fileFixed(const void* buffer, int length, int fixedSize, int type, ZRTPFTHeader& header,
                               int& remaining) {
    remaining = 0;
    header = ZRTPFTHeader();
    if (!buffer || length < fixedSize) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    readHeader(p, header.rtp);
    header.fileID = get32(p + 12);
    header.type = p[19];
    if (p[0] != ZRTP_VERSION || p[1] != 3 || (type && header.type != type)) return nullptr;
    remaining = length - fixedSize;
    return p + fixedSize;
}

}  // namespace

void ZComposeFT(unsigned char* buffer, std::uint16_t seqNum, std::uint32_t fileID, std::uint8_t type) {
    ZComposeRTP(buffer, 3, seqNum, 0, 0);
    put32(buffer + 12, fileID);
    buffer[19] = type;
}

void ZComposeINFO(unsigned char* buffer, std::uint64_t filesize, const std::string& digest) {
    put64(buffer + 24, filesize);
    if (digest.size() == 20) std::memcpy(buffer + 40, digest.data(), 20);
}

void ZComposeGETBLOCKS(unsigned char* buffer, std::uint32_t chunkOffset, std::uint32_t numChunks) {
    put32(buffer + 20, chunkOffset);
    put32(buffer + 24, numChunks);
}

void ZComposeFTACK(unsigned char* buffer, std::uint8_t percent, std::uint16_t nextSequenceNum,
                   std::uint32_t ackVector) {
    buffer[21] = percent;
    put16(buffer + 22, nextSequenceNum);
    put32(buffer + 24, ackVector);
}

void ZComposeBLOCK(unsigned char* buffer, std::uint32_t blockNum, std::uint16_t blockSize) {
    put32(buffer + 20, blockNum);
    put16(buffer + 26, blockSize);
}

std::string ZRTPFTMessage(std::uint16_t seqNum, std::uint32_t fileID, std::uint8_t type) {
    std::string packet(ZRTPFT_HEADER_SIZE, '\0');
    ZComposeFT(reinterpret_cast<unsigned char*>(&packet[0]), seqNum, fileID, type);
    return packet;
}

// A datagram shorter than the header is refused, never given a negative rest.
const unsigned char* ZDecomposeRTPFT(const void* buffer, int length, ZRTPFTHeader& out, int& remaining) {
    return fileFixed(buffer, length, ZRTPFT_HEADER_SIZE, 0, out, remaining);
}

const unsigned char* ZDecomposeRTPFTINFO(const void* buffer, int length, ZRTPFTINFO& out, int& remaining) {
    out = ZRTPFTINFO();
    const unsigned char* rest = fileFixed(buffer, length, ZRTPFT_INFO_SIZE, ZRTPFT_INFO, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.filesize = get64(p + 24);
    out.digest.assign(reinterpret_cast<const char*>(p + 40), 20);
    return rest;
}

const unsigned char* ZDecomposeRTPFTGETBLOCKS(const void* buffer, int length, ZRTPFTGETBLOCKS& out,
                                              int& remaining) {
    out = ZRTPFTGETBLOCKS();
    const unsigned char* rest =
        fileFixed(buffer, length, ZRTPFT_BODY_SIZE, ZRTPFT_GETBLOCKS, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.chunkOffset = get32(p + 20);
    out.numChunks = get32(p + 24);
    return rest;
}

const unsigned char* ZDecomposeRTPFTACK(const void* buffer, int length, ZRTPFTACK& out, int& remaining) {
    out = ZRTPFTACK();
    const unsigned char* rest = fileFixed(buffer, length, ZRTPFT_BODY_SIZE, ZRTPFT_ACK, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.percent = p[21];
    out.nextSequenceNum = get16(p + 22);
    out.ackVector = get32(p + 24);
    return rest;
}

const unsigned char* ZDecomposeRTPFTBLOCK(const void* buffer, int length, ZRTPFTBLOCK& out, int& remaining) {
    out = ZRTPFTBLOCK();
    const unsigned char* rest = fileFixed(buffer, length, ZRTPFT_BODY_SIZE, ZRTPFT_BLOCK, out.header, remaining);
    if (!rest) return nullptr;
    const unsigned char* p = static_cast<const unsigned char*>(buffer);
    out.blockNum = get32(p + 20);
    out.blockSize = get16(p + 26);
    return rest;
}

bool ZSeqNumLess(std::uint16_t a, std::uint16_t b) {
    const int larger = a > b ? a : b, smaller = a > b ? b : a;
    if (larger - smaller < 32768) return a < b;
    return ((a + 32768) & 0xFFFF) < ((b + 32768) & 0xFFFF);
}

std::uint8_t ZFilePercentOf(const std::wstring& text) {
    int value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') break;
        value = value * 10 + (c - L'0');
        if (value > 255) return 255;
    }
    return static_cast<std::uint8_t>(value);
}
