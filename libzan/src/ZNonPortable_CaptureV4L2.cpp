// Cameras through V4L2: capture nodes under /dev named by their card name,
// formats from the frame size and interval enumerations, frames streamed
// from memory-mapped buffers on one thread per camera.
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "ZCaptureBackend.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t kUnitsPerSecond = 10000000;  // 100 ns
constexpr unsigned int kBufferCount = 4;

// ioctl with the result as 0 or a negative errno, retried on interruption.
int xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do r = ioctl(fd, request, arg);
    while (r < 0 && errno == EINTR);
    return r < 0 ? -errno : 0;
}

std::uint32_t subtypeOf(std::uint32_t pixelFormat) {
    if (pixelFormat == V4L2_PIX_FMT_YUYV) return ZCAPTURE_SUBTYPE_YUY2;
    if (pixelFormat == V4L2_PIX_FMT_BGR24) return ZCAPTURE_SUBTYPE_RGB24;
    return pixelFormat;
}

std::uint32_t pixelFormatOf(std::uint32_t subtype) {
    if (subtype == ZCAPTURE_SUBTYPE_YUY2) return V4L2_PIX_FMT_YUYV;
    if (subtype == ZCAPTURE_SUBTYPE_RGB24) return V4L2_PIX_FMT_BGR24;
    return subtype;
}

std::int64_t unitsOf(const v4l2_fract& f) {
    return f.denominator ? kUnitsPerSecond * f.numerator / f.denominator : 0;
}

std::vector<std::string> videoNodes() {
    std::vector<std::pair<int, std::string>> nodes;
    if (DIR* dir = opendir("/dev")) {
        while (dirent* entry = readdir(dir)) {
            const char* n = entry->d_name;
            if (strncmp(n, "video", 5) != 0 || !n[5]) continue;
            char* end = nullptr;
            const long number = strtol(n + 5, &end, 10);
            if (*end == 0) nodes.emplace_back(static_cast<int>(number), std::string("/dev/") + n);
        }
        closedir(dir);
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<std::string> paths;
    for (auto& node : nodes) paths.push_back(node.second);
    return paths;
}

// The card name of a node that captures video by streaming; "" otherwise.
std::wstring captureCardName(int fd) {
    v4l2_capability cap{};
    if (xioctl(fd, VIDIOC_QUERYCAP, &cap) < 0) return std::wstring();
    const std::uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) return std::wstring();
    const char* card = reinterpret_cast<const char*>(cap.card);
    return ZFromUTF8(std::string(card, strnlen(card, sizeof(cap.card))));
}

// One opened camera.
class ZV4L2Device : public ZCaptureDevice {
public:
    explicit ZV4L2Device(int fd) : _fd(fd) {}
    ~ZV4L2Device() override {
        stop();
        close(_fd);
    }

    void getVideoCaps(std::vector<ZCaptureVideoCaps>& caps) override {
        caps.clear();
        for (std::uint32_t i = 0;; ++i) {
            v4l2_fmtdesc desc{};
            desc.index = i;
            desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            if (xioctl(_fd, VIDIOC_ENUM_FMT, &desc) < 0) break;
            addSizes(desc.pixelformat, caps);
        }
    }

    void setVideoFormat(const ZCaptureVideoType& type) override {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.pixelformat = pixelFormatOf(type.subtype);
        format.fmt.pix.width = static_cast<std::uint32_t>(type.header.width);
        format.fmt.pix.height = static_cast<std::uint32_t>(std::abs(type.header.height));
        format.fmt.pix.field = V4L2_FIELD_NONE;
        ZCAPTURE_CHECK(xioctl( _fd, VIDIOC_S_FMT, &format ));
        if (type.frameInterval > 0) {
            v4l2_streamparm parm{};
            parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            const std::int64_t g = std::gcd(type.frameInterval, kUnitsPerSecond);
            parm.parm.capture.timeperframe.numerator = static_cast<std::uint32_t>(type.frameInterval / g);
            parm.parm.capture.timeperframe.denominator = static_cast<std::uint32_t>(kUnitsPerSecond / g);
            // Cameras without rate control keep their own rate.
            if (xioctl(_fd, VIDIOC_S_PARM, &parm) < 0) ZLOGC('v', L"Frame rate not settable; keeping the camera's.");
        }
    }

