// Platform layer: the camera and the microphone. Devices are listed and
// chosen by friendly name; a capture opens the chosen pair, configures each
// to the offered format nearest the request, runs it, and hands every video
// frame and every block of audio samples to the subscribed listeners.
//
// Threading: open, close, subscribe, unsubscribe and the working tests run
// on the capture service's thread. Listeners are called on one streaming
// thread per source, with that source's tap mutex held: a listener copies
// what it keeps, never subscribes or unsubscribes on the same capture from
// inside its call, and checks "buffer && length >= 0" itself. Once an
// unsubscribe has returned, that listener is not running and is not called
// again, so it may be destroyed at once.
#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "ZPortable_Rect.h"

// The sample format handed to audio listeners; listeners compare it bytewise
// with the last one they saw to notice a change.
struct ZCaptureAudioFormat {
    std::uint32_t bytesPerSample = 0;  // 2: 16-bit little-endian samples
    std::uint32_t samplesPerSecond = 0;
};
static_assert(sizeof(ZCaptureAudioFormat) == 8, "the audio format record is two 32-bit words");
typedef ZCaptureAudioFormat ZAudioFormat;

// Receives the camera's frames: rows top-down, time stamps in microseconds
// since 1601-01-01 UTC.
class IZCaptureVideoListener {
public:
    virtual void onVideoFrame(std::int64_t timestamp, const ZImageFormat& format, const unsigned char* buffer,
                              int length) = 0;

protected:
    ~IZCaptureVideoListener() = default;
};

// Receives the microphone's sample blocks, time stamps in microseconds.
class IZCaptureAudioListener {
public:
    virtual void onAudioFrame(std::int64_t timestamp, const ZCaptureAudioFormat& format, const unsigned char* buffer,
                              int length) = 0;

protected:
    ~IZCaptureAudioListener() = default;
};

struct ZAVCaptureRecord;
typedef ZAVCaptureRecord* ZAVCapture;

// Appends the friendly names of the audio and of the video capture devices.
void ZAVCaptureGetDeviceList(std::list<std::wstring>& audioNames, std::list<std::wstring>& videoNames);

// Opens and runs a capture. An empty or unknown device name leaves that
// medium out; null when a step of building the capture failed. When
// sourceFile names a media file (uncompressed AVI or YUV4MPEG2), its video,
// and its audio when it has some in the requested format, replace the
// devices, looping at the file's own frame rate.
ZAVCapture ZAVCaptureOpen(const std::wstring& audioDevice, const std::wstring& videoDevice, int bytesPerSample,
                          int samplesPerSecond, int framesPerSecond, int width, int height,
                          const std::wstring& sourceFile = std::wstring());
void ZAVCaptureClose(ZAVCapture capture_);

void ZAVCaptureSubscribeVideo(ZAVCapture capture_, IZCaptureVideoListener* listener);
void ZAVCaptureUnsubscribeVideo(ZAVCapture capture_, IZCaptureVideoListener* listener);
void ZAVCaptureSubscribeAudio(ZAVCapture capture_, IZCaptureAudioListener* listener);
void ZAVCaptureUnsubscribeAudio(ZAVCapture capture_, IZCaptureAudioListener* listener);

// True when the capture has a branch for that medium (nothing is measured).
bool ZAVCaptureIsVideoWorking(ZAVCapture capture_);
bool ZAVCaptureIsAudioWorking(ZAVCapture capture_);
// True when the sound comes from the media file standing in for the devices.
bool ZAVCaptureIsAudioFromFile(ZAVCapture capture_);

// ---- inside the layer (and its tests) ------------------------------------------

// The monotonic time (microseconds) at which the first sample of the latest
// microphone stream started in the process was taken; 0 before any.
std::int64_t _ZCaptureAudioFirstSampleTime();
