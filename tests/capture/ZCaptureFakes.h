// A scripted capture system for tests: devices that offer what a test says
// and a sink the test drives by hand instead of a streaming thread.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "ZCaptureBackend.h"

// What a test sees of one fake device after the capture owns it.
struct ZFakeDeviceProbe {
    std::vector<ZCaptureVideoCaps> videoCaps;
    std::vector<ZCaptureAudioCaps> audioCaps;
    bool hasVideoFormat = false;
    ZCaptureVideoType videoFormat;
    bool hasAudioFormat = false;
    ZCaptureAudioType audioFormat;
    std::vector<ZCaptureVideoType> videoFormatsSet;
    int suggestedBytes = 0;
    ZCaptureSink* sink = nullptr;
    int runResult = 0;  // a negative value fails run() as a guarded call
    bool stopped = false;
    bool destroyed = false;
};

// A device that reports and records through its probe.
class ZFakeDevice : public ZCaptureDevice {
public:
    explicit ZFakeDevice(ZFakeDeviceProbe& probe) : _probe(probe) {}
    ~ZFakeDevice() override { _probe.destroyed = true; }
    void getVideoCaps(std::vector<ZCaptureVideoCaps>& caps) override { caps = _probe.videoCaps; }
    void setVideoFormat(const ZCaptureVideoType& type) override {
        _probe.videoFormatsSet.push_back(type);
        _probe.videoFormat = type;
        _probe.hasVideoFormat = true;
    }
    bool getVideoFormat(ZCaptureVideoType& type) override {
        type = _probe.videoFormat;
        return _probe.hasVideoFormat;
    }
    void getAudioCaps(std::vector<ZCaptureAudioCaps>& caps) override { caps = _probe.audioCaps; }
    void setAudioFormat(const ZCaptureAudioType& type) override {
        _probe.audioFormat = type;
        _probe.hasAudioFormat = true;
    }
    bool getAudioFormat(ZCaptureAudioType& type) override {
        type = _probe.audioFormat;
        return _probe.hasAudioFormat;
    }
    void suggestBufferSize(int bytes) override { _probe.suggestedBytes = bytes; }
    void run(ZCaptureSink& sink) override {
        ZCAPTURE_CHECK(_probe.runResult);
        _probe.sink = &sink;
    }
    void stop() override {
        _probe.stopped = true;
        _probe.sink = nullptr;
    }

private:
    ZFakeDeviceProbe& _probe;
};

// Devices by category and name; installs itself as the capture backend.
class ZFakeBackend : public ZCaptureBackend {
public:
    ZFakeBackend() { ZCaptureSetBackend(this); }
    ~ZFakeBackend() override { ZCaptureSetBackend(nullptr); }

    ZFakeDeviceProbe& add(ZCaptureCategory category, const std::wstring& name) {
        names[category].push_back(name);
        return probes[category][name];
    }

    bool listDevices(ZCaptureCategory category, std::vector<std::wstring>& out) override {
        out = names[category];
        return !out.empty();
    }
    ZCaptureDevice* openDevice(ZCaptureCategory category, const std::wstring& name) override {
        auto it = probes[category].find(name);
        return it == probes[category].end() ? nullptr : new ZFakeDevice(it->second);
    }

    std::map<int, std::vector<std::wstring>> names;
    std::map<int, std::map<std::wstring, ZFakeDeviceProbe>> probes;
};

// 100 ns frame intervals of a frame rate.
inline std::int64_t ZFakeInterval(int fps) { return 10000000 / fps; }

inline ZCaptureVideoCaps ZFakeVideoCaps(std::uint32_t subtype, int minW, int maxW, int minH, int maxH, int minFps,
                                        int maxFps) {
    ZCaptureVideoCaps c;
    c.subtype = subtype;
    c.minWidth = minW;
    c.maxWidth = maxW;
    c.minHeight = minH;
    c.maxHeight = maxH;
    c.minFrameInterval = ZFakeInterval(maxFps);
    c.maxFrameInterval = ZFakeInterval(minFps);
    return c;
}
