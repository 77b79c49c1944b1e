// The seam under the capture functions: what a capture system (V4L2, ALSA,
// a media file, a test's own source) supplies, and the negotiation every
// one of them shares: device search by friendly name, ranking of offered
// video formats, clamping, audio buffer rounding and their log lines.
//
// Threading: listing, opening and configuring run on the thread that opens
// the capture; a device's streaming thread calls its sink until stop()
// returns.
#pragma once

#include <cstdint>
#include <list>
#include <stdexcept>
#include <string>
#include <vector>

#include "ZNonPortable_Base.h"
#include "ZPortable_Rect.h"
#include "ZUtil.h"

enum ZCaptureCategory { ZCAPTURE_AUDIO_CATEGORY, ZCAPTURE_VIDEO_CATEGORY };

constexpr std::uint32_t ZCaptureFourCC(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24;
}

// Sample layouts: packed YUV 4:2:2 (Y0 U Y1 V) and 24-bit RGB stored B, G, R.
constexpr std::uint32_t ZCAPTURE_SUBTYPE_YUY2 = ZCaptureFourCC('Y', 'U', 'Y', '2');
constexpr std::uint32_t ZCAPTURE_SUBTYPE_RGB24 = ZCaptureFourCC('B', 'G', 'R', '3');
constexpr std::uint32_t ZCAPTURE_SUBTYPE_PCM = 1;

// Bitmap compressions.
constexpr std::uint32_t ZCAPTURE_BI_RGB = 0;
constexpr std::uint32_t ZCAPTURE_BI_BITFIELDS = 3;

// Result codes beside negative errno values.
constexpr int ZCAPTURE_E_TYPE_NOT_ACCEPTED = static_cast<int>(0x8004022Au);
constexpr int ZCAPTURE_E_NO_FORMAT = static_cast<int>(0x80040200u);

// How many devices one listing or one search takes.
constexpr int MAX_MONIKERS = 10;

// The camera's offer for one layout: sides and frame intervals (100 ns).
struct ZCaptureVideoCaps {
    std::uint32_t subtype = 0;
    std::int32_t minWidth = 0, maxWidth = 0;
    std::int32_t minHeight = 0, maxHeight = 0;
    std::int64_t minFrameInterval = 0, maxFrameInterval = 0;
};

// The microphone's offer.
struct ZCaptureAudioCaps {
    std::uint32_t minBits = 0, maxBits = 0;
    std::uint32_t minFrequency = 0, maxFrequency = 0;
};

// The part of a bitmap header the capture reads; a positive height on an
// RGB layout means rows bottom-up.
struct ZCaptureBitmapHeader {
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0;
    std::uint32_t sizeImage = 0;
    bool operator==(const ZCaptureBitmapHeader& o) const = default;
};

// A bitmap header with the three colour masks that may follow it.
struct ZCaptureBitmapInfo {
    ZCaptureBitmapHeader header;
    std::uint32_t masks[3] = {0, 0, 0};
};

// A video media type: layout, bitmap header and frame interval (100 ns).
struct ZCaptureVideoType {
    std::uint32_t subtype = 0;
    ZCaptureBitmapHeader header;
    std::int64_t frameInterval = 0;
};

// An audio media type.
struct ZCaptureAudioType {
    std::uint32_t subtype = ZCAPTURE_SUBTYPE_PCM;
    std::uint16_t channels = 1;
    std::uint32_t samplesPerSecond = 0;
    std::uint16_t bitsPerSample = 0;
};

// One captured sample as a source hands it on. Results are 0 or a negative
// code; the start time counts 100 ns since 1601-01-01 UTC.
struct ZCaptureSample {
    int timeResult = 0;
    std::int64_t startTime = 0;
    int pointerResult = 0;
    const unsigned char* data = nullptr;
    int length = 0;
};

// Where a running source delivers its samples (a tap filter).
class ZCaptureSink {
public:
    virtual int transform(const ZCaptureSample* pSample) = 0;

protected:
    ~ZCaptureSink() = default;
};

// One opened capture device. Failing system calls log and throw
// (ZCAPTURE_CHECK); the opener catches.
class ZCaptureDevice {
public:
    virtual ~ZCaptureDevice() = default;
    virtual void getVideoCaps(std::vector<ZCaptureVideoCaps>& caps) { caps.clear(); }
    virtual void setVideoFormat(const ZCaptureVideoType& type);
    // The format the device delivers now; false when it has none to offer.
    virtual bool getVideoFormat(ZCaptureVideoType& type);
    virtual void getAudioCaps(std::vector<ZCaptureAudioCaps>& caps) { caps.clear(); }
    virtual void setAudioFormat(const ZCaptureAudioType& type);
    virtual bool getAudioFormat(ZCaptureAudioType& type);
    // Bytes of one delivered block; a multiple of whole 160-sample frames.
    virtual void suggestBufferSize(int bytes);
    // Starts the streaming thread that calls the sink for every sample.
    virtual void run(ZCaptureSink& sink) = 0;
    // Returns once the streaming thread has ended.
    virtual void stop() = 0;
};

// A capture system: lists devices by friendly name and opens them.
class ZCaptureBackend {
public:
    virtual ~ZCaptureBackend() = default;
    // Appends the names of the present devices in the system's order;
    // false when the category is empty or missing.
    virtual bool listDevices(ZCaptureCategory category, std::vector<std::wstring>& names) = 0;
    // The first device of that name; null when it is gone.
    virtual ZCaptureDevice* openDevice(ZCaptureCategory category, const std::wstring& name) = 0;
};

