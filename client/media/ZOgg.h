// One codec packet (libogg's ogg_packet record) as a flat run of bytes:
// b_o_s, e_o_s (4 bytes each), granulepos, packetno (8 each), the payload
// length N (4), then the N payload bytes; little-endian, no padding. Packets
// may stand back to back; only their own length field separates them. There
// are no Ogg pages or streams anywhere in the program.
//
// Stateless: any thread.
#pragma once

#include <ogg/ogg.h>

#include <string>

// Bytes of a framed packet before its payload.
constexpr int ZOGG_PACKET_HEADER_BYTES = 28;

// Appends the packet's framed form to out.
void ZSerialize(const ogg_packet& packet, std::string& out);
// Reads one packet from the front of the buffer: the bytes it took
// (28 + N), or 0 when the buffer does not hold a whole packet. The payload
// pointer points into the buffer (null for N = 0); nothing is copied.
int ZDeserialize(const unsigned char* buffer, int length, ogg_packet& packet);
