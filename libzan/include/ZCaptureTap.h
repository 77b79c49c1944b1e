// The two taps between a capture source and its listeners: each accepts only
// the sample layouts the program can encode and hands every sample that
// passes to its subscribers; the video tap turns bottom-up frames top-down.
//
// Threading: the type checks run on the opening thread before streaming
// starts; transform runs on the source's streaming thread and holds the
// tap's mutex while listeners run; subscribe and unsubscribe take the same
// mutex from any thread, so they never overlap a delivery.
#pragma once

#include <string>
#include <vector>

#include "ZCaptureBackend.h"
#include "ZNonPortable_Base.h"
#include "ZNonPortable_Capture.h"
#include "ZObject.h"

// Fills the image format from a bitmap header and says whether its rows are
// stored bottom-up.
bool ZImageTools_set(ZImageFormat& format, const ZCaptureBitmapInfo* bitmapInfo);

// Passes camera frames to the subscribed video listeners.
class _ZVideoTapFilter : public ZHeapObject, public ZCaptureSink {
public:
    _ZVideoTapFilter();
    ~_ZVideoTapFilter() override;

    // 0 when the proposed type is accepted, else ZCAPTURE_E_TYPE_NOT_ACCEPTED.
    int checkInputType(const ZCaptureVideoType* mtIn);
    // Takes the connected type's header (the first one taken stays in force).
    int completeConnect(const ZCaptureVideoType* pReceivePin);
    int transform(const ZCaptureSample* pSample) override;

    void subscribe(IZCaptureVideoListener* listener);
    void unsubscribe(IZCaptureVideoListener* listener);

    const ZImageFormat& imageFormat() const { return _imageFormat; }
    bool flips() const { return _flip; }

private:
    void _setFormat(const ZCaptureBitmapHeader& header);

    ZMutex _mutex;
    std::vector<IZCaptureVideoListener*> _listenerList;
    bool _hasHeader = false;
    ZCaptureBitmapHeader _bitmapInfoHeader;
    ZImageFormat _imageFormat;
    bool _flip = false;
    std::string _flipBuffer;
    bool _threadRegistered = false;
    bool _timestampFailed = false;
    bool _frameFailed = false;
};

// Passes microphone sample blocks to the subscribed audio listeners.
class _ZAudioTapFilter : public ZHeapObject, public ZCaptureSink {
public:
    _ZAudioTapFilter(int samplesPerSecond, int bytesPerSample);
    ~_ZAudioTapFilter() override;

    int checkInputType(const ZCaptureAudioType* mtIn);
    int transform(const ZCaptureSample* pSample) override;

    void subscribe(IZCaptureAudioListener* listener);
    void unsubscribe(IZCaptureAudioListener* listener);

    const ZCaptureAudioFormat& audioFormat() const { return _format; }

private:
    ZMutex _mutex;
    std::vector<IZCaptureAudioListener*> _listenerList;
    ZCaptureAudioFormat _format;
    bool _threadRegistered = false;
    bool _samplesFailed = false;
};
