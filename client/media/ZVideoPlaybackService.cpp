#include "ZVideoPlaybackService.h"

#include <list>

#include "ZHTTPHeaders.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZVideoPlaybackStream.h"

namespace {

const wchar_t* const kQueue = L"ZVideoPlaybackService_commandQueue";

}  // namespace

ZVideoPlaybackService::ZVideoPlaybackService(ZInstance* instance, ZMegaPort* port) : _instance(instance), _port(port) {
    ZTRACE_KIND("ZVideoPlaybackService");
    ZPRECONDITION(instance);
    ZPRECONDITION(port);
    _instance->clear(L"Talking_To_List");
    _instance->clear(L"Listening_To_List");
    _wake = std::make_unique<ZMegaPortQueueWake>(instance, port);
    _wake->watch(kQueue);
}

ZVideoPlaybackService::~ZVideoPlaybackService() {
    ZTRACE();
    ZWARNASSERT(_nameStreamMap.empty( ));
    ZWARNASSERT(_remoteHostStreamMap.empty( ));
}

void ZVideoPlaybackService::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZThreadObject::invariantTest();
}

void ZVideoPlaybackService::_bZThreadObject_safe_onStartup() {
    ZTRACE();
    invariantTest();
    ZThreadSetPriority(2);
}

int ZVideoPlaybackService::_bZThreadObject_safe_onLoop() {
    ZTRACE();
    pass();
    // Streams check for silence and retire renderers on every pass; with
    // none open there is nothing to do until a packet or a command comes.
    const std::int64_t wait = _nameStreamMap.empty() ? ZPLAYBACK_IDLE_WAIT : ZPLAYBACK_STREAM_WAIT;
    unlock();
    _port->waitForRTPBucket(wait, ZRTP_AUDIO, ZRTP_VIDEO, _wake->event());
    lock();
    return 0;
}

void ZVideoPlaybackService::pass() {
    ZTRACE();
    invariantTest();
    ZScopedLock lock(this);
    _handlePackets();
    _handleCommands();
    for (auto& [name, stream] : _nameStreamMap) stream->update();
}

bool ZVideoPlaybackService::_unexpectedAllowed() {
    const std::int64_t second = ZTimeNow() / 1000000;
    if (second != _unexpectedSecond) {
        if (_unexpectedDropped)
            ZLOG(L"WARNING " << _unexpectedDropped << L" more datagrams from unexpected senders, not logged.");
        _unexpectedSecond = second;
        _unexpectedLines = 0;
        _unexpectedDropped = 0;
    }
    if (_unexpectedLines < ZPLAYBACK_UNEXPECTED_LINES_PER_SECOND) {
        ++_unexpectedLines;
        return true;
    }
    ++_unexpectedDropped;
    return false;
}

void ZVideoPlaybackService::_handlePackets() {
    for (;;) {
        ZMegaPortBucket* bucket = _port->getRTPBucket(ZRTP_AUDIO);
        if (!bucket) bucket = _port->getRTPBucket(ZRTP_VIDEO);
        if (!bucket) return;
        const std::string& data = bucket->buffer;
        const int length = static_cast<int>(data.size());
        ZLOGC('V', L"Received " << length << L"bytes from (" << bucket->from << L")");
        auto it = _remoteHostStreamMap.find(bucket->from);
        const bool report = ZIsRTCPSR(data.data(), length);
        std::wstring cname;
        std::uint32_t unused = 0;
        const bool decoded = report && ZRTCPSRDecompose(data.data(), length, unused, unused, unused, unused, unused,
                                                        unused, cname);
        if (it != _remoteHostStreamMap.end()) {
            ZVideoPlaybackStream* stream = it->second;
            if (report) {
                if (decoded)
                    ZWARNASSERT(ZCaseEquals( stream->getName( ), cname ));
                else
                    ZLOG(L"WARNING Received malformed RTCP-SR from '" << stream->getName() << L"' (" << bucket->from
                                                                       << L"), ignoring.");
            } else {
                stream->recv(data);
            }
        } else if (_unexpectedAllowed()) {
            if (decoded)
                ZLOG(L"WARNING Received unexpected RTCP-SR from '" << cname << L"' (" << bucket->from
                                                                   << L"), ignoring.");
            else
                ZLOG(L"WARNING Received unexpected " << length << L"bytes from (" << bucket->from << L"), ignoring.");
        }
        _port->returnEmptyBucket(bucket);
    }
}

void ZVideoPlaybackService::_handleCommands() {
    std::string command;
    while (_instance->dequeue(kQueue, command)) {
        ZHTTPHeaders headers;
        ZASSERT(headers.deserialize( command.c_str( ), command.size( ) ));
        const std::wstring method = headers.getMethod();
        ZLOGC('v', L"Processing '" << method << L"' command");
        const std::wstring name = headers.get(L"Buddy-Device-GUID");
        if (ZCaseEquals(method, L"OPEN")) {
            if (ZMAPCONTAINS(_nameStreamMap, name)) {
                ZLOGC('v', L"Received 'OPEN' request for playback stream '" << name
                                                                            << L"' that is already open, resetting.");
                _deleteStream(name);
            } else {
                ZLOGC('v', L"Received 'OPEN' request, beginning playback for '" << name << L"'.");
            }
            ZVideoPlaybackStream* stream = ZSAFENEW(ZVideoPlaybackStream, _instance, _port, headers);
            _nameStreamMap[name] = stream;
            _remoteHostStreamMap[headers.get(L"Recv-From-Host")] = stream;
        } else if (ZCaseEquals(method, L"CLOSE")) {
            if (ZMAPCONTAINS(_nameStreamMap, name)) {
                ZLOGC('v', L"Received 'CLOSE' request, stopping playback of queue '" << name << L"'.");
                _deleteStream(name);
            } else {
                ZLOGC('v', L"Received 'CLOSE' request, but no stream named '" << name << L"'; ignoring.");
            }
        } else {
            ZLOG(L"WARNING Unsupported command '" << method
                                                  << L"' sent to ZVideoPlaybackService_commandQueue, ignoring.");
        }
    }
}

void ZVideoPlaybackService::_deleteStream(const std::wstring& name) {
    ZTRACE();
    ZPRECONDITION(ZMAPCONTAINS( _nameStreamMap, name ));
    ZVideoPlaybackStream* deadStream = _nameStreamMap[name];
    _nameStreamMap.erase(name);
    std::list<std::wstring> deadHostList;
    for (const auto& [host, stream] : _remoteHostStreamMap)
        if (stream == deadStream) deadHostList.push_back(host);
    ZWARNASSERT(!deadHostList.empty( ));
    for (const std::wstring& host : deadHostList) _remoteHostStreamMap.erase(host);
    ZASSERT_PTR(deadStream);
    delete deadStream;
}

void ZVideoPlaybackService::_bZThreadObject_safe_onShutdown() {
    ZTRACE();
    invariantTest();
    if (!_nameStreamMap.empty())
        ZLOGC('v', _nameStreamMap.size() << L" live playback streams on close, stopping.");
    for (auto& [name, stream] : _nameStreamMap) {
        ZASSERT_PTR(stream);
        delete stream;
    }
    _nameStreamMap.clear();
    _remoteHostStreamMap.clear();
}
