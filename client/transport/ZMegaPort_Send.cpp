// The switchboard's waits and its way out: direct datagrams, or "SENDUDP"
// frames on the relay connection through the pending-bytes buffer.
#include <algorithm>
#include <charconv>

#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZPortable.h"

namespace {

// A relay frame is the message "SENDUDP" with the fields "Content-Length"
// and "Remote-Host" and the datagram as its one part. Its bytes are written
// here directly, exactly as that message serialises: the first line, the
// fields in name order, the empty line, the datagram.
const char kRelayFrameHead[] = "SENDUDP / HTTP/1.1\r\nContent-Length: ";

// The batch the calling thread holds open, if any.
thread_local ZMegaPortSendBatch* tBatch = nullptr;

}  // namespace

#define ZMEGAPORT_LOG(...) ZLOGCTX(L"(" + _name + L") ", __VA_ARGS__)

// ---- waits ---------------------------------------------------------------------------

void ZMegaPort::waitForSIPBucket(std::int64_t timeout, ZMegaPortEvent* wake) {
    ZTRACE();
    ZPRECONDITION(timeout >= 0);
    _waitForEvents(_sipBucketList.event, nullptr, wake, timeout / 1000);
}

void ZMegaPort::waitForRTPBucket(std::int64_t timeout, int payloadType, ZMegaPortEvent* wake) {
    ZTRACE();
    ZPRECONDITION(timeout >= 0);
    ZPRECONDITION(ZWITHIN( 0, payloadType, 255 ));
    ZMegaPortEvent* event = _rtpBucketListArray[static_cast<std::size_t>(payloadType)].event;
    if (!event) {
        ZMEGAPORT_LOG(L"WARNING Trying to wait on unsupported RTP payload type #" << payloadType << L", ignoring.");
        if (wake)
            _waitForEvents(nullptr, nullptr, wake, timeout / 1000);
        else
            ZThreadSleep(timeout);
        return;
    }
    _waitForEvents(event, nullptr, wake, timeout / 1000);
}

void ZMegaPort::waitForRTPBucket(std::int64_t timeout, int payloadTypeA, int payloadTypeB, ZMegaPortEvent* wake) {
    ZTRACE();
    ZPRECONDITION(timeout >= 0);
    ZPRECONDITION(ZWITHIN( 0, payloadTypeA, 255 ) && ZWITHIN( 0, payloadTypeB, 255 ));
    ZMegaPortEvent* eventA = _rtpBucketListArray[static_cast<std::size_t>(payloadTypeA)].event;
    ZMegaPortEvent* eventB = _rtpBucketListArray[static_cast<std::size_t>(payloadTypeB)].event;
    if (!eventA && !eventB) {
        ZMEGAPORT_LOG(L"WARNING Trying to wait on unsupported RTP payload types #" << payloadTypeA << L" and #"
                                                                                   << payloadTypeB << L", ignoring.");
        if (wake)
            _waitForEvents(nullptr, nullptr, wake, timeout / 1000);
        else
            ZThreadSleep(timeout);
        return;
    }
    _waitForEvents(eventA, eventB, wake, timeout / 1000);
}

// ---- consumers' wake-ups ----------------------------------------------------------------

ZMegaPortQueueWake::ZMegaPortQueueWake(ZInstance* instance, ZMegaPort* port) : _instance(instance), _port(port) {
    ZPRECONDITION_PTR(instance);
    ZPRECONDITION_PTR(port);
}

ZMegaPortQueueWake::~ZMegaPortQueueWake() {
    // The store calls no waker once it is removed, so the event may go.
    for (const std::wstring& queue : _queues) _instance->setQueueWaker(queue, nullptr);
}

void ZMegaPortQueueWake::watch(const std::wstring& queue) {
    if (std::find(_queues.begin(), _queues.end(), queue) != _queues.end()) return;
    _queues.push_back(queue);
    ZMegaPort* port = _port;
    ZMegaPortEvent* event = &_event;
    _instance->setQueueWaker(queue, [port, event] { port->signalWake(event); });
}

void ZMegaPortQueueWake::unwatch(const std::wstring& queue) {
    const auto found = std::find(_queues.begin(), _queues.end(), queue);
    if (found == _queues.end()) return;
    _queues.erase(found);
    _instance->setQueueWaker(queue, nullptr);
}

// ---- sending -------------------------------------------------------------------------

