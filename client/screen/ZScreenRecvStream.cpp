// The viewing side of a screen share: windows kept from layout and region
// messages, one composed picture in the store, input sent back.
#include "ZScreenRecvStream.h"

#include <algorithm>
#include <climits>
#include <new>

#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZUtil.h"

namespace {

constexpr ZRect kEmptyRect = {INT_MAX, INT_MAX, INT_MIN, INT_MIN};

bool sideOK(int side) {
    return side >= 1 && side <= ZSCREEN_MAX_SIDE;
}

std::int64_t pictureBytes(int width, int height) {
    return static_cast<std::int64_t>(width) * height * 3;
}

void fillBlack(ZImageFormat& format, std::string& pixels, int width, int height) {
    format = ZImageFormat{ZIT_RGB24, width, height};
    pixels.assign(static_cast<std::size_t>(pictureBytes(width, height)), '\0');
}

}  // namespace

ZScreenRecvStream::ZScreenRecvStream(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& command,
                                     ZScreenClock clock, ZScreenPictureBudget* budget)
    : _instance(instance),
      _port(port),
      _clock(clock ? clock : &ZTimeNow),
      _budget(budget ? budget : &_ownBudget),
      _dirtyRect(kEmptyRect) {
    ZTRACE_KIND("ZScreenRecvStream");
    _buddyGUID = command.get(L"Buddy-GUID");
    _sendFrom = command.get(L"Send-From");
    _sendTo = command.get(L"Send-To");
    _recvFrom = command.get(L"Recv-From");
    _ssrc = static_cast<std::uint32_t>(command.calc64(L"SSRC"));
    _windowID = static_cast<std::uint32_t>(command.calc64(L"Window-ID"));
    invariantTest();
    _instance->insert(L"Screening_From_List", _buddyGUID);
}

ZScreenRecvStream::~ZScreenRecvStream() {
    ZTRACE();
    invariantTest();
    _send(ZRTPSSMessage(ZRTPSS_CANCELSEND, 0, _ssrc));
    _instance->remove(L"Screening_From_List", _buddyGUID);
    _budget->held -= _accounted;
}

void ZScreenRecvStream::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZWARNASSERT(!_buddyGUID.empty( ));
    ZWARNASSERT(!_sendFrom.empty( ));
    ZWARNASSERT(!_sendTo.empty( ));
}

bool ZScreenRecvStream::isPeer(const std::wstring& host) const {
    return ZCaseEquals(host, _sendTo) || (!_recvFrom.empty() && ZCaseEquals(host, _recvFrom));
}

std::int64_t ZScreenRecvStream::_windowBytes() const {
    std::int64_t total = 0;
    for (const auto& entry : _idWindowMap) total += static_cast<std::int64_t>(entry.second.pixels.size());
    return total;
}

std::int64_t ZScreenRecvStream::getPictureBytes() const {
    return _windowBytes() + _imageBytes;
}

bool ZScreenRecvStream::_mayHold(std::int64_t bytes) const {
    return bytes <= ZSCREEN_MAX_PICTURE_BYTES && _budget->held - _accounted + bytes <= _budget->limit;
}

void ZScreenRecvStream::_account() {
    const std::int64_t held = getPictureBytes();
    _budget->held += held - _accounted;
    _accounted = held;
}

void ZScreenRecvStream::_send(const std::string& message) {
    _port->send(_sendFrom, _sendTo, message);
}

// ---- received messages -------------------------------------------------------------

