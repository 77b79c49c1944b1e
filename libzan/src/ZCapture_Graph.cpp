// The capture: one video and one audio branch, each a source device feeding
// its tap, built from friendly names and run until closed.
#include <atomic>
#include <memory>

#include "ZCaptureBackend.h"
#include "ZCaptureTap.h"
#include "ZNonPortable_Capture.h"
#include "ZObject.h"
#include "ZUtil.h"

struct ZAVCaptureRecord : ZHeapObject {
    ZCaptureBackend* fileBackend = nullptr;
    ZCaptureDevice* videoSource = nullptr;
    ZCaptureDevice* audioSource = nullptr;
    bool audioFromFile = false;
    _ZVideoTapFilter* videoTapFilter = nullptr;
    _ZAudioTapFilter* audioTapFilter = nullptr;
};

namespace {

std::atomic<ZCaptureBackend*> g_backend{nullptr};

// Stops the sources before the taps they feed go away.
void releaseAll(ZAVCaptureRecord& capture) {
    if (capture.videoSource) capture.videoSource->stop();
    if (capture.audioSource) capture.audioSource->stop();
    delete capture.videoSource;
    capture.videoSource = nullptr;
    delete capture.audioSource;
    capture.audioSource = nullptr;
    delete capture.videoTapFilter;
    capture.videoTapFilter = nullptr;
    delete capture.audioTapFilter;
    capture.audioTapFilter = nullptr;
    delete capture.fileBackend;
    capture.fileBackend = nullptr;
}

int connectVideo(ZCaptureDevice* videoSourceFilter, _ZVideoTapFilter* videoTapFilter) {
    ZCaptureVideoType type;
    if (!videoSourceFilter->getVideoFormat(type)) return ZCAPTURE_E_NO_FORMAT;
    const int result = videoTapFilter->checkInputType(&type);
    if (result < 0) return result;
    return videoTapFilter->completeConnect(&type);
}

int connectAudio(ZCaptureDevice* audioSourceFilter, _ZAudioTapFilter* audioTapFilter) {
    ZCaptureAudioType type;
    if (!audioSourceFilter->getAudioFormat(type)) return ZCAPTURE_E_NO_FORMAT;
    return audioTapFilter->checkInputType(&type);
}

ZCaptureDevice* openVideoSource(ZAVCaptureRecord& capture, const std::wstring& videoDevice,
                                const std::wstring& sourceFile) {
    if (capture.fileBackend) return capture.fileBackend->openDevice(ZCAPTURE_VIDEO_CATEGORY, sourceFile);
    if (videoDevice.empty()) return nullptr;
    return ZDirectShow_EnumerateAndCreate(*ZCaptureGetBackend(), ZCAPTURE_VIDEO_CATEGORY, videoDevice);
}

// A file's audio replaces the microphone only when it already is the
// requested format: nothing converts it on the way.
bool offers(ZCaptureDevice* device, int bytesPerSample, int samplesPerSecond) {
    ZCaptureAudioType type;
    return device->getAudioFormat(type) && type.bitsPerSample == bytesPerSample * 8 &&
           type.samplesPerSecond == static_cast<std::uint32_t>(samplesPerSecond);
}

ZCaptureDevice* openAudioSource(ZAVCaptureRecord& capture, const std::wstring& audioDevice,
                                const std::wstring& sourceFile, int bytesPerSample, int samplesPerSecond) {
    if (capture.fileBackend) {
        ZCaptureDevice* fileAudio = capture.fileBackend->openDevice(ZCAPTURE_AUDIO_CATEGORY, sourceFile);
        if (fileAudio && offers(fileAudio, bytesPerSample, samplesPerSecond)) {
            capture.audioFromFile = true;
            return fileAudio;
        }
        if (fileAudio)
            ZLOG(L"WARNING Audio of '" << sourceFile << L"' is not " << bytesPerSample * 8 << L"-bit mono at "
                                      << samplesPerSecond << L" Hz; capturing audio from the device instead.");
        delete fileAudio;
    }
    if (audioDevice.empty()) return nullptr;
    return ZDirectShow_EnumerateAndCreate(*ZCaptureGetBackend(), ZCAPTURE_AUDIO_CATEGORY, audioDevice);
}

void build(ZAVCaptureRecord& capture, const std::wstring& audioDevice, const std::wstring& videoDevice,
           int bytesPerSample, int samplesPerSecond, int framesPerSecond, int width, int height,
           const std::wstring& sourceFile) {
    if (!sourceFile.empty()) {
        capture.fileBackend = ZCaptureOpenFileBackend(sourceFile);
        ZCAPTURE_ASSERT_T(capture.fileBackend, "ZCaptureOpenFileBackend( sourceFile )");
    }
    capture.videoSource = openVideoSource(capture, videoDevice, sourceFile);
    if (capture.videoSource &&
        !ZDirectShow_ConfigureVideoDevice(capture.videoSource, ZCAPTURE_SUBTYPE_YUY2, framesPerSecond, width, height) &&
        !ZDirectShow_ConfigureVideoDevice(capture.videoSource, ZCAPTURE_SUBTYPE_RGB24, framesPerSecond, width, height))
        ZLOG(L"WARNING Unable to configure video device; taking 'as is' and seeing if it works.");
    capture.audioSource = openAudioSource(capture, audioDevice, sourceFile, bytesPerSample, samplesPerSecond);
    if (capture.audioSource)
        ZDirectShow_ConfigureAudioDevice(capture.audioSource, ZCAPTURE_SUBTYPE_PCM, samplesPerSecond, bytesPerSample, 50);

    if (capture.videoSource) {
        capture.videoTapFilter = ZSAFENEW(_ZVideoTapFilter);
        ZCAPTURE_CHECK(connectVideo(capture.videoSource, capture.videoTapFilter));
    }
    if (capture.audioSource) {
        capture.audioTapFilter = ZSAFENEW(_ZAudioTapFilter, samplesPerSecond, bytesPerSample);
        ZCAPTURE_CHECK(connectAudio(capture.audioSource, capture.audioTapFilter));
    }
    if (capture.videoSource) capture.videoSource->run(*capture.videoTapFilter);
    if (capture.audioSource) capture.audioSource->run(*capture.audioTapFilter);
}

}  // namespace

