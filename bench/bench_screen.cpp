// Screen sharing costs: change detection of a 1280 x 1024 frame with ten
// windows (the capture pass without the grab; bench_desktop measures the
// grab), against memcmp of the same frame, and the first full picture on a
// viewer over loopback (run under Xvfb: DISPLAY=:n ./bench_screen).
#include <X11/Xlib.h>
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZScreenService.h"

namespace {

constexpr int kWidth = 1280, kHeight = 1024;

std::string frame(unsigned char seed) {
    std::string pixels(static_cast<std::size_t>(kWidth) * kHeight * 4, '\0');
    for (std::size_t i = 0; i < pixels.size(); ++i)
        pixels[i] = static_cast<char>(i % 4 == 3 ? 0xFF : static_cast<unsigned char>(i * 7 + seed));
    return pixels;
}

std::wstring tempStore() {
    char name[] = "/tmp/zanbench.XXXXXX";
    const char* dir = mkdtemp(name);
    return ZFromUTF8(std::string(dir ? dir : "/tmp") + "/settings.ini");
}

// Ten overlapping windows over the screen, each one piece of its own.
void layoutOf(std::list<ZFrag>& layout, std::map<std::uint32_t, std::list<ZFrag>>& rects) {
    for (std::uint32_t i = 0; i < 10; ++i) {
        const int left = static_cast<int>(i) * 110, top = static_cast<int>(i) * 80;
        const ZRect rect{left, top, left + 400, top + 300};
        layout.push_back(ZFrag{i + 1, rect});
        rects[i + 1] = {ZFrag{i + 1, ZRect{0, 0, 400, 300}}};
    }
}

void BM_ChangeDetection(benchmark::State& state) {
    const bool everything = state.range(0) != 0;
    ZInstance instance(tempStore());
    ZMegaPort port(L"bench");
    ZScreenService service(&instance, &port);
    const std::string a = frame(1), b = frame(2);
    const ZImageFormat format{ZIT_BGRA32, kWidth, kHeight};
    std::list<ZFrag> layout;
    std::map<std::uint32_t, std::list<ZFrag>> rects;
    layoutOf(layout, rects);
    service.setDirtyRect(ZRect{0, 0, 0x7FFFFFFF, 0x7FFFFFFF});
    service.detectChanges(format, reinterpret_cast<const unsigned char*>(a.data()), layout, rects);
    bool odd = false;
    for (auto _ : state) {
        odd = everything ? !odd : false;
        service.setDirtyRect(ZRect{0, 0, 0x7FFFFFFF, 0x7FFFFFFF});
        service.detectChanges(format, reinterpret_cast<const unsigned char*>((odd ? b : a).data()), layout, rects);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(a.size()));
}
BENCHMARK(BM_ChangeDetection)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_MemcmpFrame(benchmark::State& state) {
    const std::string a = frame(1), b = a;
    for (auto _ : state) benchmark::DoNotOptimize(std::memcmp(a.data(), b.data(), a.size()));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(a.size()));
}
BENCHMARK(BM_MemcmpFrame)->Unit(benchmark::kMillisecond);

// One side of a share on loopback.
struct Side {
    ZInstance instance{tempStore()};
    ZMegaPort port{L"side"};
    ZNetUDPPort* udp = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZScreenService service{&instance, &port};
    std::wstring host = ZNetUDPPortGetLocalHost(udp);
    Side() {
        port.setUDPPort(udp);
        instance.set(L"Screen_Share_Fullscreen_Delay", std::int64_t{1000}, false);
    }
    ~Side() {
        instance.enqueue(L"ZScreenService_commandQueue", ZHTTPHeaders(L"RESET").serialize());
        service.runPass();
        port.reset();
        ZNetUDPPortClose(udp);
    }
    // Datagrams into the switchboard; returns bytes of region messages.
    std::int64_t pump(const std::wstring& from, int& regions) {
        std::int64_t bytes = 0;
        std::string data;
        std::wstring sender;
        while (ZNetUDPPortRecv(udp, data, sender)) {
            if (data.size() > 15 && static_cast<unsigned char>(data[15]) == ZRTPSS_REGIONCHANGED) {
                ++regions;
                bytes += static_cast<std::int64_t>(data.size());
            }
            ZMegaPortBucket* bucket = port.getEmtpyBucket();
            bucket->from = from;
            bucket->buffer = data;
            port.fillRTPBucket(bucket);
        }
        return bytes;
    }
    void open(const wchar_t* method, const wchar_t* buddy, const std::wstring& to) {
        ZHTTPHeaders command(method);
        command.set(L"SSRC", std::int64_t{1234});
        command.set(L"Buddy-GUID", buddy);
        command.set(L"Send-From", host);
        command.set(L"Send-To", to);
        instance.enqueue(L"ZScreenService_commandQueue", command.serialize());
    }
};

