// Listeners that collect what a running capture delivers, with bounded waits
// for a number of deliveries.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "ZNonPortable_Capture.h"

// Keeps copies of every frame or block it is handed.
class ZCollectingListener : public IZCaptureVideoListener, public IZCaptureAudioListener {
public:
    struct Unit {
        std::int64_t timestamp;
        std::string bytes;
    };

    void onVideoFrame(std::int64_t timestamp, const ZImageFormat& format, const unsigned char* buffer,
                      int length) override {
        std::lock_guard<std::mutex> lock(_mutex);
        videoFormat = format;
        video.push_back({timestamp, std::string(reinterpret_cast<const char*>(buffer), length)});
        _changed.notify_all();
    }
    void onAudioFrame(std::int64_t timestamp, const ZCaptureAudioFormat& format, const unsigned char* buffer,
                      int length) override {
        std::lock_guard<std::mutex> lock(_mutex);
        audioFormat = format;
        audio.push_back({timestamp, std::string(reinterpret_cast<const char*>(buffer), length)});
        _changed.notify_all();
    }

    // True once that many frames and blocks have arrived (within 20 s).
    bool waitFor(std::size_t frames, std::size_t blocks) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, std::chrono::seconds(20),
                                 [&] { return video.size() >= frames && audio.size() >= blocks; });
    }

    // Copies taken under the lock, for checks after unsubscribing.
    std::vector<Unit> video, audio;
    ZImageFormat videoFormat;
    ZCaptureAudioFormat audioFormat;

private:
    std::mutex _mutex;
    std::condition_variable _changed;
};