    bool getVideoFormat(ZCaptureVideoType& type) override {
        v4l2_format format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ZCAPTURE_CHECK(xioctl( _fd, VIDIOC_G_FMT, &format ));
        const v4l2_pix_format& pix = format.fmt.pix;
        if (pix.width == 0 || pix.height == 0 || pix.width > 16384 || pix.height > 16384) return false;
        type.subtype = subtypeOf(pix.pixelformat);
        const int bits = ZCaptureSubtypeBits(type.subtype);
        type.header.width = static_cast<std::int32_t>(pix.width);
        type.header.height = -static_cast<std::int32_t>(pix.height);  // rows arrive top-down
        type.header.bitCount = static_cast<std::uint16_t>(bits);
        type.header.compression = type.subtype == ZCAPTURE_SUBTYPE_YUY2 ? ZCAPTURE_SUBTYPE_YUY2 : ZCAPTURE_BI_RGB;
        type.header.sizeImage = pix.width * pix.height * static_cast<std::uint32_t>(bits / 8);
        v4l2_streamparm parm{};
        parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        type.frameInterval = xioctl(_fd, VIDIOC_G_PARM, &parm) == 0 ? unitsOf(parm.parm.capture.timeperframe) : 0;
        _rowBytes = pix.width * static_cast<std::uint32_t>(bits / 8);
        _bytesPerLine = std::max(pix.bytesperline, _rowBytes);
        _height = pix.height;
        return true;
    }

    void run(ZCaptureSink& sink) override {
        v4l2_requestbuffers request{};
        request.count = kBufferCount;
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        ZCAPTURE_CHECK(xioctl( _fd, VIDIOC_REQBUFS, &request ));
        for (std::uint32_t i = 0; i < request.count; ++i) {
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            buffer.index = i;
            ZCAPTURE_CHECK(xioctl( _fd, VIDIOC_QUERYBUF, &buffer ));
            void* start = mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, _fd, buffer.m.offset);
            ZCAPTURE_CHECK(start == MAP_FAILED ? -errno : 0);
            _buffers.push_back({static_cast<unsigned char*>(start), buffer.length});
            ZCAPTURE_CHECK(xioctl( _fd, VIDIOC_QBUF, &buffer ));
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        ZCAPTURE_CHECK(xioctl( _fd, VIDIOC_STREAMON, &type ));
        _streaming = true;
        _sink = &sink;
        _streamer.start(&ZV4L2Device::streamLoop, this);
    }

    void stop() override {
        _streamer.stop();
        if (_streaming) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(_fd, VIDIOC_STREAMOFF, &type);
            _streaming = false;
        }
        for (auto& b : _buffers) munmap(b.start, b.length);
        if (!_buffers.empty()) {
            v4l2_requestbuffers request{};
            request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            request.memory = V4L2_MEMORY_MMAP;
            xioctl(_fd, VIDIOC_REQBUFS, &request);
        }
        _buffers.clear();
    }

