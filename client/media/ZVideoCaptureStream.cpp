#include "ZVideoCaptureStream.h"

#include <cstdlib>
#include <cstring>

#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZSessionHelpers.h"
#include "ZSpeex.h"
#include "ZTheora.h"
#include "ZUtil.h"

namespace {

// Audio chunks stay under this many 32-bit words of PCM per packet.
constexpr int kMaxAudioChunkWords = 1400;

const wchar_t* yesNo(bool b) { return b ? L"YES" : L"NO"; }

}  // namespace

#define ZSTREAM_LOGC(category, ...) ZLOGC(category, L"'" << _name << L"' " << __VA_ARGS__)

ZVideoCaptureStream::ZVideoCaptureStream(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& headers)
    : _instance(instance), _port(port) {
    ZTRACE_KIND("ZVideoCaptureStream");
    ZPRECONDITION(instance && port);
    _audioMutex = ZMutexOpen();
    _videoMutex = ZMutexOpen();
    _name = ZComposeAddress(_instance->get(L"Local_User_GUID"), _instance->get(L"Local_Device_GUID"));
    ZSIPSeedRandom();
    _ssrc = static_cast<std::uint32_t>(std::rand() % 32768);
    _sendToHost = headers.get(L"Send-To");
    ZWARNASSERT(ZValidHost( _sendToHost ));
    _sendFromHost = headers.get(L"Send-From");
    ZWARNASSERT(ZValidHost( _sendFromHost ));
    ZSTREAM_LOGC('V', L"Creating stream");
    std::string report;
    ZRTCPSRCompose(report, 0, _ssrc, 0, 0, 0, 0, 0, _name);
    _port->send(_sendFromHost, _sendToHost, report);
}

ZVideoCaptureStream::~ZVideoCaptureStream() {
    ZTRACE();
    reset();
    ZMutexClose(_videoMutex);
    ZMutexClose(_audioMutex);
}

void ZVideoCaptureStream::invariantTest() {
    ZASSERT_PTR(_instance);
    ZASSERT_PTR(_port);
    ZASSERT(_audioMutex && _videoMutex);
    // The addresses come from the peer's signalling: checked, not fatally,
    // at creation and kept as given.
    ZThreadSafeObject::invariantTest();
}

void ZVideoCaptureStream::setFormat(const ZHTTPHeaders& headers) {
    ZTRACE();
    invariantTest();
    ZScopedLock lock(this);
    ZMutexLock(_audioMutex);
    ZMutexLock(_videoMutex);
    reset();
    ZSTREAM_LOGC('V', L"Setting video format=" << headers.serialize());
    _videoFPS = headers.calc(L"Video-FPS");
    _audioEnabled = headers.test(L"Audio-Enable");
    _videoEnabled = headers.test(L"Video-Enable");
    ZMutexUnlock(_videoMutex);
    ZMutexUnlock(_audioMutex);
}

void ZVideoCaptureStream::reset() {
    ZTRACE();
    ZScopedLock lock(this);
    if (_speexEncoder || _theoraEncoder)
        ZSTREAM_LOGC('V', L"Resetting stream, shutting down audio (" << yesNo(_speexEncoder) << L"), video ("
                                                                    << yesNo(_theoraEncoder) << L")");
    _resetAudio();
    _resetVideo();
}

void ZVideoCaptureStream::_resetAudio() {
    ZTRACE();
    ZMutexLock(_audioMutex);
    if (_speexEncoder) {
        ZASSERT_PTR(_speexEncoder);
        delete _speexEncoder;
        _speexEncoder = nullptr;
    }
    _audioFormat = ZCaptureAudioFormat();
    if (_capturedAudioBytes) ZSTREAM_LOGC('a', L"Captured " << _capturedAudioBytes << L" audio bytes");
    _capturedAudioBytes = 0;
    ZMutexUnlock(_audioMutex);
}

void ZVideoCaptureStream::_resetVideo() {
    ZTRACE();
    ZMutexLock(_videoMutex);
    if (_theoraEncoder) {
        ZASSERT_PTR(_theoraEncoder);
        delete _theoraEncoder;
        _theoraEncoder = nullptr;
    }
    _imageFormat = ZImageFormat();
    _videoRefused = false;
    ZMutexUnlock(_videoMutex);
}

bool ZVideoCaptureStream::_startVideo(const ZImageFormat& format) {
    ZTRACE();
    const int side = ZMin(format.width, format.height) / 16 * 16;
    const ZRect crop{(format.width - side) / 2, (format.height - side) / 2, (format.width - side) / 2 + side,
                     (format.height - side) / 2 + side};
    // The picture must be whole 16-pixel blocks: a stored size of 0 (which
    // the client keeps) sends no video rather than stopping on the frame.
    const std::int64_t wanted = _instance->calc(L"Video_Size");
    const int size = wanted > ZTHEORA_MAX_SIDE ? ZTHEORA_MAX_SIDE : static_cast<int>(wanted) / 16 * 16;
    if (size < 16 || side < 16) {
        ZLOG(L"WARNING Cannot send video of " << format.toString() << L" at Video_Size " << wanted
                                              << L", sending no video.");
        return false;
    }
    if (size != side)
        ZLOG(L"WARNING Non-ideal video match; will resize from " << side << L"x" << side << L" to " << size << L"x"
                                                                  << size);
    ZSTREAM_LOGC('V', L"onVideoFormatSet( videoEnabled=" << (_videoEnabled ? 1 : 0) << L", fps=" << _videoFPS
                                                         << L", _imageFormat=( type=" << format.type << L", width="
                                                         << format.width << L", height=" << format.height << L" ) )");
    _theoraEncoder = ZSAFENEW(ZTheoraEncoder, format, crop, size, size, _videoFPS);
    return true;
}

