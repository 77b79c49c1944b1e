// The screen service's pass, its command queue and the routing of inbound
// screen packets. The desktop capture is in ZScreenService_Capture.cpp.
//
// A stream lives from its OPEN command until its CLOSE command, its cancel
// packet from its own peer, an OPEN with the same SSRC (which replaces it),
// RESET, or an update that reports its peer gone.
#include "ZScreenService.h"

#include <new>

#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZScreenCursor.h"
#include "ZScreenRecvStream.h"
#include "ZScreenSendStream.h"
#include "ZUtil.h"

namespace {

const wchar_t* const kCommandQueue = L"ZScreenService_commandQueue";

template <typename Map>
typename Map::mapped_type findStream(Map& map, std::uint32_t ssrc) {
    auto found = map.find(static_cast<std::int32_t>(ssrc));
    return found == map.end() ? nullptr : found->second;
}

}  // namespace

ZScreenService::ZScreenService(ZInstance* instance, ZMegaPort* port)
    : _instance(instance), _port(port), _clock(&ZTimeNow) {
    ZTRACE_KIND("ZScreenService");
    ZPRECONDITION_T(instance, "instance");
    ZPRECONDITION_T(port, "port");
    _fullscreenInterval = ZInterval{0, _instance->calc(L"Screen_Share_Fullscreen_Delay") * 1000};
    _mouseInterval = ZInterval{0, 250000};
    _wake = std::make_unique<ZMegaPortQueueWake>(instance, port);
    _wake->watch(kCommandQueue);
    _cursors = new ZScreenCursorWindows;
}

ZScreenService::~ZScreenService() {
    ZTRACE();
    ZWARNASSERT(_ssrcSendStreamMap.empty( ));
    ZWARNASSERT(_ssrcRecvStreamMap.empty( ));
    ZWARNASSERT(!_screen);
    delete _cursors;
}

void ZScreenService::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZThreadObject::invariantTest();
}

void ZScreenService::setClock(ZScreenClock clock) {
    _clock = clock ? clock : &ZTimeNow;
}

const unsigned char* ZScreenService::getWindow(std::uint32_t windowID, ZImageFormat& format) {
    invariantTest();
    auto found = _windowMap.find(windowID);
    if (found == _windowMap.end() || found->second.image.empty()) return nullptr;
    format = found->second.format;
    return reinterpret_cast<const unsigned char*>(found->second.image.data());
}

void ZScreenService::getMousePosition(int& x, int& y) {
    x = _mouseX;
    y = _mouseY;
}

ZScreenSendStream* ZScreenService::findSendStream(std::uint32_t ssrc) {
    return findStream(_ssrcSendStreamMap, ssrc);
}

ZScreenRecvStream* ZScreenService::findRecvStream(std::uint32_t ssrc) {
    return findStream(_ssrcRecvStreamMap, ssrc);
}

// ---- thread ---------------------------------------------------------------------------

void ZScreenService::_bZThreadObject_safe_onStartup() {
    invariantTest();
    ZThreadSetPriority(-1);
}

int ZScreenService::_bZThreadObject_safe_onLoop() {
    const std::int64_t wait = runPass();
    unlock();
    _port->waitForRTPBucket(wait, ZRTP_SCREEN, _wake->event());
    lock();
    return 0;
}

void ZScreenService::_bZThreadObject_safe_onShutdown() {
    invariantTest();
    _reset();
}

// Reads the pointer; a move is news for every viewer.
void ZScreenService::_readPointer() {
    int x = 0, y = 0;
    ZSystemGetCursorPosition(x, y);
    if (x == _mouseX && y == _mouseY) return;
    _mouseX = x;
    _mouseY = y;
    for (auto& entry : _ssrcSendStreamMap) entry.second->onMouseChanged();
}