private:
    struct Mapped {
        unsigned char* start;
        std::size_t length;
    };

    void addSizes(std::uint32_t pixelFormat, std::vector<ZCaptureVideoCaps>& caps) {
        for (std::uint32_t i = 0;; ++i) {
            v4l2_frmsizeenum size{};
            size.index = i;
            size.pixel_format = pixelFormat;
            if (xioctl(_fd, VIDIOC_ENUM_FRAMESIZES, &size) < 0) break;
            ZCaptureVideoCaps c;
            c.subtype = subtypeOf(pixelFormat);
            std::uint32_t probeWidth, probeHeight;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                c.minWidth = c.maxWidth = static_cast<std::int32_t>(size.discrete.width);
                c.minHeight = c.maxHeight = static_cast<std::int32_t>(size.discrete.height);
                probeWidth = size.discrete.width;
                probeHeight = size.discrete.height;
            } else {
                c.minWidth = static_cast<std::int32_t>(size.stepwise.min_width);
                c.maxWidth = static_cast<std::int32_t>(size.stepwise.max_width);
                c.minHeight = static_cast<std::int32_t>(size.stepwise.min_height);
                c.maxHeight = static_cast<std::int32_t>(size.stepwise.max_height);
                probeWidth = size.stepwise.max_width;
                probeHeight = size.stepwise.max_height;
            }
            addIntervals(pixelFormat, probeWidth, probeHeight, c);
            caps.push_back(c);
            if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) break;
        }
    }

    void addIntervals(std::uint32_t pixelFormat, std::uint32_t width, std::uint32_t height, ZCaptureVideoCaps& c) {
        for (std::uint32_t i = 0;; ++i) {
            v4l2_frmivalenum interval{};
            interval.index = i;
            interval.pixel_format = pixelFormat;
            interval.width = width;
            interval.height = height;
            if (xioctl(_fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) < 0) break;
            std::int64_t lo, hi;
            if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
                lo = hi = unitsOf(interval.discrete);
            } else {
                lo = unitsOf(interval.stepwise.min);
                hi = unitsOf(interval.stepwise.max);
            }
            c.minFrameInterval = c.minFrameInterval ? std::min(c.minFrameInterval, lo) : lo;
            c.maxFrameInterval = std::max(c.maxFrameInterval, hi);
            if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
        }
    }

    static void streamLoop(ZCaptureStreamer& streamer, void* param) {
        static_cast<ZV4L2Device*>(param)->stream(streamer);
    }

    void stream(ZCaptureStreamer& streamer) {
        std::vector<unsigned char> compact;
        while (!streamer.stopping()) {
            pollfd p{_fd, POLLIN, 0};
            const int ready = poll(&p, 1, 100);
            if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            const int result = ready < 0 ? -errno : xioctl(_fd, VIDIOC_DQBUF, &buffer);
            if (result == -EAGAIN) continue;
            ZCaptureSample sample;
            if (result < 0 || buffer.index >= _buffers.size()) {
                sample.pointerResult = result < 0 ? result : -EINVAL;
                sample.timeResult = sample.pointerResult;
                _sink->transform(&sample);
                streamer.waitUntil(ZTimeNow() + 100000);
                continue;
            }
            const Mapped& mapped = _buffers[buffer.index];
            const std::size_t used = std::min<std::size_t>(buffer.bytesused, mapped.length);
            sample.startTime = startTimeOf(buffer.timestamp);
            sample.data = mapped.start;
            sample.length = static_cast<int>(used);
            // Padding at the end of each row goes before the length check.
            if (ZCaptureCompactRows(mapped.start, used, _rowBytes, _bytesPerLine, _height, compact)) {
                sample.data = compact.data();
                sample.length = static_cast<int>(compact.size());
            }
            _sink->transform(&sample);
            xioctl(_fd, VIDIOC_QBUF, &buffer);
        }
    }

    // The driver stamps frames on the monotonic clock; listeners count from 1601.
    static std::int64_t startTimeOf(const timeval& stamp) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const std::int64_t nowMicros = static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
        const std::int64_t stampMicros = static_cast<std::int64_t>(stamp.tv_sec) * 1000000 + stamp.tv_usec;
        const std::int64_t age = stampMicros > 0 && stampMicros <= nowMicros ? nowMicros - stampMicros : 0;
        return (ZTimeNow() - age) * 10;
    }

    int _fd;
    std::vector<Mapped> _buffers;
    bool _streaming = false;
    std::uint32_t _rowBytes = 0;
    std::uint32_t _bytesPerLine = 0;
    std::uint32_t _height = 0;
    ZCaptureSink* _sink = nullptr;
    ZCaptureStreamer _streamer;
};

// The capture nodes under /dev.
class ZV4L2Backend : public ZCaptureBackend {
public:
    bool listDevices(ZCaptureCategory category, std::vector<std::wstring>& names) override {
        if (category != ZCAPTURE_VIDEO_CATEGORY) return false;
        for (const std::string& path : videoNodes()) {
            const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            const std::wstring name = captureCardName(fd);
            close(fd);
            if (!name.empty()) names.push_back(name);
        }
        return !names.empty();
    }

    ZCaptureDevice* openDevice(ZCaptureCategory category, const std::wstring& name) override {
        if (category != ZCAPTURE_VIDEO_CATEGORY) return nullptr;
        for (const std::string& path : videoNodes()) {
            const int fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0) continue;
            if (captureCardName(fd) == name) return new ZV4L2Device(fd);
            close(fd);
        }
        return nullptr;
    }
};

}  // namespace

ZCaptureBackend* ZCaptureV4L2Backend() {
    static ZV4L2Backend backend;
    return &backend;
}
