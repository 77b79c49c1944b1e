// The output end of one received stream: decoded sound plays through a
// looping sound buffer of one second that an audio feeder thread refills
// every 200 ms, and decoded pictures are written into the store image
// `outImageName` by a video feeder thread. Sound starts once more than the
// prebuffer has been queued; pictures that arrive after the first sound wait
// for the first refill, then go out in arrival order without pacing.
// `finish` pads the sound with one buffer of silence and starts output at
// once; the owner deletes the renderer when `done` says nothing is left.
//
// The feeders' sleeps end early when the renderer is destroyed, so
// retiring a renderer costs the playback thread two joins, not a refill
// period; the video feeder also wakes when a picture is queued and at the
// first refill, so waiting pictures go out at once.
//
// Threading: the playback service's thread calls every public operation
// (each under the renderer's re-entrant lock); the feeders take the lock for
// a step and release it to sleep, and the video feeder also while it writes
// a picture into the store. Lock order: the renderer's lock, then the
// sound buffer's own, then the store's; the feeders' wake-up mutex is a
// leaf.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
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
    // Pictures waiting to be shown, and the bytes they hold.
    std::size_t getQueuedPictures();
    std::size_t getQueuedPictureBytes();
    std::wstring getOutImageName();
    // Where the next queued sound goes in the sound buffer (for tests).
    std::uint32_t getNextWritePosition();

    // One step of each feeder; false ends the feeder.
    bool _onAudioUpdate();
    bool _onVideoUpdate();

private:
    void _playNow();
    void _startFailed();
    // Wakes the video feeder; with `stopping`, both feeders for good.
    void _wakeFeeders(bool stopping);
    // A feeder reads the wake-up count under the renderer's lock, then
    // sleeps without it up to `micros`, until the renderer stops, or (the
    // video feeder) until the count moves on.
    std::uint64_t _wakeups();
    void _feederSleep(std::int64_t micros, bool video, std::uint64_t seen);

    ZInstance* _instance;
    std::wstring _outImageName;
    std::uint64_t _prebufferLength;
    WAVEFORMATEX _audioFormat;
    std::string _audioBuffer;
    std::list<ZVideoFrame> _videoBuffer;
    std::size_t _videoBufferBytes = 0;
    // Pictures are being dropped for want of room; one warning per episode.
    bool _droppingPictures = false;
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
    std::mutex _wakeMutex;  // the two fields below
    std::condition_variable _wake;
    bool _stopping = false;
    std::uint64_t _videoWakeups = 0;
};

// A peer can keep the sound from starting while it sends pictures: what waits
// is held to about a second of video, and to the bytes of a few large frames.
constexpr std::size_t ZRENDERER_MAX_QUEUED_PICTURES = 30;
constexpr std::size_t ZRENDERER_MAX_QUEUED_BYTES = 64u * 1024 * 1024;

void ZVideoRenderer_audioFeederProc(void* data);
void ZVideoRenderer_videoFeederProc(void* data);
