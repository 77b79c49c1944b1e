// The receiving end of a file transfer. Every BLOCK is checked against the
// file's size before a byte is written, at 64-bit offsets. Blocks that follow
// one another are gathered and written together: pages written whole are
// neither zero-filled nor faulted in one by one, as the pages of a mapped
// view are when first touched.
#include "ZFileRecvMapping.h"

#include <algorithm>

#include "ZFileDigest.h"
#include "ZFileSendMapping.h"
#include "ZFileService.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable_FileReplace.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

namespace {

// The most gathered before a write.
constexpr std::size_t kPendingLimit = 256 * 1024;
// The most a 32-bit block number reaches: 4 TiB.
constexpr std::uint64_t kLargestFile = (std::uint64_t{1} << 32) * ZFS_BLOCKSIZE;
// The SHA-1 digest of no bytes at all.
const char kEmptyDigest[] = "\xda\x39\xa3\xee\x5e\x6b\x4b\x0d\x32\x55\xbf\xef\x95\x60\x18\x90\xaf\xd8\x07\x09";
// How often the service looks whether the digest is ready.
constexpr std::int64_t kVerifyPoll = 10000;
// The verdict (DONE or CANCELSEND) is the last word the sender waits for and
// nothing answers it: it goes out this many times, so one lost datagram
// cannot leave the sender to time out and call a delivered file cancelled.
constexpr int kVerdictCopies = 3;

// Bit n of a block map, most significant bit first, at 64-bit indices.
bool heldBit(const std::string& map, std::uint64_t n) {
    return (static_cast<unsigned char>(map[static_cast<std::size_t>(n / 8)]) & (0x80 >> (n % 8))) != 0;
}

std::wstring displayName(const std::wstring& path) {
    std::list<std::wstring> parts;
    ZTokenize(parts, path, L"/\\");
    return parts.empty() ? std::wstring(L"<invalid>") : parts.back();
}

}  // namespace

std::wstring ZFileRecvMapping::outcomeText(Outcome outcome) {
    switch (outcome) {
    case Running: return L"Running";
    case Done: return L"Done";
    case Cancelled: return L"Cancelled";
    case Corrupt: return L"Corrupt";
    case Error: return L"Error";
    }
    return L"Error";
}

ZFileRecvMapping::ZFileRecvMapping(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& command,
                                   ZTCPClock clock)
    : _instance(instance), _port(port), _clock(clock ? clock : &ZTimeNow) {
    ZTRACE_KIND("ZFileRecvMapping");
    ZPRECONDITION(instance && port);
    _fileID = static_cast<std::int32_t>(command.calc64(L"File-ID"));
    _sendFrom = command.get(L"Send-From");
    _sendTo = command.get(L"Send-To");
    _recvFrom = command.get(L"Recv-From");
    _path = command.get(L"Path");
    _buddyDeviceGUID = command.get(L"Buddy-Device-GUID");
    _key = L"File#" + ZToString(static_cast<std::int64_t>(_fileID));
    invariantTest();
    _instance->insert(L"File_Recv_List", _key);
    _instance->set(_key + L"_Filename", displayName(_path), false);
    _instance->set(_key + L"_Size", std::wstring(L"--"), false);
    _instance->set(_key + L"_Speed", std::wstring(L"--BPS"), false);
    _setComplete(std::wstring(L"--%"));
    _activityInterval.restart(_now());
    _requestInterval.restart(_now());
    ZLOGC('F', L"Beginning to receive file, sending GETINFO");
    _sendRTPFT(ZRTPFT_GETINFO);
}

ZFileRecvMapping::~ZFileRecvMapping() {
    ZTRACE();
    _sendRTPFT(ZRTPFT_CANCELSEND);
    if (!isComplete()) _cancel();
    ZWARNASSERT(!_fileMap);
    ZWARNASSERT(_pending.empty( ));
}

