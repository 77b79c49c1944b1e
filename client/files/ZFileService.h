// The file service carries out file transfers in both directions: a send
// mapping per file this device sends and a receive mapping per file it
// receives, each known by the transfer's File-ID. Each pass hands every
// file packet to its mapping (only from that mapping's peer), carries out
// the commands on "ZFileService_commandQueue", gives every mapping its timed
// work, and reports finished ones on "ZClient_commandQueue" with their
// outcome.
//
// Threading: one thread of its own, "ZClient.ZFileService". The mappings
// are touched only there, with the object's lock held; the lock is let go
// only while the pass waits on the switchboard. Other threads reach the
// service through its queue, and a command ends the wait at once. setClock
// is for the owner before start.
// A test harness that rewrites the commands on their way may give the
// service another queue to read.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZThreadObject.h"
#include "ZTCP.h"

class ZInstance;
class ZMegaPort;
class ZMegaPortBucket;
class ZMegaPortQueueWake;
class ZFileSendMapping;
class ZFileRecvMapping;

// Sends the 20-byte header-only file-transfer message (GETINFO, CANCELSEND,
// DONE and the like) from one address to another through the switchboard.
void ZSendRTPFT(ZMegaPort* port, const std::wstring& fromHost, const std::wstring& toHost, std::uint16_t seqNum,
                std::uint32_t fileID, std::uint8_t type);
// The longest wait of a pass with nothing due, in microseconds.
constexpr std::int64_t ZFILESERVICE_LONGEST_WAIT = 250000;

class ZFileService : public ZThreadObject {
public:
    ZFileService(ZInstance* instance, ZMegaPort* port,
                 const std::wstring& commandQueue = L"ZFileService_commandQueue");
    ~ZFileService() override;
    void invariantTest() override;

    void setClock(ZTCPClock clock);
    // One pass without the wait; the microseconds the pass would wait.
    std::int64_t runPass();

protected:
    void _bZThreadObject_safe_onStartup() override;
    int _bZThreadObject_safe_onLoop() override;
    void _bZThreadObject_safe_onShutdown() override;

private:
    void _onPacket(ZMegaPortBucket* bucket);
    void _onCommand(const ZHTTPHeaders& command);
    void _clean(const std::list<std::int32_t>& deadSend, const std::list<std::int32_t>& deadRecv);
    void _reset();

    ZInstance* _instance;
    ZMegaPort* _port;
    ZTCPClock _clock;
    std::wstring _commandQueue;
    std::unique_ptr<ZMegaPortQueueWake> _wake;
    std::map<std::int32_t, ZFileSendMapping*> _idSendMappingMap;
    std::map<std::int32_t, ZFileRecvMapping*> _idRecvMappingMap;
    std::map<std::int32_t, std::wstring> _idPathMap;
};
