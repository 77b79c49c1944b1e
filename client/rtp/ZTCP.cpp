// The reliable sender counts bytes in flight against a congestion window,
// settles packets from acknowledgements and gives everything up on a
// time-out; the receiver keeps the 32-packet acknowledgement vector.
#include "ZTCP.h"

#include <algorithm>
#include <cstdlib>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t kMinRTO = 1000000;
constexpr std::int64_t kMaxRTO = 60000000;
constexpr std::int32_t kMinThreshold = 2 * ZTCP_SEGMENT_SIZE;
constexpr std::int32_t kAvoidanceGrowth = ZTCP_SEGMENT_SIZE * ZTCP_SEGMENT_SIZE;

int shifted(std::uint16_t value, bool shift) {
    return shift ? (value + 32768) & 0xFFFF : value;
}

bool farApart(std::uint16_t a, std::uint16_t b) {
    return std::abs(static_cast<int>(a) - static_cast<int>(b)) >= 32768;
}

}  // namespace

bool ZTCPSeqBefore(std::uint16_t a, std::uint16_t b) {
    const bool shift = farApart(a, b);
    return shifted(a, shift) < shifted(b, shift);
}

int ZTCPSeqDelta(std::uint16_t a, std::uint16_t b) {
    const bool shift = farApart(a, b);
    return shifted(a, shift) - shifted(b, shift);
}

ZTCPServer::ZTCPServer() : _clock(&ZTimeNow) {}

void ZTCPServer::setClock(ZTCPClock clock) {
    _clock = clock ? clock : &ZTimeNow;
}

std::int64_t ZTCPServer::_now() const {
    return _clock();
}

std::int64_t ZTCPServer::_calcRTO() const {
    return std::clamp<std::int64_t>(_srtt * 165 / 100, kMinRTO, kMaxRTO);
}

// Gives up everything in flight when no acknowledgement came within the
// time-out. The sizes of the given-up packets are forgotten with them, so
// the next acknowledgement settles only packets sent after this moment.
void ZTCPServer::_updateRTO() {
    if (_timeoutStart == 0) return;
    if (_now() - _timeoutStart <= _calcRTO()) return;
    const std::int32_t oldWindow = _cwnd;
    _ssthresh = std::max(_bytesInFlight / 2, kMinThreshold);
    _cwnd = ZTCP_SEGMENT_SIZE;
    _bytesInFlight = 0;
    _timeoutStart = 0;
    _baseSeqNum = _nextSeqNum;
    _pipeQueue.clear();
    ZLOGC('T', L"RTO timeout, updating (cwnd=" << oldWindow << L"->" << _cwnd << L")");
}

std::int32_t ZTCPServer::getBudget() {
    _updateRTO();
    const std::int32_t budget = _cwnd - _bytesInFlight;
    return budget > 0 ? budget : 0;
}

std::int64_t ZTCPServer::getRTORemaining() {
    _updateRTO();
    if (_timeoutStart == 0) return ZTCP_MAX_WAIT;
    return std::clamp<std::int64_t>(_timeoutStart + _calcRTO() - _now(), 0, ZTCP_MAX_WAIT);
}

void ZTCPServer::onSend(std::uint16_t seqNum, std::int32_t bytes) {
    ZWARNASSERT_T(_nextSeqNum == seqNum, "_nextSeqNum == seqNum");
    _bytesInFlight += bytes;
    _nextSeqNum = static_cast<std::uint16_t>(seqNum + 1);
    _pipeQueue.push_back(bytes);
    const std::int64_t now = _now();
    if (!_sampleRunning) {
        _sampleRunning = true;
        _sampleSeqNum = seqNum;
        _sampleTime = now;
    }
    if (_timeoutStart == 0) _timeoutStart = now;
}

