// Shared pieces of the screen-sharing tests: a driven clock, a peer made of
// a store, a switchboard on a loopback UDP port and a screen service, and
// plain X windows to share. The tests need an X server (Xvfb) and fail
// without one.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "../../libzan/src/ZNonPortable_X11.h"
#include "ZHTTPHeaders.h"
#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZMegaPort.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZRTP.h"
#include "ZScreenRecvStream.h"
#include "ZScreenSendStream.h"
#include "ZScreenService.h"
#include "ZTestSupport.h"

namespace screentest {

#define ZREQUIRE_DISPLAY()                                                                          \
    do {                                                                                            \
        ASSERT_NE(std::getenv("DISPLAY"), nullptr) << "the screen tests run under Xvfb";           \
        ASSERT_NE(_ZX11Display(), nullptr) << "cannot open the X display " << std::getenv("DISPLAY"); \
    } while (0)

inline std::int64_t gNow = 0;
inline std::int64_t clock() {
    return gNow;
}

// Receives every datagram waiting on the port into the switchboard, as the
// dispatch service would; a filter may drop or change them on the way.
inline int pump(ZNetUDPPort* udp, ZMegaPort* port, std::vector<std::string>* seen = nullptr) {
    int count = 0;
    std::string data;
    std::wstring from;
    while (ZNetUDPPortRecv(udp, data, from)) {
        if (seen) seen->push_back(data);
        if (!ZIsRTP(data)) continue;
        ZMegaPortBucket* bucket = port->getEmtpyBucket();
        bucket->to = ZNetUDPPortGetLocalHost(udp);
        bucket->from = from;
        bucket->buffer = data;
        port->fillRTPBucket(bucket);
        ++count;
    }
    return count;
}

// One side of a share: store, switchboard on 127.0.0.1 and a screen service
// on the driven clock (its thread is not started; tests run its passes).
struct Peer {
    ZTempDir dir;
    ZInstance* instance;
    ZMegaPort* port;
    ZNetUDPPort* udp;
    ZScreenService* service;
    std::wstring host;

    Peer() {
        instance = new ZInstance(ZFromUTF8(dir.file("settings.ini")));
        instance->set(L"Screen_Share_Fullscreen_Delay", std::int64_t{1000}, false);
        port = new ZMegaPort(L"peer");
        udp = ZNetUDPPortOpen(L"127.0.0.1:0");
        port->setUDPPort(udp);
        host = ZNetUDPPortGetLocalHost(udp);
        service = new ZScreenService(instance, port);
        service->setClock(&clock);
    }
    ~Peer() {
        post(ZHTTPHeaders(L"RESET"));
        service->runPass();
        delete service;
        port->reset();
        ZNetUDPPortClose(udp);
        delete port;
        delete instance;
    }
    void post(const ZHTTPHeaders& command) { instance->enqueue(L"ZScreenService_commandQueue", command.serialize()); }
    void open(const wchar_t* method, const std::wstring& buddy, std::uint32_t ssrc, const std::wstring& to,
              std::uint32_t windowID = 0) {
        ZHTTPHeaders command(method);
        command.set(L"SSRC", static_cast<std::int64_t>(static_cast<std::int32_t>(ssrc)));
        command.set(L"Buddy-GUID", buddy);
        command.set(L"Send-From", host);
        command.set(L"Send-To", to);
        command.set(L"Window-ID", static_cast<std::int64_t>(windowID));
        post(command);
    }
};

// A plain X window of one colour with an optional child of another: its
// top and bottom differ, so a picture turned over shows.
struct ColourWindow {
    Window w = 0;
    Window child = 0;
    ColourWindow(int x, int y, int width, int height, unsigned long rgb, unsigned long childRgb = 0) {
        Display* d = _ZX11Display();
        XSetWindowAttributes a{};
        a.background_pixel = rgb;
        a.override_redirect = True;
        // A resize keeps the content and paints only the gained area.
        a.bit_gravity = NorthWestGravity;
        w = XCreateWindow(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(width), static_cast<unsigned>(height),
                          0, CopyFromParent, InputOutput, CopyFromParent,
                          CWBackPixel | CWOverrideRedirect | CWBitGravity, &a);
        if (childRgb) {
            a.background_pixel = childRgb;
            child = XCreateWindow(d, w, 0, 0, static_cast<unsigned>(width), static_cast<unsigned>(height / 3), 0,
                                  CopyFromParent, InputOutput, CopyFromParent, CWBackPixel, &a);
            XMapWindow(d, child);
        }
        XSelectInput(d, w, ButtonPressMask | ButtonReleaseMask | KeyPressMask | KeyReleaseMask);
        XMapWindow(d, w);
        XSync(d, False);
    }
    ~ColourWindow() {
        XDestroyWindow(_ZX11Display(), w);
        XSync(_ZX11Display(), False);
    }
    void move(int x, int y) {
        XMoveWindow(_ZX11Display(), w, x, y);
        XSync(_ZX11Display(), False);
    }
    void resize(int width, int height) {
        XResizeWindow(_ZX11Display(), w, static_cast<unsigned>(width), static_cast<unsigned>(height));
        XSync(_ZX11Display(), False);
    }
    void setBackground(unsigned long rgb) {
        XSetWindowBackground(_ZX11Display(), w, rgb);
        XSync(_ZX11Display(), False);
    }
    void fill(int x, int y, int width, int height, unsigned long rgb) {
        Display* d = _ZX11Display();
        GC gc = XCreateGC(d, w, 0, nullptr);
        XSetForeground(d, gc, rgb);
        XFillRectangle(d, w, gc, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
        XFreeGC(d, gc);
        XSync(d, False);
    }
};

// The sharer's screen as RGB bytes, from a fresh grab.
inline std::string grabRGB(ZImageFormat& format) {
    ZScreen* screen = ZScreenOpen();
    ZImageFormat grabbed;
    unsigned char* pixels = ZScreenCapture(screen, ZRect{0, 0, 0x7FFFFFFF, 0x7FFFFFFF}, grabbed);
    std::string rgb;
    if (pixels) {
        rgb.resize(static_cast<std::size_t>(grabbed.width) * grabbed.height * 3);
        for (int i = 0; i < grabbed.width * grabbed.height; ++i) {
            rgb[static_cast<std::size_t>(i) * 3] = static_cast<char>(pixels[i * 4 + 2]);
            rgb[static_cast<std::size_t>(i) * 3 + 1] = static_cast<char>(pixels[i * 4 + 1]);
            rgb[static_cast<std::size_t>(i) * 3 + 2] = static_cast<char>(pixels[i * 4]);
        }
        format = ZImageFormat{ZIT_RGB24, grabbed.width, grabbed.height};
    }
    ZScreenClose(screen);
    return rgb;
}

}  // namespace screentest
