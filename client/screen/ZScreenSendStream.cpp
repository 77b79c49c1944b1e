// The sharing side of a screen share: messages out under the reliable
// sender's budget, lost content queued again, the viewer's input replayed
// only under the sharing user's consent.
#include "ZScreenSendStream.h"

#include <algorithm>

#include "ZImage.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZScreenCursor.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

namespace {

constexpr std::size_t kRecordSize = 32;

std::uint16_t recordSeqNum(const std::string& record) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(record[2]) |
                                      (static_cast<unsigned char>(record[3]) << 8));
}

int recordInt16(const std::string& record, int offset) {
    return static_cast<std::int16_t>(static_cast<unsigned char>(record[offset]) |
                                     (static_cast<unsigned char>(record[offset + 1]) << 8));
}

std::uint32_t recordUInt32(const std::string& record, int offset) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(record[offset + i]);
    return v;
}

}  // namespace

ZScreenSendStream::ZScreenSendStream(ZInstance* instance, ZMegaPort* port, IZScreen* screen,
                                     const ZHTTPHeaders& command, ZScreenCursorWindows* cursors)
    : _instance(instance), _port(port), _screen(screen), _cursors(cursors) {
    ZTRACE_KIND("ZScreenSendStream");
    _ssrc = static_cast<std::uint32_t>(command.calc64(L"SSRC"));
    _windowID = static_cast<std::uint32_t>(command.calc64(L"Window-ID"));
    _sendFrom = command.get(L"Send-From");
    _sendTo = command.get(L"Send-To");
    _recvFrom = command.get(L"Recv-From");
    _buddyGUID = command.get(L"Buddy-GUID");
    if (_screen) _tcpServer.setClock(_screen->getClock());
    invariantTest();

    // The pointer picture belongs to the installation: without a usable one
    // the desktop is shared without the drawn pointer.
    std::string png, rgba;
    ZImageFormat format;
    if (!ZFileLoad(L"cursor.png", png) ||
        !ZImageLoad(reinterpret_cast<const unsigned char*>(png.data()), static_cast<int>(png.size()), format, rgba) ||
        format.type != ZIT_RGBA32) {
        ZLOG(L"WARNING Unable to load the pointer picture 'cursor.png', sharing without it.");
    } else if (_cursors) {
        _cursorWindow = _cursors->open(format.width, format.height, rgba);
    }
    _instance->set(_buddyGUID + L"_Screen_Let_Control", std::int64_t{0}, false);
    _instance->insert(L"Screening_To_List", _buddyGUID);
}

ZScreenSendStream::~ZScreenSendStream() {
    ZTRACE();
    invariantTest();
    _releaseHeld();
    if (_cursors && _cursorWindow) _cursors->close(_cursorWindow);
    _instance->remove(L"Screening_To_List", _buddyGUID);
    std::string cancel = ZRTPSSMessage(ZRTPSS_CANCELRECV, _seqNum++, _ssrc);
    _port->send(_sendFrom, _sendTo, cancel);
}

void ZScreenSendStream::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZASSERT_PTR(_screen);
    ZWARNASSERT(!_buddyGUID.empty( ));
    ZWARNASSERT(!_sendFrom.empty( ));
    ZWARNASSERT(!_sendTo.empty( ));
}

bool ZScreenSendStream::isPeer(const std::wstring& host) const {
    return ZCaseEquals(host, _sendTo) || (!_recvFrom.empty() && ZCaseEquals(host, _recvFrom));
}

std::size_t ZScreenSendStream::getPendingCount() const {
    std::size_t count = 0;
    for (const auto& entry : _pendingFrags) count += entry.second.size();
    return count;
}

void ZScreenSendStream::onFragChanged(const ZFrag& frag) {
    if (_windowID && _windowID != frag.id) return;
    std::list<ZFrag>& pending = _pendingFrags[frag.id];
    ZFragInsert(pending, frag);
    ZFragExplodeList(pending, ZSCREEN_TILE_SIDE, ZSCREEN_TILE_SIDE);
}

void ZScreenSendStream::hideCursor() {
    if (!_remoteControl && _cursors && _cursorWindow) _cursors->hide(_cursorWindow);
}

