// The capture taps: type acceptance, the once-per-failure warnings of the
// per-sample path, time stamps and the top-down row order listeners rely on.
#include <string.h>

#include <algorithm>
#include <cerrno>

#include "ZCaptureTap.h"
#include "ZImage.h"
#include "ZNonPortable_ThreadInternal.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

constexpr std::uint32_t kYUY2Compression = 0x32595559;  // "YUY2"

// Streaming threads are not started by the program; they enter the thread
// registry themselves on their first sample.
void registerStreamingThread(const wchar_t* name) { _ZThreadRegisterCurrent(name); }

class ZMutexGuard {
public:
    explicit ZMutexGuard(ZMutex mutex) : _mutex(mutex) { ZMutexLock(_mutex); }
    ~ZMutexGuard() { ZMutexUnlock(_mutex); }
    ZMutexGuard(const ZMutexGuard&) = delete;
    ZMutexGuard& operator=(const ZMutexGuard&) = delete;

private:
    ZMutex _mutex;
};

std::wstring errorDetail(int result) {
    return ZCaptureResultText(result) + L" (" + ZCaptureErrorText(result) + L")";
}

template <typename Listener>
void removeAll(std::vector<Listener*>& list, Listener* listener) {
    list.erase(std::remove(list.begin(), list.end(), listener), list.end());
}

}  // namespace

bool ZImageTools_set(ZImageFormat& format, const ZCaptureBitmapInfo* bitmapInfo) {
    ZPRECONDITION(bitmapInfo);
    format = ZImageFormat{};
    const ZCaptureBitmapHeader& h = bitmapInfo->header;
    switch (h.bitCount) {
        case 16:
            if (h.compression == ZCAPTURE_BI_RGB) {
                format.type = ZIT_RGB555;
            } else if (h.compression == ZCAPTURE_BI_BITFIELDS) {
                const std::uint32_t green = bitmapInfo->masks[1];
                if (green == 0x3E0) {
                    format.type = ZIT_RGB555;
                } else if (green == 0x7E0) {
                    format.type = ZIT_RGB565;
                } else {
                    ZLOG(L"ERROR Unsupported bitfields: " << green << L", aborting.");
                    ZAbort();
                    return false;
                }
            } else if (h.compression == kYUY2Compression) {
                format.type = ZIT_YUY2;
            } else {
                ZLOG(L"ERROR Unsupported compression: " << h.compression << L", aborting.");
                ZAbort();
                return false;
            }
            break;
        case 24:
            format.type = ZIT_BGR24;
            break;
        case 32:
            format.type = ZIT_BGRA32;
            break;
        default:
            ZLOG(L"ERROR Unsupported bitdepth: " << static_cast<int>(h.bitCount) << L", aborting.");
            ZAbort();
            return false;
    }
    format.width = h.width;
    format.height = h.height < 0 ? -h.height : h.height;
    return (h.compression == ZCAPTURE_BI_RGB || h.compression == ZCAPTURE_BI_BITFIELDS) && h.height > 0;
}

// ---- video ----------------------------------------------------------------------

_ZVideoTapFilter::_ZVideoTapFilter() : _mutex(ZMutexOpen()) { ZTRACE_KIND("_ZVideoTapFilter"); }

_ZVideoTapFilter::~_ZVideoTapFilter() {
    ZTRACE();
    ZMutexClose(_mutex);
    ZWARNASSERT_T(_listenerList.empty(), "_listenerList.empty( )");
}

int _ZVideoTapFilter::checkInputType(const ZCaptureVideoType* mtIn) {
    ZPRECONDITION(mtIn);
    if (mtIn->subtype != ZCAPTURE_SUBTYPE_YUY2 && mtIn->subtype != ZCAPTURE_SUBTYPE_RGB24)
        return ZCAPTURE_E_TYPE_NOT_ACCEPTED;
    const ZCaptureBitmapHeader& h = mtIn->header;
    const bool rgb = h.compression == ZCAPTURE_BI_RGB && h.bitCount == 24;
    const bool yuy2 = h.compression == kYUY2Compression && h.bitCount == 16;
    // A side that is not positive (or too large to measure) gives no frame size to check samples against.
    if (!(rgb || yuy2) || h.width <= 0 || h.height == 0 || h.height == INT32_MIN) return ZCAPTURE_E_TYPE_NOT_ACCEPTED;
    ZImageFormat probe{rgb ? ZIT_BGR24 : ZIT_YUY2, h.width, h.height < 0 ? -h.height : h.height};
    if (probe.getBufferSize() <= 0) return ZCAPTURE_E_TYPE_NOT_ACCEPTED;
    _setFormat(h);
    return 0;
}

int _ZVideoTapFilter::completeConnect(const ZCaptureVideoType* pReceivePin) {
    ZPRECONDITION(pReceivePin);
    _setFormat(pReceivePin->header);
    return 0;
}

void _ZVideoTapFilter::_setFormat(const ZCaptureBitmapHeader& header) {
    if (!_hasHeader) {
        _hasHeader = true;
        _bitmapInfoHeader = header;
        ZCaptureBitmapInfo info;
        info.header = header;
        _flip = ZImageTools_set(_imageFormat, &info);
        ZLOGC('V', L"Flipping input image: " << (_flip ? L"YES" : L"NO"));
        _bitmapInfoHeader.height = -std::abs(_bitmapInfoHeader.height);
        return;
    }
    ZCaptureBitmapHeader testBIH = header;
    testBIH.height = -std::abs(testBIH.height);
    ZWARNASSERT_T(_bitmapInfoHeader == testBIH, "!memcmp( &_bitmapInfoHeader, &testBIH, sizeof(BITMAPINFOHEADER) )");
}

