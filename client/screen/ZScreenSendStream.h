// The sharing side of one screen share with one viewer: turns the screen
// service's layout, cursor and changed-rectangle reports into screen
// messages paced by a reliable sender, sends lost content again with fresh
// pixels, and replays the viewer's keys and clicks on this desktop only
// while the sharing user has given control.
//
// Threading: every call comes from the screen service's thread with the
// service's lock held. The pointer window is drawn by the UI thread through
// ZScreenCursorWindows.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "ZHTTPHeaders.h"
#include "ZObject.h"
#include "ZScreen.h"
#include "ZTCP.h"

class ZInstance;
class ZMegaPort;
class ZMegaPortBucket;
class ZScreenCursorWindows;

class ZScreenSendStream : public ZHeapObject {
public:
    ZScreenSendStream(ZInstance* instance, ZMegaPort* port, IZScreen* screen, const ZHTTPHeaders& command,
                      ZScreenCursorWindows* cursors);
    ~ZScreenSendStream() override;
    void invariantTest() override;

    // Microseconds until the next call is due, or -1 when the viewer is gone.
    std::int64_t update();
    void dispatch(ZMegaPortBucket* bucket);
    // Whether a packet from this host may act on the stream: only its viewer's.
    bool isPeer(const std::wstring& host) const;

    void onLayoutChanged() { _layoutChanged = true; }
    void onMouseChanged() { _cursorChanged = true; }
    void onFragChanged(const ZFrag& frag);
    void hideCursor();
    void showCursor();
    void onSetRemoteControl(bool enable);
    bool hasRemoteControl() const { return _remoteControl; }

    void onClientKeyDown(int virtualKey);
    void onClientKeyUp(int virtualKey);
    void onClientMouseMove(int x, int y);
    void onClientLButtonDown(int x, int y);
    void onClientLButtonUp(int x, int y);
    void onClientLButtonDblClk(int x, int y);
    void onClientRButtonDown(int x, int y);

    std::wstring getBuddyGUID() const { return _buddyGUID; }
    std::uint32_t getSSRC() const { return _ssrc; }
    // Tiles waiting to be sent, all windows together.
    std::size_t getPendingCount() const;

private:
    bool _liberatePacket();
    void _liberatePackets();
    void _send(std::string& message);
    void _sendLAYOUTCHANGED();
    void _sendMOUSECHANGED();
    bool _sendREGIONCHANGED(const ZFrag& frag);
    void _sendRTPSS(std::uint8_t type);
    void _onACK(ZMegaPortBucket* bucket);
    void _onDrop(const std::string& record);
    void _dropGivenUp();
    void _animateCursor();
    bool _inSharedWindow(int x, int y);
    void _injectClick(int x, int y, std::initializer_list<unsigned> flags);
    void _releaseHeld();

    ZInstance* _instance;
    ZMegaPort* _port;
    IZScreen* _screen;
    ZScreenCursorWindows* _cursors;
    std::uint32_t _ssrc = 0;
    std::uint32_t _windowID = 0;
    std::wstring _sendFrom;
    std::wstring _sendTo;
    std::wstring _recvFrom;
    std::wstring _buddyGUID;
    ZTCPServer _tcpServer;
    std::uint16_t _seqNum = 0;
    std::map<std::uint32_t, std::list<ZFrag>> _pendingFrags;
    bool _layoutChanged = true;
    bool _cursorChanged = true;
    // The current control state is due again after its notice was lost.
    bool _controlChanged = false;
    std::list<std::string> _sentRecords;
    // Since when the oldest unacknowledged message waits (0: none waits).
    std::int64_t _unackedSince = 0;
    std::int32_t _bytesThisSecond = 0;
    std::int64_t _lastRateReport = 0;
    std::int64_t _ratePeriod = 1000000;
    int _cursorWindow = 0;
    bool _remoteControl = false;
    int _cursorX = 0, _cursorY = 0;
    int _targetX = 0, _targetY = 0;
    std::set<int> _heldKeys;
    bool _leftHeld = false;
};