std::uint16_t ZTCPServer::onACK(std::uint16_t seqNum, std::uint32_t vector, std::vector<bool>& delivered) {
    delivered.clear();
    const std::uint16_t base = _baseSeqNum;
    // A number never sent is a peer's error or a forgery: it must not settle
    // packets that do not exist, nor touch the timer or the RTT.
    if (!ZTCPSeqBefore(seqNum, _nextSeqNum) && !ZTCPSeqBefore(seqNum, _baseSeqNum)) {
        ZLOGC('T', L"Received ACK for unsent packet (seqNum=" << static_cast<int>(seqNum) << L", nextSeqNum="
                                                               << static_cast<int>(_nextSeqNum) << L"), ignoring.");
        return base;
    }

    const std::int64_t now = _now();
    _timeoutStart = now;
    if (_sampleRunning) {
        if (_sampleSeqNum == seqNum) {
            const std::int64_t sample = now - _sampleTime;
            _srtt = (_srtt * 85 + sample * 15) / 100;
            _sampleRunning = false;
        } else if (ZTCPSeqBefore(_sampleSeqNum, seqNum)) {
            _sampleRunning = false;
        }
    }

    if (ZTCPSeqBefore(seqNum, _baseSeqNum)) {
        ZLOGC('T', L"Received old ACK (seqNum=" << static_cast<int>(seqNum)
                                                << L", offset=" << ZTCPSeqDelta(_baseSeqNum, seqNum)
                                                << L", ignoring.");
        return base;
    }

    const int offset = ZTCPSeqDelta(seqNum, _baseSeqNum);
    int lost = 0;
    std::int32_t settledBytes = 0;
    for (int k = offset; k >= 0 && !_pipeQueue.empty(); --k) {
        const bool ok = k < 32 && (vector & (1u << k)) != 0;
        delivered.push_back(ok);
        if (!ok) ++lost;
        const std::int32_t size = _pipeQueue.front();
        _pipeQueue.pop_front();
        _bytesInFlight -= size;
        settledBytes += size;
        _baseSeqNum = static_cast<std::uint16_t>(_baseSeqNum + 1);
    }
    if (_bytesInFlight < 0) _bytesInFlight = 0;

    const std::int32_t oldWindow = _cwnd;
    if (lost) {
        _cwnd = std::max(_cwnd / 2, ZTCP_SEGMENT_SIZE);
        _ssthresh = _cwnd;
        ZLOGC('T', L"Dropped " << lost << L" packets, updating (seqNum=" << static_cast<int>(seqNum)
                               << L", cwnd=" << oldWindow << L"->" << _cwnd << L")");
    } else if (_cwnd < _ssthresh) {
        _cwnd += std::min(settledBytes, ZTCP_SEGMENT_SIZE);
        ZLOGC('T', L"ACK'd 1 packet, updating in slow start (seqNum=" << static_cast<int>(seqNum) << L", cwnd="
                                                                      << oldWindow << L"->" << _cwnd << L")");
    } else {
        _cwnd += kAvoidanceGrowth / _cwnd;
        ZLOGC('T', L"ACK'd 1 packet, updating in congestion control (seqNum="
                       << static_cast<int>(seqNum) << L", cwnd=" << oldWindow << L"->" << _cwnd << L")");
    }
    return base;
}

ZTCPClient::ZTCPClient(std::uint16_t nextSeqNum, std::uint32_t vector) : _nextSeqNum(nextSeqNum), _vector(vector) {}

void ZTCPClient::onRecv(std::uint16_t seqNum) {
    if (!ZTCPSeqBefore(seqNum, _nextSeqNum)) {
        const int gap = ZTCPSeqDelta(seqNum, _nextSeqNum) + 1;
        if (gap >= 2)
            ZLOGC('T', L"Received discontinous packets (nextSeqNum=" << static_cast<int>(_nextSeqNum)
                                                                    << L", delta=" << std::min(gap, 31)
                                                                    << L"), reporting in ACK.");
        _vector = gap >= 32 ? 1u : ((_vector << gap) | 1u);
        _nextSeqNum = static_cast<std::uint16_t>(seqNum + 1);
        return;
    }
    const int behind = ZTCPSeqDelta(_nextSeqNum, seqNum);
    if (behind <= 32) {
        const int delta = behind - 1;
        ZLOGC('T', L"Received out-of-order packet (nextSeqNum=" << static_cast<int>(_nextSeqNum)
                                                               << L", delta=" << delta << L"), reporting in ACK.");
        _vector |= 1u << delta;
        return;
    }
    ZLOG(L"WARNING Received very old packet (nextSeqNum=" << static_cast<int>(_nextSeqNum) << L", delta=" << behind
                                                          << L"), ignoring for congestion control.");
}
