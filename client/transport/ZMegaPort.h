// The switchboard of the client's one UDP port and of the TCP relay
// connection: received packets wait in recycled buckets, filed by RTP payload
// type or as signalling; every service's datagrams leave through send.
//
// Threading: many threads at once. The dispatch thread alone fills the lists
// (and alone reads the port and the relay); consumer threads wait on a list's
// event with no lock of the port held, and take buckets; every service
// sends. Three locks, never nested inside the port: the object lock guards
// the pool, _recvMutex the filled lists, _sendMutex the attachments, the
// hosts, the relay's pending bytes and each whole send. Events are signalled
// after _recvMutex is released, and only by a fill that found its list
// empty: a consumer takes every bucket of its lists before it waits again.
//
// While a relay socket is attached the switchboard is that socket's one
// writer: frames go whole into a pending buffer under _sendMutex and are
// pushed by every send and by flush, which the relay's owner calls once per
// loop pass. The owner must not write the attached socket itself (its own
// relay messages go through send with an empty "from").
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "ZNonPortable.h"
#include "ZObject.h"

// RTP payload types that have a bucket list of their own.
constexpr int ZRTP_AUDIO = 1;
constexpr int ZRTP_VIDEO = 2;
constexpr int ZRTP_FILE = 3;
constexpr int ZRTP_SCREEN = 4;
// The RTCP sender report, filed with the audio packets.
constexpr int ZRTCP_SENDER_REPORT = 200;

// Most relay bytes held back while the relay connection is slower than the
// senders; a datagram that does not fit is dropped whole.
constexpr int ZMEGAPORT_RELAY_PENDING_LIMIT = 1 << 20;

// One received packet; at any moment in the pool, one list, or one taker's hands.
class ZMegaPortBucket : public ZHeapObject {
public:
    std::wstring to;
    std::wstring from;
    std::string buffer;
};

// An auto-reset event: a signal wakes one wait (or the next), which clears it.
struct ZMegaPortEvent {
    bool signalled = false;
    // The waits parked on it now: a signal wakes these threads and no other.
    std::vector<std::condition_variable*> waiters;
};

// A first-in first-out list of buckets beside the event that announces them
// (a deque: a steady stream through it allocates nothing per bucket).
struct ZMegaPortBucketList {
    ZMegaPortEvent* event = nullptr;
    std::deque<ZMegaPortBucket*> list;
};

class ZMegaPort;
class ZInstance;

// While one lives, the datagrams its thread sends through the port are held
// back and go out together, a run to one destination in one system call:
// when the run changes destination, fills up, or the batch ends. A service
// opens one around its pass, never across a wait.
class ZMegaPortSendBatch {
public:
    explicit ZMegaPortSendBatch(ZMegaPort* port);
    ~ZMegaPortSendBatch();
    ZMegaPortSendBatch(const ZMegaPortSendBatch&) = delete;
    ZMegaPortSendBatch& operator=(const ZMegaPortSendBatch&) = delete;

    void flush();

private:
    friend class ZMegaPort;
    static constexpr int kLimit = 16;
    // The datagram is the head followed by the body (null and 0: none).
    void add(const std::wstring& from, const std::wstring& to, const void* head, int headLength, const void* body,
             int bodyLength);

    ZMegaPort* _port;
    ZMegaPortSendBatch* _outer;
    std::wstring _from;
    std::wstring _to;
    // Strings are kept and refilled, so a steady stream allocates nothing.
    std::vector<std::string> _datagrams;
    int _count = 0;
};

// The in-process switchboard of the UDP port and the relay connection.
class ZMegaPort : public ZThreadSafeObject {
public:
    explicit ZMegaPort(const std::wstring& name);
    ~ZMegaPort() override;
    void invariantTest() override;

    void setUDPPort(ZNetUDPPort* udpPort);
    void setTCPSocket(ZNetTCPSocket* tcpSocket, const std::wstring& globalHost);
    std::wstring getLocalHost();
    std::wstring getGlobalHost();
    void reset();

    ZMegaPortBucket* getEmtpyBucket();
    void returnEmptyBucket(ZMegaPortBucket* bucket);
    void fillSIPBucket(ZMegaPortBucket* bucket);
    void fillRTPBucket(ZMegaPortBucket* bucket);
    ZMegaPortBucket* getSIPBucket();
    ZMegaPortBucket* getRTPBucket(std::uint8_t payloadType);

