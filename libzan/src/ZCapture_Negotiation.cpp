// Device search by friendly name and format negotiation, shared by every
// capture backend: the ranking, clamping and rounding rules and their log
// lines live here so that each backend only reports what it offers.
#include <string.h>

#include <algorithm>

#include "ZCaptureBackend.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t ZCAPTURE_UNITS_PER_SECOND = 10000000;  // 100 ns units

const wchar_t* kindName(ZCaptureCategory category) {
    return category == ZCAPTURE_AUDIO_CATEGORY ? L"audio" : L"video";
}

const wchar_t* kindPrefix(ZCaptureCategory category) {
    return category == ZCAPTURE_AUDIO_CATEGORY ? L"AUDIODEVICE" : L"VIDEODEVICE";
}

void logNoDevices(ZCaptureCategory category) {
    ZLOG(kindPrefix(category) << L": No " << kindName(category) << L" capture devices present.");
}

std::int64_t clampTo(std::int64_t value, std::int64_t lo, std::int64_t hi) {
    return std::max(lo, std::min(value, hi));
}

}  // namespace

// ---- guarded calls ------------------------------------------------------------

std::wstring ZCaptureErrorText(int result) {
    if (result == ZCAPTURE_E_TYPE_NOT_ACCEPTED) return L"The media type offered is not accepted.";
    if (result == ZCAPTURE_E_NO_FORMAT) return L"The device offers no format that can be captured.";
    if (result < 0 && result > -4096) {
        char buffer[256];
        const char* text = strerror_r(-result, buffer, sizeof(buffer));
        return ZTrim(ZFromUTF8(text));
    }
    return std::wstring();
}

std::wstring ZCaptureResultText(int result) { return ZToHex(static_cast<unsigned int>(result), 8); }

void ZCaptureCheckFailed(const char* file, int line, const char* function, int result, const char* callText) {
    std::wstring text = ZLogPrefix(file, line, function);
    text << L"ERROR Error HR return value: " << ZCaptureResultText(result) << L" '" << ZCaptureErrorText(result)
         << L"' (" << callText << L")\n";
    ZLog(text);
    ZLogCallStack();
    throw ZCaptureFailure(callText);
}

void ZCaptureAssertFailed(const char* file, int line, const char* function, const char* expression) {
    std::wstring text = ZLogPrefix(file, line, function);
    text << L"ERROR: Assertion failed '" << expression << L"'\n";
    ZLog(text);
    ZLogCallStack();
    throw ZCaptureFailure(expression);
}

// ---- devices that do not offer a medium -----------------------------------------

void ZCaptureDevice::setVideoFormat(const ZCaptureVideoType&) { ZCAPTURE_CHECK(ZCAPTURE_E_NO_FORMAT); }
bool ZCaptureDevice::getVideoFormat(ZCaptureVideoType&) { return false; }
void ZCaptureDevice::setAudioFormat(const ZCaptureAudioType&) { ZCAPTURE_CHECK(ZCAPTURE_E_NO_FORMAT); }
bool ZCaptureDevice::getAudioFormat(ZCaptureAudioType&) { return false; }
void ZCaptureDevice::suggestBufferSize(int) {}

// ---- plain negotiation rules -------------------------------------------------------

std::int64_t ZCaptureGap(std::int64_t value, std::int64_t lo, std::int64_t hi) {
    if (value < lo) return lo - value;
    if (value < hi) return 0;
    return value - hi;
}

bool ZCaptureFrameRates(const ZCaptureVideoCaps& caps, std::int64_t& minRate, std::int64_t& maxRate) {
    minRate = maxRate = 0;
    // A driver that reports an interval of 0 gives no rate to rank by.
    if (caps.minFrameInterval <= 0 || caps.maxFrameInterval <= 0) return false;
    minRate = ZCAPTURE_UNITS_PER_SECOND / caps.maxFrameInterval;
    maxRate = ZCAPTURE_UNITS_PER_SECOND / caps.minFrameInterval;
    return true;
}

int ZCaptureSubtypeBits(std::uint32_t subtype) {
    if (subtype == ZCAPTURE_SUBTYPE_YUY2) return 16;
    if (subtype == ZCAPTURE_SUBTYPE_RGB24) return 24;
    return 0;
}

std::wstring ZCaptureSubtypeName(std::uint32_t subtype) {
    if (subtype == ZCAPTURE_SUBTYPE_YUY2) return L"YUY2";
    if (subtype == ZCAPTURE_SUBTYPE_RGB24) return L"RGB24";
    std::wstring name;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = static_cast<unsigned char>(subtype >> (8 * i));
        name += (c >= 0x20 && c < 0x7F) ? static_cast<wchar_t>(c) : L'?';
    }
    return name;
}