std::int64_t ZScreenService::runPass() {
    ZTRACE();
    ZScopedLock hold(this);
    invariantTest();
    while (ZMegaPortBucket* bucket = _port->getRTPBucket(ZRTP_SCREEN)) {
        _onPacket(bucket);
        _port->returnEmptyBucket(bucket);
    }
    _instance->set(L"ZScreenService_sendStreamActive", std::int64_t{_ssrcSendStreamMap.empty() ? 0 : 1}, false);
    if (!_ssrcSendStreamMap.empty()) capturePass();

    // The pointer matters only to viewers of this desktop: with none, an
    // idle service sleeps until a packet, a command or its longest wait.
    std::int64_t wait = ZSCREENSERVICE_LONGEST_WAIT;
    if (!_ssrcSendStreamMap.empty()) {
        const std::int64_t now = _clock();
        if (now - _mouseInterval.start > _mouseInterval.period) {
            _mouseInterval.start = now;
            _readPointer();
        }
        wait = std::max<std::int64_t>(0, _mouseInterval.period - (now - _mouseInterval.start));
    }

    std::list<std::int32_t> deadSend, deadRecv;
    for (auto& entry : _ssrcSendStreamMap) {
        const std::int64_t next = entry.second->update();
        if (next == -1)
            deadSend.push_back(entry.first);
        else if (next < wait)
            wait = next;
    }
    for (auto& entry : _ssrcRecvStreamMap) {
        std::int64_t next = -1;
        try {
            next = entry.second->update();
        } catch (const std::bad_alloc&) {
            _warnOutOfMemory(entry.second);
        }
        if (next == -1)
            deadRecv.push_back(entry.first);
        else if (next < wait)
            wait = next;
    }
    _clean(deadSend, deadRecv);

    std::string item;
    while (_instance->dequeue(kCommandQueue, item)) {
        ZHTTPHeaders headers;
        // The queue is filled by this program alone.
        ZASSERT_T(headers.deserialize(item.c_str(), static_cast<int>(item.size())) > 0,
                  "headers.deserialize( command.c_str( ), command.size( ) )");
        _onCommand(headers);
    }
    return wait;
}

// ---- streams ---------------------------------------------------------------------------

ZScreenSendStream* ZScreenService::_getSendStream(const std::wstring& buddyGUID) {
    for (auto& entry : _ssrcSendStreamMap)
        if (ZCaseEquals(entry.second->getBuddyGUID(), buddyGUID)) return entry.second;
    return nullptr;
}

ZScreenRecvStream* ZScreenService::_getRecvStream(const std::wstring& buddyGUID) {
    for (auto& entry : _ssrcRecvStreamMap)
        if (ZCaseEquals(entry.second->getBuddyGUID(), buddyGUID)) return entry.second;
    return nullptr;
}

void ZScreenService::_reset() {
    for (auto& entry : _ssrcSendStreamMap) {
        ZASSERT_PTR(entry.second);
        delete entry.second;
    }
    _ssrcSendStreamMap.clear();
    for (auto& entry : _ssrcRecvStreamMap) {
        ZASSERT_PTR(entry.second);
        delete entry.second;
    }
    _ssrcRecvStreamMap.clear();
    _resetCapture();
}

void ZScreenService::_clean(const std::list<std::int32_t>& deadSend, const std::list<std::int32_t>& deadRecv) {
    for (std::int32_t ssrc : deadSend) {
        ZLOGC('F', L"Cleaning up dead sender for SSRC " << ssrc);
        auto found = _ssrcSendStreamMap.find(ssrc);
        ZASSERT_PTR(found->second);
        delete found->second;
        _ssrcSendStreamMap.erase(found);
    }
    for (std::int32_t ssrc : deadRecv) {
        ZLOGC('F', L"Cleaning up dead receiver for SSRC " << ssrc);
        auto found = _ssrcRecvStreamMap.find(ssrc);
        ZASSERT_PTR(found->second);
        delete found->second;
        _ssrcRecvStreamMap.erase(found);
    }
}

// A picture too large for the memory left ends its stream, not the program.
void ZScreenService::_warnOutOfMemory(ZScreenRecvStream* stream) {
    ZLOG(L"WARNING Out of memory for the screen from '" << stream->getBuddyGUID() << L"', closing the stream.");
}

// ---- inbound packets ------------------------------------------------------------------