void ZScreenRecvStream::dispatch(ZMegaPortBucket* bucket) {
    ZTRACE();
    invariantTest();
    const std::string& packet = bucket->buffer;
    _bytesThisSecond += static_cast<std::int32_t>(packet.size());
    ZRTPSSHeader header;
    int remaining = 0;
    if (!ZDecomposeRTPSS(packet.data(), static_cast<int>(packet.size()), header, remaining)) return;
    _tcpClient.onRecv(header.rtp.seqNum);
    _sendACK();
    switch (header.type) {
    case ZRTPSS_LAYOUTCHANGED:
        _onLayout(packet);
        break;
    case ZRTPSS_MOUSECHANGED:
        _onCursor(packet);
        break;
    case ZRTPSS_REGIONCHANGED:
        _onRegion(packet);
        break;
    case ZRTPSS_RESERVED:
    case ZRTPSS_CANCELSEND:
    case ZRTPSS_CANCELRECV:
        break;
    case ZRTPSS_REMOTECONTROLON:
        _instance->set(_buddyGUID + L"_Screen_Have_Control", std::int64_t{1}, false);
        break;
    case ZRTPSS_REMOTECONTROLOFF:
        _instance->set(_buddyGUID + L"_Screen_Have_Control", std::int64_t{0}, false);
        break;
    default:
        ZLOG(L"WARNING Received unrecognized payload type #" << static_cast<int>(header.type) << L", ignoring.");
        break;
    }
}

void ZScreenRecvStream::_onLayout(const std::string& packet) {
    ZRTPSSLAYOUTCHANGED layout;
    int remaining = 0;
    const unsigned char* windows =
        ZDecomposeRTPSSLAYOUTCHANGED(packet.data(), static_cast<int>(packet.size()), layout, remaining);
    if (!windows) {
        ZLOG(L"WARNING Malformed LAYOUTCHANGED packet, ignoring.");
        return;
    }
    // Every size is checked, and the memory the pictures would take (the
    // composed picture too), before anything changes.
    bool ok = sideOK(layout.width) && sideOK(layout.height);
    std::map<std::uint32_t, std::int64_t> sizes;
    for (const auto& entry : _idWindowMap) sizes[entry.first] = static_cast<std::int64_t>(entry.second.pixels.size());
    for (int i = 0; ok && i < layout.count; ++i) {
        const ZRTPSSLayoutWindow w = ZRTPSSReadLayoutWindow(windows, i);
        if (_windowID && w.id != _windowID) continue;
        ok = sideOK(w.width) && sideOK(w.height);
        sizes[w.id] = pictureBytes(w.width, w.height);
    }
    std::int64_t total = 0;
    for (const auto& entry : sizes) total += entry.second;
    if (!_windowID)
        total += pictureBytes(layout.width, layout.height);
    else if (sizes.count(_windowID))
        total += sizes[_windowID];
    if (!ok || !_mayHold(total)) {
        ZLOG(L"WARNING Received LAYOUTCHANGED beyond the viewer's limits, ignoring.");
        return;
    }

    _screenWidth = layout.width;
    _screenHeight = layout.height;
    _clearPicture = true;
    _layoutOrder.clear();
    for (int i = 0; i < layout.count; ++i) {
        const ZRTPSSLayoutWindow w = ZRTPSSReadLayoutWindow(windows, i);
        if (_windowID && w.id != _windowID) continue;
        auto found = _idWindowMap.find(w.id);
        if (found == _idWindowMap.end()) {
            Window& window = _idWindowMap[w.id];
            fillBlack(window.format, window.pixels, w.width, w.height);
            window.left = w.left;
            window.top = w.top;
        } else {
            Window& window = found->second;
            window.left = w.left;
            window.top = w.top;
            if (window.format.width != w.width || window.format.height != w.height)
                ZImageReframe(window.format, window.pixels, w.width, w.height, 0xFF000000u);
        }
        if (std::find(_layoutOrder.begin(), _layoutOrder.end(), w.id) == _layoutOrder.end())
            _layoutOrder.push_back(w.id);
    }
    _dirtyRect = ZRect{0, 0, _screenWidth, _screenHeight};
    _account();
    _republish();
}

