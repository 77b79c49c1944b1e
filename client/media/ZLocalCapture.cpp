#include "ZLocalCapture.h"

#include <cstdlib>
#include <cstring>

#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZUtil.h"

namespace {

// At most one picture of each kind a second.
constexpr std::int64_t kPreviewPeriod = 1000000;
constexpr int kNoiseWidth = 160;
constexpr int kNoiseHeight = 120;
constexpr int kStripHeight = 100;
constexpr int kMaxStripSamples = 300;

}  // namespace

ZLocalCapture::ZLocalCapture(ZInstance* instance) : _instance(instance), _clock(ZTimeNow) {
    ZTRACE_KIND("ZLocalCapture");
}

ZLocalCapture::~ZLocalCapture() { ZTRACE(); }

void ZLocalCapture::invariantTest() {
    ZASSERT_PTR(_instance);
    ZThreadSafeObject::invariantTest();
}

void ZLocalCapture::setClock(ZLocalCaptureClock clock) {
    ZScopedLock lock(this);
    _clock = clock;
}

void ZLocalCapture::enableVideoPreview(bool enable) {
    ZTRACE();
    ZScopedLock lock(this);
    _videoPreview = enable;
}

void ZLocalCapture::enableAudioPreview(bool enable) {
    ZTRACE();
    ZScopedLock lock(this);
    _audioPreview = enable;
}

bool ZLocalCapture::_gate(bool enabled, std::int64_t timestamp, std::int64_t last) {
    return enabled && !_instance->test(L"Disable_Preview") && timestamp - last > kPreviewPeriod;
}

void ZLocalCapture::onVideoFrame(std::int64_t timestamp, const ZImageFormat& format, const unsigned char* buffer,
                                 int length) {
    ZTRACE();
    ZPRECONDITION(buffer && length >= 0);
    ZScopedLock lock(this);
    if (!_gate(_videoPreview, timestamp, _lastVideoTime)) return;
    if (std::memcmp(&format, &_videoFormat, sizeof(ZImageFormat))) {
        _videoFormat = format;
        std::wstring line = L"VIDEOFORMAT: type=#";
        line << format.type << L", dimensions=(" << format.width << L"x" << format.height << L")\n";
        ZLog(line);
    }
    ZImageConvert(format, buffer, ZIT_RGB24, _videoPicture);
    _lastVideoTime = timestamp;
    ZImageTools_instanceWrite(_instance, L"Local_Video_Image", ZImageFormat{ZIT_RGB24, format.width, format.height},
                              reinterpret_cast<const unsigned char*>(_videoPicture.data()));
}

void ZLocalCapture::onAudioFrame(std::int64_t timestamp, const ZCaptureAudioFormat& format,
                                 const unsigned char* buffer, int length) {
    ZTRACE();
    ZPRECONDITION(buffer && length >= 0);
    ZScopedLock lock(this);
    if (!_gate(_audioPreview, timestamp, _lastAudioTime)) return;
    if (std::memcmp(&format, &_audioFormat, sizeof(ZCaptureAudioFormat))) {
        _audioFormat = format;
        std::wstring line = L"AUDIOFORMAT: frequency=";
        line << format.samplesPerSecond << L"Hz, bits=" << (format.bytesPerSample * 8) << L"\n";
        ZLog(line);
    }
    _lastAudioTime = timestamp;
    if (format.bytesPerSample != 2) {
        ZLOG(L"ERROR Attempting encoding of unsupported wave bpp " << (format.bytesPerSample * 8) << L", aborting.");
        ZAbort();
        return;
    }
    const int n = ZMin(length / 2, kMaxStripSamples);
    if (n <= 0) return;
    _audioPicture.assign(static_cast<std::size_t>(n) * kStripHeight * 3, '\0');
    for (int x = 0; x < n; ++x) {
        std::int16_t s;
        std::memcpy(&s, buffer + 2 * x, 2);
        const int h = (s + 32768) * kStripHeight / 65535;
        const int top = (kStripHeight - h) / 2;
        for (int y = top; y < top + h; ++y) _audioPicture[(static_cast<std::size_t>(y) * n + x) * 3 + 1] = '\xFF';
    }
    ZImageTools_instanceWrite(_instance, L"Local_Audio_Image", ZImageFormat{ZIT_RGB24, n, kStripHeight},
                              reinterpret_cast<const unsigned char*>(_audioPicture.data()));
}

bool ZLocalCapture::showsNoise() {
    ZScopedLock lock(this);
    return _videoPreview && !_instance->test(L"Disable_Preview") && _videoPicture.empty();
}

bool ZLocalCapture::videoPreviewOn() {
    ZScopedLock lock(this);
    return _videoPreview;
}

void ZLocalCapture::update(bool reset) {
    ZTRACE();
    invariantTest();
    ZScopedLock lock(this);
    if (reset) {
        _videoFormat = ZImageFormat();
        _audioFormat = ZCaptureAudioFormat();
        _videoPicture.clear();
        _audioPicture.clear();
        _lastVideoTime = 0;
        _lastAudioTime = 0;
        ZImageTools_instanceCopy(_instance, L"Local_Video_Image", L"defaultprofile.png");
    }
    if (showsNoise()) {
        const std::int64_t now = _clock();
        if (now - _lastNoiseTime > kPreviewPeriod) {
            _videoPicture.resize(static_cast<std::size_t>(kNoiseWidth) * kNoiseHeight * 3);
            for (std::size_t i = 0; i < _videoPicture.size(); i += 3) {
                const char grey = static_cast<char>((std::rand() * std::rand()) & 0xFF);
                _videoPicture[i] = _videoPicture[i + 1] = _videoPicture[i + 2] = grey;
            }
            _lastNoiseTime = now;
            ZImageTools_instanceWrite(_instance, L"Local_Video_Image", ZImageFormat{ZIT_RGB24, kNoiseWidth, kNoiseHeight},
                                      reinterpret_cast<const unsigned char*>(_videoPicture.data()));
            _videoPicture.clear();
        }
    }
}