void ZFileRecvMapping::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZWARNASSERT(!_sendFrom.empty( ));
    ZWARNASSERT(!_sendTo.empty( ));
    ZWARNASSERT(!_path.empty( ));
    ZWARNASSERT(!_buddyDeviceGUID.empty( ));
}

bool ZFileRecvMapping::isPeer(const std::wstring& host) const {
    return ZCaseEquals(host, _sendTo) || (!_recvFrom.empty() && ZCaseEquals(host, _recvFrom));
}

void ZFileRecvMapping::_sendRTPFT(std::uint8_t type) {
    ZSendRTPFT(_port, _sendFrom, _sendTo, 0, static_cast<std::uint32_t>(_fileID), type);
}

// The completion text is kept here too: every ACK carries it.
void ZFileRecvMapping::_setComplete(const std::wstring& text) {
    _completeText = text;
    _instance->set(_key + L"_Complete", text, false);
}

// One for every packet: built on the stack, nothing allocated.
void ZFileRecvMapping::_sendACK() {
    unsigned char message[ZRTPFT_BODY_SIZE] = {};
    ZComposeFT(message, 0, static_cast<std::uint32_t>(_fileID), ZRTPFT_ACK);
    ZComposeFTACK(message, ZFilePercentOf(_completeText), _tcpClient.getAckSeqNum(), _tcpClient.getVector());
    _port->send(_sendFrom, _sendTo, message, ZRTPFT_BODY_SIZE);
}

// ---- responses -----------------------------------------------------------------------------

void ZFileRecvMapping::dispatch(ZMegaPortBucket* bucket) {
    ZTRACE();
    invariantTest();
    if (isComplete()) return;
    const std::int64_t now = _now();
    _activityInterval.restart(now);
    _requestInterval.restart(now);
    _sampleBytes += bucket->buffer.size();
    _totalBytes += bucket->buffer.size();
    ZRTPFTHeader header;
    int remaining = 0;
    if (!ZDecomposeRTPFT(bucket->buffer.data(), static_cast<int>(bucket->buffer.size()), header, remaining)) return;
    _tcpClient.onRecv(header.rtp.seqNum);
    _sendACK();
    switch (header.type) {
    case ZRTPFT_INFO:
        _onINFO(bucket);
        break;
    case ZRTPFT_BLOCK:
        // Every block is held; late copies change nothing.
        if (_verify)
            ZLOGC('F', L"Received 'BLOCK' from (" << bucket->from << L") while verifying, ignoring.");
        else
            _onBLOCK(bucket);
        break;
    case ZRTPFT_CANCELRECV:
        _cancel();
        break;
    default:
        ZLOG(L"WARNING Invalid payload type #" << static_cast<int>(header.type) << L", ignoring.");
        break;
    }
}