void ZScreenRecvStream::_onCursor(const std::string& packet) {
    ZRTPSSMOUSECHANGED cursor;
    int remaining = 0;
    if (!ZDecomposeRTPSSMOUSECHANGED(packet.data(), static_cast<int>(packet.size()), cursor, remaining)) return;
    int x = cursor.x, y = cursor.y;
    if (_windowID) {
        auto found = _idWindowMap.find(_windowID);
        if (found == _idWindowMap.end()) return;
        x -= found->second.left;
        y -= found->second.top;
    }
    _instance->set(_buddyGUID + L"_Screen_Cursor_X", static_cast<std::int64_t>(x), false);
    _instance->set(_buddyGUID + L"_Screen_Cursor_Y", static_cast<std::int64_t>(y), false);
}

void ZScreenRecvStream::_onRegion(const std::string& packet) {
    ZRTPSSREGIONCHANGED region;
    int remaining = 0;
    const unsigned char* image =
        ZDecomposeRTPSSREGIONCHANGED(packet.data(), static_cast<int>(packet.size()), region, remaining);
    if (!image) return;
    if (_windowID && region.windowID != _windowID) return;
    const int x = region.x, y = region.y, width = region.width, height = region.height;
    const ZRect rect{x, y, x + width, y + height};
    auto found = _idWindowMap.find(region.windowID);
    bool ok = width >= 1 && height >= 1 && x >= 0 && y >= 0 && sideOK(rect.right) && sideOK(rect.bottom);
    if (ok && found != _idWindowMap.end())
        ok = ZRectContains(ZRect{0, 0, found->second.format.width, found->second.format.height}, rect);
    else if (ok)
        ok = _mayHold(_windowBytes() + pictureBytes(rect.right, rect.bottom) +
                      (region.windowID == _windowID ? pictureBytes(rect.right, rect.bottom) : _imageBytes));
    if (!ok) {
        ZLOG(L"WARNING Received REGIONCHANGED outside its window or the viewer's limits, ignoring.");
        return;
    }

    // The pixels are checked before a window is made for them.
    ZImageFormat decodedFormat;
    std::string decoded;
    bool red = false;
    if (region.encodingType == ZRTPSS_ENCODING_PNG) {
        if (!ZImageDecodePNG(image, remaining, width, height, decodedFormat, decoded)) {
            ZLOG(L"WARNING Received invalid REGIONCHANGED image, ignoring.");
            return;
        }
    } else if (region.encodingType == ZRTPSS_ENCODING_GREY4) {
        const ZImageFormat grey{ZIT_GRAY4, width, height};
        if (remaining != ZImageByteSize(grey)) {
            ZLOG(L"WARNING Received invalid REGIONCHANGED image, ignoring.");
            return;
        }
        ZImageConvert(grey, image, ZIT_RGB24, decoded);
        decodedFormat = ZImageFormat{ZIT_RGB24, width, height};
    } else {
        red = true;
    }

    if (found == _idWindowMap.end()) {
        Window& window = _idWindowMap[region.windowID];
        fillBlack(window.format, window.pixels, rect.right, rect.bottom);
        found = _idWindowMap.find(region.windowID);
        _account();
    }
    Window& window = found->second;
    unsigned char* pixels = reinterpret_cast<unsigned char*>(&window.pixels[0]);
    if (red) {
        const unsigned char colour[4] = {255, 0, 0, 255};
        ZImageFillRect(window.format, pixels, rect, colour);
    } else {
        ZImageCopy(decodedFormat, reinterpret_cast<const unsigned char*>(decoded.data()),
                   ZRect{0, 0, width, height}, window.format, pixels, rect, ZIC_NOBLEND);
    }
    _unite(ZRect{rect.left + window.left, rect.top + window.top, rect.right + window.left, rect.bottom + window.top});
    _republish();
}

