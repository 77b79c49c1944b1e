#include "ZVideoPlaybackStream.h"

#include <cstring>
#include <stdexcept>

#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZSpeex.h"
#include "ZTheora.h"
#include "ZUtil.h"
#include "ZVideoRenderer.h"

#define ZPLAYBACK_LOG(...) ZLOG(L"'" << _name << L"' " << __VA_ARGS__)
#define ZPLAYBACK_LOGC(category, ...) ZLOGC(category, L"'" << _name << L"' " << __VA_ARGS__)

namespace {

constexpr std::int64_t kInactivityTimeout = 1000000;
constexpr std::uint8_t kAudio = 1;
constexpr std::uint8_t kVideo = 2;

}  // namespace

void ZSplitBuddyDevice(const std::wstring& text, std::wstring& before, std::wstring& after) {
    const std::size_t at = text.rfind(L'@');
    if (at == std::wstring::npos) {
        before = after = text;
        return;
    }
    before = text.substr(0, at);
    after = text.substr(at + 1);
}

ZVideoPlaybackStream::ZVideoPlaybackStream(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& headers)
    : _instance(instance), _port(port), _clock(ZTimeNow) {
    ZTRACE_KIND("ZVideoPlaybackStream");
    _name = headers.get(L"Buddy-Device-GUID");
    std::wstring device;
    ZSplitBuddyDevice(_name, _buddyGUID, device);
    _outImageName = _buddyGUID + L"_Image";
    ZPLAYBACK_LOGC('v', L"Creating video stream");
    if (!_instance->isSet(L"Prebuffer_MS")) _instance->set(L"Prebuffer_MS", std::int64_t{500}, false);
    _newRenderer();
    _instance->set(_name + L"_Video_Playback_Online", std::int64_t{1}, false);
}

ZVideoPlaybackStream::~ZVideoPlaybackStream() {
    ZTRACE();
    _instance->clear(_name + L"_Video_Playback_Online");
    ZPLAYBACK_LOGC('v', L"Destroying video stream");
    for (ZVideoRenderer* renderer : _sunsetList) delete renderer;
    delete _videoRenderer;
    delete _videoDecoder;
    delete _audioDecoder;
}

void ZVideoPlaybackStream::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZASSERT(!_name.empty( ));
    ZASSERT(!_outImageName.empty( ));
    ZASSERT_PTR(_videoRenderer);
    ZThreadSafeObject::invariantTest();
}

std::wstring ZVideoPlaybackStream::getName() {
    ZScopedLock lock(this);
    return _name;
}

void ZVideoPlaybackStream::_newRenderer() {
    _videoRenderer = ZSAFENEW(ZVideoRenderer, _instance, _outImageName,
                              static_cast<std::uint64_t>(_instance->calc(L"Prebuffer_MS")) * 1000);
}

void ZVideoPlaybackStream::recv(const std::string& datagram) {
    ZTRACE();
    invariantTest();
    int payloadType = 0, length = 0;
    std::uint32_t seq = 0, timestamp = 0, ssrc = 0;
    const unsigned char* payload =
        ZRTPDecompose(datagram.data(), static_cast<int>(datagram.size()), payloadType, seq, timestamp, ssrc, length);
    if (!payload) {
        ZPLAYBACK_LOG(L"WARNING Malformed RTP packet received from '" << _name << L"'");
        return;
    }
    if (payloadType == kVideo)
        _recvVideo(seq, static_cast<std::int32_t>(timestamp), payload, length);
    else if (payloadType == kAudio)
        _recvAudio(seq, static_cast<std::int32_t>(timestamp), payload, length);
    else
        ZPLAYBACK_LOG(L"WARNING Received unknown RTP payload type #" << payloadType << L", ignoring.");
}

bool ZVideoPlaybackStream::_inOrder(std::uint32_t seq, std::int32_t& last, const wchar_t* kind) {
    // Serial arithmetic: the 16-bit numbers wrap after about 55 minutes of talk.
    const std::uint32_t ahead = (seq - static_cast<std::uint32_t>(last)) & 0xFFFF;
    if (ahead == 0 || ahead >= 0x8000) return false;
    if (ahead != 1)
        ZPLAYBACK_LOG(L"WARNING Expecting " << kind << L" packet #" << ((last + 1) & 0xFFFF)
                                           << L" but actually received #" << seq);
    last = static_cast<std::int32_t>(seq & 0xFFFF);
    return true;
}