void ZVideoCaptureStream::onVideoFrame(std::int64_t timestamp, const ZImageFormat& format,
                                       const unsigned char* buffer, int length) {
    ZTRACE();
    ZPRECONDITION(buffer && length >= 0);
    ZMutexLock(_videoMutex);
    if (!_videoEnabled) {
        ZMutexUnlock(_videoMutex);
        return;
    }
    if (std::memcmp(&format, &_imageFormat, sizeof(ZImageFormat)) || (!_theoraEncoder && !_videoRefused)) {
        _resetVideo();
        _imageFormat = format;
        _videoRefused = !_startVideo(format);
    }
    if (_videoRefused || timestamp - _lastVideoTime <= 1000000 / _videoFPS) {
        ZMutexUnlock(_videoMutex);
        return;
    }
    ZASSERT(_theoraEncoder->getOutputWidth( ) == _theoraEncoder->getOutputHeight( ));
    _lastVideoTime = timestamp;
    _videoOutput.clear();
    _theoraEncoder->encode(buffer, length, _videoOutput);
    ZSTREAM_LOGC('V', L"Sending new video frame, timestamp=" << timestamp << L" (" << _videoOutput.size()
                                                             << L" bytes)");
    ++_videoSeqNum;
    const std::uint32_t side = static_cast<std::uint32_t>(_theoraEncoder->getOutputWidth());
    ZRTPCompose(_videoPacket, ZRTP_VIDEO, static_cast<std::uint16_t>(_videoSeqNum),
                static_cast<std::uint32_t>(timestamp / 1000), _ssrc, &side, 4, _videoOutput.data(),
                static_cast<int>(_videoOutput.size()));
    _port->send(_sendFromHost, _sendToHost, _videoPacket);
    ZMutexUnlock(_videoMutex);
}

void ZVideoCaptureStream::onAudioFrame(std::int64_t timestamp, const ZCaptureAudioFormat& format,
                                       const unsigned char* buffer, int length) {
    ZTRACE();
    ZPRECONDITION(buffer && length >= 0);
    ZMutexLock(_audioMutex);
    if (!_audioEnabled) {
        ZMutexUnlock(_audioMutex);
        return;
    }
    if (!_speexEncoder || std::memcmp(&format, &_audioFormat, sizeof(ZCaptureAudioFormat))) {
        _resetAudio();
        _audioFormat = format;
        ZSTREAM_LOGC('A', L"onAudioFormatSet( audioEnabled=1)");
        _speexEncoder = ZSAFENEW(ZSpeexEncoder, format);
    }
    int numChunks = 1;
    while ((length / numChunks) / 4 > kMaxAudioChunkWords) numChunks *= 2;
    int chunkSize = length / numChunks;
    ZWARNASSERT(!(length % numChunks));
    const int frameSize = _speexEncoder->getFrameSize();
    chunkSize = (chunkSize + frameSize - 1) / frameSize * frameSize;
    if (length > 0) {
        const std::uint32_t packetTime = static_cast<std::uint32_t>(timestamp / 10000);
        const std::uint32_t rate = format.samplesPerSecond;
        int remaining = length;
        const unsigned char* at = buffer;
        while (remaining > 0) {
            const int thisChunkSize = remaining < chunkSize ? remaining : chunkSize;
            ZWARNASSERT(!(thisChunkSize % frameSize));
            _capturedAudioBytes += static_cast<std::uint32_t>(thisChunkSize);
            _audioOutput.clear();
            _speexEncoder->encode(at, thisChunkSize, _audioOutput);
            // A chunk without a whole frame has nothing to send.
            if (!_audioOutput.empty()) {
                ZSTREAM_LOGC('A', L"Sending new audio frame, timestamp=" << timestamp << L" (" << _audioOutput.size()
                                                                         << L" bytes)");
                ++_audioSeqNum;
                ZRTPCompose(_audioPacket, ZRTP_AUDIO, static_cast<std::uint16_t>(_audioSeqNum), packetTime, _ssrc, &rate,
                            4, _audioOutput.data(), static_cast<int>(_audioOutput.size()));
                _port->send(_sendFromHost, _sendToHost, _audioPacket);
            }
            at += thisChunkSize;
            remaining -= thisChunkSize;
        }
    }
    ZMutexUnlock(_audioMutex);
}