int _ZVideoTapFilter::transform(const ZCaptureSample* pSample) {
    ZPRECONDITION(pSample);
    if (!_threadRegistered) {
        registerStreamingThread(L"_ZVideoTapFilter");
        _threadRegistered = true;
    }
    const bool timeFailed = pSample->timeResult < 0;
    if (timeFailed != _timestampFailed) {
        if (timeFailed)
            ZLOG(L"WARNING Failed to get timestamp, only reporting once.  Error " << errorDetail(pSample->timeResult));
        else
            ZLOG(L"WARNING Succeeded getting timestamp after previous failure.");
        _timestampFailed = timeFailed;
    }
    int pointerResult = pSample->pointerResult;
    if (pointerResult >= 0 && !pSample->data) pointerResult = -EFAULT;
    const int expected = _imageFormat.getBufferSize();
    const bool lengthWrong = pointerResult >= 0 && (expected <= 0 || pSample->length != expected);
    if (pointerResult < 0 || lengthWrong) {
        if (!_frameFailed) {
            if (pointerResult < 0)
                ZLOG(L"WARNING Unable to get sample pointer, only reporting once.  Error " << errorDetail(pointerResult));
            if (lengthWrong)
                ZLOG(L"WARNING Invalid image length, should be " << expected << L"bytes, is " << pSample->length << L" ("
                                                                  << _imageFormat.toString() << L").  Only reporting once.");
        }
        _frameFailed = true;
        return 0;
    }
    _frameFailed = false;
    const std::int64_t timestamp = timeFailed ? ZTimeNow() : pSample->startTime / 10;
    const unsigned char* bytes = pSample->data;
    if (_flip) {
        _flipBuffer.assign(reinterpret_cast<const char*>(pSample->data), static_cast<std::size_t>(pSample->length));
        ZImageVertMirror(_imageFormat, reinterpret_cast<unsigned char*>(_flipBuffer.data()));
        bytes = reinterpret_cast<const unsigned char*>(_flipBuffer.data());
    }
    ZMutexGuard guard(_mutex);
    // By index: a listener that breaks the rule and unsubscribes from inside
    // its call must not invalidate the walk.
    for (std::size_t i = 0; i < _listenerList.size(); ++i)
        _listenerList[i]->onVideoFrame(timestamp, _imageFormat, bytes, pSample->length);
    return 0;
}

void _ZVideoTapFilter::subscribe(IZCaptureVideoListener* listener) {
    ZMutexGuard guard(_mutex);
    _listenerList.push_back(listener);
}

void _ZVideoTapFilter::unsubscribe(IZCaptureVideoListener* listener) {
    ZMutexGuard guard(_mutex);
    removeAll(_listenerList, listener);
}

// ---- audio ----------------------------------------------------------------------

_ZAudioTapFilter::_ZAudioTapFilter(int samplesPerSecond, int bytesPerSample) : _mutex(ZMutexOpen()) {
    ZTRACE_KIND("_ZAudioTapFilter");
    _format.bytesPerSample = static_cast<std::uint32_t>(bytesPerSample);
    _format.samplesPerSecond = static_cast<std::uint32_t>(samplesPerSecond);
}

_ZAudioTapFilter::~_ZAudioTapFilter() {
    ZTRACE();
    ZMutexClose(_mutex);
    ZWARNASSERT_T(_listenerList.empty(), "_listenerList.empty( )");
}

int _ZAudioTapFilter::checkInputType(const ZCaptureAudioType* mtIn) {
    ZPRECONDITION(mtIn);
    if (mtIn->subtype != ZCAPTURE_SUBTYPE_PCM) return ZCAPTURE_E_TYPE_NOT_ACCEPTED;
    if (mtIn->bitsPerSample != _format.bytesPerSample * 8) return ZCAPTURE_E_TYPE_NOT_ACCEPTED;
    if (mtIn->samplesPerSecond != _format.samplesPerSecond) return ZCAPTURE_E_TYPE_NOT_ACCEPTED;
    return 0;
}

int _ZAudioTapFilter::transform(const ZCaptureSample* pSample) {
    ZPRECONDITION(pSample);
    if (!_threadRegistered) {
        registerStreamingThread(L"_ZAudioTapFilter");
        _threadRegistered = true;
    }
    int result = pSample->timeResult;
    if (result >= 0) result = pSample->pointerResult;
    if (result >= 0 && (!pSample->data || pSample->length < 0)) result = -EFAULT;
    if (result < 0) {
        if (!_samplesFailed) ZLOG(L"WARNING Failed to get samples, only reporting once.  Error " << errorDetail(result));
        _samplesFailed = true;
        return 0;
    }
    const std::int64_t timestamp = pSample->startTime / 10;
    {
        ZMutexGuard guard(_mutex);
        for (std::size_t i = 0; i < _listenerList.size(); ++i)
            _listenerList[i]->onAudioFrame(timestamp, _format, pSample->data, pSample->length);
    }
    _samplesFailed = false;
    return 0;
}

void _ZAudioTapFilter::subscribe(IZCaptureAudioListener* listener) {
    ZMutexGuard guard(_mutex);
    _listenerList.push_back(listener);
}

void _ZAudioTapFilter::unsubscribe(IZCaptureAudioListener* listener) {
    ZMutexGuard guard(_mutex);
    removeAll(_listenerList, listener);
}