void ZScreenSendStream::showCursor() {
    if (!_remoteControl && _cursors && _cursorWindow) _cursors->show(_cursorWindow);
}

// ---- sending ------------------------------------------------------------------------

std::int64_t ZScreenSendStream::update() {
    ZTRACE();
    invariantTest();
    const std::int64_t now = _screen->getClock()();
    _liberatePackets();
    if (now - _lastRateReport > _ratePeriod) {
        _instance->set(_buddyGUID + L"_Screen_BPS_Sent", ZFormatByteSize(_bytesThisSecond), false);
        _bytesThisSecond = 0;
        _lastRateReport = now;
    }
    _animateCursor();
    if (_sentRecords.empty()) _unackedSince = 0;
    // A viewer that vanished without its cancel arriving is not probed for ever.
    if (_unackedSince && now - _unackedSince > ZSCREEN_VIEWER_TIMEOUT) {
        ZLOG(L"WARNING No acknowledgement from '" << _buddyGUID << L"' for "
                                                  << static_cast<int>(ZSCREEN_VIEWER_TIMEOUT / 1000000)
                                                  << L" seconds, closing the send stream.");
        return -1;
    }
    return _tcpServer.getRTORemaining();
}

void ZScreenSendStream::_liberatePackets() {
    while (_tcpServer.getBudget() >= 1) {
        _dropGivenUp();
        if (!_liberatePacket()) break;
    }
    _dropGivenUp();
}

bool ZScreenSendStream::_liberatePacket() {
    if (_layoutChanged) {
        _sendLAYOUTCHANGED();
        return true;
    }
    if (_cursorChanged) {
        _sendMOUSECHANGED();
        return true;
    }
    if (_controlChanged) {
        _controlChanged = false;
        _sendRTPSS(_remoteControl ? ZRTPSS_REMOTECONTROLON : ZRTPSS_REMOTECONTROLOFF);
        return true;
    }
    // Fragments that yield nothing (window gone, shrunk away, or split) are
    // consumed and the next one is tried.
    for (;;) {
        ZFrag frag;
        bool found = false;
        for (const ZFrag& window : _screen->getLayout()) {
            if (_windowID && window.id != _windowID) continue;
            auto pending = _pendingFrags.find(window.id);
            if (pending == _pendingFrags.end() || pending->second.empty()) continue;
            frag = pending->second.front();
            pending->second.pop_front();
            found = true;
            break;
        }
        if (!found) return false;
        if (_sendREGIONCHANGED(frag)) return true;
    }
}

void ZScreenSendStream::_send(std::string& message) {
    const std::uint16_t seqNum = _seqNum++;
    const int size = static_cast<int>(message.size());
    _port->send(_sendFrom, _sendTo, message);
    _tcpServer.onSend(seqNum, size);
    _bytesThisSecond += size;
    if (!_unackedSince) _unackedSince = _screen->getClock()();
    _sentRecords.push_back(message.substr(0, kRecordSize));
}

void ZScreenSendStream::_sendLAYOUTCHANGED() {
    const std::list<ZFrag>& layout = _screen->getLayout();
    const int count = static_cast<int>(std::min<std::size_t>(layout.size(), 0xFFFF));
    std::string message(static_cast<std::size_t>(ZRTPSS_LAYOUTCHANGED_SIZE + ZRTPSS_LAYOUTWINDOW_SIZE * count), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&message[0]);
    ZComposeRTP(p, 4, _seqNum, 0, _ssrc);
    ZComposeSS(p, ZRTPSS_LAYOUTCHANGED);
    ZComposeLAYOUTCHANGED(p, static_cast<std::uint16_t>(_screen->getWidth()),
                          static_cast<std::uint16_t>(_screen->getHeight()), static_cast<std::uint16_t>(count));
    int i = 0;
    for (const ZFrag& frag : layout) {
        if (i == count) break;
        ZRTPSSLayoutWindow window;
        window.id = frag.id;
        window.left = static_cast<std::int16_t>(frag.rect.left);
        window.top = static_cast<std::int16_t>(frag.rect.top);
        window.width = static_cast<std::uint16_t>(frag.rect.right - frag.rect.left);
        window.height = static_cast<std::uint16_t>(frag.rect.bottom - frag.rect.top);
        ZComposeLayoutWindow(p, i++, window);
    }
    _layoutChanged = false;
    _send(message);
}

