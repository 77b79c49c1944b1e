// Shows the user what the camera and the microphone deliver: at most one
// frame and one sample block a second become the store images
// "Local_Video_Image" (the camera picture in RGB24) and "Local_Audio_Image"
// (a black strip with one green bar per sample, at most 300). While the
// video preview is on and no camera frame has come since the last reset, a
// grey noise picture that changes once a second stands in. "Disable_Preview"
// turns both halves off.
//
// Threading: the callbacks run on the capture sources' threads, update and
// the switches on the capture service's thread; each holds the object lock
// for its whole work. The owner unsubscribes it before deleting it.
#pragma once

#include <cstdint>
#include <string>

#include "ZNonPortable_Capture.h"
#include "ZObject.h"
#include "ZPortable_Rect.h"

class ZInstance;

// Where the preview reads the time for its noise picture; tests drive it.
typedef std::int64_t (*ZLocalCaptureClock)();

// The local camera and microphone preview, as store images.
class ZLocalCapture : public ZThreadSafeObject, public IZCaptureVideoListener, public IZCaptureAudioListener {
public:
    explicit ZLocalCapture(ZInstance* instance);
    ~ZLocalCapture() override;
    void invariantTest() override;

    void enableVideoPreview(bool enable);
    void enableAudioPreview(bool enable);
    // reset: forget formats, pictures and times and show the default
    // picture; then, on every call, renew the noise picture when due.
    void update(bool reset);
    // Whether update has timed work to do: the noise picture is shown.
    bool showsNoise();
    // Whether the video preview is on; while it is off nothing but a
    // switch can give update timed work.
    bool videoPreviewOn();
    void setClock(ZLocalCaptureClock clock);

    void onVideoFrame(std::int64_t timestamp, const ZImageFormat& format, const unsigned char* buffer,
                      int length) override;
    void onAudioFrame(std::int64_t timestamp, const ZCaptureAudioFormat& format, const unsigned char* buffer,
                      int length) override;

private:
    bool _gate(bool enabled, std::int64_t timestamp, std::int64_t last);

    ZInstance* _instance;
    ZLocalCaptureClock _clock;
    std::int64_t _lastVideoTime = 0;
    std::int64_t _lastAudioTime = 0;
    std::int64_t _lastNoiseTime = 0;
    ZImageFormat _videoFormat;
    ZCaptureAudioFormat _audioFormat;
    std::string _videoPicture;
    std::string _audioPicture;
    bool _audioPreview = false;
    bool _videoPreview = false;
};