// A plain X window of noise (colour tiles then do not compress; a bare
// Xvfb desktop is black and cheap).
struct NoiseWindow {
    Display* d = XOpenDisplay(nullptr);
    Window w = 0;
    NoiseWindow(int x, int y, int side) {
        if (!d) return;
        XSetWindowAttributes a{};
        a.override_redirect = True;
        w = XCreateWindow(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(side), static_cast<unsigned>(side), 0,
                          CopyFromParent, InputOutput, CopyFromParent, CWOverrideRedirect, &a);
        XMapWindow(d, w);
        XSync(d, False);
        GC gc = XCreateGC(d, w, 0, nullptr);
        for (int row = 0; row < side; ++row)
            for (int col = 0; col < side; ++col) {
                XSetForeground(d, gc, static_cast<unsigned long>(rand()) & 0xFFFFFF);
                XDrawPoint(d, w, gc, col, row);
            }
        XFreeGC(d, gc);
        XSync(d, False);
    }
    ~NoiseWindow() {
        if (d) XCloseDisplay(d);
    }
};

// From OPENSEND to the viewer's picture holding the window's last pixel.
void BM_FirstFullFrame(benchmark::State& state) {
    const bool colour = state.range(0) != 0;
    const int left = 100, side = 400;
    NoiseWindow window(left, left, side);
    if (!window.d) {
        state.SkipWithError("no X display");
        return;
    }
    int regions = 0;
    std::int64_t bytes = 0;
    for (auto _ : state) {
        Side sharer, viewer;
        sharer.instance.set(L"Enable_Screen_Share_Color", std::int64_t{colour ? 1 : 0}, false);
        sharer.open(L"OPENSEND", L"viewer", viewer.host);
        viewer.open(L"OPENRECV", L"sharer", sharer.host);
        bool done = false;
        const std::int64_t end = ZTimeNow() + 30000000;
        while (!done && ZTimeNow() < end) {
            sharer.service.runPass();
            bytes += viewer.pump(sharer.host, regions);
            viewer.service.runPass();
            sharer.pump(viewer.host, regions);
            ZImageFormat format;
            ZRect rect;
            const unsigned char* p =
                ZImageTools_instanceReadOpen(&viewer.instance, L"sharer_Screen_Image", format, rect, 0, 0);
            if (p) {
                const int x = left + side - 1;
                const unsigned char* px = p + (static_cast<std::size_t>(x) * format.width + x) * 3;
                done = px[0] || px[1] || px[2];
                ZImageTools_instanceReadClose(&viewer.instance, L"sharer_Screen_Image");
            }
            if (!done) ZThreadSleep(1000);
        }
        if (!done) {
            state.SkipWithError("the picture did not arrive within 30 s");
            return;
        }
    }
    state.counters["tiles"] = benchmark::Counter(static_cast<double>(regions) / state.iterations());
    state.counters["bytes"] = benchmark::Counter(static_cast<double>(bytes) / state.iterations());
    state.counters["bytes_per_tile"] = benchmark::Counter(regions ? static_cast<double>(bytes) / regions : 0);
    state.counters["tiles_per_s"] = benchmark::Counter(static_cast<double>(regions), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FirstFullFrame)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