void ZFileRecvMapping::_onINFO(ZMegaPortBucket* bucket) {
    ZLOGC('F', L"Received 'INFO' from (" << bucket->from << L")");
    if (bucket->buffer.size() == static_cast<std::size_t>(ZRTPFT_HEADER_SIZE)) {
        ZLOGC('F', L"Sender is still scanning the file, waiting.");
        return;
    }
    ZRTPFTINFO info;
    int remaining = 0;
    if (!ZDecomposeRTPFTINFO(bucket->buffer.data(), static_cast<int>(bucket->buffer.size()), info, remaining)) {
        ZLOG(L"WARNING Malformed 'INFO' received from (" << bucket->from << L"), ignoring.");
        return;
    }
    if (_haveInfo) {
        ZLOG(L"WARNING Received duplicate 'INFO', ignoring.");
        return;
    }
    _fileSize = info.filesize;
    _digest = info.digest;
    // Block numbers are 32-bit: a larger file cannot be asked for.
    if (_fileSize > kLargestFile) return _fail(L"WARNING Unable to lock file, cancelling.");
    // A temporary file of our own beside the target, made where nothing was
    // and written through the one descriptor that made it; the target is
    // touched only when the digest matched. The whole size is allocated at
    // once, so a size beyond the free space ends the transfer here instead
    // of the disk filling up later.
    for (int n = 0; n < 100 && _tempPath.empty(); ++n) {
        const std::wstring candidate = _path + L".part" + (n ? ZToString(n) : std::wstring());
        bool taken = false;
        if (_fileSize == 0) {
            if (ZFileCreateNew(candidate)) _tempPath = candidate;
            continue;
        }
        _fileMap = ZFileMapCreateNew(candidate, static_cast<std::int64_t>(_fileSize), &taken);
        if (_fileMap) _tempPath = candidate;
        else if (!taken) break;
    }
    if (_tempPath.empty()) return _fail(L"WARNING Unable to lock file, cancelling.");
    _haveInfo = true;
    _blockCount = (_fileSize + ZFS_BLOCKSIZE - 1) / ZFS_BLOCKSIZE;
    _blockMask.assign(static_cast<std::size_t>((_blockCount + 7) / 8), '\0');
    _instance->set(_key + L"_Size", ZFormatByteSize(static_cast<std::int64_t>(_fileSize)), false);
    if (_sendGETBLOCKS()) _startVerify();
}

// Takes the block's bytes into the gathered run, writing the run first when
// the block does not follow it or it is full; false when a write failed.
bool ZFileRecvMapping::_write(std::uint64_t offset, const unsigned char* data, std::size_t size) {
    if (!_pending.empty() && (offset != _pendingOffset + _pending.size() || _pending.size() + size > kPendingLimit) &&
        !_flush())
        return false;
    if (_pending.empty()) _pendingOffset = offset;
    _pending.append(reinterpret_cast<const char*>(data), size);
    return true;
}

bool ZFileRecvMapping::_flush() {
    if (_pending.empty()) return true;
    const bool written = ZFileMapWrite(_fileMap, static_cast<std::int64_t>(_pendingOffset), _pending.data(),
                                       static_cast<std::int64_t>(_pending.size()));
    _pending.clear();
    return written;
}

void ZFileRecvMapping::_onBLOCK(ZMegaPortBucket* bucket) {
    if (!_firstBlockTime) _firstBlockTime = _now();
    ZRTPFTBLOCK block;
    int remaining = 0;
    const unsigned char* data =
        ZDecomposeRTPFTBLOCK(bucket->buffer.data(), static_cast<int>(bucket->buffer.size()), block, remaining);
    // A block must belong to the announced file, at its exact size.
    const std::uint64_t offset = static_cast<std::uint64_t>(block.blockNum) * ZFS_BLOCKSIZE;
    const bool fits = data && _fileMap && block.blockNum < _blockCount &&
                      block.blockSize == std::min<std::uint64_t>(ZFS_BLOCKSIZE, _fileSize - offset) &&
                      remaining == block.blockSize;
    if (!fits) {
        ZLOG(L"WARNING Malformed 'BLOCK' request from (" << bucket->from << L"), ignoring.");
        return;
    }
    ZLOGC('F', L"Received 'BLOCK' from (" << bucket->from << L"), blockNum=" << block.blockNum
                                          << L", size=" << static_cast<int>(block.blockSize));
    if (!_write(offset, data, block.blockSize)) {
        ZLOG(L"WARNING Unable to lock file, cancelling.");
        _cancel();
        _sendRTPFT(ZRTPFT_CANCELSEND);
        return;
    }
    if (!heldBit(_blockMask, block.blockNum)) {
        char& byte = _blockMask[block.blockNum / 8];
        byte = static_cast<char>(static_cast<unsigned char>(byte) | (0x80 >> (block.blockNum % 8)));
        ++_heldBlocks;
        if (block.blockNum >= _runStart && block.blockNum < _runEnd) --_runMissing;
        const int percent = static_cast<int>(_heldBlocks * 100 / _blockCount);
        if (percent != _percent) {
            _percent = percent;
            _setComplete(ZToString(percent) + L"%");
        }
        // The run asked for is complete: the next one is asked for at once,
        // not after a silent second, and a complete file is verified.
        if (_runMissing == 0) {
            _requestInterval.restart(_now());
            if (_sendGETBLOCKS()) _startVerify();
        }
    }
}

