#include "ZVideoRenderer.h"

#include <chrono>
#include <cstring>

#include "ZCaptureBackend.h"
#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t kAudioRefillPeriod = 200000;
constexpr std::int64_t kVideoPollPeriod = 100000;

// The warning strength of a sound-buffer call: logged, and the caller goes on.
bool soundWarning(int result, const char* file, int line, const char* function, const char* callText) {
    if (result >= 0) return false;
    std::wstring text = ZLogPrefix(file, line, function);
    text << L"WARNING Error HR return value: " << ZCaptureResultText(result) << L" '" << ZCaptureErrorText(result)
         << L"' (" << callText << L")\n";
    ZLog(text);
    return true;
}

}  // namespace

// The error strength raises (ZCaptureFailure) for the start's failure guard.
#define ZSOUND_CHECK(call)                                                                      \
    do {                                                                                        \
        const int _zanResult = (call);                                                          \
        if (_zanResult < 0) ZCaptureCheckFailed(__FILE__, __LINE__, ZFUNC, _zanResult, #call);  \
    } while (0)
#define ZSOUND_WARN(call) soundWarning((call), __FILE__, __LINE__, ZFUNC, #call)
#define ZRENDERER_LOGC(category, ...) ZLOGC(category, _outImageName << L": " << __VA_ARGS__)

ZVideoRenderer::ZVideoRenderer(ZInstance* instance, const std::wstring& outImageName, std::uint64_t prebufferLength)
    : _instance(instance), _outImageName(outImageName), _prebufferLength(prebufferLength) {
    ZTRACE_KIND("ZVideoRenderer");
}

void ZVideoRenderer::invariantTest() {
    ZASSERT_PTR(_instance);
    ZThreadSafeObject::invariantTest();
}

std::wstring ZVideoRenderer::getOutImageName() {
    ZScopedLock lock(this);
    return _outImageName;
}

std::uint32_t ZVideoRenderer::getNextWritePosition() {
    ZScopedLock lock(this);
    return _nextWritePosition;
}

void ZVideoRenderer::_wakeFeeders(bool stopping) {
    {
        std::lock_guard<std::mutex> guard(_wakeMutex);
        ++_videoWakeups;
        if (stopping) _stopping = true;
    }
    _wake.notify_all();
}

std::uint64_t ZVideoRenderer::_wakeups() {
    std::lock_guard<std::mutex> guard(_wakeMutex);
    return _videoWakeups;
}

void ZVideoRenderer::_feederSleep(std::int64_t micros, bool video, std::uint64_t seen) {
    std::unique_lock<std::mutex> guard(_wakeMutex);
    _wake.wait_for(guard, std::chrono::microseconds(micros),
                   [&] { return _stopping || (video && _videoWakeups != seen); });
}

void ZVideoRenderer::queueAudio(std::uint64_t, const WAVEFORMATEX& format, const unsigned char* data, int numBytes) {
    ZTRACE();
    invariantTest();
    ZScopedLock lock(this);
    ZASSERT(!_audioFormat.nSamplesPerSec || !memcmp( &_audioFormat, &format, sizeof(WAVEFORMATEX) ));
    _numQueued += static_cast<std::uint32_t>(numBytes);
    _audioFormat = format;
    if (numBytes > 0) _audioBuffer.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(numBytes));
    ZASSERT(_audioFormat.wBitsPerSample >= 8 && _audioFormat.nSamplesPerSec);
    const std::uint64_t queued = static_cast<std::uint64_t>(_audioBuffer.size() / (_audioFormat.wBitsPerSample / 8)) *
                                 1000000 / _audioFormat.nSamplesPerSec;
    ZRENDERER_LOGC('A', L"Queuing " << numBytes << L"bytes (" << _audioBuffer.size() << L"bytes total)");
    if (_playing) return;
    if (queued > _prebufferLength)
        _playNow();
    else
        ZRENDERER_LOGC('A', L"Prebuffered " << _audioBuffer.size() << L" bytes (" << (queued / 1000) << L"ms)...");
}