void ZVideoPlaybackStream::_recvVideo(std::uint32_t seq, std::int32_t timestamp, const unsigned char* payload,
                                      int length) {
    ZPLAYBACK_LOGC('V', L"Received frame video packet (" << length << L" bytes)");
    if (length < 4) {
        ZPLAYBACK_LOG(L"WARNING Malformed RTP VIDEO DATA packet, ignoring.");
        return;
    }
    std::uint32_t side = 0;
    std::memcpy(&side, payload, 4);
    if (!_inOrder(seq, _lastVideoSequence, L"video")) return;
    _resetVideo(side, side);
    if (length == 4) return;
    if (!_videoDecoder) {
        ZPLAYBACK_LOG(L"WARNING Received VIDEO DATA packet before video decoder initialized (maybe we missed the "
                      L"headers?), ignoring.");
        return;
    }
    try {
        ZImageFormat format;
        _keyFrameSeen |= _videoDecoder->decode(payload + 4, length - 4, format, _videoFrameBuffer);
        if (_instance->test(L"ZScreenService_sendStreamActive") || !_keyFrameSeen) return;
        _videoRenderer->queueVideo(static_cast<std::uint64_t>(static_cast<std::int64_t>(timestamp) * 1000), format,
                                   reinterpret_cast<const unsigned char*>(_videoFrameBuffer.data()));
        _instance->set(_buddyGUID + L"_Video_Buffer_Length",
                       static_cast<std::int64_t>(_videoRenderer->getVideoBufferedLength() / 1000), false);
    } catch (const std::runtime_error&) {
        ZPLAYBACK_LOG(L"WARNING Received invalid video frame packet, ignoring.");
    }
}

void ZVideoPlaybackStream::_recvAudio(std::uint32_t seq, std::int32_t timestamp, const unsigned char* payload,
                                      int length) {
    ZPLAYBACK_LOGC('A', L"Received frame audio packet (" << length << L" bytes)");
    if (length < 4) {
        ZPLAYBACK_LOG(L"WARNING Malformed RTP AUDIO DATA packet, ignoring.");
        return;
    }
    std::uint32_t rate = 0;
    std::memcpy(&rate, payload, 4);
    if (!_inOrder(seq, _lastAudioSequence, L"audio")) return;
    _resetAudio(rate);
    if (length == 4) return;
    _lastAudioTime = _clock();
    if (!_audioDecoder) {
        ZPLAYBACK_LOG(L"WARNING Received AUDIO DATA packet before audio decoder initialized (maybe we missed the "
                      L"headers?), ignoring.");
        return;
    }
    ZASSERT(_videoRenderer);
    try {
        _audioDecoder->decode(payload + 4, length - 4, _audioSampleBuffer);
        _videoRenderer->queueAudio(static_cast<std::uint64_t>(static_cast<std::int64_t>(timestamp) * 1000),
                                   _audioDecoder->getWaveFormat(),
                                   reinterpret_cast<const unsigned char*>(_audioSampleBuffer.data()),
                                   static_cast<int>(_audioSampleBuffer.size()));
        _instance->set(_buddyGUID + L"_Audio_Buffer_Length",
                       static_cast<std::int64_t>(_videoRenderer->getAudioBufferedLength() / 1000), false);
    } catch (const std::runtime_error&) {
        ZPLAYBACK_LOG(L"WARNING Received invalid audio frame packet, ignoring.");
    }
}

