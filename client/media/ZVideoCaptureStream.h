// Sends the local camera and microphone to one device of one buddy: every
// captured frame and sample block reaches it on the capture source's
// streaming thread, where it is encoded (Theora, Speex) and leaves at once
// through the switchboard as an RTP packet, announced by one RTCP sender
// report at creation.
//
// Media packets, little-endian: the 12-byte RTP header (0x80, type 2 video
// or 1 audio, the low 16 bits of that kind's counter, the time stamp, the
// stream's SSRC), a 4-byte sub-header, then the encoder's output. Video:
// time stamp in milliseconds, sub-header the square picture's side, payload
// one framed Theora packet. Audio: time stamp in 10 ms units (equal for
// every packet of one capture block), sub-header the sampling rate, payload
// one Speex packet. Audio and video share the SSRC and count apart.
//
// Threading: onVideoFrame runs on the video source's thread under
// _videoMutex, onAudioFrame on the audio source's thread under _audioMutex;
// setFormat, reset and the destructor run on the capture service's thread.
// Lock order: the object lock, then _audioMutex, then _videoMutex (all
// re-entrant). The owner unsubscribes the stream before deleting it.
#pragma once

#include <cstdint>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZNonPortable_Capture.h"
#include "ZObject.h"
#include "ZPortable_Rect.h"

class ZInstance;
class ZMegaPort;
class ZSpeexEncoder;
class ZTheoraEncoder;

// One buddy device's outgoing audio and video.
class ZVideoCaptureStream : public ZThreadSafeObject, public IZCaptureVideoListener, public IZCaptureAudioListener {
public:
    // headers: the "OPEN" request ("Send-To", "Send-From"). Sends the sender
    // report; audio and video stay off until setFormat.
    ZVideoCaptureStream(ZInstance* instance, ZMegaPort* port, const ZHTTPHeaders& headers);
    ~ZVideoCaptureStream() override;
    void invariantTest() override;

    // Takes "Video-FPS", "Audio-Enable" and "Video-Enable"; the encoders
    // start again with the next frame.
    void setFormat(const ZHTTPHeaders& headers);
    void reset();

    void onVideoFrame(std::int64_t timestamp, const ZImageFormat& format, const unsigned char* buffer,
                      int length) override;
    void onAudioFrame(std::int64_t timestamp, const ZCaptureAudioFormat& format, const unsigned char* buffer,
                      int length) override;

    std::uint32_t getSSRC() const { return _ssrc; }

private:
    void _resetAudio();
    void _resetVideo();
    // Makes the video encoder for a new frame format; false when this format
    // cannot be sent (the frame or the output size is below 16 pixels).
    bool _startVideo(const ZImageFormat& format);

    ZInstance* _instance;
    ZMegaPort* _port;
    ZMutex _audioMutex = nullptr;
    ZMutex _videoMutex = nullptr;
    std::wstring _name;
    std::uint32_t _ssrc = 0;
    std::wstring _sendToHost;
    std::wstring _sendFromHost;
    std::int32_t _videoFPS = 0;
    bool _audioEnabled = false;
    bool _videoEnabled = false;
    std::int64_t _lastVideoTime = 0;
    ZTheoraEncoder* _theoraEncoder = nullptr;
    ZSpeexEncoder* _speexEncoder = nullptr;
    // Each path builds its packets in its own buffers, under its own mutex.
    std::string _videoOutput;
    std::string _videoPacket;
    std::string _audioOutput;
    std::string _audioPacket;
    ZImageFormat _imageFormat;
    // The current frame format cannot be sent; warned once.
    bool _videoRefused = false;
    ZCaptureAudioFormat _audioFormat;
    std::uint32_t _capturedAudioBytes = 0;
    std::uint32_t _audioSeqNum = 0;
    std::uint32_t _videoSeqNum = 0;
};
