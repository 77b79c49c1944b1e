// The sending end of a file transfer. Offsets are 64-bit; a run is mapped
// only for what the receiver asked, never the whole file.
#include "ZFileSendMapping.h"

#include <algorithm>

#include "ZFileDigest.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZUtil.h"

namespace {

constexpr std::int32_t kFullBlockMessage = ZRTPFT_BODY_SIZE + ZFS_BLOCKSIZE;
// The most a 32-bit block number reaches: 4 TiB.
constexpr std::uint64_t kLargestFile = (std::uint64_t{1} << 32) * ZFS_BLOCKSIZE;
// How often the service looks whether the digest is ready.
constexpr std::int64_t kScanPoll = 10000;


std::wstring displayName(const std::wstring& path) {
    std::list<std::wstring> parts;
    ZTokenize(parts, path, L"/\\");
    return parts.empty() ? std::wstring(L"<invalid>") : parts.back();
}

}  // namespace

ZFileSendMapping::ZFileSendMapping(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& command,
                                   ZTCPClock clock)
    : _instance(instance), _port(port), _clock(clock ? clock : &ZTimeNow) {
    ZTRACE_KIND("ZFileSendMapping");
    ZPRECONDITION(instance && port);
    _fileID = static_cast<std::int32_t>(command.calc64(L"File-ID"));
    _sendFrom = command.get(L"Send-From");
    _sendTo = command.get(L"Send-To");
    _recvFrom = command.get(L"Recv-From");
    _path = command.get(L"Path");
    _buddyDeviceGUID = command.get(L"Buddy-Device-GUID");
    _key = L"File#" + ZToString(static_cast<std::int64_t>(_fileID));
    _tcpServer.setClock(_clock);
    invariantTest();

    _instance->insert(L"File_Send_List", _key);
    _instance->set(_key + L"_Filename", displayName(_path), false);
    _fileMap = ZFileMapOpen(_path, false);
    // Block numbers are 32-bit: a file beyond 4 TiB cannot be sent whole.
    if (_fileMap && static_cast<std::uint64_t>(ZFileMapGetSize(_fileMap)) > kLargestFile) {
        ZLOG(L"WARNING File too large to send, " << static_cast<long long>(ZFileMapGetSize(_fileMap)) << L"bytes.");
        ZFileMapClose(_fileMap);
        _fileMap = nullptr;
    }
    if (!_fileMap) {
        for (const wchar_t* suffix : {L"_Size", L"_Speed", L"_Complete"})
            _instance->set(_key + suffix, std::wstring(L"(error)"), false);
        _done = true;
        _outcome = L"Error";
        return;
    }
    _fileSize = static_cast<std::uint64_t>(ZFileMapGetSize(_fileMap));
    _instance->set(_key + L"_Size", ZFormatByteSize(static_cast<std::int64_t>(_fileSize)), false);
    _instance->set(_key + L"_Speed", std::wstring(L"--BPS"), false);
    _instance->set(_key + L"_Complete", std::wstring(L"Scanning..."), false);
    _scan = std::make_unique<ZFileDigest>(_path);
}

ZFileSendMapping::~ZFileSendMapping() {
    ZTRACE();
    if (!_done) _onDone(true);
    _scan.reset();
    _sendRTPFT(ZRTPFT_CANCELRECV);
    ZASSERT(!_fileLockPtr);
    if (_fileMap) ZFileMapClose(_fileMap);
}

void ZFileSendMapping::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZWARNASSERT(!_sendFrom.empty( ));
    ZWARNASSERT(!_sendTo.empty( ));
    ZWARNASSERT(!_path.empty( ));
    ZWARNASSERT(!_buddyDeviceGUID.empty( ));
}

bool ZFileSendMapping::isPeer(const std::wstring& host) const {
    return ZCaseEquals(host, _sendTo) || (!_recvFrom.empty() && ZCaseEquals(host, _recvFrom));
}

// ---- sending ---------------------------------------------------------------------------

void ZFileSendMapping::_send(const std::string& message) {
    _port->send(_sendFrom, _sendTo, message);
    _onSent(reinterpret_cast<const unsigned char*>(message.data()), message.size());
}

