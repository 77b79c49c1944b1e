// The looping sound buffer over ALSA (a pump thread, paced by the clock) or
// over nothing (cursors moved by a clock).
#include <alsa/asoundlib.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "ZNonPortable_SoundBuffer.h"
#include "ZNonPortable_Thread.h"
#include "ZUtil.h"

namespace {

std::mutex g_settingsMutex;  // leaf lock: the device, configuration and clock below
std::string g_device = "default";
std::string g_configText;
std::int64_t (*g_clock)() = nullptr;
int g_failOpen = 0;
int (*g_positionSource)(std::uint32_t*, std::uint32_t*) = nullptr;
std::atomic<std::int64_t> g_lastPlayStart{0};

std::int64_t monotonicNow() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

snd_pcm_t* openPCM(const std::string& device, const std::string& configText, int& result) {
    snd_pcm_t* pcm = nullptr;
    if (configText.empty()) {
        result = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0);
        return result < 0 ? nullptr : pcm;
    }
    snd_config_t* config = nullptr;
    snd_input_t* input = nullptr;
    result = snd_config_top(&config);
    if (result < 0) return nullptr;
    result = snd_input_buffer_open(&input, configText.data(), static_cast<ssize_t>(configText.size()));
    if (result >= 0) {
        result = snd_config_load(config, input);
        snd_input_close(input);
    }
    if (result >= 0) result = snd_pcm_open_lconf(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0, config);
    snd_config_delete(config);
    return result < 0 ? nullptr : pcm;
}

// Chunks of about 10 ms go to the device, which holds about 40 ms.
constexpr int kChunkMs = 10;
constexpr int kDeviceMs = 40;

}  // namespace

struct ZSoundBufferRecord {
    std::vector<unsigned char> ring;
    std::uint32_t bytesPerSecond = 0;
    std::uint32_t frameBytes = 0;
    std::uint32_t chunkBytes = 0;
    std::mutex ringMutex;  // the ring and the cursors below
    bool playing = false;
    // Null backend: when play started, by the clock.
    std::int64_t (*clock)() = nullptr;
    int (*positionSource)(std::uint32_t*, std::uint32_t*) = nullptr;
    std::int64_t playStart = 0;
    // ALSA backend.
    snd_pcm_t* pcm = nullptr;
    std::uint64_t handedOff = 0;  // bytes given to the device since play
    std::uint64_t delayBytes = 0;
    std::int64_t pumpStart = 0;
    std::atomic<bool> stopPump{false};
    ZThreadId pump = 0;
};

namespace {

std::int64_t nowOf(ZSoundBufferRecord* b) { return b->clock ? b->clock() : monotonicNow(); }

void pumpProc(void* data) {
    ZSoundBufferRecord* b = static_cast<ZSoundBufferRecord*>(data);
    std::vector<unsigned char> chunk(b->chunkBytes);
    const std::uint64_t deviceBytes = static_cast<std::uint64_t>(b->bytesPerSecond) * kDeviceMs / 1000;
    while (!b->stopPump) {
        bool write = false;
        {
            std::lock_guard<std::mutex> guard(b->ringMutex);
            if (b->playing) {
                // Never more than the device buffer ahead of the clock.
                const std::int64_t elapsed = monotonicNow() - b->pumpStart;
                const std::uint64_t allowed =
                    static_cast<std::uint64_t>(elapsed) * b->bytesPerSecond / 1000000 + deviceBytes;
                if (b->handedOff + b->chunkBytes <= allowed) {
                    const std::size_t size = b->ring.size();
                    std::size_t at = static_cast<std::size_t>(b->handedOff % size);
                    for (std::size_t i = 0; i < chunk.size(); ++i, at = (at + 1) % size) chunk[i] = b->ring[at];
                    write = true;
                }
            }
        }
        if (!write) {
            ZThreadSleep(2000);
            continue;
        }
        const snd_pcm_uframes_t frames = b->chunkBytes / b->frameBytes;
        snd_pcm_sframes_t written = snd_pcm_writei(b->pcm, chunk.data(), frames);
        if (written == -EPIPE) {
            snd_pcm_prepare(b->pcm);
            written = snd_pcm_writei(b->pcm, chunk.data(), frames);
        }
        if (written < 0) written = static_cast<snd_pcm_sframes_t>(frames);  // lost to the device; time goes on
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(b->pcm, &delay) < 0 || delay < 0) delay = 0;
        std::lock_guard<std::mutex> guard(b->ringMutex);
        b->handedOff += static_cast<std::uint64_t>(written) * b->frameBytes;
        b->delayBytes = std::min<std::uint64_t>(static_cast<std::uint64_t>(delay) * b->frameBytes, b->handedOff);
    }
}

}  // namespace

void _ZSoundBufferSetDevice(const std::string& device, const std::string& configText) {
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    g_device = device;
    g_configText = configText;
}

void _ZSoundBufferSetClock(std::int64_t (*clock)()) {
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    g_clock = clock;
}

void _ZSoundBufferFailOpen(int result) {
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    g_failOpen = result;
}

void _ZSoundBufferSetPositionSource(int (*source)(std::uint32_t* play, std::uint32_t* write)) {
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    g_positionSource = source;
}

std::int64_t _ZSoundBufferLastPlayStart() { return g_lastPlayStart; }

