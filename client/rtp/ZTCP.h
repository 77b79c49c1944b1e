// The byte-counted reliable sender over datagrams and its receiving half.
// Neither sends nor keeps packet contents: the owner sends, keeps its own
// records, and sends lost content again as new packets under new numbers.
//
// Threading: none inside; each instance belongs to one stream or file
// mapping and is used only on its owner's thread.
#pragma once

#include <cstdint>
#include <list>
#include <vector>

// Where the sender reads the time; the owner's service hands its clock down.
typedef std::int64_t (*ZTCPClock)();

// The segment: initial window, window after a time-out, smallest window.
constexpr std::int32_t ZTCP_SEGMENT_SIZE = 1472;
// The longest sleep an owner is told to take.
constexpr std::int64_t ZTCP_MAX_WAIT = 250000;

// Sixteen-bit sequence numbers under the wrap rule: when two numbers lie
// 32768 or more apart, both are shifted by 32768 before comparing.
bool ZTCPSeqBefore(std::uint16_t a, std::uint16_t b);
// a minus b after the same shift.
int ZTCPSeqDelta(std::uint16_t a, std::uint16_t b);

// The sending half: window, bytes in flight, smoothed RTT and time-out.
class ZTCPServer {
public:
    ZTCPServer();

    void setClock(ZTCPClock clock);
    // Bytes that may go out now (0 when none); runs the time-out check.
    std::int32_t getBudget();
    // Microseconds until the time-out fires, within [0, 250000].
    std::int64_t getRTORemaining();
    void onSend(std::uint16_t seqNum, std::int32_t bytes);
    // Settles the packets the acknowledgement covers, oldest first, into
    // delivered (true) and lost (false); returns the base before it.
    std::uint16_t onACK(std::uint16_t seqNum, std::uint32_t vector, std::vector<bool>& delivered);

    // The oldest packet not settled: packets before it were given up.
    std::uint16_t getBaseSeqNum() const { return _baseSeqNum; }
    std::uint16_t getNextSeqNum() const { return _nextSeqNum; }
    std::int32_t getCongestionWindow() const { return _cwnd; }
    std::int32_t getBytesInFlight() const { return _bytesInFlight; }
    std::int32_t getSlowStartThreshold() const { return _ssthresh; }
    std::int64_t getSmoothedRTT() const { return _srtt; }
    std::size_t getPipeQueueSize() const { return _pipeQueue.size(); }

    std::int64_t _calcRTO() const;
    void _updateRTO();

private:
    std::int64_t _now() const;

    std::int32_t _cwnd = ZTCP_SEGMENT_SIZE;
    std::int32_t _bytesInFlight = 0;
    std::int32_t _ssthresh = 1472000;
    std::list<std::int32_t> _pipeQueue;
    std::uint16_t _nextSeqNum = 0;
    std::int64_t _srtt = 300000;
    bool _sampleRunning = false;
    std::uint16_t _sampleSeqNum = 0;
    std::int64_t _sampleTime = 0;
    std::int64_t _timeoutStart = 0;
    std::uint16_t _baseSeqNum = 0;
    ZTCPClock _clock;
};

// The receiving half: which of the last 32 numbers arrived.
class ZTCPClient {
public:
    ZTCPClient(std::uint16_t nextSeqNum = 0, std::uint32_t vector = 0);
    void onRecv(std::uint16_t seqNum);

    // What an acknowledgement carries: the newest number in order, and the
    // vector whose bit i says that number minus i arrived.
    std::uint16_t getAckSeqNum() const { return static_cast<std::uint16_t>(_nextSeqNum - 1); }
    std::uint16_t getNextSeqNum() const { return _nextSeqNum; }
    std::uint32_t getVector() const { return _vector; }

private:
    std::uint16_t _nextSeqNum;
    std::uint32_t _vector;
};
