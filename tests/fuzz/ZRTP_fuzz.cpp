// libFuzzer target for the RTP, RTCP and screen-message parsers, which read
// every datagram a peer sends. Build and run from the top folder (clang; not
// part of the default build):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -Ilibzan/include -Iclient/rtp \
//     tests/fuzz/ZRTP_fuzz.cpp client/rtp/ZRTP.cpp libzan/src/ZUtil_Log.cpp libzan/src/ZUtil_Check.cpp \
//     libzan/src/ZPortable_Text.cpp -o /tmp/ZRTP_fuzz
//   mkdir -p /tmp/rtp-corpus && /tmp/ZRTP_fuzz -max_total_time=60 /tmp/rtp-corpus tests/fuzz/seeds/rtp
#include <cstddef>
#include <cstdint>
#include <string>

#include "ZRTP.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int length = static_cast<int>(size);
    int remaining = 0;
    ZRTPHeader header;
    // Whatever a parser accepts, the rest it reports lies inside the datagram.
    auto inside = [&](const unsigned char* rest) {
        if (rest && (rest < data || rest + remaining != data + size)) __builtin_trap();
    };
    inside(ZDecomposeRTP(data, length, header, remaining));
    ZRTPSSHeader ss;
    inside(ZDecomposeRTPSS(data, length, ss, remaining));
    ZRTPSSLAYOUTCHANGED layout;
    const unsigned char* windows = ZDecomposeRTPSSLAYOUTCHANGED(data, length, layout, remaining);
    inside(windows);
    if (windows) {
        if (remaining < 12 * layout.count) __builtin_trap();
        for (int i = 0; i < layout.count; ++i) ZRTPSSReadLayoutWindow(windows, i);
    }
    ZRTPSSREGIONCHANGED region;
    inside(ZDecomposeRTPSSREGIONCHANGED(data, length, region, remaining));
    ZRTPSSACK ack;
    inside(ZDecomposeRTPSSACK(data, length, ack, remaining));
    std::uint32_t a = 0, b = 0, c = 0, d = 0, e = 0, f = 0;
    std::wstring cname;
    if (ZIsRTCPSR(data, length)) ZRTCPSRDecompose(data, length, a, b, c, d, e, f, cname);
    return 0;
}
