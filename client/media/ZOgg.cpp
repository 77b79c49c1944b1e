#include "ZOgg.h"

#include <cstdint>
#include <cstring>

#include "ZPortable_Bytes.h"
#include "ZUtil.h"

void ZSerialize(const ogg_packet& packet, std::string& out) {
    ZTRACE();
    ZSerialize(static_cast<int>(packet.b_o_s), out);
    ZSerialize(static_cast<int>(packet.e_o_s), out);
    ZSerialize(static_cast<std::int64_t>(packet.granulepos), out);
    ZSerialize(static_cast<std::int64_t>(packet.packetno), out);
    ZSerialize(static_cast<int>(packet.bytes), out);
    if (packet.bytes > 0) ZSerialize(packet.packet, static_cast<int>(packet.bytes), out);
}

namespace {

// Takes one little-endian field from the front of what is left; false when
// fewer bytes remain than the field needs.
template <typename T>
bool take(const unsigned char*& at, int& left, T& value) {
    if (left < static_cast<int>(sizeof(T))) return false;
    std::memcpy(&value, at, sizeof(T));
    at += sizeof(T);
    left -= static_cast<int>(sizeof(T));
    return true;
}

}  // namespace

int ZDeserialize(const unsigned char* buffer, int length, ogg_packet& packet) {
    ZTRACE();
    if (!buffer || length < ZOGG_PACKET_HEADER_BYTES) return 0;
    const unsigned char* at = buffer;
    int left = length;
    std::int32_t bos = 0, eos = 0, bytes = 0;
    std::int64_t granulepos = 0, packetno = 0;
    take(at, left, bos);
    take(at, left, eos);
    take(at, left, granulepos);
    take(at, left, packetno);
    take(at, left, bytes);
    packet.b_o_s = bos;
    packet.e_o_s = eos;
    packet.granulepos = granulepos;
    packet.packetno = packetno;
    packet.bytes = bytes;
    packet.packet = nullptr;
    if (bytes < 0 || bytes > left) return 0;
    if (bytes > 0) packet.packet = const_cast<unsigned char*>(at);
    return ZOGG_PACKET_HEADER_BYTES + bytes;
}
