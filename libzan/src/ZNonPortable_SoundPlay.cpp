// One-shot playback of WAV files: the RIFF/WAVE header read through a
// bounded chunk walk (the file may come from anywhere), the device opened at
// once so a failure is reported to the caller, the samples written on a
// detached worker thread that closes the device and frees the sound.
#include <alsa/asoundlib.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "ZNonPortable_Sound.h"
#include "ZNonPortable_SoundDevices.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// A ringing tone is a few seconds; anything this large is not a sound of ours.
constexpr long kMaxFileBytes = 64L * 1024 * 1024;

std::mutex g_mutex;  // leaf lock: devices and the count of playing sounds
std::condition_variable g_idle;
int g_playing = 0;
std::string g_mixerDevice = "default";
std::string g_playbackDevice = "default";
std::string g_configText;

std::uint32_t le32(const std::string& b, std::size_t at) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}
std::uint16_t le16(const std::string& b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      static_cast<unsigned char>(b[at + 1]) << 8);
}

bool readFile(const std::string& path, std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "rbe");
    if (!f) return false;
    bool ok = std::fseek(f, 0, SEEK_END) == 0;
    const long size = ok ? std::ftell(f) : -1;
    ok = ok && size >= 0 && size <= kMaxFileBytes && std::fseek(f, 0, SEEK_SET) == 0;
    if (ok) {
        bytes.resize(static_cast<std::size_t>(size));
        ok = std::fread(bytes.data(), 1, bytes.size(), f) == bytes.size();
    }
    std::fclose(f);
    return ok;
}

snd_pcm_format_t formatOf(int bits) {
    switch (bits) {
        case 8: return SND_PCM_FORMAT_U8;
        case 16: return SND_PCM_FORMAT_S16_LE;
        case 24: return SND_PCM_FORMAT_S24_3LE;
        case 32: return SND_PCM_FORMAT_S32_LE;
        default: return SND_PCM_FORMAT_UNKNOWN;
    }
}

snd_pcm_t* openDevice(const std::string& device, const std::string& configText) {
    snd_pcm_t* pcm = nullptr;
    if (configText.empty()) {
        if (snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0) < 0) return nullptr;
        return pcm;
    }
    snd_config_t* config = nullptr;
    snd_input_t* input = nullptr;
    if (snd_config_top(&config) < 0) return nullptr;
    int result = snd_input_buffer_open(&input, configText.data(), static_cast<ssize_t>(configText.size()));
    if (result >= 0) {
        result = snd_config_load(config, input);
        snd_input_close(input);
    }
    if (result >= 0) result = snd_pcm_open_lconf(&pcm, device.c_str(), SND_PCM_STREAM_PLAYBACK, 0, config);
    snd_config_delete(config);
    return result >= 0 ? pcm : nullptr;
}

// What the worker plays; it owns and frees it.
struct ZSoundJob {
    snd_pcm_t* pcm = nullptr;
    std::string bytes;
    ZWaveInfo info;
};

void play(ZSoundJob* job) {
    const int frameBytes = job->info.channels * job->info.bitsPerSample / 8;
    const char* data = job->bytes.data() + job->info.dataOffset;
    snd_pcm_uframes_t frames = job->info.dataLength / static_cast<std::size_t>(frameBytes);
    while (frames > 0) {
        snd_pcm_sframes_t written = snd_pcm_writei(job->pcm, data, frames);
        if (written < 0) written = snd_pcm_recover(job->pcm, static_cast<int>(written), 1);
        if (written < 0) break;
        data += written * frameBytes;
        frames -= static_cast<snd_pcm_uframes_t>(written);
    }
    snd_pcm_drain(job->pcm);
    snd_pcm_close(job->pcm);
    delete job;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        --g_playing;
    }
    g_idle.notify_all();
}

}  // namespace

bool _ZSoundParseWave(const std::string& bytes, ZWaveInfo& info) {
    info = ZWaveInfo{};
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return false;
    bool haveFormat = false;
    std::size_t at = 12;
    while (bytes.size() - at >= 8) {
        const std::string id = bytes.substr(at, 4);
        const std::uint32_t size = le32(bytes, at + 4);
        at += 8;
        const std::size_t left = bytes.size() - at;
        if (id == "data") {
            if (!haveFormat) return false;
            // A streamed file may state more than it holds: play what is there.
            info.dataOffset = at;
            info.dataLength = size < left ? size : left;
            const std::size_t frame = static_cast<std::size_t>(info.channels * info.bitsPerSample / 8);
            return info.dataLength >= frame;
        }
        if (size > left) return false;
        if (id == "fmt ") {
            if (size < 16) return false;
            const std::uint16_t tag = le16(bytes, at);
            info.channels = le16(bytes, at + 2);
            info.sampleRate = static_cast<int>(le32(bytes, at + 4));
            info.bitsPerSample = le16(bytes, at + 14);
            if (tag != 1 || info.channels < 1 || info.channels > 8 || info.sampleRate < 1000 ||
                info.sampleRate > 384000 || formatOf(info.bitsPerSample) == SND_PCM_FORMAT_UNKNOWN)
                return false;
            haveFormat = true;
        }
        at += size + (size & 1);  // chunks are padded to an even length
        if (at > bytes.size()) return false;
    }
    return false;
}

void ZSoundPlay(const std::wstring& path) {
    ZTRACE();
    ZSoundJob* job = new ZSoundJob;
    std::string device, configText;
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        device = g_playbackDevice;
        configText = g_configText;
    }
    bool ok = readFile(ZToUTF8(path), job->bytes) && _ZSoundParseWave(job->bytes, job->info);
    if (ok) job->pcm = openDevice(device, configText);
    ok = ok && job->pcm &&
         snd_pcm_set_params(job->pcm, formatOf(job->info.bitsPerSample), SND_PCM_ACCESS_RW_INTERLEAVED,
                            static_cast<unsigned>(job->info.channels), static_cast<unsigned>(job->info.sampleRate),
                            1, 500000) == 0;
    if (!ok) {
        if (job->pcm) snd_pcm_close(job->pcm);
        delete job;
        ZLOG(L"WARNING Unable to play sound '" << path << L"', ignoring.");
        return;
    }
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        ++g_playing;
    }
    std::thread(play, job).detach();
}

void _ZSoundSetDevices(const std::string& mixerDevice, const std::string& playbackDevice,
                       const std::string& configText) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_mixerDevice = mixerDevice;
    g_playbackDevice = playbackDevice;
    g_configText = configText;
}

std::string _ZSoundMixerDevice() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_mixerDevice;
}
std::string _ZSoundPlaybackDevice() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_playbackDevice;
}
std::string _ZSoundConfigText() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_configText;
}

bool _ZSoundWaitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs), [] { return g_playing == 0; });
}
