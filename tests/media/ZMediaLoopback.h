// A real switchboard on a loopback UDP port and a socket that receives
// what it sends, with the store a capture stream reads; datagrams are read
// back as RTP media packets or the sender report.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ZHTTPHeaders.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace zanmedia {

// One datagram as the capture side wrote it.
struct ZSentPacket {
    std::string bytes;
    bool report = false;
    int payloadType = 0;
    std::uint32_t seqNum = 0, timeStamp = 0, ssrc = 0;
    std::uint32_t subHeader = 0;
    std::string payload;  // after the sub-header
    std::wstring cname;   // of a report
};

// Enables log categories for a scope.
class ZLogCategories {
public:
    explicit ZLogCategories(const char* filter) : _saved(ZLogGetFilter()) { ZLogSetFilter(filter); }
    ~ZLogCategories() { ZLogSetFilter(_saved); }

private:
    std::string _saved;
};

class ZMediaLoopback {
public:
    ZMediaLoopback() {
        instance = ZSAFENEW(ZInstance, ZFromUTF8(_dir.file("settings.ini")));
        instance->set(L"Local_User_GUID", std::wstring(L"me@zandrel.net"), false);
        instance->set(L"Local_Device_GUID", std::wstring(L"dev1"), false);
        instance->set(L"Video_Size", std::int64_t{48}, false);
        _udp = ZNetUDPPortOpen(L"127.0.0.1:0");
        _sink = ZNetUDPPortOpen(L"127.0.0.1:0");
        _sink2 = ZNetUDPPortOpen(L"127.0.0.1:0");
        port = ZSAFENEW(ZMegaPort, L"me@zandrel.net");
        port->setUDPPort(_udp);
        from = ZNetUDPPortGetLocalHost(_udp);
        to = ZNetUDPPortGetLocalHost(_sink);
        to2 = ZNetUDPPortGetLocalHost(_sink2);
    }
    ~ZMediaLoopback() {
        delete port;
        ZNetUDPPortClose(_sink2);
        ZNetUDPPortClose(_sink);
        ZNetUDPPortClose(_udp);
        delete instance;
    }

    // The "OPEN" a device session posts for this sink.
    ZHTTPHeaders open(const std::wstring& device = L"buddy@zandrel.net@dev9", bool secondSink = false) const {
        ZHTTPHeaders message(L"OPEN");
        message.set(L"Buddy-Device-GUID", device);
        message.set(L"Send-To", secondSink ? to2 : to);
        message.set(L"Send-From", from);
        message.set(L"Video-FPS", L"1");
        message.set(L"Audio-Enable", L"false");
        message.set(L"Video-Enable", L"false");
        return message;
    }

    // Everything the sink has received until the marker datagram, which is
    // sent now: what was sent before it has arrived by then.
    std::vector<ZSentPacket> receiveAll() {
        port->send(from, to, std::string(kMarker));
        std::vector<ZSentPacket> got;
        const std::int64_t end = ZTimeNow() + 5000000;
        while (ZTimeNow() < end) {
            std::string data;
            std::wstring sender;
            if (!ZNetUDPPortRecv(_sink, data, sender)) {
                ZNetWait({_sink}, {}, {}, 100000);
                continue;
            }
            if (data == kMarker) return got;
            got.push_back(parse(data));
        }
        ADD_FAILURE() << "the marker did not arrive";
        return got;
    }

    // Waits up to the time for one datagram at a sink; false when none came.
    bool receiveOne(ZSentPacket& packet, std::int64_t timeout, bool secondSink = false) {
        ZNetUDPPort* sink = secondSink ? _sink2 : _sink;
        const std::int64_t end = ZTimeNow() + timeout;
        while (ZTimeNow() < end) {
            std::string data;
            std::wstring sender;
            if (ZNetUDPPortRecv(sink, data, sender)) {
                packet = parse(data);
                return true;
            }
            ZNetWait({sink}, {}, {}, 20000);
        }
        return false;
    }

    static ZSentPacket parse(const std::string& data) {
        ZSentPacket p;
        p.bytes = data;
        if (ZIsRTCPSR(data.data(), static_cast<int>(data.size()))) {
            p.report = true;
            std::uint32_t unused = 0;
            ZRTCPSRDecompose(data.data(), static_cast<int>(data.size()), unused, unused, unused, unused, unused,
                             unused, p.cname);
            std::memcpy(&p.ssrc, data.data() + 4, 4);
            return p;
        }
        int length = 0;
        const unsigned char* rest = ZRTPDecompose(data.data(), static_cast<int>(data.size()), p.payloadType, p.seqNum,
                                                  p.timeStamp, p.ssrc, length);
        if (rest && length >= 4) {
            std::memcpy(&p.subHeader, rest, 4);
            p.payload.assign(reinterpret_cast<const char*>(rest) + 4, static_cast<std::size_t>(length - 4));
        }
        return p;
    }

    ZInstance* instance = nullptr;
    ZMegaPort* port = nullptr;
    std::wstring from, to, to2;

private:
    static constexpr const char* kMarker = "MARKER";
    ZTempDir _dir;
    ZNetUDPPort* _udp = nullptr;
    ZNetUDPPort* _sink = nullptr;
    ZNetUDPPort* _sink2 = nullptr;
};

}  // namespace zanmedia