// A stream's packets are taken only from its own peer: SSRCs can be guessed.
void ZScreenService::_onPacket(ZMegaPortBucket* bucket) {
    const std::string& packet = bucket->buffer;
    const int length = static_cast<int>(packet.size());
    ZRTPSSHeader header;
    int remaining = 0;
    if (!ZDecomposeRTPSS(packet.data(), length, header, remaining)) {
        ZLOG(L"WARNING Received malformed RTPSS packet from (" << bucket->from << L"), ignoring.");
        return;
    }
    const std::uint32_t ssrc = header.rtp.ssrc;
    ZScreenSendStream* send = findSendStream(ssrc);
    if (send && !send->isPeer(bucket->from)) send = nullptr;
    ZScreenRecvStream* recv = findRecvStream(ssrc);
    if (recv && !recv->isPeer(bucket->from)) recv = nullptr;

    switch (header.type) {
    case ZRTPSS_LAYOUTCHANGED:
    case ZRTPSS_MOUSECHANGED:
    case ZRTPSS_REGIONCHANGED:
    case ZRTPSS_RESERVED:
    case ZRTPSS_REMOTECONTROLON:
    case ZRTPSS_REMOTECONTROLOFF:
        if (recv) {
            try {
                recv->dispatch(bucket);
            } catch (const std::bad_alloc&) {
                _warnOutOfMemory(recv);
                _ssrcRecvStreamMap.erase(static_cast<std::int32_t>(ssrc));
                delete recv;
            }
        } else
            ZLOG(L"WARNING Received response from (" << bucket->from << L") for invalid ssrc #" << ssrc
                                                     << L", ignoring.");
        break;
    case ZRTPSS_CANCELSEND:
        if (send) {
            ZLOGC('r', L"Closing send stream to '" << send->getBuddyGUID() << L"'");
            _ssrcSendStreamMap.erase(static_cast<std::int32_t>(ssrc));
            delete send;
            if (_ssrcSendStreamMap.empty()) _resetCapture();
        }
        break;
    case ZRTPSS_CANCELRECV:
        if (recv) {
            ZLOGC('r', L"Closing recv stream from '" << recv->getBuddyGUID() << L"'");
            _ssrcRecvStreamMap.erase(static_cast<std::int32_t>(ssrc));
            delete recv;
        }
        break;
    case ZRTPSS_KEYDOWN:
    case ZRTPSS_KEYUP: {
        if (!send) {
            ZLOG(L"WARNING Received key event for unknown SSRC " << ssrc << L", ignoring.");
            break;
        }
        ZRTPSSKEYEVENT key;
        if (!ZDecomposeRTPSSKEYEVENT(packet.data(), length, key, remaining)) {
            ZLOG(L"WARNING Malformed key event, ignoring.");
            break;
        }
        if (header.type == ZRTPSS_KEYDOWN)
            send->onClientKeyDown(key.virtualKey);
        else
            send->onClientKeyUp(key.virtualKey);
        break;
    }
    case ZRTPSS_MOUSEMOVE:
    case ZRTPSS_LBUTTONDOWN:
    case ZRTPSS_LBUTTONUP:
    case ZRTPSS_LBUTTONDBLCLK:
    case ZRTPSS_RBUTTONDOWN: {
        if (!send) {
            ZLOG(L"WARNING Received mouse event for unknown SSRC " << ssrc << L", ignoring.");
            break;
        }
        ZRTPSSMOUSEEVENT mouse;
        if (!ZDecomposeRTPSSMOUSEEVENT(packet.data(), length, mouse, remaining)) {
            ZLOG(L"WARNING Malformed mouse event, ignoring.");
            break;
        }
        const int x = mouse.x, y = mouse.y;
        switch (header.type) {
        case ZRTPSS_MOUSEMOVE:
            send->onClientMouseMove(x, y);
            break;
        case ZRTPSS_LBUTTONDOWN:
            send->onClientLButtonDown(x, y);
            break;
        case ZRTPSS_LBUTTONUP:
            send->onClientLButtonUp(x, y);
            break;
        case ZRTPSS_LBUTTONDBLCLK:
            send->onClientLButtonDblClk(x, y);
            break;
        default:
            send->onClientRButtonDown(x, y);
            break;
        }
        break;
    }
    case ZRTPSS_ACK:
        if (send)
            send->dispatch(bucket);
        else
            ZLOG(L"WARNING Received request from (" << bucket->from << L") for invalid ssrc #" << ssrc
                                                    << L", ignoring.");
        break;
    default:
        ZLOG(L"WARNING Unrecognized RTPSS packet type #" << static_cast<int>(header.type) << L", ignoring.");
        break;
    }
}

// ---- commands ---------------------------------------------------------------------------