void ZVideoPlaybackStream::_resetVideo(std::uint32_t width, std::uint32_t height) {
    if (width == _videoWidth && height == _videoHeight) return;
    delete _videoDecoder;
    _videoDecoder = nullptr;
    _videoWidth = _videoHeight = 0;
    _keyFrameSeen = false;
    // A peer's side is bounded before anything is built for it.
    if (width < ZPLAYBACK_MIN_SIDE || width > ZPLAYBACK_MAX_SIDE || width % 16 || height != width) {
        ZPLAYBACK_LOG(L"WARNING Received invalid video header packet; ignoring.");
        return;
    }
    try {
        std::string codebook;
        ZTheoraEncoder_generateCodebook(codebook, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
        _videoDecoder = ZSAFENEW(ZTheoraDecoder, reinterpret_cast<const unsigned char*>(codebook.data()),
                                 static_cast<int>(codebook.size()));
        _videoWidth = width;
        _videoHeight = height;
    } catch (const std::runtime_error&) {
        ZPLAYBACK_LOG(L"WARNING Received invalid video header packet; ignoring.");
    }
}

void ZVideoPlaybackStream::_resetAudio(std::uint32_t rate) {
    _lastAudioTime = 0;
    if (rate == _audioSampleRate) return;
    if (rate && (rate < ZPLAYBACK_MIN_RATE || rate > ZPLAYBACK_MAX_RATE)) {
        ZPLAYBACK_LOG(L"WARNING Received invalid audio header packet; ignoring.");
        return;
    }
    delete _audioDecoder;
    _audioDecoder = nullptr;
    _audioSampleRate = 0;
    if (rate) {
        try {
            std::string codebook;
            ZSpeexEncoder_generateCodebook(codebook, static_cast<std::int32_t>(rate));
            _audioDecoder = ZSAFENEW(ZSpeexDecoder, reinterpret_cast<const unsigned char*>(codebook.data()), 4);
            _audioSampleRate = rate;
        } catch (const std::runtime_error&) {
            ZPLAYBACK_LOG(L"WARNING Received invalid audio header packet; ignoring.");
        }
        _startListeningTo();
        _lastAudioTime = _clock();
    } else {
        _stopListeningTo();
    }
    if (_videoRenderer->done()) {
        delete _videoRenderer;
        ZPLAYBACK_LOGC('v', L"Discarded renderer");
    } else {
        ZPLAYBACK_LOGC('v', L"Adding video renderer to sunset list due to "
                                << (_videoRenderer->getAudioBufferedLength() / 1000)
                                << L"ms of buffered audio remaining...");
        _videoRenderer->finish();
        _sunsetList.push_back(_videoRenderer);
        // A sender that keeps changing its rate must not park a device and
        // two threads per packet.
        while (_sunsetList.size() > ZPLAYBACK_MAX_SUNSET) {
            delete _sunsetList.front();
            _sunsetList.pop_front();
        }
    }
    _newRenderer();
    _instance->clear(_buddyGUID + L"_Video_Buffer_Length");
    _instance->clear(_buddyGUID + L"_Audio_Buffer_Length");
}

void ZVideoPlaybackStream::_startListeningTo() {
    _instance->insert(L"Listening_To_List", _buddyGUID);
    ZPLAYBACK_LOGC('v', L"Added '" << _buddyGUID << L"' to 'Listening_To_List'");
    ZHTTPHeaders message(L"LISTENINGTO");
    message.set(L"User-GUID", _buddyGUID);
    _instance->enqueue(L"ZClient_commandQueue", message.serialize());
}

void ZVideoPlaybackStream::_stopListeningTo() {
    _instance->remove(L"Listening_To_List", _buddyGUID);
    ZPLAYBACK_LOGC('v', L"Removed '" << _buddyGUID << L"' from 'Listening_To_List'");
}

void ZVideoPlaybackStream::update() {
    ZTRACE();
    invariantTest();
    const std::int64_t now = _clock();
    if (_lastAudioTime && now - _lastAudioTime > kInactivityTimeout) {
        ZPLAYBACK_LOG(L"WARNING Inactivity timeout (" << ((now - _lastAudioTime) / 1000) << L"ms), resetting audio.");
        _resetAudio(0);
    }
    _instance->set(_buddyGUID + L"_Video_Buffer_Length",
                   static_cast<std::int64_t>(_videoRenderer->getVideoBufferedLength() / 1000), false);
    _instance->set(_buddyGUID + L"_Audio_Buffer_Length",
                   static_cast<std::int64_t>(_videoRenderer->getAudioBufferedLength() / 1000), false);
    for (auto it = _sunsetList.begin(); it != _sunsetList.end();) {
        if ((*it)->done()) {
            ZPLAYBACK_LOGC('v', L"Self destructing sunset renderer");
            delete *it;
            it = _sunsetList.erase(it);
        } else {
            ++it;
        }
    }
}
