// The file service's pass, its commands and the routing of file packets.
#include "ZFileService.h"

#include "ZFileRecvMapping.h"
#include "ZFileSendMapping.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZUtil.h"

namespace {

// The identifier in a transfer key "File#<id>"; 0 without the prefix.
std::int32_t idOfKey(const std::wstring& key) {
    if (!ZBeginsWith(ZToLower(key), L"file#")) return 0;
    return static_cast<std::int32_t>(ZToInt64(key.substr(5)));
}

}  // namespace

void ZSendRTPFT(ZMegaPort* port, const std::wstring& fromHost, const std::wstring& toHost, std::uint16_t seqNum,
                std::uint32_t fileID, std::uint8_t type) {
    port->send(fromHost, toHost, ZRTPFTMessage(seqNum, fileID, type));
}

ZFileService::ZFileService(ZInstance* instance, ZMegaPort* port, const std::wstring& commandQueue)
    : _instance(instance), _port(port), _clock(&ZTimeNow), _commandQueue(commandQueue) {
    ZTRACE_KIND("ZFileService");
    ZPRECONDITION_T(instance, "instance");
    ZPRECONDITION_T(port, "port");
    _wake = std::make_unique<ZMegaPortQueueWake>(instance, port);
    _wake->watch(_commandQueue);
}

ZFileService::~ZFileService() {
    ZTRACE();
    ZWARNASSERT(_idSendMappingMap.empty( ));
    ZWARNASSERT(_idRecvMappingMap.empty( ));
}

void ZFileService::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZThreadObject::invariantTest();
}

void ZFileService::setClock(ZTCPClock clock) {
    _clock = clock ? clock : &ZTimeNow;
}

void ZFileService::_bZThreadObject_safe_onStartup() {
    invariantTest();
    ZThreadSetPriority(-1);
}

int ZFileService::_bZThreadObject_safe_onLoop() {
    const std::int64_t wait = runPass();
    unlock();
    _port->waitForRTPBucket(wait, ZRTP_FILE, _wake->event());
    lock();
    return 0;
}

void ZFileService::_bZThreadObject_safe_onShutdown() {
    invariantTest();
    _reset();
}

std::int64_t ZFileService::runPass() {
    ZTRACE();
    ZScopedLock hold(this);
    invariantTest();
    // A pass's datagrams (a block per ACK, an ACK per block) leave together.
    ZMegaPortSendBatch batch(_port);
    while (ZMegaPortBucket* bucket = _port->getRTPBucket(ZRTP_FILE)) {
        _onPacket(bucket);
        _port->returnEmptyBucket(bucket);
    }
    std::string item;
    while (_instance->dequeue(_commandQueue, item)) {
        ZHTTPHeaders headers;
        ZASSERT_T(headers.deserialize(item.c_str(), static_cast<int>(item.size())) > 0,
                  "headers.deserialize( command.c_str( ), command.size( ) )");
        _onCommand(headers);
    }
    // Mappings ask for their own times; with none the service only waits.
    std::int64_t wait = ZFILESERVICE_LONGEST_WAIT;
    std::list<std::int32_t> deadSend, deadRecv;
    for (auto& [id, mapping] : _idSendMappingMap) {
        const std::int64_t next = mapping->update();
        if (next == -1)
            deadSend.push_back(id);
        else if (next < wait)
            wait = next;
    }
    for (auto& [id, mapping] : _idRecvMappingMap) {
        const std::int64_t next = mapping->update();
        if (next == -1)
            deadRecv.push_back(id);
        else if (next < wait)
            wait = next;
    }
    _clean(deadSend, deadRecv);
    return wait;
}