void ZVideoRenderer::_playNow() {
    ZTRACE();
    _playing = true;
    if (_secondaryBuffer || !_audioFormat.nSamplesPerSec) return;
    ZRENDERER_LOGC('A', L"Starting DirectSound...");
    try {
        _bufferSize = static_cast<std::uint32_t>(_audioFormat.wBitsPerSample / 8) * _audioFormat.nSamplesPerSec;
        ZSOUND_CHECK(ZSoundBufferOpen(&_secondaryBuffer, _audioFormat.nSamplesPerSec, _audioFormat.wBitsPerSample,
                                      _audioFormat.nChannels ? _audioFormat.nChannels : 1, _bufferSize));
        ZASSERT(_secondaryBuffer);
        void* frontBufferPtr = nullptr;
        void* backBufferPtr = nullptr;
        std::uint32_t frontBufferSize = 0, backBufferSize = 0;
        ZSOUND_CHECK(ZSoundBufferLock(_secondaryBuffer, 0, 0, &frontBufferPtr, &frontBufferSize, &backBufferPtr,
                                      &backBufferSize, true));
        ZASSERT(!backBufferPtr && !backBufferSize);
        const std::uint32_t n = std::min<std::uint32_t>(frontBufferSize, static_cast<std::uint32_t>(_audioBuffer.size()));
        std::memcpy(frontBufferPtr, _audioBuffer.data(), n);
        std::memset(static_cast<char*>(frontBufferPtr) + n, 0, frontBufferSize - n);
        _audioBuffer.erase(0, n);
        ZSOUND_CHECK(ZSoundBufferUnlock(_secondaryBuffer, frontBufferPtr, frontBufferSize, nullptr, 0));
        _nextWritePosition = n < _bufferSize ? n : 0;
        _numCopied = n;
        ZSOUND_WARN(ZSoundBufferPlay(_secondaryBuffer));
        ZASSERT(!_audioFeederThread);
        _audioFeederThread = ZThreadOpen(L"ZVideoRenderer_audioFeederProc", ZVideoRenderer_audioFeederProc, this);
    } catch (const ZCaptureFailure&) {
        _startFailed();
    }
}

void ZVideoRenderer::_startFailed() {
    ZLOG(_outImageName << L": WARNING Cannot play audio, ignoring.");
    _playing = false;
    _numCopied = 0;
    _nextWritePosition = 0;
    _audioBuffer.clear();
    if (_secondaryBuffer) {
        ZSoundBufferStop(_secondaryBuffer);
        ZSoundBufferClose(_secondaryBuffer);
        _secondaryBuffer = nullptr;
    }
}

void ZVideoRenderer_audioFeederProc(void* data) {
    ZPRECONDITION(data);
    ZVideoRenderer* renderer = static_cast<ZVideoRenderer*>(data);
    ZLOGC('A', L"Started audio feeder for '" << renderer->getOutImageName() << L"'");
    ZThreadSetPriority(1);
    while (renderer->_onAudioUpdate()) {
    }
    ZLOGC('A', L"Stopped audio feeder for '" << renderer->getOutImageName() << L"'");
}

