// libFuzzer target of the switchboard's filing: any datagram from a peer is
// filed by its first bytes into the one list that waits for it, or given
// back; nothing is lost or handed out twice, and the takers get exactly the
// datagrams of their type.
//
// Input: records of two length bytes (little-endian) and the datagram.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ZFuzz.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZRTP.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static ZMegaPort* port = ZSAFENEW(ZMegaPort, L"fuzz");
    std::size_t at = 0;
    int filed = 0;
    while (size - at >= 2) {
        const std::size_t length = std::min<std::size_t>(data[at] | (data[at + 1] << 8), size - at - 2);
        ZMegaPortBucket* bucket = port->getEmtpyBucket();
        bucket->from = L"127.0.0.1:9";
        bucket->buffer.assign(reinterpret_cast<const char*>(data + at + 2), length);
        at += 2 + length;
        if (ZIsRTP(bucket->buffer))
            port->fillRTPBucket(bucket);
        else
            port->fillSIPBucket(bucket);
        ++filed;
    }
    int taken = 0;
    for (int type = 0; type < 256; ++type) {
        while (ZMegaPortBucket* bucket = port->getRTPBucket(static_cast<std::uint8_t>(type))) {
            const int payload = static_cast<unsigned char>(bucket->buffer[1]);
            if (!ZIsRTP(bucket->buffer) ||
                (payload != type && !(payload == ZRTCP_SENDER_REPORT && type == ZRTP_AUDIO)))
                __builtin_trap();
            port->returnEmptyBucket(bucket);
            ++taken;
        }
    }
    while (ZMegaPortBucket* bucket = port->getSIPBucket()) {
        if (ZIsRTP(bucket->buffer)) __builtin_trap();
        port->returnEmptyBucket(bucket);
        ++taken;
    }
    // Every bucket is back in the pool: none was kept or lost on the way.
    if (taken > filed || port->getNumEmptyBuckets() != port->getNumBucketsCreated()) __builtin_trap();
    return 0;
}