void ZScreenSendStream::_sendMOUSECHANGED() {
    int x = 0, y = 0;
    _screen->getMousePosition(x, y);
    std::string message = ZRTPSSMouseEvent(ZRTPSS_MOUSECHANGED, _ssrc, static_cast<std::uint16_t>(x),
                                           static_cast<std::uint16_t>(y));
    message[2] = static_cast<char>(_seqNum & 0xFF);
    message[3] = static_cast<char>(_seqNum >> 8);
    _cursorChanged = false;
    _send(message);
}

// A fragment is cut to the window's current picture (the window may have
// shrunk since it was queued); a colour tile too large for one datagram goes
// back as four quarters.
bool ZScreenSendStream::_sendREGIONCHANGED(const ZFrag& frag) {
    ZASSERT(!_windowID || _windowID == frag.id);
    ZImageFormat format;
    const unsigned char* pixels = _screen->getWindow(frag.id, format);
    if (!pixels) return false;
    ZRect rect = frag.rect;
    ZRectClip(rect, ZRect{0, 0, format.width, format.height});
    if (ZRectEmpty(rect)) return false;
    const bool colour = _instance->test(L"Enable_Screen_Share_Color");
    const std::uint8_t encoding = colour ? ZRTPSS_ENCODING_PNG : ZRTPSS_ENCODING_GREY4;
    std::string image;
    ZImageConvert(format, pixels, rect, colour ? ZIT_PNG : ZIT_GRAY4, image);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (ZRTPSS_REGIONCHANGED_SIZE + image.size() > static_cast<std::size_t>(ZSCREEN_MAX_DATAGRAM)) {
        if (width < 2 && height < 2) {
            ZLOG(L"WARNING Region of one pixel does not fit a datagram, ignoring.");
            return false;
        }
        const int midX = width > 1 ? rect.left + width / 2 : rect.right;
        const int midY = height > 1 ? rect.top + height / 2 : rect.bottom;
        std::list<ZFrag>& pending = _pendingFrags[frag.id];
        const ZRect quarters[4] = {{rect.left, rect.top, midX, midY},
                                   {midX, rect.top, rect.right, midY},
                                   {rect.left, midY, midX, rect.bottom},
                                   {midX, midY, rect.right, rect.bottom}};
        for (int i = 3; i >= 0; --i)
            if (!ZRectEmpty(quarters[i])) pending.push_front(ZFrag{frag.id, quarters[i]});
        return false;
    }
    std::string message(static_cast<std::size_t>(ZRTPSS_REGIONCHANGED_SIZE), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&message[0]);
    ZComposeRTP(p, 4, _seqNum, 0, _ssrc);
    ZComposeSS(p, ZRTPSS_REGIONCHANGED);
    ZComposeREGIONCHANGED(p, frag.id, static_cast<std::int16_t>(rect.left), static_cast<std::int16_t>(rect.top),
                          static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height), encoding);
    message += image;
    _send(message);
    return true;
}

void ZScreenSendStream::_sendRTPSS(std::uint8_t type) {
    std::string message = ZRTPSSMessage(type, _seqNum, _ssrc);
    _send(message);
}

// ---- acknowledgements ------------------------------------------------------------

void ZScreenSendStream::dispatch(ZMegaPortBucket* bucket) {
    ZTRACE();
    invariantTest();
    _onACK(bucket);
    _liberatePackets();
}

