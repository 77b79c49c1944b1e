// Microphones through ALSA: devices from the PCM name hints, opened through
// "plug" so any device gives mono 16-bit samples at the requested rate, one
// period per delivered block.
#include <alsa/asoundlib.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <time.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "ZCaptureBackend.h"
#include "ZNonPortable_Capture.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

std::atomic<std::int64_t> g_firstSampleTime{0};

std::int64_t monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// ALSA reports its own diagnostics; they belong in our log, not on stderr.
void alsaErrorHandler(const char* file, int line, const char* function, int err, const char* fmt, ...) {
    (void)file;
    (void)line;
    (void)function;
    (void)err;
    char text[512];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    ZLOGC('a', L"ALSA: " << text);
}

void installErrorHandler() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(alsaErrorHandler); });
}

snd_pcm_format_t formatOfBits(unsigned int bits) {
    switch (bits) {
        case 8: return SND_PCM_FORMAT_U8;
        case 16: return SND_PCM_FORMAT_S16_LE;
        case 24: return SND_PCM_FORMAT_S24_3LE;
        case 32: return SND_PCM_FORMAT_S32_LE;
        default: return SND_PCM_FORMAT_UNKNOWN;
    }
}

// One opened capture PCM.
class ZALSADevice : public ZCaptureDevice {
public:
    explicit ZALSADevice(snd_pcm_t* pcm) : _pcm(pcm) {}
    ~ZALSADevice() override {
        stop();
        snd_pcm_close(_pcm);
    }

    void getAudioCaps(std::vector<ZCaptureAudioCaps>& caps) override {
        caps.clear();
        snd_pcm_hw_params_t* params;
        snd_pcm_hw_params_alloca(&params);
        ZCAPTURE_CHECK(snd_pcm_hw_params_any( _pcm, params ));
        ZCaptureAudioCaps c;
        int dir = 0;
        unsigned int rate = 0;
        ZCAPTURE_CHECK(snd_pcm_hw_params_get_rate_min( params, &rate, &dir ));
        c.minFrequency = rate;
        ZCAPTURE_CHECK(snd_pcm_hw_params_get_rate_max( params, &rate, &dir ));
        c.maxFrequency = rate;
        for (unsigned int bits : {8u, 16u, 24u, 32u}) {
            if (snd_pcm_hw_params_test_format(_pcm, params, formatOfBits(bits)) != 0) continue;
            if (c.minBits == 0) c.minBits = bits;
            c.maxBits = bits;
        }
        if (c.minBits) caps.push_back(c);
    }

    void setAudioFormat(const ZCaptureAudioType& type) override {
        ZCAPTURE_ASSERT(formatOfBits(type.bitsPerSample) != SND_PCM_FORMAT_UNKNOWN);
        _type = type;
        if (_periodBytes == 0) _periodBytes = type.bitsPerSample / 8 * 160;
    }

    bool getAudioFormat(ZCaptureAudioType& type) override {
        if (_type.samplesPerSecond == 0) return false;
        type = _type;
        return true;
    }

    void suggestBufferSize(int bytes) override {
        if (bytes > 0) _periodBytes = bytes;
    }

    void run(ZCaptureSink& sink) override {
        ZCAPTURE_ASSERT(_type.samplesPerSecond > 0);
        snd_pcm_hw_params_t* params;
        snd_pcm_hw_params_alloca(&params);
        const unsigned int frameBytes = _type.bitsPerSample / 8 * _type.channels;
        snd_pcm_uframes_t period = _periodBytes / frameBytes;
        snd_pcm_uframes_t buffer = period * 4;
        ZCAPTURE_CHECK(snd_pcm_hw_params_any( _pcm, params ));
        ZCAPTURE_CHECK(snd_pcm_hw_params_set_access( _pcm, params, SND_PCM_ACCESS_RW_INTERLEAVED ));
        ZCAPTURE_CHECK(snd_pcm_hw_params_set_format( _pcm, params, formatOfBits( _type.bitsPerSample ) ));
        ZCAPTURE_CHECK(snd_pcm_hw_params_set_channels( _pcm, params, _type.channels ));
        ZCAPTURE_CHECK(snd_pcm_hw_params_set_rate( _pcm, params, _type.samplesPerSecond, 0 ));
        ZCAPTURE_CHECK(snd_pcm_hw_params_set_period_size_near( _pcm, params, &period, nullptr ));
        ZCAPTURE_CHECK(snd_pcm_hw_params_set_buffer_size_near( _pcm, params, &buffer ));
        ZCAPTURE_CHECK(snd_pcm_hw_params( _pcm, params ));
        ZCAPTURE_CHECK(snd_pcm_prepare( _pcm ));
        ZCAPTURE_CHECK(snd_pcm_start( _pcm ));
        _frameBytes = frameBytes;
        _sink = &sink;
        _streamer.start(&ZALSADevice::streamLoop, this);
    }

