// A media file as a capture source: its video (and its mono PCM audio) loop
// at the file's own rate, stamped as if a device had just captured them.
#include <fstream>

#include "ZCaptureMediaFile.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// The file's video stream as a camera offering exactly its one format.
class ZFileVideoDevice : public ZCaptureDevice {
public:
    explicit ZFileVideoDevice(const ZCaptureMediaFile& file) : _file(file) {}
    ~ZFileVideoDevice() override { stop(); }

    void getVideoCaps(std::vector<ZCaptureVideoCaps>& caps) override {
        const ZCaptureVideoType& v = _file.video;
        ZCaptureVideoCaps c;
        c.subtype = v.subtype;
        c.minWidth = c.maxWidth = v.header.width;
        c.minHeight = c.maxHeight = std::abs(v.header.height);
        c.minFrameInterval = c.maxFrameInterval = v.frameInterval;
        caps.assign(1, c);
    }

    // The file cannot change; what it offers is what it delivers.
    void setVideoFormat(const ZCaptureVideoType&) override {}

    bool getVideoFormat(ZCaptureVideoType& type) override {
        type = _file.video;
        return true;
    }

    void run(ZCaptureSink& sink) override {
        _sink = &sink;
        _streamer.start(&ZFileVideoDevice::streamLoop, this);
    }

    void stop() override { _streamer.stop(); }

private:
    static void streamLoop(ZCaptureStreamer& streamer, void* param) {
        static_cast<ZFileVideoDevice*>(param)->stream(streamer);
    }

    void stream(ZCaptureStreamer& streamer) {
        std::ifstream in(_file.path, std::ios::binary);
        const std::int64_t base = ZTimeNow() * 10;
        std::string frame;
        for (std::int64_t n = 0;; ++n) {
            const std::int64_t start = base + n * _file.video.frameInterval;
            if (!streamer.waitUntil(start / 10)) break;
            ZCaptureSample sample;
            sample.startTime = start;
            if (ZCaptureReadMediaFrame(in, _file, static_cast<std::size_t>(n % _file.frames.size()), frame)) {
                sample.data = reinterpret_cast<const unsigned char*>(frame.data());
                sample.length = static_cast<int>(frame.size());
            } else {
                sample.pointerResult = -EIO;
            }
            _sink->transform(&sample);
        }
    }

    const ZCaptureMediaFile& _file;
    ZCaptureSink* _sink = nullptr;
    ZCaptureStreamer _streamer;
};

// The file's audio stream as a microphone offering exactly its one format.
class ZFileAudioDevice : public ZCaptureDevice {
public:
    explicit ZFileAudioDevice(const ZCaptureMediaFile& file) : _file(file) {}
    ~ZFileAudioDevice() override { stop(); }

    void getAudioCaps(std::vector<ZCaptureAudioCaps>& caps) override {
        ZCaptureAudioCaps c;
        c.minBits = c.maxBits = _file.audio.bitsPerSample;
        c.minFrequency = c.maxFrequency = _file.audio.samplesPerSecond;
        caps.assign(1, c);
    }

    void setAudioFormat(const ZCaptureAudioType&) override {}

    bool getAudioFormat(ZCaptureAudioType& type) override {
        type = _file.audio;
        return true;
    }

    void suggestBufferSize(int bytes) override {
        if (bytes > 0) _blockBytes = static_cast<std::size_t>(bytes);
    }

    void run(ZCaptureSink& sink) override {
        if (_blockBytes == 0) _blockBytes = static_cast<std::size_t>(_file.audio.bitsPerSample / 8) * 160;
        _sink = &sink;
        _streamer.start(&ZFileAudioDevice::streamLoop, this);
    }

    void stop() override { _streamer.stop(); }

private:
    static void streamLoop(ZCaptureStreamer& streamer, void* param) {
        static_cast<ZFileAudioDevice*>(param)->stream(streamer);
    }

    void stream(ZCaptureStreamer& streamer) {
        const std::string& pcm = _file.audioBytes;
        const std::int64_t bytesPerSecond =
            static_cast<std::int64_t>(_file.audio.samplesPerSecond) * (_file.audio.bitsPerSample / 8);
        const std::int64_t base = ZTimeNow();
        std::string block(_blockBytes, '\0');
        std::size_t at = 0;
        for (std::int64_t sent = 0;; sent += static_cast<std::int64_t>(_blockBytes)) {
            const std::int64_t start = base + sent * 1000000 / bytesPerSecond;
            if (!streamer.waitUntil(start)) break;
            for (std::size_t i = 0; i < block.size(); ++i) {
                block[i] = pcm[at];
                at = (at + 1) % pcm.size();
            }
            ZCaptureSample sample;
            sample.startTime = start * 10;
            sample.data = reinterpret_cast<const unsigned char*>(block.data());
            sample.length = static_cast<int>(block.size());
            _sink->transform(&sample);
        }
    }

    const ZCaptureMediaFile& _file;
    std::size_t _blockBytes = 0;
    ZCaptureSink* _sink = nullptr;
    ZCaptureStreamer _streamer;
};

// One media file, offering a video device and, when it has audio, an audio device.
class ZFileCaptureBackend : public ZCaptureBackend {
public:
    ZFileCaptureBackend(const std::wstring& path) : _name(path) {}
    ZCaptureMediaFile& file() { return _file; }

    bool listDevices(ZCaptureCategory category, std::vector<std::wstring>& names) override {
        if (category == ZCAPTURE_AUDIO_CATEGORY && !_file.hasAudio) return false;
        names.push_back(_name);
        return true;
    }

    ZCaptureDevice* openDevice(ZCaptureCategory category, const std::wstring&) override {
        if (category == ZCAPTURE_AUDIO_CATEGORY)
            return _file.hasAudio ? new ZFileAudioDevice(_file) : nullptr;
        return new ZFileVideoDevice(_file);
    }

private:
    std::wstring _name;
    ZCaptureMediaFile _file;
};

}  // namespace

ZCaptureBackend* ZCaptureOpenFileBackend(const std::wstring& path) {
    auto* backend = new ZFileCaptureBackend(path);
    if (!ZCaptureReadMediaFile(ZToUTF8(path), backend->file())) {
        delete backend;
        return nullptr;
    }
    return backend;
}
