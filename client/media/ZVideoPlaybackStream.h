// The receiving end of one buddy device's audio and video: checks the order
// of the RTP packets the playback service hands it, builds its Speex and
// Theora decoders from the sub-header in front of every payload, decodes,
// and queues sound and pictures into its renderer, which plays the sound
// and publishes the pictures as the store image "<buddy>_Image". It keeps
// "Listening_To_List", "<buddy>_Audio_Buffer_Length" and
// "<buddy>_Video_Buffer_Length", and "<name>_Video_Playback_Online".
//
// Sequence numbers are compared in 16-bit serial arithmetic: a packet is new
// when it is 1 to 32767 ahead of the last one accepted. A peer's sizes are
// bounded before anything is built for them: sides 16 to 1024 in steps of
// 16, rates 8000 to 48000 Hz (0: no audio); at most four retired renderers
// play out at once.
//
// Threading: the playback service's thread, under the service's lock;
// getName also under the stream's own mutex.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZObject.h"

class ZInstance;
class ZMegaPort;
class ZSpeexDecoder;
class ZTheoraDecoder;
class ZVideoRenderer;

// Where the stream reads the time; tests drive their own.
typedef std::int64_t (*ZPlaybackClock)();

// Video sides and audio rates a peer may announce.
constexpr std::uint32_t ZPLAYBACK_MIN_SIDE = 16;
constexpr std::uint32_t ZPLAYBACK_MAX_SIDE = 1024;
constexpr std::uint32_t ZPLAYBACK_MIN_RATE = 8000;
constexpr std::uint32_t ZPLAYBACK_MAX_RATE = 48000;
// Retired renderers kept to play out; the oldest goes first.
constexpr std::size_t ZPLAYBACK_MAX_SUNSET = 4;

// Splits at the last '@'; without one both parts are the whole text.
void ZSplitBuddyDevice(const std::wstring& text, std::wstring& before, std::wstring& after);

// One buddy device's incoming audio and video.
class ZVideoPlaybackStream : public ZThreadSafeObject {
public:
    ZVideoPlaybackStream(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& headers);
    ~ZVideoPlaybackStream() override;
    void invariantTest() override;

    void recv(const std::string& datagram);
    void update();
    std::wstring getName();

    void setClock(ZPlaybackClock clock) { _clock = clock; }
    std::size_t getSunsetCount() const { return _sunsetList.size(); }
    ZVideoRenderer* getRenderer() const { return _videoRenderer; }

private:
    void _recvVideo(std::uint32_t seq, std::int32_t timestamp, const unsigned char* payload, int length);
    void _recvAudio(std::uint32_t seq, std::int32_t timestamp, const unsigned char* payload, int length);
    // False when the packet is a duplicate or late; warns about a gap.
    bool _inOrder(std::uint32_t seq, std::int32_t& last, const wchar_t* kind);
    void _resetVideo(std::uint32_t width, std::uint32_t height);
    void _resetAudio(std::uint32_t rate);
    void _newRenderer();
    void _startListeningTo();
    void _stopListeningTo();

    ZInstance* _instance;
    ZMegaPort* _port;
    ZPlaybackClock _clock;
    std::wstring _name;
    std::wstring _buddyGUID;
    std::wstring _outImageName;
    ZTheoraDecoder* _videoDecoder = nullptr;
    ZSpeexDecoder* _audioDecoder = nullptr;
    ZVideoRenderer* _videoRenderer = nullptr;
    std::list<ZVideoRenderer*> _sunsetList;
    std::string _videoFrameBuffer;
    std::string _audioSampleBuffer;
    std::int32_t _lastAudioSequence = 0;
    std::int32_t _lastVideoSequence = 0;
    std::uint32_t _audioSampleRate = 0;
    std::uint32_t _videoWidth = 0;
    std::uint32_t _videoHeight = 0;
    std::int64_t _lastAudioTime = 0;
    bool _keyFrameSeen = false;
};