// The header's fields as they were sent: sequence number (bytes 2 and 3, as
// the header composer writes them), type (byte 19) and a BLOCK's number
// (bytes 20 to 23).
void ZFileSendMapping::_onSent(const unsigned char* header, std::size_t length) {
    SentRecord record{};
    record.seqNum = static_cast<std::uint16_t>(header[2] | (header[3] << 8));
    record.type = length > 19 ? header[19] : 0;
    if (length >= static_cast<std::size_t>(ZRTPFT_BODY_SIZE))
        for (int i = 3; i >= 0; --i) record.blockNum = (record.blockNum << 8) | header[20 + i];
    record.length = static_cast<std::uint32_t>(length);
    _tcpServer.onSend(_seqNum, static_cast<std::int32_t>(length));
    _sentRecordList.push_back(record);
    ++_seqNum;
}

void ZFileSendMapping::_sendRTPFT(std::uint8_t type) {
    std::string message = ZRTPFTMessage(_seqNum, static_cast<std::uint32_t>(_fileID), type);
    _send(message);
}

void ZFileSendMapping::_sendRTPFTINFO() {
    if (_scan) {
        // Still scanning: a bare header keeps the receiver waiting.
        _infoOwed = true;
        _sendRTPFT(ZRTPFT_INFO);
        return;
    }
    std::string message(ZRTPFT_INFO_SIZE, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&message[0]);
    ZComposeFT(p, _seqNum, static_cast<std::uint32_t>(_fileID), ZRTPFT_INFO);
    ZComposeINFO(p, _fileSize, _sha1Hash);
    _send(message);
}

// The header and the mapped file bytes go to the port apart: the bytes are
// copied once, into the datagram that leaves.
void ZFileSendMapping::_sendRTPFTBLOCK(std::uint32_t blockNum, const unsigned char* data, int length) {
    unsigned char header[ZRTPFT_BODY_SIZE] = {};
    ZComposeFT(header, _seqNum, static_cast<std::uint32_t>(_fileID), ZRTPFT_BLOCK);
    ZComposeBLOCK(header, blockNum, static_cast<std::uint16_t>(length));
    _sampleBytes += static_cast<std::uint64_t>(length);
    _port->send(_sendFrom, _sendTo, header, ZRTPFT_BODY_SIZE, data, length);
    _onSent(header, static_cast<std::size_t>(ZRTPFT_BODY_SIZE + length));
}

void ZFileSendMapping::_sendBlocks() {
    while (!_done && _tcpServer.getBudget() > kFullBlockMessage) {
        if (_chunkMask.empty() || !_fileLockPtr) return;
        // From the cursor: whole bytes of sent blocks, then the bits of the
        // first byte that lacks one.
        const unsigned char* mask = reinterpret_cast<const unsigned char*>(_chunkMask.data());
        const int bits = static_cast<int>(_chunkMask.size()) * ZFS_CHUNKSIZE;
        int i = _pumpCursor;
        while (i < bits && i % 8 == 0 && mask[i / 8] == 0xFF) i += 8;
        while (i < bits && (mask[i / 8] & (0x80 >> (i % 8)))) {
            ++i;
            while (i < bits && i % 8 == 0 && mask[i / 8] == 0xFF) i += 8;
        }
        _pumpCursor = i;
        if (i == bits) return;
        const std::uint64_t start = static_cast<std::uint64_t>(i) * ZFS_BLOCKSIZE;
        if (start >= _fileLockSize) return;
        const int length = static_cast<int>(std::min<std::uint64_t>(ZFS_BLOCKSIZE, _fileLockSize - start));
        const std::uint32_t blockNum = _chunkOffset * ZFS_CHUNKSIZE + static_cast<std::uint32_t>(i);
        _sendRTPFTBLOCK(blockNum, _fileLockPtr + start, length);
        _setBlockSent(blockNum, true);
        _totalBytesSent += static_cast<std::uint64_t>(length);
        if (!_firstBlockTime) _firstBlockTime = _now();
    }
}

void ZFileSendMapping::_setBlockSent(std::uint32_t blockNum, bool sent) {
    const std::int64_t index =
        static_cast<std::int64_t>(blockNum) - static_cast<std::int64_t>(_chunkOffset) * ZFS_CHUNKSIZE;
    const std::int64_t bits = static_cast<std::int64_t>(_chunkMask.size()) * ZFS_CHUNKSIZE;
    if (index < 0 || index >= bits) return;
    unsigned char* mask = reinterpret_cast<unsigned char*>(&_chunkMask[0]);
    const unsigned char bit = static_cast<unsigned char>(0x80 >> (index % 8));
    if (sent) {
        mask[index / 8] |= bit;
    } else {
        mask[index / 8] &= static_cast<unsigned char>(~bit);
        _pumpCursor = std::min(_pumpCursor, static_cast<int>(index));
    }
}