void ZScreenRecvStream::_unite(const ZRect& rect) {
    _dirtyRect.left = std::min(_dirtyRect.left, rect.left);
    _dirtyRect.top = std::min(_dirtyRect.top, rect.top);
    _dirtyRect.right = std::max(_dirtyRect.right, rect.right);
    _dirtyRect.bottom = std::max(_dirtyRect.bottom, rect.bottom);
}

// ---- publication -------------------------------------------------------------------

// Composes the published picture into the store's buffer.
void ZScreenRecvStream::_compose(ZImageFormat& format, std::string& buffer) {
    if (!_windowID) {
        const ZImageFormat screen{ZIT_RGB24, _screenWidth, _screenHeight};
        if (!(format == screen) || buffer.size() != static_cast<std::size_t>(pictureBytes(_screenWidth, _screenHeight))) {
            // The format changes only once the buffer has its size.
            buffer.resize(static_cast<std::size_t>(pictureBytes(_screenWidth, _screenHeight)));
            format = screen;
        }
        if (_clearPicture) std::fill(buffer.begin(), buffer.end(), '\0');
        _clearPicture = false;
        std::list<ZFrag> pieces;
        for (std::uint32_t id : _layoutOrder) {
            ZASSERT(ZMAPCONTAINS( _idWindowMap, id ));
            const Window& window = _idWindowMap[id];
            ZFragMerge(pieces, ZFrag{id, ZRect{window.left, window.top, window.left + window.format.width,
                                               window.top + window.format.height}});
        }
        // Each piece is cut to the screen first, so a window partly off the
        // screen is drawn where it is, not shifted.
        const ZRect screenRect{0, 0, _screenWidth, _screenHeight};
        for (const ZFrag& frag : pieces) {
            ZASSERT(ZMAPCONTAINS( _idWindowMap, frag.id ));
            const Window& window = _idWindowMap[frag.id];
            ZRect toRect = frag.rect;
            ZRectClip(toRect, screenRect);
            if (ZRectEmpty(toRect)) continue;
            const ZRect fromRect{toRect.left - window.left, toRect.top - window.top, toRect.right - window.left,
                                 toRect.bottom - window.top};
            const ZRect winRect{0, 0, window.format.width, window.format.height};
            ZASSERT(ZRectContains( winRect, fromRect ));
            _ZImageCopy(window.format, reinterpret_cast<const unsigned char*>(window.pixels.data()), fromRect, format,
                        reinterpret_cast<unsigned char*>(&buffer[0]), toRect, ZIC_NOBLEND);
        }
    } else {
        ZASSERT(ZMAPCONTAINS( _idWindowMap, _windowID ));
        const Window& window = _idWindowMap[_windowID];
        buffer = window.pixels;
        format = window.format;
        if (_dirtyRect.right > _dirtyRect.left)
            _dirtyRect = ZRect{_dirtyRect.left - window.left, _dirtyRect.top - window.top,
                               _dirtyRect.right - window.left, _dirtyRect.bottom - window.top};
    }
}

void ZScreenRecvStream::_republish() {
    if (_windowID && !_idWindowMap.count(_windowID)) return;
    const std::int64_t now = _clock();
    if (now - _lastPublication <= _publicationPeriod) {
        _republishPending = true;
        return;
    }
    if (!_windowID && (_screenWidth <= 0 || _screenHeight <= 0)) {
        // Regions before any layout: nothing to compose onto yet.
        _republishPending = true;
        return;
    }
    _lastPublication = now;
    const std::wstring name = _buddyGUID + L"_Screen_Image";
    ZImageFormat format;
    ZRect stored;
    std::string& buffer = ZImageTools_instanceWriteOpen(_instance, name, format, stored);
    // The write holds the store's lock: it is closed whatever happens.
    try {
        _compose(format, buffer);
    } catch (const std::bad_alloc&) {
        ZImageTools_instanceWriteClose(_instance, name, format, ZRect{0, 0, 0, 0});
        throw;
    }
    ZRect dirty = (stored.right > stored.left && stored.bottom > stored.top) ? stored : kEmptyRect;
    if (_dirtyRect.right > _dirtyRect.left && _dirtyRect.bottom > _dirtyRect.top) {
        dirty.left = std::min(dirty.left, _dirtyRect.left);
        dirty.top = std::min(dirty.top, _dirtyRect.top);
        dirty.right = std::max(dirty.right, _dirtyRect.right);
        dirty.bottom = std::max(dirty.bottom, _dirtyRect.bottom);
    }
    _dirtyRect = kEmptyRect;
    dirty.left = std::clamp(dirty.left, 0, format.width);
    dirty.right = std::clamp(dirty.right, 0, format.width);
    dirty.top = std::clamp(dirty.top, 0, format.height);
    dirty.bottom = std::clamp(dirty.bottom, 0, format.height);
    ZImageTools_instanceWriteClose(_instance, name, format, dirty);
    _republishPending = false;
    _imageBytes = pictureBytes(format.width, format.height);
    _account();
}

