// Shared helpers of the desktop tests: they need an X server (Xvfb in CI)
// and fail, not skip, without one.
#pragma once

#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "../../libzan/src/ZNonPortable_X11.h"

// Fails the test when no X server can be reached.
#define ZREQUIRE_DISPLAY()                                                                          \
    do {                                                                                            \
        ASSERT_NE(std::getenv("DISPLAY"), nullptr)                                                  \
            << "DISPLAY is not set: the desktop tests run under Xvfb (scripts/test.sh starts one)"; \
        ASSERT_NE(_ZX11Display(), nullptr) << "cannot open the X display " << std::getenv("DISPLAY"); \
    } while (0)

// Dispatches UI events until the condition holds or two seconds pass.
inline bool ZPumpUntil(const std::function<bool()>& condition, int timeoutMs = 2000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    _ZX11Pump();
    while (!condition()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        _ZX11WaitAndPump(static_cast<int>(left < 20 ? left : 20));
    }
    return true;
}

// Whether an X window is mapped and viewable.
inline bool ZIsViewable(Window window) {
    XWindowAttributes a;
    return XGetWindowAttributes(_ZX11Display(), window, &a) && a.map_state == IsViewable;
}

// width x height RGBA pixels with a distinct value in every channel.
inline std::vector<unsigned char> ZTestPattern(int width, int height) {
    std::vector<unsigned char> p(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned char* q = &p[(static_cast<size_t>(y) * width + x) * 4];
            q[0] = static_cast<unsigned char>(x);
            q[1] = static_cast<unsigned char>(y);
            q[2] = static_cast<unsigned char>(x + y * 3);
            q[3] = static_cast<unsigned char>(255 - (x % 7) * 20);
        }
    return p;
}

// The system tray the icon docks in: the desktop's own when one runs (it
// is never taken from it), else a tray manager of our own on its own
// connection that owns the tray selection, announces itself as trays do
// (MANAGER on the root), optionally offers an ARGB visual for its icons and
// embeds whatever asks to dock.
class ZTestTray {
public:
    static constexpr unsigned long kBackground = 0x404040;
    explicit ZTestTray(bool offerArgb = false) {
        _display = XOpenDisplay(nullptr);
        const Atom selection = XInternAtom(_display, "_NET_SYSTEM_TRAY_S0", False);
        if (XGetSelectionOwner(_display, selection) != None) return;  // a real tray
        XSetWindowAttributes a{};
        a.override_redirect = True;
        a.background_pixel = kBackground;
        _window = XCreateWindow(_display, DefaultRootWindow(_display), 900, 0, 200, 30, 0, CopyFromParent, InputOutput,
                                CopyFromParent, CWOverrideRedirect | CWBackPixel, &a);
        XVisualInfo argb{};
        if (offerArgb && XMatchVisualInfo(_display, DefaultScreen(_display), 32, TrueColor, &argb)) {
            unsigned long id = argb.visualid;
            XChangeProperty(_display, _window, XInternAtom(_display, "_NET_SYSTEM_TRAY_VISUAL", False), XA_VISUALID,
                            32, PropModeReplace, reinterpret_cast<unsigned char*>(&id), 1);
        }
        XMapWindow(_display, _window);
        XSetSelectionOwner(_display, selection, _window, CurrentTime);
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = DefaultRootWindow(_display);
        e.xclient.message_type = XInternAtom(_display, "MANAGER", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = CurrentTime;
        e.xclient.data.l[1] = static_cast<long>(selection);
        e.xclient.data.l[2] = static_cast<long>(_window);
        XSendEvent(_display, DefaultRootWindow(_display), False, StructureNotifyMask, &e);
        XSync(_display, False);
        _thread = std::thread([this] { serve(); });
    }
    ~ZTestTray() {
        _stop = true;
        if (_thread.joinable()) _thread.join();
        if (_window) XDestroyWindow(_display, _window);
        XCloseDisplay(_display);
    }
    // Whether the window sits inside a tray: no longer a child of the root.
    bool holds(Window icon) {
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(_display, icon, &root, &parent, &children, &count)) return false;
        if (children) XFree(children);
        return parent != root && ZIsViewable(icon);
    }

private:
    void serve() {
        const Atom opcode = XInternAtom(_display, "_NET_SYSTEM_TRAY_OPCODE", False);
        while (!_stop) {
            while (XPending(_display)) {
                XEvent e;
                XNextEvent(_display, &e);
                if (e.type != ClientMessage || e.xclient.message_type != opcode || e.xclient.data.l[1] != 0) continue;
                const Window icon = static_cast<Window>(e.xclient.data.l[2]);
                XReparentWindow(_display, icon, _window, 20, 7);
                XMapWindow(_display, icon);
                XSync(_display, False);
            }
            std::this_thread::yield();
        }
    }
    Display* _display = nullptr;
    Window _window = 0;
    std::atomic<bool> _stop{false};
    std::thread _thread;
};