// ---- requests ---------------------------------------------------------------------------

void ZFileSendMapping::dispatch(ZMegaPortBucket* bucket) {
    ZTRACE();
    invariantTest();
    if (_done) return;
    _activityInterval.restart(_now());
    ZRTPFTHeader header;
    int remaining = 0;
    ZDecomposeRTPFT(bucket->buffer.data(), static_cast<int>(bucket->buffer.size()), header, remaining);
    switch (header.type) {
    case ZRTPFT_GETINFO:
        ZLOGC('F', L"Received 'GETINFO' from (" << bucket->from << L")");
        _sendRTPFTINFO();
        break;
    case ZRTPFT_GETBLOCKS:
        _onGETBLOCKS(bucket);
        break;
    case ZRTPFT_ACK:
        _onACK(bucket);
        break;
    case ZRTPFT_CANCELSEND:
        _onDone(true);
        break;
    case ZRTPFT_DONE:
        _onDone(false);
        break;
    default:
        ZLOG(L"WARNING Invalid payload type #" << static_cast<int>(header.type) << L", ignoring.");
        break;
    }
}

void ZFileSendMapping::_onGETBLOCKS(ZMegaPortBucket* bucket) {
    ZRTPFTGETBLOCKS request;
    int remaining = 0;
    const unsigned char* map =
        ZDecomposeRTPFTGETBLOCKS(bucket->buffer.data(), static_cast<int>(bucket->buffer.size()), request, remaining);
    if (!map || static_cast<std::uint64_t>(remaining) < request.numChunks || request.numChunks > ZFS_MAX_CHUNKS) {
        ZLOG(L"WARNING Malformed 'GETBLOCKS' request from (" << bucket->from << L"), ignoring.");
        return;
    }
    ZLOGC('F', L"Received 'GETBLOCKS' from (" << bucket->from << L")");
    const std::uint64_t offset = static_cast<std::uint64_t>(request.chunkOffset) * ZFS_CHUNKSIZE * ZFS_BLOCKSIZE;
    std::uint64_t size = static_cast<std::uint64_t>(request.numChunks) * ZFS_CHUNKSIZE * ZFS_BLOCKSIZE;
    if (offset > _fileSize) {
        ZLOG(L"WARNING Requesting invalid file region (offset="
             << static_cast<long long>(offset) << L", size=" << static_cast<long long>(size)
             << L", filesize=" << static_cast<long long>(_fileSize) << L", chunkMaskSize=" << remaining
             << L"), ignoring.");
        return;
    }
    if (offset + size > _fileSize) size = _fileSize - offset;
    _resetLock();
    _chunkOffset = request.chunkOffset;
    _chunkMask.assign(reinterpret_cast<const char*>(map), request.numChunks);
    _runMapped = true;
    if (size == 0) return;  // nothing of the file in the run
    _fileLockPtr = static_cast<unsigned char*>(
        ZFileMapLock(_fileMap, static_cast<std::int64_t>(offset), static_cast<std::int64_t>(size)));
    if (!_fileLockPtr) {
        ZLOG(L"WARNING Unable to lock requested portion (offset=" << static_cast<long long>(offset) << L", size="
                                                                  << static_cast<long long>(size) << L", filesize="
                                                                  << static_cast<long long>(_fileSize)
                                                                  << L"), ignoring.");
        _chunkMask.clear();
        return;
    }
    _fileLockSize = size;
    _sendBlocks();
}

void ZFileSendMapping::_onACK(ZMegaPortBucket* bucket) {
    ZRTPFTACK ack;
    int remaining = 0;
    if (!ZDecomposeRTPFTACK(bucket->buffer.data(), static_cast<int>(bucket->buffer.size()), ack, remaining)) {
        ZLOG(L"WARNING Malformed 'ACK', ignoring.");
        return;
    }
    ZLOGC('F', L"Received ACK( nextSequenceNum=" << static_cast<int>(ack.nextSequenceNum) << L", ackVector=0x"
                                                 << ZToHex(ack.ackVector, 8) << L" ) from (" << bucket->from << L")");
    std::vector<bool> flags;
    const std::uint16_t base = _tcpServer.onACK(ack.nextSequenceNum, ack.ackVector, flags);
    while (!_sentRecordList.empty() && ZSeqNumLess(_sentRecordList.front().seqNum, base)) {
        const SentRecord record = _sentRecordList.front();
        _sentRecordList.pop_front();
        _onDrop(record);
    }
    std::uint16_t seqNum = base;
    for (bool delivered : flags) {
        // The sender settles only numbers it sent; a mismatch here is ours
        // to report, never a reason to stop the program.
        if (_sentRecordList.empty()) {
            ZLOG(L"WARNING Trying to ACK seqNum " << static_cast<int>(seqNum) << L" but no sent records, ignoring.");
            break;
        }
        const SentRecord record = _sentRecordList.front();
        ZWARNASSERT_T(record.seqNum == seqNum, "sentRecord.header.rtp.sequenceNum == seqNum");
        _sentRecordList.pop_front();
        if (!delivered) _onDrop(record);
        ++seqNum;
    }
    _sendBlocks();
    if (!_scan && ack.percent != _ackPercent) {
        _ackPercent = ack.percent;
        _instance->set(_key + L"_Complete", ZToString(static_cast<int>(ack.percent)) + L"%", false);
    }
}