// Asks for the run that starts at the chunk of the first missing block;
// true when nothing is missing.
bool ZFileRecvMapping::_sendGETBLOCKS() {
    // Whole bytes of held blocks first, then the bits of the first byte
    // that lacks one.
    std::uint64_t first = 0;
    while (first / 8 < _blockMask.size() && static_cast<unsigned char>(_blockMask[first / 8]) == 0xFF) first += 8;
    while (first < _blockCount && heldBit(_blockMask, first)) ++first;
    if (first >= _blockCount) {
        ZLOGC('F', L"Transfer complete");
        return true;
    }
    const std::uint32_t chunkOffset = static_cast<std::uint32_t>(first / ZFS_CHUNKSIZE);
    const std::uint32_t numChunks =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(_blockMask.size() - chunkOffset, ZFS_MAX_CHUNKS));
    _runStart = static_cast<std::uint64_t>(chunkOffset) * ZFS_CHUNKSIZE;
    _runEnd = std::min<std::uint64_t>(_blockCount, (static_cast<std::uint64_t>(chunkOffset) + numChunks) * ZFS_CHUNKSIZE);
    _runMissing = 0;
    for (std::uint64_t n = first; n < _runEnd; ++n) _runMissing += heldBit(_blockMask, n) ? 0 : 1;
    ZLOGC('F', L"Sending GETBLOCKS( chunkOffset=" << chunkOffset << L", numChunks=" << numChunks << L")");
    std::string message(ZRTPFT_BODY_SIZE, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&message[0]);
    ZComposeFT(p, 0, static_cast<std::uint32_t>(_fileID), ZRTPFT_GETBLOCKS);
    ZComposeGETBLOCKS(p, chunkOffset, numChunks);
    message.append(_blockMask, chunkOffset, numChunks);
    _port->send(_sendFrom, _sendTo, message);
    return false;
}

// ---- time and the end ---------------------------------------------------------------------------

std::int64_t ZFileRecvMapping::update() {
    ZTRACE();
    invariantTest();
    if (isComplete()) return -1;
    const std::int64_t now = _now();
    if (_verify) {
        if (_verify->isDone()) {
            _endVerify(_verify->getDigest());
            return -1;
        }
        // The sender hears from us while it waits for DONE.
        if (now - _requestInterval.start > _requestInterval.period) {
            _requestInterval.restart(now);
            _sendACK();
        }
        return kVerifyPoll;
    }
    // The blocks of a pass are written by its end.
    if (_fileMap && !_flush()) {
        ZLOG(L"WARNING Unable to lock file, cancelling.");
        _cancel();
        _sendRTPFT(ZRTPFT_CANCELSEND);
        return -1;
    }
    const std::int64_t elapsed = now - _speedInterval.start;
    if (elapsed > _speedInterval.period) {
        _speedInterval.restart(now);
        const std::int64_t rate = static_cast<std::int64_t>(_sampleBytes) * 1000000 / std::max<std::int64_t>(1, elapsed);
        _speed = _speed * 25 / 100 + rate * 75 / 100;
        _instance->set(_key + L"_Speed", ZFormatByteSize(_speed) + L"ps", false);
        _sampleBytes = 0;
    }
    if (now - _requestInterval.start > _requestInterval.period) {
        _requestInterval.restart(now);
        if (!_haveInfo) {
            ZLOGC('F', L"Sending GETINFO");
            _sendRTPFT(ZRTPFT_GETINFO);
        } else if (_sendGETBLOCKS()) {
            _startVerify();
            return isComplete() ? -1 : kVerifyPoll;
        }
    }
    if (now - _activityInterval.start > _activityInterval.period) {
        _activityInterval.restart(now);
        ZLOG(L"WARNING Received no activity in " << static_cast<int>(_activityInterval.period / 1000000)
                                                 << L"s, cancelling.");
        _cancel();
        _sendRTPFT(ZRTPFT_CANCELSEND);
        return -1;
    }
    const std::int64_t left = std::min(_requestInterval.period - (now - _requestInterval.start),
                                       _speedInterval.period - (now - _speedInterval.start));
    return std::max<std::int64_t>(0, left);
}