bool ZVideoRenderer::_onAudioUpdate() {
    ZTRACE();
    lock();
    std::uint32_t play = 0, write = 0;
    if (ZSOUND_WARN(ZSoundBufferGetCurrentPosition(_secondaryBuffer, &play, &write))) _audioBuffer.clear();
    const bool inDanger = play < write ? (play <= _nextWritePosition && _nextWritePosition < write)
                                       : (_nextWritePosition >= play || _nextWritePosition < write);
    if (inDanger) {
        ZRENDERER_LOGC('a', L"WARNING Skipping ahead of danger zone");
        _nextWritePosition = write;
    }
    const std::uint32_t numToLock = (_bufferSize - _nextWritePosition + play) % _bufferSize;
    void* frontBufferPtr = nullptr;
    void* backBufferPtr = nullptr;
    std::uint32_t frontBufferSize = 0, backBufferSize = 0;
    const std::size_t before = _audioBuffer.size();
    if (numToLock && !ZSOUND_WARN(ZSoundBufferLock(_secondaryBuffer, _nextWritePosition, numToLock, &frontBufferPtr,
                                                   &frontBufferSize, &backBufferPtr, &backBufferSize, false))) {
        std::uint32_t copied = 0;
        for (auto [region, size] : {std::pair<void*, std::uint32_t>{frontBufferPtr, frontBufferSize},
                                    std::pair<void*, std::uint32_t>{backBufferPtr, backBufferSize}}) {
            if (!region || !size) continue;
            const std::uint32_t n = std::min<std::uint32_t>(size, static_cast<std::uint32_t>(_audioBuffer.size()));
            std::memcpy(region, _audioBuffer.data(), n);
            std::memset(static_cast<char*>(region) + n, 0, size - n);
            _audioBuffer.erase(0, n);
            copied += n;
        }
        if (ZSOUND_WARN(ZSoundBufferUnlock(_secondaryBuffer, frontBufferPtr, frontBufferSize, backBufferPtr,
                                           backBufferSize)))
            _audioBuffer.clear();
        _numCopied += copied;
    } else if (numToLock) {
        _audioBuffer.clear();
    }
    const std::uint32_t consumed = static_cast<std::uint32_t>(before - _audioBuffer.size());
    _nextWritePosition = (_nextWritePosition + consumed) % _bufferSize;
    if (!_audioStartTime) {
        _audioStartTime = ZTimeNow();
        _wakeFeeders(false);
    }
    unlock();
    _feederSleep(kAudioRefillPeriod, false, 0);
    ZScopedLock relock(this);
    return !_stopFeeders;
}

void ZVideoRenderer::queueVideo(std::uint64_t timestamp, const ZImageFormat& format, const unsigned char* pixels) {
    ZTRACE();
    invariantTest();
    ZScopedLock lock(this);
    if (!_audioFormat.nSamplesPerSec) {
        ZImageTools_instanceWrite(_instance, _outImageName, format, pixels);
        return;
    }
    ZVideoFrame frame;
    frame.timestamp = timestamp;
    frame.format = format;
    frame.bytes.assign(reinterpret_cast<const char*>(pixels), static_cast<std::size_t>(ZImageByteSize(format)));
    // The oldest pictures make room: the newest are the ones worth showing.
    while (!_videoBuffer.empty() && (_videoBuffer.size() >= ZRENDERER_MAX_QUEUED_PICTURES ||
                                     _videoBufferBytes + frame.bytes.size() > ZRENDERER_MAX_QUEUED_BYTES)) {
        if (!_droppingPictures)
            ZLOG(_outImageName << L": WARNING Too many pictures waiting for the sound, dropping the oldest.");
        _droppingPictures = true;
        _videoBufferBytes -= _videoBuffer.front().bytes.size();
        _videoBuffer.pop_front();
    }
    _videoBufferBytes += frame.bytes.size();
    _videoBuffer.push_back(std::move(frame));
    _wakeFeeders(false);
    if (!_videoFeederThread)
        _videoFeederThread = ZThreadOpen(L"ZVideoRenderer_videoFeederProc", ZVideoRenderer_videoFeederProc, this);
}

void ZVideoRenderer_videoFeederProc(void* data) {
    ZPRECONDITION(data);
    ZVideoRenderer* renderer = static_cast<ZVideoRenderer*>(data);
    ZLOGC('V', L"Started video feeder for '" << renderer->getOutImageName() << L"'");
    ZThreadSetPriority(1);
    while (renderer->_onVideoUpdate()) {
    }
    ZLOGC('V', L"Stopped video feeder for '" << renderer->getOutImageName() << L"'");
}

