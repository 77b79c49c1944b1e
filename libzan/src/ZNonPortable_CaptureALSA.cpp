// Microphones through ALSA: devices from the PCM name hints, opened through
// "plug" so any device gives mono 16-bit samples at the requested rate, one
// period per delivered block.
#include <alsa/asoundlib.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "ZCaptureBackend.h"
#include "ZNonPortable_Capture.h"
#include "ZNonPortable_CaptureALSAChoices.h"
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

// The capture hints ALSA lists (devices that work both ways have no IOID).
bool captureHints(std::vector<ZALSAHint>& out) {
    void** hints = nullptr;
    if (snd_device_name_hint(-1, "pcm", &hints) < 0 || !hints) return false;
    for (void** hint = hints; *hint; ++hint) {
        char* name = snd_device_name_get_hint(*hint, "NAME");
        char* ioid = snd_device_name_get_hint(*hint, "IOID");
        char* desc = snd_device_name_get_hint(*hint, "DESC");
        if (name && (!ioid || strcmp(ioid, "Input") == 0)) out.push_back(ZALSAHint{name, desc ? desc : ""});
        free(name);
        free(ioid);
        free(desc);
    }
    snd_device_name_free_hint(hints);
    return true;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string firstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

// The card's identifier in a name such as "hw:CARD=PCH,DEV=0"; empty when
// the name names no card.
std::string cardOf(const std::string& name) {
    const std::size_t at = name.find("CARD=");
    if (at == std::string::npos) return "";
    const std::size_t end = name.find(',', at);
    return name.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
}

// Plug-ins and helpers of ALSA's own configuration, not devices to talk into.
bool isPlugin(const ZALSAHint& hint) {
    static const char* const kPlugins[] = {"null", "jack", "oss", "lavrate", "samplerate", "speexrate",
                                           "upmix", "vdownmix", "a52", "usbstream"};
    for (const char* plugin : kPlugins)
        if (hint.name == plugin || (startsWith(hint.name, plugin) && hint.name[std::strlen(plugin)] == '_'))
            return true;
    return hint.description.find("Plugin") != std::string::npos;
}

}  // namespace

std::vector<ZALSAChoice> ZALSACaptureChoices(const std::vector<ZALSAHint>& hints) {
    std::vector<ZALSAChoice> defaults, servers, cards, others;
    std::vector<std::string> cardsTaken;
    auto shownAs = [](const ZALSAHint& hint) {
        const std::string line = firstLine(hint.description);
        return ZFromUTF8(line.empty() ? hint.name : line);
    };
    // A card is offered through its default way in ("sysdefault"), else its
    // first hardware device.
    for (const char* way : {"sysdefault:", "hw:"})
        for (const ZALSAHint& hint : hints) {
            const std::string card = cardOf(hint.name);
            if (card.empty() || !startsWith(hint.name, way)) continue;
            if (std::find(cardsTaken.begin(), cardsTaken.end(), card) != cardsTaken.end()) continue;
            cardsTaken.push_back(card);
            cards.push_back(ZALSAChoice{shownAs(hint), hint.name});
        }
    for (const ZALSAHint& hint : hints) {
        if (!cardOf(hint.name).empty() || isPlugin(hint)) continue;
        if (hint.name == "default")
            defaults.push_back(ZALSAChoice{L"default", hint.name});
        else if (hint.name == "pulse" || hint.name == "pipewire")
            servers.push_back(ZALSAChoice{shownAs(hint), hint.name});
        else if (hint.name.find(':') == std::string::npos)
            others.push_back(ZALSAChoice{ZFromUTF8(hint.name), hint.name});
    }
    std::vector<ZALSAChoice> out;
    for (auto* group : {&defaults, &servers, &cards, &others}) out.insert(out.end(), group->begin(), group->end());
    // Two cards of one model would read alike: the second shows its PCM too.
    for (std::size_t i = 0; i < out.size(); ++i)
        for (std::size_t j = 0; j < i; ++j)
            if (out[j].shown == out[i].shown) out[i].shown += L" (" + ZFromUTF8(out[i].pcm) + L")";
    return out;
}

namespace {

// The microphones a person can pick.
class ZALSABackend : public ZCaptureBackend {
public:
    bool listDevices(ZCaptureCategory category, std::vector<std::wstring>& names) override {
        if (category != ZCAPTURE_AUDIO_CATEGORY) return false;
        installErrorHandler();
        std::vector<ZALSAHint> hints;
        if (!captureHints(hints)) return false;
        for (const ZALSAChoice& choice : ZALSACaptureChoices(hints)) names.push_back(choice.shown);
        return !names.empty();
    }

    ZCaptureDevice* openDevice(ZCaptureCategory category, const std::wstring& name) override {
        if (category != ZCAPTURE_AUDIO_CATEGORY) return nullptr;
        installErrorHandler();
        // A name the list offered opens the PCM it stands for.
        std::string pcmName = ZToUTF8(name);
        std::vector<ZALSAHint> hints;
        if (captureHints(hints))
            for (const ZALSAChoice& choice : ZALSACaptureChoices(hints))
                if (choice.shown == name) pcmName = choice.pcm;
        const std::string plugName = "plug:\"" + pcmName + "\"";
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