int ZSoundBufferOpen(ZSoundBuffer* buffer, std::uint32_t samplesPerSecond, std::uint16_t bitsPerSample,
                     std::uint16_t channels, std::uint32_t bytes) {
    ZTRACE();
    *buffer = nullptr;
    std::string device, configText;
    std::int64_t (*clock)() = nullptr;
    int (*positionSource)(std::uint32_t*, std::uint32_t*) = nullptr;
    int failOpen = 0;
    {
        std::lock_guard<std::mutex> guard(g_settingsMutex);
        device = g_device;
        configText = g_configText;
        clock = g_clock;
        positionSource = g_positionSource;
        failOpen = g_failOpen;
    }
    if (failOpen < 0) return failOpen;
    if ((bitsPerSample != 8 && bitsPerSample != 16) || channels < 1 || channels > 2 || samplesPerSecond < 1000 ||
        samplesPerSecond > 192000 || bytes == 0)
        return -EINVAL;
    auto* b = new ZSoundBufferRecord;
    b->ring.assign(bytes, bitsPerSample == 8 ? 0x80 : 0);
    b->frameBytes = static_cast<std::uint32_t>(bitsPerSample / 8 * channels);
    b->bytesPerSecond = samplesPerSecond * b->frameBytes;
    b->chunkBytes = std::max<std::uint32_t>(b->bytesPerSecond * kChunkMs / 1000 / b->frameBytes, 1) * b->frameBytes;
    b->clock = clock;
    b->positionSource = positionSource;
    if (!device.empty()) {
        int result = 0;
        b->pcm = openPCM(device, configText, result);
        if (b->pcm)
            result = snd_pcm_set_params(b->pcm, bitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE,
                                        SND_PCM_ACCESS_RW_INTERLEAVED, channels, samplesPerSecond, 1,
                                        kDeviceMs * 1000);
        if (result < 0) {
            ZLOG(L"WARNING Cannot open sound output '" << device << L"' (" << snd_strerror(result)
                                                        << L"), playing into the null device.");
            if (b->pcm) snd_pcm_close(b->pcm);
            b->pcm = nullptr;
        }
    }
    if (b->pcm) {
        b->pump = ZThreadOpen(L"ZSoundBuffer_pump", pumpProc, b);
        if (!b->pump) {
            snd_pcm_close(b->pcm);
            delete b;
            return -EAGAIN;
        }
    }
    *buffer = b;
    return 0;
}

void ZSoundBufferClose(ZSoundBuffer b) {
    ZTRACE();
    if (!b) return;
    if (b->pump) {
        b->stopPump = true;
        ZThreadClose(b->pump);
    }
    if (b->pcm) {
        snd_pcm_drop(b->pcm);
        snd_pcm_close(b->pcm);
    }
    delete b;
}

int ZSoundBufferLock(ZSoundBuffer b, std::uint32_t offset, std::uint32_t bytes, void** front,
                     std::uint32_t* frontBytes, void** back, std::uint32_t* backBytes, bool entire) {
    *front = *back = nullptr;
    *frontBytes = *backBytes = 0;
    const std::uint32_t size = static_cast<std::uint32_t>(b->ring.size());
    if (entire) {
        offset = 0;
        bytes = size;
    }
    if (offset >= size || bytes > size) return -EINVAL;
    b->ringMutex.lock();  // until the unlock
    *front = b->ring.data() + offset;
    *frontBytes = std::min(bytes, size - offset);
    if (bytes > *frontBytes) {
        *back = b->ring.data();
        *backBytes = bytes - *frontBytes;
    }
    return 0;
}

int ZSoundBufferUnlock(ZSoundBuffer b, void*, std::uint32_t, void*, std::uint32_t) {
    b->ringMutex.unlock();
    return 0;
}

int ZSoundBufferPlay(ZSoundBuffer b) {
    std::lock_guard<std::mutex> guard(b->ringMutex);
    if (!b->playing) {
        b->playing = true;
        b->playStart = nowOf(b);
        b->pumpStart = monotonicNow();
        g_lastPlayStart = b->pumpStart;
        b->handedOff = 0;
        b->delayBytes = 0;
    }
    return 0;
}

int ZSoundBufferStop(ZSoundBuffer b) {
    std::lock_guard<std::mutex> guard(b->ringMutex);
    b->playing = false;
    return 0;
}

int ZSoundBufferGetCurrentPosition(ZSoundBuffer b, std::uint32_t* play, std::uint32_t* write) {
    if (!b->pcm && b->positionSource) return b->positionSource(play, write);
    std::lock_guard<std::mutex> guard(b->ringMutex);
    const std::uint64_t size = b->ring.size();
    if (!b->playing) {
        *play = *write = 0;
        return 0;
    }
    std::uint64_t playing = 0, writing = 0;
    if (b->pcm) {
        playing = b->handedOff - b->delayBytes;
        writing = b->handedOff + b->chunkBytes;
    } else {
        const std::int64_t elapsed = std::max<std::int64_t>(nowOf(b) - b->playStart, 0);
        playing = static_cast<std::uint64_t>(elapsed) * b->bytesPerSecond / 1000000 / b->frameBytes * b->frameBytes;
        writing = playing + b->chunkBytes;
    }
    *play = static_cast<std::uint32_t>(playing % size);
    *write = static_cast<std::uint32_t>(writing % size);
    return 0;
}