    void stop() override {
        _streamer.stop();
        snd_pcm_drop(_pcm);
    }

private:
    static void streamLoop(ZCaptureStreamer& streamer, void* param) {
        static_cast<ZALSADevice*>(param)->stream(streamer);
    }

    // Reads whole blocks and stamps each with the time of its first sample.
    // A device that makes us wait for its samples sets the pace and the
    // clock follows it; one that never does (a file, "null") is paced to
    // the clock, one block ahead at most.
    void stream(ZCaptureStreamer& streamer) {
        const snd_pcm_uframes_t blockFrames = _periodBytes / _frameBytes;
        std::vector<unsigned char> block(static_cast<std::size_t>(blockFrames) * _frameBytes);
        const std::int64_t rate = _type.samplesPerSecond;
        const std::int64_t blockMicros = static_cast<std::int64_t>(blockFrames) * 1000000 / rate;
        std::int64_t due = ZTimeNow();  // when the next block's first sample was taken
        std::int64_t last = due;
        std::uint64_t delivered = 0;
        while (!streamer.stopping()) {
            if (!streamer.waitUntil(due)) break;
            // Some devices ("null") leave the buffer untouched: what they deliver is silence.
            std::fill(block.begin(), block.end(), 0);
            snd_pcm_uframes_t got = 0;
            int failure = 0;
            bool waited = false;
            while (got < blockFrames && !streamer.stopping()) {
                const snd_pcm_sframes_t n = snd_pcm_readi(_pcm, block.data() + got * _frameBytes, blockFrames - got);
                if (n >= 0) {
                    got += static_cast<snd_pcm_uframes_t>(n);
                } else if (n == -EAGAIN) {
                    waited = true;
                    snd_pcm_wait(_pcm, 50);
                } else {
                    failure = static_cast<int>(n);
                    break;
                }
            }
            if (streamer.stopping()) break;
            const std::int64_t now = ZTimeNow();
            std::int64_t stamp = waited ? now - blockMicros : due;
            if (stamp < last) stamp = last;
            ZCaptureSample sample;
            sample.startTime = stamp * 10;
            if (failure < 0) {
                sample.pointerResult = failure;
                _sink->transform(&sample);
                // An overrun is repaired at once; other faults are retried a little later.
                if (snd_pcm_recover(_pcm, failure, 1) < 0 || snd_pcm_start(_pcm) < 0)
                    streamer.waitUntil(now + 100000);
                due = ZTimeNow();
                continue;
            }
            if (!delivered++) g_firstSampleTime = monotonicNow() - (now - stamp);
            sample.data = block.data();
            sample.length = static_cast<int>(block.size());
            _sink->transform(&sample);
            last = stamp;
            due = (waited ? now : due + blockMicros);
        }
    }

    snd_pcm_t* _pcm;
    ZCaptureAudioType _type{ZCAPTURE_SUBTYPE_PCM, 1, 0, 0};
    unsigned int _periodBytes = 0;
    unsigned int _frameBytes = 0;
    ZCaptureSink* _sink = nullptr;
    ZCaptureStreamer _streamer;
};

}  // namespace

std::int64_t _ZCaptureAudioFirstSampleTime() { return g_firstSampleTime; }

namespace {

// The capture PCMs ALSA lists.
class ZALSABackend : public ZCaptureBackend {
public:
    bool listDevices(ZCaptureCategory category, std::vector<std::wstring>& names) override {
        if (category != ZCAPTURE_AUDIO_CATEGORY) return false;
        installErrorHandler();
        void** hints = nullptr;
        if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return false;
        for (void** hint = hints; *hint; ++hint) {
            char* name = snd_device_name_get_hint(*hint, "NAME");
            char* ioid = snd_device_name_get_hint(*hint, "IOID");
            // No IOID means the device works both ways.
            if (name && (!ioid || strcmp(ioid, "Input") == 0)) names.push_back(ZFromUTF8(name));
            free(name);
            free(ioid);
        }
        snd_device_name_free_hint(hints);
        return !names.empty();
    }

    ZCaptureDevice* openDevice(ZCaptureCategory category, const std::wstring& name) override {
        if (category != ZCAPTURE_AUDIO_CATEGORY) return nullptr;
        installErrorHandler();
        const std::string plugName = "plug:\"" + ZToUTF8(name) + "\"";
        snd_pcm_t* pcm = nullptr;
        ZCAPTURE_CHECK(snd_pcm_open( &pcm, plugName.c_str( ), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK ));
        return new ZALSADevice(pcm);
    }
};

}  // namespace

ZCaptureBackend* ZCaptureALSABackend() {
    static ZALSABackend backend;
    return &backend;
}