void ZFileSendMapping::_onDrop(const SentRecord& record) {
    const int type = record.type;
    switch (type) {
    case ZRTPFT_INFO:
        // A lost note that the scan still runs needs no repeating: the
        // receiver asks again.
        if (record.length >= static_cast<std::uint32_t>(ZRTPFT_INFO_SIZE)) _sendRTPFTINFO();
        break;
    case ZRTPFT_BLOCK:
        _setBlockSent(record.blockNum, false);
        break;
    case ZRTPFT_CANCELRECV:
        _sendRTPFT(ZRTPFT_CANCELRECV);
        break;
    default:
        ZLOG(L"WARNING Dropped unrecognized payload type #" << type << L", ignoring.");
        break;
    }
}

// ---- time ---------------------------------------------------------------------------------

std::int64_t ZFileSendMapping::update() {
    ZTRACE();
    invariantTest();
    if (_done) return -1;
    if (_scan) {
        if (!_scan->isDone()) return kScanPoll;
        _onScanned();
    }
    if (!_runMapped) return 250000;
    const std::int64_t now = _now();
    const std::int64_t elapsed = now - _speedInterval.start;
    if (elapsed > _speedInterval.period) {
        _speedInterval.restart(now);
        const std::int64_t rate = static_cast<std::int64_t>(_sampleBytes) * 1000000 / std::max<std::int64_t>(1, elapsed);
        _speed = _speed * 25 / 100 + rate * 75 / 100;
        _instance->set(_key + L"_Speed", ZFormatByteSize(_speed) + L"ps", false);
        _sampleBytes = 0;
    }
    _sendBlocks();
    if (now - _activityInterval.start > _activityInterval.period) {
        _activityInterval.restart(now);
        ZLOG(L"WARNING Received no activity in " << static_cast<int>(_activityInterval.period / 1000000)
                                                 << L"s, cancelling.");
        _onDone(true);
        _sendRTPFT(ZRTPFT_CANCELRECV);
        return -1;
    }
    return _tcpServer.getRTORemaining();
}

void ZFileSendMapping::_onScanned() {
    _sha1Hash = _scan->getDigest();
    _scan.reset();
    ZWARNASSERT(!_sha1Hash.empty( ));
    _instance->set(_key + L"_Complete", std::wstring(L"--%"), false);
    if (_infoOwed) {
        _infoOwed = false;
        _sendRTPFTINFO();
    }
}

void ZFileSendMapping::_onDone(bool cancelled) {
    _scan.reset();
    _resetLock();
    const std::int64_t spent = std::max<std::int64_t>(1, _now() - _firstBlockTime);
    const std::int64_t average = _firstBlockTime ? static_cast<std::int64_t>(_totalBytesSent) * 1000000 / spent : 0;
    _instance->set(_key + L"_Speed", L"~" + ZFormatByteSize(average) + L"ps", false);
    _done = true;
    _outcome = cancelled ? L"Cancelled" : L"Done";
    if (!cancelled) {
        ZLOG(L"ACTIVITY: " << L"File send complete");
        _instance->set(_key + L"_Complete", std::wstring(L"100% (Done)"), false);
    } else {
        ZLOG(L"ACTIVITY: " << L"File send cancelled");
        _instance->set(_key + L"_Complete", _instance->get(_key + L"_Complete") + L" (Cancelled)", false);
    }
}

void ZFileSendMapping::_resetLock() {
    if (_fileLockPtr) ZFileMapUnlock(_fileMap, _fileLockPtr);
    _fileLockPtr = nullptr;
    _fileLockSize = 0;
    _chunkOffset = 0;
    _chunkMask.clear();
    _pumpCursor = 0;
    _runMapped = false;
}
