// The output end of one received stream: decoded sound plays through a
// looping sound buffer of one second that an audio feeder thread refills
// every 200 ms, and decoded pictures are written into the store image
// `outImageName` by a video feeder thread. Sound starts once more than the
// prebuffer has been queued; pictures that arrive after the first sound wait
// for the first refill, then go out in arrival order without pacing.
// `finish` pads the sound with one buffer of silence and starts output at
// once; the owner deletes the renderer when `done` says nothing is left.
//
// Threading: the playback service's thread calls every public operation
// (each under the renderer's re-entrant lock); the feeders take the lock for
// a step and release it to sleep, and the video feeder also while it writes
// a picture into the store. Lock order: the renderer's lock, then the
// sound buffer's own, then the store's.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "ZNonPortable.h"
#include "ZNonPortable_SoundBuffer.h"
#include "ZObject.h"
#include "ZPortable_Rect.h"
#include "ZWaveFormat.h"

class ZInstance;

// One queued picture.
struct ZVideoFrame {
    std::uint64_t timestamp = 0;
    ZImageFormat format;
    std::string bytes;
};

// Plays one stream's sound and publishes its pictures.
class ZVideoRenderer : public ZThreadSafeObject {
public:
    ZVideoRenderer(ZInstance* instance, const std::wstring& outImageName, std::uint64_t prebufferLength);
    ~ZVideoRenderer() override;
    void invariantTest() override;

    void queueAudio(std::uint64_t timestamp, const WAVEFORMATEX& format, const unsigned char* data, int numBytes);
    void queueVideo(std::uint64_t timestamp, const ZImageFormat& format, const unsigned char* pixels);
    void finish();
    bool done();
    // Twice the play time of the queued sound, in microseconds.
    std::uint64_t getAudioBufferedLength();
    std::uint64_t getVideoBufferedLength();
    std::wstring getOutImageName();

    // One step of each feeder; false ends the feeder.
    bool _onAudioUpdate();
    bool _onVideoUpdate();

private:
    void _playNow();
    void _startFailed();

    ZInstance* _instance;
    std::wstring _outImageName;
    std::uint64_t _prebufferLength;
    WAVEFORMATEX _audioFormat;
    std::string _audioBuffer;
    std::list<ZVideoFrame> _videoBuffer;
    bool _playing = false;
    ZSoundBuffer _secondaryBuffer = nullptr;
    std::uint32_t _bufferSize = 0;
    ZThreadId _audioFeederThread = 0;
    ZThreadId _videoFeederThread = 0;
    bool _stopFeeders = false;
    std::uint32_t _nextWritePosition = 0;
    std::uint32_t _numQueued = 0;
    std::uint32_t _numCopied = 0;
    std::int64_t _audioStartTime = 0;
    std::int64_t _nextFrameDue = 0;
};

void ZVideoRenderer_audioFeederProc(void* data);
void ZVideoRenderer_videoFeederProc(void* data);
