// The viewing side of one screen share: keeps a copy of every shared window
// from the sharer's layout and region messages, composes them into the store
// image "<sharer>_Screen_Image", acknowledges every message, and sends the
// viewer's keys and clicks back. Sizes from the network are held to the
// viewer's limits before any memory is taken for them: every picture the
// stream holds counts against its own cap and the service's budget.
//
// Threading: every call comes from the screen service's thread with the
// service's lock held; the store image is written under the store's lock.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZObject.h"
#include "ZScreen.h"
#include "ZTCP.h"

class ZInstance;
class ZMegaPort;
class ZMegaPortBucket;

class ZScreenRecvStream : public ZHeapObject {
public:
    ZScreenRecvStream(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& command, ZScreenClock clock,
                      ZScreenPictureBudget* budget = nullptr);
    ~ZScreenRecvStream() override;
    void invariantTest() override;

    void dispatch(ZMegaPortBucket* bucket);
    std::int64_t update();
    bool isPeer(const std::wstring& host) const;

    void onClientKeyDown(int virtualKey);
    void onClientKeyUp(int virtualKey);
    void onClientMouseMove(int x, int y);
    void onClientLButtonDown(int x, int y);
    void onClientLButtonUp(int x, int y);
    void onClientLButtonDblClk(int x, int y);
    void onClientRButtonDown(int x, int y);

    std::wstring getBuddyGUID() const { return _buddyGUID; }
    // Bytes of every picture held now: the windows and the published picture.
    std::int64_t getPictureBytes() const;

private:
    struct Window {
        ZImageFormat format;
        std::string pixels;
        int left = 0;
        int top = 0;
    };

    void _onLayout(const std::string& packet);
    void _onCursor(const std::string& packet);
    void _onRegion(const std::string& packet);
    void _republish();
    void _compose(ZImageFormat& format, std::string& buffer);
    void _sendACK();
    void _sendMOUSEEVENT(std::uint8_t type, int x, int y);
    void _sendKEYEVENT(std::uint8_t type, int virtualKey);
    void _send(const std::string& message);
    void _unite(const ZRect& rect);
    std::int64_t _windowBytes() const;
    // Whether the stream may hold this many bytes of pictures in all.
    bool _mayHold(std::int64_t bytes) const;
    // Tells the budget what the stream holds now.
    void _account();

    ZInstance* _instance;
    ZMegaPort* _port;
    ZScreenClock _clock;
    ZScreenPictureBudget _ownBudget;
    ZScreenPictureBudget* _budget;
    std::int64_t _accounted = 0;
    // Bytes of the picture last published.
    std::int64_t _imageBytes = 0;
    std::wstring _buddyGUID;
    std::wstring _sendFrom;
    std::wstring _sendTo;
    std::wstring _recvFrom;
    std::uint32_t _ssrc = 0;
    std::uint32_t _windowID = 0;
    std::map<std::uint32_t, Window> _idWindowMap;
    std::list<std::uint32_t> _layoutOrder;
    bool _republishPending = false;
    // A window left the layout: the composed picture starts from black
    // again, or the window would stay on show where nothing covers it.
    bool _clearPicture = false;
    std::int64_t _lastPublication = 0;
    std::int64_t _publicationPeriod = 500000;
    ZTCPClient _tcpClient{0, 0xFFFFFFFF};
    std::int32_t _bytesThisSecond = 0;
    std::int64_t _lastRateReport = 0;
    std::int64_t _ratePeriod = 1000000;
    int _screenWidth = 0;
    int _screenHeight = 0;
    ZRect _dirtyRect;
};