int ZCaptureRankVideoCaps(const std::vector<ZCaptureVideoCaps>& caps, std::uint32_t subtype, int fps, int width,
                          int height) {
    int best = -1;
    std::int64_t bestDistance = 2147483647;
    for (int i = 0; i < static_cast<int>(caps.size()); ++i) {
        const ZCaptureVideoCaps& c = caps[i];
        std::int64_t minRate, maxRate;
        const bool hasRate = ZCaptureFrameRates(c, minRate, maxRate);
        ZLOGC('v', L"- #" << i << L": FPS=" << static_cast<long long>(minRate) << L"-"
                          << static_cast<long long>(maxRate) << L", width=" << c.minWidth << L"-" << c.maxWidth
                          << L", height=" << c.minHeight << L"-" << c.maxHeight << L", subtype='"
                          << ZCaptureSubtypeName(c.subtype) << L"'");
        if (c.subtype != subtype || !hasRate) continue;
        const std::int64_t distance = ZCaptureGap(fps, minRate, maxRate) + ZCaptureGap(width, c.minWidth, c.maxWidth) +
                                      ZCaptureGap(height, c.minHeight, c.maxHeight);
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
            ZLOGC('v', L"New nearest match with #" << i << L".");
        }
    }
    return best;
}

ZCaptureVideoType ZCaptureClampVideoFormat(const ZCaptureVideoCaps& caps, int fps, int width, int height) {
    ZCaptureVideoType type;
    type.subtype = caps.subtype;
    type.frameInterval =
        clampTo(ZCAPTURE_UNITS_PER_SECOND / std::max(fps, 1), caps.minFrameInterval, caps.maxFrameInterval);
    ZCaptureBitmapHeader& h = type.header;
    h.width = static_cast<std::int32_t>(clampTo(width, caps.minWidth, caps.maxWidth));
    h.height = static_cast<std::int32_t>(clampTo(height, caps.minHeight, caps.maxHeight));
    h.bitCount = static_cast<std::uint16_t>(ZCaptureSubtypeBits(caps.subtype));
    h.compression = caps.subtype == ZCAPTURE_SUBTYPE_YUY2 ? ZCAPTURE_SUBTYPE_YUY2 : ZCAPTURE_BI_RGB;
    const std::int64_t rowBytes = (static_cast<std::int64_t>(h.bitCount) * h.width + 31) / 32 * 4;
    const std::int64_t size = rowBytes * (h.height < 0 ? -static_cast<std::int64_t>(h.height) : h.height);
    h.sizeImage = size > 0 && size <= 0x7FFFFFFF ? static_cast<std::uint32_t>(size) : 0;
    return type;
}

bool ZCaptureCompactRows(const unsigned char* data, std::size_t used, std::uint32_t rowBytes,
                         std::uint32_t bytesPerLine, std::uint32_t height, std::vector<unsigned char>& out) {
    if (!data || height == 0 || rowBytes == 0 || bytesPerLine <= rowBytes) return false;
    const std::size_t needed = static_cast<std::size_t>(bytesPerLine) * (height - 1) + rowBytes;
    if (used < needed) return false;
    out.resize(static_cast<std::size_t>(rowBytes) * height);
    for (std::uint32_t row = 0; row < height; ++row)
        memcpy(out.data() + static_cast<std::size_t>(row) * rowBytes,
               data + static_cast<std::size_t>(row) * bytesPerLine, rowBytes);
    return true;
}

int ZCaptureAudioBufferBytes(int frequency, int bytesPerSample, int latencyMs) {
    const std::int64_t frameSize = static_cast<std::int64_t>(bytesPerSample) * 160;
    std::int64_t bytes = static_cast<std::int64_t>(frequency) * bytesPerSample * latencyMs / 1000;
    if (frameSize <= 0 || bytes <= 0) return static_cast<int>(std::max<std::int64_t>(frameSize, 0));
    bytes = (bytes + frameSize - 1) / frameSize * frameSize;
    return static_cast<int>(std::min<std::int64_t>(bytes, 0x7FFFFFFF / frameSize * frameSize));
}

// ---- device search ---------------------------------------------------------------

void ZDirectShow_EnumerateDevices(ZCaptureBackend& backend, std::list<std::wstring>& names,
                                  ZCaptureCategory category) {
    ZLOGC('v', L"Enumerating " << kindName(category) << L" capture devices.");
    ZLOGC('v', L"Creating class enumerator.");
    std::vector<std::wstring> found;
    if (backend.listDevices(category, found) && !found.empty()) {
        ZLOGC('v', L"Enumerating up to " << MAX_MONIKERS << L" devices.");
        const int count = std::min(static_cast<int>(found.size()), MAX_MONIKERS);
        ZLOGC('v', count << L" devices found.");
        for (int c = 0; c < count; ++c) {
            ZLOGC('v', L"Binding device #" << c);
            ZLOGC('v', L"Reading friendly name for device #" << c);
            ZLOG(kindPrefix(category) << L": Device name='" << found[c] << L"'");
            names.push_back(found[c]);
        }
        ZLOGC('v', L"Releasing monikers.");
    } else {
        logNoDevices(category);
    }
    ZLOGC('v', L"Done.");
}

