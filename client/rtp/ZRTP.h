// RTP and RTCP framing of every media and data datagram on the shared UDP
// port, and the screen-sharing messages (payload type 4) built on it. Every
// multi-byte field is little-endian, as the sender holds it in memory.
//
// Stateless: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

// The fixed RTP header.
constexpr int ZRTP_HEADER_SIZE = 12;
constexpr unsigned char ZRTP_VERSION = 0x80;
// The RTCP sender report with one CNAME item: 38 bytes and the name.
constexpr int ZRTCPSR_HEADER_SIZE = 38;
constexpr unsigned char ZRTCPSR_PACKET_TYPE = 200;

// The 12 header bytes as read from a datagram.
struct ZRTPHeader {
    std::uint8_t version = 0;
    std::uint8_t payloadType = 0;
    std::uint16_t seqNum = 0;
    std::uint32_t timeStamp = 0;
    std::uint32_t ssrc = 0;
};

// Writes the 12 header bytes in place; the caller builds the rest after them.
void ZComposeRTP(unsigned char* buffer, std::uint8_t payloadType, std::uint16_t seqNum, std::uint32_t timeStamp,
                 std::uint32_t ssrc);
// Header, sub-header and payload back to back into out.
void ZRTPCompose(std::string& out, std::uint8_t payloadType, std::uint16_t seqNum, std::uint32_t timeStamp,
                 std::uint32_t ssrc, const void* subHeader, int subHeaderLength, const void* payload,
                 int payloadLength);
// Strict parse: at least 12 bytes and byte 0 exactly 0x80. Returns the byte
// after the header and its remaining length, or null and 0.
const unsigned char* ZDecomposeRTP(const void* buffer, int length, ZRTPHeader& header, int& payloadLength);
bool ZIsRTP(const void* buffer, int length);
bool ZIsRTP(const std::string& buffer);
// Lenient parse for media playback: only the version bits are checked.
const unsigned char* ZRTPDecompose(const void* buffer, int length, int& payloadType, std::uint32_t& seqNum,
                                   std::uint32_t& timeStamp, std::uint32_t& ssrc, int& payloadLength);

// A sender report with a CNAME item. The first argument is not read; word1 is
// stored at offset 12 and word2 at offset 8, as peers expect.
void ZRTCPSRCompose(std::string& out, int unused, std::uint32_t ssrc, std::uint32_t word1, std::uint32_t word2,
                    std::uint32_t word3, std::uint32_t word4, std::uint32_t word5, const std::wstring& cname);
bool ZIsRTCPSR(const void* buffer, int length);
// Reads the CNAME only; the six number arguments are left untouched. False
// (cname untouched) for a report of 38 bytes or less or a name past its end.
bool ZRTCPSRDecompose(const void* buffer, int length, std::uint32_t& ssrc, std::uint32_t& word1,
                      std::uint32_t& word2, std::uint32_t& word3, std::uint32_t& word4, std::uint32_t& word5,
                      std::wstring& cname);

// ---- screen-sharing messages (payload type 4) -------------------------------

constexpr int ZRTPSS_HEADER_SIZE = 16;

// Message types, byte 15 of every screen packet.
enum ZRTPSSType : std::uint8_t {
    ZRTPSS_LAYOUTCHANGED = 1,
    ZRTPSS_MOUSECHANGED = 2,
    ZRTPSS_REGIONCHANGED = 3,
    ZRTPSS_RESERVED = 4,
    ZRTPSS_CANCELSEND = 5,
    ZRTPSS_CANCELRECV = 6,
    ZRTPSS_KEYDOWN = 7,
    ZRTPSS_KEYUP = 8,
    ZRTPSS_MOUSEMOVE = 9,
    ZRTPSS_LBUTTONDOWN = 10,
    ZRTPSS_LBUTTONUP = 11,
    ZRTPSS_LBUTTONDBLCLK = 12,
    ZRTPSS_RBUTTONDOWN = 13,
    ZRTPSS_REMOTECONTROLON = 14,
    ZRTPSS_REMOTECONTROLOFF = 15,
    ZRTPSS_ACK = 16,
};

