// The switchboard's life, its attachments, the bucket pool and the lists.
// Waiting and sending are in ZMegaPort_Send.cpp.
#include "ZMegaPort.h"

#include <algorithm>
#include <new>

#include "ZPortable.h"
#include "ZRTP.h"

#define ZMEGAPORT_LOG(...) ZLOGCTX(L"(" + _name + L") ", __VA_ARGS__)

namespace {

const wchar_t* const kNoHost = L"0.0.0.0:0";

}  // namespace

ZMegaPort::ZMegaPort(const std::wstring& name) {
    ZTRACE_KIND("ZMegaPort");
    _name = name.empty() ? std::wstring(L"(unknown)") : name;
    _sendMutex = ZMutexOpen();
    _recvMutex = ZMutexOpen();
    _localHost = kNoHost;
    _globalHost = kNoHost;
    _sipBucketList.event = _createEvent();
    ZASSERT_T(_sipBucketList.event, "_sipBucketList.event = CreateEventW( 0, false, false, 0 )");
    _rtpBucketListArray[ZRTP_AUDIO].event = _createEvent();
    ZASSERT_T(_rtpBucketListArray[ZRTP_AUDIO].event,
              "_rtpBucketListArray[ZRTP_AUDIO].event = CreateEventW( 0, false, false, 0 )");
    _rtpBucketListArray[ZRTP_VIDEO].event = _createEvent();
    ZASSERT_T(_rtpBucketListArray[ZRTP_VIDEO].event,
              "_rtpBucketListArray[ZRTP_VIDEO].event = CreateEventW( 0, false, false, 0 )");
    _rtpBucketListArray[ZRTP_FILE].event = _createEvent();
    ZASSERT_T(_rtpBucketListArray[ZRTP_FILE].event,
              "_rtpBucketListArray[ZRTP_FILE].event = CreateEventW( 0, false, false, 0 )");
    _rtpBucketListArray[ZRTP_SCREEN].event = _createEvent();
    ZASSERT_T(_rtpBucketListArray[ZRTP_SCREEN].event,
              "_rtpBucketListArray[ZRTP_SCREEN].event = CreateEventW( 0, false, false, 0 )");
}

ZMegaPort::~ZMegaPort() {
    ZTRACE();
    for (ZMegaPortBucketList& entry : _rtpBucketListArray) {
        delete entry.event;
        entry.event = nullptr;
    }
    delete _sipBucketList.event;
    _sipBucketList.event = nullptr;
    ZMutexClose(_recvMutex);
    _recvMutex = nullptr;
    ZMutexClose(_sendMutex);
    _sendMutex = nullptr;
    ZWARNASSERT(_numBucketsCreated == (int)_emptyBucketList.size( ));
    for (ZMegaPortBucket* bucket : _emptyBucketList) delete bucket;
    _emptyBucketList.clear();
}

void ZMegaPort::invariantTest() {
    ZTRACE();
    ZASSERT(_sendMutex);
    ZASSERT(_recvMutex);
    ZMutexLock(_sendMutex);
    ZWARNASSERT(!_localHost.empty( ));
    ZWARNASSERT(!_globalHost.empty( ));
    ZWARNASSERT(ZValidHost( _localHost ) || ZCaseEquals( _localHost, L"0.0.0.0:0" ));
    ZWARNASSERT(ZValidHost( _globalHost ) || ZCaseEquals( _globalHost, L"0.0.0.0:0" ));
    ZMutexUnlock(_sendMutex);
    ZThreadSafeObject::invariantTest();
}

// ---- attachments ------------------------------------------------------------------

void ZMegaPort::setUDPPort(ZNetUDPPort* udpPort) {
    ZTRACE();
    ZPRECONDITION(udpPort);
    const std::wstring localHost = ZNetUDPPortGetLocalHost(udpPort);
    ZMutexLock(_sendMutex);
    _udpPort = udpPort;
    _localHost = localHost;
    ZMutexUnlock(_sendMutex);
}

