// The screen service owns every screen-sharing stream of the client: a send
// stream per viewer of this desktop, a receive stream per desktop this user
// watches, each known by the SSRC the devices agreed. It takes commands from
// "ZScreenService_commandQueue", routes inbound screen packets (only from a
// stream's own peer) by type and SSRC, captures the desktop while anyone
// watches it, polls the pointer, and gives each stream its periodic update.
//
// Remote control is the sharing user's alone to give: every send stream
// starts without it, and only SETREMOTECONTROL on this queue (posted by the
// sharing user's own action) turns it on. No packet can.
//
// Threading: one thread of its own, "ZClient.ZScreenService". Streams, the
// capture state and the window pictures are touched only there, with the
// object's lock held; the lock is let go only while the pass waits on the
// switchboard. Other threads reach the service through its queue, and a
// command ends that wait at once. The
// pointer windows are drawn by the UI thread (ZScreenCursorWindows), which
// must construct and destroy the service. setClock is for the owner before
// start.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZPortable_Helpers.h"
#include "ZScreen.h"
#include "ZThreadObject.h"

class ZInstance;
class ZMegaPort;
class ZMegaPortBucket;
class ZMegaPortQueueWake;
class ZScreenCursorWindows;
class ZScreenRecvStream;
class ZScreenSendStream;

// The picture of one shared window and the parts of it not yet compared.
struct ZScreenWindow {
    ZRect rect;
    ZImageFormat format;
    std::string image;
    std::list<ZFrag> dirtyFrags;
};

// The longest wait of a pass with nothing due, in microseconds.
constexpr std::int64_t ZSCREENSERVICE_LONGEST_WAIT = 250000;

class ZScreenService : public ZThreadObject, public IZScreen {
public:
    ZScreenService(ZInstance* instance, ZMegaPort* port);
    ~ZScreenService() override;
    void invariantTest() override;

    void setClock(ZScreenClock clock);

    // IZScreen, for the send streams on this thread.
    const std::list<ZFrag>& getLayout() override { return _layout; }
    int getWidth() override { return _width; }
    int getHeight() override { return _height; }
    const unsigned char* getWindow(std::uint32_t windowID, ZImageFormat& format) override;
    void getMousePosition(int& x, int& y) override;
    ZScreenClock getClock() override { return _clock; }

    // One pass without the wait, for tests that drive the service themselves.
    std::int64_t runPass();
    // The capture pass alone (normally part of a pass).
    void capturePass();
    bool isCaptureOpen() const { return _screen != nullptr; }
    // The change detection of one grabbed frame with its window enumeration
    // (normally called by the capture pass), and the area it compares; for
    // benchmarks that bring their own frames.
    void detectChanges(const ZImageFormat& captured, const unsigned char* pixels, const std::list<ZFrag>& layout,
                       std::map<std::uint32_t, std::list<ZFrag>>& windowRects);
    void setDirtyRect(const ZRect& rect);
    ZScreenSendStream* findSendStream(std::uint32_t ssrc);
    ZScreenRecvStream* findRecvStream(std::uint32_t ssrc);
    std::size_t getRecvStreamCount() const { return _ssrcRecvStreamMap.size(); }
    // Bytes of pictures all receive streams hold together.
    std::int64_t getRecvPictureBytes() const { return _recvBudget.held; }
    // A smaller budget for all receive streams, for tests.
    void setRecvPictureLimit(std::int64_t bytes) { _recvBudget.limit = bytes; }

protected:
    void _bZThreadObject_safe_onStartup() override;
    int _bZThreadObject_safe_onLoop() override;
    void _bZThreadObject_safe_onShutdown() override;

private:
    void _onPacket(ZMegaPortBucket* bucket);
    void _onCommand(const ZHTTPHeaders& command);
    ZScreenSendStream* _getSendStream(const std::wstring& buddyGUID);
    ZScreenRecvStream* _getRecvStream(const std::wstring& buddyGUID);
    std::map<std::int32_t, ZScreenSendStream*>::iterator _findPeerSend(std::uint32_t ssrc, const std::wstring& from);
    void _reset();
    void _warnOutOfMemory(ZScreenRecvStream* stream);
    void _clean(const std::list<std::int32_t>& deadSend, const std::list<std::int32_t>& deadRecv);
    void _resetCapture();
    void _notifyLayoutChanged();
    void _notifyDirtyFrag(const ZFrag& frag);
    void _readPointer();
    void _updateWindowPictures(const ZImageFormat& captured);
    void _compareWindows(const ZImageFormat& captured, const unsigned char* pixels,
                         std::map<std::uint32_t, std::list<ZFrag>>& windowRects);

    ZInstance* _instance;
    ZMegaPort* _port;
    ZScreenClock _clock;
    std::unique_ptr<ZMegaPortQueueWake> _wake;
    ZScreenCursorWindows* _cursors = nullptr;
    std::map<std::int32_t, ZScreenSendStream*> _ssrcSendStreamMap;
    std::map<std::int32_t, ZScreenRecvStream*> _ssrcRecvStreamMap;
    ZScreenPictureBudget _recvBudget;
    ZScreen* _screen = nullptr;
    ZRect _dirtyRect;
    std::list<ZFrag> _layout;
    std::map<std::uint32_t, ZScreenWindow> _windowMap;
    ZInterval _fullscreenInterval;
    int _width = 0;
    int _height = 0;
    ZInterval _mouseInterval;
    int _mouseX = 0;
    int _mouseY = 0;
};