ZCaptureBackend* ZCaptureGetBackend() {
    ZCaptureBackend* backend = g_backend.load();
    return backend ? backend : ZCaptureSystemBackend();
}

void ZCaptureSetBackend(ZCaptureBackend* backend) { g_backend.store(backend); }

void ZAVCaptureGetDeviceList(std::list<std::wstring>& audioNames, std::list<std::wstring>& videoNames) {
    ZTRACE();
    // A failed listing has been logged; the caller gets the names found so far.
    try {
        ZDirectShow_EnumerateDevices(*ZCaptureGetBackend(), audioNames, ZCAPTURE_AUDIO_CATEGORY);
        ZDirectShow_EnumerateDevices(*ZCaptureGetBackend(), videoNames, ZCAPTURE_VIDEO_CATEGORY);
    } catch (const ZCaptureFailure&) {
    }
}

ZAVCapture ZAVCaptureOpen(const std::wstring& audioDevice, const std::wstring& videoDevice, int bytesPerSample,
                          int samplesPerSecond, int framesPerSecond, int width, int height,
                          const std::wstring& sourceFile) {
    ZTRACE();
    ZAVCaptureRecord* capture = ZSAFENEW(ZAVCaptureRecord);
    try {
        build(*capture, audioDevice, videoDevice, bytesPerSample, samplesPerSecond, framesPerSecond, width, height,
              sourceFile);
    } catch (const ZCaptureFailure&) {
        ZLOG(L"WARNING constructor failed");
        releaseAll(*capture);
        delete capture;
        return nullptr;
    }
    return capture;
}

void ZAVCaptureClose(ZAVCapture capture_) {
    ZTRACE();
    ZPRECONDITION(capture_);
    releaseAll(*capture_);
    delete capture_;
}

void ZAVCaptureSubscribeVideo(ZAVCapture capture_, IZCaptureVideoListener* listener) {
    ZPRECONDITION(capture_);
    ZPRECONDITION(listener);
    if (capture_->videoTapFilter) capture_->videoTapFilter->subscribe(listener);
}

void ZAVCaptureUnsubscribeVideo(ZAVCapture capture_, IZCaptureVideoListener* listener) {
    ZPRECONDITION(capture_);
    ZPRECONDITION(listener);
    if (capture_->videoTapFilter) capture_->videoTapFilter->unsubscribe(listener);
}

void ZAVCaptureSubscribeAudio(ZAVCapture capture_, IZCaptureAudioListener* listener) {
    ZPRECONDITION(capture_);
    ZPRECONDITION(listener);
    if (capture_->audioTapFilter) capture_->audioTapFilter->subscribe(listener);
}

void ZAVCaptureUnsubscribeAudio(ZAVCapture capture_, IZCaptureAudioListener* listener) {
    ZPRECONDITION(capture_);
    ZPRECONDITION(listener);
    if (capture_->audioTapFilter) capture_->audioTapFilter->unsubscribe(listener);
}

bool ZAVCaptureIsVideoWorking(ZAVCapture capture_) {
    ZPRECONDITION(capture_);
    return capture_->videoTapFilter != nullptr;
}

bool ZAVCaptureIsAudioWorking(ZAVCapture capture_) {
    ZPRECONDITION(capture_);
    return capture_->audioTapFilter != nullptr;
}

bool ZAVCaptureIsAudioFromFile(ZAVCapture capture_) {
    ZPRECONDITION(capture_);
    return capture_->audioFromFile && capture_->audioTapFilter != nullptr;
}