// Gathered blocks are written only for a file that is kept.
void ZFileRecvMapping::_closeFile() {
    _pending.clear();
    if (_fileMap) ZFileMapClose(_fileMap);
    _fileMap = nullptr;
}

void ZFileRecvMapping::_fail(const wchar_t* warning) {
    ZLOG(warning);
    for (const wchar_t* suffix : {L"_Size", L"_Speed"}) _instance->set(_key + suffix, std::wstring(L"(error)"), false);
    _setComplete(L"(error)");
    _closeFile();
    if (!_tempPath.empty()) ZFileDelete(_tempPath);
    _outcome = Error;
    _sendRTPFT(ZRTPFT_CANCELSEND);
}

// Every block is held: the digest is checked (on the digest thread) before
// the sender hears DONE, and only a matching file replaces the target.
void ZFileRecvMapping::_startVerify() {
    if (_fileMap && !_flush()) {
        ZLOG(L"WARNING Unable to lock file, cancelling.");
        _cancel();
        _sendRTPFT(ZRTPFT_CANCELSEND);
        return;
    }
    _closeFile();
    _setComplete(std::wstring(L"100% (Verifying...)"));
    if (_fileSize == 0) return _endVerify(std::string(kEmptyDigest, 20));
    _verify = std::make_unique<ZFileDigest>(_tempPath);
}

void ZFileRecvMapping::_endVerify(const std::string& digest) {
    _verify.reset();
    const bool matches = digest.size() == 20 && digest == _digest;
    if (matches && ZFileReplace(_tempPath, _path)) {
        ZLOGC('F', L"Sending DONE");
        for (int i = 0; i < kVerdictCopies; ++i) _sendRTPFT(ZRTPFT_DONE);
        ZLOG(L"ACTIVITY: " << L"File recv complete");
        _setComplete(std::wstring(L"100% (Done)"));
        _outcome = Done;
    } else {
        ZLOG(L"WARNING File received but SHA1 hash mismatch, deleting.");
        ZFileDelete(_tempPath);
        for (int i = 0; i < kVerdictCopies; ++i) _sendRTPFT(ZRTPFT_CANCELSEND);
        _setComplete(std::wstring(L"100% (Corrupt)"));
        _outcome = Corrupt;
    }
    const std::int64_t spent = std::max<std::int64_t>(1, _now() - _firstBlockTime);
    const std::int64_t average = _firstBlockTime ? static_cast<std::int64_t>(_totalBytes) * 1000000 / spent : 0;
    _instance->set(_key + L"_Speed", L"~" + ZFormatByteSize(average) + L"ps", false);
}

void ZFileRecvMapping::_cancel() {
    _verify.reset();
    _closeFile();
    const std::int64_t spent = std::max<std::int64_t>(1, _now() - _firstBlockTime);
    const std::int64_t average = _firstBlockTime ? static_cast<std::int64_t>(_totalBytes) * 1000000 / spent : 0;
    _instance->set(_key + L"_Speed", L"~" + ZFormatByteSize(average) + L"ps", false);
    _outcome = Cancelled;
    ZLOG(L"ACTIVITY: " << L"File recv cancelled");
    if (!_tempPath.empty()) ZFileDelete(_tempPath);
    _setComplete(_completeText + L" (Cancelled)");
}