// Fixed sizes of the messages (a layout adds 12 bytes per window, a region
// its image bytes).
constexpr int ZRTPSS_LAYOUTCHANGED_SIZE = 24;
constexpr int ZRTPSS_LAYOUTWINDOW_SIZE = 12;
constexpr int ZRTPSS_MOUSECHANGED_SIZE = 20;
constexpr int ZRTPSS_REGIONCHANGED_SIZE = 32;
constexpr int ZRTPSS_KEYEVENT_SIZE = 20;
constexpr int ZRTPSS_MOUSEEVENT_SIZE = 20;
constexpr int ZRTPSS_ACK_SIZE = 24;

// Region encodings: a complete PNG file, or packed 4-bit grey pixels.
constexpr std::uint8_t ZRTPSS_ENCODING_PNG = 13;
constexpr std::uint8_t ZRTPSS_ENCODING_GREY4 = 24;

struct ZRTPSSHeader {
    ZRTPHeader rtp;
    std::uint8_t type = 0;
};

struct ZRTPSSLAYOUTCHANGED {
    ZRTPSSHeader header;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint16_t count = 0;
};

// One window record of a layout, read from the bytes after the fixed part.
struct ZRTPSSLayoutWindow {
    std::uint32_t id = 0;
    std::int16_t left = 0;
    std::int16_t top = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
};

struct ZRTPSSMOUSECHANGED {
    ZRTPSSHeader header;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
};

struct ZRTPSSREGIONCHANGED {
    ZRTPSSHeader header;
    std::uint32_t windowID = 0;
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::uint16_t width = 0;
    std::uint16_t height = 0;
    std::uint8_t encodingType = 0;
};

struct ZRTPSSKEYEVENT {
    ZRTPSSHeader header;
    std::uint16_t virtualKey = 0;
};

struct ZRTPSSMOUSEEVENT {
    ZRTPSSHeader header;
    std::uint16_t x = 0;
    std::uint16_t y = 0;
};

struct ZRTPSSACK {
    ZRTPSSHeader header;
    std::uint16_t seqNum = 0;
    std::uint32_t vector = 0;
};

// Composers fill their own fields of a zero-filled buffer the caller sized.
void ZComposeSS(unsigned char* buffer, std::uint8_t type);
void ZComposeLAYOUTCHANGED(unsigned char* buffer, std::uint16_t width, std::uint16_t height, std::uint16_t count);
void ZComposeLayoutWindow(unsigned char* buffer, int index, const ZRTPSSLayoutWindow& window);
void ZComposeREGIONCHANGED(unsigned char* buffer, std::uint32_t windowID, std::int16_t x, std::int16_t y,
                           std::uint16_t width, std::uint16_t height, std::uint8_t encodingType);
// The viewer's messages and the header-only ones, whole: RTP header, screen
// header and body.
std::string ZRTPSSMessage(std::uint8_t type, std::uint16_t seqNum, std::uint32_t ssrc);
std::string ZRTPSSKeyEvent(std::uint8_t type, std::uint32_t ssrc, std::uint16_t virtualKey);
std::string ZRTPSSMouseEvent(std::uint8_t type, std::uint32_t ssrc, std::uint16_t x, std::uint16_t y);
std::string ZRTPSSAck(std::uint32_t ssrc, std::uint16_t seqNum, std::uint32_t vector);

// Parsers: clear the record, check the length, the version, the payload type
// and the message type, then read the fields. They return the first byte after
// the fixed part and the remaining length, or null and 0.
const unsigned char* ZDecomposeRTPSS(const void* buffer, int length, ZRTPSSHeader& out, int& remaining);
const unsigned char* ZDecomposeRTPSSLAYOUTCHANGED(const void* buffer, int length, ZRTPSSLAYOUTCHANGED& out,
                                                  int& remaining);
const unsigned char* ZDecomposeRTPSSMOUSECHANGED(const void* buffer, int length, ZRTPSSMOUSECHANGED& out,
                                                 int& remaining);
const unsigned char* ZDecomposeRTPSSREGIONCHANGED(const void* buffer, int length, ZRTPSSREGIONCHANGED& out,
                                                  int& remaining);
const unsigned char* ZDecomposeRTPSSKEYEVENT(const void* buffer, int length, ZRTPSSKEYEVENT& out, int& remaining);
const unsigned char* ZDecomposeRTPSSMOUSEEVENT(const void* buffer, int length, ZRTPSSMOUSEEVENT& out,
                                               int& remaining);
