// The sending end of one file transfer: answers the receiver's GETINFO with
// the file's size and SHA-1 digest, maps the run of chunks each GETBLOCKS
// asks for and sends the blocks the receiver lacks as fast as the reliable
// sender allows, settles every ACK against its records, and publishes the
// transfer's progress in the store. The receiver decides when it is done.
// The digest is computed on a worker thread ("Scanning..."); a GETINFO that
// comes meanwhile is answered with a bare INFO header, which tells the
// receiver to keep waiting, and the INFO follows once the digest is known.
//
// Threading: every call comes from the file service's thread under the
// service's lock.
#pragma once

#include <cstdint>
#include <deque>
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

// The largest run one GETBLOCKS maps: 1024 chunks, 8 MB.
constexpr std::uint32_t ZFS_MAX_CHUNKS = 1024;

class ZFileSendMapping : public ZHeapObject {
public:
    ZFileSendMapping(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& command, ZTCPClock clock = nullptr);
    ~ZFileSendMapping() override;
    void invariantTest() override;

    void dispatch(ZMegaPortBucket* bucket);
    // Microseconds the service may sleep, or -1 once done.
    std::int64_t update();
    std::wstring getPath() const { return _path; }
    std::wstring getBuddyDeviceGUID() const { return _buddyDeviceGUID; }
    bool isComplete() const { return _done; }
    // "Done", "Cancelled" or "Error" once done, "Running" before.
    std::wstring getOutcome() const { return _outcome; }
    // Whether a packet from this host may act on the transfer.
    bool isPeer(const std::wstring& host) const;

private:
    void _sendRTPFT(std::uint8_t type);
    void _sendRTPFTINFO();
    void _onScanned();
    void _sendRTPFTBLOCK(std::uint32_t blockNum, const unsigned char* data, int length);
    // What is kept of a sent packet until an ACK settles it.
    struct SentRecord {
        std::uint16_t seqNum;
        std::uint8_t type;
        std::uint32_t blockNum;  // of a BLOCK
        std::uint32_t length;    // of the whole datagram
    };
    void _send(const std::string& message);
    void _onSent(const unsigned char* header, std::size_t length);
    void _sendBlocks();
    void _setBlockSent(std::uint32_t blockNum, bool sent);
    void _onGETBLOCKS(ZMegaPortBucket* bucket);
    void _onACK(ZMegaPortBucket* bucket);
    void _onDrop(const SentRecord& record);
    void _onDone(bool cancelled);
    void _resetLock();
    std::int64_t _now() const { return _clock(); }

    ZInstance* _instance;
    ZMegaPort* _port;
    ZTCPClock _clock;
    std::int32_t _fileID = 0;
    std::wstring _sendFrom;
    std::wstring _sendTo;
    std::wstring _recvFrom;
    std::wstring _path;
    std::wstring _buddyDeviceGUID;
    ZFileMap _fileMap = nullptr;
    std::uint32_t _chunkOffset = 0;
    std::string _chunkMask;
    int _pumpCursor = 0;  // no clear bit of _chunkMask lies before it
    bool _runMapped = false;
    ZInterval _speedInterval{0, 1000000};
    ZInterval _activityInterval{0, 10000000};
    unsigned char* _fileLockPtr = nullptr;
    std::uint64_t _fileLockSize = 0;
    std::wstring _key;
    std::uint64_t _fileSize = 0;
    std::uint64_t _totalBytesSent = 0;
    std::uint64_t _sampleBytes = 0;
    std::int64_t _speed = 0;
    std::int64_t _firstBlockTime = 0;
    int _ackPercent = -1;  // the last percentage an ACK reported
    bool _done = false;
    std::wstring _outcome = L"Running";
    ZTCPServer _tcpServer;
    std::uint16_t _seqNum = 0;
    std::deque<SentRecord> _sentRecordList;
    std::string _sha1Hash;
    std::unique_ptr<ZFileDigest> _scan;  // while the digest is computed
    bool _infoOwed = false;              // GETINFO came during the scan
};