void ZMegaPort::setTCPSocket(ZNetTCPSocket* tcpSocket, const std::wstring& globalHost) {
    ZTRACE();
    ZPRECONDITION(tcpSocket);
    ZPRECONDITION(ZValidHost( globalHost ));
    ZMutexLock(_sendMutex);
    // Bytes held back for another connection are no part of this one's stream.
    if (tcpSocket != _tcpSocket) {
        _relayPending.clear();
        _relayPendingOffset = 0;
        _relayDropped = 0;
        _relayPendingChanged();
    }
    _tcpSocket = tcpSocket;
    _globalHost = globalHost;
    ZMutexUnlock(_sendMutex);
}

std::wstring ZMegaPort::getLocalHost() {
    ZTRACE();
    ZMutexLock(_sendMutex);
    const std::wstring host = _localHost;
    ZMutexUnlock(_sendMutex);
    return host;
}

std::wstring ZMegaPort::getGlobalHost() {
    ZTRACE();
    ZMutexLock(_sendMutex);
    const std::wstring host = _globalHost;
    ZMutexUnlock(_sendMutex);
    return host;
}

void ZMegaPort::reset() {
    ZTRACE();
    invariantTest();
    ZMutexLock(_sendMutex);
    _udpPort = nullptr;
    _tcpSocket = nullptr;
    _localHost = kNoHost;
    _globalHost = kNoHost;
    _relayPending.clear();
    _relayPendingOffset = 0;
    _relayDropped = 0;
    _relayPendingChanged();
    ZMutexUnlock(_sendMutex);

    while (ZMegaPortBucket* bucket = getSIPBucket()) returnEmptyBucket(bucket);
    for (const int type : {ZRTP_AUDIO, ZRTP_VIDEO, ZRTP_FILE, ZRTP_SCREEN})
        while (ZMegaPortBucket* bucket = getRTPBucket(static_cast<std::uint8_t>(type))) returnEmptyBucket(bucket);
}

// ---- the pool -----------------------------------------------------------------------

ZMegaPortBucket* ZMegaPort::getEmtpyBucket() {
    ZTRACE();
    ZScopedLock lock(this);
    if (_emptyBucketList.empty()) {
        ++_numBucketsCreated;
        return ZSAFENEW(ZMegaPortBucket);
    }
    ZMegaPortBucket* bucket = _emptyBucketList.front();
    _emptyBucketList.pop_front();
    return bucket;
}

void ZMegaPort::returnEmptyBucket(ZMegaPortBucket* bucket) {
    ZTRACE();
    ZPRECONDITION_PTR(bucket);
    ZScopedLock lock(this);
    _emptyBucketList.push_back(bucket);
}

int ZMegaPort::getNumBucketsCreated() {
    ZScopedLock lock(this);
    return _numBucketsCreated;
}

int ZMegaPort::getNumEmptyBuckets() {
    ZScopedLock lock(this);
    return static_cast<int>(_emptyBucketList.size());
}

// ---- the filled lists -------------------------------------------------------------------

void ZMegaPort::fillSIPBucket(ZMegaPortBucket* bucket) {
    ZTRACE();
    ZPRECONDITION_PTR(bucket);
    ZMutexLock(_recvMutex);
    const bool first = _sipBucketList.list.empty();
    _sipBucketList.list.push_back(bucket);
    ZMutexUnlock(_recvMutex);
    // A list that held buckets was announced already, and its consumer takes
    // every bucket before it waits again.
    if (first) ZWARNASSERT_T(_signalEvent(_sipBucketList.event), "SetEvent( _sipBucketList.event)");
}