const unsigned char* ZDecomposeRTPSSACK(const void* buffer, int length, ZRTPSSACK& out, int& remaining);
// Window i of a parsed layout; the caller passes the bytes after the fixed part.
ZRTPSSLayoutWindow ZRTPSSReadLayoutWindow(const unsigned char* windows, int index);

// ---- file-transfer messages (payload type 3) --------------------------------

constexpr int ZRTPFT_HEADER_SIZE = 20;
constexpr int ZRTPFT_INFO_SIZE = 64;
constexpr int ZRTPFT_BODY_SIZE = 28;  // GETBLOCKS, ACK and BLOCK before their data
// A block is 1024 bytes of the file; a chunk is 8 blocks, one byte of a map.
constexpr int ZFS_BLOCKSIZE = 1024;
constexpr int ZFS_CHUNKSIZE = 8;

enum ZRTPFTType : std::uint8_t {
    ZRTPFT_GETINFO = 1,
    ZRTPFT_INFO = 2,
    ZRTPFT_GETBLOCKS = 3,
    ZRTPFT_ACK = 4,
    ZRTPFT_BLOCK = 5,
    ZRTPFT_CANCELSEND = 6,
    ZRTPFT_CANCELRECV = 7,
    ZRTPFT_DONE = 8,
};

struct ZRTPFTHeader {
    ZRTPHeader rtp;
    std::uint32_t fileID = 0;
    std::uint8_t type = 0;
};

struct ZRTPFTINFO {
    ZRTPFTHeader header;
    std::uint64_t filesize = 0;
    std::string digest;  // the 20 raw digest bytes
};

struct ZRTPFTGETBLOCKS {
    ZRTPFTHeader header;
    std::uint32_t chunkOffset = 0;
    std::uint32_t numChunks = 0;
};

struct ZRTPFTACK {
    ZRTPFTHeader header;
    std::uint8_t percent = 0;
    std::uint16_t nextSequenceNum = 0;
    std::uint32_t ackVector = 0;
};

struct ZRTPFTBLOCK {
    ZRTPFTHeader header;
    std::uint32_t blockNum = 0;
    std::uint16_t blockSize = 0;
};

// Composers fill their own fields of a zero-filled buffer the caller sized;
// ZComposeFT writes the whole header (RTP part included).
void ZComposeFT(unsigned char* buffer, std::uint16_t seqNum, std::uint32_t fileID, std::uint8_t type);
void ZComposeINFO(unsigned char* buffer, std::uint64_t filesize, const std::string& digest);
void ZComposeGETBLOCKS(unsigned char* buffer, std::uint32_t chunkOffset, std::uint32_t numChunks);
void ZComposeFTACK(unsigned char* buffer, std::uint8_t percent, std::uint16_t nextSequenceNum,
                   std::uint32_t ackVector);
void ZComposeBLOCK(unsigned char* buffer, std::uint32_t blockNum, std::uint16_t blockSize);
// A header-only message, whole.
std::string ZRTPFTMessage(std::uint16_t seqNum, std::uint32_t fileID, std::uint8_t type);

// Parsers: null and 0 unless the datagram holds the whole fixed part, byte 0
// is 0x80, byte 1 is 3 and (but for ZDecomposeRTPFT) the type matches. A
// body shorter than it says (a GETBLOCKS map, a BLOCK's data) passes here and
// is refused by the mapping.
const unsigned char* ZDecomposeRTPFT(const void* buffer, int length, ZRTPFTHeader& out, int& remaining);
const unsigned char* ZDecomposeRTPFTINFO(const void* buffer, int length, ZRTPFTINFO& out, int& remaining);
const unsigned char* ZDecomposeRTPFTGETBLOCKS(const void* buffer, int length, ZRTPFTGETBLOCKS& out, int& remaining);
const unsigned char* ZDecomposeRTPFTACK(const void* buffer, int length, ZRTPFTACK& out, int& remaining);
const unsigned char* ZDecomposeRTPFTBLOCK(const void* buffer, int length, ZRTPFTBLOCK& out, int& remaining);

// Sixteen-bit sequence numbers under the wrap rule (see ZTCPSeqBefore).
bool ZSeqNumLess(std::uint16_t a, std::uint16_t b);
// The leading decimal digits of a completion text ("37%" -> 37, "--%" -> 0),
// at most 255.
std::uint8_t ZFilePercentOf(const std::wstring& text);
