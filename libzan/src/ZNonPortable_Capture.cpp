// The system's capture backend: microphones through ALSA, cameras through
// V4L2, behind the one backend interface the capture is built on.
#include "ZCaptureBackend.h"

namespace {

// Sends each category to the system that handles it.
class ZSystemCaptureBackend : public ZCaptureBackend {
public:
    bool listDevices(ZCaptureCategory category, std::vector<std::wstring>& names) override {
        return backendFor(category)->listDevices(category, names);
    }
    ZCaptureDevice* openDevice(ZCaptureCategory category, const std::wstring& name) override {
        return backendFor(category)->openDevice(category, name);
    }

private:
    static ZCaptureBackend* backendFor(ZCaptureCategory category) {
        return category == ZCAPTURE_AUDIO_CATEGORY ? ZCaptureALSABackend() : ZCaptureV4L2Backend();
    }
};

}  // namespace

ZCaptureBackend* ZCaptureSystemBackend() {
    static ZSystemCaptureBackend backend;
    return &backend;
}