    // Each wait also ends when its wake-up (null: none) is signalled, and
    // clears that wake-up whatever ended it: the owner looks at its queues
    // after every wait.
    void waitForSIPBucket(std::int64_t timeout, ZMegaPortEvent* wake = nullptr);
    void waitForRTPBucket(std::int64_t timeout, int payloadType, ZMegaPortEvent* wake = nullptr);
    void waitForRTPBucket(std::int64_t timeout, int payloadTypeA, int payloadTypeB, ZMegaPortEvent* wake = nullptr);
    // Signals a consumer's own wake-up (any thread; takes only a leaf lock).
    void signalWake(ZMegaPortEvent* wake);

    void send(const std::wstring& from, const std::wstring& to, const void* data, int length);
    void send(const std::wstring& from, const std::wstring& to, const std::string& payload);
    // One datagram of a head and a body that lie apart (a header and file
    // bytes), put together only where it is sent or batched.
    void send(const std::wstring& from, const std::wstring& to, const void* head, int headLength, const void* body,
              int bodyLength);

    // Pushes relay bytes held back by an earlier send.
    void flush();
    // Relay bytes waiting for the connection, for senders that pace themselves.
    int getPendingRelayBytes();
    // Buckets allocated so far; each is in the pool, a list or a taker's hands.
    int getNumBucketsCreated();
    int getNumEmptyBuckets();

private:
    friend class ZMegaPortSendBatch;
    // Both called with _sendMutex held.
    void _sendLocked(const std::wstring& from, const std::wstring& to, const void* data, int length);
    void _sendMany(const std::wstring& from, const std::wstring& to, const std::string* datagrams, int count);
    ZMegaPortEvent* _createEvent();
    bool _signalEvent(ZMegaPortEvent* event);
    // Waits until one of the events (null ones ignored) is signalled, clearing
    // it, or the milliseconds pass; the wake-up is cleared in every case.
    void _waitForEvents(ZMegaPortEvent* eventA, ZMegaPortEvent* eventB, ZMegaPortEvent* wake,
                        std::int64_t milliseconds);
    void _sendRelay(const std::wstring& to, const void* data, int length);
    void _buildRelayFrame(const std::wstring& to, const void* data, int length);
    void _flushRelay();
    void _relayPendingChanged();
    void _log(const std::wstring& message);

    std::wstring _name;
    ZMutex _sendMutex = nullptr;
    ZMutex _recvMutex = nullptr;
    ZNetUDPPort* _udpPort = nullptr;
    ZNetTCPSocket* _tcpSocket = nullptr;
    ZMegaPortBucketList _sipBucketList;
    std::array<ZMegaPortBucketList, 256> _rtpBucketListArray;
    std::deque<ZMegaPortBucket*> _emptyBucketList;
    int _numBucketsCreated = 0;
    std::wstring _localHost;
    std::wstring _globalHost;

    // Relay bytes the socket has not taken yet, whole frames only; guarded by
    // _sendMutex.
    std::string _relayPending;
    std::size_t _relayPendingOffset = 0;
    int _relayDropped = 0;
    // The pending byte count, also readable without the lock.
    std::atomic<int> _relayPendingBytes{0};
    // The frame being sent, rebuilt in place for every datagram, and the
    // text after its length for the last destination; guarded by _sendMutex.
    std::string _relayFrame;
    std::wstring _relayFrameTo;
    std::string _relayFrameTail;

    // One guard serves every event of the port; each wait brings its own
    // condition, so a datagram wakes only the consumer of its kind.
    std::mutex _eventMutex;
};

// Ends its owner's waits on the switchboard when a message is queued on any
// store queue it watches, so a posted command never waits out a time-out.
//
// Threading: made, used and destroyed on its owner's thread (or before the
// owner's thread starts); enqueuing threads signal it through the store.
class ZMegaPortQueueWake {
public:
    ZMegaPortQueueWake(ZInstance* instance, ZMegaPort* port);
    ~ZMegaPortQueueWake();
    ZMegaPortQueueWake(const ZMegaPortQueueWake&) = delete;
    ZMegaPortQueueWake& operator=(const ZMegaPortQueueWake&) = delete;

    void watch(const std::wstring& queue);
    void unwatch(const std::wstring& queue);
    // What the owner passes to its waits.
    ZMegaPortEvent* event() { return &_event; }

private:
    ZInstance* _instance;
    ZMegaPort* _port;
    ZMegaPortEvent _event;
    std::vector<std::wstring> _queues;
};