void ZMegaPort::fillRTPBucket(ZMegaPortBucket* bucket) {
    ZTRACE();
    ZPRECONDITION_PTR(bucket);
    if (!ZIsRTP(bucket->buffer)) {
        ZMEGAPORT_LOG(L"WARNING Trying to fill bucket with malformed RTP buffer; ignoring.");
        returnEmptyBucket(bucket);
        return;
    }
    const int payloadType = static_cast<unsigned char>(bucket->buffer[1]);
    const int listType = payloadType == ZRTCP_SENDER_REPORT ? ZRTP_AUDIO : payloadType;

    ZMutexLock(_recvMutex);
    ZMegaPortBucketList& entry = _rtpBucketListArray[static_cast<std::size_t>(listType)];
    ZMegaPortEvent* hEvent = entry.event;
    const bool first = entry.list.empty();
    if (hEvent) entry.list.push_back(bucket);
    ZMutexUnlock(_recvMutex);

    if (!hEvent) {
        ZMEGAPORT_LOG(L"WARNING Attempting to fill RTP bucket for unsupported payload type #" << payloadType
                                                                                               << L", ignoring.");
        returnEmptyBucket(bucket);
        return;
    }
    if (first) ZWARNASSERT_T(_signalEvent(hEvent), "SetEvent( hEvent )");
}

ZMegaPortBucket* ZMegaPort::getSIPBucket() {
    ZTRACE();
    ZMegaPortBucket* bucket = nullptr;
    ZMutexLock(_recvMutex);
    if (!_sipBucketList.list.empty()) {
        bucket = _sipBucketList.list.front();
        _sipBucketList.list.pop_front();
    }
    ZMutexUnlock(_recvMutex);
    return bucket;
}

ZMegaPortBucket* ZMegaPort::getRTPBucket(std::uint8_t payloadType) {
    ZTRACE();
    ZMegaPortBucket* bucket = nullptr;
    ZMutexLock(_recvMutex);
    std::deque<ZMegaPortBucket*>& list = _rtpBucketListArray[payloadType].list;
    if (!list.empty()) {
        bucket = list.front();
        list.pop_front();
    }
    ZMutexUnlock(_recvMutex);
    return bucket;
}

// ---- events --------------------------------------------------------------------------------

ZMegaPortEvent* ZMegaPort::_createEvent() { return new (std::nothrow) ZMegaPortEvent; }

bool ZMegaPort::_signalEvent(ZMegaPortEvent* event) {
    if (!event) return false;
    // Notified under the guard: a wait's condition lives only while it is
    // listed, and it leaves the list under the same guard.
    std::lock_guard<std::mutex> guard(_eventMutex);
    event->signalled = true;
    for (std::condition_variable* waiter : event->waiters) waiter->notify_one();
    return true;
}

void ZMegaPort::signalWake(ZMegaPortEvent* wake) { _signalEvent(wake); }

void ZMegaPort::_waitForEvents(ZMegaPortEvent* eventA, ZMegaPortEvent* eventB, ZMegaPortEvent* wake,
                               std::int64_t milliseconds) {
    ZMegaPortEvent* const events[] = {eventA, eventB, wake};
    std::unique_lock<std::mutex> guard(_eventMutex);
    const auto signalled = [&] {
        for (const ZMegaPortEvent* event : events)
            if (event && event->signalled) return true;
        return false;
    };
    if (milliseconds > 0 && !signalled()) {
        std::condition_variable condition;
        for (ZMegaPortEvent* event : events)
            if (event) event->waiters.push_back(&condition);
        condition.wait_for(guard, std::chrono::milliseconds(milliseconds), signalled);
        for (ZMegaPortEvent* event : events)
            if (event) event->waiters.erase(std::find(event->waiters.begin(), event->waiters.end(), &condition));
    }
    // Like a wait on several auto-reset events: only the first signalled one is consumed.
    if (eventA && eventA->signalled)
        eventA->signalled = false;
    else if (eventB && eventB->signalled)
        eventB->signalled = false;
    if (wake) wake->signalled = false;
}