void ZMegaPort::send(const std::wstring& from, const std::wstring& to, const std::string& payload) {
    ZPRECONDITION(payload.size() <= 0x7FFFFFFFu);
    send(from, to, payload.data(), static_cast<int>(payload.size()));
}

void ZMegaPort::send(const std::wstring& from, const std::wstring& to, const void* data, int length) {
    ZTRACE();
    ZPRECONDITION(length >= 0 && (data || !length));
    if (tBatch && tBatch->_port == this) {
        tBatch->add(from, to, data, length, nullptr, 0);
        return;
    }
    ZMutexLock(_sendMutex);
    _sendLocked(from, to, data, length);
    ZMutexUnlock(_sendMutex);
}

void ZMegaPort::send(const std::wstring& from, const std::wstring& to, const void* head, int headLength,
                     const void* body, int bodyLength) {
    ZTRACE();
    ZPRECONDITION(headLength >= 0 && (head || !headLength) && bodyLength >= 0 && (body || !bodyLength));
    if (tBatch && tBatch->_port == this) {
        tBatch->add(from, to, head, headLength, body, bodyLength);
        return;
    }
    // Outside a batch the parts meet in a buffer the thread keeps.
    thread_local std::string joined;
    joined.assign(static_cast<const char*>(head), static_cast<std::size_t>(headLength));
    if (bodyLength) joined.append(static_cast<const char*>(body), static_cast<std::size_t>(bodyLength));
    ZMutexLock(_sendMutex);
    _sendLocked(from, to, joined.data(), static_cast<int>(joined.size()));
    ZMutexUnlock(_sendMutex);
}

// Called with _sendMutex held.
void ZMegaPort::_sendLocked(const std::wstring& from, const std::wstring& to, const void* data, int length) {
    if (_tcpSocket && (from.empty() || ZCaseEquals(from, _globalHost))) {
        _sendRelay(to, data, length);
    } else if (_udpPort) {
        if (!from.empty() && from != _localHost && !ZCaseEquals(from, _localHost)) {
            ZMEGAPORT_LOG(L"WARNING Possibly send from mismatch: from=(" << from << L"), localHost=(" << _localHost
                                                                          << L"), globalHost=(" << _globalHost
                                                                          << L")");
            ZCallStackDumpCurrent();
        }
        ZNetUDPPortSend(_udpPort, to, data, length);
    } else {
        ZMEGAPORT_LOG(L"WARNING Cannot send from (" << from << L") to (" << to
                                                    << L") because not connected, ignoring.");
    }
}

// A run of datagrams with one sender and one destination. Called with
// _sendMutex held.
void ZMegaPort::_sendMany(const std::wstring& from, const std::wstring& to, const std::string* datagrams,
                          int count) {
    const bool direct = _udpPort && !(_tcpSocket && (from.empty() || ZCaseEquals(from, _globalHost))) &&
                        (from.empty() || from == _localHost || ZCaseEquals(from, _localHost));
    if (!direct) {
        for (int i = 0; i < count; ++i)
            _sendLocked(from, to, datagrams[i].data(), static_cast<int>(datagrams[i].size()));
        return;
    }
    ZNetUDPPortSendMany(_udpPort, to, datagrams, count);
}

// ---- batches ---------------------------------------------------------------------------

ZMegaPortSendBatch::ZMegaPortSendBatch(ZMegaPort* port) : _port(port), _outer(tBatch) {
    ZPRECONDITION_PTR(port);
    tBatch = this;
}

ZMegaPortSendBatch::~ZMegaPortSendBatch() {
    flush();
    tBatch = _outer;
}

void ZMegaPortSendBatch::add(const std::wstring& from, const std::wstring& to, const void* head, int headLength,
                             const void* body, int bodyLength) {
    if (_count > 0 && (from != _from || to != _to)) flush();
    if (_count == 0) {
        _from = from;
        _to = to;
    }
    if (static_cast<int>(_datagrams.size()) <= _count) _datagrams.emplace_back();
    std::string& datagram = _datagrams[static_cast<std::size_t>(_count++)];
    datagram.assign(static_cast<const char*>(head), static_cast<std::size_t>(headLength));
    if (bodyLength) datagram.append(static_cast<const char*>(body), static_cast<std::size_t>(bodyLength));
    if (_count == kLimit) flush();
}

