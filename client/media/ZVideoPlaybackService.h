// The service thread that receives buddies' audio and video: one playback
// stream per buddy device, opened and closed by "OPEN" (Buddy-Device-GUID,
// Recv-From-Host) and "CLOSE" (Buddy-Device-GUID) on
// "ZVideoPlaybackService_commandQueue". Every RTP packet of payload types 1
// and 2 is taken from the switchboard (audio first), routed by its sender's
// address, and RTCP sender reports are checked and dropped here. Each pass
// ends with the streams' update and a wait on the switchboard's events: at
// most 100 ms while a stream is open, at most 500 ms while none is.
//
// Threading: its own thread does everything, holding the object lock
// except while it waits on the switchboard. Other threads reach it only
// through its queue, and a command ends the wait at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "ZThreadObject.h"

class ZInstance;
class ZMegaPort;
class ZMegaPortQueueWake;
class ZVideoPlaybackStream;

// Most lines a second about datagrams from addresses without a stream.
constexpr int ZPLAYBACK_UNEXPECTED_LINES_PER_SECOND = 10;
// The longest wait of a pass while streams play, and while none is open
// (microseconds).
constexpr std::int64_t ZPLAYBACK_STREAM_WAIT = 100000;
constexpr std::int64_t ZPLAYBACK_IDLE_WAIT = 500000;

// The incoming media streams of every connected buddy device.
class ZVideoPlaybackService : public ZThreadObject {
public:
    ZVideoPlaybackService(ZInstance* instance, ZMegaPort* port);
    ~ZVideoPlaybackService() override;
    void invariantTest() override;

    // One pass without the wait, for tests that drive the service by hand.
    void pass();

protected:
    void _bZThreadObject_safe_onStartup() override;
    int _bZThreadObject_safe_onLoop() override;
    void _bZThreadObject_safe_onShutdown() override;

private:
    void _handlePackets();
    void _handleCommands();
    void _deleteStream(const std::wstring& name);
    // Whether another line about an unexpected sender may be written now.
    bool _unexpectedAllowed();

    ZInstance* _instance;
    ZMegaPort* _port;
    std::unique_ptr<ZMegaPortQueueWake> _wake;
    std::map<std::wstring, ZVideoPlaybackStream*> _nameStreamMap;
    std::map<std::wstring, ZVideoPlaybackStream*> _remoteHostStreamMap;
    std::int64_t _unexpectedSecond = 0;
    int _unexpectedLines = 0;
    int _unexpectedDropped = 0;
};