// A mapping's packets are taken only from its peer: File-IDs can be guessed.
void ZFileService::_onPacket(ZMegaPortBucket* bucket) {
    ZLOGC('F', L"Received " << static_cast<int>(bucket->buffer.size()) << L"bytes from (" << bucket->from << L")");
    ZRTPFTHeader header;
    int remaining = 0;
    if (!ZDecomposeRTPFT(bucket->buffer.data(), static_cast<int>(bucket->buffer.size()), header, remaining)) {
        ZLOG(L"WARNING Received malformed RTPFT packet from (" << bucket->from << L"), ignoring.");
        return;
    }
    const std::int32_t id = static_cast<std::int32_t>(header.fileID);
    switch (header.type) {
    case ZRTPFT_GETINFO:
    case ZRTPFT_GETBLOCKS:
    case ZRTPFT_ACK:
    case ZRTPFT_CANCELSEND:
    case ZRTPFT_DONE: {
        auto found = _idSendMappingMap.find(id);
        if (found != _idSendMappingMap.end() && found->second->isPeer(bucket->from))
            found->second->dispatch(bucket);
        else
            ZLOGC('F', L"Received request from (" << bucket->from << L") for invalid fileID #" << header.fileID
                                                  << L", ignoring.");
        break;
    }
    case ZRTPFT_INFO:
    case ZRTPFT_BLOCK:
    case ZRTPFT_CANCELRECV: {
        auto found = _idRecvMappingMap.find(id);
        if (found != _idRecvMappingMap.end() && found->second->isPeer(bucket->from))
            found->second->dispatch(bucket);
        else
            ZLOGC('F', L"Received response from (" << bucket->from << L") for invalid fileID #" << header.fileID
                                                   << L", ignoring.");
        break;
    }
    default:
        ZLOG(L"WARNING Unrecognized RTPFT packet type #" << static_cast<int>(header.type) << L", ignoring.");
        break;
    }
}

void ZFileService::_onCommand(const ZHTTPHeaders& command) {
    const std::wstring method = command.getMethod();
    const std::int32_t id = static_cast<std::int32_t>(command.calc64(L"File-ID"));
    if (ZCaseEquals(method, L"SENDFILE")) {
        ZLOGC('f', L"Creating send mapping for fileID#" << id << L" to (" << command.get(L"Send-To") << L") via ("
                                                        << command.get(L"Send-From") << L")");
        auto found = _idSendMappingMap.find(id);
        if (found != _idSendMappingMap.end()) {
            ZLOG(L"WARNING Pre-existing send mapping exists for fileID#" << id << L", overriding.");
            delete found->second;
            _idSendMappingMap.erase(found);
        }
        _idSendMappingMap[id] = ZSAFENEW(ZFileSendMapping, _instance, _port, command, _clock);
        _idPathMap[id] = command.get(L"Path");
    } else if (ZCaseEquals(method, L"RECVFILE")) {
        // Nowhere to put the file: the receive could only end at the final move.
        if (command.get(L"Path").empty()) {
            ZLOG(L"WARNING Received 'RECVFILE' for fileID#" << id << L" without a path, ignoring.");
            return;
        }
        auto found = _idRecvMappingMap.find(id);
        if (found != _idRecvMappingMap.end()) {
            ZLOG(L"WARNING Pre-existing recv mapping exists for fileID#" << id << L", overriding.");
            delete found->second;
            _idRecvMappingMap.erase(found);
        }
        _idRecvMappingMap[id] = ZSAFENEW(ZFileRecvMapping, _instance, _port, command, _clock);
    } else if (ZCaseEquals(method, L"RESET")) {
        ZLOGC('f', L"Resetting service");
        _reset();
    } else if (ZCaseEquals(method, L"CANCEL")) {
        const std::wstring device = command.get(L"Buddy-Device-GUID");
        const std::wstring key = command.get(L"File-ID");
        if (!device.empty()) {
            ZLOGC('f', L"Cancelling all transfers to and from '" << device << L"'");
            std::list<std::int32_t> send, recv;
            for (auto& [mid, mapping] : _idSendMappingMap)
                if (ZCaseEquals(mapping->getBuddyDeviceGUID(), device)) send.push_back(mid);
            for (auto& [mid, mapping] : _idRecvMappingMap)
                if (ZCaseEquals(mapping->getBuddyDeviceGUID(), device)) recv.push_back(mid);
            _clean(send, recv);
        } else if (!key.empty()) {
            const std::int32_t keyID = idOfKey(key);
            ZLOGC('f', L"Cancelling all transfers with ID" << keyID);
            std::list<std::int32_t> send, recv;
            if (_idSendMappingMap.count(keyID)) send.push_back(keyID);
            if (_idRecvMappingMap.count(keyID)) recv.push_back(keyID);
            _clean(send, recv);
        } else {
            ZLOG(L"WARNING Tried to 'CANCEL' mappings, but no filter given; ignoring.");
        }
    } else if (ZCaseEquals(method, L"OPEN")) {
        const std::wstring key = command.get(L"File-ID");
        if (key.empty()) {
            ZLOG(L"WARNING Tried to 'OPEN' mappings, but no fileID given; ignoring.");
            return;
        }
        const std::int32_t keyID = idOfKey(key);
        auto found = _idPathMap.find(keyID);
        if (found == _idPathMap.end()) {
            ZLOG(L"WARNING Trying to 'OPEN' unrecognized file#" << keyID << L", ignoring.");
            return;
        }
        std::string error;
        ZSystemExecute(ZToUTF8(found->second), std::string(), error);
        if (error.empty())
            ZLOG(L"ACTIVITY: " << L"'OPEN'");
        else
            ZLOG(L"WARNING Unable to 'OPEN' path '" << found->second << L"', error='" << error << L"'");
    } else {
        ZLOG(L"WARNING Unrecognized command '" << method << L"', ignoring.");
    }
}

