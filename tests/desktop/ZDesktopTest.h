// Shared helpers of the desktop tests: they need an X server (Xvfb in CI)
// and fail, not skip, without one.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
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