void ZScreenSendStream::_onACK(ZMegaPortBucket* bucket) {
    ZRTPSSACK ack;
    int remaining = 0;
    if (!ZDecomposeRTPSSACK(bucket->buffer.data(), static_cast<int>(bucket->buffer.size()), ack, remaining)) {
        ZLOG(L"WARNING Malformed ACK, ignoring.");
        return;
    }
    std::vector<bool> flags;
    const std::uint16_t base = _tcpServer.onACK(ack.seqNum, ack.vector, flags);
    // The viewer is alive while it settles packets; what it still owes is
    // counted from now.
    if (!flags.empty()) _unackedSince = _screen->getClock()();
    while (!_sentRecords.empty() && ZTCPSeqBefore(recordSeqNum(_sentRecords.front()), base)) {
        const std::string record = _sentRecords.front();
        _sentRecords.pop_front();
        _onDrop(record);
    }
    for (std::size_t i = 0; i < flags.size(); ++i) {
        const std::uint16_t s = static_cast<std::uint16_t>(base + i);
        if (_sentRecords.empty()) {
            ZLOG(L"WARNING Trying to ACK seqNum " << static_cast<int>(s) << L" but no sent records, ignoring.");
            return;
        }
        int removed = 0;
        while (!_sentRecords.empty() &&
               ZTCPSeqBefore(recordSeqNum(_sentRecords.front()), static_cast<std::uint16_t>(s + 1))) {
            const std::string record = _sentRecords.front();
            _sentRecords.pop_front();
            ++removed;
            if (!flags[i]) _onDrop(record);
        }
        if (removed != 1)
            ZLOG(L"WARNING tying to ACK seqNum " << static_cast<int>(s) << L" but actually ACKed " << removed
                                                 << L" packets, ignoring.");
    }
}

// Records given up by a time-out are queued again at once: on an idle
// desktop no later acknowledgement would ever bring them back.
void ZScreenSendStream::_dropGivenUp() {
    const std::uint16_t base = _tcpServer.getBaseSeqNum();
    while (!_sentRecords.empty() && ZTCPSeqBefore(recordSeqNum(_sentRecords.front()), base)) {
        const std::string record = _sentRecords.front();
        _sentRecords.pop_front();
        _onDrop(record);
    }
}

void ZScreenSendStream::_onDrop(const std::string& record) {
    const int type = static_cast<unsigned char>(record[15]);
    switch (type) {
    case ZRTPSS_LAYOUTCHANGED:
        _layoutChanged = true;
        break;
    case ZRTPSS_MOUSECHANGED:
        _cursorChanged = true;
        break;
    case ZRTPSS_REGIONCHANGED: {
        const int left = recordInt16(record, 20), top = recordInt16(record, 22);
        const int width = recordInt16(record, 24) & 0xFFFF, height = recordInt16(record, 26) & 0xFFFF;
        onFragChanged(ZFrag{recordUInt32(record, 16), ZRect{left, top, left + width, top + height}});
        break;
    }
    case ZRTPSS_RESERVED:
        break;
    case ZRTPSS_REMOTECONTROLON:
    case ZRTPSS_REMOTECONTROLOFF:
        // The viewer must learn the state as it is now.
        _controlChanged = true;
        break;
    default:
        ZLOG(L"WARNING Unrecognized payload type " << type << L", ignoring.");
        break;
    }
}

// ---- the viewer's pointer and input ------------------------------------------------

void ZScreenSendStream::_animateCursor() {
    if (_cursorX == _targetX && _cursorY == _targetY) return;
    if (_cursorX != _targetX) {
        const int step = std::abs(_targetX - _cursorX) / 2 + 1;
        _cursorX += _targetX > _cursorX ? step : -step;
        _instance->set(_buddyGUID + L"_Screen_Cursor_X", static_cast<std::int64_t>(_cursorX), false);
    }
    if (_cursorY != _targetY) {
        const int step = std::abs(_targetY - _cursorY) / 2 + 1;
        _cursorY += _targetY > _cursorY ? step : -step;
        _instance->set(_buddyGUID + L"_Screen_Cursor_Y", static_cast<std::int64_t>(_cursorY), false);
    }
    if (_remoteControl)
        ZSystemSetCursorPosition(_cursorX, _cursorY);
    else if (_cursors && _cursorWindow)
        _cursors->move(_cursorWindow, _cursorX, _cursorY);
}

void ZScreenSendStream::onSetRemoteControl(bool enable) {
    ZTRACE();
    invariantTest();
    if (enable == _remoteControl) return;
    _remoteControl = enable;
    if (enable) {
        if (_cursors && _cursorWindow) _cursors->hide(_cursorWindow);
    } else {
        _releaseHeld();
        if (_cursors && _cursorWindow) _cursors->show(_cursorWindow);
    }
    _controlChanged = false;
    _sendRTPSS(enable ? ZRTPSS_REMOTECONTROLON : ZRTPSS_REMOTECONTROLOFF);
    // What the sharing user sees: whether the buddy's input reaches this desktop.
    _instance->set(_buddyGUID + L"_Screen_Let_Control", std::int64_t{enable ? 1 : 0}, false);
}