void ZScreenService::_onCommand(const ZHTTPHeaders& command) {
    const std::wstring method = command.getMethod();
    const std::wstring buddy = command.get(L"Buddy-GUID");
    const int x = command.calc(L"X"), y = command.calc(L"Y");
    const int key = command.calc(L"Virtual-Key");
    static const wchar_t* const kViewerInput[] = {L"MOUSEMOVE", L"KEYDOWN", L"KEYUP", L"LBUTTONDOWN",
                                                  L"LBUTTONUP", L"LBUTTONDBLCLK", L"RBUTTONDOWN"};
    for (const wchar_t* input : kViewerInput) {
        if (!ZCaseEquals(method, input)) continue;
        ZScreenRecvStream* recv = _getRecvStream(buddy);
        if (!recv) {
            ZLOG(L"WARNING Received '" << input << L"' for unknown screen to '" << buddy << L"', ignoring.");
            return;
        }
        const std::wstring m = input;
        if (m == L"MOUSEMOVE") recv->onClientMouseMove(x, y);
        if (m == L"KEYDOWN") recv->onClientKeyDown(key);
        if (m == L"KEYUP") recv->onClientKeyUp(key);
        if (m == L"LBUTTONDOWN") recv->onClientLButtonDown(x, y);
        if (m == L"LBUTTONUP") recv->onClientLButtonUp(x, y);
        if (m == L"LBUTTONDBLCLK") recv->onClientLButtonDblClk(x, y);
        if (m == L"RBUTTONDOWN") recv->onClientRButtonDown(x, y);
        return;
    }
    if (ZCaseEquals(method, L"SETREMOTECONTROL")) {
        ZScreenSendStream* send = _getSendStream(buddy);
        if (!send) {
            ZLOG(L"WARNING Received 'SETREMOTECONTROL' for unknown screen to '" << buddy << L"', ignoring.");
            return;
        }
        send->onSetRemoteControl(command.test(L"Enable"));
        return;
    }
    const std::int32_t ssrc = static_cast<std::int32_t>(command.calc64(L"SSRC"));
    if (ZCaseEquals(method, L"OPENSEND")) {
        auto found = _ssrcSendStreamMap.find(ssrc);
        if (found != _ssrcSendStreamMap.end()) {
            ZLOG(L"WARNING Send stream for ssrc #" << ssrc << L" already exists, resetting.");
            delete found->second;
            _ssrcSendStreamMap.erase(found);
        }
        ZLOGC('r', L"Creating new send stream with ssrc #" << ssrc);
        // The new viewer's pointer starts where the sharer's is now, not
        // where it stood when the last share began (or at 0,0 before any).
        _readPointer();
        _ssrcSendStreamMap[ssrc] = ZSAFENEW(ZScreenSendStream, _instance, _port, this, command, _cursors);
        return;
    }
    if (ZCaseEquals(method, L"OPENRECV")) {
        auto found = _ssrcRecvStreamMap.find(ssrc);
        if (found != _ssrcRecvStreamMap.end()) {
            ZLOG(L"WARNING Recv stream for ssrc #" << ssrc << L" already exists, resetting.");
            delete found->second;
            _ssrcRecvStreamMap.erase(found);
        }
        // One picture per buddy: a new share from the buddy replaces the
        // old one rather than holding a second set of pictures.
        for (auto it = _ssrcRecvStreamMap.begin(); it != _ssrcRecvStreamMap.end(); ++it) {
            if (!ZCaseEquals(it->second->getBuddyGUID(), buddy)) continue;
            ZLOG(L"WARNING Recv stream from '" << buddy << L"' already exists with ssrc #" << it->first
                                               << L", replacing it.");
            delete it->second;
            _ssrcRecvStreamMap.erase(it);
            break;
        }
        ZLOGC('r', L"Creating new recv stream with ssrc #" << ssrc);
        _ssrcRecvStreamMap[ssrc] = ZSAFENEW(ZScreenRecvStream, _instance, _port, command, _clock, &_recvBudget);
        return;
    }
    if (ZCaseEquals(method, L"CLOSESEND")) {
        ZLOGC('r', L"Closing send stream to '" << buddy << L"'");
        for (auto it = _ssrcSendStreamMap.begin(); it != _ssrcSendStreamMap.end(); ++it) {
            if (!ZCaseEquals(it->second->getBuddyGUID(), buddy)) continue;
            delete it->second;
            _ssrcSendStreamMap.erase(it);
            break;
        }
        if (_ssrcSendStreamMap.empty()) _resetCapture();
        return;
    }
    if (ZCaseEquals(method, L"CLOSERECV")) {
        ZLOGC('r', L"Closing recv stream from '" << buddy << L"'");
        for (auto it = _ssrcRecvStreamMap.begin(); it != _ssrcRecvStreamMap.end(); ++it) {
            if (!ZCaseEquals(it->second->getBuddyGUID(), buddy)) continue;
            delete it->second;
            _ssrcRecvStreamMap.erase(it);
            break;
        }
        return;
    }
    if (ZCaseEquals(method, L"RESET")) {
        ZLOGC('r', L"Resetting service");
        _reset();
        return;
    }
    ZLOG(L"WARNING Unrecognized command '" << method << L"', ignoring.");
}