// The backend every capture uses: the system's (V4L2 and ALSA) unless a
// test installs its own; null restores the system's.
ZCaptureBackend* ZCaptureGetBackend();
void ZCaptureSetBackend(ZCaptureBackend* backend);
ZCaptureBackend* ZCaptureSystemBackend();
// A media file (AVI or YUV4MPEG2) as one video and, when it has one, one
// audio device; null with a warning when it cannot be read.
ZCaptureBackend* ZCaptureOpenFileBackend(const std::wstring& path);

// ---- guarded calls ------------------------------------------------------------

// Thrown by a failed guarded call or throwing assertion; caught by the opener.
struct ZCaptureFailure : std::runtime_error {
    explicit ZCaptureFailure(const char* text) : std::runtime_error(text) {}
};

// The system's text for a result code (negative errno or capture code).
std::wstring ZCaptureErrorText(int result);
// "0x" and eight upper-case hexadecimal digits.
std::wstring ZCaptureResultText(int result);
// Logs "ERROR Error HR return value: ..." and the call stack, then throws.
void ZCaptureCheckFailed(const char* file, int line, const char* function, int result, const char* callText);
void ZCaptureAssertFailed(const char* file, int line, const char* function, const char* text);

#define ZCAPTURE_CHECK(call)                                                         \
    do {                                                                             \
        const int _zanResult = (call);                                               \
        if (_zanResult < 0) ZCaptureCheckFailed(__FILE__, __LINE__, ZFUNC, _zanResult, #call); \
    } while (0)
#define ZCAPTURE_ASSERT(expr)                                                        \
    do {                                                                             \
        if (!(expr)) ZCaptureAssertFailed(__FILE__, __LINE__, ZFUNC, #expr);         \
    } while (0)
#define ZCAPTURE_ASSERT_T(expr, text)                                                \
    do {                                                                             \
        if (!(expr)) ZCaptureAssertFailed(__FILE__, __LINE__, ZFUNC, text);          \
    } while (0)

// ---- negotiation ----------------------------------------------------------------

// How far a requested value lies outside [lo, hi]; 0 inside.
std::int64_t ZCaptureGap(std::int64_t value, std::int64_t lo, std::int64_t hi);
// Frame rates from the intervals; false when an interval is 0 (no rate).
bool ZCaptureFrameRates(const ZCaptureVideoCaps& caps, std::int64_t& minRate, std::int64_t& maxRate);
// The nearest offered capability of the subtype by summed gaps (the lowest
// index among equals), -1 when none; logs each capability.
int ZCaptureRankVideoCaps(const std::vector<ZCaptureVideoCaps>& caps, std::uint32_t subtype, int fps, int width,
                          int height);
// The format to set from a chosen capability: interval and sides clamped
// into its ranges, image size of whole 32-bit rows.
ZCaptureVideoType ZCaptureClampVideoFormat(const ZCaptureVideoCaps& caps, int fps, int width, int height);
// Bits per pixel of a video subtype (0 when unknown).
int ZCaptureSubtypeBits(std::uint32_t subtype);
// "YUY2", "RGB24", or the four characters of another code.
std::wstring ZCaptureSubtypeName(std::uint32_t subtype);
// Copies a frame whose rows are padded to bytesPerLine into rows of exactly
// rowBytes; false (out untouched) when the padding or the bytes do not fit.
bool ZCaptureCompactRows(const unsigned char* data, std::size_t used, std::uint32_t rowBytes,
                         std::uint32_t bytesPerLine, std::uint32_t height, std::vector<unsigned char>& out);
// Bytes of one audio block: latency's worth, rounded up to whole frames of
// 160 samples.
int ZCaptureAudioBufferBytes(int frequency, int bytesPerSample, int latencyMs);

void ZDirectShow_EnumerateDevices(ZCaptureBackend& backend, std::list<std::wstring>& names, ZCaptureCategory category);
ZCaptureDevice* ZDirectShow_EnumerateAndCreate(ZCaptureBackend& backend, ZCaptureCategory category,
                                               const std::wstring& name);
bool ZDirectShow_ConfigureVideoDevice(ZCaptureDevice* device, std::uint32_t subtype, int fps, int width, int height);
void ZDirectShow_ConfigureAudioDevice(ZCaptureDevice* device, std::uint32_t subtype, int frequency,
                                      int bytesPerSample, int latencyMs);

// ---- streaming threads -------------------------------------------------------------

// The streaming thread of one source: runs the source's loop until stopped;
// its waits end early when a stop is asked for.
class ZCaptureStreamer {
public:
    ZCaptureStreamer();
    ~ZCaptureStreamer();
    ZCaptureStreamer(const ZCaptureStreamer&) = delete;
    ZCaptureStreamer& operator=(const ZCaptureStreamer&) = delete;

    typedef void (*Loop)(ZCaptureStreamer& streamer, void* param);
    void start(Loop loop, void* param);
    // Asks the loop to end and waits for its thread; harmless when not running.
    void stop();
    bool stopping() const;
    // Waits until ZTimeNow() reaches the time; false when a stop came first.
    bool waitUntil(std::int64_t time);

private:
    struct State;
    State* _state;
};

// The system's capture backends: ALSA for audio, V4L2 for video.
ZCaptureBackend* ZCaptureALSABackend();
ZCaptureBackend* ZCaptureV4L2Backend();