// Keys and the left button the viewer holds are let go when control ends.
void ZScreenSendStream::_releaseHeld() {
    for (int key : _heldKeys) ZSystemInjectKey(key, ZKEYEVENTF_KEYUP);
    _heldKeys.clear();
    if (_leftHeld) ZSystemInjectMouse(ZMOUSEEVENTF_LEFTUP, 0, 0);
    _leftHeld = false;
}

// The point must show the shared window: the topmost window of the layout
// that holds it is that window.
bool ZScreenSendStream::_inSharedWindow(int x, int y) {
    if (!_windowID) return true;
    for (const ZFrag& window : _screen->getLayout())
        if (x >= window.rect.left && x < window.rect.right && y >= window.rect.top && y < window.rect.bottom)
            return window.id == _windowID;
    return false;
}

void ZScreenSendStream::onClientKeyDown(int virtualKey) {
    if (!_remoteControl) return;
    // With one window shared, keys reach it only while it has the focus.
    if (_windowID && ZScreenGetFocusWindow() != _windowID) return;
    ZSystemInjectKey(virtualKey, 0);
    _heldKeys.insert(virtualKey);
}

void ZScreenSendStream::onClientKeyUp(int virtualKey) {
    if (!_remoteControl) return;
    if (_windowID && ZScreenGetFocusWindow() != _windowID && !_heldKeys.count(virtualKey)) return;
    ZSystemInjectKey(virtualKey, ZKEYEVENTF_KEYUP);
    _heldKeys.erase(virtualKey);
}

void ZScreenSendStream::onClientMouseMove(int x, int y) {
    if (!_inSharedWindow(x, y)) return;
    _targetX = x;
    _targetY = y;
}

// A peer's point is clamped to this screen and normalised in 64 bits,
// rounded up so the injected pixel is the point itself.
void ZScreenSendStream::_injectClick(int x, int y, std::initializer_list<unsigned> flags) {
    const std::int64_t width = std::max(1, _screen->getWidth()), height = std::max(1, _screen->getHeight());
    const std::int64_t cx = std::clamp<std::int64_t>(x, 0, width - 1);
    const std::int64_t cy = std::clamp<std::int64_t>(y, 0, height - 1);
    const int nx = static_cast<int>((cx * 65536 + width - 1) / width);
    const int ny = static_cast<int>((cy * 65536 + height - 1) / height);
    for (unsigned f : flags) ZSystemInjectMouse(f, nx, ny);
}

void ZScreenSendStream::onClientLButtonDown(int x, int y) {
    if (!_remoteControl) return onClientMouseMove(x, y);
    if (!_inSharedWindow(x, y)) return;
    _injectClick(x, y, {ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE | ZMOUSEEVENTF_LEFTDOWN});
    _leftHeld = true;
}

void ZScreenSendStream::onClientLButtonUp(int x, int y) {
    if (!_remoteControl) return onClientMouseMove(x, y);
    if (!_inSharedWindow(x, y)) return;
    _injectClick(x, y, {ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE | ZMOUSEEVENTF_LEFTUP});
    _leftHeld = false;
}

void ZScreenSendStream::onClientLButtonDblClk(int x, int y) {
    if (!_remoteControl) return onClientMouseMove(x, y);
    if (!_inSharedWindow(x, y)) return;
    const unsigned down = ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE | ZMOUSEEVENTF_LEFTDOWN;
    const unsigned up = ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE | ZMOUSEEVENTF_LEFTUP;
    _injectClick(x, y, {down, up, down, up});
    _leftHeld = false;
}

void ZScreenSendStream::onClientRButtonDown(int x, int y) {
    if (!_remoteControl) return onClientMouseMove(x, y);
    if (!_inSharedWindow(x, y)) return;
    _injectClick(x, y, {ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE | ZMOUSEEVENTF_RIGHTDOWN,
                        ZMOUSEEVENTF_ABSOLUTE | ZMOUSEEVENTF_MOVE | ZMOUSEEVENTF_RIGHTUP});
}