bool ZVideoRenderer::_onVideoUpdate() {
    ZTRACE();
    ZScopedLock guard(this);
    if (_videoBuffer.empty() || !_audioStartTime) {
        const std::uint64_t seen = _wakeups();
        unlock();
        _feederSleep(kVideoPollPeriod, true, seen);
        lock();
        return !_stopFeeders;
    }
    ZVideoFrame frame = std::move(_videoBuffer.front());
    _videoBuffer.pop_front();
    _videoBufferBytes -= frame.bytes.size();
    if (_videoBuffer.empty()) _droppingPictures = false;
    ZRENDERER_LOGC('V', L"videoTimestamp=" << frame.timestamp);
    unlock();
    ZImageTools_instanceWrite(_instance, _outImageName, frame.format,
                              reinterpret_cast<const unsigned char*>(frame.bytes.data()));
    lock();
    const std::int64_t now = ZTimeNow();
    _nextFrameDue = _videoBuffer.empty() ? now
                                         : now + static_cast<std::int64_t>(_videoBuffer.front().timestamp - frame.timestamp);
    return !_stopFeeders;
}

void ZVideoRenderer::finish() {
    ZTRACE();
    ZScopedLock lock(this);
    if (_bufferSize) {
        const std::string silence(_bufferSize, '\0');
        queueAudio(0, _audioFormat, reinterpret_cast<const unsigned char*>(silence.data()),
                   static_cast<int>(silence.size()));
    }
    _playNow();
}

bool ZVideoRenderer::done() {
    ZScopedLock lock(this);
    return getAudioBufferedLength() == 0 && _audioBuffer.empty();
}

std::uint64_t ZVideoRenderer::getAudioBufferedLength() {
    ZScopedLock lock(this);
    if (_audioFormat.wBitsPerSample == 0) {
        ZASSERT(_audioBuffer.empty( ));
        return 0;
    }
    const std::int32_t samples =
        static_cast<std::int32_t>(_audioBuffer.size()) / static_cast<std::int32_t>(_audioFormat.wBitsPerSample / 8);
    return static_cast<std::uint64_t>(samples) * 1000000 / _audioFormat.nSamplesPerSec * 2;
}

std::size_t ZVideoRenderer::getQueuedPictures() {
    ZScopedLock lock(this);
    return _videoBuffer.size();
}

std::size_t ZVideoRenderer::getQueuedPictureBytes() {
    ZScopedLock lock(this);
    return _videoBufferBytes;
}

std::uint64_t ZVideoRenderer::getVideoBufferedLength() {
    ZScopedLock lock(this);
    const std::uint64_t span =
        _videoBuffer.empty() ? 0 : _videoBuffer.back().timestamp - _videoBuffer.front().timestamp;
    if (!_audioStartTime) return span;
    const std::int64_t end = _nextFrameDue + static_cast<std::int64_t>(span) - ZTimeNow();
    return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

ZVideoRenderer::~ZVideoRenderer() {
    ZTRACE();
    lock();
    const std::int64_t remaining = static_cast<std::int64_t>(_audioBuffer.size()) - _bufferSize;
    ZRENDERER_LOGC('a', L"Tearing down audio: numQueued=" << _numQueued << L"bytes (remaining="
                                                          << (remaining > 0 ? remaining : 0) << L"bytes), numCopied: "
                                                          << _numCopied << L"bytes");
    const std::uint64_t audio = getAudioBufferedLength(), video = getVideoBufferedLength();
    if (audio || video)
        ZLOG(_outImageName << L": WARNING Clipping audio=" << (audio / 1000) << L", video=" << (video / 1000));
    if (_audioFeederThread || _videoFeederThread) {
        _stopFeeders = true;
        _wakeFeeders(true);
        ZRENDERER_LOGC('V', L"Stopping feeder threads for '" << _outImageName << L"'");
        unlock();
        if (_audioFeederThread) ZThreadClose(_audioFeederThread);
        if (_videoFeederThread) ZThreadClose(_videoFeederThread);
        lock();
        ZRENDERER_LOGC('V', L"Feeder threads stopped for '" << _outImageName << L"'");
        _audioFeederThread = _videoFeederThread = 0;
    }
    if (_secondaryBuffer) {
        ZSOUND_WARN(ZSoundBufferStop(_secondaryBuffer));
        ZSoundBufferClose(_secondaryBuffer);
        _secondaryBuffer = nullptr;
    }
    unlock();
}