void ZMegaPortSendBatch::flush() {
    if (_count == 0) return;
    ZMutexLock(_port->_sendMutex);
    _port->_sendMany(_from, _to, _datagrams.data(), _count);
    ZMutexUnlock(_port->_sendMutex);
    _count = 0;
}

void ZMegaPort::flush() {
    ZTRACE();
    ZMutexLock(_sendMutex);
    if (_tcpSocket) _flushRelay();
    ZMutexUnlock(_sendMutex);
}

// Read without the lock: a sender pacing itself asks before every datagram.
int ZMegaPort::getPendingRelayBytes() { return _relayPendingBytes.load(std::memory_order_relaxed); }

// Called with _sendMutex held after every change of the pending bytes.
void ZMegaPort::_relayPendingChanged() {
    _relayPendingBytes.store(static_cast<int>(_relayPending.size() - _relayPendingOffset), std::memory_order_relaxed);
}

// Called with _sendMutex held.
void ZMegaPort::_buildRelayFrame(const std::wstring& to, const void* data, int length) {
    if (_relayFrameTail.empty() || to != _relayFrameTo) {
        _relayFrameTo = to;
        _relayFrameTail = "\r\nRemote-Host: " + ZEscape(ZToUTF8(to), "") + "\r\n\r\n";
    }
    char digits[16];
    const auto [digitsEnd, ignored] = std::to_chars(digits, digits + sizeof(digits), length);
    (void)ignored;
    _relayFrame.clear();
    _relayFrame.append(kRelayFrameHead, sizeof(kRelayFrameHead) - 1);
    _relayFrame.append(digits, digitsEnd);
    _relayFrame.append(_relayFrameTail);
    _relayFrame.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
}

// A frame must reach the relay whole or not at all: the socket may take only
// part of it, and whatever follows on the stream would otherwise be read as
// the rest of that frame. Called with _sendMutex held.
void ZMegaPort::_sendRelay(const std::wstring& to, const void* data, int length) {
    // A connection that failed takes nothing more; its owner notices and resets.
    if (!ZNetTCPSocketIsAlive(_tcpSocket)) {
        _relayPending.clear();
        _relayPendingOffset = 0;
        _relayPendingChanged();
        return;
    }
    _buildRelayFrame(to, data, length);
    const std::string& frame = _relayFrame;

    _flushRelay();
    const std::size_t pending = _relayPending.size() - _relayPendingOffset;
    if (pending + frame.size() > static_cast<std::size_t>(ZMEGAPORT_RELAY_PENDING_LIMIT)) {
        if (_relayDropped++ == 0)
            ZMEGAPORT_LOG(L"WARNING Relay connection is not keeping up (" << static_cast<long long>(pending)
                                                                          << L" bytes waiting), dropping datagrams to ("
                                                                          << to << L").");
        return;
    }
    if (_relayDropped) {
        ZMEGAPORT_LOG(L"WARNING Dropped " << _relayDropped
                                          << L" datagrams while the relay connection was not keeping up.");
        _relayDropped = 0;
    }
    if (pending == 0) {
        const int sent = ZNetTCPSocketSend(_tcpSocket, frame.data(), static_cast<int>(frame.size()));
        const std::size_t taken = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        _relayPending.assign(frame, taken < frame.size() ? taken : frame.size());
        _relayPendingOffset = 0;
        _relayPendingChanged();
        return;
    }
    _relayPending.append(frame);
    _flushRelay();
}

// Called with _sendMutex held.
void ZMegaPort::_flushRelay() {
    while (_relayPendingOffset < _relayPending.size()) {
        const std::size_t left = _relayPending.size() - _relayPendingOffset;
        const int sent = ZNetTCPSocketSend(_tcpSocket, _relayPending.data() + _relayPendingOffset, static_cast<int>(left));
        if (sent <= 0) break;
        _relayPendingOffset += static_cast<std::size_t>(sent) < left ? static_cast<std::size_t>(sent) : left;
    }
    // Compacted only now and then, so a slow connection does not cost a copy
    // of the whole buffer per send.
    if (_relayPendingOffset == _relayPending.size()) {
        _relayPending.clear();
        _relayPendingOffset = 0;
    } else if (_relayPendingOffset > _relayPending.size() / 2) {
        _relayPending.erase(0, _relayPendingOffset);
        _relayPendingOffset = 0;
    }
    _relayPendingChanged();
}