// Every ended mapping is reported with how it ended; deleting a mapping
// that has not ended cancels it (its destructor tells the peer).
void ZFileService::_clean(const std::list<std::int32_t>& deadSend, const std::list<std::int32_t>& deadRecv) {
    for (std::int32_t id : deadSend) {
        ZLOGC('F', L"Cleaning up dead sender for file# " << id);
        auto found = _idSendMappingMap.find(id);
        if (found == _idSendMappingMap.end()) continue;
        ZFileSendMapping* mapping = found->second;
        _idSendMappingMap.erase(found);
        ZASSERT_PTR(mapping);
        const std::wstring outcome = mapping->isComplete() ? mapping->getOutcome() : std::wstring(L"Cancelled");
        ZHTTPHeaders complete(L"SENDFILECOMPLETE");
        complete.set(L"Path", mapping->getPath());
        complete.set(L"Buddy-Device-GUID", mapping->getBuddyDeviceGUID());
        complete.set(L"Outcome", outcome);
        _idPathMap[id] = mapping->getPath();
        delete mapping;
        _instance->enqueue(L"ZClient_commandQueue", complete.serialize());
    }
    for (std::int32_t id : deadRecv) {
        ZLOGC('F', L"Cleaning up dead receiver for file# " << id);
        auto found = _idRecvMappingMap.find(id);
        if (found == _idRecvMappingMap.end()) continue;
        ZFileRecvMapping* mapping = found->second;
        _idRecvMappingMap.erase(found);
        ZASSERT_PTR(mapping);
        ZHTTPHeaders complete(L"RECVFILECOMPLETE");
        complete.set(L"Path", mapping->getPath());
        complete.set(L"Buddy-Device-GUID", mapping->getBuddyDeviceGUID());
        const ZFileRecvMapping::Outcome outcome =
            mapping->isComplete() ? mapping->getOutcome() : ZFileRecvMapping::Cancelled;
        if (outcome == ZFileRecvMapping::Done) _idPathMap[id] = mapping->getPath();
        complete.set(L"Outcome", ZFileRecvMapping::outcomeText(outcome));
        delete mapping;  // a receive not yet ended is cancelled here
        _instance->enqueue(L"ZClient_commandQueue", complete.serialize());
    }
}

void ZFileService::_reset() {
    for (auto& [id, mapping] : _idSendMappingMap) {
        ZASSERT_PTR(mapping);
        delete mapping;
    }
    _idSendMappingMap.clear();
    for (auto& [id, mapping] : _idRecvMappingMap) {
        ZASSERT_PTR(mapping);
        delete mapping;
    }
    _idRecvMappingMap.clear();
}
