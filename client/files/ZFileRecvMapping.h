// The receiving end of one file transfer, and the side that drives it: asks
// for the file's size and digest, then for the blocks it lacks (again after
// every silent second, and for the next run as soon as one is complete),
// acknowledges every packet, and keeps the file only
// when its SHA-1 digest matches. The file is received into a temporary file
// beside the target, which replaces the target only after the digest
// matched; a failed or cancelled transfer leaves the target as it was.
// The digest is computed on a worker thread ("Verifying..."); meanwhile the
// last ACK is repeated every second so that the sender keeps waiting, and
// silence does not end the receive.
//
// Threading: every call comes from the file service's thread under the
// service's lock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZObject.h"
#include "ZPortable_Helpers.h"
#include "ZTCP.h"

class ZInstance;
class ZMegaPort;
class ZMegaPortBucket;
class ZFileDigest;

class ZFileRecvMapping : public ZHeapObject {
public:
    // How a receive ended.
    enum Outcome { Running, Done, Cancelled, Corrupt, Error };

    ZFileRecvMapping(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& command, ZTCPClock clock = nullptr);
    ~ZFileRecvMapping() override;
    void invariantTest() override;

    void dispatch(ZMegaPortBucket* bucket);
    std::int64_t update();
    std::wstring getPath() const { return _path; }
    std::wstring getBuddyDeviceGUID() const { return _buddyDeviceGUID; }
    bool isComplete() const { return _outcome != Running; }
    Outcome getOutcome() const { return _outcome; }
    static std::wstring outcomeText(Outcome outcome);
    bool isPeer(const std::wstring& host) const;

private:
    void _onINFO(ZMegaPortBucket* bucket);
    void _onBLOCK(ZMegaPortBucket* bucket);
    bool _sendGETBLOCKS();
    void _sendACK();
    void _setComplete(const std::wstring& text);
    void _sendRTPFT(std::uint8_t type);
    bool _write(std::uint64_t offset, const unsigned char* data, std::size_t size);
    bool _flush();
    void _closeFile();
    void _startVerify();
    void _endVerify(const std::string& digest);
    void _cancel();
    void _fail(const wchar_t* warning);
    std::int64_t _now() const { return _clock(); }

    ZInstance* _instance;
    ZMegaPort* _port;
    ZTCPClock _clock;
    ZInterval _requestInterval{0, 1000000};
    ZInterval _speedInterval{0, 1000000};
    ZInterval _activityInterval{0, 10000000};
    std::int32_t _fileID = 0;
    std::string _blockMask;
    std::uint64_t _blockCount = 0;
    std::uint64_t _heldBlocks = 0;
    int _percent = -1;             // last published percentage
    std::uint64_t _runStart = 0;   // the blocks of the last GETBLOCKS
    std::uint64_t _runEnd = 0;
    std::uint64_t _runMissing = 0;  // of those, not yet held
    bool _haveInfo = false;
    std::uint64_t _fileSize = 0;
    std::string _digest;
    std::wstring _sendFrom;
    std::wstring _sendTo;
    std::wstring _recvFrom;
    std::wstring _path;
    std::wstring _tempPath;
    std::wstring _buddyDeviceGUID;
    Outcome _outcome = Running;
    std::wstring _key;
    std::wstring _completeText;  // what "<key>_Complete" holds
    ZFileMap _fileMap = nullptr;
    // Blocks that follow one another, gathered for one write at _pendingOffset.
    std::string _pending;
    std::uint64_t _pendingOffset = 0;
    std::uint64_t _sampleBytes = 0;
    std::uint64_t _totalBytes = 0;
    std::int64_t _speed = 0;
    ZTCPClient _tcpClient{0, 0xFFFFFFFF};
    std::int64_t _firstBlockTime = 0;
    std::unique_ptr<ZFileDigest> _verify;  // while the digest is computed
};