std::int64_t ZScreenRecvStream::update() {
    ZTRACE();
    invariantTest();
    const std::int64_t now = _clock();
    if (now - _lastRateReport > _ratePeriod) {
        _instance->set(_buddyGUID + L"_Screen_BPS_Recv", ZFormatByteSize(_bytesThisSecond), false);
        _bytesThisSecond = 0;
        _lastRateReport = now;
    }
    if (_republishPending && _clock() - _lastPublication > _publicationPeriod) _republish();
    return std::max<std::int64_t>(_publicationPeriod - (_clock() - _lastPublication), 100000);
}

// ---- the viewer's messages --------------------------------------------------------

void ZScreenRecvStream::_sendACK() {
    _send(ZRTPSSAck(_ssrc, _tcpClient.getAckSeqNum(), _tcpClient.getVector()));
}

void ZScreenRecvStream::_sendMOUSEEVENT(std::uint8_t type, int x, int y) {
    if (_windowID) {
        auto found = _idWindowMap.find(_windowID);
        if (found == _idWindowMap.end()) return;
        const Window& window = found->second;
        x = std::max(0, std::min(x, window.format.width - 1)) + window.left;
        y = std::max(0, std::min(y, window.format.height - 1)) + window.top;
    }
    x = std::clamp(x, 0, std::max(0, _screenWidth));
    y = std::clamp(y, 0, std::max(0, _screenHeight));
    _send(ZRTPSSMouseEvent(type, _ssrc, static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y)));
}

void ZScreenRecvStream::_sendKEYEVENT(std::uint8_t type, int virtualKey) {
    _send(ZRTPSSKeyEvent(type, _ssrc, static_cast<std::uint16_t>(virtualKey)));
}

void ZScreenRecvStream::onClientKeyDown(int virtualKey) {
    _sendKEYEVENT(ZRTPSS_KEYDOWN, virtualKey);
}

void ZScreenRecvStream::onClientKeyUp(int virtualKey) {
    _sendKEYEVENT(ZRTPSS_KEYUP, virtualKey);
}

void ZScreenRecvStream::onClientMouseMove(int x, int y) {
    _sendMOUSEEVENT(ZRTPSS_MOUSEMOVE, x, y);
}

void ZScreenRecvStream::onClientLButtonDown(int x, int y) {
    _sendMOUSEEVENT(ZRTPSS_LBUTTONDOWN, x, y);
}

void ZScreenRecvStream::onClientLButtonUp(int x, int y) {
    _sendMOUSEEVENT(ZRTPSS_LBUTTONUP, x, y);
}

void ZScreenRecvStream::onClientLButtonDblClk(int x, int y) {
    _sendMOUSEEVENT(ZRTPSS_LBUTTONDBLCLK, x, y);
}

void ZScreenRecvStream::onClientRButtonDown(int x, int y) {
    _sendMOUSEEVENT(ZRTPSS_RBUTTONDOWN, x, y);
}