ZCaptureDevice* ZDirectShow_EnumerateAndCreate(ZCaptureBackend& backend, ZCaptureCategory category,
                                               const std::wstring& name) {
    ZLOGC('v', L"Enumerating " << kindName(category) << L" capture devices and creating '" << name << L"'");
    std::vector<std::wstring> found;
    if (!backend.listDevices(category, found) || found.empty()) {
        logNoDevices(category);
        return nullptr;
    }
    ZLOGC('v', L"Enumerating devices in search of '" << name << L"'");
    // The search covers exactly the devices a listing shows, so every listed
    // name can be opened.
    const int count = std::min(static_cast<int>(found.size()), MAX_MONIKERS);
    for (int i = 0; i < count; ++i) {
        if (found[i].empty() || found[i] != name) continue;
        ZLOGC('v', L"Found it, trying to bind...");
        ZCaptureDevice* device = backend.openDevice(category, name);
        if (!device) break;
        ZLOGC('v', L"Found it, Bound successful.");
        return device;
    }
    return nullptr;
}

// ---- configuration -----------------------------------------------------------------

bool ZDirectShow_ConfigureVideoDevice(ZCaptureDevice* device, std::uint32_t subtype, int fps, int width,
                                      int height) {
    ZPRECONDITION_PTR(device);
    ZPRECONDITION(fps >= 1);
    ZLOGC('v', L"Configuring Video Device: FPS=" << fps << L", width=" << width << L", height=" << height);
    std::vector<ZCaptureVideoCaps> caps;
    device->getVideoCaps(caps);
    const int iCount = static_cast<int>(caps.size());
    if (iCount <= 0) {
        ZLOG(L"WARNING GetNumberOfCapabilities( ) returned insufficient data (iCount=" << iCount
             << L", iSize=128, sizeof(VIDEO_STREAM_CONFIG_CAPS)=128), no match found.");
        return false;
    }
    const int best = ZCaptureRankVideoCaps(caps, subtype, fps, width, height);
    if (best < 0) {
        ZLOG(L"WARNING No match found");
        return false;
    }
    const ZCaptureVideoType type = ZCaptureClampVideoFormat(caps[best], fps, width, height);
    ZLOGC('v', L"Done: Picked #" << best << L".  Configuring to( fps="
                                 << static_cast<long long>(ZCAPTURE_UNITS_PER_SECOND / type.frameInterval)
                                 << L", width=" << type.header.width << L", height=" << type.header.height << L")");
    device->setVideoFormat(type);
    return true;
}

void ZDirectShow_ConfigureAudioDevice(ZCaptureDevice* device, std::uint32_t subtype, int frequency,
                                      int bytesPerSample, int latencyMs) {
    ZPRECONDITION_PTR(device);
    ZPRECONDITION(bytesPerSample >= 1);
    std::vector<ZCaptureAudioCaps> caps;
    device->getAudioCaps(caps);
    const int iCount = static_cast<int>(caps.size());
    ZCAPTURE_ASSERT(iCount > 0);
    ZLOGC('a', L"Configuring audio device: frequency=" << frequency << L", bits=" << bytesPerSample * 8
                                                       << L", latency=" << latencyMs);
    const std::uint32_t bits = static_cast<std::uint32_t>(bytesPerSample) * 8;
    const std::uint32_t rate = static_cast<std::uint32_t>(frequency);
    bool matched = false;
    for (const ZCaptureAudioCaps& c : caps) {
        ZLOGC('a', L"- frequency=[" << c.minFrequency << L"-" << c.maxFrequency << L"], bits=[" << c.minBits << L"-"
                                    << c.maxBits << L"]");
        if (subtype == ZCAPTURE_SUBTYPE_PCM && c.minBits <= bits && bits <= c.maxBits && c.minFrequency <= rate &&
            rate <= c.maxFrequency) {
            matched = true;
            break;
        }
    }
    ZCAPTURE_ASSERT_T(matched, "pmtConfig && pmtConfig->cbFormat >= sizeof(WAVEFORMATEX) && pmtConfig->pbFormat");
    ZCaptureAudioType type;
    type.subtype = subtype;
    type.channels = 1;
    type.samplesPerSecond = rate;
    type.bitsPerSample = static_cast<std::uint16_t>(bits);
    device->setAudioFormat(type);
    const int FRAME_SIZE = bytesPerSample * 160;
    const int cbBuffer = ZCaptureAudioBufferBytes(frequency, bytesPerSample, latencyMs);
    ZCAPTURE_ASSERT_T(!(cbBuffer % FRAME_SIZE), "!(allocatorProperties.cbBuffer%FRAME_SIZE)");
    device->suggestBufferSize(cbBuffer);
}
